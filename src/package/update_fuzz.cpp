// Fuzz target: the bytes of an update container. The search must find what a plain reading of
// the format finds, and the payload check must accept exactly the payloads that lie inside the
// bytes with the CRC-32 that the information section gives.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "package/update.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "update_fuzz: %s\n", what);
    abort();
  }
}

bool EqualNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// The format read the slow way: every position tried in turn.
bool Reference(const char* d, long size, long* section, long* marker) {
  *section = -1;
  for (long i = 0; i + 13 <= size && *section < 0; ++i) {
    if (EqualNoCase(d + i, "[update_info]", 13)) *section = i;
  }
  if (*section < 0) return false;
  for (long i = *section; i + 17 <= size; ++i) {
    if (EqualNoCase(d + i, "[update_data]", 13) && memcmp(d + i + 13, "\r\n\x1a", 4) == 0) {
      *marker = i;
      return true;
    }
  }
  return false;
}

uint32_t BitwiseCrc(const unsigned char* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// The value of "key=" at the start of a line of the section, as far as a line end; the system's
// profile reader stands for this in the product, which only hands its text to UpdateNumber.
std::string Value(const std::string& section, const char* key) {
  size_t n = strlen(key);
  for (size_t at = 0; at < section.size(); ++at) {
    if ((at == 0 || section[at - 1] == '\n') && at + n + 1 <= section.size() &&
        EqualNoCase(section.data() + at, key, n) && section[at + n] == '=') {
      size_t end = section.find_first_of("\r\n", at + n + 1);
      return section.substr(at + n + 1, end == std::string::npos ? end : end - at - n - 1);
    }
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // Only the given bytes may be read: no terminator follows them.
  std::vector<char> bytes(data, data + size);
  const char* d = bytes.data();
  long length = static_cast<long>(size);
  UpdateLayout layout;
  int found = UpdateLocate(d, length, &layout);
  long section = -1, marker = -1;
  Check(found == (Reference(d, length, &section, &marker) ? 1 : 0), "found as the format says");
  if (!found) return 0;
  Check(layout.section == section && layout.marker == marker, "the first section and marker");
  Check(layout.payload == marker + UPDATE_MARKER_SIZE && layout.payload <= length, "payload");

  std::string info(d + section, static_cast<size_t>(marker - section));
  long long fileSize = UpdateNumber(Value(info, "filesize").c_str(), 0);
  uint32_t crc = static_cast<uint32_t>(UpdateNumber(Value(info, "crc").c_str(), -1));
  long long available = length - layout.payload;
  bool inside = fileSize >= 0 && fileSize <= available;
  const unsigned char* payload = data + layout.payload;
  bool expected = inside && BitwiseCrc(payload, inside ? static_cast<size_t>(fileSize) : 0) == crc;
  Check(UpdateCheckPayload(d, length, layout, fileSize, crc) == (expected ? 1 : 0),
        "payload check");
  // A CRC continued over two parts is the CRC of the whole.
  if (inside && fileSize > 1) {
    size_t half = static_cast<size_t>(fileSize) / 2;
    Check(Crc32(Crc32(0, payload, half), payload + half, static_cast<size_t>(fileSize) - half) ==
              BitwiseCrc(payload, static_cast<size_t>(fileSize)),
          "continued CRC");
  }
  return 0;
}
