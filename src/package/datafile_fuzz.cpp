// Fuzz target: the bytes of data.dat, split into files kept in memory. Every file made must have
// a name that stays in the working folder and is not data.dat itself, hold exactly its bytes of
// the archive, and no file whose copy failed may stay.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "package/datafile.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "datafile_fuzz: %s\n", what);
    abort();
  }
}

// The working folder "C:\Users\Name\AppData\Local\Temp\ZSetup\" has about this many characters.
const size_t kFolderLength = 40;

// The file system's view of a name: letters without case, without the trailing dots and blanks
// that Windows drops.
std::string Key(const std::string& name) {
  std::string key = name;
  while (!key.empty() && (key.back() == '.' || key.back() == ' ')) key.pop_back();
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return key;
}

struct Memory {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  std::map<std::string, std::string> files;
  std::string current;  // key of the file being written, empty when none
  size_t started = 0;   // archive offset of its first byte
  bool open = false;
};

bool Read(void* context, void* buffer, uint32_t n) {
  Memory* m = static_cast<Memory*>(context);
  if (n > m->size - m->pos) return false;
  memcpy(buffer, m->data + m->pos, n);
  m->pos += n;
  return true;
}

bool Create(void* context, const char* name) {
  Memory* m = static_cast<Memory*>(context);
  Check(!m->open, "one file at a time");
  size_t length = strnlen(name, 260);
  Check(length > 0 && length < DATA_NAME_FIELD, "the name ends inside its field");
  Check(strpbrk(name, "\\/:") == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0,
        "a plain name");
  Check(Key(name) != "DATA.DAT", "never data.dat itself");
  Check(kFolderLength + length <= 259, "the path fits");
  m->current = Key(name);
  m->files[m->current].clear();
  m->started = m->pos;
  m->open = true;
  return true;
}

bool Write(void* context, const void* data, uint32_t n) {
  Memory* m = static_cast<Memory*>(context);
  Check(m->open && n <= 10000, "writes in blocks into an open file");
  m->files[m->current].append(static_cast<const char*>(data), n);
  return true;
}

bool Close(void* context, bool ok) {
  Memory* m = static_cast<Memory*>(context);
  Check(m->open, "closes the open file");
  const std::string& written = m->files[m->current];
  // The size field is the last but one field of the entry's header, just before the data.
  int32_t size;
  memcpy(&size, m->data + m->started - 8, 4);
  if (ok) {
    Check(written.size() == static_cast<size_t>(size), "all bytes written");
    Check(memcmp(written.data(), m->data + m->started, written.size()) == 0, "the entry's bytes");
  } else {
    m->files.erase(m->current);
  }
  m->open = false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Memory m;
  m.data = data;
  m.size = size;
  DataSplitIo io = {&m, Read, Create, Write, Close};
  int result = DataSplitWalk(&io, kFolderLength);
  Check(!m.open, "every file closed");
  if (result == 1) {
    // Every entry the header counts was read whole.
    int32_t count = 0;
    if (size >= 4) memcpy(&count, data, 4);
    Check(size >= DATA_HEADER_SIZE, "a header");
    Check(count <= 0 || m.pos > DATA_HEADER_SIZE, "entries read");
  }
  return 0;
}
