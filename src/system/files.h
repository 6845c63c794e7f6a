// File operations with a fixed policy for files that other programs hold open: a busy file is
// retried for a bounded time while window messages are dispatched, a file that cannot be
// overwritten is copied beside its target, and what cannot be replaced or removed now is scheduled
// for the next restart of Windows (NT: delayed move; 9x family: the "rename" section of
// "wininit.ini").
//
// Paths are narrow texts in the ANSI code page, at most MAX_PATH bytes with the terminator.
// Every function returns 1 for success and 0 for failure unless said otherwise, leaves
// GetLastError as the last API call set it, and writes nothing to the log.
#pragma once

#include <stdlib.h>
#include <windows.h>

// Move flags that replace or delete a file at the next restart.
enum { FILE_MOVE_AT_RESTART = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT };

// Deletes a file: up to 5 attempts, each clearing the attributes first, pumping messages after
// and sleeping 300 ms after a failure. Returns the result of the last DeleteFileA.
int FileDeleteRetry(const char* path);

// Deletes a file now; when access is denied (in use), schedules the deletion for the restart.
int FileDeleteOrSchedule(const char* path);

// The names of the files of folders, each folder listed once, long and short (8.3) names side by
// side: asking the system for one file's other name costs a walk of its path, which under some
// file systems is far more than the work on the file itself (Wine reads a whole folder to find one
// short name), while one listing of a folder gives every name at once.
class FileNames {
 public:
  FileNames() = default;
  virtual ~FileNames();
  FileNames(const FileNames&) = delete;
  FileNames& operator=(const FileNames&) = delete;

  // The short form of path (its folder's short form, the file's short name) into out, MAX_PATH
  // bytes: 1. When its folder lists the short name for another file too, -1 and the path as it is:
  // file systems that make short names from a hash of the long one (Wine's, a Samba share's) can
  // give two files the same, and such a name would name either. 0 when the folder does not list
  // the file.
  int ShortForm(const char* path, char* out);

  // 1 when path's folder lists the file (its long name, ignoring case); the listing is the one
  // taken the first time this object looked at the folder.
  int Lists(const char* path);

  // The long form of path (its folder's long form, the file's long name) into out, MAX_PATH bytes;
  // the path as it is where the folder cannot be read or does not know the name for one file.
  void LongForm(const char* path, char* out);

 private:
  struct Folder;
  Folder* Find(const char* path, const char** name);
  enum { kBuckets = 256 };
  Folder* buckets_[kBuckets] = {};
};

// FileDeleteOrSchedule for each of count paths, made by a few threads (deletions need no order);
// the files whose deletion access denied are then scheduled for the restart in the order given,
// all in one change. A path recorded with a short (8.3) file name is deleted under its long name,
// read from one listing of its folder: some file systems (Wine's) find a short name only by
// reading the whole folder, on every call. Each file is one unit of the progress
// (system/progress.h) and its item while it goes. Returns how many could be neither deleted nor
// scheduled.
int FileDeleteOrScheduleAll(const char* const* paths, int count);

// Removes a folder now; when access is denied or it is not empty, schedules its removal for the
// restart.
int DirRemoveOrSchedule(const char* path);

// Deletes the files (not the subfolders) of one folder that match the pattern, then optionally
// the folder itself. With schedule set, what cannot go now goes at the restart (scheduled on the
// calling thread, one file at a time, after the deletions); without, the folder gets the attempts
// of FileDeleteRetry. 1 only when every step succeeded.
int FileDeleteMatching(const char* folder, int removeFolder, const char* pattern, int schedule);

// CreateFileA, retried while the file is locked by another process (sharing violation): at most 6
// attempts with 300 ms of message-pumping wait between them. Returns the last handle, which may be
// INVALID_HANDLE_VALUE.
HANDLE FileOpenRetry(const char* path, DWORD access, DWORD shareMode, DWORD disposition,
                     DWORD flagsAndAttributes);

// Creates a folder and any missing parents. A trailing backslash is ignored. 0 when the folder
// exists already (GetLastError then gives ERROR_ALREADY_EXISTS) or cannot be made.
int FileCreateFolderPath(const char* path);

// Copies over an existing target (clearing its read-only flag), creating the target's folders,
// and retrying for about 9 s while the target is locked. A target it created is deleted again
// when the copy fails.
int FileCopyRetry(const char* source, const char* target);

// Copies without overwriting. When the target exists, copies to the first free alternate name
// beside it (C:\P\lib.dll -> C:\P\_ib.d00, _ib.d01, ... _ib.d100), stores that name in altName
// (may be null; truncated to altSize) and, with replaceAtRestart, schedules the alternate to
// replace the target at the restart. A target whose file name has no dot, or whose alternate
// name would not fit MAX_PATH, gives 0. altName stays empty when the target itself was written.
// A failed copy leaves nothing at a name that was free before it.
int FileCopyBeside(const char* source, const char* target, int replaceAtRestart, char* altName,
                   int altSize);

// FileCopyBeside without replacement at the restart, for a caller that has listed the target's
// folder: with listed set the target was there, and the copy goes beside it at once instead of
// first failing on the target (a round trip to the file system). A target that has gone since
// still gets the alternate, which then replaces nothing; one that has come since is found as
// FileCopyBeside finds it. With listed clear, what a failed copy leaves at the target goes.
int FileCopyBesideListed(const char* source, const char* target, int listed, char* altName,
                         int altSize);

// Moves a file now, or with MOVEFILE_DELAY_UNTIL_REBOOT schedules the move (or the deletion,
// when newPath is null) for the next restart. Clears the read-only bit of the existing file
// first. On the 9x family the schedule is a line appended to the "rename" section of
// "wininit.ini"; when the section has no room left for it, nothing is written and 0 comes back.
int FileMoveOrSchedule(const char* existing, const char* newPath, DWORD flags);

// Moves and deletions for the next restart, gathered first and then handed to the system at once.
// MoveFileExA rewrites the system's whole list of waiting moves for every file it schedules, so
// scheduling thousands of files one by one costs time that grows with their square (minutes for
// the files of an upgrade). On the NT family the gathered moves are appended to that list in one
// change, in the format and order MoveFileExA would have written them.
struct FileRestartMoves {
  char* text = nullptr;  // per move "existing\0newPath\0"; newPath empty for a deletion
  size_t used = 0;
  size_t capacity = 0;
  int count = 0;
  FileRestartMoves() = default;
  FileRestartMoves(const FileRestartMoves&) = delete;
  FileRestartMoves& operator=(const FileRestartMoves&) = delete;
  ~FileRestartMoves() { free(text); }
};

// Adds a move of existing over newPath (replacing it) at the next restart, or with newPath null a
// deletion of existing, and clears existing's read-only bit as FileMoveOrSchedule does. 0 when
// memory runs out or a path is longer than MAX_PATH.
int FileRestartMovesAdd(FileRestartMoves* moves, const char* existing, const char* newPath);

// Schedules the added moves in the order they were added and returns how many were scheduled:
// all of them on success. When the system's list cannot be read or written whole (the 9x family,
// a list of another type, a path that is not on a drive), each move goes through
// FileMoveOrSchedule instead; with stopAtFailure the first failure ends that walk, so the count
// says how many from the first were scheduled, otherwise every move is tried.
int FileRestartMovesWrite(FileRestartMoves* moves, int stopAtFailure);

// Takes back what FileMoveOrSchedule scheduled for the restart with existing as the file to move
// or delete: the entries naming it leave the system's list (NT: the session manager's
// PendingFileRenameOperations; 9x: the "rename" section of "wininit.ini"), other programs'
// entries stay as they are. Call it while the file still exists (the 9x list names it by its short
// name). 1 when nothing of it is left scheduled.
int FileCancelScheduled(const char* existing);

// Deletes the alternates FileCopyBeside made beside target that wait for nothing (no replacement
// at the restart names them): what copies cut short left there. Those that wait stay. 1 when
// every stray one went.
int FileDeleteStrayAlternates(const char* target);

// Writes length bytes over path (created or truncated). 1 only when every byte was written and the
// file closed: a text written in part must not pass for a whole one.
// A file it created is deleted again when the write fails.
int FileWriteWhole(const char* path, const void* data, DWORD length);

// 1 when folder exists and holds nothing (hidden and system entries count as something); 0 when it
// holds something or cannot be read.
int DirIsEmpty(const char* folder);

// The name FileReplaceWhole writes a new text under before it takes path's place: path with its
// last character made '~' ('#' when it is one), so that it fits wherever path does.
void FileReplacementName(const char* path, char* out);

// Writes length bytes to FileReplacementName(path), then puts that file in place of path (NT: one
// replacing move; 9x: the old file deleted, then the new one renamed). A run cut short leaves the
// old file whole, or the new one whole under the replacement name (on 9x, maybe without path
// beside it): readers take that one when path is gone. 1 when the new text is in place; on
// failure the new file is deleted again, unless (9x) the old file is gone already.
int FileReplaceWhole(const char* path, const void* data, DWORD length);

// 1 when the file exists, also when it exists but cannot be read (no access, or another process
// holds it without sharing); 0 otherwise.
int FileExists(const char* path);

// Decrypts a file that carries the encrypted attribute; 1 when the file is not encrypted. The
// decryption entry of advapi32 is resolved on the first call (see FileResolveDecrypt).
int FileDecryptIfEncrypted(const char* path);

// Resolves the decryption entry of advapi32, once per process. Worker threads only read it: a
// step whose workers decrypt calls this on its own thread before it starts them.
void FileResolveDecrypt();

// Test hooks of the decryption, since Wine never sets FILE_ATTRIBUTE_ENCRYPTED: encrypted(path)
// makes a file count as encrypted, resolved() is called on the thread that resolves the entry.
// Null restores the plain behaviour.
struct FileDecryptHooks {
  int (*encrypted)(const char* path);
  void (*resolved)();
};
void FileSetDecryptHooks(const FileDecryptHooks* hooks);

// Test hook: every wait of the retry loops (the 300 ms sleeps and FileOpenRetry's message-pumping
// wait) goes through this function instead, with the time in milliseconds. Null restores the real
// waits.
typedef void (*FileSleepHook)(DWORD milliseconds);
void FileSetSleepHook(FileSleepHook hook);
