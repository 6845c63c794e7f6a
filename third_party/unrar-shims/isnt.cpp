// Replaces the UnRAR library's isnt.cpp (left out of libunrar.a by scripts/unrar.sh).
//
// The original asks for the Windows version with GetVersionExW, a failing stub on the Windows 9x
// family (its WinNT() then read an uninitialised structure), and tells Windows 10 from 11 through
// WMI (ole32, oleaut32, wbemuuid), which NT 4.0 and 98 do not have. Here the version comes from
// GetVersionExA, and Windows 11 is told by its build number alone (22000 and later). The library
// uses IsWindows11OrGreater() only to decide whether a name with a trailing dot is a reserved
// device name.
#include <string.h>
#include <windows.h>

// The library's declarations (isnt.hpp).
DWORD WinNT();
bool IsWindows11OrGreater();

namespace {

struct Version {
  DWORD platform, major, minor, build;
};

const Version& WindowsVersion() {
  // Filled on first use; concurrent first calls fill it with the same values.
  static Version version = [] {
    OSVERSIONINFOA info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    Version v = {0, 0, 0, 0};
    if (GetVersionExA(&info)) {
      v.platform = info.dwPlatformId;
      v.major = info.dwMajorVersion;
      v.minor = info.dwMinorVersion;
      v.build = info.dwBuildNumber & 0xffff;  // 9x keeps the major and minor in the high word
    }
    return v;
  }();
  return version;
}

}  // namespace

// 0 on the Windows 9x family, else major*0x100+minor (0x0400 for NT 4.0), as the original.
DWORD WinNT() {
  const Version& v = WindowsVersion();
  return v.platform == VER_PLATFORM_WIN32_NT ? v.major * 0x100 + v.minor : 0;
}

bool IsWindows11OrGreater() {
  const Version& v = WindowsVersion();
  return v.platform == VER_PLATFORM_WIN32_NT &&
         (v.major > 10 || (v.major == 10 && v.build >= 22000));
}
