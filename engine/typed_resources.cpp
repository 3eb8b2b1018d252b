#include "engine/typed_resources.h"

namespace marovi {

bool ResourcesOfType(const ResourceUpdate* update, std::uint16_t type, std::vector<TypedResource>& out,
                     Error* error) {
  out.clear();
  if (update == nullptr || update->root == nullptr) return true;
  const TResItem* typeDir = update->root->firstChild;
  while (typeDir != nullptr && !(typeDir->name.empty() && typeDir->id == type)) typeDir = typeDir->nextSibling;
  if (typeDir == nullptr || !typeDir->isDirectory) return true;
  for (const TResItem* name = typeDir->firstChild; name != nullptr; name = name->nextSibling) {
    if (!name->isDirectory) continue;
    for (const TResItem* leaf = name->firstChild; leaf != nullptr; leaf = leaf->nextSibling) {
      if (leaf->isDirectory) continue;
      TypedResource resource{name->name.empty() ? ResourceName(static_cast<std::uint16_t>(name->id))
                                                : ResourceName(std::u16string(name->name.begin(), name->name.end())),
                             static_cast<std::uint16_t>(leaf->id), {}};
      if (leaf->dataPointer != nullptr) {
        resource.bytes.assign(leaf->dataPointer, leaf->dataPointer + leaf->dataSize);
      } else if (!leaf->data.empty()) {
        resource.bytes.assign(leaf->data.begin(), leaf->data.end());
      } else if (leaf->dataSize > 0) {
        resource.bytes.resize(leaf->dataSize);
        if (leaf->tempFile == 0 || leaf->tempFile == platform::kInvalidFile ||
            !platform::ReadAt(leaf->tempFile, 0, resource.bytes.data(), resource.bytes.size())) {
          if (error != nullptr)
            *error = MakeError(ErrorKind::Io, "cannot read back the new data of a resource of type " +
                                                  std::to_string(type), platform::LastError());
          return false;
        }
      }
      out.push_back(std::move(resource));
    }
  }
  return true;
}

}  // namespace marovi
