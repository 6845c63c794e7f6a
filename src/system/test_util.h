// Helpers shared by the system services' Wine tests: scratch folders, file contents, the pending
// restart renames and a counting sleep hook.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace zs_test {

// A fresh empty folder C:\zs_tests\<name>\ (with the trailing backslash).
std::string ScratchDir(const std::string& name);

bool WriteText(const std::string& path, const std::string& text);
// The file's content, or "<missing>" when it cannot be read.
std::string ReadText(const std::string& path);
bool Exists(const std::string& path);

// The entries of PendingFileRenameOperations (source, target pairs flattened), upper-cased.
std::vector<std::string> PendingRenames();
// True when some pending entry ends with the given path (compared without case).
bool IsPending(const std::string& path);

// Counts the waits of the retry loops; onWait runs at each with the count so far.
struct SleepCounter {
  SleepCounter();
  ~SleepCounter();
  int waits() const;
  DWORD total() const;
  std::function<void(int)> onWait;
};

// Makes SysIsNT report the 9x family (or NT) for the life of the object.
struct FakePlatform {
  explicit FakePlatform(bool nt);
  ~FakePlatform();
};

// The full path of a file beside the test program.
std::string BesideTestProgram(const char* name);

}  // namespace zs_test
