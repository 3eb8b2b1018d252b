// Reading a leaf's bytes from wherever they are.
#include "engine/tree/leaf_data.h"

#include <algorithm>
#include <cstring>

namespace marovi {

bool LeafData::Read(std::uint32_t size, std::uint8_t* out) const {
  if (size == 0) return true;
  if (const std::uint8_t* bytes = view()) {
    std::memcpy(out, bytes, size);
    return true;
  }
  if (const CompactByteString* bytes = memory()) {
    // New bytes in memory are at least as many as the leaf's size.
    if (bytes->size() < size) return false;
    std::memcpy(out, bytes->data(), size);
    return true;
  }
  if (const ScratchFile* file = scratch()) return platform::ReadAt(file->get(), 0, out, size);
  return false;
}

}  // namespace marovi
