#include "engine/commit_payloads.h"

#include <algorithm>

namespace marovi {

namespace {

constexpr std::uint16_t kRcData = 10;
constexpr std::uint16_t kInnoTableId = 11111;

}  // namespace

bool CommitPayloads::Plan(ResourceUpdate& u, const Placement& p, std::uint64_t originalLength,
                          Error& error) {
  // Inno's offset table, as the tree holds it now.
  std::vector<std::uint8_t> table;
  const std::vector<std::uint8_t>* inno = nullptr;
  std::uint16_t language = 0;
  for (const ResourceEntry& e : ListResources(&u, kRcData)) {
    if (e.name.named() || e.name.id != kInnoTableId) continue;
    language = static_cast<std::uint16_t>(e.language);
    Error readError;
    if (ReadResource(&u, MakeIntResource(kRcData), MakeIntResource(kInnoTableId), language, table,
                     &readError))
      inno = &table;
    break;
  }
  payloads_ = RecognisePayloads(std::span<const std::uint8_t>(u.view, u.viewSize), inno, language);
  TailShift shift;
  shift.removedBegin = p.rawPointer;
  shift.tailStart = std::uint64_t{p.rawPointer} + p.oldRawSize;
  shift.delta = p.rawDelta;
  shift.finalLength = static_cast<std::uint64_t>(
      static_cast<std::int64_t>(std::max<std::uint64_t>(originalLength, p.rawPointer)) +
      p.rawDelta);
  if (const auto refusal = PlanPayloadFixes(payloads_, shift, fixes_)) {
    error = MakeError(ErrorKind::Refused, refusal->detail);
    error.offset = refusal->offset;
    return false;
  }
  if (fixes_.innoTable &&
      !UpdateResourceData(&u, MakeIntResource(kRcData), MakeIntResource(kInnoTableId),
                          fixes_.innoLanguage, fixes_.innoTable->data(),
                          static_cast<std::uint32_t>(fixes_.innoTable->size()), &error))
    return false;
  return true;
}

std::vector<PayloadFinding> CommitPayloads::Findings() const {
  std::vector<PayloadFinding> out;
  for (const Payload& p : payloads_) out.push_back(p.finding);
  return out;
}

std::vector<JournalRange> CommitPayloads::KeptRanges(std::uint64_t keptBegin,
                                                     std::uint64_t keptEnd) const {
  std::vector<JournalRange> out;
  for (const JournalRange& r : fixes_.kept) {
    if (r.at < keptBegin || r.at + r.count > keptEnd) out.push_back(r);
  }
  return out;
}

bool CommitPayloads::Apply(std::uint8_t* view, std::uint64_t viewSize, Error& error) const {
  if (ApplyPayloadFixes(view, viewSize, fixes_)) return true;
  error = MakeError(ErrorKind::Internal,
                    "the fixes of the data behind the image reach outside the changed file");
  return false;
}

}  // namespace marovi
