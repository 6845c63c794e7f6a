// The door of every change to the machine: observers first, then the call.
#include "system/hook.h"

namespace {

const int kMaxObservers = 4;
// Filled before other threads start and read by every thread after, so plain reads suffice; the
// table is zero before any static initialiser runs.
SysChangeObserver g_observers[kMaxObservers];
volatile LONG g_count = 0;

// Asks the observers; on a refusal sets the last error and gives false.
bool Allowed(const SysChange& change) {
  DWORD error = SysBeforeChange(&change);
  if (error == ERROR_SUCCESS) return true;
  SetLastError(error);
  return false;
}

bool Allowed(int kind, const char* path, const char* source = nullptr) {
  SysChange change = {kind, path, source, nullptr, nullptr, 0, nullptr};
  return Allowed(change);
}

LONG Status(int kind, const char* path) {
  SysChange change = {kind, path, nullptr, nullptr, nullptr, 0, nullptr};
  return static_cast<LONG>(SysBeforeChange(&change));
}

// A file opened so that it can change: any write right, or a disposition that may create it.
bool Changes(DWORD access, DWORD disposition) {
  const DWORD write = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA |
                      FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE | WRITE_DAC | WRITE_OWNER;
  return (access & write) != 0 || disposition != OPEN_EXISTING;
}

}  // namespace

int SysAddChangeObserver(SysChangeObserver observer) {
  for (int i = 0; i < kMaxObservers; ++i) {
    if (g_observers[i] == nullptr) {
      g_observers[i] = observer;
      InterlockedIncrement(&g_count);
      return 1;
    }
  }
  return 0;
}

void SysRemoveChangeObserver(SysChangeObserver observer) {
  for (int i = 0; i < kMaxObservers; ++i) {
    if (g_observers[i] == observer) {
      g_observers[i] = nullptr;
      InterlockedDecrement(&g_count);
    }
  }
}

DWORD SysBeforeChange(const SysChange* change) {
  if (g_count == 0) return ERROR_SUCCESS;
  for (int i = 0; i < kMaxObservers; ++i) {
    SysChangeObserver observer = g_observers[i];
    if (observer == nullptr) continue;
    DWORD error = observer(change);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

HANDLE SysCreateFile(const char* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                     DWORD disposition, DWORD flagsAndAttributes) {
  if (Changes(access, disposition) && !Allowed(SYS_FILE_OPEN, path)) return INVALID_HANDLE_VALUE;
  return CreateFileA(path, access, shareMode, security, disposition, flagsAndAttributes, nullptr);
}

BOOL SysWriteFile(HANDLE file, const char* path, const void* data, DWORD size, DWORD* written) {
  DWORD count = 0;
  if (written == nullptr) written = &count;
  *written = 0;
  SysChange change = {SYS_FILE_WRITE, path, nullptr, file, data, size, written};
  if (!Allowed(change)) return FALSE;
  return WriteFile(file, data, size, written, nullptr);
}

BOOL SysSetEndOfFile(HANDLE file, const char* path) {
  SysChange change = {SYS_FILE_WRITE, path, nullptr, file, nullptr, 0, nullptr};
  if (!Allowed(change)) return FALSE;
  return SetEndOfFile(file);
}

BOOL SysCopyFile(const char* source, const char* target, BOOL failIfExists) {
  if (!Allowed(SYS_FILE_COPY, target, source)) return FALSE;
  return CopyFileA(source, target, failIfExists);
}

BOOL SysMoveFile(const char* existing, const char* newPath) {
  if (!Allowed(SYS_FILE_MOVE, newPath, existing)) return FALSE;
  return MoveFileA(existing, newPath);
}

BOOL SysMoveFileEx(const char* existing, const char* newPath, DWORD flags) {
  bool later = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  bool allowed = later ? Allowed(SYS_FILE_SCHEDULE, existing, nullptr)
                       : Allowed(SYS_FILE_MOVE, newPath, existing);
  if (!allowed) return FALSE;
  return MoveFileExA(existing, newPath, flags);
}

BOOL SysDeleteFile(const char* path) {
  if (!Allowed(SYS_FILE_DELETE, path)) return FALSE;
  return DeleteFileA(path);
}

BOOL SysSetFileAttributes(const char* path, DWORD attributes) {
  if (!Allowed(SYS_FILE_ATTRIBUTES, path)) return FALSE;
  return SetFileAttributesA(path, attributes);
}

BOOL SysCreateDirectory(const char* path, SECURITY_ATTRIBUTES* security) {
  if (!Allowed(SYS_DIR_CREATE, path)) return FALSE;
  return CreateDirectoryA(path, security);
}

BOOL SysRemoveDirectory(const char* path) {
  if (!Allowed(SYS_DIR_REMOVE, path)) return FALSE;
  return RemoveDirectoryA(path);
}

UINT SysGetTempFileName(const char* folder, const char* prefix, UINT unique, char* out) {
  if (unique == 0 && !Allowed(SYS_FILE_OPEN, folder)) return 0;
  return GetTempFileNameA(folder, prefix, unique, out);
}

BOOL SysWriteProfileSection(const char* section, const char* text, const char* file) {
  if (!Allowed(SYS_VALUE_SET, file)) return FALSE;
  return WritePrivateProfileSectionA(section, text, file);
}

BOOL SysWriteProfileString(const char* section, const char* key, const char* text,
                           const char* file) {
  if (!Allowed(SYS_VALUE_SET, file)) return FALSE;
  return WritePrivateProfileStringA(section, key, text, file);
}

LONG SysRegCreateKeyEx(HKEY parent, const char* subkey, DWORD options, REGSAM access,
                       SECURITY_ATTRIBUTES* security, HKEY* out, DWORD* disposition) {
  LONG status = Status(SYS_KEY_CREATE, subkey);
  if (status != ERROR_SUCCESS) return status;
  char emptyClass[1] = {0};
  return RegCreateKeyExA(parent, subkey, 0, emptyClass, options, access, security, out,
                         disposition);
}

LONG SysRegDeleteKey(HKEY parent, const char* subkey) {
  LONG status = Status(SYS_KEY_DELETE, subkey);
  if (status != ERROR_SUCCESS) return status;
  return RegDeleteKeyA(parent, subkey);
}

LONG SysRegSetValueEx(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
  LONG status = Status(SYS_VALUE_SET, name != nullptr ? name : "");
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG SysRegDeleteValue(HKEY key, const char* name) {
  LONG status = Status(SYS_VALUE_DELETE, name != nullptr ? name : "");
  if (status != ERROR_SUCCESS) return status;
  return RegDeleteValueA(key, name);
}
