/* What Windows itself reads from an image: its version information
   (GetFileVersionInfoW, VerQueryValueW) and its icon (the first icon group,
   as the shell takes it, through LoadImageW and LookupIconIdFromDirectoryEx).
     version_probe FILE KEY...   one line per key: "KEY=VALUE" or "KEY missing",
                                 then "fixed A.B.C.D A.B.C.D"
     version_probe FILE --icon   "icon GROUP SIZE HEX" of the 32-pixel image of
                                 the first group, and whether LoadImageW loads it */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void PrintUtf8(const wchar_t* text) {
  char out[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, NULL, NULL);
  if (n > 0) fputs(out, stdout);
}

static int Versions(const wchar_t* file, int count, wchar_t** keys) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(file, &ignored);
  static BYTE data[65536];
  if (size == 0 || size > sizeof data || !GetFileVersionInfoW(file, 0, size, data)) {
    printf("no version information\n");
    return 1;
  }
  WORD* pair = NULL;
  UINT length = 0;
  if (!VerQueryValueW(data, L"\\VarFileInfo\\Translation", (void**)&pair, &length) || length < 4) {
    printf("no translation\n");
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    wchar_t path[256];
    wchar_t* value = NULL;
    swprintf(path, 256, L"\\StringFileInfo\\%04x%04x\\%ls", pair[0], pair[1], keys[i]);
    PrintUtf8(keys[i]);
    if (VerQueryValueW(data, path, (void**)&value, &length)) {
      printf("=");
      if (length > 0) PrintUtf8(value);
      printf("\n");
    } else {
      printf(" missing\n");
    }
  }
  VS_FIXEDFILEINFO* fixed = NULL;
  if (VerQueryValueW(data, L"\\", (void**)&fixed, &length) && fixed != NULL)
    printf("fixed %u.%u.%u.%u %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
           LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
           LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
           LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
           LOWORD(fixed->dwProductVersionLS));
  return 0;
}

static BOOL CALLBACK FirstName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found) {
  (void)module;
  (void)type;
  *(LPWSTR*)found = IS_INTRESOURCE(name) ? name : _wcsdup(name);
  return FALSE;
}

static int Icon(const wchar_t* file) {
  HMODULE module = LoadLibraryExW(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
  LPWSTR group = NULL;
  if (module == NULL) return printf("cannot load\n"), 1;
  EnumResourceNamesW(module, (LPCWSTR)RT_GROUP_ICON, FirstName, (LONG_PTR)&group);
  if (group == NULL) return printf("no icon group\n"), 1;
  HRSRC found = FindResourceW(module, group, (LPCWSTR)RT_GROUP_ICON);
  BYTE* directory = (BYTE*)LockResource(LoadResource(module, found));
  int id = LookupIconIdFromDirectoryEx(directory, TRUE, 32, 32, LR_DEFAULTCOLOR);
  HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_ICON);
  DWORD size = SizeofResource(module, image);
  BYTE* bytes = (BYTE*)LockResource(LoadResource(module, image));
  HANDLE loaded = LoadImageW(module, group, IMAGE_ICON, 32, 32, 0);
  if (IS_INTRESOURCE(group)) printf("icon %u %lu ", (unsigned)(ULONG_PTR)group, size);
  else printf("icon \"%ls\" %lu ", group, size);
  for (DWORD i = 0; i < size; ++i) printf("%02x", bytes[i]);
  printf(" %s\n", loaded != NULL ? "loads" : "does-not-load");
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && wcscmp(argv[2], L"--icon") == 0) return Icon(argv[1]);
  if (argc >= 2) return Versions(argv[1], argc - 2, argv + 2);
  return 2;
}
