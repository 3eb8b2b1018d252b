// What may move, in memory and in the file: each section layout committed
// with its pages kept, grown and shrunk, or refused untouched.
#include "tests/commit/commit_test_support.h"

namespace marovi::test {
namespace {

// ------------------------------- what may move, in memory and in the file

// The image of one layout case: resources of two pages in memory, the
// sections the case adds, and edits the generator cannot make.
struct LayoutCase {
  const char* name;
  void (*shape)(ImageSpec&);
  // NewSection: never rebuilt in place; the resources go into a new section.
  enum { Never, WhenMoving, NewSection, Always } refused;
  const char* reason;  // part of the refusal's text
  void (*edit)(Bytes&) = nullptr;
};

const LayoutCase kLayoutCases[] = {
    // Sections behind the resources that something addresses.
    {"imports behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".idata", Filled(0x200, 3), 0, 0xC0000040}};
       s.directories = {{1, ".idata", 0, 0x28}};
     },
     LayoutCase::WhenMoving,
     "section \".idata\" behind the resources holds the import table and cannot move"},
    {"code behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".text2", Bytes(0x80, 0xC3), 0, kCode}};
     },
     LayoutCase::WhenMoving, "section \".text2\" behind the resources holds code and cannot move"},
    {"entry point behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".stub", Filled(0x80, 3), 0, kDiscardableData}};
       s.entryPoint = PlaceSpec{".stub", 0x10};
     },
     LayoutCase::WhenMoving, "section \".stub\" behind the resources holds the entry point"},
    {"relocated page behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".data2", Filled(0x80, 3), 0, kDiscardableData},
                          SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}, {".data2", 0x20}};
     },
     LayoutCase::WhenMoving,
     "section \".data2\" behind the resources holds pages that the base relocation table lists"},
    {"data that is not discardable behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".data2", Filled(0x80, 3)}};
     },
     LayoutCase::WhenMoving, "section \".data2\" behind the resources is not discardable"},
    {"TLS directory in a discardable section behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".tls2", Filled(0x80, 3), 0, kDiscardableData}};
       s.directories = {{9, ".tls2", 0x10, 0x18}};
     },
     LayoutCase::WhenMoving, "holds the TLS directory"},
    {"unreadable base relocations",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x40, 7), 0, kDiscardableData}};
       s.directories = {{5, ".reloc", 0, 0x40}};
     },
     LayoutCase::WhenMoving, "the base relocation table cannot be read"},
    // What may move: base relocations and debug data, in any file order.
    {"relocations and debug data behind",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData},
                          SectionSpec{".debug", Filled(0x300, 5), 0, kDiscardableData},
                          SectionSpec{".bss2", {}, 0x800, kDiscardableBss}};
       s.relocations = {{".text", 0x10}, {".text", 0x1000 - 4}};
       s.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true},
                         DebugEntrySpec{13, Filled(0x50, 4), false}};
       s.symbolTableSize = 18 * 4;
     },
     LayoutCase::Never, nullptr},
    {".reloc data in front of the resource data",
     [](ImageSpec& s) {
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData},
                          SectionSpec{".debug", Filled(0x300, 5), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}};
       s.fileOrder = {".text", ".reloc", ".rsrc"};
       s.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true}};
     },
     LayoutCase::Never, nullptr},
    {".text data behind the resource data",
     [](ImageSpec& s) {
       s.sectionsBefore.push_back(SectionSpec{".rdata", Filled(0x300, 2)});
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}, {".rdata", 0x20}};
       s.fileOrder = {".rsrc", ".reloc", ".rdata", ".text"};
       // The debug directory in .text: its entries' data lies behind the
       // resource data in the file and in front of it in memory.
       s.debugBehindResources = false;
       s.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true},
                         DebugEntrySpec{13, Filled(0x50, 4), false}};
     },
     LayoutCase::Never, nullptr},
    {"a stale pointer into the resource data",
     [](ImageSpec& s) {
       // No raw data, and a pointer a linker left inside the resources'.
       SectionSpec tls{".tls", {}, 0x100, 0xC0000040};
       tls.sharesDataOf = ".rsrc";
       tls.sharedOffset = 0x1000;
       s.sectionsBefore.push_back(tls);
       s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData}};
       s.relocations = {{".text", 0x10}};
     },
     LayoutCase::Never, nullptr},
    // Layouts the rebuild cannot rely on, whatever the change.
    {"section data laid over another section's",
     [](ImageSpec& s) {
       SectionSpec b{".b", Filled(0x100, 4), 0, kDiscardableData};
       b.sharesDataOf = ".a";
       b.sharedOffset = 0x200;
       s.sectionsAfter = {SectionSpec{".a", Filled(0x400, 3), 0, kDiscardableData}, b};
     },
     LayoutCase::Always,
     "the data of section \".a\" and of section \".b\" share bytes of the file"},
    {"section data running out of the resource data",
     [](ImageSpec& s) {
       SectionSpec b{".b", Bytes(0x400, 0), 0, kDiscardableData};
       b.sharesDataOf = ".rsrc";
       b.sharedOffset = 0x1800;
       s.sectionsAfter = {b};
     },
     LayoutCase::Always, "and of section \".b\" share bytes of the file"},
    // Some installers' linkers leave the relocations inside the resource
    // data: the resources go elsewhere, and those bytes stay.
    {"section data inside the resource data",
     [](ImageSpec& s) {
       SectionSpec b{".reloc", Filled(0x10, 6), 0, kDiscardableData};
       b.sharesDataOf = ".rsrc";
       b.sharedOffset = 0x1800;
       s.sectionsAfter = {b};
     },
     LayoutCase::NewSection, "the data of section \".reloc\" lies inside the resource section's"},
    {"a section alignment that is no power of two",
     [](ImageSpec& s) { s.sectionAlignment = 0x1800; }, LayoutCase::Always,
     "the section alignment 0x1800 is not a power of two"},
    {"a section alignment below the file alignment",
     [](ImageSpec& s) {
       s.fileAlignment = 0x1000;
       s.sectionAlignment = 0x800;
     },
     LayoutCase::Always, "the section alignment 0x800 is below the file alignment 0x1000"},
    {"a resource table larger than its section", [](ImageSpec&) {}, LayoutCase::Always,
     "exceeds its section's size in memory",
     [](Bytes& b) {
       const Headers h(b);
       Set32(b, h.Dir(2) + 4, Get32(b, h.Sec(ResourceSectionIndex(b)) + kVirtualSize) + 1);
     }},
};

// Each layout with a change that keeps the section's pages, one that grows
// them and one that shrinks them: refused untouched where the case says so,
// and otherwise committed with every field as the file's two orders require.
TEST_P(CommitTest, SectionsMoveOnlyWhereNothingAddressesThemAndFileOffsetsFollowTheFile) {
  struct Kind {
    const char* name;
    Bytes data;
    bool moves;
  };
  const Kind kinds[] = {{"same pages", Filled(0x1C00, 2), false},
                        {"growing", Filled(0x3000, 2), true},
                        {"shrinking", Filled(0x10, 2), true}};
  for (const LayoutCase& c : kLayoutCases) {
    SCOPED_TRACE(c.name);
    ImageSpec spec = Spec({{3, 1, 0, Filled(0x1900, 1)}, {14, u"MAINICON", 0, Filled(0x20, 3)}});
    c.shape(spec);
    spec.spareSectionHeaders = 1;
    Bytes before = BuildImage(spec);
    if (c.edit != nullptr) {
      c.edit(before);
      const Headers h(before);
      Set32(before, h.CheckSum(), StandardChecksum(before, h.CheckSum()));
    }
    for (const Kind& k : kinds) {
      SCOPED_TRACE(k.name);
      const std::vector<Change> change = {{3, 1, 0, k.data}};
      if (c.refused == LayoutCase::Always) {
        ExpectRefusedBecause(before, change, c.reason);
        continue;
      }
      // Sections that must not move stay: the resources go into a section
      // added behind them instead, and the old one keeps its bytes.
      if ((c.refused == LayoutCase::WhenMoving && k.moves) || c.refused == LayoutCase::NewSection) {
        const Bytes after = CommitAddingASection(before, change);
        ASSERT_FALSE(after.empty());
        // Changed once more, the new section is the last and grows in place.
        Commit(after, {{3, 1, 0, Filled(0x5000, 4)}});
        // When the room for its header is in use, the image is refused.
        Bytes used = before;
        const Headers h(used);
        used[h.Sec(h.sectionCount) + 3] = 0x5A;
        Set32(used, h.CheckSum(), StandardChecksum(used, h.CheckSum()));
        ExpectRefusedBecause(used, change, c.reason);
        ExpectRefusedBecause(
            used, change,
            "a new section cannot be added: the room behind its section table is in use");
        continue;
      }
      CommitDeltas d;
      const Bytes after = Commit(before, change, &d);
      ASSERT_FALSE(after.empty());
      EXPECT_EQ(d.virt != 0, k.moves) << "the change does not exercise what the case is about";
    }
  }
}

}  // namespace
}  // namespace marovi::test
