#include "tests/gui/gui_support.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tests/support/pe_builder.h"

namespace marovi::app::test {

int ScriptedInterface::ShowMessageBox(HWND owner, const std::wstring& text,
                                      const std::wstring& caption, unsigned flags) {
  boxes.push_back({text, caption, flags});
  owners.push_back(owner);
  return IDOK;
}

std::optional<std::wstring> ScriptedInterface::ShowFileDialog(HWND owner,
                                                              const FileDialog& dialog) {
  dialogs.push_back({dialog.name, dialog.kind, dialog.filter, dialog.fileName});
  owners.push_back(owner);
  if (answers.empty()) {
    ADD_FAILURE() << "unexpected file dialog";
    return std::nullopt;
  }
  std::optional<std::wstring> answer = answers.front();
  answers.pop_front();
  return answer;
}

void WindowTest::SetUp() { com_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }

void WindowTest::TearDown() {
  form_.reset();
  Pump();
  if (com_) CoUninitialize();
}

void WindowTest::Open(const std::wstring& commandLine) {
  TFMain::Options options;
  options.commandLine = commandLine;
  options.onDestroy = [this] { ++destroyed_; };
  form_ = TFMain::Create(GetModuleHandleW(nullptr), ui_, options);
  // Nothing of a test can go on without the window.
  if (!form_ || !IsWindow(form_->hwnd()))
    throw std::runtime_error("the main window was not created");
}

void WindowTest::Click(int id) { SendMessageW(Control(id), BM_CLICK, 0, 0); }

void WindowTest::SetText(int id, const std::wstring& text) {
  SendMessageW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring WindowTest::Text(int id) const {
  wchar_t buffer[2048] = {};
  SendMessageW(Control(id), WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

bool WindowTest::Checked(int id) const {
  return SendMessageW(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void WindowTest::Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

std::wstring WindowTest::PathOf(const std::string& name) const {
  return (folder_ / name).wstring();
}

UINT DisplayDpi() {
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (const char* expected = std::getenv("MAROVI_EXPECT_DPI")) {
    EXPECT_EQ(dpi, std::atoi(expected)) << "the prefix is not at the DPI the test run asks for";
  }
  return static_cast<UINT>(dpi);
}

int AtDpi(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), 96); }

std::vector<std::uint8_t> IconDib(int size, std::uint32_t argb) {
  const auto n = static_cast<std::uint32_t>(size);
  const std::uint32_t maskRow = ((n + 31) / 32) * 4;
  std::vector<std::uint8_t> dib(40 + n * n * 4 + maskRow * n, 0);
  BITMAPINFOHEADER header{};
  header.biSize = 40;
  header.biWidth = size;
  header.biHeight = 2 * size;
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biSizeImage = n * n * 4 + maskRow * n;
  std::memcpy(dib.data(), &header, sizeof(header));
  for (std::uint32_t i = 0; i < n * n; ++i) std::memcpy(dib.data() + 40 + i * 4, &argb, 4);
  return dib;  // the AND mask stays 0: every pixel drawn
}

std::vector<std::uint8_t> IconFile(std::uint32_t argb) {
  marovi::test::IconImageSpec large;
  large.width = large.height = 32;
  large.bytes = IconDib(32, argb);
  marovi::test::IconImageSpec small;
  small.bytes = IconDib(16, argb);
  return marovi::test::BuildIcoFile({large, small});
}

namespace {
const std::filesystem::path kWineExes = L"Z:\\usr\\lib\\x86_64-linux-gnu\\wine\\x86_64-windows";

std::filesystem::path CopyOf(const wchar_t* name, const std::filesystem::path& to) {
  std::filesystem::copy_file(kWineExes / name, to,
                             std::filesystem::copy_options::overwrite_existing);
  return to;
}
}  // namespace

std::filesystem::path CopyExecutableWithIcons(const std::filesystem::path& to) {
  return CopyOf(L"winemine.exe", to);
}

std::filesystem::path CopyExecutableWithoutIcons(const std::filesystem::path& to) {
  return CopyOf(L"hostname.exe", to);
}

std::vector<std::uint8_t> MainIconImage(const std::wstring& executable) {
  std::vector<std::uint8_t> image;
  const HMODULE module = LoadLibraryExW(executable.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return image;
  if (HRSRC group = FindResourceW(module, L"MAINICON", MAKEINTRESOURCEW(14))) {
    const auto* dir = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, group)));
    // GRPICONDIR: 6 bytes, then 14-byte entries whose last two bytes are the icon's id.
    if (dir && SizeofResource(module, group) >= 20) {
      const WORD id = static_cast<WORD>(dir[6 + 12] | (dir[6 + 13] << 8));
      if (HRSRC icon = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3))) {
        const auto* bytes =
            static_cast<const std::uint8_t*>(LockResource(LoadResource(module, icon)));
        image.assign(bytes, bytes + SizeofResource(module, icon));
      }
    }
  }
  FreeLibrary(module);
  return image;
}

void MakeShortcut(const std::wstring& shortcut, const std::wstring& target) {
  IShellLinkW* link = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void**>(&link)),
            S_OK);
  ASSERT_EQ(link->SetPath(target.c_str()), S_OK);
  IPersistFile* file = nullptr;
  ASSERT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)), S_OK);
  EXPECT_EQ(file->Save(shortcut.c_str(), TRUE), S_OK);
  file->Release();
  link->Release();
}

HGLOBAL MakeDrop(const std::vector<std::wstring>& names) {
  std::wstring list;
  for (const std::wstring& name : names) {
    list += name;
    list.push_back(L'\0');
  }
  list.push_back(L'\0');
  const std::size_t size = sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
  const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::memcpy(reinterpret_cast<std::uint8_t*>(drop) + sizeof(DROPFILES), list.data(),
              list.size() * sizeof(wchar_t));
  GlobalUnlock(memory);
  return memory;
}

}  // namespace marovi::app::test
