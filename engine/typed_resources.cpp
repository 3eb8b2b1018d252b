#include "engine/typed_resources.h"

namespace marovi {

bool ResourcesOfType(const ResourceUpdate* update, std::uint16_t type, std::vector<TypedResource>& out,
                     Error* error) {
  out.clear();
  if (update == nullptr || update->root == nullptr) return true;
  const TResItem* typeDir = FindNamedChild(update->root.get(), MakeIntResource(type))->get();
  if (typeDir == nullptr) return true;
  for (const TResItem* name = typeDir->firstChild.get(); name != nullptr; name = name->nextSibling.get()) {
    if (!name->isDirectory()) continue;
    for (const TResItem* leaf = name->firstChild.get(); leaf != nullptr; leaf = leaf->nextSibling.get()) {
      if (leaf->isDirectory()) continue;
      TypedResource resource{name->name.empty() ? ResourceName(static_cast<std::uint16_t>(name->id))
                                                : ResourceName(std::u16string(name->name.begin(), name->name.end())),
                             static_cast<std::uint16_t>(leaf->id), {}};
      const ResourceLeaf& fields = leaf->leaf();
      resource.bytes.resize(fields.dataSize);
      if (!fields.data.Read(fields.dataSize, resource.bytes.data())) {
        if (error != nullptr)
          *error = MakeError(ErrorKind::Io, "cannot read back the new data of a resource of type " +
                                                std::to_string(type), platform::LastError());
        return false;
      }
      out.push_back(std::move(resource));
    }
  }
  return true;
}

}  // namespace marovi
