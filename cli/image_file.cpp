#include "cli/image_file.h"

#include "app/change_workflow.h"
#include "app/error_text.h"
#include "app/file_transfer.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "engine/bytes.h"
#include "engine/image.h"
#include "engine/platform.h"

namespace marovi::cli {

Error InspectImage(const std::u16string& path, ImageInspection& result) {
  result = ImageInspection();
  const std::string name = platform::ToUtf8(path);
  if (Error error = app::CheckRegularFile(path, "image")) return error;
  {
    const app::HeldFile file(platform::OpenFileShared(path.c_str()));
    auto failed = [&](const char* what) {
      const std::uint32_t code = platform::LastError();
      return MakeError(platform::ClassifyError(code), what, code, name);
    };
    if (!file.valid()) return failed("cannot be opened");
    std::uint64_t length = 0;
    if (!platform::GetFileLength(file.get(), length)) return failed("cannot be read");
    result.bytes.resize(static_cast<std::size_t>(length));
    if (length > 0 && !platform::ReadAt(file.get(), 0, result.bytes.data(), result.bytes.size()))
      return failed("cannot be read");
  }
  if (result.bytes.empty())
    return MakeError(ErrorKind::NotAnImage, "is empty, not a PE image", 0, name);
  std::uint8_t* view = result.bytes.data();
  const auto viewSize = static_cast<std::uint32_t>(result.bytes.size());
  std::uint8_t* nt = LocateNtHeaders(view, viewSize);
  const std::optional<PeLayout> layout =
      nt != nullptr ? ReadPeLayout(view, viewSize, nt) : std::nullopt;
  if (!layout) return MakeError(ErrorKind::NotAnImage, "is not a PE image", 0, name);
  result.ntHeaders = static_cast<std::uint32_t>(nt - view);
  const std::optional<std::uint32_t> section = FindResourceSection(view, viewSize, nt);
  if (!section || !InBounds(viewSize, layout->Section(*section), sec::kSize))
    return MakeError(ErrorKind::NoResources, "has no resource section", 0, name);
  const std::uint8_t* header = view + layout->Section(*section);
  result.rawOffset = LoadU32(header + sec::kPointerToRawData);
  result.rawSize = LoadU32(header + sec::kSizeOfRawData);
  result.virtualAddress = LoadU32(header + sec::kVirtualAddress);
  return Error();
}

std::optional<ImageResources> ReadImageResources(const std::string& argument, bool resourcesRequired) {
  const std::optional<std::u16string> path = FileArgument(argument);
  if (!path) {
    PrintError(NotUtf8Text(argument));
    return std::nullopt;
  }
  if (Error refused = app::CheckRegularFile(*path, "image")) {
    PrintError(app::ErrorText(refused));
    return std::nullopt;
  }
  Error error;
  const Recovery recovery =
      app::NativeFileSystem().RecoverInterruptedChange(*path, platform::kInvalidFile, &error);
  if (recovery == Recovery::Failed) {
    if (error.file.empty()) error.file = argument;
    PrintError(app::ErrorText(error));
    return std::nullopt;
  }
  if (recovery == Recovery::Undone || recovery == Recovery::Removed)
    PrintError(app::RecoveryText(argument, recovery));
  ImageResources result;
  if (Error refused = InspectImage(*path, result.image)) {
    if (refused.kind == ErrorKind::NoResources && !resourcesRequired) return result;
    PrintError(app::ErrorText(refused));
    return std::nullopt;
  }
  const ImageInspection& image = result.image;
  try {
    result.root = ParseResourceTree(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                                    image.rawOffset, image.rawSize, image.virtualAddress);
  } catch (const ImageFormatError& malformed) {
    PrintError(app::ErrorText(MakeError(ErrorKind::MalformedImage,
                                        std::string("malformed resource directory: ") + malformed.what(),
                                        0, argument)));
    return std::nullopt;
  }
  return result;
}

}  // namespace marovi::cli
