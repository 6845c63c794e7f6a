#include "str.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

void StrCopyN(char* dest, const char* source, int size) {
  if (size <= 0) return;
  size_t n = strlen(source);
  if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
  memmove(dest, source, n);
  dest[n] = 0;
}

void StrAppendN(char* dest, const char* text, int size) {
  if (size <= 0) return;
  size_t used = strnlen(dest, static_cast<size_t>(size));
  if (used >= static_cast<size_t>(size)) {
    // Not terminated within its size: terminate rather than write past the end.
    dest[size - 1] = 0;
    return;
  }
  StrCopyN(dest + used, text, size - static_cast<int>(used));
}

int StrReplaceAll(char* buffer, int capacity, const char* find, const char* replacement) {
  if (capacity <= 0) return 0;
  size_t findLen = strlen(find);
  if (findLen == 0 || strstr(replacement, find) != nullptr) return 0;
  size_t repLen = strlen(replacement);
  size_t len = strnlen(buffer, static_cast<size_t>(capacity));
  if (len >= static_cast<size_t>(capacity)) return 0;
  int count = 0;
  size_t from = 0;
  for (;;) {
    char* hit = strstr(buffer + from, find);
    if (hit == nullptr) return count;
    size_t pos = static_cast<size_t>(hit - buffer);
    size_t newLen = len - findLen + repLen;
    if (newLen + 1 > static_cast<size_t>(capacity)) return 0;
    memmove(hit + repLen, hit + findLen, len - pos - findLen + 1);
    memcpy(hit, replacement, repLen);
    len = newLen;
    ++count;
    // Rescanning from the start finds nothing before pos - findLen + 1: that prefix is unchanged
    // and held no occurrence, so resuming there gives the same result without quadratic cost.
    from = pos + 1 > findLen ? pos + 1 - findLen : 0;
  }
}

void AddBackslash(char* path, int size) {
  if (size <= 0) return;
  size_t len = strnlen(path, static_cast<size_t>(size));
  if (len == 0 || len >= static_cast<size_t>(size)) return;
  if (path[len - 1] == '\\') return;
  if (len + 2 > static_cast<size_t>(size)) return;
  path[len] = '\\';
  path[len + 1] = 0;
}

size_t Str16Len(const wchar16* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

int WideToAnsi(char* dest, const wchar16* source, int size) {
  if (size <= 0) return 0;
#ifdef _WIN32
  int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(source), -1, dest, size,
                              nullptr, nullptr);
  if (n > 0) return n - 1;
  // Too long for the destination: convert the longest prefix that fits (a unit gives at most
  // two bytes, so at most half the tries are spent shrinking).
  size_t len = Str16Len(source);
  if (len > static_cast<size_t>(size - 1)) len = static_cast<size_t>(size - 1);
  n = 0;
  while (len > 0) {
    n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(source),
                            static_cast<int>(len), dest, size - 1, nullptr, nullptr);
    if (n > 0) break;
    --len;
  }
  dest[n] = 0;
  return n;
#else
  int i = 0;
  for (; i < size - 1 && source[i] != 0; ++i)
    dest[i] = source[i] < 256 ? static_cast<char>(source[i]) : '?';
  dest[i] = 0;
  return i;
#endif
}

int AnsiToWide(wchar16* dest, const char* source, int size) {
  if (size <= 0) return 0;
#ifdef _WIN32
  // Every byte gives at most one unit, so size - 1 bytes always fit.
  size_t len = strnlen(source, static_cast<size_t>(size - 1));
  int n = 0;
  if (len > 0)
    n = MultiByteToWideChar(CP_ACP, 0, source, static_cast<int>(len),
                            reinterpret_cast<wchar_t*>(dest), size - 1);
  dest[n] = 0;
  return n;
#else
  int i = 0;
  for (; i < size - 1 && source[i] != 0; ++i) dest[i] = static_cast<unsigned char>(source[i]);
  dest[i] = 0;
  return i;
#endif
}

namespace {

// The names Windows opens as devices in every folder.
const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$", "CONIN$", "CONOUT$"};

// A device whatever follows the name's first dot, and with blanks before that dot.
bool IsDeviceName(const char* name) {
  const char* dot = strchr(name, '.');
  size_t base = dot != nullptr ? static_cast<size_t>(dot - name) : strlen(name);
  while (base > 0 && name[base - 1] == ' ') --base;
  if (base == 4 &&
      (StrCompareNoCaseAscii(name, "COM", 3) == 0 || StrCompareNoCaseAscii(name, "LPT", 3) == 0)) {
    // COM0 to COM9, LPT0 to LPT9, and with the superscript digits 1, 2 and 3 of the Western
    // code page, which newer systems take as devices too.
    unsigned char digit = static_cast<unsigned char>(name[3]);
    if ((digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
      return true;
    }
  }
  for (const char* device : kDevices) {
    if (strlen(device) == base && StrCompareNoCaseAscii(name, device, base) == 0) return true;
  }
  return false;
}

}  // namespace

int StrIsPlainFileName(const char* name) {
  if (name == nullptr || name[0] == 0) return 0;
  if (strpbrk(name, "\\/:") != nullptr) return 0;
  // The system drops a trailing dot or blank ("..", "x." and "x " name something else), and a
  // device name would open a port or the console instead of a file.
  char last = name[strlen(name) - 1];
  return last != '.' && last != ' ' && !IsDeviceName(name) ? 1 : 0;
}

int StrIsAbsolutePath(const char* path) {
  if (path == nullptr) return 0;
  char d = static_cast<char>(path[0] | 0x20);
  if (d >= 'a' && d <= 'z' && path[1] == ':' && path[2] == '\\') return 1;
  if (path[0] != '\\' || path[1] != '\\') return 0;
  const char* server = path + 2;
  const char* share = strchr(server, '\\');
  if (share == nullptr || share == server) return 0;
  const char* end = strchr(share + 1, '\\');
  return end != nullptr && end != share + 1 ? 1 : 0;
}

namespace {

// A lead byte of a double-byte character of the ANSI code page: its second byte may be a
// backslash or '|' and is part of the name.
bool LeadByte(char c) {
#ifdef _WIN32
  return IsDBCSLeadByte(static_cast<BYTE>(c)) != 0;
#else
  (void)c;
  return false;
#endif
}

}  // namespace

int StrIsFolderBelowRoot(const char* path) {
  if (!StrIsAbsolutePath(path)) return 0;
  const char* c = path + 3;
  if (path[1] != ':') c = strchr(strchr(path + 2, '\\') + 1, '\\') + 1;
  if (*c == 0) return 0;  // the root itself
  char last = '\\';       // the last byte of the name so far, or the backslash before it
  for (; *c != 0; ++c) {
    if (*c == '\\') {
      if (last == '\\' || last == '.' || last == ' ') return 0;
    } else if (static_cast<unsigned char>(*c) < 32 || strchr("/:*?\"<>|", *c) != nullptr) {
      return 0;
    } else if (LeadByte(*c) && c[1] != 0) {
      ++c;
      last = 0;  // a whole character, neither a dot, a blank nor a backslash
      continue;
    }
    last = *c;
  }
  return last == '.' || last == ' ' ? 0 : 1;
}

int StrCompareNoCaseAscii(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int x = static_cast<unsigned char>(a[i]);
    int y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y || x == 0) return x - y;
  }
  return 0;
}

bool StrJoinPath(char* out, int size, const char* folder, const char* name) {
  int folderLen = static_cast<int>(strlen(folder));
  const char* separator = (folderLen > 0 && folder[folderLen - 1] != '\\') ? "\\" : "";
  int n = snprintf(out, size, "%s%s%s", folder, separator, name);
  return n >= 0 && n < size;
}
