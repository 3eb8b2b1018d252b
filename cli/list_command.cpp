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

class TreeOwner {
 public:
  explicit TreeOwner(TResItem* root) : root_(root) {}
  ~TreeOwner() { FreeResourceTree(&root_); }
  TreeOwner(const TreeOwner&) = delete;
  TreeOwner& operator=(const TreeOwner&) = delete;
  const TResItem* get() const { return root_; }

 private:
  TResItem* root_;
};

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
  const std::optional<std::u16string> path = FileArgument(options.file);
  if (!path) {
    PrintError(NotUtf8Text(options.file));
    return kExitFailed;
  }
  if (Error refused = app::CheckRegularFile(*path, "image")) {
    PrintError(app::ErrorText(refused));
    return kExitFailed;
  }
  // What a change of the file that was cut short left is put right first;
  // the listing then reads the file held shared, never half changed.
  Error error;
  const Recovery recovery = app::NativeFileSystem().RecoverInterruptedChange(
      *path, platform::kInvalidFile, &error);
  if (recovery == Recovery::Failed) {
    if (error.file.empty()) error.file = options.file;
    PrintError(app::ErrorText(error));
    return kExitFailed;
  }
  if (recovery == Recovery::Undone || recovery == Recovery::Removed)
    PrintError(app::RecoveryText(options.file, recovery));
  ImageInspection image;
  if (Error refused = InspectImage(*path, image)) {
    PrintError(app::ErrorText(refused));
    return kExitFailed;
  }
  TResItem* root = nullptr;
  try {
    root = ParseResourceTree(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                             image.rawOffset, image.rawSize, image.virtualAddress);
  } catch (const ImageFormatError& malformed) {
    PrintError(app::ErrorText(MakeError(ErrorKind::MalformedImage,
                                        std::string("malformed resource directory: ") +
                                            malformed.what(),
                                        0, options.file)));
    return kExitFailed;
  }
  const TreeOwner owner(root);
  // The group the shell shows gets a fifth column; the four before it stay
  // as on every other line.
  const TResItem* shown = ShellIconGroupNodes(root).leaf;
  std::string out;
  std::vector<std::string> json;
  for (const TResItem* type = root ? root->firstChild : nullptr; type; type = type->nextSibling) {
    for (const TResItem* name = type->firstChild; name; name = name->nextSibling) {
      for (const TResItem* leaf = name->firstChild; leaf; leaf = leaf->nextSibling) {
        if (leaf->isDirectory) continue;
        if (options.json) {
          json.push_back(ListJsonEntry(*type, *name, *leaf, leaf == shown));
          continue;
        }
        out += KeyText(*type) + " " + KeyText(*name) + " " + std::to_string(leaf->id) + " " +
               std::to_string(leaf->dataSize);
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
