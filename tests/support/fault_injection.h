// Fault injection and crash simulation for tests, over the platform layer's
// one seam (engine/platform/platform_hooks.h). A test program that uses any of these
// has the hooks installed from its start; every fallible file service of
// engine/platform/platform.h is then counted. Nothing here is synchronised: use it
// from one thread.
#pragma once

#include <cstdint>

namespace marovi::test::fault {

// Crash simulation: when set to n > 0, just before the n-th fallible call
// from now on the hook runs (it sees the files as a process killed at that
// moment would leave them; its own calls are not counted); everything then
// goes on as usual. 0 turns it off.
void SimulateCrashAt(std::uint64_t n, void (*hook)(void* context), void* context);

// Fault injection: when set to n > 0, the n-th fallible call from now on
// fails (as an I/O error would), and the calls after it succeed again. 0
// turns injection off. The calls are counted from the last reset (by
// InjectFailureAt or SimulateCrashAt).
void InjectFailureAt(std::uint64_t n);
bool InjectedFailureHappened();

// Whether the injected failure came while the engine had marked the stretch
// of a commit in which the file is being moved in place and cannot always be
// put back (platform::MarkUnrecoverableWindow); a failure there may leave the
// file changed, any other must not.
bool InjectedFailureWasInWindow();

// While set, the file system is made to refuse inserting and removing ranges
// of blocks (as tmpfs or NTFS do), so that the tail is copied.
void RefuseRangeShifts(bool refuse);

}  // namespace marovi::test::fault
