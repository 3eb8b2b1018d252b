// marovi-cli list: the data leaves of an image's resource directory.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/image_file.h"
#include "engine/bytes.h"
#include "engine/platform.h"
#include "engine/restree.h"

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

// A decimal id, or the name in double quotes with '"', '\' and control
// characters escaped.
std::string KeyText(const TResItem& node) {
  if (node.name.empty()) return std::to_string(node.id);
  std::string text = "\"";
  for (char c : platform::ToUtf8(node.name)) {
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

}  // namespace

int RunList(const ListOptions& options) {
  // The file is read, never opened for writing: listing needs no more than
  // read access and takes no lock.
  const ImageInspection image = InspectImage(platform::FromUtf8(options.file));
  if (image.problem != ImageProblem::None) {
    PrintError(options.file + ": " + DescribeImageProblem(image));
    return kExitFailed;
  }
  TResItem* root = nullptr;
  try {
    root = ParseResourceTree(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                             image.rawOffset, image.rawSize, image.virtualAddress);
  } catch (const ImageFormatError& error) {
    PrintError(options.file + ": malformed resource directory: " + error.what());
    return kExitFailed;
  }
  const TreeOwner owner(root);
  std::string out;
  for (const TResItem* type = root ? root->firstChild : nullptr; type; type = type->nextSibling) {
    for (const TResItem* name = type->firstChild; name; name = name->nextSibling) {
      for (const TResItem* leaf = name->firstChild; leaf; leaf = leaf->nextSibling) {
        if (leaf->isDirectory) continue;
        out += KeyText(*type) + " " + KeyText(*name) + " " + std::to_string(leaf->id) + " " +
               std::to_string(leaf->dataSize) + "\n";
      }
    }
  }
  if (!out.empty()) {
    out.pop_back();
    PrintOut(out);
  }
  return kExitOk;
}

}  // namespace marovi::cli
