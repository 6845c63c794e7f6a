// shell32.dll double for the folder browser (put into the System folder, where main.dll loads the
// shell from, and loaded through the DLL override "shell32=n"): SHBrowseForFolderA notes in the
// journal ZS_SHELL_JOURNAL whether COM was initialised on the calling thread, which Windows'
// browser needs and Wine's does for itself, and returns no choice. Test tool, not product.
#include <windows.h>
// After windows.h, which it needs. The shell's own header is left out: it declares these
// functions as imports.
#include <objbase.h>

#include "double_util.h"

extern "C" {

__declspec(dllexport) void* WINAPI SHBrowseForFolderA(void*) {
  // S_FALSE: the thread was initialised already. The call is balanced at once either way.
  HRESULT hr = CoInitialize(nullptr);
  zsdouble::Journal("ZS_SHELL_JOURNAL",
                    hr == S_FALSE ? "SHBrowseForFolderA com" : "SHBrowseForFolderA no com");
  if (SUCCEEDED(hr)) CoUninitialize();
  return nullptr;
}

__declspec(dllexport) BOOL WINAPI SHGetPathFromIDListA(const void*, char* path) {
  path[0] = 0;
  return FALSE;
}

__declspec(dllexport) HRESULT WINAPI SHGetMalloc(void**) { return E_FAIL; }

}  // extern "C"
