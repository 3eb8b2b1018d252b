/* What Windows reads from an image's string tables: LoadStringW of each id,
   in one process (each start of a program under Wine costs seconds).
     string_probe FILE ID...
   prints one line per id: "ID<TAB>TEXT" in UTF-8, or "ID missing". */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  HMODULE image = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == NULL) {
    printf("cannot load\n");
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    const unsigned id = (unsigned)wcstoul(argv[i], NULL, 10);
    wchar_t text[1024];
    const int length = LoadStringW(image, id, text, 1024);
    if (length <= 0) {
      printf("%u missing\n", id);
      continue;
    }
    char out[4096];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, out, sizeof out - 1, NULL, NULL);
    out[n > 0 ? n : 0] = 0;
    printf("%u\t%s\n", id, out);
  }
  FreeLibrary(image);
  return 0;
}
