// The names of the predefined resource types, as a command line takes and
// shows them: "RCDATA" or "RT_RCDATA" for 10, and back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace marovi {

// A type or name as a user writes it: a number from 0 to 65535 (decimal, or
// hexadecimal after 0x), or a name.
struct ResourceSpec {
  bool isId = false;
  std::uint16_t id = 0;
  std::u16string name;  // upper case, as resource compilers store names
};

// The predefined type called name (any case, with or without "RT_"), if any.
std::optional<std::uint16_t> PredefinedResourceType(std::string_view name);

// The usual name of a predefined type ("ICON", "GROUP_ICON", ...), or empty.
std::string_view PredefinedResourceTypeName(std::uint16_t id);

// Reads a type: a number, a predefined type's name, or any other name.
// None for an empty text, a number above 65535, or a name that is not UTF-8
// or holds a character a resource name cannot (a NUL).
std::optional<ResourceSpec> ParseResourceType(std::string_view text);

// Reads a name or language the same way, without predefined names.
std::optional<ResourceSpec> ParseResourceName(std::string_view text);

}  // namespace marovi
