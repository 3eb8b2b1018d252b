#include "engine/commit/commit_payloads.h"

#include <algorithm>
#include <utility>

namespace marovi {

namespace {

constexpr std::uint16_t kRcData = 10;
constexpr std::uint16_t kInnoTableId = 11111;

}  // namespace

void CommitPayloads::Recognise(ResourceUpdate& u) {
  // Inno's offset table, as the tree holds it now.
  std::vector<std::uint8_t> table;
  const std::vector<std::uint8_t>* inno = nullptr;
  std::uint16_t language = 0;
  ResourceUpdate* update = &u;
  for (const ResourceEntry& e : ListResources(update, kRcData)) {
    if (e.name.named() || e.name.id != kInnoTableId) continue;
    language = static_cast<std::uint16_t>(e.language);
    Error readError;
    if (ReadResource(update, MakeIntResource(kRcData), MakeIntResource(kInnoTableId), language,
                     table, &readError))
      inno = &table;
    break;
  }
  payloads_ = RecognisePayloads(std::span<const std::uint8_t>(u.view.bytes()), inno, language);
}

bool CommitPayloads::PlanFor(ResourceUpdate& u, const Placement& p, std::uint64_t originalLength,
                             Error& error) {
  TailShift shift;
  shift.removedBegin = p.rawPointer;
  shift.tailStart = std::uint64_t{p.rawPointer} + p.oldRawSize;
  shift.delta = p.rawDelta;
  shift.finalLength = static_cast<std::uint64_t>(
      static_cast<std::int64_t>(std::max<std::uint64_t>(originalLength, shift.tailStart)) +
      p.rawDelta);
  fixes_ = PayloadFixes();
  if (Error refusal = PlanPayloadFixes(payloads_, shift, fixes_)) {
    error = std::move(refusal);
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

std::vector<FixupStep> CommitPayloads::Steps() const {
  std::vector<FixupStep> steps;
  for (const PayloadWrite& w : fixes_.writes)
    steps.push_back(FixupStep{FixupStep::Kind::Write, w.at, w.bytes, 0, 0});
  for (const CrcStep& c : fixes_.crcs)
    steps.push_back(FixupStep{FixupStep::Kind::Crc32, c.at, {}, c.range});
  return steps;
}

}  // namespace marovi
