// Shared helpers of the driver's Windows unit tests: a fresh run state per test, a scratch
// folder, the worker doubles' journal, and catching the end of the process.
#pragma once

#include <windows.h>

#include <csetjmp>
#include <string>
#include <vector>

// Resets the run's records, the visual library, the exit path's state and the worker doubles'
// script and journal; the setup folder becomes a new empty scratch folder (with a backslash).
class DriverTest {
 public:
  DriverTest();
  ~DriverTest();

  const std::string& folder() const { return folder_; }
  std::string LogPath() const { return folder_ + "zsetup.log"; }

  // Writes the worker doubles' script.
  void Script(const std::string& text) const;
  // Journal lines of the worker doubles.
  std::vector<std::string> Journal() const;

 private:
  std::string folder_;
};

// Lines of a text file without their line ends; empty when it cannot be read.
std::vector<std::string> ReadLines(const std::string& path);
bool WriteText(const std::string& path, const std::string& text);
bool FileThere(const std::string& path);
// Names in a folder, without "." and "..".
std::vector<std::string> FolderEntries(const std::string& folder);

// Runs body; returns true with *code set when it ended the process (through the exit path or
// SetupEndProcess), false when it returned.
bool EndsProcess(void (*body)(void*), void* arg, int* code);

template <typename F>
bool EndsProcess(F body, int* code) {
  return EndsProcess([](void* p) { (*static_cast<F*>(p))(); }, &body, code);
}
