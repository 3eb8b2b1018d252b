// Console output, for POSIX and Windows.
#include "cli/console.h"

#include <cstdio>

#include "cli/commands.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace marovi::cli {
namespace {

void Write(std::FILE* stream, const std::string& utf8Line, bool newline) {
#ifdef _WIN32
  // A console shows wide text whatever its code page; redirected output
  // stays UTF-8.
  const HANDLE handle = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    const std::u16string wide = platform::FromUtf8(newline ? utf8Line + "\n" : utf8Line);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(utf8Line.data(), 1, utf8Line.size(), stream);
  if (newline) std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

void PrintOut(const std::string& utf8Line) { Write(stdout, utf8Line, true); }

void PrintError(const std::string& utf8Line) {
  Write(stderr, std::string(kProgram) + ": " + utf8Line, true);
}

void PrintOutText(const std::string& utf8) { Write(stdout, utf8, false); }

void PrintErrorLine(const std::string& utf8Line) { Write(stderr, utf8Line, true); }

}  // namespace marovi::cli
