// Disk space: what the run will write on each volume, checked against the volume's free space
// before the archives are extracted and again before the files are copied, so that a full disk
// ends the run before anything was written instead of in the middle of the copy.
#pragma once

#include <stdint.h>

// Exit code of a run that lacks disk space (the system's own number for a full disk).
enum { SETUP_EXIT_DISK_FULL = 112 };

// Adds what extracting and installing the component archive at path will write, read from the
// archive's headers and its description without extracting it. 1, or 0 without memory.
int SetupPlanArchive(const char* archive);

// Bytes the planned archives unpack to: what the extraction writes.
uint64_t SetupPlannedExtractBytes();

// Checks what the planned archives, the program's own files and the engines will write: the
// unpacked archives on the temporary folder's volume, and every file to install on the volume of
// its target under the current install folder (the setup folder's copies and the engines with
// them). Writes the install folder's share into the setup context for the setup dialog. Returns
// 0; 103 without memory; or 112 after the log line naming the volume that lacks the space, the
// bytes needed and the bytes free, text (size bytes) then saying the same in short for the exit
// path.
int SetupCheckSpaceBeforeExtract(char* text, int size);

// The same check for the copy, under the install folder chosen by now; the archives are
// extracted, so the temporary folder needs nothing more. Results as above.
int SetupCheckSpaceBeforeCopy(char* text, int size);
