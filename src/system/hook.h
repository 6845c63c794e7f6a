// The one door through which the program changes the machine. Every call that creates, writes,
// copies, moves, schedules or deletes a file, creates or removes a folder, or creates or deletes a
// registry key or value goes through a Sys* wrapper below, which first tells the observers what it
// is about to do. Shipped programs register no observer, so each wrapper is the plain call; test
// programs register one (src/system/testtools/faulthook.cpp: injected failures, a crash at a given
// call, a record of every call) to prove that each of these calls can fail without harm.
//
// The program's log (zsetup.log, written only with /TEST) is output for the person reading it,
// not a change the run must undo, and does not go through here.
#pragma once

#include <windows.h>

// What a wrapper is about to do.
enum SysChangeKind {
  SYS_FILE_OPEN = 1,        // create a file, or open one for writing
  SYS_FILE_WRITE = 2,       // write into an open file (also cut it at its end)
  SYS_FILE_COPY = 3,        // copy a file onto another name
  SYS_FILE_MOVE = 4,        // move or rename a file or folder now
  SYS_FILE_SCHEDULE = 5,    // move or delete at the next restart (also through wininit.ini)
  SYS_FILE_DELETE = 6,      // delete a file
  SYS_FILE_ATTRIBUTES = 7,  // change a file's attributes
  SYS_DIR_CREATE = 8,       // create a folder
  SYS_DIR_REMOVE = 9,       // remove a folder
  SYS_KEY_CREATE = 10,      // create a registry key, or open one with the right to create it
  SYS_KEY_DELETE = 11,      // delete a registry key
  SYS_VALUE_SET = 12,       // set a registry value (also a profile file's entries)
  SYS_VALUE_DELETE = 13,    // delete a registry value
};

// One change about to happen. path names the item changed: the file or folder, the target of a
// copy or move, a profile file, a registry key's path below its parent, or a value's name.
struct SysChange {
  int kind;
  const char* path;
  const char* source;  // copies and moves: the existing file; else null
  HANDLE file;         // writes: the open file; else null
  const void* data;    // writes: the bytes to write; else null
  DWORD size;          // writes: how many
  DWORD* written;      // writes: where the count of bytes written goes (may be null)
};

// An observer sees every change before it happens, on the thread that makes it (the workers'
// threads included). It returns ERROR_SUCCESS to let the change go ahead, or a Win32 error: the
// wrapper then fails with that error without making the call, as the call itself would have
// failed. An observer may do part of the work first (write some of the bytes), as a call that
// fails half way does.
typedef DWORD (*SysChangeObserver)(const SysChange* change);

// Adds an observer; at most four. Only before the run starts other threads (a static
// initialiser of the test program, or a test's start). 0 when the table is full.
int SysAddChangeObserver(SysChangeObserver observer);

// Removes an observer added before (tests); other threads must not be changing anything.
void SysRemoveChangeObserver(SysChangeObserver observer);

// Tells the observers about a change; ERROR_SUCCESS when every one lets it go ahead, else the
// first error. The wrappers call it; code with a change no wrapper covers calls it itself.
DWORD SysBeforeChange(const SysChange* change);

// The wrappers: each is the Win32 call of the same name after SysBeforeChange, and fails as that
// call does (result and GetLastError) when an observer refuses.
HANDLE SysCreateFile(const char* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                     DWORD disposition, DWORD flagsAndAttributes);
BOOL SysWriteFile(HANDLE file, const char* path, const void* data, DWORD size, DWORD* written);
BOOL SysSetEndOfFile(HANDLE file, const char* path);
BOOL SysCopyFile(const char* source, const char* target, BOOL failIfExists);
BOOL SysMoveFile(const char* existing, const char* newPath);
// With MOVEFILE_DELAY_UNTIL_REBOOT the kind is SYS_FILE_SCHEDULE, and path is the file moved or
// deleted at the restart.
BOOL SysMoveFileEx(const char* existing, const char* newPath, DWORD flags);
BOOL SysDeleteFile(const char* path);
BOOL SysSetFileAttributes(const char* path, DWORD attributes);
BOOL SysCreateDirectory(const char* path, SECURITY_ATTRIBUTES* security);
BOOL SysRemoveDirectory(const char* path);
// GetTempFileNameA with unique 0 creates the file it names: a SYS_FILE_OPEN of the folder.
UINT SysGetTempFileName(const char* folder, const char* prefix, UINT unique, char* out);
// The profile writes of wininit.ini and the update containers' information files.
BOOL SysWriteProfileSection(const char* section, const char* text, const char* file);
BOOL SysWriteProfileString(const char* section, const char* key, const char* text,
                           const char* file);
LONG SysRegCreateKeyEx(HKEY parent, const char* subkey, DWORD options, REGSAM access,
                       SECURITY_ATTRIBUTES* security, HKEY* out, DWORD* disposition);
LONG SysRegDeleteKey(HKEY parent, const char* subkey);
LONG SysRegSetValueEx(HKEY key, const char* name, DWORD type, const void* data, DWORD size);
LONG SysRegDeleteValue(HKEY key, const char* name);
