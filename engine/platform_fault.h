// Fault injection shared by both platform implementations.
#pragma once

#include <cstdint>

namespace marovi::platform::detail {

// Counts one fallible call; true when this call is to fail.
bool ShouldFail();

}  // namespace marovi::platform::detail
