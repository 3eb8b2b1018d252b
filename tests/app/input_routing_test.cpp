// The routing rule for files from the command line and from drops.
#include "app/input_routing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace marovi::app {
namespace {

// Records what the rule sets, in order; shortcuts resolve through a table.
class RecordingTarget : public InputTarget {
 public:
  void SetExecutable(const std::u16string& path) override {
    executable = path;
    events.push_back(u"exe:" + path);
  }
  void SetIconFile(const std::u16string& path) override {
    icon = path;
    events.push_back(u"ico:" + path);
  }
  std::u16string ResolveShortcutTarget(const std::u16string& shortcut) override {
    resolved.push_back(shortcut);
    const auto found = shortcuts.find(shortcut);
    return found == shortcuts.end() ? std::u16string() : found->second;
  }

  std::map<std::u16string, std::u16string> shortcuts;
  std::u16string executable = u"<unset>";
  std::u16string icon = u"<unset>";
  std::vector<std::u16string> events;
  std::vector<std::u16string> resolved;
};

TEST(InputRoutingTest, ExtensionIsTheLastDotAfterTheLastSeparatorAndBlank) {
  EXPECT_EQ(FindExtension(u"C:\\a\\b.exe"), 6u);
  EXPECT_EQ(FindExtension(u"C:\\a.b\\c"), 8u);        // the dot belongs to a folder
  EXPECT_EQ(FindExtension(u"C:\\a\\b.tar.gz"), 10u);  // the last dot counts
  EXPECT_EQ(FindExtension(u"C:\\a\\b.e xe"), 11u);    // a blank after the dot ends it
  EXPECT_EQ(FindExtension(u"C:\\a\\b."), 6u);         // a trailing dot is an empty extension
  EXPECT_EQ(FindExtension(u"noextension"), 11u);
  EXPECT_EQ(FindExtension(u""), 0u);
  EXPECT_EQ(FindExtension(u".ico"), 0u);
}

TEST(InputRoutingTest, ClassesAreComparedUpperCasedAndExactly) {
  EXPECT_EQ(ClassifyInput(u"C:\\a.ExE"), InputKind::Executable);
  EXPECT_EQ(ClassifyInput(u"C:\\a.exe"), InputKind::Executable);
  EXPECT_EQ(ClassifyInput(u"C:\\a.lnk"), InputKind::Shortcut);
  EXPECT_EQ(ClassifyInput(u"C:\\a.PiF"), InputKind::Shortcut);
  EXPECT_EQ(ClassifyInput(u"C:\\a.Ico"), InputKind::Icon);
  EXPECT_EQ(ClassifyInput(u"C:\\a.txt"), InputKind::Ignored);
  EXPECT_EQ(ClassifyInput(u"C:\\a"), InputKind::Ignored);
  EXPECT_EQ(ClassifyInput(u"C:\\a."), InputKind::Ignored);
  EXPECT_EQ(ClassifyInput(u"C:\\a.exe "), InputKind::Ignored);  // blank after the extension
  EXPECT_EQ(ClassifyInput(u"C:\\a.exe.bak"), InputKind::Ignored);
  EXPECT_EQ(ClassifyInput(u"C:\\a.exe\\b"), InputKind::Ignored);  // inside a folder named .exe
  EXPECT_EQ(ClassifyInput(u"C:\\a.exex"), InputKind::Ignored);
  EXPECT_EQ(ClassifyInput(u"C:\\a.ex"), InputKind::Ignored);
  // Only ASCII letters are upper-cased: a full-width "ｅ" is not an "E".
  EXPECT_EQ(ClassifyInput(u"C:\\a.\xFF45xe"), InputKind::Ignored);
}

TEST(InputRoutingTest, RoutesByClassAndIgnoresTheRest) {
  RecordingTarget target;
  RouteInputFile(u"C:\\x\\a.ExE", target);
  RouteInputFile(u"C:\\x\\pic.ICO", target);
  RouteInputFile(u"C:\\x\\a.txt", target);
  RouteInputFile(u"C:\\x\\noext", target);
  RouteInputFile(u"C:\\x\\trailing.", target);
  RouteInputFile(u"C:\\x\\folder.exe\\",
                 target);  // a folder named like an executable, as dropped with a "\"
  EXPECT_EQ(target.events,
            (std::vector<std::u16string>{u"exe:C:\\x\\a.ExE", u"ico:C:\\x\\pic.ICO"}));
  EXPECT_TRUE(target.resolved.empty());
}

TEST(InputRoutingTest, AFolderNamedLikeAnExecutableIsRoutedAsOne) {
  // The rule looks at the name only; a folder "tools.exe" counts as an executable.
  RecordingTarget target;
  RouteInputFile(u"C:\\x\\tools.exe", target);
  EXPECT_EQ(target.executable, u"C:\\x\\tools.exe");
}

TEST(InputRoutingTest, ShortcutsAreReplacedByTheirTarget) {
  RecordingTarget target;
  target.shortcuts[u"C:\\x\\app.lnk"] = u"C:\\Programs\\app.exe";
  target.shortcuts[u"C:\\x\\doc.PIF"] = u"C:\\Docs\\letter.txt";

  RouteInputFile(u"C:\\x\\app.lnk", target);
  EXPECT_EQ(target.executable, u"C:\\Programs\\app.exe");

  // Whatever the shortcut holds becomes the executable, even a document.
  RouteInputFile(u"C:\\x\\doc.PIF", target);
  EXPECT_EQ(target.executable, u"C:\\Docs\\letter.txt");

  // A shortcut that cannot be loaded empties the executable.
  RouteInputFile(u"C:\\x\\broken.lnk", target);
  EXPECT_EQ(target.executable, u"");
  EXPECT_EQ(target.resolved, (std::vector<std::u16string>{u"C:\\x\\app.lnk", u"C:\\x\\doc.PIF",
                                                          u"C:\\x\\broken.lnk"}));
  EXPECT_EQ(target.icon, u"<unset>");
}

// Fetches from a list the way the platform's drop query does: cut to the
// buffer, ended by NUL.
DroppedNameFetcher FetchFrom(const std::vector<std::u16string>& names,
                             std::vector<std::size_t>* sizes = nullptr) {
  return [&names, sizes](unsigned index, char16_t* buffer, std::size_t size) {
    if (sizes) sizes->push_back(size);
    const std::u16string& name = names.at(index);
    const std::size_t n = std::min(name.size(), size - 1);
    std::copy_n(name.begin(), n, buffer);
    buffer[n] = u'\0';
  };
}

TEST(InputRoutingTest, DropRoutesInOrderAndTheLastOfAClassWins) {
  const std::vector<std::u16string> names = {u"C:\\a\\first.exe", u"C:\\a\\one.ico",
                                             u"C:\\a\\readme.txt", u"C:\\a\\second.EXE",
                                             u"C:\\a\\two.ico"};
  RecordingTarget target;
  std::vector<std::size_t> sizes;
  RouteDroppedFiles(static_cast<unsigned>(names.size()), FetchFrom(names, &sizes), target);
  EXPECT_EQ(target.executable, u"C:\\a\\second.EXE");
  EXPECT_EQ(target.icon, u"C:\\a\\two.ico");
  EXPECT_EQ(target.events.size(), 4u);
  EXPECT_EQ(sizes, std::vector<std::size_t>(5, kDropNameBuffer));
}

TEST(InputRoutingTest, DroppedNamesAreCutTo254CharactersBeforeTheTest) {
  // 250 characters, then ".exe", then ".txt": whole, the name is ignored; cut
  // to 254 characters it ends in ".exe" and is stored cut.
  const std::u16string stem = u"C:\\" + std::u16string(247, u'n');
  ASSERT_EQ(stem.size(), 250u);
  const std::vector<std::u16string> names = {stem + u".exe.txt", stem + u".icoX"};
  RecordingTarget target;
  RouteDroppedFiles(2, FetchFrom(names), target);
  EXPECT_EQ(target.executable, stem + u".exe");
  EXPECT_EQ(target.executable.size(), 254u);
  EXPECT_EQ(target.icon, stem + u".ico");

  // A name of exactly 254 characters survives whole; of a 255-character name
  // the last character is lost (".icox" becomes ".ico").
  const std::u16string fits = u"C:\\" + std::u16string(247, u'f') + u".ico";
  ASSERT_EQ(fits.size(), 254u);
  const std::vector<std::u16string> exact = {fits};
  RecordingTarget second;
  RouteDroppedFiles(1, FetchFrom(exact), second);
  EXPECT_EQ(second.icon, fits);
  const std::vector<std::u16string> longer = {fits + u"x"};
  RecordingTarget third;
  RouteDroppedFiles(1, FetchFrom(longer), third);
  EXPECT_EQ(third.icon, fits);
}

TEST(InputRoutingTest, AFetchThatFillsTheWholeBufferIsStillEnded) {
  RecordingTarget target;
  RouteDroppedFiles(
      1,
      [](unsigned, char16_t* buffer, std::size_t size) {
        std::fill_n(buffer, size, u'a');
        buffer[size - 5] = u'.';
        buffer[size - 4] = u'i';
        buffer[size - 3] = u'c';
        buffer[size - 2] = u'o';
      },
      target);
  EXPECT_EQ(target.icon.size(), kDropNameBuffer - 1);
}

TEST(InputRoutingTest, FirstCommandLineParameter) {
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe C:\\a\\b.exe"), u"C:\\a\\b.exe");
  EXPECT_EQ(
      FirstCommandLineParameter(u"\"C:\\Program Files\\marovi.exe\" \"C:\\my files\\b.ico\" x"),
      u"C:\\my files\\b.ico");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe   first second"), u"first");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe C:\\my\" \"dir\\b.exe"), u"C:\\my dir\\b.exe");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe\tC:\\tab.exe"), u"C:\\tab.exe");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe \"\" C:\\after-empty.exe"),
            u"C:\\after-empty.exe");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe \"unterminated quote.exe"),
            u"unterminated quote.exe");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe"), u"");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe   "), u"");
  EXPECT_EQ(FirstCommandLineParameter(u""), u"");
  EXPECT_EQ(FirstCommandLineParameter(u"\"C:\\x y\\marovi.exe\""), u"");
  EXPECT_EQ(FirstCommandLineParameter(u"marovi.exe C:\\\x65E5\x672C\\b.exe"),
            u"C:\\\x65E5\x672C\\b.exe");
}

}  // namespace
}  // namespace marovi::app
