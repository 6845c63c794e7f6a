// Free space of the volumes the setup writes to: which volume a path lies on, and how much of it
// the running account may still fill.
#pragma once

#include <stdint.h>

// The root of the volume path lies on, with a trailing backslash, into root (size bytes): the
// folder a volume is mounted at where the system knows mount points, else the drive ("C:\") or
// the share ("\\server\share\"). path need not exist. 1, or 0 for a path that names no volume.
int SysVolumeRoot(const char* path, char* root, int size);

// The bytes the running account may still write on the volume at root (its quota counted where
// the system has quotas) and the volume's allocation unit. 1, or 0 when the system cannot tell.
int SysVolumeFree(const char* root, uint64_t* freeBytes, uint32_t* clusterBytes);

// bytes as a person reads them: "512.0 KB", "1.5 MB", "2.0 GB" (one decimal, rounded up, so that
// a shortfall never reads as no difference), into out (size bytes).
void SysAmountText(uint64_t bytes, char* out, int size);
