// Installers and bundles that find their data behind the image by file
// offsets keep working after a commit moves that data, each judged by a
// reader that follows its runtime's own lookup (tests/support/payload_builder).
#include <gtest/gtest.h>

#include <functional>

#include "engine/payloads/payloads.h"
#include "tests/commit/commit_test_util.h"
#include "tests/support/payload_builder.h"

namespace marovi::test {
namespace {

// The image every case starts from: an icon image whose size each change
// sets (a growing, a shrinking and a same-size section).
ImageSpec BaseSpec(bool plus) {
  ImageSpec s =
      SpecWith(plus, {{3, 1, 0, Filled(0x1900, 1)}, {14, u"MAINICON", 0, Filled(0x20, 3)}});
  s.sectionsAfter = {SectionSpec{".reloc", Filled(0x20, 7), 0, kDiscardableData}};
  return s;
}

struct Outcome {
  bool committed = false;
  Error error;
  CommitReport report;
  Bytes after;
};

Outcome CommitIcon(const Bytes& before, const Bytes& icon) {
  ImageFile file(before);
  Outcome o;
  ResourceUpdate* u = file.Begin();
  EXPECT_NE(u, nullptr);
  if (u == nullptr) return o;
  EXPECT_TRUE(UpdateResourceData(u, MakeIntResource(3), MakeIntResource(1), 0, icon.data(),
                                 static_cast<std::uint32_t>(icon.size())));
  o.committed = EndResourceUpdate(u, false, &o.error, &o.report);
  o.after = file.Read();
  return o;
}

const struct {
  const char* name;
  Bytes icon;
} kChanges[] = {{"growing", Filled(0x3000, 2)},
                {"shrinking", Filled(0x10, 2)},
                {"same size", Filled(0x1900, 9)}};

// Inno's table holds offsets into the image it is part of: the image is
// built once to learn its length, then again with the table (same size).
Bytes InnoImage(bool plus, std::uint32_t version, Bytes tail) {
  ImageSpec s = BaseSpec(plus);
  s.resources.push_back({10, 11111, 0, InnoOffsetTable(version, {})});
  const std::uint64_t length = BuildImage(s).size();
  s.resources.back().data =
      InnoOffsetTable(version, {length + tail.size(), length, length + 0x100, length + 0x200});
  Bytes image = BuildImage(s);
  image.insert(image.end(), tail.begin(), tail.end());
  return image;
}

struct PayloadCase {
  const char* name;
  PayloadKind kind;
  std::function<Bytes(bool plus)> make;
  // What the program's runtime reads: the same from the image before and
  // after the change, and not empty.
  std::function<std::optional<Bytes>(const Bytes&)> read;
};

std::optional<Bytes> InnoRead(const Bytes& file) {
  const auto resources = ReadResources(file).resources;
  const auto table = resources.find("#10/#11111/0");
  if (table == resources.end()) return std::nullopt;
  const auto o = ReadInnoOffsetTable(table->second.data);
  if (!o || o->totalSize != file.size() || o->offset1 + 0x100 > file.size()) return std::nullopt;
  Bytes seen;
  for (const std::uint64_t at : {o->offsetExe, o->offset0, o->offset1})
    seen.insert(seen.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                file.begin() + static_cast<std::ptrdiff_t>(at + 0x100));
  return seen;
}

std::optional<Bytes> BundleRead(const Bytes& file) {
  const auto files = ReadDotNetBundle(file);
  if (!files) return std::nullopt;
  Bytes all;
  for (const Bytes& f : *files) all.insert(all.end(), f.begin(), f.end());
  return all;
}

Bytes BundleImage(bool plus, std::uint32_t major) {
  ImageSpec s = BaseSpec(plus);
  s.sectionsBefore.push_back(SectionSpec{".rdata", DotNetBundleMarker()});
  Bytes image = BuildImage(s);
  AppendDotNetBundle(image, major, {Filled(0x300, 4), Filled(0x1234, 5), Bytes()});
  return image;
}

const PayloadCase kPayloads[] = {
    {"NSIS with its CRC", PayloadKind::Nsis,
     [](bool plus) {
       Bytes image = BuildImage(BaseSpec(plus));
       AppendNsisData(image, Filled(0x5000, 6), true);
       return image;
     },
     [](const Bytes& f) { return ReadNsisData(f); }},
    {"NSIS without a CRC", PayloadKind::Nsis,
     [](bool plus) {
       Bytes image = BuildImage(BaseSpec(plus));
       AppendNsisData(image, Filled(0x800, 6), false);
       return image;
     },
     [](const Bytes& f) { return ReadNsisData(f); }},
    {".NET bundle 1", PayloadKind::DotNetBundle, [](bool plus) { return BundleImage(plus, 1); },
     BundleRead},
    {".NET bundle 2", PayloadKind::DotNetBundle, [](bool plus) { return BundleImage(plus, 2); },
     BundleRead},
    {".NET bundle 6", PayloadKind::DotNetBundle, [](bool plus) { return BundleImage(plus, 6); },
     BundleRead},
    {"Inno table 1", PayloadKind::Inno,
     [](bool plus) { return InnoImage(plus, 1, Filled(0x300, 8)); }, InnoRead},
    {"Inno table 2", PayloadKind::Inno,
     [](bool plus) { return InnoImage(plus, 2, Filled(0x300, 8)); }, InnoRead},
};

TEST(PayloadTest, InstallersAndBundlesKeepWorkingAfterEveryKindOfChange) {
  for (const bool plus : {false, true}) {
    for (const PayloadCase& c : kPayloads) {
      const Bytes before = c.make(plus);
      const auto had = c.read(before);
      ASSERT_TRUE(had && !had->empty()) << c.name << ": the generator's image does not work";
      for (const auto& change : kChanges) {
        SCOPED_TRACE(std::string(c.name) + ", " + change.name + (plus ? ", PE32+" : ", PE32"));
        const Outcome o = CommitIcon(before, change.icon);
        ASSERT_TRUE(o.committed) << o.error.detail;
        const auto has = c.read(o.after);
        ASSERT_TRUE(has) << "the runtime no longer finds its data";
        EXPECT_EQ(*has, *had);
        ASSERT_FALSE(o.report.payloads.empty());
        const PayloadFinding& found =
            c.kind == PayloadKind::Inno ? o.report.payloads.back() : o.report.payloads.front();
        EXPECT_EQ(found.kind, c.kind);
        EXPECT_TRUE(found.intact) << found.detail;
      }
    }
  }
}

// The host's marker is found in its own data even when a resource in front
// of it carries the same signature: the resource data is not the host's.
TEST(PayloadTest, ABundleMarkerInTheResourcesIsNotTakenForTheHosts) {
  const Bytes room(40, 0xEE);
  for (const bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    ImageSpec s = BaseSpec(plus);
    s.resources.push_back({10, 7, 0, room});
    s.sectionsAfter.push_back(SectionSpec{".data", DotNetBundleMarker()});
    Bytes before = BuildImage(s);
    AppendDotNetBundle(before, 6, {Filled(0x300, 4), Filled(0x1234, 5)});
    const auto had = BundleRead(before);
    ASSERT_TRUE(had);
    // The decoy, in front of the real marker, points outside the file.
    Bytes decoy = DotNetBundleMarker();
    decoy[5] = 0x7F;
    const auto at = std::search(before.begin(), before.end(), room.begin(), room.end());
    ASSERT_NE(at, before.end());
    std::copy(decoy.begin(), decoy.end(), at);
    Outcome o = CommitIcon(before, Filled(0x3000, 2));
    ASSERT_TRUE(o.committed) << o.error.detail;
    ASSERT_FALSE(o.report.payloads.empty());
    EXPECT_EQ(o.report.payloads.front().kind, PayloadKind::DotNetBundle);
    EXPECT_TRUE(o.report.payloads.front().intact) << o.report.payloads.front().detail;
    // The runtime reads its own placeholder; the test's reader takes the
    // first signature, so the decoy is wiped first.
    const auto moved = std::search(o.after.begin(), o.after.end(), decoy.begin(), decoy.end());
    ASSERT_NE(moved, o.after.end());
    std::fill(moved, moved + static_cast<std::ptrdiff_t>(decoy.size()), 0);
    const auto has = BundleRead(o.after);
    ASSERT_TRUE(has) << "the runtime no longer finds its data";
    EXPECT_EQ(*has, *had);
  }
}

// Only a payload that worked before is fixed: a broken one moves with the
// tail as it is, and is reported so.
TEST(PayloadTest, APayloadBrokenBeforeTheChangeIsLeftAlone) {
  const struct {
    const char* name;
    std::function<Bytes()> make;
    std::function<void(Bytes&)> damage;
  } cases[] = {
      {"NSIS data whose CRC does not match",
       [] {
         Bytes image = BuildImage(BaseSpec(false));
         AppendNsisData(image, Filled(0x800, 6), true);
         return image;
       },
       [](Bytes& b) { b[b.size() - 100] ^= 0x40; }},
      {"an Inno table whose CRC does not match",
       [] { return InnoImage(false, 2, Filled(0x300, 8)); },
       [](Bytes& b) {
         // TotalSize's low byte, inside the table in the resources.
         const auto at =
             std::search(b.begin(), b.end(), std::begin("rDlPtS"), std::end("rDlPtS") - 1);
         at[16] ^= 1;
       }},
      {"a .NET bundle whose header lies outside the file", [] { return BundleImage(false, 6); },
       [](Bytes& b) {
         const Bytes marker = DotNetBundleMarker();
         const auto at = std::search(b.begin(), b.end(), marker.begin() + 8, marker.end());
         at[-2] = 0x7F;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes before = c.make();
    c.damage(before);
    const auto appended = static_cast<std::size_t>(*AppendedDataStart(before));
    const Outcome o = CommitIcon(before, Filled(0x3000, 2));
    ASSERT_TRUE(o.committed) << o.error.detail;
    ASSERT_FALSE(o.report.payloads.empty());
    bool reportedBroken = false;
    for (const PayloadFinding& p : o.report.payloads) reportedBroken |= !p.intact;
    EXPECT_TRUE(reportedBroken);
    // The tail's bytes moved as they were: nothing in them was "repaired".
    const std::size_t moved = o.after.size() - (before.size() - appended);
    EXPECT_TRUE(std::equal(before.begin() + static_cast<std::ptrdiff_t>(appended), before.end(),
                           o.after.begin() + static_cast<std::ptrdiff_t>(moved)));
  }
}

// A payload that would stop working is refused with the reason, the file
// left byte for byte as it was.
TEST(PayloadTest, APayloadThatCannotBeKeptWorkingRefusesTheChange) {
  const struct {
    const char* name;
    std::function<Bytes()> make;
    const char* reason;
  } cases[] = {
      {"NSIS data that would move by less than 512 bytes",
       [] {
         ImageSpec s = BaseSpec(false);
         s.fileAlignment = 0x100;
         Bytes image = BuildImage(s);
         AppendNsisData(image, Filled(0x800, 6), true);
         return image;
       },
       "which is not a multiple of 512 bytes"},
      {"a .NET bundle header of an unknown version",
       [] {
         Bytes image = BundleImage(false, 6);
         const Bytes marker = DotNetBundleMarker();
         const auto at = std::search(image.begin(), image.end(), marker.begin() + 8, marker.end());
         std::uint64_t header = 0;
         for (int i = 0; i < 8; ++i) header |= std::uint64_t{at[i - 8]} << (8 * i);
         image[static_cast<std::size_t>(header)] = 3;
         return image;
       },
       "its header version 3 is not one this program knows"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes before = c.make();
    const Outcome o = CommitIcon(before, Filled(0x1A10, 2));
    EXPECT_FALSE(o.committed);
    EXPECT_EQ(o.error.kind, ErrorKind::Refused);
    EXPECT_NE(o.error.detail.find(c.reason), std::string::npos) << o.error.detail;
    EXPECT_TRUE(o.after == before) << "a refused change touched the file";
  }
}

// Data of no known kind moves with the tail and is reported with its size;
// a signature behind it is not counted as part of it.
TEST(PayloadTest, UnknownAppendedDataMovesAsItIsAndIsReportedWithItsSize) {
  ImageSpec s = BaseSpec(true);
  s.appended = Filled(0x777, 5);
  const Bytes before = BuildImage(s);
  const Outcome o = CommitIcon(before, Filled(0x3000, 2));
  ASSERT_TRUE(o.committed) << o.error.detail;
  ASSERT_EQ(o.report.payloads.size(), 1u);
  EXPECT_EQ(o.report.payloads[0].kind, PayloadKind::Unknown);
  EXPECT_EQ(o.report.payloads[0].size, 0x777u);
  EXPECT_TRUE(std::equal(s.appended.begin(), s.appended.end(), o.after.end() - 0x777));
  // Nothing behind the image: nothing reported.
  EXPECT_TRUE(FindPayloads(BuildImage(BaseSpec(true))).empty());
}

}  // namespace
}  // namespace marovi::test
