#include "engine/formats/version_info.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/pe/bytes.h"
#include "tests/formats/real_resources.h"

namespace marovi {

// Failures show the record as JSON and its layout.
void PrintTo(const VersionInfo& info, std::ostream* out) {
  *out << FormatVersionInfoJson(info) << " layout{type " << info.layout.containerType << ", pad "
       << info.layout.padContainerEnds << ", var first " << info.layout.varFileInfoFirst << "}";
}

namespace {

using Bytes = std::vector<std::uint8_t>;

// Assembled by hand in the layout of a resource compiler that gives the
// containers wType 1 and leaves the padding behind a container's last child
// outside the container's wLength: versions 1.2.3.4 and 5.6.7.8, one table
// "040904b0" with FileVersion = "1.2.3.4" and X = "ab" (which ends
// StringFileInfo at 0xda, unaligned), and a Translation 0x0409/1200.
const Bytes kCompilerStyle = {
    0x20, 0x01, 0x34, 0x00, 0x00, 0x00, 0x56, 0x00, 0x53, 0x00, 0x5f, 0x00, 0x56, 0x00, 0x45, 0x00,
    0x52, 0x00, 0x53, 0x00, 0x49, 0x00, 0x4f, 0x00, 0x4e, 0x00, 0x5f, 0x00, 0x49, 0x00, 0x4e, 0x00,
    0x46, 0x00, 0x4f, 0x00, 0x00, 0x00, 0x00, 0x00, 0xbd, 0x04, 0xef, 0xfe, 0x00, 0x00, 0x01, 0x00,
    0x02, 0x00, 0x01, 0x00, 0x04, 0x00, 0x03, 0x00, 0x06, 0x00, 0x05, 0x00, 0x08, 0x00, 0x07, 0x00,
    0x3f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7e, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x53, 0x00, 0x74, 0x00, 0x72, 0x00, 0x69, 0x00, 0x6e, 0x00, 0x67, 0x00, 0x46, 0x00,
    0x69, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x49, 0x00, 0x6e, 0x00, 0x66, 0x00, 0x6f, 0x00, 0x00, 0x00,
    0x5a, 0x00, 0x00, 0x00, 0x01, 0x00, 0x30, 0x00, 0x34, 0x00, 0x30, 0x00, 0x39, 0x00, 0x30, 0x00,
    0x34, 0x00, 0x62, 0x00, 0x30, 0x00, 0x00, 0x00, 0x30, 0x00, 0x08, 0x00, 0x01, 0x00, 0x46, 0x00,
    0x69, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x56, 0x00, 0x65, 0x00, 0x72, 0x00, 0x73, 0x00, 0x69, 0x00,
    0x6f, 0x00, 0x6e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0x00, 0x2e, 0x00, 0x32, 0x00, 0x2e, 0x00,
    0x33, 0x00, 0x2e, 0x00, 0x34, 0x00, 0x00, 0x00, 0x12, 0x00, 0x03, 0x00, 0x01, 0x00, 0x58, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x56, 0x00, 0x61, 0x00, 0x72, 0x00, 0x46, 0x00, 0x69, 0x00, 0x6c, 0x00, 0x65, 0x00,
    0x49, 0x00, 0x6e, 0x00, 0x66, 0x00, 0x6f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x24, 0x00, 0x04, 0x00,
    0x00, 0x00, 0x54, 0x00, 0x72, 0x00, 0x61, 0x00, 0x6e, 0x00, 0x73, 0x00, 0x6c, 0x00, 0x61, 0x00,
    0x74, 0x00, 0x69, 0x00, 0x6f, 0x00, 0x6e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x04, 0xb0, 0x04,
};
// Offsets in it.
constexpr std::size_t kStringFileInfoKey = 0x62;
constexpr std::size_t kTableLength = 0x80;
constexpr std::size_t kStringXLength = 0xc8;
constexpr std::size_t kTranslationValueLength = 0xfe;
constexpr std::size_t kTranslationKey = 0x102;

VersionInfo Parsed(const Bytes& bytes) {
  Error error;
  std::optional<VersionInfo> info = ParseVersionInfo(bytes, &error);
  EXPECT_TRUE(info.has_value()) << error.detail;
  return info.value_or(VersionInfo{});
}

Bytes Written(const VersionInfo& info) {
  Error error;
  std::optional<Bytes> bytes = WriteVersionInfo(info, &error);
  EXPECT_TRUE(bytes.has_value()) << error.detail;
  return bytes.value_or(Bytes{});
}

const VersionString* Find(const StringTable& table, std::u16string_view key) {
  for (const VersionString& s : table.strings)
    if (s.key == key) return &s;
  return nullptr;
}

TEST(VersionInfoTest, ReadsEveryFieldOfAHandAssembledResourceAndWritesItBack) {
  const VersionInfo info = Parsed(kCompilerStyle);
  ASSERT_TRUE(info.fixed.has_value());
  EXPECT_EQ(info.fixed->fileVersion, (VersionNumber{1, 2, 3, 4}));
  EXPECT_EQ(info.fixed->productVersion, (VersionNumber{5, 6, 7, 8}));
  EXPECT_EQ(info.fixed->structVersion, 0x10000u);
  EXPECT_EQ(info.fixed->fileFlagsMask, 0x3Fu);
  EXPECT_EQ(info.fixed->fileOS, 0x40004u);
  EXPECT_EQ(info.fixed->fileType, kVftApp);
  ASSERT_EQ(info.tables.size(), 1u);
  EXPECT_EQ(info.tables[0].key, u"040904b0");
  EXPECT_EQ(info.tables[0].strings,
            (std::vector<VersionString>{{u"FileVersion", u"1.2.3.4"}, {u"X", u"ab"}}));
  EXPECT_EQ(info.translations, (std::vector<Translation>{{0x0409, 1200}}));
  EXPECT_EQ(info.layout, (VersionLayout{1, false, false}));
  EXPECT_EQ(Written(info), kCompilerStyle);
}

TEST(VersionInfoTest, ResourcesOfRealProgramsWriteBackByteForByte) {
  const auto& resources = test::RealResources(kRtVersion);
  if (resources.empty()) GTEST_SKIP() << "wine64's programs are not on this machine";
  EXPECT_GE(resources.size(), 10u);
  for (const test::RealResource& resource : resources) {
    Error error;
    const std::optional<VersionInfo> info = ParseVersionInfo(resource.bytes, &error);
    ASSERT_TRUE(info.has_value()) << resource.file << ": " << error.detail;
    EXPECT_TRUE(info->fixed.has_value()) << resource.file;
    EXPECT_FALSE(info->tables.empty()) << resource.file;
    EXPECT_EQ(Written(*info), resource.bytes) << resource.file;
  }
}

TEST(VersionInfoTest, EveryLayoutIsWrittenAndRecognisedAgain) {
  VersionInfo info = NewVersionInfo({1, 0, 0, 0}, {1, 0, 0, 0});
  // Values of even length (odd with the terminator), so that the last
  // string of each table ends unaligned.
  info.tables[0].strings.push_back({u"Last", u"ab"});
  info.tables.push_back({u"040704b0", {{u"Y", u"zz"}}});
  for (const std::uint16_t containerType : {std::uint16_t{0}, std::uint16_t{1}})
    for (const bool pad : {false, true})
      for (const bool varFirst : {false, true}) {
        info.layout = VersionLayout{containerType, pad, varFirst};
        const Bytes bytes = Written(info);
        const VersionInfo again = Parsed(bytes);
        EXPECT_EQ(again, info) << containerType << pad << varFirst;
        EXPECT_EQ(Written(again), bytes) << containerType << pad << varFirst;
        // The root ends with StringFileInfo, unaligned unless its padding counts,
        // or with VarFileInfo, always aligned.
        EXPECT_EQ(LoadU16(bytes.data()) % 4 == 0, pad || !varFirst)
            << containerType << pad << varFirst;
      }
}

TEST(VersionInfoTest, EveryTruncationIsRefused) {
  const auto& real = test::RealResources(kRtVersion);
  std::vector<Bytes> inputs = {kCompilerStyle};
  if (!real.empty()) inputs.push_back(real.front().bytes);
  for (const Bytes& whole : inputs)
    for (std::size_t size = 0; size < whole.size(); ++size) {
      Error error;
      const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
      EXPECT_FALSE(ParseVersionInfo(prefix, &error).has_value()) << size;
      EXPECT_EQ(error.kind, ErrorKind::MalformedImage) << size;
    }
}

TEST(VersionInfoTest, DamagedResourcesAreRefusedWithTheReason) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* reason;
  };
  auto setU16 = [](std::size_t offset, std::uint16_t value) {
    return [=](Bytes& b) { StoreU16(b.data() + offset, value); };
  };
  const Case cases[] = {
      {"root longer than the data", setU16(0, 0x124), "wLength 292 runs past 0x120"},
      {"string longer than its table", setU16(kStringXLength, 0x40), "runs past 0xda"},
      {"table shorter than a header", setU16(kTableLength, 4), "shorter than a header"},
      {"root key cut off", setU16(0, 0x20), "key has no terminator"},
      {"root key", [](Bytes& b) { b[6] = 'W'; }, "not \"VS_VERSION_INFO\""},
      {"fixed part signature", [](Bytes& b) { b[0x28] = 0; }, "signature is 0xfeef0400"},
      {"fixed part size", setU16(2, 50), "50 bytes long, not 52"},
      {"unknown block", [](Bytes& b) { b[kStringFileInfoKey] = 'T'; },
       "neither StringFileInfo nor VarFileInfo"},
      {"unknown Var", [](Bytes& b) { b[kTranslationKey] = 'U'; },
       "\"Uranslation\" is not \"Translation\""},
      {"Translation not whole pairs", setU16(kTranslationValueLength, 3),
       "not whole language and code page pairs"},
      {"Translation past its block", setU16(kTranslationValueLength, 8), "8 bytes do not fit"},
      {"bytes behind the last block",
       [](Bytes& b) {
         b.insert(b.end(), {0, 0});
         StoreU16(b.data(), 0x122);
       },
       "header does not fit"},
  };
  for (const Case& c : cases) {
    Bytes bytes = kCompilerStyle;
    c.damage(bytes);
    Error error;
    EXPECT_FALSE(ParseVersionInfo(bytes, &error).has_value()) << c.name;
    EXPECT_EQ(error.kind, ErrorKind::MalformedImage) << c.name;
    EXPECT_NE(error.detail.find(c.reason), std::string::npos) << c.name << ": " << error.detail;
  }
}

TEST(VersionInfoTest, WritingRefusesWhatTheFormatCannotHold) {
  struct Case {
    const char* name;
    std::function<void(VersionInfo&)> change;
    const char* reason;
  };
  const Case cases[] = {
      {"value too long", [](VersionInfo& i) { i.tables[0].strings[0].value.assign(40000, u'x'); },
       "longer than 65535 bytes"},
      {"zero in a key",
       [](VersionInfo& i) { i.tables[0].strings[0].key = std::u16string(u"A\0B", 3); },
       "a key holds a zero character"},
      {"zero in a value",
       [](VersionInfo& i) { i.tables[0].strings[0].value = std::u16string(u"1\0", 2); },
       "a value holds a zero character"},
  };
  for (const Case& c : cases) {
    VersionInfo info = Parsed(kCompilerStyle);
    c.change(info);
    Error error;
    EXPECT_FALSE(WriteVersionInfo(info, &error).has_value()) << c.name;
    EXPECT_EQ(error.kind, ErrorKind::Refused) << c.name;
    EXPECT_NE(error.detail.find(c.reason), std::string::npos) << c.name << ": " << error.detail;
  }
}

TEST(VersionInfoTest, VersionsGoToTheFixedPartAndEveryTable) {
  VersionInfo info;
  info.tables = {
      {u"040904b0", {{u"FileVersion", u"1.0"}, {u"Name", u"n"}, {u"fileversion", u"dup"}}},
      {u"040704b0", {{u"Name", u"m"}}}};
  SetFileVersion(info, {9, 8, 7, 6});
  ASSERT_TRUE(info.fixed.has_value());
  EXPECT_EQ(info.fixed->fileVersion, (VersionNumber{9, 8, 7, 6}));
  EXPECT_EQ(info.fixed->productVersion, (VersionNumber{}));
  EXPECT_EQ(info.tables[0].strings,
            (std::vector<VersionString>{{u"FileVersion", u"9.8.7.6"}, {u"Name", u"n"}}));
  EXPECT_EQ(info.tables[1].strings,
            (std::vector<VersionString>{{u"Name", u"m"}, {u"FileVersion", u"9.8.7.6"}}));

  SetProductVersion(info, {1, 2, 0, 0});
  EXPECT_EQ(info.fixed->fileVersion, (VersionNumber{9, 8, 7, 6}));
  EXPECT_EQ(info.fixed->productVersion, (VersionNumber{1, 2, 0, 0}));
  for (const StringTable& table : info.tables) {
    ASSERT_NE(Find(table, u"ProductVersion"), nullptr);
    EXPECT_EQ(Find(table, u"ProductVersion")->value, u"1.2.0.0");
  }
  // The edited record still writes and reads back as it is.
  EXPECT_EQ(Parsed(Written(info)).tables, info.tables);
}

TEST(VersionInfoTest, StringsAreSetAndRemovedInEveryTableWhateverTheirCase) {
  const VersionInfo start = [] {
    VersionInfo info;
    info.tables = {{u"040904b0", {{u"CompanyName", u"Old"}, {u"Comments", u"x"}}},
                   {u"040704b0", {{u"companyname", u"Alt"}}}};
    return info;
  }();
  struct Case {
    std::u16string key, value;
    std::size_t changed;
    std::vector<VersionString> first, second;
  };
  const Case cases[] = {
      {u"COMPANYNAME",
       u"New",
       2,
       {{u"CompanyName", u"New"}, {u"Comments", u"x"}},
       {{u"companyname", u"New"}}},
      {u"Comments", u"", 1, {{u"CompanyName", u"Old"}}, {{u"companyname", u"Alt"}}},
      {u"NewKey",
       u"v",
       2,
       {{u"CompanyName", u"Old"}, {u"Comments", u"x"}, {u"NewKey", u"v"}},
       {{u"companyname", u"Alt"}, {u"NewKey", u"v"}}},
      {u"Absent",
       u"",
       0,
       {{u"CompanyName", u"Old"}, {u"Comments", u"x"}},
       {{u"companyname", u"Alt"}}},
  };
  for (const Case& c : cases) {
    VersionInfo info = start;
    EXPECT_EQ(SetVersionString(info, c.key, c.value), c.changed);
    EXPECT_EQ(info.tables[0].strings, c.first);
    EXPECT_EQ(info.tables[1].strings, c.second);
  }
  // Only ASCII letters fold: E with an acute accent is another key in either case.
  VersionInfo info;
  info.tables = {{u"040904b0", {{u"Caf\u00e9", u"1"}}}};
  EXPECT_EQ(SetVersionString(info, u"CAF\u00c9", u"2"), 1u);
  EXPECT_EQ(info.tables[0].strings,
            (std::vector<VersionString>{{u"Caf\u00e9", u"1"}, {u"CAF\u00c9", u"2"}}));

  // Without any table, removing finds nothing and setting makes the usual one.
  VersionInfo bare;
  EXPECT_EQ(SetVersionString(bare, u"Comments", u""), 0u);
  EXPECT_TRUE(bare.tables.empty());
  EXPECT_EQ(SetVersionString(bare, u"ProductName", u"Marovi"), 1u);
  EXPECT_EQ(bare.tables, (std::vector<StringTable>{{u"040904b0", {{u"ProductName", u"Marovi"}}}}));
  EXPECT_EQ(bare.translations, (std::vector<Translation>{{0x0409, 1200}}));
}

TEST(VersionInfoTest, ANewResourceHasTheUsualShape) {
  const VersionInfo info = NewVersionInfo({1, 2, 3, 4}, {1, 2, 0, 0}, kVftDll);
  ASSERT_TRUE(info.fixed.has_value());
  EXPECT_EQ(info.fixed->fileVersion, (VersionNumber{1, 2, 3, 4}));
  EXPECT_EQ(info.fixed->productVersion, (VersionNumber{1, 2, 0, 0}));
  EXPECT_EQ(info.fixed->fileType, kVftDll);
  ASSERT_EQ(info.tables.size(), 1u);
  EXPECT_EQ(info.tables[0].key, u"040904b0");
  EXPECT_EQ(info.tables[0].strings, (std::vector<VersionString>{{u"FileVersion", u"1.2.3.4"},
                                                                {u"ProductVersion", u"1.2.0.0"}}));
  EXPECT_EQ(info.translations, (std::vector<Translation>{{0x0409, 1200}}));
  const Bytes bytes = Written(info);
  EXPECT_EQ(Parsed(bytes), info);
  // wValueLength: 52 for the fixed part; the string "1.2.3.4" counts 8 units.
  EXPECT_EQ(LoadU16(bytes.data() + 2), 52);
}

TEST(VersionInfoTest, VersionNumbersAreReadStrictly) {
  struct Case {
    const char* text;
    std::optional<VersionNumber> expected;
  };
  const Case cases[] = {
      {"1.2.3.4", VersionNumber{1, 2, 3, 4}},
      {"7", VersionNumber{7, 0, 0, 0}},
      {"1.2", VersionNumber{1, 2, 0, 0}},
      {"65535.0.0.65535", VersionNumber{65535, 0, 0, 65535}},
      {"01.002.0.0", VersionNumber{1, 2, 0, 0}},
      {"", std::nullopt},
      {"1.", std::nullopt},
      {".1", std::nullopt},
      {"1..2", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"65536", std::nullopt},
      {"999999", std::nullopt},
      {"1.2a", std::nullopt},
      {"-1", std::nullopt},
      {" 1", std::nullopt},
      {"1,2", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseVersionNumber(c.text), c.expected) << c.text;
  EXPECT_EQ(FormatVersionNumber({65535, 0, 10, 7}), "65535.0.10.7");
}

TEST(VersionInfoTest, BuildToolVersionsTakeTheirLeadingNumbers) {
  struct Case {
    const char* text;
    std::optional<VersionNumber> expected;
  };
  const Case cases[] = {
      {"1.2.3-beta", VersionNumber{1, 2, 3, 0}},
      {"2.0.0-rc.1", VersionNumber{2, 0, 0, 0}},
      {"1.2.3+build.5", VersionNumber{1, 2, 3, 0}},
      {"1,2,3,4", VersionNumber{1, 2, 3, 4}},
      {"10.7", VersionNumber{10, 7, 0, 0}},
      {"01.02.03.04", VersionNumber{1, 2, 3, 4}},
      {"1.2.3.4.5", VersionNumber{1, 2, 3, 4}},
      {"1.2.", VersionNumber{1, 2, 0, 0}},
      {"1.2,3", VersionNumber{1, 2, 0, 0}},  // one separator throughout
      {"65535.65535.65535.65535", VersionNumber{65535, 65535, 65535, 65535}},
      {"", std::nullopt},
      {"beta", std::nullopt},
      {"v1.2", std::nullopt},
      {" 1", std::nullopt},
      {"-1", std::nullopt},
      {"65536", std::nullopt},
      {"1.99999999999", std::nullopt},  // no wrap-around to a small number
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLeadingVersion(c.text), c.expected) << c.text;
}

TEST(VersionInfoTest, VersionsAsGivenAndEmptyValuesAreKept) {
  VersionInfo info = NewVersionInfo({1, 0, 0, 0}, {1, 0, 0, 0});
  SetFileVersion(info, {1, 2, 3, 0}, u"1.2.3-beta");
  SetProductVersion(info, {1, 2, 3, 4}, u"1,2,3,4");
  EXPECT_EQ(SetVersionString(info, u"OriginalFilename", u"", EmptyValue::Kept), 1u);
  EXPECT_EQ(info.fixed->fileVersion, (VersionNumber{1, 2, 3, 0}));
  EXPECT_EQ(info.fixed->productVersion, (VersionNumber{1, 2, 3, 4}));
  const std::vector<VersionString> expected = {{u"FileVersion", u"1.2.3-beta"},
                                               {u"ProductVersion", u"1,2,3,4"},
                                               {u"OriginalFilename", u""}};
  EXPECT_EQ(info.tables[0].strings, expected);
  // Written and read back, the empty string is still there.
  EXPECT_EQ(Parsed(Written(info)).tables[0].strings, expected);
  EXPECT_EQ(FindVersionString(info, u"originalfilename"), std::u16string());
  EXPECT_EQ(FindVersionString(info, u"FILEVERSION"), u"1.2.3-beta");
  EXPECT_EQ(FindVersionString(info, u"Comments"), std::nullopt);
  // Kept empty replaces a value; and an image without tables gains one.
  EXPECT_EQ(SetVersionString(info, u"FileVersion", u"", EmptyValue::Kept), 1u);
  EXPECT_EQ(FindVersionString(info, u"FileVersion"), std::u16string());
  VersionInfo bare;
  EXPECT_EQ(SetVersionString(bare, u"Comments", u"", EmptyValue::Kept), 1u);
  EXPECT_EQ(bare.tables, (std::vector<StringTable>{{u"040904b0", {{u"Comments", u""}}}}));
}

TEST(VersionInfoTest, TableKeys) {
  EXPECT_EQ(TableTranslation(u"040904b0"), (Translation{0x0409, 0x04b0}));
  EXPECT_EQ(TableTranslation(u"080404B0"), (Translation{0x0804, 0x04b0}));
  EXPECT_EQ(TableTranslation(u"0409"), std::nullopt);
  EXPECT_EQ(TableTranslation(u"04090zb0"), std::nullopt);
}

TEST(VersionInfoTest, TextAndJsonShowEveryPart) {
  VersionInfo info = Parsed(kCompilerStyle);
  info.tables[0].strings.push_back({u"Comments", u"say \"hi\"\r\n\u00e9\t\u0001"});
  info.fixed->fileFlags = 0x3;
  const std::string text = FormatVersionInfoText(info);
  for (const char* line :
       {"File version:    1.2.3.4\n", "Product version: 5.6.7.8\n",
        "File flags:      0x3 (debug, prerelease), mask 0x3f\n",
        "File OS:         0x40004 (Windows NT, 32-bit Windows)\n",
        "File type:       0x1 (application)\n",
        "String table 040904b0 (language 0x0409, code page 1200):\n", "  X: ab\n",
        "  Comments: say \"hi\"\\r\\n\xc3\xa9\\t\\x01\n", "Translations:    0x0409/1200\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;

  const std::string json = FormatVersionInfoJson(info);
  for (const char* part :
       {"{\"fixed\":{\"fileVersion\":\"1.2.3.4\",\"productVersion\":\"5.6.7.8\"",
        "\"fileFlags\":3,", "\"fileType\":1,",
        "\"stringTables\":[{\"key\":\"040904b0\",\"language\":1033,\"codePage\":1200,",
        "{\"key\":\"X\",\"value\":\"ab\"}",
        "{\"key\":\"Comments\",\"value\":\"say \\\"hi\\\"\\r\\n\xc3\xa9\\t\\u0001\"}",
        "\"translations\":[{\"language\":1033,\"codePage\":1200}]}"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\nin:\n" << json;

  info.fixed.reset();
  EXPECT_EQ(FormatVersionInfoJson(info).rfind("{\"fixed\":null,", 0), 0u);
  EXPECT_EQ(FormatVersionInfoText(info).rfind("No fixed file information\n", 0), 0u);
}

}  // namespace
}  // namespace marovi
