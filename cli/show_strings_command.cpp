// marovi-cli show-strings: every string of an image's string tables, by id
// and language, as text or JSON.
#include <algorithm>
#include <string>
#include <vector>

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"

namespace marovi::cli {
namespace {

struct TableString {
  std::uint32_t id = 0;
  std::uint32_t language = 0;
  std::u16string text;
};

// The strings of every numbered block, empty ones left out (an empty entry
// is no string). False with error, naming the block, when one is damaged.
bool ReadStrings(const std::vector<ResourceEntry>& entries, std::vector<TableString>& out,
                 Error& error) {
  for (const ResourceEntry& entry : entries) {
    if (entry.type.named() || entry.type.id != kRtString) continue;
    // Strings are looked up by id only, in blocks 1 to 4096: a named block
    // or block 0 holds no string a program can load.
    if (entry.name.named() || entry.name.id == 0 || entry.name.id > 4096) continue;
    std::optional<StringBlock> block = ParseStringBlock(entry.data, &error);
    if (!block) {
      error.detail = "the string table block " + std::to_string(entry.name.id) + " in language " +
                     std::to_string(entry.language) + " cannot be read: " + error.detail;
      return false;
    }
    for (std::size_t i = 0; i < kStringsPerBlock; ++i) {
      if (block->strings[i].empty()) continue;
      out.push_back({(entry.name.id - 1) * kStringsPerBlock + static_cast<std::uint32_t>(i),
                     entry.language, std::move(block->strings[i])});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const TableString& a, const TableString& b) {
    return a.id != b.id ? a.id < b.id : a.language < b.language;
  });
  return true;
}

}  // namespace

int RunShowStrings(const ShowStringsOptions& options) {
  const std::optional<ImageResources> read = LoadImageResources(options.file, false);
  if (!read) return kExitFailed;
  std::vector<TableString> strings;
  Error error;
  if (!ReadStrings(read->entries, strings, error)) {
    error.kind = ErrorKind::MalformedImage;
    error.file = options.file;
    PrintError(app::ErrorText(error));
    return kExitFailed;
  }
  std::string out;
  if (options.json) {
    out = "[";
    for (const TableString& s : strings) {
      out += (out.size() > 1 ? ",\n " : "\n ") + std::string("{\"id\": ") + std::to_string(s.id) +
             ", \"language\": " + std::to_string(s.language) +
             ", \"text\": " + JsonString(platform::ToUtf8(s.text)) + "}";
    }
    out += strings.empty() ? "]" : "\n]";
  } else {
    // ID LANG "TEXT", the text quoted and escaped as list shows names.
    for (const TableString& s : strings)
      out += std::to_string(s.id) + " " + std::to_string(s.language) + " " +
             ResourceKeyText(s.text, 0) + "\n";
    if (!out.empty()) out.pop_back();
  }
  if (!out.empty()) PrintOut(out);
  return kExitOk;
}

}  // namespace marovi::cli
