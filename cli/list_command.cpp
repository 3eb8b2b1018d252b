// marovi-cli list: the data leaves of an image's resource directory, the
// icon group the shell shows marked.
#include <cstdio>
#include <string>
#include <vector>

#include "app/change_workflow.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"
#include "cli/list_json.h"

namespace marovi::cli {
namespace {

std::string KeyText(const EntryKey& key) { return ResourceKeyText(key.name, key.id); }

}  // namespace

std::string ResourceKeyText(const std::u16string& name, std::uint32_t id) {
  if (name.empty()) return std::to_string(id);
  std::string text = "\"";
  for (char c : platform::ToUtf8(name)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

int RunList(const ListOptions& options) {
  const std::optional<ImageResources> read = LoadImageResources(options.file, true);
  if (!read) return kExitFailed;
  const std::vector<ResourceEntry>& entries = read->entries;
  // The group the shell shows gets a fifth column; the four before it stay
  // as on every other line.
  const std::optional<std::size_t> shown = ShellIconGroupEntry(entries);
  std::string out;
  std::vector<std::string> json;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ResourceEntry& entry = entries[i];
    if (options.json) {
      json.push_back(ListJsonEntry(entry, shown == i));
      continue;
    }
    out += KeyText(entry.type) + " " + KeyText(entry.name) + " " + std::to_string(entry.language) +
           " " + std::to_string(entry.size);
    if (shown == i) out += std::string(" ") + kShellMark;
    out += "\n";
  }
  if (options.json) {
    // Recognised payloads only: data of unknown kind (which many programs
    // carry) leaves the listing as it always was.
    for (const PayloadFinding& payload : FindPayloads(read->image.bytes())) {
      if (payload.kind != PayloadKind::Unknown) json.push_back(PayloadJson(payload));
    }
    PrintOut(ListJsonArray(json));
  }
  if (!out.empty()) {
    out.pop_back();
    PrintOut(out);
  }
  return kExitOk;
}

}  // namespace marovi::cli
