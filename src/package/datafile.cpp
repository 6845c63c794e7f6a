#include "package/datafile.h"

#include <string.h>

#include "system/str.h"

namespace {

const uint32_t kBlock = 10000;

int32_t GetI32(const unsigned char* at) {
  uint32_t v = static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
               (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
  return static_cast<int32_t>(v);
}

// "data.dat" in any case, with any trailing dots and blanks, which the file system drops from a
// name: the file being read.
bool NamesDataFile(const char* name) {
  size_t n = strlen(name);
  while (n > 0 && (name[n - 1] == '.' || name[n - 1] == ' ')) --n;
  return n == 8 && StrCompareNoCaseAscii(name, "data.dat", 8) == 0;
}

}  // namespace

int DataSplitWalk(const DataSplitIo* io, size_t folderLength) {
  unsigned char header[DATA_HEADER_SIZE];
  if (!io->read(io->context, header, sizeof header)) return 0;
  int32_t count = GetI32(header);
  static char block[kBlock];
  for (int32_t e = 0; e < count; ++e) {
    unsigned char entry[DATA_ENTRY_SIZE];
    if (!io->read(io->context, entry, sizeof entry)) return 0;
    int32_t size = GetI32(entry + DATA_NAME_FIELD);
    const char* stored = reinterpret_cast<const char*>(entry);
    if (size < 0 || memchr(stored, 0, DATA_NAME_FIELD) == nullptr || !StrIsPlainFileName(stored) ||
        NamesDataFile(stored) || folderLength + strlen(stored) > 259) {
      return 0;
    }
    if (!io->create(io->context, stored)) return 0;
    bool ok = true;
    for (int32_t left = size; ok && left > 0;) {
      uint32_t part = left > static_cast<int32_t>(kBlock) ? kBlock : static_cast<uint32_t>(left);
      ok = io->read(io->context, block, part) && io->write(io->context, block, part);
      left -= static_cast<int32_t>(part);
    }
    if (!io->close(io->context, ok) || !ok) return 0;
  }
  return 1;
}
