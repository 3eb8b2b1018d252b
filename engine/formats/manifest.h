// Application manifests (type 24): the execution level a program asks for,
// read and set in the manifest's XML. An edit changes or inserts only what it
// must; the rest of the document keeps its bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"

namespace marovi {

inline constexpr std::uint16_t kRtManifest = 24;
// The manifest a program is started with (a DLL's is name 2).
inline constexpr std::uint16_t kProcessManifestName = 1;
inline constexpr std::uint16_t kNewManifestLanguage = 0x0409;

enum class ExecutionLevel { AsInvoker, HighestAvailable, RequireAdministrator };

// "asInvoker", "highestAvailable", "requireAdministrator" (exactly so).
std::optional<ExecutionLevel> ParseExecutionLevel(std::string_view text);
std::string_view ExecutionLevelName(ExecutionLevel level);

// The level attribute of the manifest's requestedExecutionLevel as written,
// or an empty string when it has none. None, with error (MalformedImage),
// when the manifest is not well-formed XML (line and column in the detail)
// or its root is not an assembly.
std::optional<std::string> RequestedExecutionLevel(std::span<const std::uint8_t> manifest,
                                                   Error* error);

// The manifest with every trustInfo/security/requestedPrivileges/
// requestedExecutionLevel set to level: the level attribute's value is
// replaced between its quotes (or the attribute added behind the element's
// name), uiAccess and everything else kept. Where the chain is missing, its
// missing part is added inside the deepest part present (trustInfo in the
// urn:schemas-microsoft-com:asm.v3 namespace under the root, with
// uiAccess="false"), indented like its surroundings. Refused like
// RequestedExecutionLevel.
std::optional<std::vector<std::uint8_t>> SetRequestedExecutionLevel(
    std::span<const std::uint8_t> manifest, ExecutionLevel level, Error* error);

// A minimal manifest for a program without one: an assembly that asks for
// level, with uiAccess="false".
std::vector<std::uint8_t> NewManifest(ExecutionLevel level);

}  // namespace marovi
