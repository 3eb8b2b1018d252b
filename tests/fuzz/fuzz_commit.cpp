// Read, update, commit, read again: begin an update on the input, delete the
// first resource, add a small, a named and (for some inputs) a large one,
// commit, and begin again on the result, which must read back what was added
// and carry a correct checksum. A commit may refuse an image it cannot
// rewrite safely; it must then leave the file as it was.
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/commit/section_layout.h"
#include "engine/pe/bytes.h"
#include "engine/pe/image.h"
#include "engine/tree/update.h"
#include "tests/fuzz/fuzz_common.h"

using namespace marovi;

namespace {

std::vector<std::uint8_t> ReadBack() {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen(fuzz::InputPath().c_str(), "rb");
  if (f == nullptr) __builtin_trap();
  std::uint8_t buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return bytes;
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 31);
  return b;
}

bool ReadsBack(ResourceUpdate* u, ResKey type, ResKey name, std::uint16_t language,
               const std::vector<std::uint8_t>& expected) {
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  return GetResourceData(u, type, name, language, data, size) && data != nullptr &&
         size == expected.size() && std::memcmp(data, expected.data(), size) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputSize) {
  // Resources of these small inputs are moved in place as large ones are.
  SetMovedInPlaceMinimum(16);
  // A file alignment beyond what the format allows (64 KiB) would let one
  // input grow the file by up to 2 GiB; such images are only read here.
  std::vector<std::uint8_t> copy(input, input + inputSize);
  const auto size32 = static_cast<std::uint32_t>(copy.size());
  const std::uint8_t* nt = copy.empty() ? nullptr : LocateNtHeaders(copy.data(), size32);
  const bool mayCommit =
      nt != nullptr &&
      InBounds(size32, static_cast<std::uint64_t>(nt - copy.data()) + nt::kFileAlignment, 4) &&
      LoadU32(nt + nt::kFileAlignment) <= 0x10000;

  const fuzz::InputFileRemover remover;
  ResourceUpdate* update = fuzz::BeginOnInput(input, inputSize);
  if (update == nullptr) return 0;

  // Delete the first leaf found, by its own keys.
  const TResItem* type = update->root.get()->firstChild.get();
  const TResItem* resName =
      type != nullptr && type->isDirectory() ? type->firstChild.get() : nullptr;
  const TResItem* leaf =
      resName != nullptr && resName->isDirectory() ? resName->firstChild.get() : nullptr;
  if (leaf != nullptr && !leaf->isDirectory()) {
    const ResourceName t = type->name.empty() ? ResourceName(static_cast<std::uint16_t>(type->id))
                                              : ResourceName(type->name);
    const ResourceName n = resName->name.empty()
                               ? ResourceName(static_cast<std::uint16_t>(resName->id))
                               : ResourceName(resName->name);
    if (!UpdateResourceData(update, t, n, static_cast<std::uint16_t>(leaf->id), nullptr, 0))
      __builtin_trap();
  }
  const auto small = Pattern(100, 1), group = Pattern(20, 2), large = Pattern(40000, 3);
  const bool withLarge = inputSize > 0 && (input[inputSize - 1] & 1) != 0;
  if (!UpdateResourceData(update, MakeIntResource(kRtIcon), MakeIntResource(1), 0, small.data(),
                          100))
    __builtin_trap();
  if (!UpdateResourceData(update, MakeIntResource(kRtGroupIcon), u"MAINICON", 1033, group.data(),
                          20))
    __builtin_trap();
  if (withLarge && !UpdateResourceData(update, u"FUZZ", MakeIntResource(7), 0, large.data(), 40000))
    __builtin_trap();

  if (!mayCommit) {
    if (!EndResourceUpdate(update, true)) __builtin_trap();
    return 0;
  }
  if (!EndResourceUpdate(update, false)) {
    // Refused: the file must be as it was.
    if (ReadBack() != copy) __builtin_trap();
    return 0;
  }

  // The result reads back, with what was added, and its checksum is right.
  std::vector<std::uint8_t> result = ReadBack();
  const auto resultSize = static_cast<std::uint32_t>(result.size());
  std::uint8_t* resultNt = LocateNtHeaders(result.data(), resultSize);
  if (resultNt == nullptr) __builtin_trap();
  const std::uint32_t stored = LoadU32(resultNt + nt::kCheckSum);
  StoreU32(resultNt + nt::kCheckSum, 0);
  if (ImageChecksum(result.data(), resultSize) + resultSize != stored) __builtin_trap();

  ResourceUpdate* again = nullptr;
  const std::u16string name = platform::FromUtf8(fuzz::InputPath());
  try {
    again = BeginResourceUpdate(name.c_str(), false);
  } catch (const ImageFormatError&) {
    __builtin_trap();  // the commit wrote a directory its own reader refuses
  }
  if (again == nullptr) __builtin_trap();
  if (!ReadsBack(again, MakeIntResource(kRtIcon), MakeIntResource(1), 0, small)) __builtin_trap();
  if (!ReadsBack(again, MakeIntResource(kRtGroupIcon), u"MAINICON", 1033, group)) __builtin_trap();
  if (withLarge && !ReadsBack(again, u"FUZZ", MakeIntResource(7), 0, large)) __builtin_trap();
  volatile std::uint32_t sink = fuzz::Touch(again->root.get());
  (void)sink;
  if (!EndResourceUpdate(again, true)) __builtin_trap();
  return 0;
}
