// Reading resources without the tree: one resource or those of one type from
// an open update, and the listing of an update or of an image in memory.
#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "engine/engine.h"
#include "engine/pe/bytes.h"
#include "engine/pe/image.h"
#include "engine/tree/update.h"

namespace marovi {
namespace {

// The bytes of a leaf, wherever the update keeps them: in the image, in
// memory or in its scratch file.
bool LeafBytes(const TResItem& leaf, std::vector<std::uint8_t>& bytes) {
  const ResourceLeaf& fields = leaf.leaf();
  bytes.resize(fields.dataSize);
  return fields.data.Read(fields.dataSize, bytes.data());
}

EntryKey KeyOf(const TResItem& node) {
  return EntryKey{std::u16string(node.name.begin(), node.name.end()), node.id};
}

// The data leaves three levels down, in the order of the tree.
// The entries of the tree, or with onlyType of that numbered type only.
void AppendEntries(const TResItem* root, std::vector<ResourceEntry>& entries,
                   std::optional<std::uint16_t> onlyType = std::nullopt) {
  for (const TResItem* type = root ? root->firstChild.get() : nullptr; type;
       type = type->nextSibling.get()) {
    if (onlyType && (!type->name.empty() || type->id != *onlyType)) continue;
    for (const TResItem* name = type->firstChild.get(); name; name = name->nextSibling.get()) {
      for (const TResItem* leaf = name->firstChild.get(); leaf; leaf = leaf->nextSibling.get()) {
        if (leaf->isDirectory()) continue;
        const ResourceLeaf& fields = leaf->leaf();
        ResourceEntry entry{KeyOf(*type),    KeyOf(*name),    leaf->id,
                            fields.codePage, fields.dataSize, {}};
        if (const std::uint8_t* view = fields.data.view()) {
          entry.data = std::span<const std::uint8_t>(view, fields.dataSize);
        } else if (const CompactByteString* memory = fields.data.memory()) {
          entry.data = std::span<const std::uint8_t>(
              reinterpret_cast<const std::uint8_t*>(memory->data()), memory->size());
        }
        entries.push_back(std::move(entry));
      }
    }
  }
}

}  // namespace

bool ReadResource(const ResourceUpdate* update, ResKey type, ResKey name, std::uint16_t language,
                  std::vector<std::uint8_t>& bytes, Error* error) {
  bytes.clear();
  if (error != nullptr) *error = Error();
  if (update == nullptr || update->root == nullptr) return false;
  TResItem* typeDir = FindNamedChild(update->root.get(), type)->get();
  TResItem* nameDir = typeDir != nullptr ? FindNamedChild(typeDir, name)->get() : nullptr;
  const TResItem* leaf = nameDir != nullptr ? FindLanguageChild(nameDir, language)->get() : nullptr;
  if (leaf == nullptr) return false;
  if (LeafBytes(*leaf, bytes)) return true;
  bytes.clear();
  if (error != nullptr)
    *error = MakeError(ErrorKind::Io, "cannot read back the new data of a resource",
                       platform::LastError());
  return false;
}

bool ResourcesOfType(const ResourceUpdate* update, std::uint16_t type,
                     std::vector<TypedResource>& out, Error* error) {
  out.clear();
  if (update == nullptr || update->root == nullptr) return true;
  const TResItem* typeDir = FindNamedChild(update->root.get(), MakeIntResource(type))->get();
  if (typeDir == nullptr) return true;
  for (const TResItem* name = typeDir->firstChild.get(); name != nullptr;
       name = name->nextSibling.get()) {
    if (!name->isDirectory()) continue;
    for (const TResItem* leaf = name->firstChild.get(); leaf != nullptr;
         leaf = leaf->nextSibling.get()) {
      if (leaf->isDirectory()) continue;
      TypedResource resource{
          name->name.empty() ? ResourceName(static_cast<std::uint16_t>(name->id))
                             : ResourceName(std::u16string(name->name.begin(), name->name.end())),
          static_cast<std::uint16_t>(leaf->id),
          {}};
      if (!LeafBytes(*leaf, resource.bytes)) {
        if (error != nullptr)
          *error = MakeError(
              ErrorKind::Io,
              "cannot read back the new data of a resource of type " + std::to_string(type),
              platform::LastError());
        return false;
      }
      out.push_back(std::move(resource));
    }
  }
  return true;
}

std::vector<ResourceEntry> ListResources(const ResourceUpdate* update) {
  std::vector<ResourceEntry> entries;
  if (update != nullptr) AppendEntries(update->root.get(), entries);
  return entries;
}

std::vector<ResourceEntry> ListResources(const ResourceUpdate* update, std::uint16_t type) {
  std::vector<ResourceEntry> entries;
  if (update != nullptr) AppendEntries(update->root.get(), entries, type);
  return entries;
}

bool ResourcesUnchanged(const ResourceUpdate* update) {
  if (update == nullptr) return true;
  std::vector<ResourceEntry> before;
  Error error;
  if (!ReadImageResources(update->view.bytes(), before, &error) &&
      error.kind != ErrorKind::NoResources)
    return false;
  std::vector<ResourceEntry> after;
  AppendEntries(update->root.get(), after);
  if (before.size() != after.size()) return false;
  auto sameKey = [](const EntryKey& a, const EntryKey& b) {
    return a.name == b.name && (a.named() || a.id == b.id);
  };
  std::vector<std::uint8_t> kept;
  for (std::size_t i = 0; i < before.size(); ++i) {
    const ResourceEntry& a = before[i];
    const ResourceEntry& b = after[i];
    // The code page is not compared: storing data sets it to 0, and that
    // alone is no change worth rewriting a file for.
    if (!sameKey(a.type, b.type) || !sameKey(a.name, b.name) || a.language != b.language ||
        a.size != b.size)
      return false;
    std::span<const std::uint8_t> bytes = b.data;
    if (bytes.size() != b.size) {  // kept in a scratch file
      auto key = [](const EntryKey& k) {
        return k.named() ? k.name.c_str() : MakeIntResource(static_cast<std::uint16_t>(k.id));
      };
      if (!ReadResource(update, key(b.type), key(b.name), static_cast<std::uint16_t>(b.language),
                        kept, nullptr) ||
          kept.size() != b.size)
        return false;
      bytes = kept;
    }
    // Data still read from the image is the same bytes, and is not read again.
    if (bytes.data() != a.data.data() &&
        !std::equal(bytes.begin(), bytes.end(), a.data.begin(), a.data.end()))
      return false;
  }
  return true;
}

ReadOnlyImage::~ReadOnlyImage() { Release(); }

ReadOnlyImage::ReadOnlyImage(ReadOnlyImage&& other) noexcept
    : mapping_(std::exchange(other.mapping_, 0)),
      view_(std::exchange(other.view_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

ReadOnlyImage& ReadOnlyImage::operator=(ReadOnlyImage&& other) noexcept {
  if (this != &other) {
    Release();
    mapping_ = std::exchange(other.mapping_, 0);
    view_ = std::exchange(other.view_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void ReadOnlyImage::Release() noexcept {
  UnmapFile(mapping_, view_, size_);
  mapping_ = 0;
  view_ = nullptr;
  size_ = 0;
}

bool ReadOnlyImage::Map(platform::FileHandle file) {
  Release();
  std::uint64_t length = 0;
  if (!platform::GetFileLength(file, length)) return false;
  if (length == 0) return true;  // nothing to map; read as an empty image
  return platform::MapWholeFileForReading(file, mapping_, view_, size_);
}

bool ReadImageResources(std::span<const std::uint8_t> image, std::vector<ResourceEntry>& entries,
                        Error* error) {
  entries.clear();
  Error local;
  Error& e = error != nullptr ? *error : local;
  e = Error();
  if (image.empty()) {
    e = MakeError(ErrorKind::NotAnImage, "is empty, not a PE image");
    return false;
  }
  // A view of 4 GiB or more is refused as not an image: the engine's offsets
  // are 32-bit.
  if (image.size() != static_cast<std::uint32_t>(image.size())) {
    e = MakeError(ErrorKind::NotAnImage, "is not a PE image");
    return false;
  }
  // The readers below take the view as writable bytes; nothing here writes.
  auto* view = const_cast<std::uint8_t*>(image.data());
  const auto viewSize = static_cast<std::uint32_t>(image.size());
  const std::uint8_t* nt = LocateNtHeaders(view, viewSize);
  const std::optional<PeLayout> layout =
      nt != nullptr ? ReadPeLayout(view, viewSize, nt) : std::nullopt;
  if (!layout) {
    e = MakeError(ErrorKind::NotAnImage, "is not a PE image");
    return false;
  }
  const std::optional<std::uint32_t> section = FindResourceSection(view, viewSize, nt);
  if (!section || !InBounds(viewSize, layout->Section(*section), sec::kSize)) {
    e = MakeError(ErrorKind::NoResources, "has no resource section");
    return false;
  }
  const std::uint8_t* header = view + layout->Section(*section);
  try {
    const ResourceTree root = ParseResourceTree(
        view, viewSize, LoadU32(header + sec::kPointerToRawData),
        LoadU32(header + sec::kSizeOfRawData), LoadU32(header + sec::kVirtualAddress));
    AppendEntries(root.get(), entries);
  } catch (const EngineFailure& malformed) {
    entries.clear();
    e = MakeError(ErrorKind::MalformedImage,
                  "malformed resource directory: " + malformed.error().detail);
    return false;
  } catch (const std::bad_alloc&) {
    entries.clear();
    e = MakeError(ErrorKind::OutOfMemory, "out of memory reading its resources");
    return false;
  }
  return true;
}

}  // namespace marovi
