// JSON text for the front ends' machine-readable output: string literals only;
// the callers lay out their objects themselves.
#pragma once

#include <string>
#include <string_view>

namespace marovi {

// text (UTF-8) as a JSON string literal, quotes included: quote, backslash
// and control characters escaped, every byte sequence that is not UTF-8
// replaced by U+FFFD, so that the result is valid JSON whatever the input.
std::string JsonString(std::string_view text);

}  // namespace marovi
