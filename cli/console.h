// Output for a terminal: UTF-8 text, or wide text on a Windows console.
#pragma once

#include <string>

namespace marovi::cli {

void PrintOut(const std::string& utf8Line);    // a line on standard output
void PrintError(const std::string& utf8Line);  // "marovi-cli: " + line on standard error

}  // namespace marovi::cli
