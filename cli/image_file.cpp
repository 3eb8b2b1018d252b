#include "cli/image_file.h"

#include "cli/console.h"
#include "engine/bytes.h"
#include "engine/image.h"
#include "engine/platform.h"

namespace marovi::cli {

ImageInspection InspectImage(const std::u16string& path) {
  ImageInspection result;
  const platform::FileHandle file = OpenFileByName(path.c_str(), /*forWriting=*/false, /*create=*/false);
  if (file == platform::kInvalidFile) {
    result.problem = ImageProblem::CannotOpen;
    result.lastError = platform::LastError();
    return result;
  }
  std::uint64_t length = 0;
  bool read = platform::GetFileLength(file, length);
  if (read) {
    result.bytes.resize(static_cast<std::size_t>(length));
    read = length == 0 || platform::ReadAt(file, 0, result.bytes.data(), result.bytes.size());
  }
  result.lastError = platform::LastError();
  platform::CloseFile(file);
  if (!read) {
    result.problem = ImageProblem::CannotRead;
    result.bytes.clear();
    return result;
  }
  if (result.bytes.empty()) {
    result.problem = ImageProblem::Empty;
    return result;
  }
  std::uint8_t* view = result.bytes.data();
  const auto viewSize = static_cast<std::uint32_t>(result.bytes.size());
  std::uint8_t* nt = LocateNtHeaders(view, viewSize);
  const std::optional<PeLayout> layout =
      nt != nullptr ? ReadPeLayout(view, viewSize, nt) : std::nullopt;
  if (!layout) {
    result.problem = ImageProblem::NotPe;
    return result;
  }
  result.ntHeaders = static_cast<std::uint32_t>(nt - view);
  const std::optional<std::uint32_t> section = FindResourceSection(view, viewSize, nt);
  if (!section || !InBounds(viewSize, layout->Section(*section), sec::kSize)) {
    result.problem = ImageProblem::NoResourceSection;
    return result;
  }
  const std::uint8_t* header = view + layout->Section(*section);
  result.rawOffset = LoadU32(header + sec::kPointerToRawData);
  result.rawSize = LoadU32(header + sec::kSizeOfRawData);
  result.virtualAddress = LoadU32(header + sec::kVirtualAddress);
  return result;
}

std::string DescribeImageProblem(const ImageInspection& inspection) {
  switch (inspection.problem) {
    case ImageProblem::None: return "is a PE image with resources";
    case ImageProblem::CannotOpen: return "cannot be opened: " + SystemErrorText(inspection.lastError);
    case ImageProblem::CannotRead: return "cannot be read: " + SystemErrorText(inspection.lastError);
    case ImageProblem::Empty: return "is empty, not a PE image";
    case ImageProblem::NotPe: return "is not a PE image";
    case ImageProblem::NoResourceSection: return "has no resource section";
  }
  return "cannot be read";
}

}  // namespace marovi::cli
