#include "package/update.h"

#include <stdlib.h>
#include <string.h>

#include "system/str.h"

namespace {

struct CrcTable {
  uint32_t entry[256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[i] = c;
    }
  }
};

const CrcTable kCrc;

// The first "[" at or after from whose next len bytes equal text ignoring case; -1 when none lies
// wholly inside the buffer.
long FindBracketed(const char* data, long size, long from, const char* text, long len) {
  for (long i = from; i + len <= size; ++i) {
    if (data[i] != '[') continue;
    // The locale-independent comparison of the system is missing on the older systems.
    if (StrCompareNoCaseAscii(data + i, text, static_cast<size_t>(len)) == 0) return i;
  }
  return -1;
}

// The marker's letters compare ignoring case; its last four bytes exactly.
long FindMarker(const char* data, long size, long from) {
  static const char kTail[4] = {'\r', '\n', 0x1A, 0};
  for (long at = from;; ++at) {
    at = FindBracketed(data, size, at, "[update_data]", 13);
    if (at < 0 || at + UPDATE_MARKER_SIZE > size) return -1;
    if (memcmp(data + at + 13, kTail, 4) == 0) return at;
  }
}

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = kCrc.entry[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

int UpdateLocate(const char* data, long size, UpdateLayout* layout) {
  long section = FindBracketed(data, size, 0, "[update_info]", 13);
  if (section < 0) return 0;
  long marker = FindMarker(data, size, section);
  if (marker < 0) return 0;
  layout->section = section;
  layout->marker = marker;
  layout->payload = marker + UPDATE_MARKER_SIZE;
  return 1;
}

long long UpdateNumber(const char* text, long long fallback) {
  char* end = nullptr;
  long long value = strtoll(text, &end, 10);
  return end == text ? fallback : value;
}

int UpdateCheckPayload(const char* data, long size, const UpdateLayout& layout, long long fileSize,
                       uint32_t expectedCrc) {
  long long available = static_cast<long long>(size) - layout.payload;
  if (fileSize < 0 || fileSize > available) return 0;
  const char* payload = data + layout.payload;
  uint32_t actual = fileSize == 0 ? 0 : Crc32(0, payload, static_cast<size_t>(fileSize));
  return actual == expectedCrc ? 1 : 0;
}
