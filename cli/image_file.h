// Reading an image file read-only into memory and finding its resource
// section, for listing and for explaining why a change could not begin.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace marovi::cli {

enum class ImageProblem { None, CannotOpen, CannotRead, Empty, NotPe, NoResourceSection };

struct ImageInspection {
  ImageProblem problem = ImageProblem::None;
  std::uint32_t lastError = 0;       // for CannotOpen and CannotRead
  std::vector<std::uint8_t> bytes;   // the whole file
  std::uint32_t ntHeaders = 0;       // offset of the NT headers
  std::uint32_t rawOffset = 0;       // the resource section's PointerToRawData
  std::uint32_t rawSize = 0;         // its SizeOfRawData
  std::uint32_t virtualAddress = 0;  // its VirtualAddress
};

// Opens the file for reading only (shared), reads it whole and locates the
// headers and the resource section.
ImageInspection InspectImage(const std::u16string& path);

// "cannot be opened: ...", "is not a PE image", "has no resource section".
std::string DescribeImageProblem(const ImageInspection& inspection);

}  // namespace marovi::cli
