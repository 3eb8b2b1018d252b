// What the shell sees of the program and of the files it changes: the
// taskbar's entry (an application window with the application's title that
// owns the main window), the notice of a changed file, and the icon group
// whose icon the shell extracts.
#include <windows.h>
#include <shlobj.h>

#include <filesystem>

#include "app/change_workflow.h"
#include "tests/gui/gui_support.h"
#include "tests/support/pe_builder.h"

namespace marovi::app::test {
namespace {

namespace fs = std::filesystem;
using marovi::test::WriteWholeFile;

std::wstring WindowText(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return text;
}

TEST_F(WindowTest, TheApplicationWindowOwnsTheMainWindowWithTheTitle) {
  Open();
  const HWND main = form_->hwnd();
  const HWND application = GetWindow(main, GW_OWNER);
  ASSERT_TRUE(application);
  EXPECT_EQ(application, form_->ApplicationHwnd());
  EXPECT_EQ(WindowText(application), ApplicationTitle());
  EXPECT_EQ(WindowText(main), L"Marovi v1.00b");
  // The taskbar gives a button to a window that nothing owns and that is
  // no tool window, and none to an owned window that does not ask for one.
  EXPECT_EQ(GetWindow(application, GW_OWNER), nullptr);
  EXPECT_FALSE(GetWindowLongPtrW(application, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  RECT extent{};
  GetWindowRect(application, &extent);
  EXPECT_TRUE(IsRectEmpty(&extent));

  EXPECT_FALSE(IsWindowVisible(application));
  form_->Show(SW_SHOWNORMAL);
  Pump();
  EXPECT_TRUE(IsWindowVisible(application));
  EXPECT_TRUE(IsWindowVisible(main));
  EXPECT_EQ(GetActiveWindow(), main);
}

// The main window's minimise button minimises the application window, which
// hides the main window with it; restoring brings it back and hands it the
// activation; closing the taskbar's entry closes the main window. Started
// minimised, the main window waits for the restore the same way.
TEST_F(WindowTest, MinimisingRestoringAndClosingGoThroughTheApplicationWindow) {
  Open();
  const HWND main = form_->hwnd();
  const HWND application = form_->ApplicationHwnd();
  form_->Show(SW_SHOWMINNOACTIVE);
  Pump();
  EXPECT_TRUE(IsIconic(application));
  EXPECT_FALSE(IsWindowVisible(main));
  SendMessageW(application, WM_SYSCOMMAND, SC_RESTORE, 0);
  Pump();
  EXPECT_FALSE(IsIconic(application));
  EXPECT_TRUE(IsWindowVisible(main));

  SendMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  Pump();
  EXPECT_TRUE(IsIconic(application));
  EXPECT_FALSE(IsIconic(main));
  EXPECT_FALSE(IsWindowVisible(main));
  SendMessageW(application, WM_SYSCOMMAND, SC_RESTORE, 0);
  Pump();
  EXPECT_TRUE(IsWindowVisible(main));
  SetActiveWindow(application);
  Pump();
  EXPECT_EQ(GetActiveWindow(), main);

  SendMessageW(application, WM_SYSCOMMAND, SC_CLOSE, 0);
  Pump();
  EXPECT_FALSE(IsWindow(main));
  EXPECT_EQ(destroyed_, 1);
  // The application window goes with the window's object.
  form_.reset();
  EXPECT_FALSE(IsWindow(application));
}

// A window that hears the shell's notices of updated items, as Explorer
// does, and keeps their paths.
class ShellListener {
 public:
  ShellListener() {
    WNDCLASSW listener{};
    listener.lpfnWndProc = &Proc;
    listener.hInstance = GetModuleHandleW(nullptr);
    listener.lpszClassName = L"MaroviShellListener";
    RegisterClassW(&listener);
    hwnd_ = CreateWindowW(L"MaroviShellListener", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                          listener.hInstance, nullptr);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SHChangeNotifyEntry everything{nullptr, TRUE};  // the desktop and all below it
    id_ = SHChangeNotifyRegister(hwnd_, SHCNRF_ShellLevel | SHCNRF_InterruptLevel, SHCNE_UPDATEITEM,
                                 kNotice, 1, &everything);
  }
  ~ShellListener() {
    if (id_ != 0) SHChangeNotifyDeregister(id_);
    DestroyWindow(hwnd_);
  }
  bool registered() const { return id_ != 0; }
  std::vector<std::wstring> paths;

 private:
  static constexpr UINT kNotice = WM_APP + 7;
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ShellListener*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == kNotice && self != nullptr && (lParam & SHCNE_UPDATEITEM) != 0) {
      const auto* items = reinterpret_cast<const LPCITEMIDLIST*>(wParam);
      wchar_t path[MAX_PATH] = {};
      if (items != nullptr && items[0] != nullptr && SHGetPathFromIDListW(items[0], path))
        self->paths.push_back(path);
      return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  HWND hwnd_ = nullptr;
  ULONG id_ = 0;
};

// A done change of the window tells the shell of the changed file, so that
// Explorer draws its new icon; a failed one tells it nothing.
TEST_F(WindowTest, TheShellHearsOfEachChangedFile) {
  Open();
  ShellListener listener;
  ASSERT_TRUE(listener.registered());
  const fs::path exe = CopyExecutableWithIcons(folder_ / "target.exe");
  const fs::path ico = folder_ / "red.ico";
  WriteWholeFile(ico, IconFile(0xFFFF0000));
  const fs::path broken = folder_ / "broken.ico";
  WriteWholeFile(broken, {0, 0, 1, 0, 9, 0, 1, 2, 3});
  ui_.answers = {exe.wstring(), broken.wstring(), ico.wstring()};
  Click(kBtnExe);
  Click(kBtnIcon);
  Click(kButton2);
  Pump();
  EXPECT_TRUE(listener.paths.empty());
  Click(kBtnIcon);
  const fs::path copy = folder_ / "out" / "copy.exe";
  for (const fs::path& destination : {exe, copy}) {
    listener.paths.clear();
    SetText(kEdtSPath, destination.wstring());
    Click(kButton2);
    Pump();
    EXPECT_EQ(listener.paths, std::vector<std::wstring>{destination.wstring()});
  }
}

// The colour of an icon's top-left pixel (ARGB).
std::uint32_t IconColour(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return 0;
  BITMAPINFO bits{};
  bits.bmiHeader.biSize = sizeof(bits.bmiHeader);
  bits.bmiHeader.biWidth = 1;
  bits.bmiHeader.biHeight = 1;
  bits.bmiHeader.biPlanes = 1;
  bits.bmiHeader.biBitCount = 32;
  BITMAP bitmap{};
  GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(bitmap.bmWidth) *
                                    static_cast<std::size_t>(bitmap.bmHeight));
  bits.bmiHeader.biWidth = bitmap.bmWidth;
  bits.bmiHeader.biHeight = -bitmap.bmHeight;  // top-down
  const HDC dc = GetDC(nullptr);
  GetDIBits(dc, info.hbmColor, 0, static_cast<UINT>(bitmap.bmHeight), pixels.data(), &bits,
            DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return pixels.empty() ? 0 : pixels[0] | 0xFF000000u;
}

// The colour of the first large icon the shell extracts from a file.
std::uint32_t ShellIconColour(const fs::path& file) {
  HICON large = nullptr;
  if (ExtractIconExW(file.wstring().c_str(), 0, &large, nullptr, 1) != 1 || large == nullptr)
    return 0;
  const std::uint32_t colour = IconColour(large);
  DestroyIcon(large);
  return colour;
}

// A group record of one 32 x 32 image of 32 bits, image id.
std::vector<std::uint8_t> OneImageGroup(std::uint16_t id, std::uint32_t bytes) {
  std::vector<std::uint8_t> record(6 + 14, 0);
  record[2] = 1;
  record[4] = 1;
  record[6] = record[7] = 32;
  record[6 + 4] = 1;
  record[6 + 6] = 32;
  for (std::size_t i = 0; i < 4; ++i)
    record[6 + 8 + i] = static_cast<std::uint8_t>(bytes >> (8 * i));
  record[6 + 12] = static_cast<std::uint8_t>(id);
  record[6 + 13] = static_cast<std::uint8_t>(id >> 8);
  return record;
}

// Which group's icon the shell extracts, checked against the group that the
// workflow takes for the one it shows: a named group sorting before
// MAINICON, numbered groups only, a group in another language.
TEST(ShellIconGroupTest, TheShellExtractsTheIconOfTheFirstGroup) {
  using marovi::test::ResourceSpec;
  constexpr std::uint32_t kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF;
  const std::uint32_t size = static_cast<std::uint32_t>(IconDib(32, kRed).size());
  const struct {
    const char* what;
    std::vector<ResourceSpec> resources;
  } cases[] = {
      {"named before MAINICON",
       {{3, 1, 0, IconDib(32, kRed)},
        {3, 2, 0, IconDib(32, kGreen)},
        {14, u"APP", 0, OneImageGroup(1, size)},
        {14, 7, 0, OneImageGroup(2, size)}}},
      {"numbered only",
       {{3, 1, 0, IconDib(32, kGreen)},
        {3, 2, 0, IconDib(32, kRed)},
        {14, 9, 0, OneImageGroup(1, size)},
        {14, 4, 0, OneImageGroup(2, size)}}},
      {"another language",
       {{3, 1, 1041, IconDib(32, kRed)}, {14, u"ICON", 1041, OneImageGroup(1, size)}}},
  };
  marovi::test::TempFolder folder;
  const fs::path blue = folder / "blue.ico";
  WriteWholeFile(blue, IconFile(kBlue));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    marovi::test::ImageSpec spec;
    spec.pe32Plus = true;
    spec.resources = c.resources;
    const fs::path exe = folder / "groups.exe";
    WriteWholeFile(exe, marovi::test::BuildImage(spec));
    EXPECT_EQ(ShellIconColour(exe), kRed) << "the shell shows another group than the test meant";
    for (const bool shellGroup : {false, true}) {
      ChangeRequest request;
      request.executable = request.destination = marovi::test::Utf16Path(exe);
      request.iconFile = marovi::test::Utf16Path(blue);
      request.iconPreviewSet = true;
      request.backup = false;
      request.shellGroup = shellGroup;
      const ChangeOutcome outcome = RunChangeWorkflow(request, NativeFileSystem());
      ASSERT_EQ(outcome.status, ChangeStatus::Done);
      // Without --group first, MAINICON is added behind the group shown (or
      // in front of numbered ones, and then shown): the outcome says which.
      const bool shown = outcome.shownAfter && *outcome.shownAfter == *outcome.changedGroup;
      EXPECT_EQ(ShellIconColour(exe), shown ? kBlue : kRed) << "shell group " << shellGroup;
      EXPECT_TRUE(!shellGroup || shown);
    }
  }
}

}  // namespace
}  // namespace marovi::app::test
