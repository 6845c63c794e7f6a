// File operations with retries and replacement at the next restart.
#include "system/files.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "system/guards.h"
#include "system/hook.h"
#include "system/libload.h"
#include "system/os.h"
#include "system/progress.h"
#include "system/str.h"
#include "system/workers.h"

namespace {

const DWORD kRetryWaitMs = 300;
const DWORD kWininitSectionSize = 0x7FFF;

FileSleepHook g_sleepHook = nullptr;

// The 300 ms pause of the delete and copy loops.
void RetrySleep() {
  if (g_sleepHook) {
    g_sleepHook(kRetryWaitMs);
  } else {
    Sleep(kRetryWaitMs);
  }
}

// The pause of FileOpenRetry, which keeps the user interface alive while it waits.
void RetryWaitPumping() {
  if (g_sleepHook) {
    g_sleepHook(kRetryWaitMs);
  } else {
    SysWaitPumping(kRetryWaitMs);
  }
}

struct FindGuard {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~FindGuard() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

// DecryptFileA, which the oldest systems lack, resolved once by FileResolveDecrypt and only read
// afterwards, also by the copy workers.
typedef BOOL(WINAPI* DecryptFileFn)(LPCSTR, DWORD);
bool g_decryptResolved = false;
DecryptFileFn g_decrypt = nullptr;
const FileDecryptHooks* g_decryptHooks = nullptr;

// Copies the text before the last backslash of path into out; false when there is no backslash
// or the text does not fit.
bool ParentFolder(char* out, int size, const char* path) {
  const char* slash = strrchr(path, '\\');
  if (!slash) return false;
  int len = static_cast<int>(slash - path);
  if (len >= size) return false;
  memcpy(out, path, len);
  out[len] = 0;
  return true;
}

// The alternate name FileCopyBeside gives target, up to its counter; false when it has none.
bool AlternateStem(const char* target, char* alternate, char** counterAt) {
  size_t len = strlen(target);
  if (len >= MAX_PATH) return false;
  memcpy(alternate, target, len + 1);
  // Only the file name counts: a dot in a folder name must not move the copy elsewhere.
  char* name = strrchr(alternate, '\\');
  name = name ? name + 1 : alternate;
  char* dot = strrchr(name, '.');
  if (!dot) return false;
  *counterAt = dot[1] ? dot + 2 : dot + 1;  // keeps the extension's first character
  *name = '_';
  return true;
}

// Appends "destination=source" and the list's ending zero to a profile section read by
// GetPrivateProfileSectionA (length = bytes read, without the final zero). False when the section
// may have been cut short by the buffer, or the new line does not fit: writing it back then
// would lose lines.
bool AppendRenameLine(char* section, DWORD capacity, DWORD length, const char* destination,
                      const char* source) {
  if (length >= capacity - 2) return false;
  DWORD room = capacity - length;  // bytes left from the end of the last line
  int n = snprintf(section + length, room, "%s=%s", destination, source);
  // The line, its terminator and the zero that ends the list.
  if (n < 0 || static_cast<DWORD>(n) + 2 > room) {
    section[length] = 0;
    return false;
  }
  section[length + n + 1] = 0;
  return true;
}

// The 9x family: wininit.ini's path and the short name its "rename" lines give existing by.
bool WininitNames(const char* existing, char (&ini)[MAX_PATH], char (&shortSource)[MAX_PATH]) {
  char windows[MAX_PATH];
  UINT n = GetWindowsDirectoryA(windows, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  if (!StrJoinPath(ini, MAX_PATH, windows, "wininit.ini")) return false;
  n = GetShortPathNameA(existing, shortSource, MAX_PATH);
  return n != 0 && n < MAX_PATH;
}

// The 9x family: schedules a move or deletion through the "rename" section of "wininit.ini".
int ScheduleInWininit(const char* existing, const char* newPath) {
  char ini[MAX_PATH];
  char shortSource[MAX_PATH];
  if (!WininitNames(existing, ini, shortSource)) return 0;

  char shortTarget[MAX_PATH];
  const char* destination = "NUL";
  if (newPath) {
    DWORD n = GetShortPathNameA(newPath, shortTarget, MAX_PATH);
    if (n == 0) {
      DWORD error = GetLastError();
      // A target that does not exist yet is free: the move can happen now.
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return SysMoveFile(existing, newPath) ? 1 : 0;
      }
      return 0;
    }
    if (n >= MAX_PATH) return 0;
    destination = shortTarget;
  }

  static char section[kWininitSectionSize];
  DWORD length = GetPrivateProfileSectionA("rename", section, kWininitSectionSize, ini);
  if (!AppendRenameLine(section, kWininitSectionSize, length, destination, shortSource)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  BOOL written = SysWriteProfileSection("rename", section, ini);
  WritePrivateProfileSectionA(nullptr, nullptr, ini);  // flushes the profile cache
  return written ? 1 : 0;
}

}  // namespace

void FileSetSleepHook(FileSleepHook hook) { g_sleepHook = hook; }

namespace {

// Whether a file or folder of that name is there.
bool Present(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// After a failed write onto a name that was free before it: deletes what the write left there
// (a copy that fails half way keeps the part it wrote) and gives the write's error back.
void DeleteLeftover(const char* path, DWORD error) {
  if (Present(path)) SysDeleteFile(path);
  SetLastError(error);
}

}  // namespace

namespace {

// FileDeleteRetry with two shortcuts for FileDeleteMatching: a file whose listing showed none of
// the attributes that block or hide it skips the first clearing (each call is a round trip to the
// file system), and a worker thread, which has no window, does not pump (the main thread pumps
// while it waits for the workers).
int DeleteRetry(const char* path, bool plain, bool pump) {
  BOOL deleted = FALSE;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0 || !plain) SysSetFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    deleted = SysDeleteFile(path);
    DWORD error = GetLastError();
    if (pump) SysPumpMessages();
    if (deleted) break;
    RetrySleep();
    SetLastError(error);
  }
  return deleted ? 1 : 0;
}

}  // namespace

int FileDeleteRetry(const char* path) { return DeleteRetry(path, false, true); }

namespace {

// Removes an empty folder with the attempts of a file's deletion: a folder that another program
// looks into for a moment (a virus scanner, an indexer) is not left behind.
int RemoveFolderRetry(const char* path) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (SysRemoveDirectory(path)) return 1;
    DWORD error = GetLastError();
    // Gone or not empty: another attempt changes nothing.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_DIR_NOT_EMPTY) {
      return 0;
    }
    RetrySleep();
    SetLastError(error);
  }
  return 0;
}

}  // namespace

int FileDeleteOrSchedule(const char* path) {
  if (SysDeleteFile(path)) return 1;
  if (GetLastError() != ERROR_ACCESS_DENIED) return 0;
  return FileMoveOrSchedule(path, nullptr, FILE_MOVE_AT_RESTART);
}

int DirRemoveOrSchedule(const char* path) {
  if (SysRemoveDirectory(path)) return 1;
  DWORD error = GetLastError();
  if (error != ERROR_ACCESS_DENIED && error != ERROR_DIR_NOT_EMPTY) return 0;
  return FileMoveOrSchedule(path, nullptr, FILE_MOVE_AT_RESTART);
}

namespace {

// One file of FileDeleteMatching or FileDeleteOrScheduleAll, deleted on a worker.
struct DeleteJob {
  WorkerJob job;
  char path[MAX_PATH];
  int schedule;  // a file whose deletion is denied goes at the restart
  bool plain;    // listed without read-only, hidden or system
  bool worker;   // runs on a worker thread
  bool denied;   // set: to be scheduled for the restart
  bool failed;
  bool counted;  // one unit of the wait dialog's progress when done
};

void RunDelete(void* arg) {
  DeleteJob* d = static_cast<DeleteJob*>(arg);
  if (d->counted) SysProgressItem(d->path);
  if (!d->schedule) {
    d->failed = !DeleteRetry(d->path, d->plain, !d->worker);
  } else if (!SysDeleteFile(d->path)) {
    // Scheduled afterwards, in order, by the thread that gathered the files.
    d->denied = GetLastError() == ERROR_ACCESS_DENIED;
    d->failed = !d->denied;
  }
  if (d->counted) SysProgressAdd(1);
}

// Below this many files the threads cost more than they save.
const int kParallelDeleteMin = 32;

// Deletes the jobs' files, on a few threads when they are many: a deletion is a round trip to the
// file system's server, and a large folder would otherwise take one after the other. The files
// whose deletion was denied are then scheduled for the restart here, in the jobs' order, all in
// one change: scheduling rewrites one list (the restart's pending renames, or wininit.ini's section
// on the 9x family, read and written whole), and two threads at once would lose each other's
// lines. counted: each file is a unit of the progress. Returns how many could be neither deleted
// nor scheduled.
int DeleteAll(DeleteJob* jobs, int count, bool counted) {
  WorkerPool* pool = count >= kParallelDeleteMin ? WorkerPoolStart(WorkerCount(), 0) : nullptr;
  for (int i = 0; i < count; ++i) {
    DeleteJob& d = jobs[i];
    d.job.fn = RunDelete;
    d.job.arg = &d;
    d.job.bytes = 0;
    d.worker = pool != nullptr;
    d.denied = d.failed = false;
    d.counted = counted;
    if (pool != nullptr) {
      WorkerPoolSubmit(pool, static_cast<unsigned>(i), &d.job);
    } else {
      RunDelete(&d);
      if (d.counted) SysProgressPump();
    }
  }
  WorkerPoolStop(pool);
  int failures = 0;
  FileRestartMoves later;
  for (int i = 0; i < count; ++i) {
    if (jobs[i].failed || (jobs[i].denied && !FileRestartMovesAdd(&later, jobs[i].path, nullptr))) {
      ++failures;
    }
  }
  int scheduled = FileRestartMovesWrite(&later, 0);
  return failures + later.count - scheduled;
}

// Grows jobs to hold one more; null when memory runs out.
DeleteJob* NextJob(HeapGuard<DeleteJob>* jobs, int count, int* capacity) {
  if (count == *capacity) {
    int grown = *capacity == 0 ? 64 : *capacity * 2;
    DeleteJob* block = static_cast<DeleteJob*>(
        realloc(jobs->block, static_cast<size_t>(grown) * sizeof(DeleteJob)));
    if (block == nullptr) return nullptr;
    jobs->block = block;
    *capacity = grown;
  }
  return &jobs->block[count];
}

}  // namespace

struct FileNames::Folder {
  struct Name {
    char name[MAX_PATH];
    char alternate[14];  // the short name: the name itself when that is one already
    bool shared;         // another file of the folder has the same short name
  };
  char folder[MAX_PATH];       // as the paths spell it, without the last backslash
  char shortFolder[MAX_PATH];  // its short form, or the same text where that cannot be had
  char longFolder[MAX_PATH];   // its long form, or the same text
  Name* names;                 // sorted by name, ignoring ASCII case
  Name** byAlternate;          // the same, sorted by short name
  int count;
  Folder* next;

  static int CompareNames(const void* a, const void* b) {
    return StrCompareNoCaseAscii(static_cast<const Name*>(a)->name,
                                 static_cast<const Name*>(b)->name, MAX_PATH);
  }
  static int CompareAlternates(const void* a, const void* b) {
    return StrCompareNoCaseAscii((*static_cast<Name* const*>(a))->alternate,
                                 (*static_cast<Name* const*>(b))->alternate, 14);
  }

  // Lists folder; null when memory runs out.
  static Folder* Read(const char* folder) {
    Folder* f = static_cast<Folder*>(calloc(1, sizeof(Folder)));
    if (f == nullptr) return nullptr;
    StrCopyN(f->folder, folder, sizeof f->folder);
    DWORD n = GetShortPathNameA(folder, f->shortFolder, sizeof f->shortFolder);
    if (n == 0 || n >= sizeof f->shortFolder) StrCopyN(f->shortFolder, folder, MAX_PATH);
    // NT 4.0 has no long-name lookup: the folder then stays as it is spelt.
    typedef DWORD(WINAPI * LongPathFn)(const char*, char*, DWORD);
    static LongPathFn longPath = SysKernel32Export<LongPathFn>("GetLongPathNameA");
    n = longPath != nullptr ? longPath(folder, f->longFolder, sizeof f->longFolder) : 0;
    if (n == 0 || n >= sizeof f->longFolder) StrCopyN(f->longFolder, folder, MAX_PATH);
    char search[MAX_PATH];
    int capacity = 0;
    WIN32_FIND_DATAA entry;
    FindGuard find;
    find.handle = StrJoinPath(search, MAX_PATH, folder, "*") ? FindFirstFileA(search, &entry)
                                                             : INVALID_HANDLE_VALUE;
    if (find.handle != INVALID_HANDLE_VALUE) {
      do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (f->count == capacity) {
          capacity = capacity == 0 ? 64 : capacity * 2;
          Name* grown =
              static_cast<Name*>(realloc(f->names, static_cast<size_t>(capacity) * sizeof(Name)));
          if (grown == nullptr) break;
          f->names = grown;
        }
        Name& name = f->names[f->count++];
        StrCopyN(name.name, entry.cFileName, sizeof name.name);
        StrCopyN(name.alternate,
                 entry.cAlternateFileName[0] != 0 ? entry.cAlternateFileName : entry.cFileName,
                 sizeof name.alternate);
        name.shared = false;
      } while (FindNextFileA(find.handle, &entry));
    }
    if (f->count > 1) qsort(f->names, static_cast<size_t>(f->count), sizeof(Name), CompareNames);
    f->byAlternate =
        static_cast<Name**>(malloc((static_cast<size_t>(f->count) + 1) * sizeof(Name*)));
    if (f->byAlternate == nullptr) {
      f->count = 0;
      return f;
    }
    for (int i = 0; i < f->count; ++i) f->byAlternate[i] = &f->names[i];
    if (f->count > 1) {
      qsort(f->byAlternate, static_cast<size_t>(f->count), sizeof(Name*), CompareAlternates);
    }
    for (int i = 1; i < f->count; ++i) {
      if (CompareAlternates(&f->byAlternate[i - 1], &f->byAlternate[i]) == 0) {
        f->byAlternate[i - 1]->shared = f->byAlternate[i]->shared = true;
      }
    }
    return f;
  }
};

FileNames::~FileNames() {
  for (Folder* f : buckets_) {
    while (f != nullptr) {
      Folder* next = f->next;
      free(f->byAlternate);
      free(f->names);
      free(f);
      f = next;
    }
  }
}

FileNames::Folder* FileNames::Find(const char* path, const char** name) {
  const char* slash = strrchr(path, '\\');
  if (slash == nullptr) return nullptr;
  *name = slash + 1;
  char folder[MAX_PATH];
  StrCopyN(folder, path, static_cast<int>(slash - path) + 1);
  unsigned bucket = WorkerLaneOf(folder, strlen(folder)) % kBuckets;
  Folder* f = buckets_[bucket];
  while (f != nullptr && StrCompareNoCaseAscii(f->folder, folder, MAX_PATH) != 0) f = f->next;
  if (f == nullptr) {
    f = Folder::Read(folder);
    if (f == nullptr) return nullptr;
    f->next = buckets_[bucket];
    buckets_[bucket] = f;
  }
  return f;
}

int FileNames::ShortForm(const char* path, char* out) {
  const char* name = nullptr;
  Folder* f = Find(path, &name);
  if (f == nullptr) return 0;
  Folder::Name key;
  StrCopyN(key.name, name, sizeof key.name);
  const Folder::Name* found = static_cast<const Folder::Name*>(
      bsearch(&key, f->names, static_cast<size_t>(f->count), sizeof key, Folder::CompareNames));
  if (found == nullptr || strlen(f->shortFolder) + 1 + strlen(found->alternate) >= MAX_PATH) {
    return 0;
  }
  if (found->shared) {
    StrCopyN(out, path, MAX_PATH);
    return -1;
  }
  StrCopyN(out, f->shortFolder, MAX_PATH);
  StrAppendN(out, "\\", MAX_PATH);
  StrAppendN(out, found->alternate, MAX_PATH);
  return 1;
}

int FileNames::Lists(const char* path) {
  const char* name = nullptr;
  Folder* f = Find(path, &name);
  if (f == nullptr) return 0;
  Folder::Name key;
  StrCopyN(key.name, name, sizeof key.name);
  return bsearch(&key, f->names, static_cast<size_t>(f->count), sizeof key, Folder::CompareNames) !=
                 nullptr
             ? 1
             : 0;
}

void FileNames::LongForm(const char* path, char* out) {
  StrCopyN(out, path, MAX_PATH);
  const char* name = nullptr;
  Folder* f = Find(path, &name);
  if (f == nullptr) return;
  const Folder::Name* found = nullptr;
  if (strlen(name) < sizeof found->alternate) {
    Folder::Name key;
    StrCopyN(key.alternate, name, sizeof key.alternate);
    Folder::Name* keyPointer = &key;
    Folder::Name** at = static_cast<Folder::Name**>(
        bsearch(&keyPointer, f->byAlternate, static_cast<size_t>(f->count), sizeof(Folder::Name*),
                Folder::CompareAlternates));
    if (at != nullptr && !(*at)->shared) found = *at;
  }
  const char* longName = found != nullptr ? found->name : name;
  if (strlen(f->longFolder) + 1 + strlen(longName) < MAX_PATH) {
    StrCopyN(out, f->longFolder, MAX_PATH);
    StrAppendN(out, "\\", MAX_PATH);
    StrAppendN(out, longName, MAX_PATH);
  }
}

int FileDeleteOrScheduleAll(const char* const* paths, int count) {
  HeapGuard<DeleteJob> jobs(
      static_cast<DeleteJob*>(calloc(static_cast<size_t>(count) + 1, sizeof(DeleteJob))));
  if (jobs.block == nullptr) return count;
  FileNames names;
  for (int i = 0; i < count; ++i) {
    names.LongForm(paths[i], jobs.block[i].path);
    jobs.block[i].schedule = 1;
  }
  return DeleteAll(jobs.block, count, true);
}

int FileDeleteMatching(const char* folder, int removeFolder, const char* pattern, int schedule) {
  int result = 1;
  char search[MAX_PATH];
  if (!StrJoinPath(search, MAX_PATH, folder, pattern)) return 0;

  // The names are gathered first, then deleted.
  int count = 0;
  int capacity = 0;
  HeapGuard<DeleteJob> jobs;
  {
    WIN32_FIND_DATAA entry;
    FindGuard find;
    find.handle = FindFirstFileA(search, &entry);
    if (find.handle != INVALID_HANDLE_VALUE) {
      do {
        // Subfolders, "." and ".." included, are neither entered nor deleted.
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        DeleteJob* d = NextJob(&jobs, count, &capacity);
        if (d == nullptr) return 0;
        if (!StrJoinPath(d->path, MAX_PATH, folder, entry.cFileName)) {
          result = 0;
          continue;
        }
        d->schedule = schedule;
        d->plain = (entry.dwFileAttributes &
                    (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
        ++count;
      } while (FindNextFileA(find.handle, &entry));
    }
  }
  if (DeleteAll(jobs.block, count, false) != 0) result = 0;

  if (removeFolder) {
    int ok = schedule ? DirRemoveOrSchedule(folder) : RemoveFolderRetry(folder);
    result &= ok;
  }
  return result;
}

HANDLE FileOpenRetry(const char* path, DWORD access, DWORD shareMode, DWORD disposition,
                     DWORD flagsAndAttributes) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 6; ++attempt) {
    if (attempt > 0) RetryWaitPumping();
    handle = SysCreateFile(path, access, shareMode, nullptr, disposition, flagsAndAttributes);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
  }
  return handle;
}

int FileCreateFolderPath(const char* path) {
  // "C:\a\b\" names the same folder as "C:\a\b"; CreateDirectoryA would see a missing parent.
  char folder[MAX_PATH];
  size_t len = strlen(path);
  if (len >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  memcpy(folder, path, len + 1);
  while (len > 1 && folder[len - 1] == '\\') folder[--len] = 0;

  if (SysCreateDirectory(folder, nullptr)) return 1;
  DWORD error = GetLastError();
  if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) return 0;

  char parent[MAX_PATH];
  if (!ParentFolder(parent, MAX_PATH, folder)) return 0;
  if (!FileCreateFolderPath(parent)) return 0;
  return SysCreateDirectory(folder, nullptr) ? 1 : 0;
}

int FileCopyRetry(const char* source, const char* target) {
  int budget = 30;
  bool absent = !Present(target);
  // Under some file systems a name that is not there costs a walk of its whole folder.
  if (!absent) SysSetFileAttributes(target, FILE_ATTRIBUTE_NORMAL);
  while (budget > 0) {
    if (SysCopyFile(source, target, FALSE)) return 1;
    DWORD error = GetLastError();
    if (absent) DeleteLeftover(target, error);
    if (error == ERROR_PATH_NOT_FOUND) {
      char parent[MAX_PATH];
      if (!ParentFolder(parent, MAX_PATH, target)) return 0;
      FileCreateFolderPath(parent);
      --budget;
    } else if (error == ERROR_SHARING_VIOLATION) {
      --budget;
      SysPumpMessages();
      RetrySleep();
      SetLastError(error);
    } else {
      return 0;
    }
  }
  return 0;
}

namespace {

int WalkScheduled(const char* existing, bool remove, bool* found);

// What the caller of CopyBeside knows of its target: nothing, or from its folder's listing that it
// is there or not.
enum TargetKnown { kTargetUnknown, kTargetThere, kTargetAbsent };

// After a failed copy onto an alternate name: what the copy left there goes, unless the file waits
// to replace its target at the restart (an alternate nothing waits for is never needed).
void DeleteStrayAlternate(const char* alternate, DWORD error) {
  bool scheduled = true;
  if (Present(alternate) && WalkScheduled(alternate, false, &scheduled) && !scheduled) {
    SysDeleteFile(alternate);
  }
  SetLastError(error);
}

// FileCopyBeside; a target known to be there gets the copy beside it at once.
int CopyBeside(const char* source, const char* target, TargetKnown known, int replaceAtRestart,
               char* altName, int altSize) {
  if (altName && altSize > 0) altName[0] = 0;
  if (known != kTargetThere) {
    // A copy that fails half way leaves the part it wrote: on a name that was free it goes.
    bool absent = known == kTargetAbsent || !Present(target);
    if (SysCopyFile(source, target, TRUE)) return 1;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS) {
      if (absent) DeleteLeftover(target, error);
      return 0;
    }
  }

  char alternate[MAX_PATH];
  char* counterAt = nullptr;
  if (!AlternateStem(target, alternate, &counterAt)) return 0;
  int room = static_cast<int>(alternate + MAX_PATH - counterAt);

  bool copied = false;
  for (unsigned counter = 0; counter <= 100 && !copied; ++counter) {
    int n = snprintf(counterAt, room, "%02u", counter);
    if (n < 0 || n >= room) return 0;  // the alternate name and its terminator do not fit
    if (SysCopyFile(source, alternate, TRUE)) {
      copied = true;
    } else if (GetLastError() != ERROR_FILE_EXISTS) {
      DeleteStrayAlternate(alternate, GetLastError());
      return 0;
    }
  }
  if (!copied) return 0;

  if (altName) StrCopyN(altName, alternate, altSize);
  if (replaceAtRestart && !FileMoveOrSchedule(alternate, target, FILE_MOVE_AT_RESTART)) {
    // The caller would believe the target is replaced at the restart: report the failure and
    // leave no stray copy behind.
    DWORD error = GetLastError();
    SysDeleteFile(alternate);
    if (altName && altSize > 0) altName[0] = 0;
    SetLastError(error);
    return 0;
  }
  return 1;
}

}  // namespace

int FileCopyBeside(const char* source, const char* target, int replaceAtRestart, char* altName,
                   int altSize) {
  return CopyBeside(source, target, kTargetUnknown, replaceAtRestart, altName, altSize);
}

int FileCopyBesideListed(const char* source, const char* target, int listed, char* altName,
                         int altSize) {
  return CopyBeside(source, target, listed != 0 ? kTargetThere : kTargetAbsent, 0, altName,
                    altSize);
}

namespace {

// A read-only file cannot be moved over its target at the restart.
void ClearReadOnly(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SysSetFileAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  }
}

}  // namespace

int FileMoveOrSchedule(const char* existing, const char* newPath, DWORD flags) {
  ClearReadOnly(existing);
  if (SysIsNT()) return SysMoveFileEx(existing, newPath, flags) ? 1 : 0;
  if (!(flags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
    if (!newPath) {
      // Only the restart can delete through a move on this family.
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    return SysMoveFile(existing, newPath) ? 1 : 0;
  }
  return ScheduleInWininit(existing, newPath);
}

int DirIsEmpty(const char* folder) {
  char pattern[MAX_PATH];
  StrCopyN(pattern, folder, sizeof pattern);
  AddBackslash(pattern, sizeof pattern);
  if (strlen(pattern) + 2 > sizeof pattern) return 0;
  StrAppendN(pattern, "*", sizeof pattern);
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  bool empty = true;
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) empty = false;
  } while (empty && FindNextFileA(find, &found));
  FindClose(find);
  return empty ? 1 : 0;
}

namespace {

// The system's list of moves for the restart, under HKEY_LOCAL_MACHINE.
const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// A growing block of UTF-16 text.
struct WideText {
  HeapGuard<wchar_t> chars;
  size_t used = 0;
  size_t capacity = 0;
  bool Reserve(size_t more) {
    if (used + more <= capacity) return true;
    size_t grown = capacity == 0 ? 4096 : capacity;
    while (grown < used + more) grown *= 2;
    wchar_t* block = static_cast<wchar_t*>(realloc(chars.block, grown * sizeof(wchar_t)));
    if (block == nullptr) return false;
    chars.block = block;
    capacity = grown;
    return true;
  }
  bool Append(const wchar_t* text, size_t count) {
    if (!Reserve(count)) return false;
    memcpy(chars.block + used, text, count * sizeof(wchar_t));
    used += count;
    return true;
  }
};

// Appends path as the list holds it: its full form behind "\??\" (and "!" for a move that
// replaces its target), with its terminator. Only a path on a drive letter has that plain form;
// any other (a share, a device) is left for the system to judge, one move at a time.
bool AppendListPath(WideText* out, const char* path, bool replace) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return false;
  char drive = static_cast<char>(full[0] | 0x20);
  if (drive < 'a' || drive > 'z' || full[1] != ':' || full[2] != '\\') return false;
  // The ANSI code page, as MoveFileExA converts its names.
  wchar_t wide[MAX_PATH];
  int length = MultiByteToWideChar(CP_ACP, 0, full, -1, wide, MAX_PATH);
  if (length == 0) return false;
  return (!replace || out->Append(L"!", 1)) && out->Append(L"\\??\\", 4) &&
         out->Append(wide, static_cast<size_t>(length));
}

// The next move of a walk through FileRestartMoves' text.
const char* NextMove(const char* p, const char** target) {
  *target = p + strlen(p) + 1;
  return *target + strlen(*target) + 1;
}

// Appends the moves to the system's list with one read and one write of it. The change observers
// are told of each move in turn, as they would be by one MoveFileExA each; a move they refuse ends
// the list there (its error is the last error). Returns how many were scheduled, or -1 when the
// list cannot be written whole and nothing was.
int WriteListAtOnce(const FileRestartMoves& moves) {
  WideText added;
  HeapGuard<size_t> ends(
      static_cast<size_t*>(malloc(static_cast<size_t>(moves.count) * sizeof(size_t))));
  if (ends.block == nullptr) return -1;
  const char* p = moves.text;
  for (int i = 0; i < moves.count; ++i) {
    const char* target = nullptr;
    const char* next = NextMove(p, &target);
    if (!AppendListPath(&added, p, false)) return -1;
    // A deletion's second string is empty.
    if (target[0] != 0 ? !AppendListPath(&added, target, true) : !added.Append(L"", 1)) return -1;
    ends.block[i] = added.used;
    p = next;
  }
  KeyGuard key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                    &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return -1;
  }
  // Once the first list has grown too large, the system goes on in a second one, and every later
  // move is added there.
  const wchar_t* name = L"PendingFileRenameOperations";
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.key, L"PendingFileRenameOperations2", nullptr, &type, nullptr, &size) ==
      ERROR_SUCCESS) {
    name = L"PendingFileRenameOperations2";
  }
  size = 0;
  LONG found = RegQueryValueExW(key.key, name, nullptr, &type, nullptr, &size);
  if (found == ERROR_FILE_NOT_FOUND) {
    size = 0;
  } else if (found != ERROR_SUCCESS || type != REG_MULTI_SZ) {
    return -1;
  }
  WideText list;
  size_t present = size / sizeof(wchar_t);
  if (!list.Reserve(present + added.used + 1)) return -1;
  if (size > 0) {
    DWORD read = size;
    if (RegQueryValueExW(key.key, name, nullptr, &type, reinterpret_cast<BYTE*>(list.chars.block),
                         &read) != ERROR_SUCCESS ||
        read != size || type != REG_MULTI_SZ) {
      return -1;
    }
  }
  int allowed = 0;
  DWORD refused = ERROR_SUCCESS;
  p = moves.text;
  for (; allowed < moves.count; ++allowed) {
    const char* target = nullptr;
    const char* next = NextMove(p, &target);
    SysChange change = {SYS_FILE_SCHEDULE, p, nullptr, nullptr, nullptr, 0, nullptr};
    refused = SysBeforeChange(&change);
    if (refused != ERROR_SUCCESS) break;
    p = next;
  }
  if (allowed > 0) {
    // The list ends with an empty string: the new moves go before it.
    list.used = present > 0 ? present - 1 : 0;
    if (!list.Append(added.chars.block, ends.block[allowed - 1]) || !list.Append(L"", 1) ||
        RegSetValueExW(key.key, name, 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(list.chars.block),
                       static_cast<DWORD>(list.used * sizeof(wchar_t))) != ERROR_SUCCESS) {
      return -1;
    }
  }
  if (refused != ERROR_SUCCESS) SetLastError(refused);
  return allowed;
}

// The file's path with every folder and its name in their long forms, read from their listings
// (NT 4.0 has no GetLongPathNameA); path itself when a part cannot be found.
void LongForm(const char* path, char* out) {
  StrCopyN(out, path, MAX_PATH);
  if (strlen(path) < 3 || path[1] != ':' || path[2] != '\\') return;
  char built[MAX_PATH];
  StrCopyN(built, path, 4);
  for (const char* part = path + 3; *part != 0;) {
    const char* end = strchr(part, '\\');
    size_t length = end != nullptr ? static_cast<size_t>(end - part) : strlen(part);
    char probe[MAX_PATH];
    if (strlen(built) + length + 1 >= MAX_PATH) return;
    StrCopyN(probe, built, MAX_PATH);
    StrAppendN(probe, part, static_cast<int>(strlen(probe) + length + 1));
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(probe, &found);
    if (find == INVALID_HANDLE_VALUE) return;
    FindClose(find);
    StrAppendN(built, found.cFileName, MAX_PATH);
    if (end == nullptr) break;
    StrAppendN(built, "\\", MAX_PATH);
    part = end + 1;
  }
  StrCopyN(out, built, MAX_PATH);
}

// Whether a path of the NT list ("\\??\\C:\\x", or "!\\??\\C:\\x" for a replacement) names
// the file, given as written and in its long form (the list holds what the scheduler was given):
// compared in the ANSI code page, ignoring case; a name with no ANSI form is another's.
bool NamesFile(const wchar_t* entry, const char* const file[2]) {
  if (entry[0] == L'!') ++entry;
  if (entry[0] == L'\\' && entry[1] == L'?' && entry[2] == L'?' && entry[3] == L'\\') entry += 4;
  char narrow[MAX_PATH];
  BOOL lossy = FALSE;
  if (WideCharToMultiByte(CP_ACP, 0, entry, -1, narrow, sizeof narrow, nullptr, &lossy) == 0 ||
      lossy) {
    return false;
  }
  return lstrcmpiA(narrow, file[0]) == 0 || lstrcmpiA(narrow, file[1]) == 0;
}

DWORD WideLength(const wchar_t* text) {
  DWORD n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// NT: finds the pairs of one of the system's lists of moves (PendingFileRenameOperations, or the
// second one it goes on in) whose source is the file and, with remove, rewrites the list without
// them. Read and written as UTF-16, so that other programs' names survive whatever code page they
// are in. 1 when done (*found tells whether a pair named the file), 0 on failure.
int WalkPendingValue(HKEY key, const wchar_t* value, const char* const existing[2], bool remove,
                     bool* found) {
  DWORD type = 0, size = 0;
  LONG rc = RegQueryValueExW(key, value, nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return 1;
  if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ) return 0;
  DWORD count = size / sizeof(wchar_t);
  HeapGuard<wchar_t> list(static_cast<wchar_t*>(malloc((count + 2) * sizeof(wchar_t))));
  HeapGuard<wchar_t> kept(static_cast<wchar_t*>(malloc((count + 2) * sizeof(wchar_t))));
  if (list.block == nullptr || kept.block == nullptr) return 0;
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(list.block), &size) !=
      ERROR_SUCCESS) {
    return 0;
  }
  count = size / sizeof(wchar_t);
  list.block[count] = list.block[count + 1] = 0;  // ends every string, however it was stored
  DWORD at = 0, out = 0;
  bool dropped = false;
  while (at < count && list.block[at] != 0) {
    const wchar_t* source = list.block + at;
    DWORD sourceLength = WideLength(source) + 1;
    // The destination of a deletion is an empty string.
    const wchar_t* target = source + sourceLength;
    DWORD pairLength = sourceLength + WideLength(target) + 1;
    if (NamesFile(source, existing)) {
      dropped = true;
    } else {
      memcpy(kept.block + out, source, pairLength * sizeof(wchar_t));
      out += pairLength;
    }
    at += pairLength;
  }
  *found = *found || dropped;
  if (!dropped || !remove) return 1;
  char name[64];
  WideToAnsi(name, reinterpret_cast<const wchar16*>(value), sizeof name);
  if (out == 0) return SysRegDeleteValue(key, name) == ERROR_SUCCESS;
  kept.block[out++] = 0;
  SysChange change = {SYS_VALUE_SET, name, nullptr, nullptr, nullptr, 0, nullptr};
  if (SysBeforeChange(&change) != ERROR_SUCCESS) return 0;
  return RegSetValueExW(key, value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.block),
                        out * sizeof(wchar_t)) == ERROR_SUCCESS;
}

// NT: WalkPendingValue on both lists.
int WalkPendingList(const char* existing, bool remove, bool* found) {
  *found = false;
  KeyGuard key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                    &key.key) != ERROR_SUCCESS) {
    key.key = nullptr;
    return 0;
  }
  char longForm[MAX_PATH];
  LongForm(existing, longForm);
  const char* const names[2] = {existing, longForm};
  return WalkPendingValue(key.key, L"PendingFileRenameOperations", names, remove, found) &
         WalkPendingValue(key.key, L"PendingFileRenameOperations2", names, remove, found);
}

// 9x: the same on the "rename" section of wininit.ini.
int WalkWininit(const char* existing, bool remove, bool* found) {
  *found = false;
  char ini[MAX_PATH];
  char shortSource[MAX_PATH];
  if (!WininitNames(existing, ini, shortSource)) return 0;
  static char section[kWininitSectionSize];
  static char kept[kWininitSectionSize];
  DWORD length = GetPrivateProfileSectionA("rename", section, kWininitSectionSize, ini);
  if (length >= kWininitSectionSize - 2) return 0;
  DWORD out = 0;
  bool dropped = false;
  for (const char* line = section; *line != 0; line += strlen(line) + 1) {
    const char* equals = strchr(line, '=');
    if (equals != nullptr && lstrcmpiA(equals + 1, shortSource) == 0) {
      dropped = true;
      continue;
    }
    size_t lineLength = strlen(line) + 1;
    memcpy(kept + out, line, lineLength);
    out += static_cast<DWORD>(lineLength);
  }
  *found = dropped;
  if (!dropped || !remove) return 1;
  kept[out] = 0;
  BOOL written = out == 0 ? SysWriteProfileString("rename", nullptr, nullptr, ini)
                          : SysWriteProfileSection("rename", kept, ini);
  WritePrivateProfileSectionA(nullptr, nullptr, ini);  // flushes the profile cache
  return written ? 1 : 0;
}

int WalkScheduled(const char* existing, bool remove, bool* found) {
  return SysIsNT() ? WalkPendingList(existing, remove, found)
                   : WalkWininit(existing, remove, found);
}

}  // namespace

int FileRestartMovesAdd(FileRestartMoves* moves, const char* existing, const char* newPath) {
  if (newPath == nullptr) newPath = "";
  size_t existingLength = strlen(existing);
  size_t newLength = strlen(newPath);
  if (existingLength >= MAX_PATH || newLength >= MAX_PATH) return 0;
  size_t need = existingLength + newLength + 2;
  if (moves->used + need > moves->capacity) {
    size_t grown = moves->capacity == 0 ? 4096 : moves->capacity;
    while (grown < moves->used + need) grown *= 2;
    char* block = static_cast<char*>(realloc(moves->text, grown));
    if (block == nullptr) return 0;
    moves->text = block;
    moves->capacity = grown;
  }
  memcpy(moves->text + moves->used, existing, existingLength + 1);
  memcpy(moves->text + moves->used + existingLength + 1, newPath, newLength + 1);
  moves->used += need;
  ++moves->count;
  ClearReadOnly(existing);
  return 1;
}

int FileRestartMovesWrite(FileRestartMoves* moves, int stopAtFailure) {
  int done = 0;
  int from = 0;  // the first move not yet tried
  if (moves->count > 0 && SysIsNT()) {
    int written = WriteListAtOnce(*moves);
    if (written == moves->count || (written >= 0 && stopAtFailure)) return written;
    // After a refused move the rest are tried one by one, as they would have been.
    if (written >= 0) {
      done = written;
      from = written + 1;
    }
  }
  const char* p = moves->text;
  for (int i = 0; i < moves->count; ++i) {
    const char* target = nullptr;
    const char* next = NextMove(p, &target);
    if (i >= from) {
      if (FileMoveOrSchedule(p, target[0] != 0 ? target : nullptr, FILE_MOVE_AT_RESTART)) {
        ++done;
      } else if (stopAtFailure) {
        break;
      }
    }
    p = next;
  }
  return done;
}

int FileCancelScheduled(const char* existing) {
  bool found = false;
  return WalkScheduled(existing, true, &found);
}

int FileDeleteStrayAlternates(const char* target) {
  char alternate[MAX_PATH];
  char* counterAt = nullptr;
  if (!AlternateStem(target, alternate, &counterAt)) return 1;
  if (counterAt + 2 > alternate + MAX_PATH - 1) return 1;
  strcpy(counterAt, "*");
  char* slash = strrchr(alternate, '\\');
  size_t folderLength = slash != nullptr ? static_cast<size_t>(slash - alternate) + 1 : 0;
  size_t stemLength = strlen(alternate) - folderLength - 1;  // the name before the counter
  int result = 1;
  WIN32_FIND_DATAA entry;
  FindGuard find;
  find.handle = FindFirstFileA(alternate, &entry);
  if (find.handle == INVALID_HANDLE_VALUE) return 1;
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    // The counter is two or three digits, nothing else.
    const char* counter = entry.cFileName + stemLength;
    size_t digits = strlen(counter);
    bool numbered = strlen(entry.cFileName) >= stemLength && digits >= 2 && digits <= 3;
    for (size_t i = 0; numbered && i < digits; ++i)
      numbered = counter[i] >= '0' && counter[i] <= '9';
    if (!numbered) continue;
    char path[MAX_PATH];
    if (folderLength + strlen(entry.cFileName) >= MAX_PATH) continue;
    memcpy(path, alternate, folderLength);
    StrCopyN(path + folderLength, entry.cFileName, static_cast<int>(MAX_PATH - folderLength));
    bool scheduled = false;
    if (!WalkScheduled(path, false, &scheduled)) {
      result = 0;
    } else if (!scheduled && !FileDeleteOrSchedule(path)) {
      result = 0;
    }
  } while (FindNextFileA(find.handle, &entry));
  return result;
}

int FileExists(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return 1;
  }
  // Access denied (no read right, a folder) and a sharing violation (held without sharing) both
  // mean the file is there.
  DWORD error = GetLastError();
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? 1 : 0;
}

void FileResolveDecrypt() {
  if (g_decryptResolved) return;
  // The program imports advapi32 itself, so the library is there; this takes no reference.
  HMODULE advapi = GetModuleHandleA("advapi32.dll");
  g_decrypt = advapi != nullptr ? reinterpret_cast<DecryptFileFn>(reinterpret_cast<void*>(
                                      GetProcAddress(advapi, "DecryptFileA")))
                                : nullptr;
  g_decryptResolved = true;
  if (g_decryptHooks != nullptr && g_decryptHooks->resolved != nullptr) g_decryptHooks->resolved();
}

int FileDecryptIfEncrypted(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  if (g_decryptHooks != nullptr && g_decryptHooks->encrypted != nullptr &&
      g_decryptHooks->encrypted(path)) {
    attributes |= FILE_ATTRIBUTE_ENCRYPTED;
  }
  if (!(attributes & FILE_ATTRIBUTE_ENCRYPTED)) return 1;
  FileResolveDecrypt();
  if (!g_decrypt) return 0;
  return g_decrypt(path, 0) ? 1 : 0;
}

void FileSetDecryptHooks(const FileDecryptHooks* hooks) { g_decryptHooks = hooks; }

void FileReplacementName(const char* path, char* out) {
  StrCopyN(out, path, MAX_PATH);
  size_t length = strlen(out);
  if (length > 0) out[length - 1] = out[length - 1] == '~' ? '#' : '~';
}

int FileReplaceWhole(const char* path, const void* data, DWORD length) {
  char fresh[MAX_PATH];
  FileReplacementName(path, fresh);
  if (!FileWriteWhole(fresh, data, length)) return 0;
  if (SysIsNT()) {
    if (SysMoveFileEx(fresh, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
  } else {
    bool hadOld = Present(path);
    if (!hadOld || SysDeleteFile(path)) {
      if (SysMoveFile(fresh, path)) return 1;
      // The old file is gone: the new one stays, the only whole text there is.
      if (hadOld) return 0;
    }
  }
  DeleteLeftover(fresh, GetLastError());
  return 0;
}

int FileWriteWhole(const char* path, const void* data, DWORD length) {
  HANDLE file =
      SysCreateFile(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  DWORD written = 0;
  bool ok = SysWriteFile(file, path, data, length, &written) && written == length;
  DWORD error = GetLastError();
  if (!CloseHandle(file)) ok = false;
  // A file this call made must not stay behind with part of the text.
  if (!ok && created) DeleteLeftover(path, error);
  return ok ? 1 : 0;
}
