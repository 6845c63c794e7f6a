// Component records and their library entries. The visual library reaches both component arrays
// through the setup context, so these layouts are an external interface: never reorder fields.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "run/libraries.h"

// One component library of a component (48 bytes).
struct ExeLib {
  char fileName[20];
  char resourceName[20];
  HMODULE module;
  ExeProcFn exeProc;
};

// One user-interface library of a component (60 bytes).
struct GuiLib {
  char fileName[20];
  char resourceName[20];
  int32_t shared;  // 1 when a component library of the same component has this file name
  HMODULE module;
  ConnectVisFn connectVis;
  DisconnectVisFn disconnectVis;
  void* connection;  // what connectVis returned
};

// One component of the package or of the installed product (456 bytes).
struct ComponentDesc {
  char displayName[100];
  char name[50];
  int32_t build;
  char language[15];
  // Package component: its temporary folder; installed component: its folder under "Setup\".
  char folder[260];
  // The published layout puts the library count at 436: five bytes lie between the folder's end
  // (431) and it, not the one byte natural alignment would leave.
  uint8_t reserved431[5];
  int32_t guiLibCount;
  GuiLib* guiLibs;
  int32_t exeLibCount;
  ExeLib* exeLibs;
  ComponentDesc* counterpart;  // the record of the same name in the other array
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ExeLib) == 48, "ExeLib layout");
static_assert(offsetof(ExeLib, resourceName) == 20, "ExeLib layout");
static_assert(offsetof(ExeLib, module) == 40, "ExeLib layout");
static_assert(offsetof(ExeLib, exeProc) == 44, "ExeLib layout");

static_assert(sizeof(GuiLib) == 60, "GuiLib layout");
static_assert(offsetof(GuiLib, shared) == 40, "GuiLib layout");
static_assert(offsetof(GuiLib, module) == 44, "GuiLib layout");
static_assert(offsetof(GuiLib, connectVis) == 48, "GuiLib layout");
static_assert(offsetof(GuiLib, disconnectVis) == 52, "GuiLib layout");
static_assert(offsetof(GuiLib, connection) == 56, "GuiLib layout");

static_assert(sizeof(ComponentDesc) == 456, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, name) == 100, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, build) == 152, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, language) == 156, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, folder) == 171, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, guiLibCount) == 436, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, guiLibs) == 440, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, exeLibCount) == 444, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, exeLibs) == 448, "ComponentDesc layout");
static_assert(offsetof(ComponentDesc, counterpart) == 452, "ComponentDesc layout");
#endif
