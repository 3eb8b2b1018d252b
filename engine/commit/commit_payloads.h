// The commit's part in keeping payloads behind the image working: recognised
// once on the image as it is (before the journal is written), and planned as
// fix-up steps of the commit's plan for each placement the commit tries.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/commit/commit_plan.h"
#include "engine/payloads/payloads.h"
#include "engine/tree/update.h"

namespace marovi {

class CommitPayloads {
 public:
  // Recognises the update's payloads, with Inno's offset table as the
  // update's tree holds it now.
  void Recognise(ResourceUpdate& u);
  // What was found, for the commit's report.
  std::vector<PayloadFinding> Findings() const;
  // Plans the fixes for placement p of an image originalLength bytes long.
  // Inno's offset table, a resource, is replaced in the update's tree at
  // once (its size stays), from the table as it was recognised. False, with
  // the refusal in error, when a payload cannot be kept working.
  bool PlanFor(ResourceUpdate& u, const Placement& p, std::uint64_t originalLength, Error& error);
  // The planned fixes as the commit's steps: writes, then CRC-32s.
  std::vector<FixupStep> Steps() const;

 private:
  std::vector<Payload> payloads_;
  PayloadFixes fixes_;
};

}  // namespace marovi
