// The walk of data.dat, the simple archive the data pieces join into, with its reads and writes
// handed to the caller. Portable (no system calls), so the native build fuzzes it; the files are
// handled in layout.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Sizes of the archive's header and of each entry's header; the entry's name fills the first
// DATA_NAME_FIELD bytes of its header.
enum { DATA_HEADER_SIZE = 8, DATA_ENTRY_SIZE = 208, DATA_NAME_FIELD = 200 };

// What the walk asks of its caller. Each returns false on failure.
struct DataSplitIo {
  void* context;
  // Reads exactly n bytes of data.dat; a short read is a failure.
  bool (*read)(void* context, void* buffer, uint32_t n);
  // Creates the named file in the working folder, replacing an old one.
  bool (*create)(void* context, const char* name);
  bool (*write)(void* context, const void* data, uint32_t n);
  // Closes the file created last; with ok false (its copy failed) it also deletes it, so that a
  // short file never passes for a complete one.
  bool (*close)(void* context, bool ok);
};

// Copies every entry of data.dat into its own file, in blocks of at most 10000 bytes. A name must
// end inside its field, be a plain file name other than data.dat itself (the file being read, in
// any spelling the file system takes for it), and fit after a working folder of folderLength
// characters in a path. 1 when every entry was written, 0 at the first failure.
int DataSplitWalk(const DataSplitIo* io, size_t folderLength);
