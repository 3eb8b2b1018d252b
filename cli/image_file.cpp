#include "cli/image_file.h"

#include "app/file_transfer.h"
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

}  // namespace marovi::cli
