#include "engine/undo_log.h"

#include <utility>

namespace marovi {

UndoLog::UndoLog(platform::FileHandle target, std::string scratchName)
    : target_(target), name_(std::move(scratchName)) {}

UndoLog::~UndoLog() {
  if (log_ == platform::kInvalidFile) return;
  platform::CloseFile(log_);
  try {
    platform::DeleteFileByName(name_);
  } catch (...) {
    // Deleting is best effort.
  }
}

void UndoLog::Reserve(std::size_t writes) { steps_.reserve(steps_.size() + writes); }

bool UndoLog::Keep(std::uint64_t at, std::uint64_t count, Step& step) {
  step.at = at;
  step.count = count;
  step.kept = logEnd_;
  if (count == 0) return true;
  if (log_ == platform::kInvalidFile) {
    log_ = platform::CreateScratchFile(name_);
    if (log_ == platform::kInvalidFile) return false;
  }
  if (!platform::CopyFileRange(target_, at, log_, logEnd_, count)) return false;
  logEnd_ += count;
  return true;
}

bool UndoLog::Move(std::uint64_t src, std::uint64_t dst, std::uint64_t count, ChecksumParts* sum) {
  if (count == 0 || src == dst) return true;  // nothing moves, nor is summed
  // The bytes the move overwrites that are not its own source are lost to
  // it: those are kept. The source's own bytes come back by moving back.
  Step step;
  step.isMove = true;
  step.src = src;
  step.dst = dst;
  step.moveCount = count;
  const std::uint64_t distance = dst > src ? dst - src : src - dst;
  const std::uint64_t lost = distance < count ? distance : count;
  const std::uint64_t lostAt = distance >= count ? dst : (dst > src ? src + count : dst);
  if (!Keep(lostAt, lost, step)) return false;
  steps_.push_back(step);
  return MoveFileBytes(target_, src, dst, count, steps_.back().moved, sum);
}

bool UndoLog::Copy(platform::FileHandle source, std::uint64_t from, std::uint64_t at,
                   std::uint64_t count) {
  if (count == 0) return true;
  Step step;
  if (!Keep(at, count, step)) return false;
  steps_.push_back(step);
  return platform::CopyFileRange(source, from, target_, at, count);
}

bool UndoLog::Write(std::uint64_t at, const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return true;
  Step step;
  if (!Keep(at, count, step)) return false;
  steps_.push_back(step);
  return platform::WriteAt(target_, at, bytes, count);
}

bool UndoLog::Save(std::uint64_t at, std::uint64_t count) {
  if (count == 0) return true;
  Step step;
  if (!Keep(at, count, step)) return false;
  steps_.push_back(step);
  return true;
}

bool UndoLog::UndoTo(std::size_t mark) {
  bool all = true;
  while (steps_.size() > mark) {
    const Step step = steps_.back();
    steps_.pop_back();
    if (step.isMove && step.moved > 0) {
      // The part that reached its place: the far end when moving up, the
      // start when moving down.
      const std::uint64_t offset = step.dst > step.src ? step.moveCount - step.moved : 0;
      std::uint64_t back = 0;
      all = MoveFileBytes(target_, step.dst + offset, step.src + offset, step.moved, back, nullptr) &&
            all;
    }
    if (step.count > 0)
      all = platform::CopyFileRange(log_, step.kept, target_, step.at, step.count) && all;
  }
  return all;
}

}  // namespace marovi
