// marovi-cli list: the data leaves of an image's resource directory, the
// icon group the shell shows marked.
#include <cstdio>
#include <string>
#include <vector>

#include "app/change_workflow.h"
#include "app/error_text.h"
#include "app/file_transfer.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"
#include "cli/list_json.h"
#include "engine/bytes.h"
#include "engine/platform.h"
#include "engine/restree.h"
#include "icons/shell_icon.h"

namespace marovi::cli {
namespace {

std::string KeyText(const TResItem& node) {
  return ResourceKeyText(std::u16string(node.name.data(), node.name.size()), node.id);
}

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
  const std::optional<ImageResources> read = ReadImageResources(options.file, true);
  if (!read) return kExitFailed;
  const TResItem* root = read->root.get();
  // The group the shell shows gets a fifth column; the four before it stay
  // as on every other line.
  const TResItem* shown = ShellIconGroupNodes(root).leaf;
  std::string out;
  std::vector<std::string> json;
  for (const TResItem* type = root ? root->firstChild.get() : nullptr; type; type = type->nextSibling.get()) {
    for (const TResItem* name = type->firstChild.get(); name; name = name->nextSibling.get()) {
      for (const TResItem* leaf = name->firstChild.get(); leaf; leaf = leaf->nextSibling.get()) {
        if (leaf->isDirectory()) continue;
        if (options.json) {
          json.push_back(ListJsonEntry(*type, *name, *leaf, leaf == shown));
          continue;
        }
        out += KeyText(*type) + " " + KeyText(*name) + " " + std::to_string(leaf->id) + " " +
               std::to_string(leaf->leaf().dataSize);
        if (leaf == shown) out += std::string(" ") + kShellMark;
        out += "\n";
      }
    }
  }
  if (options.json) PrintOut(ListJsonArray(json));
  if (!out.empty()) {
    out.pop_back();
    PrintOut(out);
  }
  return kExitOk;
}

}  // namespace marovi::cli
