// Test-only tool for the round trips on real images: begins an update of a
// file, adds, replaces and deletes resources, and commits.
//
//   marovi_roundtrip_tool FILE [put:TYPE:NAME:LANGUAGE:DATAFILE | del:TYPE:NAME:LANGUAGE]...
//   marovi_roundtrip_tool --make-images DIR
//
// TYPE and NAME are numbers when they are all digits, names otherwise.
// Exit status: 0 committed, 1 a step failed, 2 bad arguments. The second form
// writes generated images whose layouts the machine's executables lack
// (sections without file data behind the resource section, a debug
// directory with unmapped data, raw data in another order than the
// addresses, a stale pointer into the resource data), for the same round
// trips.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/platform/platform.h"
#include "engine/tree/update.h"
#include "tests/support/pe_builder.h"
#include "tests/support/test_files.h"

namespace {

using marovi::ResourceName;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

ResourceName KeyFrom(const std::string& text) {
  const bool number = !text.empty() && text.size() <= 5 &&
                      text.find_first_not_of("0123456789") == std::string::npos &&
                      std::stoul(text) < 65536;
  if (number) return ResourceName(static_cast<std::uint16_t>(std::stoul(text)));
  return ResourceName(marovi::platform::FromUtf8(text));
}

void MakeImages(const std::filesystem::path& dir) {
  using namespace marovi::test;
  std::filesystem::create_directories(dir);
  auto filled = [](std::size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
    return b;
  };
  // The layouts: as a linker lays them out; .reloc data in front of the
  // resource data; .text data behind it; a section without raw data whose
  // pointer a linker left inside the resource data.
  const char* const layouts[] = {"", "-reloc-first", "-text-last", "-stale-pointer"};
  for (const bool plus : {false, true}) {
    for (const std::string layout : layouts) {
      ImageSpec spec;
      spec.pe32Plus = plus;
      spec.resources = {{3, 1, 0, filled(0x2400, 1)},
                        {3, 2, 1033, filled(0x300, 2)},
                        {14, u"MAINICON", 0, filled(0x22, 3)},
                        {u"PNG", u"LOGO", 0, filled(0x1800, 4)}};
      spec.sectionsAfter = {SectionSpec{".bss2", {}, 0x2000, kDiscardableBss},
                            SectionSpec{".reloc", filled(0x40, 5), 0, kDiscardableData}};
      spec.relocations = {{".text", 0x10}, {".text", 0x20}};
      spec.debugEntries = {DebugEntrySpec{2, filled(0x40, 6), true},
                           DebugEntrySpec{13, filled(0x30, 7), false}};
      spec.appended = filled(0x333, 8);
      if (layout == "-reloc-first") spec.fileOrder = {".text", ".reloc", ".rsrc"};
      if (layout == "-text-last") spec.fileOrder = {".rsrc", ".bss2", ".reloc", ".text"};
      if (layout == "-stale-pointer") {
        SectionSpec tls{".tls", {}, 0x200, 0xC0000040};
        tls.sharesDataOf = ".rsrc";
        tls.sharedOffset = 0x2000;
        spec.sectionsBefore.push_back(tls);
      }
      WriteWholeFile(
          dir / ("generated-" + std::string(plus ? "pe32plus" : "pe32") + layout + ".exe"),
          BuildImage(spec));
    }
  }
}

int Run(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--make-images") {
    MakeImages(argv[2]);
    return 0;
  }
  if (argc < 2) {
    std::cerr << "usage: " << argv[0]
              << " FILE [put:TYPE:NAME:LANGUAGE:DATAFILE | del:TYPE:NAME:LANGUAGE]...\n";
    return 2;
  }
  const std::u16string file = marovi::test::Utf16Path(std::filesystem::path(argv[1]));
  marovi::ResourceUpdate* update = marovi::BeginResourceUpdate(file.c_str(), false);
  if (update == nullptr) {
    std::cerr << "cannot begin an update of " << argv[1] << " (error "
              << marovi::platform::LastError() << ")\n";
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    const std::vector<std::string> op = Split(argv[i], ':');
    const bool put = op.size() == 5 && op[0] == "put";
    if (!put && !(op.size() == 4 && op[0] == "del")) {
      std::cerr << "bad operation " << argv[i] << "\n";
      marovi::EndResourceUpdate(update, true);
      return 2;
    }
    const ResourceName type = KeyFrom(op[1]), name = KeyFrom(op[2]);
    const auto language = static_cast<std::uint16_t>(std::stoul(op[3]));
    std::vector<std::uint8_t> data;
    if (put) data = marovi::test::ReadWholeFile(op[4]);
    // An empty resource still needs an address to be added rather than deleted.
    static const std::uint8_t kNone = 0;
    const void* bytes =
        put ? (data.empty() ? &kNone : static_cast<const void*>(data.data())) : nullptr;
    if (!marovi::UpdateResourceData(update, type, name, language, bytes,
                                    static_cast<std::uint32_t>(data.size()))) {
      std::cerr << "cannot apply " << argv[i] << "\n";
      marovi::EndResourceUpdate(update, true);
      return 1;
    }
  }
  if (!marovi::EndResourceUpdate(update, false)) {
    std::cerr << "cannot commit the update of " << argv[1] << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
}
