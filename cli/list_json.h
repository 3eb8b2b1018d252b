// list --json: one JSON object per resource, for scripts.
#pragma once

#include <string>
#include <vector>

#include "engine/engine.h"

namespace marovi::cli {

// {"type": 3, "name": "MAINICON", "language": 0, "size": 1128}: ids as
// numbers, names as strings; "shown": true added on the icon group the shell
// shows.
std::string ListJsonEntry(const ResourceEntry& entry, bool shown);

// {"payload": "nsis", "offset": 96768, "size": 101945, "intact": true, ...}:
// a payload behind the image, listed after the resources.
std::string PayloadJson(const PayloadFinding& payload);

// The entries as a JSON array, one entry a line.
std::string ListJsonArray(const std::vector<std::string>& entries);

}  // namespace marovi::cli
