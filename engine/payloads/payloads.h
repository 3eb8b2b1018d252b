// Programs that carry their data behind their own image (installers,
// self-extracting archives, single-file bundles) and find it again by file
// offsets. A change that moves the file's tail would leave those offsets
// pointing at the wrong bytes. This part recognises such payloads in the
// image as it is, checks each one's own integrity there, and works out, as
// plain data, the writes that keep an intact one working after the tail has
// moved: offsets shifted, and checksums of the final file recomputed. It
// reads only the bytes it is given and writes nothing itself; the commit
// applies the fixes under its journal, as steps of its plan.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/commit/journal.h"
#include "engine/engine.h"
#include "engine/failure.h"

namespace marovi {

// A field of the file that holds an absolute file offset, 4 or 8 bytes wide.
struct OffsetField {
  std::uint64_t at = 0;
  std::uint8_t width = 4;
  std::uint64_t value = 0;
  // Offsets of this value mean "none" and stay as they are (0 for an absent
  // part; a 32-bit field of zip's that says "look in the 64-bit record").
  std::optional<std::uint64_t> none;
};

// What one recognised payload needs after a change.
struct Payload {
  PayloadFinding finding;
  // Why an intact payload cannot be kept working whatever the change; empty
  // when it can.
  std::string unfixable;
  std::vector<OffsetField> offsets;
  // NSIS: where its first header lies; the CRC-32 of the final file over
  // [512, crcAt) is stored at crcAt when crcOn.
  std::uint64_t header = 0;
  std::uint64_t crcAt = 0;
  bool crcOn = false;
  // Inno: the offset table as its resource holds it, and that resource's
  // language (type RCDATA, id 11111).
  std::vector<std::uint8_t> innoTable;
  std::uint16_t innoLanguage = 0;
};

// How the commit changes the file: the bytes [removedBegin, tailStart) are
// the old resource data (rebuilt; nothing there survives), everything from
// tailStart on moves by delta, and the file ends up finalLength bytes long.
// A new section added behind the last one has removedBegin == tailStart.
struct TailShift {
  std::uint64_t removedBegin = 0;
  std::uint64_t tailStart = 0;
  std::int64_t delta = 0;
  std::uint64_t finalLength = 0;
};

// Bytes to write at an offset of the final file.
struct PayloadWrite {
  std::uint64_t at = 0;
  std::vector<std::uint8_t> bytes;
};

// The CRC-32 (zlib's) of the final file's bytes in range, stored at `at`
// (little-endian), after every other write.
struct CrcStep {
  ByteRange range;
  std::uint64_t at = 0;
};

struct PayloadFixes {
  std::vector<PayloadWrite> writes;
  std::vector<CrcStep> crcs;
  // The bytes of the original file the writes and CRC steps overwrite, for
  // the journal.
  std::vector<ByteRange> kept;
  // A new offset table for Inno's resource (same size), and its language.
  std::optional<std::vector<std::uint8_t>> innoTable;
  std::uint16_t innoLanguage = 0;
  bool Empty() const { return writes.empty() && crcs.empty() && !innoTable; }
};

// Where the data behind the image begins: the end of the last section's raw
// data (or of the headers), at most the file's length. None when the bytes
// are not a PE image whose section table can be read.
std::optional<std::uint64_t> AppendedDataStart(std::span<const std::uint8_t> image);

// Every payload of the image: at most one in the appended data (NSIS, a zip
// archive, a .NET bundle, or data of unknown kind) and Inno's, whose offset
// table innoTable is (the bytes of resource RCDATA 11111, when there is one).
std::vector<Payload> RecognisePayloads(std::span<const std::uint8_t> image,
                                       const std::vector<std::uint8_t>* innoTable,
                                       std::uint16_t innoLanguage);

// The fixes that keep every intact payload working after shift; a payload
// found broken is left as it is. A refusal, naming the payload and why, when
// one cannot be kept working.
Error PlanPayloadFixes(std::span<const Payload> payloads, const TailShift& shift,
                       PayloadFixes& fixes);

// The recognisers, each on the image's bytes; appended is where the data
// behind the image begins.
std::optional<Payload> RecogniseNsis(std::span<const std::uint8_t> image, std::uint64_t appended);
std::optional<Payload> RecogniseZip(std::span<const std::uint8_t> image, std::uint64_t appended);
// The bundle's marker is looked for in front of appended, outside the
// resource data [resourcesBegin, resourcesEnd), which is not the host's.
std::optional<Payload> RecogniseDotNetBundle(std::span<const std::uint8_t> image,
                                             std::uint64_t appended, std::uint64_t resourcesBegin,
                                             std::uint64_t resourcesEnd);
std::optional<Payload> RecogniseInno(std::span<const std::uint8_t> image,
                                     const std::vector<std::uint8_t>& table);
// Inno's table with every offset shifted and its CRC recomputed, or a
// refusal.
Error ShiftInnoTable(const Payload& inno, const TailShift& shift, std::vector<std::uint8_t>& table);

// Where a byte of the original file lies in the final one; none when it lies
// in the removed resource data.
std::optional<std::uint64_t> FinalOffset(std::uint64_t original, const TailShift& shift);

}  // namespace marovi
