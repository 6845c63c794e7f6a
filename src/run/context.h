// The two process-wide records of a run: the setup context, whose address the visual library
// receives and may read and write (so its layout is an external interface), and the run options;
// and the paths made from the context's folders.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "run/components.h"

// Platform values of the context.
enum { PLATFORM_ANY = 0, PLATFORM_WIN9X = 1, PLATFORM_NT = 2 };

// Phase codes the wait dialog shows.
enum {
  PHASE_PREPARE_NEW = 11,
  PHASE_INSTALL_NEW = 12,
  PHASE_UNINSTALL = 13,
  PHASE_PREPARE_UPGRADE = 17,
  PHASE_INSTALL_UPGRADE = 18,
};

struct SetupContext {
  wchar_t* globalXmlPath;  // points at the run's 260-character UTF-16 buffer
  int32_t requiredPlatform;
  int32_t runningPlatform;
  int32_t reserved12;
  int32_t colorDepth;
  char windowsDir[260];
  char systemDir[260];
  char setupDir[260];
  char installDir[260];
  char programFilesDir[260];
  char packageDataDir[260];
  char logFilePath[260];
  int32_t exitCode;  // pending exit code of the start-up: 0, 101, 102 or 117
  HMODULE langLibrary;
  HMODULE resourceModule;
  char title[100];
  char installedLanguage[16];
  int32_t restartPending;
  int32_t productInstalled;
  int32_t reserved1976;
  int32_t phase;
  int32_t updateMode;
  void* engineList;
  // KiB the installation writes below the install folder, for the setup dialog; 0 until known.
  int32_t spaceNeededKiB;
  int32_t dataFileCount;
  int32_t componentCount;
  ComponentDesc* components;
  int32_t installedComponentCount;
  ComponentDesc* installedComponents;
  // The wait dialog's progress, written on the main thread whenever the program dispatches
  // messages: done of total is the fraction of the dialog's work done (it never goes back, and
  // reaches total only when the work is done); a total of 0 means no count, the dialog shows its
  // moving bar. The item is the file at hand, in a buffer of the run (null for none). A visual
  // library that does not know them never reads them, as they were reserved.
  int32_t progressDone;
  int32_t progressTotal;
  const char* progressItem;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SetupContext) == 2028, "SetupContext layout");
static_assert(offsetof(SetupContext, requiredPlatform) == 4, "SetupContext layout");
static_assert(offsetof(SetupContext, runningPlatform) == 8, "SetupContext layout");
static_assert(offsetof(SetupContext, colorDepth) == 16, "SetupContext layout");
static_assert(offsetof(SetupContext, windowsDir) == 20, "SetupContext layout");
static_assert(offsetof(SetupContext, systemDir) == 280, "SetupContext layout");
static_assert(offsetof(SetupContext, setupDir) == 540, "SetupContext layout");
static_assert(offsetof(SetupContext, installDir) == 800, "SetupContext layout");
static_assert(offsetof(SetupContext, programFilesDir) == 1060, "SetupContext layout");
static_assert(offsetof(SetupContext, packageDataDir) == 1320, "SetupContext layout");
static_assert(offsetof(SetupContext, logFilePath) == 1580, "SetupContext layout");
static_assert(offsetof(SetupContext, exitCode) == 1840, "SetupContext layout");
static_assert(offsetof(SetupContext, langLibrary) == 1844, "SetupContext layout");
static_assert(offsetof(SetupContext, resourceModule) == 1848, "SetupContext layout");
static_assert(offsetof(SetupContext, title) == 1852, "SetupContext layout");
static_assert(offsetof(SetupContext, installedLanguage) == 1952, "SetupContext layout");
static_assert(offsetof(SetupContext, restartPending) == 1968, "SetupContext layout");
static_assert(offsetof(SetupContext, productInstalled) == 1972, "SetupContext layout");
static_assert(offsetof(SetupContext, phase) == 1980, "SetupContext layout");
static_assert(offsetof(SetupContext, updateMode) == 1984, "SetupContext layout");
static_assert(offsetof(SetupContext, engineList) == 1988, "SetupContext layout");
static_assert(offsetof(SetupContext, dataFileCount) == 1996, "SetupContext layout");
static_assert(offsetof(SetupContext, componentCount) == 2000, "SetupContext layout");
static_assert(offsetof(SetupContext, components) == 2004, "SetupContext layout");
static_assert(offsetof(SetupContext, installedComponentCount) == 2008, "SetupContext layout");
static_assert(offsetof(SetupContext, installedComponents) == 2012, "SetupContext layout");
static_assert(offsetof(SetupContext, progressDone) == 2016, "SetupContext layout");
static_assert(offsetof(SetupContext, progressTotal) == 2020, "SetupContext layout");
static_assert(offsetof(SetupContext, progressItem) == 2024, "SetupContext layout");
#endif

// One "/$" variable: pointers into the run's private copy of the command line.
struct SetupVariable {
  char* name;
  char* value;
};

enum { SETUP_MAX_VARIABLE_SLOTS = 20 };
enum { LOG_NAMED = 1, LOG_NAMED_UNUSABLE = 2 };

struct SetupRunOptions {
  char adminFile[260];
  char setupDescFile[260];
  char singleComponentArchive[260];
  char password[30];
  char authServer[260];
  uint8_t silent;
  uint8_t uninstall;
  uint8_t forceOld;
  uint8_t update;
  uint8_t test;
  uint8_t reboot;
  uint8_t installRuntimeLibs;
  SetupVariable variables[SETUP_MAX_VARIABLE_SLOTS];
  int32_t variableCount;
  // "/LOG=file": the log goes to this full path (a relative name taken against the current folder
  // at the start). logNamed: 0 no switch, LOG_NAMED, or LOG_NAMED_UNUSABLE for an empty name or
  // one too long for a path (logFile then holds it as given, for the log's first line).
  uint8_t logNamed;
  char logFile[260];
};

extern SetupContext g_context;
extern SetupRunOptions g_options;

// For a non-empty name, when always is set or the name holds no backslash, replaces it in place by
// the setup folder followed by the name (name is a buffer of MAX_PATH bytes; a longer result is
// cut). Returns name, or null for an empty one.
char* SetupMakeAbsolute(char* name, int always);

// Writes the System folder followed by below into out (size bytes). A path that does not fit is
// refused, since a cut one could name another folder: out is then empty and the result 0, else 1.
int SetupSystemPath(char* out, int size, const char* below);
