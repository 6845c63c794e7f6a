// The journal of what a run creates, and taking back what a run cut short made.
#include "install/journal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "run/log.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/str.h"

namespace {

// The journal's path: the temporary folder + "zrvjournal.txt"; false when it does not fit.
bool JournalPath(char* path) {
  DWORD n = GetTempPathA(MAX_PATH, path);
  if (n == 0 || n >= MAX_PATH) return false;
  StrAppendN(path, "zrvjournal.txt", MAX_PATH);
  return strlen(path) < MAX_PATH - 1;
}

bool Present(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// A kind letter, a blank, the path and the line's end.
void Add(SetupJournalLines* lines, char kind, const char* path) {
  size_t need = lines->length + strlen(path) + 5;
  if (need > lines->capacity) {
    size_t grown = lines->capacity == 0 ? 4096 : lines->capacity;
    while (grown < need) grown *= 2;
    char* block = static_cast<char*>(realloc(lines->text, grown));
    if (block == nullptr) {
      lines->ok = false;
      return;
    }
    lines->text = block;
    lines->capacity = grown;
  }
  lines->length += static_cast<size_t>(snprintf(
      lines->text + lines->length, lines->capacity - lines->length, "%c %s\r\n", kind, path));
}

}  // namespace

SetupJournalLines::~SetupJournalLines() { free(text); }

void SetupJournalLines::File(const char* path) {
  char folder[MAX_PATH];
  StrCopyN(folder, path, sizeof folder);
  char* slash = strrchr(folder, '\\');
  bool folderThere = true;
  if (slash != nullptr) {
    *slash = 0;
    folderThere = Folder(folder);
  }
  // Nothing is there in a folder that is not.
  Add(this, folderThere && Present(path) ? 'A' : 'F', path);
}

bool SetupJournalLines::Folder(const char* path) {
  char folder[MAX_PATH];
  StrCopyN(folder, path, sizeof folder);
  size_t length = strlen(folder);
  while (length > 3 && folder[length - 1] == '\\') folder[--length] = 0;
  if (length <= 3) return true;
  // Without the table every file of a new folder would look at the folder and its parents again
  // and write them again.
  int known = folders.Find(folder);
  if (known >= 0) return known == 1;
  bool there = Present(folder);
  if (!there) {
    char parent[MAX_PATH];
    StrCopyN(parent, folder, sizeof parent);
    char* slash = strrchr(parent, '\\');
    if (slash != nullptr) {
      *slash = 0;
      Folder(parent);
    }
    Add(this, 'D', folder);
  }
  folders.Set(folder, there ? 1 : 0);
  return there;
}

int SetupJournalWrite(const SetupJournalLines& lines) {
  if (!lines.ok) return 0;
  if (lines.length == 0) return 1;
  char path[MAX_PATH];
  if (!JournalPath(path)) return 0;
  HandleGuard file(SysCreateFile(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH));
  if (file.handle == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  return SysWriteFile(file.handle, path, lines.text, static_cast<DWORD>(lines.length), &written) &&
                 written == lines.length
             ? 1
             : 0;
}

int SetupJournalFile(const char* path) {
  SetupJournalLines lines;
  lines.File(path);
  return SetupJournalWrite(lines);
}

int SetupJournalFolder(const char* path) {
  SetupJournalLines lines;
  lines.Folder(path);
  return SetupJournalWrite(lines);
}

void SetupRecoverCopies() {
  char path[MAX_PATH];
  if (!JournalPath(path)) return;
  HeapGuard<char> text;
  DWORD got = 0;
  {
    HandleGuard file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) return;
    DWORD size = GetFileSize(file.handle, nullptr);
    if (size == INVALID_FILE_SIZE) return;
    text.block = static_cast<char*>(malloc(size + 1));
    if (text.block == nullptr || !ReadFile(file.handle, text.block, size, &got, nullptr)) return;
  }
  text.block[got] = 0;
  SetupLogError("Taking back what a run cut short made: %s", path);
  // Only whole lines count: the last one may have been cut by the end of the run that wrote it,
  // and a cut path could name another file.
  HeapGuard<char*> lines(static_cast<char**>(malloc((got / 3 + 1) * sizeof(char*))));
  if (lines.block == nullptr) return;
  int count = 0;
  for (char* line = text.block; *line != 0;) {
    char* end = strchr(line, '\n');
    if (end == nullptr) break;
    *end = 0;
    if (end > line && end[-1] == '\r') end[-1] = 0;
    if (line[0] != 0 && line[1] == ' ' && StrIsAbsolutePath(line + 2)) lines.block[count++] = line;
    line = end + 1;
  }
  // Files first, then the folders from the last line to the first: the deepest first.
  for (int i = 0; i < count; ++i) {
    const char* target = lines.block[i] + 2;
    if (lines.block[i][0] == 'F' && Present(target)) {
      FileDeleteOrSchedule(target);
    } else if (lines.block[i][0] == 'A') {
      FileDeleteStrayAlternates(target);
    }
  }
  for (int i = count - 1; i >= 0; --i) {
    if (lines.block[i][0] == 'D' && Present(lines.block[i] + 2)) {
      SysRemoveDirectory(lines.block[i] + 2);
    }
  }
  SetupForgetCopies();
}

void SetupForgetCopies() {
  char path[MAX_PATH];
  if (JournalPath(path) && Present(path)) FileDeleteRetry(path);
}
