// The engine files of the package: update containers named under PACKAGE\ENGINES, unpacked into
// the working folder, copied into the install folder and swapped in at the next restart.
#pragma once

#include <stdint.h>

struct XML_Document;
struct XML_Node;
struct HKEY__;

// One engine file; the list hangs from the setup context's engine list in package order.
struct EngineEntry {
  char name[50];            // the container's file name (the ENGINE's FILE)
  char fileName[50];        // the payload's name in the install folder; empty: not installed
  char altName[260];        // beside the target, when the target existed at the copy
  uint32_t build;           // the build the payload carries
  char buildValueName[32];  // the value under InstalledComponents that records the build
  EngineEntry* next;
};

// Reads the ENGINE children of the first ENGINES under package into the list and logs
// "Engines nups". 0, or 114 for an ENGINE without a FILE, 103 without memory.
int SetupReadEngineList(XML_Document* doc, XML_Node* package);

// Fetches each container from the setup folder, diskFolder ("..\diskN\", the last data disk) or
// the disks after lastDisk (asking for them interactively), validates it into workDir and gives
// the payload its file name. 0, or 202 (a disk was not supplied), 111 (copy or rename failed),
// 106 (a container failed or names a file outside the folder).
int SetupExtractEngines(const char* workDir, const char* diskFolder, int lastDisk);

// Copies the engine files. 1 / 0.
int SetupCopyEngines();

// Commits the copied engine files. 1 / 0.
int SetupCommitEngines();

// Writes each entry's build as a REG_DWORD named by its build value name (the unnamed value for an
// empty one) into key. 1 when every value was written.
int SetupWriteEngineBuilds(HKEY__* key);

// 1 when no build recorded under InstalledComponents is newer than the package's, else 0.
int SetupCheckEngineBuilds();

// Frees the engine list (the setup context's engine list becomes null).
void SetupFreeEngineList();
