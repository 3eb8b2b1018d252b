// Test-only tool for the round trips on real images: begins an update of a
// file, adds, replaces and deletes resources, and commits.
//
//   marovi_roundtrip_tool FILE [put:TYPE:NAME:LANGUAGE:DATAFILE | del:TYPE:NAME:LANGUAGE]...
//
// TYPE and NAME are numbers when they are all digits, names otherwise.
// Exit status: 0 committed, 1 a step failed, 2 bad arguments.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "engine/commit.h"
#include "engine/platform.h"
#include "engine/update.h"
#include "tests/support/test_files.h"

namespace {

using marovi::ResourceName;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

ResourceName KeyFrom(const std::string& text) {
  const bool number = !text.empty() && text.size() <= 5 &&
                      text.find_first_not_of("0123456789") == std::string::npos && std::stoul(text) < 65536;
  if (number) return ResourceName(static_cast<std::uint16_t>(std::stoul(text)));
  return ResourceName(marovi::platform::FromUtf8(text));
}

int Run(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " FILE [put:TYPE:NAME:LANGUAGE:DATAFILE | del:TYPE:NAME:LANGUAGE]...\n";
    return 2;
  }
  const std::u16string file = marovi::test::Utf16Path(std::filesystem::path(argv[1]));
  marovi::ResourceUpdate* update = marovi::BeginResourceUpdate(file.c_str(), false);
  if (update == nullptr) {
    std::cerr << "cannot begin an update of " << argv[1] << " (error " << marovi::platform::LastError() << ")\n";
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    const std::vector<std::string> op = Split(argv[i], ':');
    const bool put = op.size() == 5 && op[0] == "put";
    if (!put && !(op.size() == 4 && op[0] == "del")) {
      std::cerr << "bad operation " << argv[i] << "\n";
      marovi::EndResourceUpdate(update, true);
      return 2;
    }
    const ResourceName type = KeyFrom(op[1]), name = KeyFrom(op[2]);
    const auto language = static_cast<std::uint16_t>(std::stoul(op[3]));
    std::vector<std::uint8_t> data;
    if (put) data = marovi::test::ReadWholeFile(op[4]);
    // An empty resource still needs an address to be added rather than deleted.
    static const std::uint8_t kNone = 0;
    const void* bytes = put ? (data.empty() ? &kNone : static_cast<const void*>(data.data())) : nullptr;
    if (!marovi::UpdateResourceData(update, type, name, language, bytes, static_cast<std::uint32_t>(data.size()))) {
      std::cerr << "cannot apply " << argv[i] << "\n";
      marovi::EndResourceUpdate(update, true);
      return 1;
    }
  }
  if (!marovi::EndResourceUpdate(update, false)) {
    std::cerr << "cannot commit the update of " << argv[1] << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
}
