#include "cli/list_json.h"

namespace marovi::cli {
namespace {

std::string JsonKey(const EntryKey& key) {
  if (!key.named()) return std::to_string(key.id);
  return JsonString(platform::ToUtf8(key.name));
}

}  // namespace

std::string ListJsonEntry(const ResourceEntry& entry, bool shown) {
  return "{\"type\": " + JsonKey(entry.type) + ", \"name\": " + JsonKey(entry.name) +
         ", \"language\": " + std::to_string(entry.language) +
         ", \"size\": " + std::to_string(entry.size) + (shown ? ", \"shown\": true}" : "}");
}

std::string ListJsonArray(const std::vector<std::string>& entries) {
  if (entries.empty()) return "[]";
  std::string out = "[";
  for (std::size_t i = 0; i < entries.size(); ++i) out += (i == 0 ? "\n  " : ",\n  ") + entries[i];
  return out + "\n]";
}

}  // namespace marovi::cli
