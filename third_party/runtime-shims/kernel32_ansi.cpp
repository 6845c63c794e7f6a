// CreateSemaphoreW and CreateEventW for every binary that ships (linked by zs_shipped), so that
// they work on the Windows 9x family too, where KERNEL32 exports them only as stubs that fail
// (ERROR_CALL_NOT_IMPLEMENTED).
//
// Their callers: libgcc's thread-model mutexes (the unwinder's object list, emulated TLS) create
// their semaphore with CreateSemaphoreW and do not look at a failure, so on 9x two threads
// contending for one of them would both go on; the UnRAR library's thread pool gives up
// ("Thread pool initialization failed") without its semaphore and event. The replacements call
// the ANSI functions, which both families have; an object name (only libunrar's "rar -ioff" event
// has one) is converted to the ANSI code page, and a name that does not convert exactly fails with
// ERROR_INVALID_NAME rather than naming another object.
#include <windows.h>

#include "import_slot.h"

namespace {

// Converts a wide object name to the ANSI code page; false when it does not convert exactly.
bool AnsiName(LPCWSTR name, char* out, int size) {
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, name, -1, out, size, nullptr, &lossy);
  if (n == 0 || lossy) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return true;
}

HANDLE WINAPI CreateSemaphoreW_ansi(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                    LPCWSTR name) {
  char ansi[MAX_PATH];
  if (name != nullptr && !AnsiName(name, ansi, sizeof ansi)) return nullptr;
  return CreateSemaphoreA(attributes, initial, maximum, name != nullptr ? ansi : nullptr);
}

HANDLE WINAPI CreateEventW_ansi(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                BOOL initialState, LPCWSTR name) {
  char ansi[MAX_PATH];
  if (name != nullptr && !AnsiName(name, ansi, sizeof ansi)) return nullptr;
  return CreateEventA(attributes, manualReset, initialState, name != nullptr ? ansi : nullptr);
}

}  // namespace

ZS_IMPORT_SLOT(CreateSemaphoreW, 16, CreateSemaphoreW_ansi);
ZS_IMPORT_SLOT(CreateEventW, 16, CreateEventW_ansi);
