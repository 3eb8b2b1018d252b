// The one seam of the platform layer, owned by the tests (as SQLite's I/O
// error simulation is): a pointer to hooks that is null in every program but
// the tests. Each fallible file service of platform.h asks the hooks, when
// there are any, whether it is to fail; that costs the product one load and
// one compare. The counting, the failures at the n-th call and the simulated
// crashes live in tests/support/fault_injection.cpp, which installs itself
// here.
//
// Only the engine includes this header: the platform implementations and the
// code that marks the unrecoverable stretch of a commit. It is not installed.
#pragma once

namespace marovi::platform {

class Hooks {
 public:
  virtual ~Hooks() = default;
  // Runs before each fallible file service of platform.h; true makes that
  // call fail as an I/O error would (the service sets its own error code).
  virtual bool BeforeFallibleCall() = 0;
  // The engine enters (true) or leaves (false) the stretch of a commit in
  // which the file is being moved in place and cannot always be put back.
  virtual void UnrecoverableWindow(bool inside) = 0;
  // True makes ShiftFileRange report the operation as unsupported, as a file
  // system without it would.
  virtual bool RefuseRangeShifts() { return false; }
};

// Puts hooks in place, or removes them with nullptr. Not synchronised: set
// them while no file service runs.
void SetHooks(Hooks* hooks);

namespace detail {
extern Hooks* g_hooks;  // null unless a test installed hooks
}  // namespace detail

// True when hooks are installed and make this fallible call fail.
inline bool HooksFailThisCall() {
  Hooks* const hooks = detail::g_hooks;
  return hooks != nullptr && hooks->BeforeFallibleCall();
}

inline bool HooksRefuseRangeShifts() {
  Hooks* const hooks = detail::g_hooks;
  return hooks != nullptr && hooks->RefuseRangeShifts();
}

// Marks the stretch of a commit in which a failure may leave the file
// changed (every other failure must leave it as it was). Nothing without hooks.
inline void MarkUnrecoverableWindow(bool inside) {
  if (Hooks* const hooks = detail::g_hooks) hooks->UnrecoverableWindow(inside);
}

}  // namespace marovi::platform
