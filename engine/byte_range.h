// A range of bytes at an offset: of a file, of a mapped image or of the
// address space an image is loaded into. Its tests are in subtraction form
// where a sum could wrap around.
#pragma once

#include <cstdint>

namespace marovi {

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;

  // The range [begin, end); empty when end is not above begin.
  static constexpr ByteRange Between(std::uint64_t begin, std::uint64_t end) {
    return {begin, end > begin ? end - begin : 0};
  }

  constexpr std::uint64_t end() const { return offset + size; }
  constexpr bool empty() const { return size == 0; }
  constexpr bool Contains(std::uint64_t at) const { return at >= offset && at - offset < size; }
  // Whether other lies wholly inside; an empty other counts when its offset
  // lies inside or at the end.
  constexpr bool Contains(const ByteRange& other) const {
    return other.offset >= offset && other.offset - offset <= size &&
           other.size <= size - (other.offset - offset);
  }
  // Whether both share at least one byte: empty ranges share none.
  constexpr bool Overlaps(const ByteRange& other) const {
    if (empty() || other.empty()) return false;
    return other.offset >= offset ? other.offset - offset < size
                                  : offset - other.offset < other.size;
  }

  friend constexpr bool operator==(const ByteRange&, const ByteRange&) = default;
};

}  // namespace marovi
