// Writes the seed corpora of the fuzz targets: small PE32 and PE32+ images
// from the test image generator, and compiled resource files.
#include <string>

#include "tests/support/pe_builder.h"
#include "tests/support/test_files.h"

using namespace marovi::test;

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  int count = 0;
  auto put = [&](const ImageSpec& spec) {
    WriteWholeFile(dir / ("seed" + std::to_string(count++) + ".exe"), BuildImage(spec));
  };
  for (bool plus : {false, true}) {
    ImageSpec s;
    s.pe32Plus = plus;
    s.resources = {{3, 1, 0, Bytes(40, 0x11)}, {14, u"MAINICON", 0, Bytes(20, 0x22)}};
    put(s);
    s.resources.push_back({u"ICONS", u"Icons", 1033, Bytes(9, 0x33), 1252, 7});
    s.resources.push_back({3, 2, 2052, Bytes(3, 0x44)});
    put(s);
    s.sectionsAfter = {SectionSpec{".reloc", Bytes(16, 0), 0, 0x42000040}};
    s.directories = {{5, ".reloc", 0, 16}};
    put(s);
    s.debugEntries = {{2, Bytes(24, 0x55), true}, {13, Bytes(8, 0x66), false}};
    s.appended = Bytes(17, 0x77);
    put(s);
    // Resources that extract makes files of: an icon and a cursor group
    // with their images, and bitmaps.
    ImageSpec files;
    files.pe32Plus = plus;
    const std::vector<IconImageSpec> icons = {{16, 16, 0, 0, 1, 32, Bytes(40, 0x12)},
                                              {32, 32, 16, 0, 1, 4, Bytes(24, 0x13)}};
    const CursorImageSpec cursor{32, 32, 1, 1, 3, 4, BuildDib(40, 1, 0, 0, 16)};
    files.resources = {{1, 5, 0, BuildCursorResource(cursor)},
                       {2, 7, 0, BuildDib(40, 8, 0, 2, 8 + 8)},
                       {2, 8, 0, BuildDib(12, 1, 0, 0, 6 + 4)},
                       {3, 1, 0, icons[0].bytes},
                       {3, 2, 0, icons[1].bytes},
                       {12, 1, 0, BuildCursorGroupRecord({cursor}, {5})},
                       {14, 1, 0, BuildIconGroupRecord(icons, {1, 2})}};
    put(files);
    ImageSpec empty;
    empty.pe32Plus = plus;
    put(empty);
    empty.withResourceSection = false;
    put(empty);
  }
  // Compiled resource files: none, ids and names, an icon group with its
  // images, and an entry whose data needs no padding.
  const std::filesystem::path resDir = argv[2];
  std::filesystem::create_directories(resDir);
  const std::vector<std::vector<ResourceSpec>> resFiles = {
      {},
      {{10, 7, 1033, Bytes{'a', 'b', 'c'}}, {u"MYTYPE", u"NAME", 0, Bytes(5, 0x12)}},
      {{3, 1, 1033, Bytes(40, 0x11)}, {14, 1, 1033, Bytes{0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0,
                                                           32, 0, 40, 0, 0, 0, 1, 0}}},
      {{6, 1, 0, Bytes(32, 0)}, {24, 1, 0, Bytes(8, '<')}},
  };
  for (std::size_t i = 0; i < resFiles.size(); ++i)
    WriteWholeFile(resDir / ("seed" + std::to_string(i) + ".res"), BuildResFile(resFiles[i]));
  return 0;
}
