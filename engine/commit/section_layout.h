// The new resource section laid out in a scratch file: the measuring pass,
// the writing pass and the section image they fill, apart from any image file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/byte_range.h"
#include "engine/error.h"
#include "engine/platform/owned_file.h"
#include "engine/platform/platform.h"
#include "engine/tree/restree.h"

namespace marovi {

void MeasureResourceTree(const TResItem* node, std::uint32_t& dirBytes, std::uint32_t& nameBytes,
                         std::uint32_t& dataBytes);

struct SectionCursor {
  std::uint8_t* image = nullptr;
  std::uint32_t imageSize = 0;
  std::uint32_t sectionRva = 0;
  std::uint32_t dirPos = 0;
  std::uint32_t namePos = 0;
  std::uint32_t dataPos = 0;
};

// Writes the subtree at node into the section image; false when a leaf's
// scratch file cannot be read.
bool WriteResourceTree(const TResItem* node, SectionCursor& cursor);

// A finished section image, mapped from the root's scratch file; unmapped,
// and the file gone, when it is destroyed.
struct SectionImage {
  SectionImage() = default;
  SectionImage(SectionImage&& other) noexcept;
  SectionImage& operator=(SectionImage&& other) noexcept;
  ~SectionImage() { Release(); }
  void Release() noexcept;

  std::uint8_t* view = nullptr;
  std::uint32_t size = 0;  // sectionSize
  std::uint32_t mappedSize = 0;
  std::string scratchName;  // the name it was created under
  ScratchFile file;
  Error error;  // with view null: the call that failed, and the platform's reason
};
// Lays out the section in a scratch file named after root; view null on failure.
SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes);
// Large unchanged leaves that a commit moves inside the image file instead of
// copying them through the section image, whose places for them stay holes.
struct LeafMove {
  std::uint64_t from = 0;  // the leaf's bytes in the image file
  std::uint32_t to = 0;    // their place in the new section
  std::uint32_t size = 0;
};
struct LeavesMovedInPlace {
  // Only leaves inside this range of the image file are moved: the old
  // section's data, which nothing else uses.
  ByteRange within;
  // In the order of their new places; their old places are in the same
  // order and do not overlap, which lets each move in place.
  std::vector<LeafMove> moves;
  // Leaves that a shift of the tail carries to their new places, by their
  // old places (in file order): the layout puts each at `to` and the other
  // leaves' data in front of them; with them, the section is sectionSize
  // bytes long.
  std::vector<LeafMove> staying;
  std::uint32_t sectionSize = 0;
};
inline constexpr std::uint32_t kMovedInPlace = 64u << 10;
std::uint32_t MovedInPlaceMinimum();
// Tests and fuzzing lower the minimum to reach that path with small images;
// 0 restores kMovedInPlace.
void SetMovedInPlaceMinimum(std::uint32_t bytes);
// The same for the commit, which passes the image file and its view: the
// leaves' bytes then go into the scratch file by file writes, and large
// unchanged leaves are copied from the image file without passing through
// memory; the section image that results is the same. With moved, unchanged
// leaves of at least MovedInPlaceMinimum() bytes that can be moved in place
// are left out (their places stay holes) and listed there.
SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes, platform::FileHandle imageFile,
                                  const std::uint8_t* imageView, LeavesMovedInPlace* moved);

// The measuring pass in 64 bits: sizes of the three areas of the subtree at
// node added to the totals, which no tree can wrap around.
void Measure(const TResItem* node, std::uint64_t& dirBytes, std::uint64_t& nameBytes,
             std::uint64_t& dataBytes);
// Whether every count and name length of the subtree fits its 16-bit field.
bool FitsTheFormat(const TResItem* node);

}  // namespace marovi
