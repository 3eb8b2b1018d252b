// Reading a compiled resource file: either it is refused with a reason, or
// every entry it gives lies inside the input, after the one before it, with
// a type that is not 0 and a name that is not empty.
#include <cstdint>
#include <span>

#include "engine/formats/res_file.h"

using namespace marovi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  Error error;
  const auto entries = ParseResFile(input, &error);
  if (!entries) {
    if (error.kind != ErrorKind::Refused || error.detail.empty()) __builtin_trap();
    return 0;
  }
  volatile std::uint32_t sink = 0;
  std::uint64_t previous = 0;
  for (const ResFileEntry& entry : *entries) {
    if (entry.offset <= previous || entry.offset % 4 != 0) __builtin_trap();
    previous = entry.offset;
    if (entry.data.data() < data || entry.data.data() + entry.data.size() > data + size)
      __builtin_trap();
    if ((!entry.type.named() && entry.type.id() == 0) ||
        (entry.name.named() && entry.name.name().empty()))
      __builtin_trap();
    for (std::uint8_t byte : entry.data) sink = sink + byte;
  }
  (void)sink;
  return 0;
}
