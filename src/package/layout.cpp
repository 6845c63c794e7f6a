#include "package/layout.h"

#include <stdint.h>
#include <string.h>
#include <windows.h>

#include "auth/privatefolder.h"
#include "install/engines.h"
#include "package/datafile.h"
#include "run/context.h"
#include "run/exit.h"
#include "run/log.h"
#include "run/vislib.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/hook.h"
#include "system/os.h"
#include "system/registry.h"
#include "system/str.h"

namespace {

const char kDefaultInstallPath[] = "%PROGRAMFILES%\\Vesk";
const DWORD kBlock = 10000;

// Expands text as an install folder: environment variables, then the registry's Program Files
// folder for a "%ProgramFiles%\" the system does not know. False when the result is over-long.
bool Expand(const char* text, char* out) {
  DWORD n = ExpandEnvironmentStringsA(text, out, MAX_PATH);
  if (n == 0 || n > MAX_PATH) return false;
  if (out[0] == '%') {
    KeyGuard key;
    if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion",
                           KEY_READ, &key.key) == ERROR_SUCCESS) {
      char programFiles[MAX_PATH];
      if (!RegReadString(key.key, "ProgramFilesDir", programFiles, sizeof programFiles)) {
        programFiles[0] = 0;
      }
      AddBackslash(programFiles, sizeof programFiles);
      if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, out, 15, "%ProgramFiles%\\", 15) ==
          CSTR_EQUAL) {
        if (strlen(programFiles) + strlen(out + 15) > MAX_PATH - 1) return false;
        char joined[MAX_PATH];
        StrCopyN(joined, programFiles, sizeof joined);
        StrAppendN(joined, out + 15, sizeof joined);
        StrCopyN(out, joined, MAX_PATH);
      }
    }
  }
  size_t len = strlen(out);
  if (len == 0) return true;
  if (out[len - 1] != '\\') {
    if (len + 1 > MAX_PATH - 1) return false;
    out[len] = '\\';
    out[len + 1] = 0;
  }
  return true;
}

bool IsFolder(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Opens data piece number (1 to 9): from the current folder, then from its disk folder, then from
// the current folder again.
HANDLE OpenPiece(int number, bool firstTry) {
  char name[32];
  wsprintfA(name, "data%d.dat", number);
  HANDLE piece = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (piece != INVALID_HANDLE_VALUE || !firstTry) return piece;
  char onDisk[64];
  wsprintfA(onDisk, "..\\disk%d\\data%d.dat", number, number);
  piece = CreateFileA(onDisk, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (piece != INVALID_HANDLE_VALUE) return piece;
  return CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool ReadExactly(HANDLE file, void* buffer, DWORD size) {
  DWORD got = 0;
  return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

bool WriteExactly(HANDLE file, const char* path, const void* buffer, DWORD size) {
  DWORD written = 0;
  return SysWriteFile(file, path, buffer, size, &written) && written == size;
}

// The files of SetupSplitDataFile: data.dat being read and the entry being written.
struct SplitFiles {
  const char* workDir;
  HandleGuard data;
  HandleGuard out;
  char path[MAX_PATH];
};

bool SplitRead(void* context, void* buffer, uint32_t n) {
  return ReadExactly(static_cast<SplitFiles*>(context)->data.handle, buffer, n);
}

bool SplitCreate(void* context, const char* name) {
  SplitFiles* f = static_cast<SplitFiles*>(context);
  StrCopyN(f->path, f->workDir, sizeof f->path);
  StrAppendN(f->path, name, sizeof f->path);
  f->out.handle =
      SysCreateFile(f->path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  return f->out.handle != INVALID_HANDLE_VALUE;
}

bool SplitWrite(void* context, const void* data, uint32_t n) {
  SplitFiles* f = static_cast<SplitFiles*>(context);
  return WriteExactly(f->out.handle, f->path, data, n);
}

bool SplitClose(void* context, bool ok) {
  SplitFiles* f = static_cast<SplitFiles*>(context);
  bool closed = CloseHandle(f->out.handle) != 0;
  f->out.handle = nullptr;
  // A truncated data.dat must not leave a short file that looks complete.
  if (!ok || !closed) SysDeleteFile(f->path);
  return closed;
}

// Joins the pieces into data.dat; ends the run for a piece that is not supplied.
int JoinPieces(const SetupExitContext* exitContext, const char* workDir, int pieceCount) {
  char dataPath[MAX_PATH];
  StrCopyN(dataPath, workDir, sizeof dataPath);
  StrAppendN(dataPath, "data.dat", sizeof dataPath);
  HandleGuard data(
      SysCreateFile(dataPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
  if (data.handle == INVALID_HANDLE_VALUE) return 0;
  static char block[kBlock];
  for (int i = 1; i <= pieceCount; ++i) {
    HandleGuard piece(OpenPiece(i, true));
    while (piece.handle == INVALID_HANDLE_VALUE) {
      if (g_options.silent) SetupExitWith(exitContext, 202, nullptr);
      if (VisShowMsg(202, nullptr, MB_OKCANCEL) == IDCANCEL) {
        CloseHandle(data.handle);
        data.handle = nullptr;
        SetupExitWith(exitContext, 0, nullptr);
      }
      piece.handle = OpenPiece(i, false);
    }
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(piece.handle, block, kBlock, &got, nullptr) ||
          (got > 0 && !WriteExactly(data.handle, dataPath, block, got))) {
        CloseHandle(data.handle);
        data.handle = nullptr;
        SysDeleteFile(dataPath);
        return 0;
      }
      if (got < kBlock) break;
    }
  }
  bool closed = CloseHandle(data.handle) != 0;
  data.handle = nullptr;
  if (!closed) {
    SysDeleteFile(dataPath);
    return 0;
  }
  return SetupSplitDataFile(workDir);
}

}  // namespace

int SetupDefaultInstallFolder(char* out) {
  if (Expand(kDefaultInstallPath, out) && StrIsFolderBelowRoot(out)) return 1;
  out[0] = 0;
  return 0;
}

void SetupResolveInstallPath(const char* text) {
  char folder[MAX_PATH];
  if (!Expand(text, folder) || !StrIsFolderBelowRoot(folder)) {
    // An empty or relative folder would install into the current drive's root or folder, and
    // "C:\x\.." into the root itself.
    SetupLogError("Install path not usable: %s", text);
    SetupDefaultInstallFolder(folder);
  }
  StrCopyN(g_context.installDir, folder, sizeof g_context.installDir);
}

int SetupPrepareData(const SetupExitContext* exitContext, char* workDir, int pieceCount) {
  SysPumpMessages();
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) temp[0] = 0;
  StrCopyN(workDir, temp, MAX_PATH);
  StrAppendN(workDir, "ZSetup\\", MAX_PATH);
  FileDeleteMatching(workDir, 1, "*.*", 0);
  // Information files of update containers that a run cut short left (one setup runs at a time,
  // so none is in use).
  if (temp[0] != 0) FileDeleteMatching(temp, 0, "ZSF*.tmp", 0);
  // A folder left by an interrupted run (it still has subfolders) is reused.
  if (!AuthCreatePrivateFolder(workDir) && !IsFolder(workDir)) {
    SetupLogError("Can't create directory: %s", workDir);
    SetupExitWith(exitContext, 105, nullptr);
  }
  if (pieceCount > 0 && !JoinPieces(exitContext, workDir, pieceCount)) return 0;

  char diskFolder[16];
  StrCopyN(diskFolder, "..\\disk \\", sizeof diskFolder);
  // Without pieces no disk was used: a container that is not in the setup folder is looked for on
  // disk 1 first.
  int lastDisk = 0;
  if (pieceCount > 0) {
    *strchr(diskFolder, ' ') = static_cast<char>('0' + pieceCount);
    lastDisk = pieceCount;
  }
  int result = SetupExtractEngines(workDir, diskFolder, lastDisk);
  if (result == 0) return 1;
  // A disk the user did not supply ends the run as a cancel; a silent run that cannot find a
  // container has failed and must not report success.
  if (result == 202) SetupExitWith(exitContext, g_options.silent ? 202 : 0, nullptr);
  SetupExitWith(exitContext, result, "EE");
}

int SetupSplitDataFile(const char* workDir) {
  SplitFiles files;
  files.workDir = workDir;
  char dataPath[MAX_PATH];
  StrCopyN(dataPath, workDir, sizeof dataPath);
  StrAppendN(dataPath, "data.dat", sizeof dataPath);
  files.data.handle = CreateFileA(dataPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (files.data.handle == INVALID_HANDLE_VALUE) return 0;
  DataSplitIo io = {&files, SplitRead, SplitCreate, SplitWrite, SplitClose};
  return DataSplitWalk(&io, strlen(workDir));
}
