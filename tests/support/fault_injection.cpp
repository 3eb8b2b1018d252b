// The hooks of the fault injection, installed into the platform layer's seam
// while the program runs.
#include "tests/support/fault_injection.h"

#include "engine/platform/platform_hooks.h"

namespace marovi::test::fault {
namespace {

class FaultHooks final : public platform::Hooks {
 public:
  FaultHooks() { platform::SetHooks(this); }
  ~FaultHooks() override { platform::SetHooks(nullptr); }
  FaultHooks(const FaultHooks&) = delete;
  FaultHooks& operator=(const FaultHooks&) = delete;

  bool BeforeFallibleCall() override {
    if (inHook) return false;  // the crash hook's own reads are not counted
    ++calls;
    if (crashAt != 0 && calls == crashAt && crashHook != nullptr) {
      inHook = true;
      crashHook(crashContext);
      inHook = false;
    }
    if (failAt != 0 && calls == failAt) {
      failed = true;
      failedInWindow = inWindow;
      return true;
    }
    return false;
  }

  void UnrecoverableWindow(bool inside) override { inWindow = inside; }
  bool RefuseRangeShifts() override { return refuseRanges; }

  std::uint64_t calls = 0;
  std::uint64_t failAt = 0;
  bool failed = false;
  bool inWindow = false;
  bool failedInWindow = false;
  std::uint64_t crashAt = 0;
  void (*crashHook)(void*) = nullptr;
  void* crashContext = nullptr;
  bool inHook = false;
  bool refuseRanges = false;
};

// Installed before main: the calls are counted from the program's start.
FaultHooks g_faults;

}  // namespace

void SimulateCrashAt(std::uint64_t n, void (*hook)(void*), void* context) {
  g_faults.calls = 0;
  g_faults.crashAt = n;
  g_faults.crashHook = hook;
  g_faults.crashContext = context;
}

void InjectFailureAt(std::uint64_t n) {
  g_faults.calls = 0;
  g_faults.failAt = n;
  g_faults.failed = false;
  g_faults.failedInWindow = false;
}

bool InjectedFailureHappened() { return g_faults.failed; }
bool InjectedFailureWasInWindow() { return g_faults.failedInWindow; }
void RefuseRangeShifts(bool refuse) { g_faults.refuseRanges = refuse; }

}  // namespace marovi::test::fault
