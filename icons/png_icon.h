// PNG images where an icon file is expected: a square PNG becomes the bytes of
// an icon file with the usual sizes, which the icon group code takes as it
// takes any .ico file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/engine.h"

namespace marovi {

// The images of an icon made from a PNG, largest first. The 256-pixel one is
// stored as PNG, the others as 32-bit bitmaps with their AND mask.
inline constexpr std::uint32_t kPngIconSizes[] = {256, 48, 32, 24, 16};
inline constexpr std::uint32_t kPngIconLargestInput = 4096;

// Whether bytes start with the PNG signature.
bool IsPngData(std::span<const std::uint8_t> bytes);

// The bytes of an icon file made from a square PNG of at most
// kPngIconLargestInput pixels a side, each image scaled from it. None, with
// error (BadIconFile) saying why, for a PNG that is not square, too large,
// cut short, fails a chunk's checksum or cannot be decoded.
std::optional<std::vector<std::uint8_t>> IconFileFromPng(std::span<const std::uint8_t> png,
                                                         Error* error);

// Checks a PNG image as IconFileFromPng checks its input: every chunk whole
// up to IEND with its checksum, IHDR first, square, at most
// kPngIconLargestInput pixels a side, and decoded to that size. False, with
// error (BadIconFile, "the PNG image ..."), when it is not.
bool CheckPngImage(std::span<const std::uint8_t> png, Error* error);

}  // namespace marovi
