// The name beside a file under which the setup program puts its replacement the first time
// (C:\P\lib.dll -> C:\P\_ib.d00), for the benchmark's floors of the upgrade.
#pragma once

#include <string>

inline std::string AlternateName(const std::string& path) {
  std::string alt = path;
  size_t name = alt.rfind('\\') + 1;
  size_t dot = alt.rfind('.');
  if (dot == std::string::npos || dot < name) return alt + "_00";
  alt[name] = '_';
  return alt.substr(0, dot + (dot + 1 < alt.size() ? 2 : 1)) + "00";
}
