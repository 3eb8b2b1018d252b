// Ending an update: the commit is planned from the image's bytes
// (commit_plan.h), the new resource section laid out in a scratch file, and
// only then is the plan applied: the tail moved (by whole blocks that the
// file system inserts or removes where it can, by a copy otherwise), the
// section copied in, the headers, debug entries and fix-ups written and the
// checksum computed. Large unchanged resources are left out of the scratch
// file and moved inside the image file instead. Before the image is touched,
// everything the plan overwrites is kept in an undo journal (journal.h),
// from which a failed commit, or the next run after a killed one, puts every
// byte back.
#include "engine/commit/commit.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "engine/commit/commit_payloads.h"
#include "engine/commit/commit_plan.h"
#include "engine/commit/journal.h"
#include "engine/commit/result_check.h"
#include "engine/commit/section_layout.h"
#include "engine/failure.h"
#include "engine/pe/bytes.h"
#include "engine/pe/header_fixes.h"
#include "engine/pe/image.h"
#include "engine/pe/section_moves.h"

namespace marovi {

namespace {

// The unchanged leaves large enough to be left where they are, with their
// bytes in the image, in the order the layout meets them.
void CollectLargeLeaves(const TResItem* node, std::span<const std::uint8_t> image,
                        std::vector<ByteRange>& out) {
  if (node->isDirectory()) {
    for (const TResItem* child = node->firstChild.get(); child != nullptr;
         child = child->nextSibling.get())
      CollectLargeLeaves(child, image, out);
    return;
  }
  const ResourceLeaf& leaf = node->leaf();
  const std::uint8_t* bytes = leaf.data.view();
  if (bytes == nullptr || leaf.dataSize < MovedInPlaceMinimum() || bytes < image.data()) return;
  const auto at = static_cast<std::uint64_t>(bytes - image.data());
  if (ByteRange{0, image.size()}.Contains(ByteRange{at, leaf.dataSize})) out.push_back({at, leaf.dataSize});
}

// One commit on an update whose tree is complete: planned from the image's
// bytes, then applied under the undo journal.
class Committer {
 public:
  Committer(ResourceUpdate& u, Error& error, CommitReport* report)
      : u_(u), error_(error), report_(report) {}

  bool Run() {
    if (!FitsTheFormat(u_.root.get())) {
      error_ = MakeError(ErrorKind::Refused,
                         "a resource name or directory is larger than the format can hold");
      return false;
    }
    // Installers and archives behind the image: found on the image as it
    // is, their fixes planned for each placement below.
    payloads_.Recognise(u_);
    if (report_ != nullptr) report_->payloads = payloads_.Findings();
    PlanInputs inputs;
    Measure(u_.root.get(), inputs.dirBytes, inputs.nameBytes, inputs.dataBytes);
    inputs.stripSignature = u_.options.stripSignature;
    inputs.rangeBlock = BlockForRangeMoves();
    if (inputs.rangeBlock != 0)
      CollectLargeLeaves(u_.root.get(), u_.view.bytes(), inputs.largeLeaves);
    const Outcome outcome = PlanAndExecute(inputs);
    if (outcome != Outcome::ShiftRefused) return outcome == Outcome::Done;
    // The file system refused to shift the tail by whole blocks before
    // anything changed: planned again with the tail copied.
    inputs.rangeBlock = 0;
    return PlanAndExecute(inputs) == Outcome::Done;
  }

 private:
  enum class Outcome { Done, Failed, ShiftRefused };

  // The file system's block when the tail may move by whole blocks: only a
  // file without holes, so that recovery can tell where a shift cut short
  // by a crash stopped (Journal::UndoShift).
  std::uint32_t BlockForRangeMoves() const {
    const std::uint32_t block = platform::RangeBlockSize(u_.fileHandle);
    std::uint64_t begin = 0, end = 0;
    if (block == 0 || !platform::NextHole(u_.fileHandle, 0, begin, end) || begin != u_.view.size())
      return 0;
    return block;
  }

  // Plans the commit on the image as it is now, the payloads' fixes as its
  // last steps, lays the section out and applies the plan.
  Outcome PlanAndExecute(PlanInputs inputs) {
    const std::span<const std::uint8_t> image(u_.view.bytes());
    const auto headers = DecodeHeaders(image);
    if (!headers) {
      error_ = MakeError(ErrorKind::MalformedImage, "its headers can no longer be read");
      return Outcome::Failed;
    }
    PlanResult planned = PlanCommit(image, *headers, inputs);
    if (planned.plan) {
      if (!payloads_.PlanFor(u_, planned.plan->placement, u_.view.size(), error_))
        return Outcome::Failed;
      inputs.fixups = payloads_.Steps();
      // The same placement, with the fixes' targets kept too.
      if (!inputs.fixups.empty()) planned = PlanCommit(image, *headers, inputs);
    }
    if (!planned.plan) {
      error_ = planned.error;
      return Outcome::Failed;
    }
    const CommitPlan& plan = *planned.plan;
    LeavesMovedInPlace moved;
    moved.within = ByteRange::Between(plan.placement.rawPointer, plan.tail.from);
    for (const ByteRange& leaf : plan.staying) {
      const std::uint64_t to = leaf.offset + static_cast<std::uint64_t>(plan.tail.delta) -
                               plan.placement.rawPointer;
      moved.staying.push_back({leaf.offset, static_cast<std::uint32_t>(to),
                               static_cast<std::uint32_t>(leaf.size)});
    }
    if (!plan.staying.empty()) moved.sectionSize = plan.placement.sectionSize;
    // The old section's bytes are moved inside it only when it is rebuilt
    // where it is and nothing takes them away first: a new section leaves
    // them be, and blocks removed from the old section would take some.
    const bool inPlaceMoves = !plan.added && !(plan.tail.byRange && plan.tail.delta < 0);
    SectionImage section = BuildResourceSection(plan.sectionRva, u_.root.get(), plan.dirBytes,
                                                plan.nameBytes, plan.dataBytes, u_.fileHandle,
                                                u_.view.data(), inPlaceMoves ? &moved : nullptr);
    if (section.view == nullptr) {
      const Error& cause = section.error;
      // A resource whose new data was lost: nothing failed in the folder.
      if (cause.kind == ErrorKind::Internal) {
        error_ = cause;
        return Outcome::Failed;
      }
      // Its scratch file lies in the temporary folder: that is what is full
      // or missing, not the image.
      error_ = MakeError(cause.kind,
                         "cannot lay out the new resource section in a scratch file in this folder",
                         cause.osCode, platform::TempDirectory());
      return Outcome::Failed;
    }
    return Execute(plan, section, moved);
  }


  // The lengths the image may have while the plan is applied, where the
  // bytes begin that it may write anywhere (the resource section on), and
  // the tail's shift by the file system.
  static JournalFacts FactsOf(const CommitPlan& plan) {
    const Placement& p = plan.placement;
    const std::uint64_t length = plan.originalLength;
    JournalFacts facts;
    facts.imageLength = length;
    facts.untouchedEnd = std::min<std::uint64_t>(p.rawPointer, length);
    // A copied tail first makes the file reach the tail's old start.
    const std::uint64_t reached = std::max(length, plan.tail.from);
    if (p.rawDelta != 0) {
      if (reached != length) facts.laterLengths[0] = reached;
      facts.laterLengths[1] = reached + static_cast<std::uint64_t>(std::int64_t{p.rawDelta});
    }
    if (plan.cutAt) facts.laterLengths[2] = *plan.cutAt;
    if (plan.tail.byRange) facts.shift = JournalShift{plan.tail.rangeAt, plan.tail.delta};
    return facts;
  }

  // Applies a plan under the journal: everything it overwrites is kept
  // before the first byte of the image changes.
  Outcome Execute(const CommitPlan& plan, const SectionImage& section,
                  const LeavesMovedInPlace& moved) {
    std::vector<ByteRange> kept;
    kept.reserve(plan.kept.size());
    for (const ByteRange& r : plan.kept)
      if (!r.empty()) kept.push_back(r);
    // The headers as they were, to check the result against.
    const std::vector<std::uint8_t> oldHeaders(u_.view.data(),
                                               u_.view.data() + plan.writes.front().bytes.size());
    Journal journal(u_.fileHandle, u_.fileName, u_.options.journal, u_.options.sync,
                    section.scratchName + "undo");
    if (!journal.Write(FactsOf(plan), kept, error_)) return Outcome::Failed;

    bool done = false;
    shiftRefused_ = false;
    std::exception_ptr failure;
    try {
      done = Apply(plan, section, moved);
      // Read back before it counts: a commit that wrote something else than
      // it meant is undone, not reported as done.
      if (done) {
        if (Error problem =
                CheckCommittedImage(u_.view.data(), u_.view.size(), oldHeaders,
                                    plan.placement.sectionIndex, u_.root.get(),
                                    plan.added.has_value())) {
          problem.detail = "the written image does not check (" + problem.detail +
                           "); the file was put back as it was";
          error_ = std::move(problem);
          done = false;
        }
      }
      if (done && u_.options.sync && !platform::FlushFile(u_.fileHandle)) {
        Fail("cannot flush the changed file to disk");
        done = false;
      }
    } catch (...) {
      // Put back first: saying why may need memory that is not there.
      done = false;
      failure = std::current_exception();
    }
    if (!done) {
      if (shiftRefused_) {
        // Nothing was written: the journal goes, and the tail is copied.
        Error ignored;
        if (journal.Remove(ignored)) return Outcome::ShiftRefused;
      }
      PutBack(journal);
      if (failure) Explain(failure);
      if (!error_) Fail("cannot write the new resources");
      return Outcome::Failed;
    }
    // A journal that cannot be removed would undo the change at the next
    // run: it is undone now, and the journal stays sealed for that run.
    bool removed = false;
    try {
      removed = journal.Remove(error_);
    } catch (...) {
      removed = false;
    }
    if (!removed) {
      PutBack(journal);
      if (!error_) error_.kind = ErrorKind::Journal;
      return Outcome::Failed;
    }
    return Outcome::Done;
  }

  // The tail, the section, the planned writes and fix-ups, the signature
  // cut and the checksum, in that order.
  bool Apply(const CommitPlan& plan, const SectionImage& section,
             const LeavesMovedInPlace& moved) {
    const Placement& p = plan.placement;
    std::vector<SummedRange> known;
    if (plan.tail.byRange) {
      known = SumWhatBlocksCarry(plan);
      if (!ShiftByRange(plan.tail)) return false;
      if (moved.moves.empty()) {
        if (!CopySection(section, p)) return false;
      } else {
        const LeavesMovedInPlace shifted = ShiftedSources(moved, plan.tail);
        if (!PlaceSection(section, shifted, p, known)) return false;
      }
    } else if (moved.moves.empty() ? !CopyIn(section, p, known)
                                   : !PlaceInPlace(section, moved, p, known)) {
      return false;
    }
    if (!WritePlanned(plan) || !CutSignature(plan)) return false;
    std::sort(known.begin(), known.end(), [](const SummedRange& a, const SummedRange& b) {
      return a.range.offset < b.range.offset;
    });
    // Ranges summed on their way are trusted only when nothing was written
    // into them afterwards and the file's end was not cut off behind them.
    bool trusted = !plan.cutAt;
    for (const SummedRange& summed : known) {
      for (const PlannedWrite& w : plan.writes)
        trusted = trusted && !summed.range.Overlaps({w.at, w.bytes.size()});
      for (const FixupStep& f : plan.fixups)
        trusted = trusted && !summed.range.Overlaps({f.at, FixupSize(f)});
    }
    ComputeImageChecksumFromFile(
        u_.fileHandle, u_.view.data(), u_.view.size(), u_.view.size(),
        trusted ? std::span<const SummedRange>(known) : std::span<const SummedRange>());
    return true;
  }

 private:
  static std::uint64_t FixupSize(const FixupStep& f) {
    return f.kind == FixupStep::Kind::Write ? f.bytes.size() : 4;
  }

  void Unmap() { u_.view.Reset(); }
  bool Remap() { return u_.view.Remap(); }

  // What whole blocks carry keeps its sum (they move it by an even
  // distance): the bytes behind the old section and the leaves that stay,
  // summed before the move, while the file system still holds them in its
  // cache (inserting blocks may drop it), at the places they move to. A
  // range that cannot be read is left to the checksum to read.
  std::vector<SummedRange> SumWhatBlocksCarry(const CommitPlan& plan) const {
    std::vector<ByteRange> carried = plan.staying;
    carried.push_back(ByteRange::Between(plan.tail.from, u_.view.size()));
    std::vector<SummedRange> known;
    for (const ByteRange& range : carried) {
      SummedRange summed;
      if (range.empty() || !SumFileRange(u_.fileHandle, range, summed.sum)) continue;
      summed.range = {range.offset + static_cast<std::uint64_t>(plan.tail.delta), range.size};
      known.push_back(summed);
    }
    return known;
  }

  // The tail moves by whole blocks that the file system inserts or removes;
  // the file is mapped anew at its new length. Refused, nothing changed and
  // the view stays as it is: the tree's unchanged leaves point into it.
  bool ShiftByRange(const TailMove& tail) {
    const platform::RangeResult result =
        platform::ShiftFileRange(u_.fileHandle, tail.rangeAt, tail.delta);
    if (result == platform::RangeResult::Unsupported) {
      shiftRefused_ = true;
      return false;
    }
    const Error shiftFailure =
        platform::LastCallError("cannot move what lies behind the resources", FileName());
    Unmap();
    const bool mapped = Remap();
    if (result != platform::RangeResult::Done) {
      error_ = shiftFailure;
      return false;
    }
    if (!mapped) Fail("cannot map the file again after moving what lies behind the resources");
    return mapped;
  }

  // Where the leaves to move lie once blocks were inserted in front of some
  // of them: a leaf across the insertion point moves in two pieces.
  static LeavesMovedInPlace ShiftedSources(const LeavesMovedInPlace& moved, const TailMove& tail) {
    LeavesMovedInPlace out = moved;
    out.moves.clear();
    const auto d = static_cast<std::uint64_t>(tail.delta);
    for (const LeafMove& m : moved.moves) {
      if (m.from >= tail.rangeAt) {
        out.moves.push_back({m.from + d, m.to, m.size});
      } else if (m.from + m.size > tail.rangeAt) {
        const auto front = static_cast<std::uint32_t>(tail.rangeAt - m.from);
        out.moves.push_back({m.from, m.to, front});
        out.moves.push_back({tail.rangeAt + d, m.to + front, m.size - front});
      } else {
        out.moves.push_back(m);
      }
    }
    return out;
  }

  std::string FileName() const { return platform::ToUtf8(u_.fileName); }

  // Records the platform's reason for a failure of the image file.
  void Fail(const char* what) { error_ = platform::LastCallError(what, FileName()); }

  void Explain(std::exception_ptr failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const EngineFailure& engine) {
      error_ = engine.error();
    } catch (const std::bad_alloc&) {
      error_ = MakeError(ErrorKind::OutOfMemory, "out of memory while writing the new resources");
    } catch (const std::exception& e) {
      // No call of the platform failed: its last error says nothing here.
      error_ = MakeError(ErrorKind::Internal, e.what());
    } catch (...) {
      error_ = MakeError(ErrorKind::Internal, "the change was cut short");
    }
  }

  // Puts the image back from the journal after a failure, keeping the
  // failure's reason. Should that fail too, a journal beside the image stays
  // for the next run.
  void PutBack(Journal& journal) {
    Unmap();
    Error second;
    bool restored = false;
    try {
      restored = journal.Restore(second);
      if (restored) journal.Remove(second);
    } catch (...) {
      // Whatever was not put back stays in the journal for the next run.
    }
    if (!restored) {
      error_.detail += "; the file could not be put back (" + second.detail + ")";
      if (u_.options.journal) error_.detail += ": the next run puts it back from its undo journal";
    }
    Remap();
  }

  // The tail moves by a copy, then the whole section image goes in. The
  // moved tail is summed on its way.
  bool CopyIn(const SectionImage& image, const Placement& p, std::vector<SummedRange>& known) {
    if (p.rawDelta != 0) {
      SummedRange tail;
      if (!ShiftFileTail(u_.view, p.rawPointer + p.oldRawSize, p.rawDelta, &tail.sum)) {
        Fail("cannot move what lies behind the resources");
        return false;
      }
      tail.range = ByteRange::Between(std::uint64_t{p.rawPointer} + p.newRawSize, u_.view.size());
      known.push_back(tail);
    }
    return CopySection(image, p);
  }

  // The section goes in by a copy from file to file, which the view shows
  // as well; the padding behind it is zeros. (Reading the section through a
  // buffer and summing it on its way measured no faster than this in-kernel
  // copy and one more read.)
  bool CopySection(const SectionImage& image, const Placement& p) {
    const std::vector<std::uint8_t> zeros(p.newRawSize - p.sectionSize, 0);
    if (!platform::CopyFileRange(image.file.get(), 0, u_.fileHandle, p.rawPointer,
                                 p.sectionSize) ||
        (!zeros.empty() &&
         !platform::WriteAt(u_.fileHandle, std::uint64_t{p.rawPointer} + p.sectionSize,
                            zeros.data(), zeros.size()))) {
      Fail("cannot write the new resource section");
      return false;
    }
    return true;
  }

  // The large unchanged leaves move inside the image file from their old
  // places to their new ones, so that their bytes are copied once instead of
  // into the section image and out again; the section image fills the rest.
  bool PlaceInPlace(const SectionImage& image, const LeavesMovedInPlace& moved,
                    const Placement& p, std::vector<SummedRange>& known) {
    SummedRange tail;
    // A growing file makes room first: the leaves move into it.
    if (p.rawDelta > 0 &&
        !ShiftFileTail(u_.view, p.rawPointer + p.oldRawSize, p.rawDelta, &tail.sum)) {
      Fail("cannot move what lies behind the resources");
      return false;
    }
    if (!PlaceSection(image, moved, p, known)) return false;
    // A shrinking file gives its room back last: the leaves moved out of it.
    if (p.rawDelta < 0 &&
        !ShiftFileTail(u_.view, p.rawPointer + p.oldRawSize, p.rawDelta, &tail.sum)) {
      Fail("cannot move what lies behind the resources");
      return false;
    }
    if (p.rawDelta != 0) {
      tail.range = ByteRange::Between(std::uint64_t{p.rawPointer} + p.newRawSize, u_.view.size());
      known.push_back(tail);
    }
    return true;
  }

  // Moves the leaves (summed on their way) and copies the rest of the
  // section image around them.
  bool PlaceSection(const SectionImage& image, const LeavesMovedInPlace& moved, const Placement& p,
                    std::vector<SummedRange>& known) {
    const std::uint64_t base = p.rawPointer;
    auto move = [&](const LeafMove& m) {
      SummedRange summed{{base + m.to, m.size}, {}};
      std::uint64_t done = 0;
      if (!MoveFileBytes(u_.fileHandle, m.from, summed.range.offset, m.size, done, &summed.sum))
        return false;
      known.push_back(summed);
      return true;
    };
    // Old and new places are in the same order: a leaf moving up cannot
    // reach a leaf below it that has yet to move, nor one moving down a leaf
    // above it. So the ones moving up go from the top, the others from the
    // bottom, each in the order that never overwrites its own bytes early.
    // A leaf already in its place is neither moved nor summed.
    bool ok = true;
    for (auto m = moved.moves.rbegin(); ok && m != moved.moves.rend(); ++m)
      ok = base + m->to <= m->from || move(*m);
    for (auto m = moved.moves.begin(); ok && m != moved.moves.end(); ++m)
      ok = base + m->to >= m->from || move(*m);
    // Everything between the moved leaves comes from the section image.
    std::uint64_t at = 0;
    for (auto m = moved.moves.begin(); ok && m != moved.moves.end(); ++m) {
      ok = m->to <= at ||
           platform::CopyFileRange(image.file.get(), at, u_.fileHandle, base + at, m->to - at);
      at = std::uint64_t{m->to} + m->size;
    }
    const std::vector<std::uint8_t> zeros(p.newRawSize - p.sectionSize, 0);
    ok = ok &&
         (p.sectionSize == at || platform::CopyFileRange(image.file.get(), at, u_.fileHandle,
                                                         base + at, p.sectionSize - at)) &&
         (zeros.empty() ||
          platform::WriteAt(u_.fileHandle, base + p.sectionSize, zeros.data(), zeros.size()));
    if (!ok) Fail("cannot write the new resource section");
    return ok;
  }

  // The new headers and debug entries, then the fix-ups in their order.
  bool WritePlanned(const CommitPlan& plan) {
    for (const PlannedWrite& w : plan.writes) {
      if (!InBounds(u_.view.size(), w.at, w.bytes.size())) {
        error_ = MakeError(ErrorKind::Internal, "a planned write lies outside the moved image");
        return false;
      }
      std::memcpy(u_.view.data() + w.at, w.bytes.data(), w.bytes.size());
    }
    for (const FixupStep& step : plan.fixups) {
      std::vector<std::uint8_t> bytes = step.bytes;
      if (step.kind == FixupStep::Kind::Crc32) {
        bytes.assign(4, 0);
        if (!InBounds(u_.view.size(), step.crc.offset, step.crc.size)) {
          error_ = MakeError(ErrorKind::Internal, "a planned check sum lies outside the image");
          return false;
        }
        std::uint32_t crc = 0;
        // In pieces: a size_t may be 32 bits wide.
        for (std::uint64_t at = step.crc.offset; at < step.crc.end();) {
          const std::uint64_t n = std::min<std::uint64_t>(step.crc.end() - at, 1u << 24);
          crc = Crc32(crc, u_.view.data() + at, static_cast<std::size_t>(n));
          at += n;
        }
        StoreU32(bytes.data(), crc);
      }
      if (!InBounds(u_.view.size(), step.at, bytes.size())) {
        error_ = MakeError(ErrorKind::Internal, "a planned fix-up lies outside the image");
        return false;
      }
      std::memcpy(u_.view.data() + step.at, bytes.data(), bytes.size());
    }
    return u_.ntHeaders() != nullptr;
  }

  // A signature at the end of the file, behind the new section, is cut off.
  // The journal holds its bytes, so that a failure after this puts them back.
  bool CutSignature(const CommitPlan& plan) {
    if (!plan.cutAt) return true;
    // A file cannot be shortened while it is mapped (Windows).
    Unmap();
    if (!platform::SetFileLength(u_.fileHandle, *plan.cutAt)) {
      Fail("cannot cut the signature off the end of the file");
      Remap();
      return false;
    }
    if (!Remap()) {
      Fail("cannot map the file again after cutting off its signature");
      return false;
    }
    return u_.ntHeaders() != nullptr;
  }

  ResourceUpdate& u_;
  Error& error_;
  CommitReport* report_;
  CommitPayloads payloads_;
  // The file system refused to shift the tail by whole blocks.
  bool shiftRefused_ = false;
};

}  // namespace

bool EndResourceUpdate(ResourceUpdate* update, bool discard) {
  return EndResourceUpdate(update, discard, nullptr);
}

bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error) {
  return EndResourceUpdate(update, discard, error, nullptr);
}

bool EndResourceUpdate(ResourceUpdate* update, bool discard, Error* error, CommitReport* report) {
  if (report != nullptr) *report = CommitReport();
  if (update == nullptr) return true;
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  bool result = true;
  if (!discard) {
    try {
      result = Committer(*update, e, report).Run();
    } catch (const std::bad_alloc&) {
      e = MakeError(ErrorKind::OutOfMemory, "out of memory while writing the new resources");
      result = false;
    } catch (...) {
      // Even a commit cut short releases the file, so that the program can
      // go on and other programs can open it.
      result = false;
    }
    if (!result && !e) e = platform::LastCallError("the new resources could not be written");
    if (!result && e.file.empty()) e.file = platform::ToUtf8(update->fileName);
  }
  delete update;
  return result;
}

}  // namespace marovi
