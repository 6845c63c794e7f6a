// A minimal library that tests load to make its file "in use" (deleting a loaded library is
// refused with access denied).
#include <windows.h>

extern "C" __declspec(dllexport) int ZsLockDllMarker() { return 42; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
