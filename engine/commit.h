// Ending an update: discard, or rebuild the resource section and write it back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/update.h"

namespace marovi {

// Ends the update; the handle is dead afterwards whatever the result. Discard
// writes nothing. A commit returns false when it could not be completed; the
// image file is then as it was: what the commit overwrote is kept in an undo
// log until it succeeds. Only when putting it back fails as well (a second
// failure) can the file stay changed.
bool EndResourceUpdate(ResourceUpdate* update, bool discard);
// The same, with the reason of a failed commit in error.
bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error);

struct SectionSizes {
  std::uint32_t dirBytes = 0;
  std::uint32_t nameBytes = 0;
  std::uint32_t dataBytes = 0;
  std::uint32_t SectionSize() const;  // RoundUp(dir + names, 4) + data
};

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

// A finished section image, mapped from the root's scratch file.
struct SectionImage {
  std::uint8_t* view = nullptr;
  std::uint32_t size = 0;  // sectionSize
  std::uint32_t mappedSize = 0;
  std::string scratchName;  // named when built, so that releasing needs no memory
  platform::FileHandle file = platform::kInvalidFile;  // the scratch file, open until released
};
// Lays out the section in a scratch file named after root; view null on failure.
SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes);
// The same for the commit, which passes the image file and its view: the
// leaves' bytes then go into the scratch file by file writes, and large
// unchanged leaves are copied from the image file without passing through
// memory. The section image that results is the same.
SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes, platform::FileHandle imageFile,
                                  const std::uint8_t* imageView);
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
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  // In the order of their new places; their old places are in the same
  // order and do not overlap, which lets each move in place.
  std::vector<LeafMove> moves;
};
// The same, leaving out unchanged leaves of at least MovedInPlaceMinimum()
// bytes that can be moved in place; those are listed in moved.
inline constexpr std::uint32_t kMovedInPlace = 64u << 10;
std::uint32_t MovedInPlaceMinimum();
// Tests and fuzzing lower the minimum to reach that path with small images;
// 0 restores kMovedInPlace.
void SetMovedInPlaceMinimum(std::uint32_t bytes);
SectionImage BuildResourceSection(std::uint32_t sectionRva, const TResItem* root,
                                  std::uint32_t dirBytes, std::uint32_t nameBytes,
                                  std::uint32_t dataBytes, platform::FileHandle imageFile,
                                  const std::uint8_t* imageView, LeavesMovedInPlace* moved);
// Unmaps the image and deletes its scratch file; never throws.
void ReleaseSectionImage(const TResItem* root, SectionImage& image) noexcept;

}  // namespace marovi
