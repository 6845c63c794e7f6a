#include "driver/cmdline.h"

#include <stdlib.h>
#include <string.h>

#include "system/str.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// Name and unquoted value characters: from '!' upward, '=' excepted. Bytes above 127 count as
// name characters, so names in the system code page survive.
bool IsNameChar(char c) { return static_cast<unsigned char>(c) >= '!' && c != '='; }

char* SkipBlanks(char* p) {
  while (*p != 0 && IsBlank(*p)) ++p;
  return p;
}

}  // namespace

void CmdUpperCopy(char* dest, const char* text, int size) {
  if (size <= 0) return;
  int i = 0;
  for (; i < size - 1 && text[i] != 0; ++i) {
    char c = text[i];
    dest[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  dest[i] = 0;
}

int CmdFind(const char* text, const char* name) {
  const char* hit = strstr(text, name);
  return hit == nullptr ? -1 : static_cast<int>(hit - text);
}

namespace {

// The value behind a switch's '=': *start at its first character (behind an opening quote), the
// result at its last character's successor (its closing quote, a blank or the end).
const char* ValueBounds(const char* text, const char** start) {
  while (*text == ' ') ++text;
  const char* end;
  if (*text == '"') {
    ++text;
    end = strchr(text, '"');
  } else {
    end = strchr(text, ' ');
  }
  *start = text;
  return end != nullptr ? end : text + strlen(text);
}

}  // namespace

const char* CmdValueEnd(const char* text) {
  const char* start = nullptr;
  const char* end = ValueBounds(text, &start);
  return *end == '"' ? end + 1 : end;
}

void CmdRemoveSwitch(char* text, const char* name) {
  size_t length = strlen(name);
  for (char* p = text; *p != 0;) {
    if (StrCompareNoCaseAscii(p, name, length) != 0) {
      ++p;
      continue;
    }
    const char* end = CmdValueEnd(p + length);
    while (p > text && p[-1] == ' ') --p;
    memmove(p, end, strlen(end) + 1);
    // What stood before may join what follows into the name again ("/PW" + "D=").
    p = static_cast<size_t>(p - text) > length ? p - length : text;
  }
}

void CmdCutValue(const char* text, char* dest, int size) {
  if (size <= 0) return;
  const char* end = ValueBounds(text, &text);
  size_t n = static_cast<size_t>(end - text);
  if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
  memcpy(dest, text, n);
  dest[n] = 0;
}

int CmdFlagPresent(const char* text, const char* name) {
  const char* hit = strstr(text, name);
  if (hit == nullptr) return 0;
  return IsBlank(hit[strlen(name)]) ? 1 : 0;
}

int CmdScanVariables(char* buffer, CmdVariable* vars, int maxCount) {
  int count = 0;
  char* from = buffer;
  while (count < maxCount) {
    char* hit = strstr(from, "/$");
    if (hit == nullptr) break;
    char* p = SkipBlanks(hit + 2);
    if (*p == 0) break;
    char* name = p;
    while (IsNameChar(*p)) ++p;
    char* nameEnd = p;
    if (*p == 0) break;
    p = SkipBlanks(p);
    if (*p != '=') break;
    *nameEnd = 0;  // may be the '=' itself, already passed
    p = SkipBlanks(p + 1);
    if (*p == 0) break;
    char* value;
    char* valueEnd;
    if (*p == '"') {
      value = p + 1;
      valueEnd = strchr(value, '"');
      if (valueEnd == nullptr) break;  // unclosed: this variable and all after it are dropped
    } else {
      value = p;
      valueEnd = p;
      while (IsNameChar(*valueEnd)) ++valueEnd;
    }
    bool endsText = *valueEnd == 0;
    *valueEnd = 0;
    vars[count].name = name;
    vars[count].value = value;
    ++count;
    // A value that ends the text ends the scan: behind its terminator lies no more text.
    if (endsText) break;
    from = valueEnd + 1;
  }
  return count;
}

void CmdSplitServer(const char* text, char* host, int hostSize, int* port) {
  *port = 0;
  if (hostSize <= 0) return;
  const char* colon = strrchr(text, ':');
  size_t length = colon != nullptr ? static_cast<size_t>(colon - text) : strlen(text);
  if (length > static_cast<size_t>(hostSize - 1)) length = static_cast<size_t>(hostSize - 1);
  memcpy(host, text, length);
  host[length] = 0;
  if (colon == nullptr) return;
  char* end = nullptr;
  long value = strtol(colon + 1, &end, 10);
  if (end != colon + 1 && *end == 0 && value >= 0 && value <= 65535)
    *port = static_cast<int>(value);
}

uint16_t CmdCrc16(const char* text, int maxLength) {
  uint16_t crc = 0;
  for (int i = 0; i < maxLength && text[i] != 0; ++i) {
    crc = static_cast<uint16_t>(crc ^ (static_cast<unsigned char>(text[i]) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}
