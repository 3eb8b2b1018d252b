// Nothing lost: backups and copies whole or absent, only regular files taken,
// messages that name the file and the reason, and the file system's copy
// and folder rules.
#include "tests/app/change_workflow_support.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace marovi::test {
namespace {

// --- Nothing lost: backups and copies whole or absent, one lock per run -------

TEST_F(ChangeWorkflowTest, AFailureAnywhereLeavesEveryFileWholeOrAbsent) {
  for (const bool toCopy : {false, true}) {
    bool sawFailure = false;
    for (std::uint64_t n = 1; n < 1000; ++n) {
      Reset();
      fault::InjectFailureAt(n);
      const auto outcome = Run(toCopy ? CopyRequest() : Request());
      const bool injected = fault::InjectedFailureHappened();
      const bool inWindow = fault::InjectedFailureWasInWindow();
      fault::InjectFailureAt(0);
      const std::string at = (toCopy ? "copy, call " : "in place, call ") + std::to_string(n);
      EXPECT_TRUE(Parts().empty()) << at;
      EXPECT_TRUE(Unheld(exe_)) << at;
      if (outcome.status == ChangeStatus::Done) {
        ExpectChanged(toCopy ? copy_ : exe_);
        if (!toCopy) {
          EXPECT_EQ(ReadWholeFile(backup_), original_) << at;
        }
        if (!injected) break;
        continue;
      }
      ASSERT_TRUE(injected) << at << ": " << app::ErrorText(outcome.error);
      ASSERT_EQ(outcome.status, ChangeStatus::Failed) << at;
      sawFailure = true;
      EXPECT_TRUE(outcome.error) << at;
      if (toCopy) {
        EXPECT_FALSE(fs::exists(copy_)) << at << ": " << app::ErrorText(outcome.error);
        EXPECT_EQ(ReadWholeFile(exe_), original_) << at;
      } else {
        if (!inWindow) {
          EXPECT_EQ(ReadWholeFile(exe_), original_) << at;
        }
        if (fs::exists(backup_)) {
          EXPECT_EQ(ReadWholeFile(backup_), original_) << at;
        }
      }
    }
    EXPECT_TRUE(sawFailure);
  }
  EXPECT_TRUE(LeftoverScratchFiles().empty());
}

TEST_F(ChangeWorkflowTest, ABackupThatCannotBeMadeStopsTheChangeBeforeTheImageIsTouched) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
  };
  const std::vector<Case> cases = {
      {"a directory", [](const fs::path& at) { fs::create_directory(at); }},
#ifndef _WIN32
      {"a link to a file that does not exist",
       [this](const fs::path& at) { fs::create_symlink(folder_ / "nowhere", at); }},
      {"a FIFO", [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }},
#endif
  };
  for (const Case& c : cases) {
    Reset();
    fs::remove_all(backup_);
    c.make(backup_);
    const auto outcome = Run(Request());
    EXPECT_EQ(outcome.status, ChangeStatus::Failed) << c.what;
    EXPECT_EQ(outcome.step, FailedStep::Backup) << c.what;
    EXPECT_EQ(outcome.error.file, platform::ToUtf8(Utf16Path(backup_))) << c.what;
    EXPECT_NE(app::ErrorText(outcome.error)
                  .find("the backup cannot be made there: it is " + std::string(c.what)),
              std::string::npos)
        << app::ErrorText(outcome.error);
    EXPECT_EQ(ReadWholeFile(exe_), original_) << c.what;
    EXPECT_TRUE(Parts().empty()) << c.what;
    fs::remove_all(backup_);
  }
}

TEST_F(ChangeWorkflowTest, LeftoversOfAKilledRunAreTakenOverOnlyWhenTheyAreOurs) {
  // A run killed while it wrote the backup, or while it made or changed a
  // copy, left its temporary copy (and the copy's journal) behind. The next
  // run on that name takes them over, or removes them when it changes the
  // file in place; whatever else lies at those names is left as it is.
  Bytes ourJournal = {'M', 'A', 'R', 'O', 'V', 'I', '-', 'U', 'N', 'D', 'O', '\n', 2, 0, 0, 0};
  ourJournal.resize(64, 0);  // cut short while its header was written
  const Bytes notOurs = Bytes(64, 7);
  enum class Kind { InPlace, ToCopy, InPlaceOnCopy };
  struct Case {
    const char* what;
    Kind run;
    char of;                         // the leftover is of the (b)ackup, the (c)opy, the (s)ource
    std::optional<Bytes> partBytes;  // none: no part left
    std::optional<Bytes> journal;    // of the part
    bool done;                       // the run succeeds; the leftovers go
  };
  const Bytes copyBegun(original_.begin(), original_.begin() + 100);
  const Bytes zip = {'P', 'K', 3, 4, 0, 0};
  const std::vector<Case> cases = {
      {"a backup begun", Kind::InPlace, 'b', copyBegun, std::nullopt, true},
      {"a copy begun, with its journal", Kind::ToCopy, 'c', copyBegun, ourJournal, true},
      {"an empty copy", Kind::ToCopy, 'c', Bytes(), std::nullopt, true},
      {"the journal of a copy that went", Kind::ToCopy, 'c', std::nullopt, ourJournal, true},
      {"a copy begun, removed by a run on the copy's name", Kind::InPlaceOnCopy, 'c', copyBegun,
       ourJournal, true},
      {"a copy to the source's name, removed by a copy from it", Kind::ToCopy, 's', copyBegun,
       ourJournal, true},
      {"a file of the user's at the copy's journal's name", Kind::ToCopy, 'c', copyBegun, notOurs,
       false},
      {"a file of the user's at the copy's name", Kind::ToCopy, 'c', zip, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    fs::create_directories(copy_.parent_path());
    for (const fs::path& p : {backup_, copy_, exe_}) {
      fs::remove(p.string() + ".marovi-part");
      fs::remove(p.string() + ".marovi-part.marovi-undo");
    }
    fs::remove(copy_.string() + ".bak");
    if (c.run == Kind::InPlaceOnCopy) fs::copy_file(exe_, copy_);
    const fs::path part =
        (c.of == 'b' ? backup_ : c.of == 'c' ? copy_ : exe_).string() + ".marovi-part";
    const fs::path journal = part.string() + ".marovi-undo";
    if (c.partBytes) WriteWholeFile(part, *c.partBytes);
    if (c.journal) WriteWholeFile(journal, *c.journal);
    app::ChangeRequest request = c.run == Kind::InPlace ? Request() : CopyRequest();
    if (c.run == Kind::InPlaceOnCopy) request.executable = request.destination;
    const auto outcome = Run(request);
    if (!c.done) {
      EXPECT_EQ(outcome.status, ChangeStatus::Failed);
      EXPECT_EQ(outcome.step, FailedStep::Copy);
      EXPECT_NE(app::ErrorText(outcome.error).find("left as it is"), std::string::npos)
          << app::ErrorText(outcome.error);
      EXPECT_EQ(ReadWholeFile(part), *c.partBytes);
      if (c.journal) {
        EXPECT_EQ(ReadWholeFile(journal), *c.journal);
      }
      EXPECT_FALSE(fs::exists(copy_));
      continue;
    }
    ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
    if (c.run == Kind::InPlace) EXPECT_EQ(ReadWholeFile(backup_), original_);
    else ExpectChanged(copy_);
    EXPECT_FALSE(fs::exists(part));
    EXPECT_FALSE(fs::exists(journal));
  }
}

TEST_F(ChangeWorkflowTest, AFailedCopyLeavesNoDestination) {
  struct Case {
    const char* what;
    std::function<void()> spoil;
    FailedStep step;
    ErrorKind kind;
  };
  const std::vector<Case> cases = {
      {"an icon file that is not one",
       [this] {
         Bytes ico = ReadWholeFile(ico_);
         ico.resize(ico.size() - 1);
         WriteWholeFile(ico_, ico);
       },
       FailedStep::LoadIcon, ErrorKind::BadIconFile},
      {"an executable that is no image",
       [this] {
         WriteWholeFile(exe_, Bytes{'M', 'Z', 'n', 'o'});
       },
       FailedStep::Begin, ErrorKind::NotAnImage},
      {"an image whose resource table lies inside a section",
       [this] {
         Bytes image = ExecutableBytes();
         const ImageFacts f = ReadFacts(image);
         StoreU32(image.data() + f.dataDirectory + 16, f.resourceVirtualAddress + 8);
         WriteWholeFile(exe_, image);
       },
       FailedStep::Begin, ErrorKind::NoResources},
  };
  const Bytes icon = ReadWholeFile(ico_);
  for (const Case& c : cases) {
    Reset();
    WriteWholeFile(ico_, icon);
    c.spoil();
    const auto outcome = Run(CopyRequest());
    EXPECT_EQ(outcome.status, ChangeStatus::Failed) << c.what;
    EXPECT_EQ(outcome.step, c.step) << c.what;
    EXPECT_EQ(outcome.error.kind, c.kind) << c.what << ": " << app::ErrorText(outcome.error);
    // The message names the destination, not its temporary copy.
    if (c.step == FailedStep::Begin) {
      EXPECT_EQ(outcome.error.file, platform::ToUtf8(Utf16Path(copy_))) << c.what;
    }
    EXPECT_FALSE(fs::exists(copy_)) << c.what;
    EXPECT_TRUE(Parts().empty()) << c.what;
  }
}

TEST_F(ChangeWorkflowTest, ACopyOfAReadOnlyExecutableIsWritableByItsOwner) {
  fs::permissions(exe_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto outcome = Run(CopyRequest());
  fs::permissions(exe_, fs::perms::owner_write, fs::perm_options::add);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_NE(fs::status(copy_).permissions() & fs::perms::owner_write, fs::perms::none);
  // So a second change of the copy, in place, can open it.
  auto again = CopyRequest();
  again.iconFile = Utf16Path(ico3_);
  outcome = Run(again);
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << app::ErrorText(outcome.error);
  EXPECT_EQ(MainGroupIds(copy_), (std::vector<std::uint16_t>{1, 2, 3}));
  EXPECT_EQ(MainGroupIds(copy_.string() + ".bak"), (std::vector<std::uint16_t>{1, 2}));
}

TEST_F(ChangeWorkflowTest, OnlyRegularFilesAreTaken) {
  struct Case {
    const char* role;  // which of the three files
    fs::path path;
    ChangeStatus status;
    FailedStep step;
    const char* says;
  };
  const fs::path folder = folder_ / "dir.exe";
  fs::create_directory(folder);
  std::vector<Case> cases = {
      {"executable", folder, ChangeStatus::ExecutableMissing, FailedStep::None, "is a directory"},
      {"icon", folder, ChangeStatus::Failed, FailedStep::LoadIcon, "is a directory"},
      {"destination", folder, ChangeStatus::Failed, FailedStep::Begin, "is a directory"},
      {"manifest", folder, ChangeStatus::Failed, FailedStep::Edit, "is a directory"},
  };
#ifndef _WIN32
  const fs::path fifo = folder_ / "pipe.exe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path socketPath = folder_ / "sock.ico";
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  cases.insert(
      cases.end(),
      {{"executable", fifo, ChangeStatus::ExecutableMissing, FailedStep::None, "FIFO"},
       {"executable", "/dev/zero", ChangeStatus::ExecutableMissing, FailedStep::None,
        "is a device"},
       {"icon", fifo, ChangeStatus::Failed, FailedStep::LoadIcon, "FIFO"},
       {"icon", socketPath, ChangeStatus::Failed, FailedStep::LoadIcon, "is a socket"},
       {"icon", "/dev/zero", ChangeStatus::Failed, FailedStep::LoadIcon, "is a device"},
       {"destination", fifo, ChangeStatus::Failed, FailedStep::Begin, "FIFO"},
       {"destination", "/dev/null", ChangeStatus::Failed, FailedStep::Begin, "is a device"}});
  const fs::path device = "/dev/null";
  const std::uint32_t refusedDevice = EINVAL;
#else
  const fs::path device = folder_ / "NUL";  // the device, in every folder
  const std::uint32_t refusedDevice = 87;   // ERROR_INVALID_PARAMETER
  cases.insert(
      cases.end(),
      {{"executable", device, ChangeStatus::ExecutableMissing, FailedStep::None, "is a device"},
       {"icon", device, ChangeStatus::Failed, FailedStep::LoadIcon, "is a device"},
       {"destination", device, ChangeStatus::Failed, FailedStep::Begin, "is a device"}});
#endif
  for (const Case& c : cases) {
    auto request = Request();
    const std::string role = c.role;
    if (role == "executable") request.executable = Utf16Path(c.path);
    if (role == "icon") request.iconFile = Utf16Path(c.path);
    if (role == "destination") request.destination = Utf16Path(c.path);
    if (role == "manifest") request.manifest.file = Utf16Path(c.path);
    const auto outcome = Run(request);
    const std::string text = app::ErrorText(outcome.error);
    EXPECT_EQ(outcome.status, c.status) << role << " " << c.path << ": " << text;
    EXPECT_EQ(outcome.step, c.step) << role << " " << c.path;
    EXPECT_EQ(outcome.error.kind, ErrorKind::NotRegularFile) << role << " " << c.path;
    EXPECT_EQ(text.find(c.path.string() + ": "), 0u) << text;
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    EXPECT_EQ(ReadWholeFile(exe_), original_);
    EXPECT_FALSE(fs::exists(backup_));
  }
#ifndef _WIN32
  close(sock);
#endif
  // The opens refuse a device themselves, should one take a file's place
  // after the checks above: as not a file, rather than as missing.
  const std::u16string deviceName = Utf16Path(device);
  const std::vector<std::function<platform::FileHandle()>> opens = {
      [&] { return platform::OpenFileByName(deviceName.c_str(), false, false); },
      [&] { return platform::OpenFileByName(deviceName.c_str(), true, false); },
      [&] { return platform::OpenFileShared(deviceName.c_str()); }};
  for (std::size_t i = 0; i < opens.size(); ++i) {
    platform::SetLastError(0);
    const platform::FileHandle file = opens[i]();
    EXPECT_EQ(file, platform::kInvalidFile) << "open " << i;
    EXPECT_EQ(platform::LastError(), refusedDevice) << "open " << i;
    if (file != platform::kInvalidFile) platform::CloseFile(file);
  }
}

TEST_F(ChangeWorkflowTest, MessagesNameTheFileAndTheSystemsReason) {
  struct Case {
    const char* what;
    std::function<app::ChangeRequest()> request;
    FailedStep step;
    fs::path file;       // the file the message names
    std::uint32_t code;  // the system's code, 0 for any
  };
  WriteWholeFile(folder_ / "plain", Bytes{1});
  std::vector<Case> cases = {
      {"a directory at the destination",
       [this] {
         fs::create_directories(copy_);
         return CopyRequest();
       },
       FailedStep::Begin, copy_, 0},
      {"a file where the destination's folder should be",
       [this] {
         auto request = Request();
         request.destination = Utf16Path(folder_ / "plain" / "x.exe");
         return request;
       },
       FailedStep::Begin, fs::path(), 0},
  };
#ifndef _WIN32
  const fs::path tooLong = folder_ / (std::string(300, 'n') + ".exe");
  cases.push_back({"a name too long",
                   [&] {
                     auto request = Request();
                     request.destination = Utf16Path(tooLong);
                     return request;
                   },
                   FailedStep::Begin, tooLong, ENAMETOOLONG});
  cases[1].file = folder_ / "plain" / "x.exe";
  cases[1].code = ENOTDIR;
  // A temporary folder that cannot take the scratch file of a large image is
  // named as such, not the destination.
  const std::string missingTemp = (folder_ / "no-temp").string() + "/";
  cases.push_back({"no temporary folder",
                   [&] {
                     WriteWholeFile(ico_, BuildIcoFile({Image(64, 40000, 8)}));
                     setenv("TMPDIR", missingTemp.c_str(), 1);
                     return Request();
                   },
                   FailedStep::LoadIcon, missingTemp, ENOENT});
  // The same when only the commit needs it (small images stay in memory).
  cases.push_back({"no temporary folder for the new section",
                   [&] {
                     WriteWholeFile(ico_, BuildIcoFile({Image(32, 120, 7)}));
                     setenv("TMPDIR", missingTemp.c_str(), 1);
                     return Request();
                   },
                   FailedStep::Commit, missingTemp, ENOENT});
#endif
  for (const Case& c : cases) {
    Reset();
    const auto outcome = Run(c.request());
#ifndef _WIN32
    unsetenv("TMPDIR");
#endif
    const std::string text = app::ErrorText(outcome.error);
    EXPECT_EQ(outcome.status, ChangeStatus::Failed) << c.what << ": " << text;
    EXPECT_EQ(outcome.step, c.step) << c.what << ": " << text;
    if (!c.file.empty()) {
      EXPECT_EQ(outcome.error.file, c.file.string()) << c.what;
      EXPECT_EQ(text.find(c.file.string() + ": "), 0u) << text;
    }
    if (c.code != 0) {
      EXPECT_EQ(outcome.error.osCode, c.code) << text;
      EXPECT_NE(text.find(platform::SystemErrorText(c.code)), std::string::npos) << text;
    }
    EXPECT_EQ(ReadWholeFile(exe_), original_) << c.what;
  }
}

TEST(ErrorText, OneLineWithTheFileAndOnlyTheReasonsThatApply) {
  struct Case {
    Error error;
    std::string text;
  };
  Error atOffset = MakeError(ErrorKind::MalformedImage, "a table leaves the section", 0, "a.exe");
  atOffset.offset = 0x1f0;
  const std::vector<Case> cases = {
      // A code that only marks the kind adds nothing (no "No such file" for a
      // missing resource section).
      {MakeError(ErrorKind::NoResources, "has no resource section", platform::ErrorFileNotFound(),
                 "a.exe"),
       "a.exe: has no resource section"},
      {MakeError(ErrorKind::NotAnImage, "not a PE image", platform::ErrorBadFormat(), "a.exe"),
       "a.exe: not a PE image"},
      {atOffset, "a.exe: a table leaves the section (at offset 0x1f0)"},
      {MakeError(ErrorKind::DiskFull, "cannot be written", platform::ErrorDiskFull(), "a.exe.bak"),
       "a.exe.bak: cannot be written: " + platform::SystemErrorText(platform::ErrorDiskFull())},
      {MakeError(ErrorKind::Busy, "cannot be opened for the change",
                 platform::ErrorSharingViolation(), "a.exe"),
       "a.exe: cannot be opened for the change: held open by another program (another change of "
       "it may be running); try again when it has finished"},
      {MakeError(ErrorKind::Io, ""), "an input or output operation failed"},
      // A folder that takes no journal names the way out.
      {MakeError(ErrorKind::Journal, "cannot create the undo journal", EACCES, "a.exe.marovi-undo"),
       "a.exe.marovi-undo: cannot create the undo journal: " + platform::SystemErrorText(EACCES) +
           " (--no-journal changes the file without one, unprotected against a kill)"},
  };
  for (const Case& c : cases) EXPECT_EQ(app::ErrorText(c.error), c.text);
  EXPECT_EQ(app::RecoveryText("a.exe", Recovery::Undone),
            "a.exe: an interrupted change was undone; the file is as it was before it");
  EXPECT_NE(app::RecoveryText("a.exe", Recovery::Removed).find("a.exe: "), std::string::npos);
  EXPECT_EQ(app::RecoveryText("a.exe", Recovery::NothingToDo), "");
  // A journal that stays is not said to be removed.
  const std::string left = app::RecoveryText("a.exe", Recovery::LeftBehind);
  EXPECT_NE(left.find("a.exe: an undo journal that changes nothing is left beside it"),
            std::string::npos)
      << left;
  EXPECT_EQ(left.find("was removed"), std::string::npos) << left;
}

TEST(NativeFileSystem, CopyRefusesToOverwriteAndKeepsTheContents) {
  TempFolder folder;
  auto& files = app::NativeFileSystem();
  WriteWholeFile(folder / "from", ImageBytes(200000, 3));
  WriteWholeFile(folder / "to", Bytes{9});
  EXPECT_FALSE(files.CopyFileNoOverwrite(Utf16Path(folder / "from"), Utf16Path(folder / "to")));
  EXPECT_EQ(ReadWholeFile(folder / "to"), Bytes{9});
  EXPECT_TRUE(files.CopyFileNoOverwrite(Utf16Path(folder / "from"), Utf16Path(folder / "new")));
  EXPECT_EQ(ReadWholeFile(folder / "new"), ImageBytes(200000, 3));
  EXPECT_FALSE(files.CopyFileNoOverwrite(Utf16Path(folder / "none"), Utf16Path(folder / "new2")));
  EXPECT_FALSE(fs::exists(folder / "new2"));
  EXPECT_TRUE(files.FileExists(Utf16Path(folder / "new")));
  EXPECT_FALSE(files.FileExists(Utf16Path(folder.path())));
  EXPECT_TRUE(files.FolderExists(Utf16Path(folder.path())));
  EXPECT_FALSE(files.FolderExists(Utf16Path(folder / "new")));
  EXPECT_TRUE(files.CreateFolder(Utf16Path(folder / "made")));
  EXPECT_FALSE(files.CreateFolder(Utf16Path(folder / "made" / "a" / "b")));  // one level only
  EXPECT_TRUE(fs::is_directory(folder / "made"));
}

#ifndef _WIN32
TEST(NativeFileSystem, CopyTakesThePermissionBits) {
  TempFolder folder;
  WriteWholeFile(folder / "from", Bytes{1, 2, 3});
  fs::permissions(folder / "from", fs::perms(0751));
  ASSERT_TRUE(app::NativeFileSystem().CopyFileNoOverwrite(Utf16Path(folder / "from"),
                                                          Utf16Path(folder / "to")));
  EXPECT_EQ(fs::status(folder / "to").permissions(), fs::perms(0751));
}
#endif

// Path rules with Windows separators, on a file system kept in memory that
// records what is created.
class MemoryFileSystem : public app::FileSystem {
 public:
  std::map<std::u16string, bool> folders;  // existing folders
  std::vector<std::u16string> created;
  bool FileExists(const std::u16string&) override { return false; }
  bool FolderExists(const std::u16string& path) override { return folders.count(path) != 0; }
  bool CreateFolder(const std::u16string& path) override {
    created.push_back(path);
    folders[path] = true;
    return true;
  }
  bool CopyFileNoOverwrite(const std::u16string&, const std::u16string&) override { return false; }
  bool IsSeparator(char16_t c) const override { return c == u'\\' || c == u'/'; }
  bool IsDriveSeparator(char16_t c) const override { return c == u':'; }
};

TEST(FolderPart, DropsTheFinalSeparatorOnlyWhereItIsNotTheRoot) {
  MemoryFileSystem files;
  const std::map<std::u16string, std::u16string> cases = {{u"C:\\a\\b.exe", u"C:\\a"},
                                                          {u"C:\\b.exe", u"C:\\"},
                                                          {u"C:b.exe", u"C:"},
                                                          {u"\\b.exe", u"\\"},
                                                          {u"b.exe", u""},
                                                          {u"", u""},
                                                          {u"C:\\a\\\\b.exe", u"C:\\a\\\\"},
                                                          {u"C:/x/y/z.exe", u"C:/x/y"},
                                                          {u"a\\b\\", u"a\\b"}};
  for (const auto& [path, folder] : cases)
    EXPECT_EQ(platform::ToUtf8(app::FolderPart(path, files)), platform::ToUtf8(folder))
        << platform::ToUtf8(path);
}

TEST(CreateFolderChain, CreatesOutermostFirstAndStopsAtExistingOrShortFolders) {
  MemoryFileSystem files;
  files.folders[u"C:\\data"] = true;
  EXPECT_TRUE(app::CreateFolderChain(u"C:\\data\\x\\y", files));
  EXPECT_EQ(files.created, (std::vector<std::u16string>{u"C:\\data\\x", u"C:\\data\\x\\y"}));

  files.created.clear();
  EXPECT_TRUE(app::CreateFolderChain(u"C:\\new\\", files));  // the drive counts as present
  EXPECT_EQ(files.created, (std::vector<std::u16string>{u"C:\\new"}));

  files.created.clear();
  EXPECT_TRUE(app::CreateFolderChain(u"ab\\cd", files));  // a two-character outermost folder counts
  EXPECT_EQ(files.created, (std::vector<std::u16string>{u"ab\\cd"}));

  files.created.clear();
  EXPECT_THROW(app::CreateFolderChain(u"abc\\cd", files), app::AppError);
  EXPECT_THROW(app::CreateFolderChain(u"", files), app::AppError);
  EXPECT_TRUE(files.created.empty());
}

}  // namespace
}  // namespace marovi::test
