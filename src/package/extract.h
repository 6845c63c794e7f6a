// Taking files out of the package's containers: component archives (RAR) and engine update
// containers. Every output name is checked to stay inside its folder; nothing is logged.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "package/update.h"

// Validates the update container at path and writes its payload to output. infoName (260 bytes)
// is emptied first and, once the information section was found, names a temporary profile file
// holding it, which the caller reads and deletes. 1 on success, 0 on failure.
int ExtractUpdateData(const char* path, const char* output, char* infoName);

// Extracts every entry of the RAR archive at path (a self-extracting stub may precede it) into
// folder (with a trailing backslash). An entry that is a folder, a link, encrypted, or whose name
// is not a plain file name or does not fit the folder, ends the walk. 1 when the walk reached the
// regular end of the archive; 0 otherwise (files written before stay).
int ExtractArchive(const char* path, const char* folder);

// ExtractArchive that another thread can stop: once *cancel is non-zero no further entry is
// started and the result is 0.
int ExtractArchiveCancellable(const char* path, const char* folder, volatile LONG* cancel);

// Extracts the first entry whose name equals entry (ignoring case) to output. 1 when it was found
// and extracted without error; 0 for a missing entry, a damaged or foreign file.
int ExtractArchiveEntry(const char* path, const char* output, const char* entry);
