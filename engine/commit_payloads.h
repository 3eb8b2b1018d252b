// The commit's part in keeping payloads behind the image working: planned on
// the image as it is (before the journal is written), applied to the final
// file after every other write and before its checksum.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/header_fixes.h"
#include "engine/payloads.h"
#include "engine/update.h"

namespace marovi {

class CommitPayloads {
 public:
  // Recognises the update's payloads and plans their fixes for placement p
  // (the file was originalLength bytes long). Inno's offset table, a
  // resource, is replaced in the update's tree at once (its size stays).
  // False, with the refusal in error, when a payload cannot be kept working.
  bool Plan(ResourceUpdate& u, const Placement& p, std::uint64_t originalLength, Error& error);
  // What was found, for the commit's report.
  std::vector<PayloadFinding> Findings() const;
  // The original bytes the fixes overwrite, beyond [keptBegin, keptEnd).
  std::vector<JournalRange> KeptRanges(std::uint64_t keptBegin, std::uint64_t keptEnd) const;
  // Whether the fixes write into the final file (its checksum must then read
  // it again).
  bool WritesFile() const { return !fixes_.writes.empty() || !fixes_.crcs.empty(); }
  // Applies the fixes to the final file's view.
  bool Apply(std::uint8_t* view, std::uint64_t viewSize, Error& error) const;

 private:
  std::vector<Payload> payloads_;
  PayloadFixes fixes_;
};

}  // namespace marovi
