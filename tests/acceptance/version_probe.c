/* What Windows itself reads from images: their version information
   (GetFileVersionInfoW, VerQueryValueW) and their icon (the first icon group,
   as the shell takes it, through LoadImageW and LookupIconIdFromDirectoryEx).
   One process reads every file, since each start of a program under Wine
   costs far more than the reading.
     version_probe KEY[,KEY...] FILE...
   prints one line per file, its fields separated by tabs:
     FILE  KEY=VALUE or "KEY missing" for each key  "fixed A.B.C.D A.B.C.D"
     "icon GROUP SIZE HEX loads|does-not-load" (the 32-pixel image of the
     first group) or "no icon group"
   A file Windows cannot read gets "no version information" or "cannot load"
   in place of the fields it lacks. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void PrintUtf8(const wchar_t* text) {
  char out[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, NULL, NULL);
  if (n > 0) fputs(out, stdout);
}

static void Versions(const wchar_t* file, const wchar_t* keys) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(file, &ignored);
  static BYTE data[65536];
  if (size == 0 || size > sizeof data || !GetFileVersionInfoW(file, 0, size, data)) {
    printf("\tno version information");
    return;
  }
  WORD* pair = NULL;
  UINT length = 0;
  if (!VerQueryValueW(data, L"\\VarFileInfo\\Translation", (void**)&pair, &length) || length < 4) {
    printf("\tno translation");
    return;
  }
  for (const wchar_t* start = keys; *start != 0;) {
    size_t span = wcscspn(start, L",");
    wchar_t key[128];
    if (span >= 128) span = 127;
    wcsncpy(key, start, span);
    key[span] = 0;
    start += wcscspn(start, L",");
    if (*start == L',') ++start;
    wchar_t path[256];
    wchar_t* value = NULL;
    swprintf(path, 256, L"\\StringFileInfo\\%04x%04x\\%ls", pair[0], pair[1], key);
    printf("\t");
    PrintUtf8(key);
    if (VerQueryValueW(data, path, (void**)&value, &length)) {
      printf("=");
      if (length > 0) PrintUtf8(value);
    } else {
      printf(" missing");
    }
  }
  VS_FIXEDFILEINFO* fixed = NULL;
  if (VerQueryValueW(data, L"\\", (void**)&fixed, &length) && fixed != NULL)
    printf("\tfixed %u.%u.%u.%u %u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
           LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
           LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
           LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
           LOWORD(fixed->dwProductVersionLS));
}

static BOOL CALLBACK FirstName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found) {
  (void)module;
  (void)type;
  *(LPWSTR*)found = IS_INTRESOURCE(name) ? name : _wcsdup(name);
  return FALSE;
}

static void Icon(const wchar_t* file) {
  HMODULE module = LoadLibraryExW(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
  LPWSTR group = NULL;
  if (module == NULL) {
    printf("\tcannot load");
    return;
  }
  EnumResourceNamesW(module, (LPCWSTR)RT_GROUP_ICON, FirstName, (LONG_PTR)&group);
  if (group == NULL) {
    printf("\tno icon group");
    FreeLibrary(module);
    return;
  }
  HRSRC found = FindResourceW(module, group, (LPCWSTR)RT_GROUP_ICON);
  BYTE* directory = (BYTE*)LockResource(LoadResource(module, found));
  int id = LookupIconIdFromDirectoryEx(directory, TRUE, 32, 32, LR_DEFAULTCOLOR);
  HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_ICON);
  DWORD size = SizeofResource(module, image);
  BYTE* bytes = (BYTE*)LockResource(LoadResource(module, image));
  HANDLE loaded = LoadImageW(module, group, IMAGE_ICON, 32, 32, 0);
  if (IS_INTRESOURCE(group)) printf("\ticon %u %lu ", (unsigned)(ULONG_PTR)group, size);
  else printf("\ticon \"%ls\" %lu ", group, size);
  for (DWORD i = 0; i < size && bytes != NULL; ++i) printf("%02x", bytes[i]);
  printf(" %s", loaded != NULL ? "loads" : "does-not-load");
  if (loaded != NULL) DestroyIcon((HICON)loaded);
  FreeLibrary(module);
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  for (int i = 2; i < argc; ++i) {
    PrintUtf8(argv[i]);
    Versions(argv[i], argv[1]);
    Icon(argv[i]);
    printf("\n");
  }
  return 0;
}
