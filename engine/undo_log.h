// Writes into a file in place that can be taken back: the bytes each write
// replaces are first kept in a scratch file, and Undo puts them back in the
// reverse order of the writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/image.h"
#include "engine/platform.h"

namespace marovi {

class UndoLog {
 public:
  // The scratch file, named scratchName, is created on the first write.
  UndoLog(platform::FileHandle target, std::string scratchName);
  ~UndoLog();  // closes and deletes the scratch file
  UndoLog(const UndoLog&) = delete;
  UndoLog& operator=(const UndoLog&) = delete;

  // Room for this many writes, so that none of them needs memory later.
  void Reserve(std::size_t writes);

  // Each returns false when its write failed; what it changed before that is
  // still undone by Undo.
  //
  // Moves count bytes of the target from src to dst; the ranges may overlap.
  // sum, when given, receives the sum of the bytes at their new place (none
  // when src is dst: nothing is read then).
  bool Move(std::uint64_t src, std::uint64_t dst, std::uint64_t count, ChecksumParts* sum);
  // Copies count bytes from offset from of another file to at.
  bool Copy(platform::FileHandle source, std::uint64_t from, std::uint64_t at, std::uint64_t count);
  bool Write(std::uint64_t at, const std::uint8_t* bytes, std::size_t count);

  // Keeps [at, at + count) of the target without writing to it, for a
  // caller that is about to change those bytes otherwise (cut them off).
  bool Save(std::uint64_t at, std::uint64_t count);

  // Puts back what the writes replaced, the last write first; false when the
  // target could not be restored completely.
  bool Undo() { return UndoTo(0); }
  // The same for the writes after a mark only.
  std::size_t Mark() const { return steps_.size(); }
  bool UndoTo(std::size_t mark);

  // Bytes kept so far (for tests and measurements).
  std::uint64_t KeptBytes() const { return logEnd_; }

 private:
  struct Step {
    std::uint64_t at = 0;      // the kept range of the target
    std::uint64_t count = 0;
    std::uint64_t kept = 0;    // where its bytes lie in the scratch file
    bool isMove = false;       // a move, whose source is put back by moving it back
    std::uint64_t src = 0;
    std::uint64_t dst = 0;
    std::uint64_t moveCount = 0;
    std::uint64_t moved = 0;   // how much of the move was done
  };

  // Keeps [at, at + count) of the target in the scratch file as step.
  bool Keep(std::uint64_t at, std::uint64_t count, Step& step);

  platform::FileHandle target_;
  std::string name_;
  platform::FileHandle log_ = platform::kInvalidFile;
  std::uint64_t logEnd_ = 0;
  std::vector<Step> steps_;
};

}  // namespace marovi
