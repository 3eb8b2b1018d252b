// The icon group the shell shows: the first of the resource directory.
#include "icons/shell_icon.h"

namespace marovi {
namespace {

const TResItem* FirstLeaf(const TResItem* directory) {
  for (const TResItem* child = directory->firstChild.get(); child != nullptr; child = child->nextSibling.get())
    if (!child->isDirectory()) return child;
  return nullptr;
}

}  // namespace

bool operator==(const IconGroupKey& a, const IconGroupKey& b) {
  if (a.language != b.language || a.name.named() != b.name.named()) return false;
  return a.name.named() ? a.name.name() == b.name.name() : a.name.id() == b.name.id();
}

IconGroupNodes ShellIconGroupNodes(const TResItem* root) {
  if (root == nullptr) return {};
  // The first type directory numbered 14: a directory that names a type
  // "14" is another type.
  const TResItem* groups = root->firstChild.get();
  while (groups != nullptr && !(groups->name.empty() && groups->id == kRtGroupIcon))
    groups = groups->nextSibling.get();
  if (groups == nullptr || !groups->isDirectory()) return {};
  for (const TResItem* name = groups->firstChild.get(); name != nullptr; name = name->nextSibling.get()) {
    if (!name->isDirectory()) continue;
    if (const TResItem* leaf = FirstLeaf(name)) return IconGroupNodes{name, leaf};
  }
  return {};
}

std::optional<IconGroupKey> ShellIconGroup(const TResItem* root) {
  const IconGroupNodes nodes = ShellIconGroupNodes(root);
  if (nodes.leaf == nullptr) return std::nullopt;
  const TResItem& name = *nodes.name;
  IconGroupKey key{name.name.empty()
                       ? ResourceName(static_cast<std::uint16_t>(name.id))
                       : ResourceName(std::u16string(name.name.data(), name.name.size())),
                   static_cast<std::uint16_t>(nodes.leaf->id)};
  return key;
}

}  // namespace marovi
