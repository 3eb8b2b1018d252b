// The undo journal on disk. Its header, all little-endian:
//
//   0    12 bytes  "MAROVI-UNDO\n"
//   12   u32       format version (2; version 1 had no fields past 63)
//   16   u32       state (below)
//   20   u32       number of records
//   24   u64       the image's length before the change
//   32   u64       where the kept bytes begin in the journal (= the end of the
//                  record table)
//   40   u64       how many kept bytes there are
//   48   u32       check of bytes 0-47 (state counted as 0), 60-127 and the
//                  record table
//   52   u32       check of the kept bytes, when 56 holds 1
//   56   u32       1: the kept bytes are checked (a small journal, sealed and
//                  flushed in one go); 0: sealed only after they were flushed
//   60   u32       size of this header (128): the record table follows it
//   64   3 x u64   other lengths the image may have while the change runs:
//                  while its tail moves, once it has moved, once a signature
//                  was cut off its end (0: none)
//   88   u64       the image's device (volume serial number on Windows)
//   96   u64       the image's inode (file index on Windows)
//   104  u64       FNV-1a (64 bits) of the image's bytes before the offset at
//                  112 that no record holds: bytes the change never writes
//   112  u64       that offset
//   120  u64       0
//   128            the record table, 32 bytes a record: u32 kind (1: kept
//                  bytes), u32 0, u64 offset in the image, u64 byte count,
//                  u64 offset of its bytes in the journal; or kind 2, a shift
//                  of the tail by the file system: u32 0, u64 where whole
//                  blocks are inserted or removed, u64 how many bytes (two's
//                  complement, negative for a removal), u64 0
//   then           the kept bytes, in the order of the records
//
// States, and who moves a journal between them:
//
//   none ──(commit: Journal::Write creates it)──> being written (state 0)
//   being written ──(Journal::Write, once every kept byte is in it and, for a
//       durable change, flushed; in one write of 4 bytes inside one sector,
//       or in the same write as everything for a small one)──> sealed
//   sealed: only now may the image change. The commit removes the journal as
//       its last step (-> none), or, when the name cannot be removed, marks
//       it spent. A failed commit puts the image back from it (being applied).
//   being applied: a recovery (the next run) or a failed commit puts the
//       kept bytes back. Not a state of its own on disk: the journal stays
//       sealed, since applying it twice gives the same bytes, so a run killed
//       while it applies one leaves it to the next run. Once the image is
//       back (and flushed) the journal is removed (-> none) or, when the name
//       cannot be removed, marked spent.
//   spent ("DONE"): the change it kept finished or was undone; it changes
//       nothing, and any run removes it when the folder lets it.
//
// A journal of state 0 never let the image change: any run removes it. A
// sealed journal is applied only to the image it was written for, in a state
// the change could have left: the same device and inode, one of the recorded
// lengths, and the untouched bytes as hashed (journal.cpp).
#include "engine/commit/journal_format.h"

#include <algorithm>
#include <cstring>

#include "engine/little_endian.h"

namespace marovi {

namespace {

constexpr char kMagic[12] = {'M', 'A', 'R', 'O', 'V', 'I', '-', 'U', 'N', 'D', 'O', '\n'};
constexpr std::uint32_t kVersion1HeaderSize = 64;
constexpr std::uint32_t kCheckField = 48;
// Far more than a change keeps; a larger count is a damaged journal.
constexpr std::uint32_t kMaxRecords = 1u << 16;
// Up to this many kept bytes are checked whole (journal.cpp writes those in
// one go).
constexpr std::uint64_t kMaxCheckedPayload = 1u << 20;

bool ValidLength(std::uint64_t length) { return length <= kMaxJournaledLength; }

}  // namespace

std::uint32_t Fnv32(const std::uint8_t* bytes, std::size_t count, std::uint32_t hash) {
  for (std::size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

std::uint64_t Fnv64(const std::uint8_t* bytes, std::size_t count, std::uint64_t hash) {
  for (std::size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

std::uint32_t JournalHeaderCheck(std::span<const std::uint8_t> encoded) {
  std::uint8_t first[kCheckField];
  std::memcpy(first, encoded.data(), kCheckField);
  StoreU32(first + kJournalStateField, 0);
  const std::uint32_t hash = Fnv32(first, kCheckField);
  return Fnv32(encoded.data() + 60, encoded.size() - 60, hash);
}

std::vector<std::uint8_t> EncodeJournalHeader(const JournalHeader& h) {
  std::vector<std::uint8_t> out(kJournalHeaderSize + kJournalRecordSize * h.records.size(), 0);
  std::uint8_t* b = out.data();
  std::memcpy(b, kMagic, sizeof kMagic);
  StoreU32(b + 12, kJournalVersion);
  StoreU32(b + 16, h.state);
  StoreU32(b + 20, static_cast<std::uint32_t>(h.records.size()));
  StoreU64(b + 24, h.lengths[0]);
  StoreU64(b + 32, h.payloadAt);
  StoreU64(b + 40, h.payloadBytes);
  StoreU32(b + 52, h.payloadCheck);
  StoreU32(b + 56, h.payloadChecked ? 1 : 0);
  StoreU32(b + 60, kJournalHeaderSize);
  for (std::size_t i = 1; i < h.lengths.size(); ++i) StoreU64(b + 56 + 8 * i, h.lengths[i]);
  StoreU64(b + 88, h.identity.device);
  StoreU64(b + 96, h.identity.index);
  StoreU64(b + 104, h.untouchedHash);
  StoreU64(b + 112, h.untouchedEnd);
  for (std::size_t i = 0; i < h.records.size(); ++i) {
    std::uint8_t* r = b + kJournalHeaderSize + kJournalRecordSize * i;
    StoreU32(r, static_cast<std::uint32_t>(h.records[i].kind));
    StoreU64(r + 8, h.records[i].at);
    StoreU64(r + 16, h.records[i].count);
    StoreU64(r + 24, h.records[i].from);
  }
  StoreU32(b + kCheckField, JournalHeaderCheck(out));
  return out;
}

namespace {

// A read of the journal that has just failed: the platform's reason with it.
JournalDecoding Unreadable() {
  return {JournalKind::Damaged, "the undo journal cannot be read", platform::LastError()};
}

// The fields of a sealed header past the first 64 bytes, and its records.
JournalDecoding DecodeSealed(platform::FileHandle journal, std::uint64_t fileLength,
                             std::vector<std::uint8_t>& bytes, JournalHeader& h) {
  auto damaged = [](const char* why) { return JournalDecoding{JournalKind::Damaged, why}; };
  const std::uint8_t* b = bytes.data();
  const std::uint32_t count = LoadU32(b + 20);
  if (count > kMaxRecords) return damaged("the undo journal is damaged (record count)");
  if (LoadU32(b + 60) != kJournalHeaderSize) return damaged("the undo journal is damaged (layout)");
  const std::uint64_t tableEnd = kJournalHeaderSize + std::uint64_t{kJournalRecordSize} * count;
  if (tableEnd > fileLength) return damaged("the undo journal is damaged (cut short)");
  bytes.resize(static_cast<std::size_t>(tableEnd));
  if (!platform::ReadAt(journal, kJournalHeaderSize, bytes.data() + kJournalHeaderSize,
                        bytes.size() - kJournalHeaderSize))
    return Unreadable();
  b = bytes.data();
  if (LoadU32(b + kCheckField) != JournalHeaderCheck(bytes))
    return damaged("the undo journal is damaged (its header does not check)");
  h.lengths[0] = LoadU64(b + 24);
  for (std::size_t i = 1; i < h.lengths.size(); ++i) h.lengths[i] = LoadU64(b + 56 + 8 * i);
  h.payloadAt = LoadU64(b + 32);
  h.payloadBytes = LoadU64(b + 40);
  h.payloadCheck = LoadU32(b + 52);
  h.payloadChecked = LoadU32(b + 56) == 1;
  h.identity = platform::FileIdentity{LoadU64(b + 88), LoadU64(b + 96)};
  h.untouchedHash = LoadU64(b + 104);
  h.untouchedEnd = LoadU64(b + 112);
  // What an image can hold, before anything else is believed.
  if (h.lengths[0] == 0 || !std::all_of(h.lengths.begin(), h.lengths.end(), ValidLength))
    return damaged("the undo journal is damaged (a length no image it keeps can have)");
  if (h.untouchedEnd > h.lengths[0] || h.payloadAt != tableEnd ||
      h.payloadBytes > fileLength - tableEnd)
    return damaged("the undo journal is damaged (layout)");
  std::uint64_t at = tableEnd;
  h.records.clear();
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* r = b + kJournalHeaderSize + std::uint64_t{kJournalRecordSize} * i;
    const JournalRecord record{static_cast<RecordKind>(LoadU32(r)), LoadU64(r + 8), LoadU64(r + 16),
                               LoadU64(r + 24)};
    if ((record.kind != RecordKind::KeptBytes && record.kind != RecordKind::TailShift) ||
        LoadU32(r + 4) != 0)
      return {JournalKind::Foreign,
              "is an undo journal of a later version of this program (a record it does not know)"};
    if (record.kind == RecordKind::TailShift) {
      const std::int64_t shift = record.Shift();
      const std::uint64_t size = shift < 0 ? 0 - record.count : record.count;
      const bool second = std::any_of(h.records.begin(), h.records.end(), [](const JournalRecord& o) {
        return o.kind == RecordKind::TailShift;
      });
      if (second || record.from != 0 || shift == 0 || size > kMaxJournaledLength ||
          record.at >= h.lengths[0] || (shift < 0 && size > h.lengths[0] - record.at))
        return damaged("the undo journal is damaged (its shift of the tail)");
      h.records.push_back(record);
      continue;
    }
    if (record.from != at || record.count > fileLength - at || record.at > h.lengths[0] ||
        record.count > h.lengths[0] - record.at)
      return damaged("the undo journal is damaged (a range outside it or the file)");
    h.records.push_back(record);
    at += record.count;
  }
  if (at - tableEnd != h.payloadBytes) return damaged("the undo journal is damaged (layout)");
  if (h.payloadChecked) {
    // Sealed and flushed in one go: kept bytes that do not check were cut
    // short, and the image was never touched.
    if (h.payloadBytes > kMaxCheckedPayload) return {JournalKind::CutShort, {}};
    std::vector<std::uint8_t> kept(static_cast<std::size_t>(h.payloadBytes));
    // A read that fails says nothing about the journal: it is not taken
    // for one cut short (which would be removed unapplied).
    if (!kept.empty() && !platform::ReadAt(journal, tableEnd, kept.data(), kept.size()))
      return Unreadable();
    if (Fnv32(kept.data(), kept.size()) != h.payloadCheck) return {JournalKind::CutShort, {}};
  }
  return {JournalKind::Ours, {}};
}

}  // namespace

JournalDecoding DecodeJournalHeader(platform::FileHandle journal, std::uint64_t fileLength,
                                    JournalHeader& h) {
  const JournalDecoding foreign{JournalKind::Foreign, "is not an undo journal of this program"};
  std::vector<std::uint8_t> bytes(
      static_cast<std::size_t>(std::min<std::uint64_t>(fileLength, kJournalHeaderSize)));
  if (!bytes.empty() && !platform::ReadAt(journal, 0, bytes.data(), bytes.size()))
    return Unreadable();
  // A journal cut short while its header was written has the magic, or as
  // much of it as was written, and a version of ours.
  if (bytes.empty()) return {JournalKind::CutShort, {}};
  if (std::memcmp(bytes.data(), kMagic, std::min(bytes.size(), sizeof kMagic)) != 0) return foreign;
  if (bytes.size() < 16) return {JournalKind::CutShort, {}};
  const std::uint32_t version = LoadU32(bytes.data() + 12);
  if (version != 1 && version != kJournalVersion)
    return {JournalKind::Foreign, "is an undo journal of a version this program does not know"};
  const std::uint32_t size = version == 1 ? kVersion1HeaderSize : kJournalHeaderSize;
  if (bytes.size() < size) return {JournalKind::CutShort, {}};
  h.state = LoadU32(bytes.data() + kJournalStateField);
  if (version == 1) return {JournalKind::Earlier, {}};
  if (h.state != kStateSealed) return {JournalKind::Ours, {}};
  return DecodeSealed(journal, fileLength, bytes, h);
}

bool HashUntouchedBytes(platform::FileHandle image, std::uint64_t end,
                        const std::vector<JournalRecord>& records, std::uint64_t& hash) {
  std::vector<JournalRecord> sorted(records);
  std::sort(sorted.begin(), sorted.end(),
            [](const JournalRecord& a, const JournalRecord& b) { return a.at < b.at; });
  hash = kFnv64Basis;
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(end, 1u << 16)));
  auto hashRange = [&](std::uint64_t from, std::uint64_t to) {
    while (from < to) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, buffer.size()));
      if (!platform::ReadAt(image, from, buffer.data(), n)) return false;
      hash = Fnv64(buffer.data(), n, hash);
      from += n;
    }
    return true;
  };
  std::uint64_t at = 0;
  for (const JournalRecord& r : sorted) {
    if (r.kind != RecordKind::KeptBytes) continue;
    if (at >= end) break;
    if (r.at > at && !hashRange(at, std::min(r.at, end))) return false;
    at = std::max(at, r.at + r.count);
  }
  return at >= end || hashRange(at, end);
}

}  // namespace marovi
