// The commit as a plan: the image's headers decoded once, and from them and
// the measured tree everything a commit will write, where, and what the
// undo journal must keep first. Planning reads bytes only (the image's view
// or any buffer holding the image) and touches no file; the executor in
// commit.cpp applies a plan under the journal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/error.h"
#include "engine/pe/header_fixes.h"
#include "engine/pe/image.h"

namespace marovi {

// What the commit needs of an image's headers, decoded and bounds-checked once.
struct ImageHeaders {
  PeLayout layout;
  std::uint32_t fileAlignment = 0;
  std::uint32_t sectionAlignment = 0;
  std::optional<std::uint32_t> resourceIndex;  // the resource section, when there is one
  std::uint32_t resourceRva = 0;
  std::uint32_t resourceSize = 0;     // the resource table's size
  // The resource section's old extent in memory, before section alignment:
  // the table's size, or where larger the virtual size of a section that
  // spans its raw data (as one padded for a move by whole blocks does).
  std::uint32_t resourceExtent = 0;
  std::uint32_t tableEnd = 0;         // end of the section table
  std::optional<CertificateTable> certificate;
};

// None when the image's headers can no longer be read.
std::optional<ImageHeaders> DecodeHeaders(std::span<const std::uint8_t> image);

// How the bytes behind the resource section's old data get to their new place.
struct TailMove {
  std::uint64_t from = 0;  // where the tail begins now (the old section's end)
  std::int64_t delta = 0;  // the file's length changes by this much; 0: nothing moves
  // Whole blocks inserted (delta > 0) or removed (delta < 0) at rangeAt by
  // the file system, instead of a copy of the tail; rangeAt and |delta| are
  // multiples of the file system's block size.
  bool byRange = false;
  std::uint64_t rangeAt = 0;
};

// Bytes the executor writes at an offset of the finished file.
struct PlannedWrite {
  std::uint64_t at = 0;
  std::vector<std::uint8_t> bytes;
};

// A step run after the section, the headers and the tail are in place:
// bytes written at an offset of the finished file, or the CRC-32 of the
// bytes in crc of the finished file stored little-endian at `at`.
// Steps run in order; their targets are kept by the journal like every write.
struct FixupStep {
  enum class Kind { Write, Crc32 };
  Kind kind = Kind::Write;
  std::uint64_t at = 0;
  std::vector<std::uint8_t> bytes;  // Write
  ByteRange crc;                    // Crc32
};

// What planning needs besides the image.
struct PlanInputs {
  std::uint64_t dirBytes = 0;  // the measured tree (Measure)
  std::uint64_t nameBytes = 0;
  std::uint64_t dataBytes = 0;
  bool stripSignature = false;
  // The file system's block size when it can insert and remove ranges of
  // whole blocks; 0 when the tail can only be copied.
  std::uint32_t rangeBlock = 0;
  std::vector<FixupStep> fixups;  // from the recognisers of appended payloads
  // The unchanged leaves the layout may leave where they are (as large as
  // MovedInPlaceMinimum() or more, their bytes in the image), in the tree's
  // order; the same leaf data listed once per leaf that uses it.
  std::vector<ByteRange> largeLeaves;
};

struct CommitPlan {
  Placement placement;
  std::optional<NewSection> added;  // the section added behind the last one
  std::uint32_t sectionRva = 0;
  std::uint32_t dirBytes = 0, nameBytes = 0, dataBytes = 0;
  std::uint64_t originalLength = 0;
  TailMove tail;
  // The headers up to the end of the section table (and the header added),
  // then the debug entries that change: at their offsets in the finished file.
  std::vector<PlannedWrite> writes;
  // The debug entries written, in the finished file (empty when none).
  ByteRange debugWritten;
  std::vector<FixupStep> fixups;
  // Large leaves behind the insertion point of a growing section, by their
  // old places: the inserted blocks carry each to its old offset + tail.delta,
  // where the layout puts it, so that its bytes are neither copied nor kept
  // by the journal. dataBytes then counts only the other leaves', which go
  // in front of the insertion point.
  std::vector<ByteRange> staying;
  // With stripSignature: the finished file is cut to this length.
  std::optional<std::uint64_t> cutAt;
  // Everything the executor overwrites or cuts off, as offsets of the image
  // as it is now: what the journal keeps.
  std::vector<ByteRange> kept;
  // The length of the finished file.
  std::uint64_t FinalLength() const;
};

// Where a byte of the finished file lay before the commit, when it lay
// anywhere: in front of the section it stays, behind it it came with the
// tail; a byte of the new section has no old place.
std::optional<std::uint64_t> OldOffsetOf(const CommitPlan& plan, std::uint64_t finalOffset);

// The plan of one commit, or why the image is refused (ErrorKind::Refused or
// MalformedImage, with the offset of what stands in the way).
struct PlanResult {
  std::optional<CommitPlan> plan;
  Error error;
};
PlanResult PlanCommit(std::span<const std::uint8_t> image, const ImageHeaders& headers,
                      const PlanInputs& inputs);

}  // namespace marovi
