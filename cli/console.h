// Output for a terminal: UTF-8 text, or wide text on a Windows console.
#pragma once

#include <cstdint>
#include <string>

namespace marovi::cli {

void PrintOut(const std::string& utf8Line);  // a line on standard output
void PrintError(const std::string& utf8Line);  // "marovi-cli: " + line on standard error

// The platform's text for a last-error value, with the value: "Permission
// denied (errno 13)", "Access is denied. (error 5)".
std::string SystemErrorText(std::uint32_t code);

}  // namespace marovi::cli
