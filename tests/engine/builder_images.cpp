// Writes a range of images made by the test image generator into the folder
// named on the command line, for pefile_check.py to read independently.
#include <string>

#include "tests/support/pe_builder.h"
#include "tests/support/test_files.h"

using namespace marovi::test;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path dir = argv[1];
  auto bytes = [](std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
    return b;
  };
  for (int plus = 0; plus < 2; ++plus) {
    for (int variant = 0; variant < 6; ++variant) {
      ImageSpec s;
      s.pe32Plus = plus != 0;
      s.resources = {{14, u"MAINICON", 0, bytes(20, 1)},      {3, 1, 0, bytes(10, 2)},
                     {3, 2, 1033, bytes(300, 3), 1252, 0},    {3, 2, 0, bytes(7, 4)},
                     {u"ICONS", u"Icons", 2052, bytes(5, 5)}, {24, 1, 1033, bytes(100, 6)}};
      if (variant == 1) s.resources.clear();
      if (variant >= 2) s.sectionsAfter = {SectionSpec{".reloc", Bytes(12, 0), 0, 0x42000040}};
      if (variant == 2) s.directories = {{5, ".reloc", 0, 12}};
      if (variant >= 3) {
        s.debugEntries = {{2, bytes(40, 7), true}, {13, bytes(16, 8), false}};
        s.appended = bytes(33, 9);
      }
      if (variant == 4) {
        s.symbolTableSize = 36;
        s.debugBehindResources = false;
        s.sectionsBefore.push_back({".data", bytes(100, 1), 0x2000, 0xC0000040});
      }
      if (variant == 5) {
        s.fileAlignment = 0x1000;
        s.resources.push_back({3, 9, 0, bytes(70000, 10)});
      }
      const Bytes image = BuildImage(s);
      WriteWholeFile(dir / ("image" + std::to_string(plus) + std::to_string(variant) + ".exe"),
                     image);
    }
  }
  return 0;
}
