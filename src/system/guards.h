// Small RAII guards: each releases what it holds when it goes out of scope, on every path.
#pragma once

#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#endif

// A block from malloc/realloc, freed at the end of the scope.
template <typename T = void>
struct HeapGuard {
  T* block = nullptr;
  HeapGuard() = default;
  explicit HeapGuard(T* b) : block(b) {}
  ~HeapGuard() { free(block); }
  HeapGuard(const HeapGuard&) = delete;
  HeapGuard& operator=(const HeapGuard&) = delete;
};

#ifdef _WIN32
// An open registry key, closed at the end of the scope.
struct KeyGuard {
  HKEY key = nullptr;
  KeyGuard() = default;
  KeyGuard(const KeyGuard&) = delete;
  KeyGuard& operator=(const KeyGuard&) = delete;
  ~KeyGuard() {
    if (key != nullptr) RegCloseKey(key);
  }
};

// A kernel handle (file, token ...), closed at the end of the scope. Both null and
// INVALID_HANDLE_VALUE mean "nothing held", since the APIs use either for failure.
struct HandleGuard {
  HANDLE handle = nullptr;
  HandleGuard() = default;
  explicit HandleGuard(HANDLE h) : handle(h) {}
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  ~HandleGuard() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
#endif
