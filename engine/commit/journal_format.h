// The undo journal's header as it lies on disk, and the checks that tell a
// journal of this program from anything else at its name. journal.cpp writes
// and applies journals; this file only encodes and decodes them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/platform/platform.h"

namespace marovi {

inline constexpr std::uint32_t kJournalVersion = 2;
inline constexpr std::uint32_t kJournalHeaderSize = 128;
inline constexpr std::uint32_t kJournalRecordSize = 32;
// Where the state lies, and the values it takes (see journal_format.cpp).
inline constexpr std::uint32_t kJournalStateField = 16;
inline constexpr std::uint32_t kStateBeingWritten = 0;
inline constexpr std::uint32_t kStateSealed = 0x4C414553;  // "SEAL"
inline constexpr std::uint32_t kStateSpent = 0x454E4F44;   // "DONE"
// The largest image a change journals: a commit refuses to make an image of
// 2 GiB or more, and so never starts from one.
inline constexpr std::uint64_t kMaxJournaledLength = 0x7FFFFFFF;
// The untouched bytes hashed are those of the first 4 MiB at most: enough to
// tell one build of a program from another, cheap for a 1 GiB image.
inline constexpr std::uint64_t kMaxHashedPrefix = 4u << 20;

// A kept range of the image. Its kind says what it holds; a journal with a
// kind this program does not know is not applied.
enum class RecordKind : std::uint32_t {
  KeptBytes = 1,  // the bytes the change overwrites at [at, at + count), as they were
  // The file system inserts count bytes at `at` (count > 0), or removes -count
  // bytes there (count < 0, two's complement), moving everything behind them
  // without copying it; no kept bytes (from is 0). At most one, and `at`
  // lies inside the image as it was.
  TailShift = 2,
};

struct JournalRecord {
  RecordKind kind = RecordKind::KeptBytes;
  std::uint64_t at = 0;     // in the image
  std::uint64_t count = 0;  // bytes
  std::uint64_t from = 0;   // where they lie in the journal
  // A TailShift's count as the signed number of bytes it inserts.
  std::int64_t Shift() const { return static_cast<std::int64_t>(count); }
};

struct JournalHeader {
  std::uint32_t state = kStateBeingWritten;
  // lengths[0]: the image's length before the change; the others: lengths it
  // may have while the change runs (0 for none).
  std::array<std::uint64_t, 4> lengths{};
  platform::FileIdentity identity;
  // FNV-1a (64 bits) of the image's bytes before untouchedEnd that no record
  // holds: bytes the change never writes.
  std::uint64_t untouchedHash = 0;
  std::uint64_t untouchedEnd = 0;
  std::uint64_t payloadAt = 0;     // where the kept bytes begin in the journal
  std::uint64_t payloadBytes = 0;  // how many there are
  std::uint32_t payloadCheck = 0;  // their check, when payloadChecked
  bool payloadChecked = false;
  std::vector<JournalRecord> records;
};

// The header and its record table as written (the state as given).
std::vector<std::uint8_t> EncodeJournalHeader(const JournalHeader& header);

// What the bytes at a journal's name are.
enum class JournalKind {
  CutShort,  // a journal of this program cut short while its header was written
  Ours,      // a whole header of this version (header filled in)
  Earlier,   // a journal of version 1, which cannot tell its file (header.state set)
  Foreign,   // not a journal of this program, or of a version it does not know
  Damaged,   // one of ours whose header does not check or does not add up
};
struct JournalDecoding {
  JournalKind kind = JournalKind::Foreign;
  std::string why;           // for Damaged and Foreign
  std::uint32_t osCode = 0;  // Damaged because a read failed: the platform's reason
};
// Decodes the header of the open journal, fileLength bytes long. Bounds: the
// record table and every kept range lie inside the journal, the ranges inside
// lengths[0], and every length within what an image that a change journals
// can have. Io (a read failed) comes back as Damaged with the code read at
// the failed read.
JournalDecoding DecodeJournalHeader(platform::FileHandle journal, std::uint64_t fileLength,
                                    JournalHeader& header);

// FNV-1a, 32 bits (the checks of the header and of small payloads) and 64
// bits (the untouched bytes of the image).
std::uint32_t Fnv32(const std::uint8_t* bytes, std::size_t count, std::uint32_t hash = 2166136261u);
inline constexpr std::uint64_t kFnv64Basis = 14695981039346656037ull;
std::uint64_t Fnv64(const std::uint8_t* bytes, std::size_t count, std::uint64_t hash);
// The check of an encoded header (bytes 0-47 with the state as 0, 60-127 and
// the record table).
std::uint32_t JournalHeaderCheck(std::span<const std::uint8_t> encoded);

// Hashes the bytes of image before end that no record holds. False when they
// cannot be read.
bool HashUntouchedBytes(platform::FileHandle image, std::uint64_t end,
                        const std::vector<JournalRecord>& records, std::uint64_t& hash);

}  // namespace marovi
