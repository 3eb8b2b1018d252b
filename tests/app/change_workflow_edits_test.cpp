// Edits besides the icon in the same change: version information, strings,
// the manifest, PNG icon files and signed images.
#include "tests/app/change_workflow_support.h"

namespace marovi::test {
namespace {

constexpr char kManifestText[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
    "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"
    "</requestedPrivileges></security></trustInfo>\n"
    "</assembly>\n";

Bytes TextBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A version resource as a resource compiler writes one, with a table of its
// language.
Bytes VersionResource(std::uint16_t language, VersionNumber version) {
  VersionInfo info = NewVersionInfo(version, version);
  char key[16];
  std::snprintf(key, sizeof key, "%04x04b0", language);
  info.tables[0].key = platform::FromUtf8(key);
  info.tables[0].strings.push_back({u"CompanyName", u"Old Company"});
  info.translations[0].language = language;
  return *WriteVersionInfo(info, nullptr);
}

std::optional<VersionInfo> VersionIn(const std::vector<LeafView>& leaves, std::uint16_t language) {
  const LeafView* leaf = FindLeaf(leaves, "16", "1", language);
  if (leaf == nullptr) return std::nullopt;
  return ParseVersionInfo(leaf->data, nullptr);
}

std::string StringIn(const VersionInfo& info, std::u16string_view key) {
  for (const StringTable& table : info.tables)
    for (const VersionString& s : table.strings)
      if (s.key == key) return platform::ToUtf8(s.value);
  return "(none)";
}

// The icon, the versions, a string and the execution level, in one change or
// in three one after the other: the same resources, and one backup of the
// file as it was.
TEST_F(ChangeWorkflowTest, OneChangeMakesEveryEditAsChangesOneAfterTheOtherDo) {
  ImageSpec spec;
  spec.resources = {{3, 1, 0, ImageBytes(60, 1)},
                    {14, u"MAINICON", 0, OldGroupRecord()},
                    {16, 1, 1031, VersionResource(1031, {1, 0, 0, 0})},
                    {16, 1, 1033, VersionResource(1033, {1, 0, 0, 0})},
                    {24, 1, 1033, TextBytes(kManifestText)}};
  original_ = BuildImage(spec);
  app::ChangeRequest all = Request();
  all.version.fileVersion = VersionNumber{1, 2, 3, 4};
  all.version.productVersion = VersionNumber{5, 6, 0, 0};
  all.version.strings = {{u"companyname", u"Acme"}, {u"ProductName", u"Tool"}};
  all.manifest.executionLevel = ExecutionLevel::RequireAdministrator;

  Reset();
  auto outcome = Run(all);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_EQ(ReadWholeFile(backup_), original_);
  const auto once = FileLeaves(exe_);

  Reset();
  app::ChangeRequest icon = Request(), version = Request(), manifest = Request();
  icon.backup = version.backup = manifest.backup = false;
  version.replaceIcon = manifest.replaceIcon = false;
  version.iconFile.clear();
  manifest.iconFile.clear();
  version.version = all.version;
  manifest.manifest = all.manifest;
  for (const auto& step : {icon, version, manifest}) {
    outcome = Run(step);
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  }
  EXPECT_EQ(FileLeaves(exe_), once);

  EXPECT_EQ(GroupIds(FindLeaf(once, "14", kMainText, 0)->data), (std::vector<std::uint16_t>{1, 2}));
  for (const std::uint16_t language : {std::uint16_t{1031}, std::uint16_t{1033}}) {
    SCOPED_TRACE(language);
    const std::optional<VersionInfo> info = VersionIn(once, language);
    ASSERT_TRUE(info && info->fixed);
    EXPECT_EQ(info->fixed->fileVersion, (VersionNumber{1, 2, 3, 4}));
    EXPECT_EQ(info->fixed->productVersion, (VersionNumber{5, 6, 0, 0}));
    EXPECT_EQ(StringIn(*info, u"FileVersion"), "1.2.3.4");
    EXPECT_EQ(StringIn(*info, u"ProductVersion"), "5.6.0.0");
    EXPECT_EQ(StringIn(*info, u"CompanyName"), "Acme") << "the key's own spelling is kept";
    EXPECT_EQ(StringIn(*info, u"ProductName"), "Tool");
  }
  const LeafView* level = FindLeaf(once, "24", "1", 1033);
  ASSERT_NE(level, nullptr);
  EXPECT_EQ(RequestedExecutionLevel(level->data, nullptr),
            std::optional<std::string>("requireAdministrator"));
}

// Without an icon the change needs no icon file and leaves the icon group;
// the version information of every language, or of the one asked, is
// changed, or made when there is none; what cannot be done leaves the file.
TEST_F(ChangeWorkflowTest, VersionEditsGoWhereTheImageHasVersionInformationOrMakeIt) {
  struct Case {
    const char* what;
    std::vector<std::uint16_t> has;  // languages of version information; 0: a damaged one in 1033
    std::optional<std::uint16_t> language;
    bool dll;
    std::vector<std::uint16_t> changed;  // languages expected changed (or made)
    const char* says;                    // a failure's text; empty when done
  };
  const Case cases[] = {
      {"every language", {1031, 1033}, std::nullopt, false, {1031, 1033}, ""},
      {"the language asked", {1031, 1033}, 1031, false, {1031}, ""},
      {"none: made in US English", {}, std::nullopt, false, {1033}, ""},
      {"none: made in the language asked", {}, 1031, false, {1031}, ""},
      {"none, a DLL", {}, std::nullopt, true, {1033}, ""},
      {"not in the language asked",
       {1033},
       1031,
       false,
       {},
       "prog.exe: has no version information in language 1031 (0x0407); it has it in 1033 "
       "(0x0409)"},
      {"damaged",
       {0},
       std::nullopt,
       false,
       {},
       "the version information in language 1033 (0x0409) cannot be read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec;
    spec.resources = {{3, 1, 0, ImageBytes(60, 1)}, {14, u"MAINICON", 0, OldGroupRecord()}};
    for (std::uint16_t language : c.has)
      spec.resources.push_back(
          {16, 1, static_cast<std::uint16_t>(language == 0 ? 1033 : language),
           language == 0 ? Bytes(90, 'v') : VersionResource(language, {1, 0, 0, 0})});
    original_ = BuildImage(spec);
    if (c.dll) {
      const std::uint32_t characteristics = ReadFacts(original_).ntHeaders + 22;
      original_[characteristics + 1] |= 0x20;  // IMAGE_FILE_DLL
    }
    Reset();
    const auto before = FileLeaves(exe_);
    app::ChangeRequest request = Request();
    request.replaceIcon = false;
    request.iconFile.clear();
    request.version.fileVersion = VersionNumber{2, 0, 0, 7};
    request.version.strings = {{u"CompanyName", u"Acme"}};
    request.version.language = c.language;
    const auto outcome = Run(request);
    if (*c.says != '\0') {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::Edit);
      EXPECT_NE(app::ErrorText(outcome.error).find(c.says), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(exe_), original_);
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    EXPECT_FALSE(outcome.changedGroup.has_value());
    const auto after = FileLeaves(exe_);
    EXPECT_EQ(FindLeaf(after, "14", kMainText, 0)->data, OldGroupRecord())
        << "the icon group changed";
    for (const LeafView& leaf : after) {
      if (leaf.type != "16") continue;
      const bool changed =
          std::find(c.changed.begin(), c.changed.end(), leaf.language) != c.changed.end();
      const std::optional<VersionInfo> info = ParseVersionInfo(leaf.data, nullptr);
      ASSERT_TRUE(info && info->fixed) << leaf.language;
      EXPECT_EQ(info->fixed->fileVersion,
                (changed ? VersionNumber{2, 0, 0, 7} : VersionNumber{1, 0, 0, 0}))
          << leaf.language;
      EXPECT_EQ(StringIn(*info, u"CompanyName"), changed ? "Acme" : "Old Company") << leaf.language;
      if (!c.has.empty()) continue;
      // Made: both versions from the one given, a table and a translation
      // of its language, the file type of what the image is.
      EXPECT_EQ(info->fixed->productVersion, (VersionNumber{2, 0, 0, 7}));
      EXPECT_EQ(info->fixed->fileType, c.dll ? kVftDll : kVftApp);
      char key[16];
      std::snprintf(key, sizeof key, "%04x04b0", leaf.language);
      ASSERT_EQ(info->tables.size(), 1u);
      EXPECT_EQ(platform::ToUtf8(info->tables[0].key), key);
      EXPECT_EQ(info->translations, (std::vector<Translation>{{leaf.language, 1200}}));
    }
    std::vector<std::uint16_t> languages;
    for (const LeafView& leaf : after)
      if (leaf.type == "16") languages.push_back(leaf.language);
    std::vector<std::uint16_t> expected = c.has;
    if (expected.empty()) expected = c.changed;
    EXPECT_EQ(languages, expected);
  }
}

// A change whose edits leave every resource as it is says so and leaves the
// file alone: not rewritten, no backup made, the shell not told; a new
// destination is still the executable's copy, and the shell hears of it. The
// same edits on another file change it.
TEST_F(ChangeWorkflowTest, AChangeThatChangesNothingLeavesTheFileAlone) {
  auto icon = [&](app::ChangeRequest& r) { r.iconFile = Utf16Path(ico3_); };
  auto version = [](app::ChangeRequest& r) {
    r.replaceIcon = false;
    r.version.fileVersion = VersionNumber{2, 0, 0, 7};
    r.version.strings = {{u"CompanyName", u"Acme"}};
  };
  auto level = [](app::ChangeRequest& r) {
    r.replaceIcon = false;
    r.manifest.executionLevel = ExecutionLevel::RequireAdministrator;
  };
  auto all = [&](app::ChangeRequest& r) {
    icon(r);
    version(r);
    level(r);
    r.replaceIcon = true;
  };
  const struct {
    const char* what;
    std::function<void(app::ChangeRequest&)> edit;
    bool copy;
  } cases[] = {
      {"the same icon", icon, false},
      {"the same versions and string", version, false},
      {"the same execution level", level, false},
      {"all of them, to a new copy", all, true},
  };
  ImageSpec spec;
  spec.resources = {{3, 1, 0, ImageBytes(60, 1)},
                    {14, u"MAINICON", 0, OldGroupRecord()},
                    {16, 1, 1033, VersionResource(1033, {1, 0, 0, 0})}};
  const Bytes pristine = BuildImage(spec);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    original_ = pristine;
    Reset();
    app::ChangeRequest request = Request();
    c.edit(request);
    request.backup = false;
    ASSERT_EQ(Run(request).status, ChangeStatus::Done);
    const Bytes changed = ReadWholeFile(exe_);
    EXPECT_NE(changed, pristine) << "the first run changed nothing";

    request.backup = true;
    if (c.copy) request.destination = Utf16Path(copy_);
    HookedFileSystem files;
    const auto outcome = app::RunChangeWorkflow(request, files);
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    EXPECT_TRUE(outcome.unchanged);
    EXPECT_EQ(ReadWholeFile(exe_), changed);
    EXPECT_FALSE(fs::exists(backup_)) << "a backup of a file left as it was";
    EXPECT_EQ(files.changed, c.copy ? std::vector<std::u16string>{Utf16Path(copy_)}
                                    : std::vector<std::u16string>{});
    if (c.copy) {
      EXPECT_EQ(ReadWholeFile(copy_), changed);
    }
    EXPECT_TRUE(Parts().empty());

    // The same edits on the file as it first was change it, with a backup.
    WriteWholeFile(exe_, pristine);
    request.destination = Utf16Path(exe_);
    const auto again = Run(request);
    ASSERT_EQ(again.status, ChangeStatus::Done) << app::ErrorText(again.error);
    EXPECT_FALSE(again.unchanged);
    EXPECT_EQ(ReadWholeFile(exe_), changed);
    EXPECT_EQ(ReadWholeFile(backup_), pristine);
  }
}

TEST_F(ChangeWorkflowTest, TheManifestIsReplacedOrItsLevelSetOrOneIsMade) {
  const Bytes other = TextBytes(
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
      "manifestVersion=\"1.0\"><dependency/></assembly>");
  const Bytes broken = TextBytes("<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\">");
  Bytes withLevel = TextBytes(kManifestText);
  const std::string text(kManifestText);
  const std::size_t at = text.find("asInvoker");
  withLevel.erase(withLevel.begin() + static_cast<std::ptrdiff_t>(at),
                  withLevel.begin() + static_cast<std::ptrdiff_t>(at + 9));
  const std::string highest = "highestAvailable";
  withLevel.insert(withLevel.begin() + static_cast<std::ptrdiff_t>(at), highest.begin(),
                   highest.end());
  struct Case {
    const char* what;
    std::optional<Bytes> has;       // the image's manifest, in language 1033
    std::optional<Bytes> file;      // the manifest file given
    bool level;                     // highestAvailable asked for
    std::uint16_t language;         // where the manifest is expected
    std::optional<Bytes> expected;  // none: the change fails
    const char* says;
  };
  const Case cases[] = {
      {"replaced in its language", TextBytes(kManifestText), other, false, 1033, other, ""},
      {"added in language 0", std::nullopt, other, false, 0, other, ""},
      {"its level set, the rest kept", TextBytes(kManifestText), std::nullopt, true, 1033,
       withLevel, ""},
      {"made for the level", std::nullopt, std::nullopt, true, 0,
       NewManifest(ExecutionLevel::HighestAvailable), ""},
      {"a file that is not XML", std::nullopt, broken, false, 0, std::nullopt,
       "manifest.xml: is not a manifest"},
      {"a file of another document", std::nullopt, TextBytes("<html/>"), false, 0, std::nullopt,
       "is not an assembly"},
      {"an empty file", std::nullopt, Bytes{}, false, 0, std::nullopt,
       "manifest.xml: is not a manifest"},
      {"a broken manifest in the image", broken, std::nullopt, true, 1033, std::nullopt,
       "prog.exe: the manifest in language 1033 (0x0409): the manifest is not well-formed XML"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec;
    spec.resources = {{3, 1, 0, ImageBytes(60, 1)}, {14, u"MAINICON", 0, OldGroupRecord()}};
    if (c.has) spec.resources.push_back({24, 1, 1033, *c.has});
    original_ = BuildImage(spec);
    Reset();
    app::ChangeRequest request = Request();
    if (c.file) {
      WriteWholeFile(folder_ / "manifest.xml", *c.file);
      request.manifest.file = Utf16Path(folder_ / "manifest.xml");
    }
    if (c.level) request.manifest.executionLevel = ExecutionLevel::HighestAvailable;
    const auto outcome = Run(request);
    if (!c.expected) {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::Edit);
      EXPECT_NE(app::ErrorText(outcome.error).find(c.says), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(exe_), original_) << "the icon of a failed change reached the file";
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    const auto after = FileLeaves(exe_);
    std::vector<const LeafView*> manifests;
    for (const LeafView& leaf : after)
      if (leaf.type == "24") manifests.push_back(&leaf);
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_EQ(manifests[0]->name, "1");
    EXPECT_EQ(manifests[0]->language, c.language);
    EXPECT_EQ(manifests[0]->data, *c.expected);
    EXPECT_EQ(GroupIds(FindLeaf(after, "14", kMainText, 0)->data),
              (std::vector<std::uint16_t>{1, 2}));
  }
}

// Where an icon file is expected, a square PNG is taken too, by its
// content; one that is not square is refused with the reason.
TEST_F(ChangeWorkflowTest, ASquarePngIsTakenAsTheIconFile) {
  struct Case {
    const char* name;
    Bytes content;
    std::size_t images;  // 0: refused
    const char* says;
  };
  const Case cases[] = {
      {"square.png", PngOfTestPattern(64, 64), std::size(kPngIconSizes), ""},
      {"square-named.ico", PngOfTestPattern(32, 32), std::size(kPngIconSizes), ""},
      {"wide.png", PngOfTestPattern(64, 32), 0,
       "wide.png: the PNG image is not square (64 x 32 pixels)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    WriteWholeFile(folder_ / c.name, c.content);
    app::ChangeRequest request = Request();
    request.iconFile = Utf16Path(folder_ / c.name);
    const auto outcome = Run(request);
    if (c.images == 0) {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::LoadIcon);
      EXPECT_NE(app::ErrorText(outcome.error).find(c.says), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(exe_), original_);
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    const auto leaves = FileLeaves(exe_);
    const Bytes record = FindLeaf(leaves, "14", kMainText, 0)->data;
    const std::optional<Bytes> icon = IconFileFromPng(c.content, nullptr);
    ASSERT_TRUE(icon.has_value());
    ASSERT_EQ(GroupIds(record).size(), c.images);
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 6, icon->begin()));
  }
}

// A signed image is reported as such; its certificate table stays (moved
// with the file's tail) unless the signature is stripped.
TEST_F(ChangeWorkflowTest, ASignedImageIsNamedAndItsSignatureKeptOrStripped) {
  const Bytes certificate = ImageBytes(0x208, 5);
  struct Case {
    const char* what;
    bool isSigned;
    bool strip;
  };
  const Case cases[] = {
      {"not signed", false, false}, {"signed", true, false}, {"signed, stripped", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageSpec spec;
    spec.resources = {{3, 1, 0, ImageBytes(60, 1)}, {14, u"MAINICON", 0, OldGroupRecord()}};
    if (c.isSigned) spec.appended = certificate;
    original_ = BuildImage(spec);
    const std::uint32_t entry = ReadFacts(original_).dataDirectory + 8 * 4;
    if (c.isSigned) {
      StoreU32(original_.data() + entry,
               static_cast<std::uint32_t>(original_.size() - certificate.size()));
      StoreU32(original_.data() + entry + 4, static_cast<std::uint32_t>(certificate.size()));
    }
    Reset();
    app::ChangeRequest request = Request();
    request.options.stripSignature = c.strip;
    request.backup = false;
    const auto outcome = Run(request);
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    EXPECT_EQ(outcome.wasSigned, c.isSigned);
    ExpectChanged(exe_);
    const Bytes after = ReadWholeFile(exe_);
    const std::uint32_t at = LoadU32(after.data() + entry),
                        size = LoadU32(after.data() + entry + 4);
    if (c.isSigned && !c.strip) {
      ASSERT_EQ(size, certificate.size());
      EXPECT_EQ(at + std::uint64_t{size}, after.size());
      EXPECT_TRUE(std::equal(certificate.begin(), certificate.end(), after.begin() + at));
    } else {
      EXPECT_EQ(at, 0u);
      EXPECT_EQ(size, 0u);
      EXPECT_EQ(std::search(after.begin(), after.end(), certificate.begin(), certificate.end()),
                after.end());
    }
  }
}

}  // namespace
}  // namespace marovi::test
