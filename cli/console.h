// Output for a terminal: UTF-8 text, or wide text on a Windows console.
#pragma once

#include <string>

namespace marovi::cli {

void PrintOut(const std::string& utf8Line);    // a line on standard output
void PrintError(const std::string& utf8Line);  // "marovi-cli: " + line on standard error
// As build tools' callers expect them: text on standard output without a
// line end, and a line on standard error without the program's name.
void PrintOutText(const std::string& utf8);
void PrintErrorLine(const std::string& utf8Line);

}  // namespace marovi::cli
