// The sample component's own library: the text it records at installation. zsample.dll imports it,
// and both lie in the component's folder (the archive's extraction folder, later the product's
// Setup folder), where the setup's loader finds it beside the component library.
#include <windows.h>

// Writes "installed YYYY-MM-DD" with today's date into out (size bytes, at least 24); its length.
extern "C" __declspec(dllexport) int SampleInstalledText(char* out, int size) {
  if (size < 24) return 0;
  SYSTEMTIME now;
  GetLocalTime(&now);
  return wsprintfA(out, "installed %04d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
}
