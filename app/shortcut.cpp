#include "app/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/change_workflow.h"
#include "app/dialogs.h"
#include "app/input_routing.h"

namespace marovi::app {
namespace {

// Releases an interface on every way out.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (p_) p_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T** put() { return &p_; }
  void** put_void() { return reinterpret_cast<void**>(&p_); }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

// A failed COM call as an error the user can read: the system's text for it.
[[noreturn]] void RaiseComError(HRESULT hr) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n ? std::wstring(text, n) : std::wstring();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  if (message.empty()) {
    wchar_t code[32];
    wsprintfW(code, L"OLE error %08X", static_cast<unsigned>(hr));
    message = code;
  }
  throw AppError(Utf16(message));
}

}  // namespace

std::wstring ResolveShortcutTarget(const std::wstring& path) {
  ComRef<IUnknown> link;
  HRESULT hr =
      CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                       IID_IUnknown, link.put_void());
  if (FAILED(hr)) RaiseComError(hr);
  ComRef<IPersistFile> file;
  hr = link->QueryInterface(IID_IPersistFile, file.put_void());
  if (FAILED(hr)) RaiseComError(hr);
  if (file->Load(path.c_str(), STGM_READ) != S_OK) return std::wstring();

  ComRef<IShellLinkW> shellLink;
  hr = link->QueryInterface(IID_IShellLinkW, shellLink.put_void());
  if (FAILED(hr)) RaiseComError(hr);
  std::vector<wchar_t> buffer(kShortcutTargetBuffer, L'\0');
  WIN32_FIND_DATAW findData{};
  // The result is not examined: a link without a path leaves the buffer empty.
  shellLink->GetPath(buffer.data(), static_cast<int>(buffer.size()), &findData, 0);
  buffer.back() = L'\0';
  return std::wstring(buffer.data());
}

}  // namespace marovi::app
