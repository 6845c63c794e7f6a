// MinGW's comutil.h declares this helper but its libraries do not define it; the UnRAR library's
// Windows version check needs it.
#include <comutil.h>
#include <windows.h>

namespace _com_util {
BSTR WINAPI ConvertStringToBSTR(const char* source) {
  if (source == nullptr) return nullptr;
  int n = MultiByteToWideChar(CP_ACP, 0, source, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
  if (result != nullptr) MultiByteToWideChar(CP_ACP, 0, source, -1, result, n);
  return result;
}
}  // namespace _com_util
