// Planning a commit from the image's bytes: where the section goes, what
// the headers and debug entries become, how the tail moves, and what the
// journal keeps. Nothing here reads or writes a file.
#include "engine/commit/commit_plan.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/commit/journal_format.h"
#include "engine/pe/bytes.h"
#include "engine/pe/section_moves.h"

namespace marovi {

namespace {

// The largest section the commit lays out; file positions are 32-bit.
constexpr std::uint64_t kMaxSectionSize = 0x7FFFFFFF;
// A shorter tail is copied: that costs less than a block of padding, and the
// section keeps the smallest size the file alignment allows.
constexpr std::uint64_t kRangeMoveMinimumTail = 512u << 10;

bool PowerOfTwo(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::uint64_t SectionMemory(const Placement& p) {
  return std::max(p.sectionSize, p.virtualSize);
}

// The placement of a rebuild in place, or why the section cannot grow where
// it is (then a new section is added).
Error PlaceInPlace(std::span<const std::uint8_t> image, const ImageHeaders& h, Placement& p) {
  const std::uint8_t* view = image.data();
  const auto size = static_cast<std::uint32_t>(image.size());
  if (!h.resourceIndex) return RefusedAt("it has no resource section", 0);
  if (auto refusal = CheckResourceSectionHoldsOnlyResources(view, size, h.layout, *h.resourceIndex))
    return refusal;
  if (auto refusal = ResourceSectionHoldsOtherData(view, h.layout, *h.resourceIndex))
    return refusal;
  const std::uint8_t* s = view + h.layout.Section(*h.resourceIndex);
  p.sectionIndex = *h.resourceIndex;
  p.rawPointer = LoadU32(s + sec::kPointerToRawData);
  p.oldRawSize = LoadU32(s + sec::kSizeOfRawData);
  p.rawDelta = static_cast<std::int32_t>(std::int64_t{p.newRawSize} - p.oldRawSize);
  p.virtDelta = static_cast<std::uint32_t>(
      std::uint64_t{RoundUp(p.sectionSize, h.sectionAlignment)} -
      RoundUp(h.resourceExtent, h.sectionAlignment));
  // The sections behind the resource section get new addresses when it
  // changes its extent in memory, and only then.
  if (p.virtDelta != 0) return CheckSectionsBehindCanMove(view, size, h.layout, *h.resourceIndex);
  return Error();
}

// Large leaves of a growing section that can stay where they are: the
// blocks are inserted in front of the first of them, at a block boundary
// inside the old section, and the directory, the names and every other
// leaf's data go in front of the insertion point, as many blocks being
// inserted as that needs. The leaves move with the tail, each by delta.
struct StayingPlan {
  std::vector<ByteRange> leaves;
  std::uint64_t at = 0;
  std::int64_t delta = 0;
  std::uint64_t frontData = 0;    // the other leaves' data
  std::uint64_t sectionSize = 0;  // up to the last staying leaf's end
};

std::optional<StayingPlan> PlanStaying(std::uint64_t imageSize, const PlanInputs& in,
                                       const Placement& p, std::uint64_t block,
                                       std::uint64_t unit) {
  const std::uint64_t start = p.rawPointer;
  const std::uint64_t oldEnd = start + p.oldRawSize;
  // Distinct places inside the old section, in file order, none overlapping.
  std::vector<ByteRange> places;
  for (const ByteRange& leaf : in.largeLeaves)
    if (!leaf.empty() && ByteRange::Between(start, oldEnd).Contains(leaf)) places.push_back(leaf);
  std::sort(places.begin(), places.end(), [](const ByteRange& a, const ByteRange& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.size < b.size;
  });
  std::vector<ByteRange> distinct;
  for (const ByteRange& leaf : places)
    if (distinct.empty() || leaf.offset >= distinct.back().end())
      distinct.push_back(leaf);
  const std::uint64_t dataStart = (in.dirBytes + in.nameBytes + 3) & ~std::uint64_t{3};
  for (std::size_t first = 0; first < distinct.size(); ++first) {
    const std::uint64_t at = distinct[first].offset & ~(block - 1);
    if (at < start || imageSize - at < kRangeMoveMinimumTail) continue;
    const auto stays = [&](const ByteRange& leaf) {
      return std::any_of(distinct.begin() + static_cast<std::ptrdiff_t>(first), distinct.end(),
                         [&](const ByteRange& d) { return d == leaf; });
    };
    std::uint64_t stayingData = 0;
    for (const ByteRange& leaf : in.largeLeaves)
      if (stays(leaf)) stayingData += (leaf.size + 3) & ~std::uint64_t{3};
    if (stayingData > in.dataBytes) return std::nullopt;
    StayingPlan plan;
    plan.frontData = in.dataBytes - stayingData;
    const std::uint64_t front = dataStart + plan.frontData;
    // Room enough in front already: the section need not grow at all.
    if (front <= at - start) return std::nullopt;
    plan.delta = static_cast<std::int64_t>((front - (at - start) + unit - 1) / unit * unit);
    plan.at = at;
    plan.leaves.assign(distinct.begin() + static_cast<std::ptrdiff_t>(first), distinct.end());
    plan.sectionSize = std::max(
        front, plan.leaves.back().end() - start + static_cast<std::uint64_t>(plan.delta));
    return plan;
  }
  return std::nullopt;
}

// Rounds the section's raw size so that the tail moves by whole blocks of
// the file system at a block-aligned point inside the old section's data;
// false, leaving the plan as it was, where that cannot be done soundly.
bool PlanRangeMove(std::span<const std::uint8_t> image, const ImageHeaders& h,
                   const PlanInputs& in, CommitPlan& plan) {
  Placement& p = plan.placement;
  const std::uint64_t block = in.rangeBlock;
  if (!PowerOfTwo(block) || p.rawDelta == 0) return false;
  const std::uint64_t unit = std::max<std::uint64_t>(block, h.fileAlignment);
  const std::uint64_t start = p.rawPointer;
  const std::uint64_t oldEnd = start + p.oldRawSize;
  Placement q = p;
  std::int64_t delta = 0;
  std::uint64_t at = 0;
  const auto staying =
      p.rawDelta > 0 ? PlanStaying(image.size(), in, p, block, unit) : std::nullopt;
  if (staying) {
    delta = staying->delta;
    at = staying->at;
    q.sectionSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(staying->sectionSize,
                                                                       kMaxSectionSize + 1));
  } else {
    // Without a tail the file's length alone changes.
    if (oldEnd >= image.size() || image.size() - oldEnd < kRangeMoveMinimumTail) return false;
    if (p.rawDelta > 0) {
      delta = static_cast<std::int64_t>((static_cast<std::uint64_t>(p.rawDelta) + unit - 1) /
                                        unit * unit);
      at = oldEnd & ~(block - 1);
    } else {
      // Shrinking by whole units only; the rest stays as padding.
      delta = -static_cast<std::int64_t>(static_cast<std::uint64_t>(-std::int64_t{p.rawDelta}) /
                                         unit * unit);
      at = (oldEnd - static_cast<std::uint64_t>(-delta)) & ~(block - 1);
    }
    if (at < start) return false;
  }
  const std::int64_t newRaw = std::int64_t{p.oldRawSize} + delta;
  if (newRaw > static_cast<std::int64_t>(kMaxSectionSize) || q.sectionSize > kMaxSectionSize ||
      static_cast<std::int64_t>(image.size()) + delta > static_cast<std::int64_t>(kMaxSectionSize))
    return false;
  q.newRawSize = static_cast<std::uint32_t>(newRaw);
  q.rawDelta = static_cast<std::int32_t>(delta);
  // Padding past the section's extent in memory widens it there too.
  if (q.newRawSize > RoundUp(q.sectionSize, h.sectionAlignment)) q.virtualSize = q.newRawSize;
  q.virtDelta = static_cast<std::uint32_t>(std::uint64_t{RoundUp(
                                               static_cast<std::uint32_t>(SectionMemory(q)),
                                               h.sectionAlignment)} -
                                           RoundUp(h.resourceExtent, h.sectionAlignment));
  if (q.virtDelta != p.virtDelta && q.virtDelta != 0 &&
      CheckSectionsBehindCanMove(image.data(), static_cast<std::uint32_t>(image.size()), h.layout,
                                 p.sectionIndex))
    return false;
  // A signature cut off as long as the inserted blocks would leave the file
  // at its old length, which is how recovery tells that nothing moved yet.
  if (in.stripSignature && h.certificate && h.certificate->EndsFile(image.size()) &&
      delta == std::int64_t{h.certificate->size})
    return false;
  p = q;
  plan.tail.delta = delta;
  plan.tail.byRange = delta != 0;
  plan.tail.rangeAt = at;
  if (staying) {
    plan.staying = staying->leaves;
    plan.dataBytes = static_cast<std::uint32_t>(staying->frontData);
  }
  return true;
}

// The new headers: fixed, with the added section's header and without the
// certificate table's entry when the signature is stripped.
std::optional<std::vector<std::uint8_t>> NewHeaders(std::span<const std::uint8_t> image,
                                                    const ImageHeaders& h, const CommitPlan& plan,
                                                    bool stripSignature) {
  const std::uint32_t end = h.tableEnd + (plan.added ? sec::kSize : 0);
  if (end > image.size()) return std::nullopt;
  std::vector<std::uint8_t> bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(end));
  if (plan.added ? !AppendSectionInPlace(bytes, *plan.added, plan.placement)
                 : !FixHeadersInPlace(bytes, plan.placement))
    return std::nullopt;
  if (stripSignature && h.layout.directoryCount > kCertificateDirectory) {
    std::uint8_t* entry = bytes.data() + h.layout.DirectoryEntry(kCertificateDirectory);
    StoreU32(entry, 0);
    StoreU32(entry + 4, 0);
  }
  return bytes;
}

// The debug entries that change, found through the new headers and read
// from their old place.
void PlanDebugEntries(std::span<const std::uint8_t> image, const std::vector<std::uint8_t>& headers,
                      CommitPlan& plan) {
  const ByteRange entries = LocateDebugEntries(headers, plan.FinalLength());
  if (entries.empty()) return;
  const auto old = OldOffsetOf(plan, entries.offset);
  const auto oldLast = OldOffsetOf(plan, entries.end() - 1);
  // Entries where the new section goes are replaced by its bytes.
  if (!old || !oldLast || *oldLast - *old != entries.size - 1 ||
      !InBounds(image.size(), *old, entries.size))
    return;
  std::vector<std::uint8_t> bytes(image.begin() + static_cast<std::ptrdiff_t>(*old),
                                  image.begin() + static_cast<std::ptrdiff_t>(*oldLast + 1));
  const ByteRange changed = FixDebugEntries(bytes, entries.offset, plan.sectionRva, plan.placement);
  if (changed.empty()) return;
  const auto from = static_cast<std::ptrdiff_t>(changed.offset - entries.offset);
  const auto to = static_cast<std::ptrdiff_t>(changed.end() - entries.offset);
  plan.writes.push_back({changed.offset, {bytes.begin() + from, bytes.begin() + to}});
  plan.debugWritten = changed;
}

// Adds the old place of [at, at + count) of the finished file to what the
// journal keeps, where it had one.
void Keep(CommitPlan& plan, std::uint64_t at, std::uint64_t count) {
  const auto old = OldOffsetOf(plan, at);
  if (!old || count == 0 || *old >= plan.originalLength) return;
  plan.kept.push_back({*old, std::min(count, plan.originalLength - *old)});
}

// What the journal keeps: the headers, the old section (with everything
// behind it when the tail is copied) but for the leaves that stay where the
// shift puts them, every planned write, every fix-up's target and the
// signature cut off.
void PlanKeptRanges(const ImageHeaders& h, CommitPlan& plan) {
  const Placement& p = plan.placement;
  const std::uint64_t headersEnd = h.tableEnd + (plan.added ? sec::kSize : 0);
  const std::uint64_t length = plan.originalLength;
  plan.kept.push_back({0, std::min<std::uint64_t>(headersEnd, p.rawPointer)});
  const std::uint64_t oldEnd = std::uint64_t{p.rawPointer} + p.oldRawSize;
  const std::uint64_t changedEnd =
      plan.tail.delta != 0 && !plan.tail.byRange ? std::max(length, oldEnd) : oldEnd;
  std::uint64_t from = p.rawPointer;
  for (const ByteRange& leaf : plan.staying) {
    plan.kept.push_back(ByteRange::Between(from, std::min(leaf.offset, length)));
    from = leaf.end();
  }
  if (from < length) plan.kept.push_back(ByteRange::Between(from, std::min(changedEnd, length)));
  for (std::size_t i = 1; i < plan.writes.size(); ++i)
    Keep(plan, plan.writes[i].at, plan.writes[i].bytes.size());
  for (const FixupStep& step : plan.fixups)
    Keep(plan, step.at, step.kind == FixupStep::Kind::Write ? step.bytes.size() : 4);
  if (plan.cutAt && h.certificate) {
    const std::uint64_t at = h.certificate->offset;
    if (at >= changedEnd) plan.kept.push_back({at, h.certificate->size});
  }
}

}  // namespace

std::optional<ImageHeaders> DecodeHeaders(std::span<const std::uint8_t> image) {
  if (image.size() > 0xFFFFFFFFu) return std::nullopt;
  const auto size = static_cast<std::uint32_t>(image.size());
  // Only read: LocateNtHeaders takes the view it finds the headers in.
  auto* view = const_cast<std::uint8_t*>(image.data());
  const std::uint8_t* nt = LocateNtHeaders(view, size);
  const auto layout = ReadPeLayout(view, size, nt);
  if (!layout || layout->directoryCount <= kResourceDirectory) return std::nullopt;
  ImageHeaders h;
  h.layout = *layout;
  h.fileAlignment = LoadU32(nt + nt::kFileAlignment);
  h.sectionAlignment = LoadU32(nt + nt::kSectionAlignment);
  h.resourceIndex = FindResourceSection(view, size, nt);
  h.resourceRva = LoadU32(view + layout->DirectoryEntry(kResourceDirectory));
  h.resourceSize = LoadU32(view + layout->DirectoryEntry(kResourceDirectory) + 4);
  h.resourceExtent = h.resourceSize;
  if (h.resourceIndex) {
    const std::uint8_t* s = view + layout->Section(*h.resourceIndex);
    // A section padded for a move by whole blocks spans its raw data in
    // memory too: the sections behind it lie there already. Other sections
    // keep the table's size as their old extent.
    const std::uint32_t virtualSize = LoadU32(s + sec::kVirtualSize);
    if (LoadU32(s + sec::kVirtualAddress) == h.resourceRva &&
        virtualSize == LoadU32(s + sec::kSizeOfRawData) && virtualSize <= kMaxSectionSize)
      h.resourceExtent = std::max(h.resourceSize, virtualSize);
  }
  h.tableEnd = layout->Section(layout->sectionCount);
  h.certificate = FindCertificateTable(view, size, nt);
  return h;
}

std::uint64_t CommitPlan::FinalLength() const {
  const std::uint64_t oldEnd = std::uint64_t{placement.rawPointer} + placement.oldRawSize;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(std::max(originalLength, oldEnd)) +
                                    placement.rawDelta);
}

std::optional<std::uint64_t> OldOffsetOf(const CommitPlan& plan, std::uint64_t finalOffset) {
  const Placement& p = plan.placement;
  if (finalOffset < p.rawPointer) return finalOffset;
  if (finalOffset < std::uint64_t{p.rawPointer} + p.newRawSize) return std::nullopt;
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(finalOffset) - p.rawDelta);
}

PlanResult PlanCommit(std::span<const std::uint8_t> image, const ImageHeaders& h,
                      const PlanInputs& in) {
  PlanResult result;
  const auto size = static_cast<std::uint32_t>(image.size());
  if (Error refusal = CheckLayout(image.data(), size, h.layout, h.resourceIndex)) {
    result.error = std::move(refusal);
    return result;
  }
  const std::uint64_t sectionSize =
      ((in.dirBytes + in.nameBytes + 3) & ~std::uint64_t{3}) + in.dataBytes;
  const std::uint64_t newRaw = (sectionSize + h.fileAlignment - 1) / h.fileAlignment *
                               h.fileAlignment;
  const Error tooLarge =
      MakeError(ErrorKind::Refused, "the new resources would make the file 2 GiB or larger");
  if (sectionSize > kMaxSectionSize || newRaw > kMaxSectionSize) {
    result.error = tooLarge;
    return result;
  }
  CommitPlan plan;
  plan.dirBytes = static_cast<std::uint32_t>(in.dirBytes);
  plan.nameBytes = static_cast<std::uint32_t>(in.nameBytes);
  plan.dataBytes = static_cast<std::uint32_t>(in.dataBytes);
  plan.originalLength = image.size();
  Placement& p = plan.placement;
  p.newRawSize = static_cast<std::uint32_t>(newRaw);
  p.sectionSize = static_cast<std::uint32_t>(sectionSize);
  plan.sectionRva = h.resourceRva;
  // Where the resource section is rebuilt: in place, or in a new section
  // behind the last one when the image has none, or when its own holds
  // more than resources or cannot grow without moving sections that must
  // not move. The old section then stays as it is.
  if (const Error inPlace = PlaceInPlace(image, h, p)) {
    const NewSectionPlan added =
        PlanNewSection(image.first(std::min<std::size_t>(image.size(), 0x10000)), image.size());
    if (!added.section) {
      result.error = inPlace;
      result.error.detail += ", and a new section cannot be added: " + added.refusal;
      return result;
    }
    plan.added = *added.section;
    plan.sectionRva = added.section->virtualAddress;
    p = Placement{added.section->index, added.section->rawPointer, 0, p.newRawSize,
                  p.sectionSize, static_cast<std::int32_t>(newRaw), 0};
  }
  // (Nor does a change start from such a file: its journal could not tell
  // its lengths from damaged ones.)
  if (std::int64_t{std::max(size, p.rawPointer)} + p.rawDelta > std::int64_t{0x7FFFFFFF} ||
      std::max(size, p.rawPointer) > kMaxJournaledLength) {
    result.error = tooLarge;
    return result;
  }
  plan.tail.from = std::uint64_t{p.rawPointer} + p.oldRawSize;
  plan.tail.delta = p.rawDelta;
  if (!plan.added) PlanRangeMove(image, h, in, plan);

  const auto headers = NewHeaders(image, h, plan, in.stripSignature);
  if (!headers) {
    result.error = MakeError(ErrorKind::MalformedImage, "its headers can no longer be read");
    return result;
  }
  plan.writes.push_back({0, *headers});
  PlanDebugEntries(image, *headers, plan);
  plan.fixups = in.fixups;
  // A signature that ends the file and lies behind the new section is cut off.
  if (in.stripSignature && h.certificate && h.certificate->EndsFile(image.size())) {
    const std::uint64_t at = MovedFileOffset(h.certificate->offset, p);
    if (at >= std::uint64_t{p.rawPointer} + p.newRawSize) plan.cutAt = at;
  }
  PlanKeptRanges(h, plan);
  result.plan = std::move(plan);
  return result;
}

}  // namespace marovi
