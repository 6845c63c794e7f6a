// Shared helpers of the test doubles: the script named by an environment variable and an
// appended, flushed journal. Test tools only; never part of the product.
#pragma once

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

namespace zsdouble {

inline std::string Env(const char* name) {
  char buf[1024];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return std::string();
  return std::string(buf, n);
}

// Lines of the file named by the environment variable, without comments and blank lines.
inline std::vector<std::string> ReadScript(const char* envName) {
  std::vector<std::string> lines;
  std::string path = Env(envName);
  if (path.empty()) return lines;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return lines;
  char buf[1024];
  while (fgets(buf, sizeof buf, f) != nullptr) {
    std::string line(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
      line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    lines.push_back(line);
  }
  fclose(f);
  return lines;
}

// Appends one line to the journal named by the environment variable.
inline void Journal(const char* envName, const std::string& line) {
  std::string path = Env(envName);
  if (path.empty()) return;
  FILE* f = fopen(path.c_str(), "ab");
  if (f == nullptr) return;
  fprintf(f, "%s\n", line.c_str());
  fclose(f);
}

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
  char buf[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

inline std::string Narrow(const wchar_t* text) {
  if (text == nullptr) return "(null)";
  char buf[1024];
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, buf, sizeof buf, nullptr, nullptr);
  if (n <= 0) return "(unconvertible)";
  return buf;
}

}  // namespace zsdouble
