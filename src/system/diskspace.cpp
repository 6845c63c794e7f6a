#include "system/diskspace.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "system/libload.h"
#include "system/str.h"

namespace {

typedef BOOL(WINAPI* GetDiskFreeSpaceExFn)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                           PULARGE_INTEGER);
typedef BOOL(WINAPI* GetVolumePathNameFn)(LPCSTR, LPSTR, DWORD);

// "C:\" or "\\server\share\" of path; 0 when it begins with neither.
int DriveOrShareRoot(const char* path, char* root, int size) {
  if (((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':') {
    if (size < 4) return 0;
    root[0] = path[0];
    root[1] = ':';
    root[2] = '\\';
    root[3] = 0;
    return 1;
  }
  if (path[0] != '\\' || path[1] != '\\') return 0;
  const char* server = strchr(path + 2, '\\');
  if (server == nullptr || server == path + 2) return 0;
  const char* share = strchr(server + 1, '\\');
  size_t length = share != nullptr ? static_cast<size_t>(share - path) : strlen(path);
  if (length <= static_cast<size_t>(server + 1 - path) || length + 2 > static_cast<size_t>(size)) {
    return 0;
  }
  memcpy(root, path, length);
  root[length] = '\\';
  root[length + 1] = 0;
  return 1;
}

}  // namespace

int SysVolumeRoot(const char* path, char* root, int size) {
  if (!DriveOrShareRoot(path, root, size)) return 0;
  // Mount points exist from Windows 2000 on, and so does the call that knows them; it also
  // accepts a path that does not exist yet, taking the volume of the part that does.
  static GetVolumePathNameFn volumePath =
      SysKernel32Export<GetVolumePathNameFn>("GetVolumePathNameA");
  char found[MAX_PATH];
  if (volumePath != nullptr && volumePath(path, found, sizeof found) && found[0] != 0) {
    AddBackslash(found, sizeof found);
    StrCopyN(root, found, size);
  }
  return 1;
}

int SysVolumeFree(const char* root, uint64_t* freeBytes, uint32_t* clusterBytes) {
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  bool geometry =
      GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) != 0;
  // The first releases of the 9x family lack the call that counts past 2 GB and knows quotas.
  static GetDiskFreeSpaceExFn freeEx =
      SysKernel32Export<GetDiskFreeSpaceExFn>("GetDiskFreeSpaceExA");
  ULARGE_INTEGER available, total, totalFree;
  if (freeEx != nullptr && freeEx(root, &available, &total, &totalFree)) {
    *freeBytes = available.QuadPart;
  } else if (geometry) {
    *freeBytes = static_cast<uint64_t>(freeClusters) * sectorsPerCluster * bytesPerSector;
  } else {
    return 0;
  }
  uint64_t cluster = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
  // A volume that keeps its geometry to itself (some shares) is counted in common 4 KB units.
  *clusterBytes =
      geometry && cluster > 0 && cluster <= (1u << 24) ? static_cast<uint32_t>(cluster) : 4096u;
  return 1;
}

void SysAmountText(uint64_t bytes, char* out, int size) {
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  uint64_t tenths = (bytes * 10 + 1023) / 1024;
  int unit = 0;
  while (tenths >= 10240 && unit < 3) {
    tenths = (tenths + 1023) / 1024;
    ++unit;
  }
  snprintf(out, static_cast<size_t>(size), "%u.%u %s", static_cast<unsigned>(tenths / 10),
           static_cast<unsigned>(tenths % 10), kUnits[unit]);
}
