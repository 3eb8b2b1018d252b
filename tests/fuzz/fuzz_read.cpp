// Opening and reading an image: begin an update on the input, walk the tree,
// look a few resources up, discard. A malformed directory may be refused
// with ImageFormatError; nothing else may escape and nothing may fault.
#include <cstdint>

#include "engine/bytes.h"
#include "engine/commit.h"
#include "engine/update.h"
#include "tests/fuzz/fuzz_common.h"

using namespace marovi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
