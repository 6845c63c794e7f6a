// Run-time lookup of a Windows function, for the shims that take the place of the UnRAR
// library's imports (late_imports.cpp, wide_9x.cpp).
#ifndef ZS_UNRAR_SHIMS_LATE_H
#define ZS_UNRAR_SHIMS_LATE_H

#include <stdint.h>
#include <windows.h>

#include <atomic>

// The address of `name` in `dll`, looked up once per call site. The module is one the program
// imports anyway (found with GetModuleHandleA) unless `load`, when it is loaded on first use from
// the System folder by its full path (never through the search order, which looks beside the
// program first) and kept. Concurrent first calls look up the same address.
class Late {
 public:
  constexpr Late(const char* dll, const char* name, bool load)
      : dll_(dll), name_(name), load_(load) {}

  template <typename Fn>
  Fn Get() {
    uintptr_t p = address_.load(std::memory_order_acquire);
    if (p == kUnresolved) {
      HMODULE module = load_ ? LoadFromSystemFolder() : GetModuleHandleA(dll_);
      p = module != nullptr ? reinterpret_cast<uintptr_t>(GetProcAddress(module, name_)) : 0;
      address_.store(p, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(p);
  }

 private:
  static constexpr uintptr_t kUnresolved = 1;

  HMODULE LoadFromSystemFolder() const {
    char path[MAX_PATH];
    UINT n = GetSystemDirectoryA(path, MAX_PATH);
    if (n == 0 || n + 1 + lstrlenA(dll_) >= MAX_PATH) return nullptr;
    if (path[n - 1] != '\\') path[n++] = '\\';
    lstrcpynA(path + n, dll_, MAX_PATH - static_cast<int>(n));
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }

  const char* dll_;
  const char* name_;
  bool load_;
  std::atomic<uintptr_t> address_{kUnresolved};  // constant-initialised: usable before main
};

// The failure of a function the system lacks.
template <typename Result>
Result NotImplemented(Result failure) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return failure;
}

#endif
