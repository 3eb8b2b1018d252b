// Texts for a terminal, made once from the one error type: what went wrong
// and with which file, and what a run put right before its own work. English,
// UTF-8, one line each; the window keeps its own texts.
#pragma once

#include <string>

#include "engine/error.h"
#include "engine/journal.h"

namespace marovi::app {

// "FILE: WHAT[ (at offset 0x…)][: the system's reason]", e.g.
// "a.exe.bak: cannot be written: No space left on device (errno 28)".
std::string ErrorText(const Error& error);

// The line for an interrupted change put right (Undone or Removed); empty for
// the other results.
std::string RecoveryText(const std::string& file, Recovery recovery);

}  // namespace marovi::app
