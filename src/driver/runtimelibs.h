// The runtime libraries the package may carry beside the program (mfc42.dll, mfc42u.dll,
// msvcrt.dll) against the System folder's copies.
#pragma once

// Statuses of a library, also the numbers of the questions the start-up asks.
enum { RUNTIME_LIB_OK = 0, RUNTIME_LIB_OLDER = 301, RUNTIME_LIB_MISSING = 302 };

// One row of the table: the file name and its status after the check.
struct RuntimeLibEntry {
  const char* fileName;
  int status;
};

enum { RUNTIME_LIB_COUNT = 3 };

// The table, in its fixed order.
extern RuntimeLibEntry g_runtimeLibs[RUNTIME_LIB_COUNT];

// 0 when nothing is to be done, 301 when the System folder holds an older copy, 302 when it holds
// none (the largest status of the three). A library whose replacement already waits for the
// restart counts as done, so a run before that restart does not offer it again.
int SetupCheckRuntimeLibraries();

// Copies the libraries whose status is not 0 into the System folder, never overwriting: a target
// that exists gets the copy beside it, scheduled to replace it at the restart. The result:
//   308  a library could not be put in place: the Unicode build (mfc42u.dll) is never copied on
//        the 9x family, which cannot run it, and a copy that failed (neither written nor waiting
//        beside its target) leaves the library missing or old, which no restart mends; a failed
//        copy writes an error line with the library and the system's error;
//   1-3  otherwise, the number of libraries whose copy waits beside the target for the restart;
//   0    every library is in place.
// *messageId gets the string that tells a failure to the user: 308 for the Unicode build on the
// 9x family, else 306. A failed row does not stop the others.
int SetupInstallRuntimeLibraries(int* messageId);

// Compares two files: 1 the first is newer, 2 the second is newer, 3 equal, 0 the comparison
// failed. The fixed file versions decide when both files have one, else the last-write times.
int CompareFileVersions(const char* first, const char* second);
