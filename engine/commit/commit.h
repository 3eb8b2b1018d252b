// Ending an update: discard, or rebuild the resource section and write it back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/tree/update.h"

namespace marovi {

// Ends the update; the handle is dead afterwards whatever the result. Discard
// writes nothing. A commit returns false when it could not be completed; the
// image file is then as it was: what the commit overwrote is kept in an undo
// log until it succeeds. Only when putting it back fails as well (a second
// failure) can the file stay changed.
bool EndResourceUpdate(ResourceUpdate* update, bool discard);
// The same with the reason of a failed commit in error is in engine.h.

}  // namespace marovi
