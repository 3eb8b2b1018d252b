// marovi-sample OUT.exe OUT.ico [--resources-mib N] [--appended-mib N]:
// writes a small 64-bit executable image with an icon group, a string table
// and raw data, and a two-image icon file, for trying the tool out. The
// options make it large, for tests that need a change to take a while: N MiB
// of other resources, or N MiB of data appended behind its last section
// (pseudo-random bytes, so that nothing compresses or reads as a hole).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tests/support/pe_builder.h"

namespace {

using marovi::test::Bytes;

// A 32-bit BGRA icon image (BITMAPINFOHEADER, pixels, AND mask) of one colour.
Bytes SolidIconImage(int size, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  Bytes out;
  auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  auto put16 = [&](std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  const auto n = static_cast<std::uint32_t>(size);
  put32(40);
  put32(n);
  put32(2 * n);  // colour and mask
  put16(1);
  put16(32);
  put32(0);
  put32(n * n * 4);
  put32(0);
  put32(0);
  put32(0);
  put32(0);
  for (std::uint32_t i = 0; i < n * n; ++i) {
    const bool border = i % n == 0 || i % n == n - 1 || i / n == 0 || i / n == n - 1;
    out.push_back(border ? 0 : b);
    out.push_back(border ? 0 : g);
    out.push_back(border ? 0 : r);
    out.push_back(255);
  }
  const std::uint32_t maskRow = ((n + 31) / 32) * 4;
  out.insert(out.end(), maskRow * n, 0);
  return out;
}

bool Save(const char* path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

Bytes RandomBytes(std::size_t count, std::uint64_t seed) {
  Bytes out(count);
  std::uint64_t state = seed | 1;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    out[i] = static_cast<std::uint8_t>(state >> 24);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t resourcesMiB = 0, appendedMiB = 0;
  bool usage = argc != 3 && argc != 5 && argc != 7;
  for (int i = 3; !usage && i + 1 < argc; i += 2) {
    const auto value = static_cast<std::size_t>(std::strtoul(argv[i + 1], nullptr, 10));
    if (std::strcmp(argv[i], "--resources-mib") == 0) resourcesMiB = value;
    else if (std::strcmp(argv[i], "--appended-mib") == 0) appendedMiB = value;
    else usage = true;
  }
  if (usage) {
    std::fprintf(stderr,
                 "usage: marovi-sample OUT.exe OUT.ico [--resources-mib N] [--appended-mib N]\n");
    return 2;
  }
  using namespace marovi::test;
  ImageSpec spec;
  spec.pe32Plus = true;
  const Bytes oldIcon = SolidIconImage(32, 0x80, 0x80, 0x80);
  Bytes group = {0, 0, 1, 0, 1, 0, 32, 32, 0, 0, 1, 0, 32, 0};
  const auto size = static_cast<std::uint32_t>(oldIcon.size());
  for (int i = 0; i < 4; ++i) group.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  group.push_back(1);
  group.push_back(0);
  spec.resources = {
      {3, 1, 0, oldIcon},
      {14, u"MAINICON", 0, group},
      {6, 1, 1033, Bytes(64, 0)},
      {10, 1, 1033, Bytes(92, 0x20)},
  };
  // Several large resources, so that some of them move in place.
  for (std::size_t i = 0; i < resourcesMiB; i += 4)
    spec.resources.push_back(
        {10, static_cast<int>(2 + i / 4), 1033,
         RandomBytes((resourcesMiB - i < 4 ? resourcesMiB - i : 4) << 20, i + 7)});
  spec.appended = RandomBytes(appendedMiB << 20, 99);
  spec.sectionsAfter = {SectionSpec{".reloc", Bytes(0x20, 0), 0, 0x42000040}};
  const Bytes ico = BuildIcoFile({
      IconImageSpec{32, 32, 0, 0, 1, 32, SolidIconImage(32, 0xE0, 0x40, 0x20)},
      IconImageSpec{16, 16, 0, 0, 1, 32, SolidIconImage(16, 0x20, 0x60, 0xE0)},
  });
  if (!Save(argv[1], BuildImage(spec)) || !Save(argv[2], ico)) {
    std::perror("marovi-sample");
    return 1;
  }
  std::printf("wrote %s and %s\n", argv[1], argv[2]);
  return 0;
}
