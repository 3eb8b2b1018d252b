// Opening and reading an image: begin an update on the input, walk the tree,
// look a few resources up, discard; then list its resources and make the
// files that extract writes of them. A malformed directory may be refused
// with ImageFormatError; nothing else may escape and nothing may fault.
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/engine.h"
#include "engine/pe/bytes.h"
#include "engine/tree/update.h"
#include "tests/fuzz/fuzz_common.h"

using namespace marovi;

namespace {

// The files of the first resources listed: icon and cursor groups with
// their images, bitmaps, and every file name.
std::uint32_t MakeFiles(const std::uint8_t* data, std::size_t size) {
  std::vector<ResourceEntry> entries;
  Error error;
  if (!ReadImageResources({data, size}, entries, &error)) return 0;
  if (entries.size() > 64) entries.resize(64);
  std::uint32_t made = 0;
  for (const ResourceEntry& entry : entries) {
    made += static_cast<std::uint32_t>(
        ResourceFileName(entry.type.id, entry.type.name, entry.name.id, entry.name.name,
                         entry.language, ResourceFileExtension(entry.type.id, entry.type.named()))
            .size());
    if (entry.type.named()) continue;
    const bool cursor = entry.type.id == kRtGroupCursorRecord;
    std::optional<std::vector<std::uint8_t>> file;
    if (cursor || entry.type.id == kRtGroupIconRecord) {
      const std::uint32_t imageType = cursor ? kRtCursorImage : kRtIconImage;
      file = IconFileFromGroup(
          entry.data, cursor,
          [&](std::uint16_t id) -> std::optional<std::span<const std::uint8_t>> {
            for (const ResourceEntry& image : entries)
              if (!image.type.named() && image.type.id == imageType && !image.name.named() &&
                  image.name.id == id)
                return image.data;
            return std::nullopt;
          },
          &error);
    } else if (entry.type.id == kRtBitmap) {
      file = BitmapFileFromResource(entry.data, &error);
    }
    if (file) made += static_cast<std::uint32_t>(file->size()) + (*file)[file->size() - 1];
  }
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  volatile std::uint32_t made = MakeFiles(data, size);
  (void)made;
  const fuzz::InputFileRemover remover;
  ResourceUpdate* update = fuzz::BeginOnInput(data, size);
  if (update == nullptr) return 0;

  volatile std::uint32_t sink = fuzz::Touch(update->root.get());
  const std::uint8_t* bytes = nullptr;
  std::uint32_t length = 0;
  // The first leaf of the tree by its own keys, then fixed keys.
  const TResItem* type = update->root.get()->firstChild.get();
  const TResItem* resName = type != nullptr ? type->firstChild.get() : nullptr;
  const TResItem* leaf = resName != nullptr ? resName->firstChild.get() : nullptr;
  if (leaf != nullptr && type->isDirectory() && resName->isDirectory()) {
    const ResourceName t = type->name.empty() ? ResourceName(static_cast<std::uint16_t>(type->id))
                                              : ResourceName(type->name);
    const ResourceName n = resName->name.empty()
                               ? ResourceName(static_cast<std::uint16_t>(resName->id))
                               : ResourceName(resName->name);
    if (GetResourceData(update, t, n, static_cast<std::uint16_t>(leaf->id), bytes, length) &&
        bytes != nullptr)
      for (std::uint32_t i = 0; i < length; ++i) sink = sink + bytes[i];
  }
  if (GetResourceData(update, MakeIntResource(kRtIcon), MakeIntResource(1), 0, bytes, length) &&
      bytes != nullptr)
    for (std::uint32_t i = 0; i < length; ++i) sink = sink + bytes[i];
  if (GetIconGroupData(update, u"MAINICON", 0, bytes) && bytes != nullptr) sink = sink + bytes[0];
  if (!EndResourceUpdate(update, true)) __builtin_trap();  // a discard always succeeds
  (void)sink;
  return 0;
}
