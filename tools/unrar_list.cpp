// Test tool: zsunrar.exe ARCHIVE lists the archive's entries, one name a line, through the UnRAR
// library; exit 0 when the walk reached the end of the archive, else the library's error code.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <dll.hpp>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  RAROpenArchiveDataEx open;
  memset(&open, 0, sizeof open);
  open.ArcName = argv[1];
  open.OpenMode = RAR_OM_LIST;
  HANDLE archive = RAROpenArchiveEx(&open);
  if (archive == nullptr || open.OpenResult != 0) return open.OpenResult != 0 ? open.OpenResult : 1;
  RARHeaderDataEx header;
  memset(&header, 0, sizeof header);
  int rc;
  while ((rc = RARReadHeaderEx(archive, &header)) == 0) {
    printf("%s\n", header.FileName);
    rc = RARProcessFile(archive, RAR_SKIP, nullptr, nullptr);
    if (rc != 0) break;
  }
  RARCloseArchive(archive);
  return rc == ERAR_END_ARCHIVE ? 0 : rc;
}
