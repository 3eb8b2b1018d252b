#include "cli/list_json.h"

#include "engine/json.h"
#include "engine/platform.h"

namespace marovi::cli {
namespace {

std::string JsonKey(const TResItem& node) {
  if (node.name.empty()) return std::to_string(node.id);
  return JsonString(platform::ToUtf8(std::u16string(node.name.data(), node.name.size())));
}

}  // namespace

std::string ListJsonEntry(const TResItem& type, const TResItem& name, const TResItem& leaf, bool shown) {
  return "{\"type\": " + JsonKey(type) + ", \"name\": " + JsonKey(name) +
         ", \"language\": " + std::to_string(leaf.id) + ", \"size\": " + std::to_string(leaf.leaf().dataSize) +
         (shown ? ", \"shown\": true}" : "}");
}

std::string ListJsonArray(const std::vector<std::string>& entries) {
  if (entries.empty()) return "[]";
  std::string out = "[";
  for (std::size_t i = 0; i < entries.size(); ++i) out += (i == 0 ? "\n  " : ",\n  ") + entries[i];
  return out + "\n]";
}

}  // namespace marovi::cli
