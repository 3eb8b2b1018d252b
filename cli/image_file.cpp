#include "cli/image_file.h"

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"

namespace marovi::cli {
namespace {

// Holds the file shared and maps it for reading. Anything but a regular file
// is refused before it is opened. The error names the file.
Error MapImageFile(const std::u16string& path, ImageResources& image) {
  const std::string name = platform::ToUtf8(path);
  if (Error error = app::CheckRegularFile(path, "image")) return error;
  auto failed = [&](const char* what) {
    const std::uint32_t code = platform::LastError();
    return MakeError(platform::ClassifyError(code), what, code, name);
  };
  image.file = app::HeldFile(platform::OpenFileShared(path.c_str()));
  if (!image.file.valid()) return failed("cannot be opened");
  if (!image.image.Map(image.file.get())) return failed("cannot be read");
  return Error();
}

}  // namespace

std::optional<ImageResources> LoadImageResources(const std::string& argument,
                                                 bool resourcesRequired) {
  const std::optional<std::u16string> path = FileArgument(argument);
  if (!path) {
    PrintError(NotUtf8Text(argument));
    return std::nullopt;
  }
  // A copy to this name that a killed run left is removed; one that another
  // run is making is why there is no image yet.
  const app::Leftover leftover = app::RemoveLeftoverCopy(*path, nullptr);
  if (leftover == app::Leftover::Removed)
    PrintError(argument + ": the leftovers of a copy to it that was cut short were removed");
  if (Error refused = app::CheckRegularFile(*path, "image")) {
    if (refused.kind == ErrorKind::NotFound && leftover == app::Leftover::InUse)
      refused.detail = "no such image yet: another run is making it (as " +
                       platform::ToUtf8(app::PartName(*path)) + ")";
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
  if (recovery == Recovery::Undone || recovery == Recovery::Removed ||
      recovery == Recovery::LeftBehind)
    PrintError(app::RecoveryText(argument, recovery));
  ImageResources result;
  if (Error unread = MapImageFile(*path, result)) {
    PrintError(app::ErrorText(unread));
    return std::nullopt;
  }
  if (!ReadImageResources(result.image.bytes(), result.entries, &error)) {
    if (error.kind == ErrorKind::NoResources && !resourcesRequired) return result;
    // The image is named as the argument spelled it; before the directory is
    // read, as its UTF-8 path.
    error.file = error.kind == ErrorKind::MalformedImage ? argument : platform::ToUtf8(*path);
    PrintError(app::ErrorText(error));
    return std::nullopt;
  }
  return result;
}

}  // namespace marovi::cli
