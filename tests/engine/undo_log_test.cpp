// Writes through the undo log: what they leave in the file, what the log
// keeps, and that Undo puts the file back after any of its calls fails.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/image.h"
#include "engine/platform.h"
#include "engine/undo_log.h"
#include "tests/engine/engine_test_util.h"

namespace marovi::test {
namespace {

struct Op {
  enum Kind { kMove, kCopy, kWrite } kind;
  std::uint64_t from = 0;  // move source, or offset in the other file
  std::uint64_t at = 0;    // destination in the target
  std::uint64_t count = 0;
};

// Moves up and down by less and by more than their length, across several
// move chunks, next to copies from another file and plain writes.
std::vector<Op> Script() {
  return {
      {Op::kMove, 1000, 1100, 300000},       // up by 100, over more than one chunk
      {Op::kMove, 400000, 390000, 270000},   // down by 10000
      {Op::kWrite, 0, 5, 17},
      {Op::kMove, 700000, 10, 3000},         // far down: nothing of its own source is overwritten
      {Op::kCopy, 123, 660000, 40000},
      {Op::kMove, 20, 900000, 100000},       // far up
      {Op::kMove, 5000, 5000, 10},           // onto itself
      {Op::kWrite, 0, 1048570, 6},
  };
}

class Files {
 public:
  Files() : target_(folder_ / "target"), other_(folder_ / "other") {
    original = Random(1 << 20, 7);
    otherBytes = Random(50000, 8);
    WriteWholeFile(target_, original);
    WriteWholeFile(other_, otherBytes);
    target = platform::OpenFileByName(Utf16Path(target_).c_str(), true, false);
    other = platform::OpenFileByName(Utf16Path(other_).c_str(), false, false);
  }
  ~Files() {
    platform::CloseFile(target);
    platform::CloseFile(other);
  }
  // Through the handle: the file is open without sharing on Windows.
  Bytes Read() const {
    std::uint64_t length = 0;
    Bytes b;
    if (!platform::GetFileLength(target, length)) return b;
    b.resize(static_cast<std::size_t>(length));
    if (!platform::ReadAt(target, 0, b.data(), b.size())) b.clear();
    return b;
  }
  std::string LogName() const { return (folder_ / "undo").string(); }
  bool LogExists() const { return IsOpenFile(LogName()); }

  Bytes original, otherBytes;
  platform::FileHandle target = platform::kInvalidFile;
  platform::FileHandle other = platform::kInvalidFile;

 private:
  TempFolder folder_;
  std::filesystem::path target_, other_;
};

const std::uint8_t kWritten[] = "written by the test";

// Runs the script against the log; false at the first operation that fails.
bool RunScript(UndoLog& log, const Files& f, const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    bool ok = false;
    switch (op.kind) {
      case Op::kMove: ok = log.Move(op.from, op.at, op.count, nullptr); break;
      case Op::kCopy: ok = log.Copy(f.other, op.from, op.at, op.count); break;
      case Op::kWrite: ok = log.Write(op.at, kWritten, static_cast<std::size_t>(op.count)); break;
    }
    if (!ok) return false;
  }
  return true;
}

// The same script on bytes in memory.
Bytes Model(Bytes b, const Bytes& other, const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    switch (op.kind) {
      case Op::kMove: std::memmove(b.data() + op.at, b.data() + op.from, op.count); break;
      case Op::kCopy: std::memcpy(b.data() + op.at, other.data() + op.from, op.count); break;
      case Op::kWrite: std::memcpy(b.data() + op.at, kWritten, op.count); break;
    }
  }
  return b;
}

TEST(UndoLogTest, WritesWhatTheOperationsSayAndUndoesThemAll) {
  Files f;
  ASSERT_NE(f.target, platform::kInvalidFile);
  {
    UndoLog log(f.target, f.LogName());
    ASSERT_TRUE(RunScript(log, f, Script()));
    EXPECT_TRUE(f.Read() == Model(f.original, f.otherBytes, Script()));
    EXPECT_TRUE(log.Undo());
    EXPECT_TRUE(f.Read() == f.original);
    EXPECT_TRUE(f.LogExists());
  }
  EXPECT_FALSE(f.LogExists()) << "the log's scratch file outlives it";
}

TEST(UndoLogTest, KeepsOnlyWhatAMoveOverwritesOutsideItsOwnSource) {
  Files f;
  UndoLog log(f.target, f.LogName());
  ASSERT_TRUE(log.Move(1000, 1100, 300000, nullptr));
  EXPECT_EQ(log.KeptBytes(), 100u);
  ASSERT_TRUE(log.Move(500000, 480000, 100000, nullptr));
  EXPECT_EQ(log.KeptBytes(), 100u + 20000u);
  ASSERT_TRUE(log.Move(0, 900000, 1000, nullptr));
  EXPECT_EQ(log.KeptBytes(), 100u + 20000u + 1000u);
  ASSERT_TRUE(log.Move(7, 7, 1000, nullptr));
  EXPECT_EQ(log.KeptBytes(), 21100u);
  EXPECT_TRUE(log.Undo());
  EXPECT_TRUE(f.Read() == f.original);
}

TEST(UndoLogTest, AMoveSumsItsBytesAtTheirNewPlace) {
  Files f;
  UndoLog log(f.target, f.LogName());
  ChecksumParts sum;
  ASSERT_TRUE(log.Move(1001, 2000, 600001, &sum));
  ChecksumParts direct;
  direct.Add(2000, f.original.data() + 1001, 600001);
  EXPECT_EQ(sum.Folded(), direct.Folded());
}

TEST(UndoLogTest, AfterAnyFailingCallUndoPutsTheFileBack) {
  int failures = 0;
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    ASSERT_LT(n, 1000u);
    Files f;
    bool ran = false;
    {
      UndoLog log(f.target, f.LogName());
      platform::InjectFailureAt(n);
      ran = RunScript(log, f, Script());
      const bool happened = platform::InjectedFailureHappened();
      platform::InjectFailureAt(0);
      if (ran) {
        EXPECT_FALSE(happened);
        EXPECT_TRUE(f.Read() == Model(f.original, f.otherBytes, Script()));
      } else {
        EXPECT_TRUE(happened);
        ++failures;
        EXPECT_TRUE(log.Undo());
        EXPECT_TRUE(f.Read() == f.original);
      }
    }
    EXPECT_FALSE(f.LogExists());
    if (ran) break;
  }
  EXPECT_GT(failures, 8);
}

}  // namespace
}  // namespace marovi::test
