// The UnRAR library's wide-character file, path and case functions on the Windows 9x family,
// where KERNEL32 and USER32 export them only as stubs that fail.
//
// The library is Unicode-only: it opens the archive with CreateFileW, makes full names with
// GetFullPathNameW, compares names with CompareStringW and CharUpperW, and so on. Each function
// below takes the place of one of its imports (third_party/runtime-shims/import_slot.h). On the
// NT family it calls the real W function. On the 9x family (the high bit of GetVersion, looked at
// once) it converts the names to the code page of the file functions (ANSI, unless the program
// switched them to OEM), calls the A function, which both families have, and converts what it
// returns back.
//
// A name with no exact form in that code page (or longer than any 9x path) cannot be reached
// through the A functions: looking it up fails with ERROR_FILE_NOT_FOUND, creating it with
// ERROR_INVALID_NAME. Converting back and comparing makes sure that a best-fit replacement
// ("Ω" as "O") never names another file.
//
// The library's other W imports fail on the 9x family where it copes with that
// (tests/imports-allowed.txt says how).
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <atomic>

#include "import_slot.h"
#include "late.h"

namespace {

std::atomic<int> g_forced{-1};  // UnrarShimForce9x

bool On9x() {
  static const bool family9x = (GetVersion() & 0x80000000u) != 0;
  int forced = g_forced.load(std::memory_order_relaxed);
  return forced >= 0 ? forced != 0 : family9x;
}

// The real W function (NT family).
template <typename Fn, typename Result, typename... Args>
Result CallW(Late& late, Result failure, Args... args) {
  Fn real = late.Get<Fn>();
  return real ? real(args...) : NotImplemented<Result>(failure);
}

// Room for any 9x path in a double-byte code page, with margin.
constexpr int kAnsiSize = 1024;

UINT FileCodePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

// count wide characters of text (-1: through its null) in code page cp, into out: the number of
// bytes, or -1 when the text has no exact form there or does not fit in size bytes.
int Narrow(UINT cp, LPCWSTR text, int count, char* out, int size) {
  if (count == 0) return 0;
  int bytes = WideCharToMultiByte(cp, 0, text, count, out, size, nullptr, nullptr);
  if (bytes == 0) return -1;
  WCHAR back[kAnsiSize];
  int chars = MultiByteToWideChar(cp, 0, out, bytes, back, kAnsiSize);
  int expected = count >= 0 ? count : static_cast<int>(wcslen(text)) + 1;
  if (chars != expected || memcmp(back, text, chars * sizeof(WCHAR)) != 0) return -1;
  return bytes;
}

// A file name for the A functions; when it has none, ok() is false and the last error is
// `error`. A null name stays null.
class AnsiName {
 public:
  AnsiName(LPCWSTR name, DWORD error) : null_(name == nullptr) {
    ok_ = null_ || Narrow(FileCodePage(), name, -1, text_, sizeof text_) >= 0;
    if (!ok_) SetLastError(error);
  }
  bool ok() const { return ok_; }
  const char* get() const { return null_ ? nullptr : text_; }

 private:
  bool null_;
  bool ok_;
  char text_[kAnsiSize];
};

// An A function's text result in a wide buffer of size characters, reported as the W functions
// do: the length without the null when it fits, else the size needed with it.
DWORD Widen(const char* text, LPWSTR out, DWORD size) {
  UINT cp = FileCodePage();
  int needed = MultiByteToWideChar(cp, 0, text, -1, nullptr, 0);
  if (needed == 0) return 0;
  if (out == nullptr || size < static_cast<DWORD>(needed)) return needed;
  MultiByteToWideChar(cp, 0, text, -1, out, needed);
  return needed - 1;
}

// The length an A function returned for a buffer of kAnsiSize bytes, as a result for Widen: false
// (and 0 for the caller) on failure, or when even our buffer was too small (no 9x path is).
bool AnsiResult(DWORD length) {
  if (length >= static_cast<DWORD>(kAnsiSize)) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return length != 0 && length < static_cast<DWORD>(kAnsiSize);
}

// ---- Files and folders ----

Late g_createFileW("kernel32.dll", "CreateFileW", false);
HANDLE WINAPI CreateFileW_9x(LPCWSTR name, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                             HANDLE templateFile) {
  if (!On9x()) {
    return CallW<decltype(&::CreateFileW)>(g_createFileW, INVALID_HANDLE_VALUE, name, access, share,
                                           security, disposition, flags, templateFile);
  }
  bool existing = disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING;
  AnsiName ansi(name, existing ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
  if (!ansi.ok()) return INVALID_HANDLE_VALUE;
  return CreateFileA(ansi.get(), access, share, security, disposition, flags, templateFile);
}

Late g_getFileAttributesW("kernel32.dll", "GetFileAttributesW", false);
DWORD WINAPI GetFileAttributesW_9x(LPCWSTR name) {
  if (!On9x()) {
    return CallW<decltype(&::GetFileAttributesW)>(g_getFileAttributesW, INVALID_FILE_ATTRIBUTES,
                                                  name);
  }
  AnsiName ansi(name, ERROR_FILE_NOT_FOUND);
  return ansi.ok() ? GetFileAttributesA(ansi.get()) : INVALID_FILE_ATTRIBUTES;
}

Late g_setFileAttributesW("kernel32.dll", "SetFileAttributesW", false);
BOOL WINAPI SetFileAttributesW_9x(LPCWSTR name, DWORD attributes) {
  if (!On9x()) {
    return CallW<decltype(&::SetFileAttributesW)>(g_setFileAttributesW, FALSE, name, attributes);
  }
  AnsiName ansi(name, ERROR_FILE_NOT_FOUND);
  return ansi.ok() && SetFileAttributesA(ansi.get(), attributes);
}

Late g_createDirectoryW("kernel32.dll", "CreateDirectoryW", false);
BOOL WINAPI CreateDirectoryW_9x(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
  if (!On9x()) {
    return CallW<decltype(&::CreateDirectoryW)>(g_createDirectoryW, FALSE, name, security);
  }
  AnsiName ansi(name, ERROR_INVALID_NAME);
  return ansi.ok() && CreateDirectoryA(ansi.get(), security);
}

Late g_removeDirectoryW("kernel32.dll", "RemoveDirectoryW", false);
BOOL WINAPI RemoveDirectoryW_9x(LPCWSTR name) {
  if (!On9x()) return CallW<decltype(&::RemoveDirectoryW)>(g_removeDirectoryW, FALSE, name);
  AnsiName ansi(name, ERROR_FILE_NOT_FOUND);
  return ansi.ok() && RemoveDirectoryA(ansi.get());
}

Late g_deleteFileW("kernel32.dll", "DeleteFileW", false);
BOOL WINAPI DeleteFileW_9x(LPCWSTR name) {
  if (!On9x()) return CallW<decltype(&::DeleteFileW)>(g_deleteFileW, FALSE, name);
  AnsiName ansi(name, ERROR_FILE_NOT_FOUND);
  return ansi.ok() && DeleteFileA(ansi.get());
}

Late g_moveFileW("kernel32.dll", "MoveFileW", false);
BOOL WINAPI MoveFileW_9x(LPCWSTR from, LPCWSTR to) {
  if (!On9x()) return CallW<decltype(&::MoveFileW)>(g_moveFileW, FALSE, from, to);
  AnsiName source(from, ERROR_FILE_NOT_FOUND);
  if (!source.ok()) return FALSE;
  AnsiName target(to, ERROR_INVALID_NAME);
  return target.ok() && MoveFileA(source.get(), target.get());
}

void WidenFindData(const WIN32_FIND_DATAA& ansi, WIN32_FIND_DATAW* wide) {
  wide->dwFileAttributes = ansi.dwFileAttributes;
  wide->ftCreationTime = ansi.ftCreationTime;
  wide->ftLastAccessTime = ansi.ftLastAccessTime;
  wide->ftLastWriteTime = ansi.ftLastWriteTime;
  wide->nFileSizeHigh = ansi.nFileSizeHigh;
  wide->nFileSizeLow = ansi.nFileSizeLow;
  wide->dwReserved0 = ansi.dwReserved0;
  wide->dwReserved1 = ansi.dwReserved1;
  // Never longer in characters than in bytes: both fit.
  UINT cp = FileCodePage();
  MultiByteToWideChar(cp, 0, ansi.cFileName, -1, wide->cFileName, MAX_PATH);
  MultiByteToWideChar(cp, 0, ansi.cAlternateFileName, -1, wide->cAlternateFileName, 14);
}

Late g_findFirstFileW("kernel32.dll", "FindFirstFileW", false);
HANDLE WINAPI FindFirstFileW_9x(LPCWSTR mask, LPWIN32_FIND_DATAW data) {
  if (!On9x()) {
    return CallW<decltype(&::FindFirstFileW)>(g_findFirstFileW, INVALID_HANDLE_VALUE, mask, data);
  }
  AnsiName ansi(mask, ERROR_FILE_NOT_FOUND);
  if (!ansi.ok()) return INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(ansi.get(), &found);
  if (find != INVALID_HANDLE_VALUE) WidenFindData(found, data);
  return find;
}

Late g_findNextFileW("kernel32.dll", "FindNextFileW", false);
BOOL WINAPI FindNextFileW_9x(HANDLE find, LPWIN32_FIND_DATAW data) {
  if (!On9x()) return CallW<decltype(&::FindNextFileW)>(g_findNextFileW, FALSE, find, data);
  WIN32_FIND_DATAA found;  // the handle is FindFirstFileA's
  if (!FindNextFileA(find, &found)) return FALSE;
  WidenFindData(found, data);
  return TRUE;
}

Late g_getDriveTypeW("kernel32.dll", "GetDriveTypeW", false);
UINT WINAPI GetDriveTypeW_9x(LPCWSTR root) {
  if (!On9x()) return CallW<decltype(&::GetDriveTypeW)>(g_getDriveTypeW, 0u, root);
  AnsiName ansi(root, ERROR_INVALID_NAME);
  return ansi.ok() ? GetDriveTypeA(ansi.get()) : DRIVE_NO_ROOT_DIR;
}

// ---- Paths ----

Late g_getFullPathNameW("kernel32.dll", "GetFullPathNameW", false);
DWORD WINAPI GetFullPathNameW_9x(LPCWSTR name, DWORD size, LPWSTR out, LPWSTR* filePart) {
  if (!On9x()) {
    return CallW<decltype(&::GetFullPathNameW)>(g_getFullPathNameW, DWORD{0}, name, size, out,
                                                filePart);
  }
  AnsiName ansi(name, ERROR_INVALID_NAME);
  if (!ansi.ok()) return 0;
  char full[kAnsiSize];
  char* part = nullptr;
  if (!AnsiResult(GetFullPathNameA(ansi.get(), sizeof full, full, &part))) return 0;
  DWORD length = Widen(full, out, size);
  if (length < size && filePart != nullptr) {
    int before = part != nullptr && part > full
                     ? MultiByteToWideChar(FileCodePage(), 0, full, static_cast<int>(part - full),
                                           nullptr, 0)
                     : 0;
    *filePart = part != nullptr ? out + before : nullptr;
  }
  return length;
}

Late g_getShortPathNameW("kernel32.dll", "GetShortPathNameW", false);
DWORD WINAPI GetShortPathNameW_9x(LPCWSTR name, LPWSTR out, DWORD size) {
  if (!On9x()) {
    return CallW<decltype(&::GetShortPathNameW)>(g_getShortPathNameW, DWORD{0}, name, out, size);
  }
  AnsiName ansi(name, ERROR_FILE_NOT_FOUND);
  if (!ansi.ok()) return 0;
  char shortName[kAnsiSize];
  if (!AnsiResult(GetShortPathNameA(ansi.get(), shortName, sizeof shortName))) return 0;
  return Widen(shortName, out, size);
}

Late g_getCurrentDirectoryW("kernel32.dll", "GetCurrentDirectoryW", false);
DWORD WINAPI GetCurrentDirectoryW_9x(DWORD size, LPWSTR out) {
  if (!On9x()) {
    return CallW<decltype(&::GetCurrentDirectoryW)>(g_getCurrentDirectoryW, DWORD{0}, size, out);
  }
  char folder[kAnsiSize];
  if (!AnsiResult(GetCurrentDirectoryA(sizeof folder, folder))) return 0;
  return Widen(folder, out, size);
}

Late g_getModuleFileNameW("kernel32.dll", "GetModuleFileNameW", false);
DWORD WINAPI GetModuleFileNameW_9x(HMODULE module, LPWSTR out, DWORD size) {
  if (!On9x()) {
    return CallW<decltype(&::GetModuleFileNameW)>(g_getModuleFileNameW, DWORD{0}, module, out,
                                                  size);
  }
  char path[kAnsiSize];
  if (!AnsiResult(GetModuleFileNameA(module, path, sizeof path))) return 0;
  DWORD length = Widen(path, out, size);
  if (length < size) return length;
  // Too small: truncated and terminated, as the W function does.
  if (size == 0) return 0;
  WCHAR wide[kAnsiSize];
  MultiByteToWideChar(FileCodePage(), 0, path, -1, wide, kAnsiSize);
  memcpy(out, wide, (size - 1) * sizeof(WCHAR));
  out[size - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

// ---- Case ----

// One character in the other case through the ANSI functions; as it is when it has no
// single-byte ANSI form.
WCHAR ChangeCase(WCHAR c, bool upper) {
  if (c < 0x80) {
    if (upper && c >= 'a' && c <= 'z') return static_cast<WCHAR>(c - 'a' + 'A');
    if (!upper && c >= 'A' && c <= 'Z') return static_cast<WCHAR>(c - 'A' + 'a');
    return c;
  }
  char byte;
  if (Narrow(CP_ACP, &c, 1, &byte, 1) != 1) return c;
  // The A functions take a single character in the low word of the pointer.
  LPSTR one = reinterpret_cast<LPSTR>(static_cast<UINT_PTR>(static_cast<unsigned char>(byte)));
  char changed =
      static_cast<char>(reinterpret_cast<UINT_PTR>(upper ? CharUpperA(one) : CharLowerA(one)));
  WCHAR result;
  return MultiByteToWideChar(CP_ACP, 0, &changed, 1, &result, 1) == 1 ? result : c;
}

// CharUpperW and CharLowerW on 9x: a string in place, or one character in the low word.
LPWSTR ChangeCaseW(LPWSTR text, bool upper) {
  UINT_PTR value = reinterpret_cast<UINT_PTR>(text);
  if (HIWORD(value) == 0) {
    WCHAR c = ChangeCase(static_cast<WCHAR>(value), upper);
    return reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(c));
  }
  for (LPWSTR c = text; *c != 0; ++c) *c = ChangeCase(*c, upper);
  return text;
}

Late g_charUpperW("user32.dll", "CharUpperW", true);
LPWSTR WINAPI CharUpperW_9x(LPWSTR text) {
  if (!On9x()) return CallW<decltype(&::CharUpperW)>(g_charUpperW, LPWSTR{nullptr}, text);
  return ChangeCaseW(text, true);
}

Late g_charLowerW("user32.dll", "CharLowerW", true);
LPWSTR WINAPI CharLowerW_9x(LPWSTR text) {
  if (!On9x()) return CallW<decltype(&::CharLowerW)>(g_charLowerW, LPWSTR{nullptr}, text);
  return ChangeCaseW(text, false);
}

// Texts that have no ANSI form: compared character by character (in upper case when asked to
// ignore case), so that equal names still compare equal.
int CompareByCharacter(DWORD flags, LPCWSTR a, int aCount, LPCWSTR b, int bCount) {
  size_t aLength = aCount >= 0 ? static_cast<size_t>(aCount) : wcslen(a);
  size_t bLength = bCount >= 0 ? static_cast<size_t>(bCount) : wcslen(b);
  for (size_t i = 0; i < aLength && i < bLength; ++i) {
    WCHAR x = (flags & NORM_IGNORECASE) ? ChangeCase(a[i], true) : a[i];
    WCHAR y = (flags & NORM_IGNORECASE) ? ChangeCase(b[i], true) : b[i];
    if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (aLength == bLength) return CSTR_EQUAL;
  return aLength < bLength ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

Late g_compareStringW("kernel32.dll", "CompareStringW", false);
int WINAPI CompareStringW_9x(LCID locale, DWORD flags, LPCWSTR a, int aCount, LPCWSTR b,
                             int bCount) {
  if (!On9x()) {
    return CallW<decltype(&::CompareStringW)>(g_compareStringW, 0, locale, flags, a, aCount, b,
                                              bCount);
  }
  char aAnsi[kAnsiSize];
  char bAnsi[kAnsiSize];
  int aBytes = Narrow(CP_ACP, a, aCount, aAnsi, sizeof aAnsi);
  int bBytes = Narrow(CP_ACP, b, bCount, bAnsi, sizeof bAnsi);
  if (aBytes < 0 || bBytes < 0) return CompareByCharacter(flags, a, aCount, b, bCount);
  return CompareStringA(locale, flags, aAnsi, aCount >= 0 ? aBytes : -1, bAnsi,
                        bCount >= 0 ? bBytes : -1);
}

}  // namespace

// Test hook: 1 takes the 9x family's way, 0 the NT family's, -1 what the system reports again.
extern "C" void UnrarShimForce9x(int family9x) {
  g_forced.store(family9x, std::memory_order_relaxed);
}

ZS_IMPORT_SLOT(CreateFileW, 28, CreateFileW_9x);
ZS_IMPORT_SLOT(GetFileAttributesW, 4, GetFileAttributesW_9x);
ZS_IMPORT_SLOT(SetFileAttributesW, 8, SetFileAttributesW_9x);
ZS_IMPORT_SLOT(CreateDirectoryW, 8, CreateDirectoryW_9x);
ZS_IMPORT_SLOT(RemoveDirectoryW, 4, RemoveDirectoryW_9x);
ZS_IMPORT_SLOT(DeleteFileW, 4, DeleteFileW_9x);
ZS_IMPORT_SLOT(MoveFileW, 8, MoveFileW_9x);
ZS_IMPORT_SLOT(FindFirstFileW, 8, FindFirstFileW_9x);
ZS_IMPORT_SLOT(FindNextFileW, 8, FindNextFileW_9x);
ZS_IMPORT_SLOT(GetDriveTypeW, 4, GetDriveTypeW_9x);
ZS_IMPORT_SLOT(GetFullPathNameW, 16, GetFullPathNameW_9x);
ZS_IMPORT_SLOT(GetShortPathNameW, 12, GetShortPathNameW_9x);
ZS_IMPORT_SLOT(GetCurrentDirectoryW, 8, GetCurrentDirectoryW_9x);
ZS_IMPORT_SLOT(GetModuleFileNameW, 12, GetModuleFileNameW_9x);
ZS_IMPORT_SLOT(CharUpperW, 4, CharUpperW_9x);
ZS_IMPORT_SLOT(CharLowerW, 4, CharLowerW_9x);
ZS_IMPORT_SLOT(CompareStringW, 24, CompareStringW_9x);
