// The UnRAR library's calls of functions that Windows 98 SE or NT 4.0 lack, resolved at run time.
//
// Each function below takes the place of one import of the library (see
// third_party/runtime-shims/import_slot.h): it looks the real function up with GetProcAddress on
// its first call and calls it, or, where the system lacks it, fails the way the library already
// handles (the function's documented failure, last error ERROR_CALL_NOT_IMPLEMENTED). So
// libunrar.a imports from KERNEL32, USER32 and ADVAPI32 only what both systems export
// (tests/imports-allowed.txt), and nothing from SHELL32, POWRPROF, OLE32 or OLEAUT32.
//
//   function                          lacking           library's use, and what the fallback does
//   CreateHardLinkW                   98, NT 4.0        hard link entry: reported as not created
//   GetLongPathNameW                  NT 4.0            short-name clash check: skipped
//   CheckTokenMembership              98, NT 4.0        "are we administrator" after a denied
//                                                       security or link write: no
//   SetThreadExecutionState           NT 4.0            keeps the machine awake: nothing
//   GetProcessAffinityMask            98                number of processors: one
//   SystemTimeToTzSpecificLocalTime   98                local file times on Vista and later only
//   TzSpecificLocalTimeToSystemTime   98, NT 4.0        (the library asks WinNT() first): fail
//   SetSuspendState                   NT 4.0 (no        rar's -ioff switch, never reached from
//                                     powrprof.dll)     the DLL API: fail
//   SHGetMalloc, SHGetSpecialFolder-  (SHELL32 is not   WinRAR's AppData folder for rar.ini, not
//   Location, SHGetPathFromIDListW     imported; it is  reached from the DLL API: the program's
//                                      loaded if used)  folder instead
//
// And a few that 98 SE may export only as failing stubs or not at all (we could not check its
// export table), resolved the same way so that the program starts in either case:
//   CryptAcquireContextW, CryptGenRandom, random salt and nonce: the library falls back to its own
//   CryptReleaseContext                  generator when the context cannot be had
//   FoldStringW                          name normalisation on Vista and later only: fail
//   GetDiskFreeSpaceExW                  after a failed write, FAT size limit or full disk (not
//                                        in the DLL build): no free space read, plain write error
//   CharToOemBuffW                       password of old (RAR 2.x) encrypted entries: always
//                                        converted here with WideCharToMultiByte(CP_OEMCP), which
//                                        both families have
#include <windows.h>
// After windows.h, which they need.
#include <powrprof.h>
#include <shlobj.h>
#include <wincrypt.h>

#include "import_slot.h"
#include "late.h"

namespace {

Late g_createHardLinkW("kernel32.dll", "CreateHardLinkW", false);
BOOL WINAPI CreateHardLinkW_late(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security) {
  auto real = g_createHardLinkW.Get<decltype(&CreateHardLinkW_late)>();
  return real ? real(link, existing, security) : NotImplemented<BOOL>(FALSE);
}

Late g_getLongPathNameW("kernel32.dll", "GetLongPathNameW", false);
DWORD WINAPI GetLongPathNameW_late(LPCWSTR shortPath, LPWSTR longPath, DWORD size) {
  auto real = g_getLongPathNameW.Get<decltype(&GetLongPathNameW_late)>();
  return real ? real(shortPath, longPath, size) : NotImplemented<DWORD>(0);
}

Late g_checkTokenMembership("advapi32.dll", "CheckTokenMembership", false);
BOOL WINAPI CheckTokenMembership_late(HANDLE token, PSID sid, PBOOL isMember) {
  auto real = g_checkTokenMembership.Get<decltype(&CheckTokenMembership_late)>();
  return real ? real(token, sid, isMember) : NotImplemented<BOOL>(FALSE);
}

Late g_setThreadExecutionState("kernel32.dll", "SetThreadExecutionState", false);
EXECUTION_STATE WINAPI SetThreadExecutionState_late(EXECUTION_STATE flags) {
  auto real = g_setThreadExecutionState.Get<decltype(&SetThreadExecutionState_late)>();
  return real ? real(flags) : NotImplemented<EXECUTION_STATE>(0);
}

Late g_getProcessAffinityMask("kernel32.dll", "GetProcessAffinityMask", false);
BOOL WINAPI GetProcessAffinityMask_late(HANDLE process, PDWORD_PTR processMask,
                                        PDWORD_PTR systemMask) {
  auto real = g_getProcessAffinityMask.Get<decltype(&GetProcessAffinityMask_late)>();
  return real ? real(process, processMask, systemMask) : NotImplemented<BOOL>(FALSE);
}

Late g_systemTimeToTz("kernel32.dll", "SystemTimeToTzSpecificLocalTime", false);
BOOL WINAPI SystemTimeToTzSpecificLocalTime_late(const TIME_ZONE_INFORMATION* zone,
                                                 const SYSTEMTIME* universal, LPSYSTEMTIME local) {
  auto real = g_systemTimeToTz.Get<decltype(&SystemTimeToTzSpecificLocalTime_late)>();
  return real ? real(zone, universal, local) : NotImplemented<BOOL>(FALSE);
}

Late g_tzToSystemTime("kernel32.dll", "TzSpecificLocalTimeToSystemTime", false);
BOOL WINAPI TzSpecificLocalTimeToSystemTime_late(const TIME_ZONE_INFORMATION* zone,
                                                 const SYSTEMTIME* local, LPSYSTEMTIME universal) {
  auto real = g_tzToSystemTime.Get<decltype(&TzSpecificLocalTimeToSystemTime_late)>();
  return real ? real(zone, local, universal) : NotImplemented<BOOL>(FALSE);
}

Late g_setSuspendState("powrprof.dll", "SetSuspendState", true);
BOOLEAN WINAPI SetSuspendState_late(BOOLEAN hibernate, BOOLEAN force, BOOLEAN disableWakeEvent) {
  auto real = g_setSuspendState.Get<decltype(&SetSuspendState_late)>();
  return real ? real(hibernate, force, disableWakeEvent) : NotImplemented<BOOLEAN>(FALSE);
}

Late g_cryptAcquireContextW("advapi32.dll", "CryptAcquireContextW", false);
BOOL WINAPI CryptAcquireContextW_late(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR name,
                                      DWORD type, DWORD flags) {
  auto real = g_cryptAcquireContextW.Get<decltype(&CryptAcquireContextW_late)>();
  return real ? real(provider, container, name, type, flags) : NotImplemented<BOOL>(FALSE);
}

Late g_cryptGenRandom("advapi32.dll", "CryptGenRandom", false);
BOOL WINAPI CryptGenRandom_late(HCRYPTPROV provider, DWORD size, BYTE* buffer) {
  auto real = g_cryptGenRandom.Get<decltype(&CryptGenRandom_late)>();
  return real ? real(provider, size, buffer) : NotImplemented<BOOL>(FALSE);
}

Late g_cryptReleaseContext("advapi32.dll", "CryptReleaseContext", false);
BOOL WINAPI CryptReleaseContext_late(HCRYPTPROV provider, DWORD flags) {
  auto real = g_cryptReleaseContext.Get<decltype(&CryptReleaseContext_late)>();
  return real ? real(provider, flags) : NotImplemented<BOOL>(FALSE);
}

Late g_foldStringW("kernel32.dll", "FoldStringW", false);
int WINAPI FoldStringW_late(DWORD flags, LPCWSTR source, int sourceSize, LPWSTR target,
                            int targetSize) {
  auto real = g_foldStringW.Get<decltype(&FoldStringW_late)>();
  return real ? real(flags, source, sourceSize, target, targetSize) : NotImplemented<int>(0);
}

Late g_getDiskFreeSpaceExW("kernel32.dll", "GetDiskFreeSpaceExW", false);
BOOL WINAPI GetDiskFreeSpaceExW_late(LPCWSTR directory, PULARGE_INTEGER callerFree,
                                     PULARGE_INTEGER total, PULARGE_INTEGER totalFree) {
  auto real = g_getDiskFreeSpaceExW.Get<decltype(&GetDiskFreeSpaceExW_late)>();
  return real ? real(directory, callerFree, total, totalFree) : NotImplemented<BOOL>(FALSE);
}

BOOL WINAPI CharToOemBuffW_oem(LPCWSTR source, LPSTR target, DWORD length) {
  if (source == nullptr || target == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (length == 0) return TRUE;
  int n = static_cast<int>(length);
  return WideCharToMultiByte(CP_OEMCP, 0, source, n, target, n, nullptr, nullptr) != 0;
}

// Stands in for the shell's allocator when SHELL32 cannot be had, so that the library's
// unconditional Free of the (null) item list after a failed lookup does nothing.
class NoMalloc : public IMalloc {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  void* STDMETHODCALLTYPE Alloc(SIZE_T) override { return nullptr; }
  void* STDMETHODCALLTYPE Realloc(void*, SIZE_T) override { return nullptr; }
  void STDMETHODCALLTYPE Free(void*) override {}
  SIZE_T STDMETHODCALLTYPE GetSize(void*) override { return static_cast<SIZE_T>(-1); }
  int STDMETHODCALLTYPE DidAlloc(void*) override { return 0; }
  void STDMETHODCALLTYPE HeapMinimize() override {}
};
NoMalloc g_noMalloc;

Late g_shGetMalloc("shell32.dll", "SHGetMalloc", true);
HRESULT WINAPI SHGetMalloc_late(IMalloc** out) {
  auto real = g_shGetMalloc.Get<decltype(&SHGetMalloc_late)>();
  if (real && SUCCEEDED(real(out))) return S_OK;
  *out = &g_noMalloc;
  return S_OK;
}

Late g_shGetFolder("shell32.dll", "SHGetSpecialFolderLocation", true);
HRESULT WINAPI SHGetSpecialFolderLocation_late(HWND owner, int folder, PIDLIST_ABSOLUTE* list) {
  auto real = g_shGetFolder.Get<decltype(&SHGetSpecialFolderLocation_late)>();
  if (real) return real(owner, folder, list);
  *list = nullptr;
  return E_NOTIMPL;
}

Late g_shGetPath("shell32.dll", "SHGetPathFromIDListW", true);
BOOL WINAPI SHGetPathFromIDListW_late(PCIDLIST_ABSOLUTE list, LPWSTR path) {
  auto real = g_shGetPath.Get<decltype(&SHGetPathFromIDListW_late)>();
  return real ? real(list, path) : NotImplemented<BOOL>(FALSE);
}

}  // namespace

ZS_IMPORT_SLOT(CreateHardLinkW, 12, CreateHardLinkW_late);
ZS_IMPORT_SLOT(GetLongPathNameW, 12, GetLongPathNameW_late);
ZS_IMPORT_SLOT(CheckTokenMembership, 12, CheckTokenMembership_late);
ZS_IMPORT_SLOT(SetThreadExecutionState, 4, SetThreadExecutionState_late);
ZS_IMPORT_SLOT(GetProcessAffinityMask, 12, GetProcessAffinityMask_late);
ZS_IMPORT_SLOT(SystemTimeToTzSpecificLocalTime, 12, SystemTimeToTzSpecificLocalTime_late);
ZS_IMPORT_SLOT(TzSpecificLocalTimeToSystemTime, 12, TzSpecificLocalTimeToSystemTime_late);
ZS_IMPORT_SLOT(SetSuspendState, 12, SetSuspendState_late);
ZS_IMPORT_SLOT(CryptAcquireContextW, 20, CryptAcquireContextW_late);
ZS_IMPORT_SLOT(CryptGenRandom, 12, CryptGenRandom_late);
ZS_IMPORT_SLOT(CryptReleaseContext, 8, CryptReleaseContext_late);
ZS_IMPORT_SLOT(FoldStringW, 20, FoldStringW_late);
ZS_IMPORT_SLOT(GetDiskFreeSpaceExW, 16, GetDiskFreeSpaceExW_late);
ZS_IMPORT_SLOT(CharToOemBuffW, 12, CharToOemBuffW_oem);
ZS_IMPORT_SLOT(SHGetMalloc, 4, SHGetMalloc_late);
ZS_IMPORT_SLOT(SHGetSpecialFolderLocation, 12, SHGetSpecialFolderLocation_late);
ZS_IMPORT_SLOT(SHGetPathFromIDListW, 8, SHGetPathFromIDListW_late);
