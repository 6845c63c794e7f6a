#include "install/filecopy.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "driver/context.h"
#include "package/model.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

// Replaces every find in text, resuming behind each inserted value. False when one did not fit.
bool ReplaceForward(char* text, int capacity, const char* find, const char* value) {
  size_t findLength = strlen(find);
  size_t valueLength = strlen(value);
  size_t length = strlen(text);
  size_t pos = 0;
  for (;;) {
    char* at = strstr(text + pos, find);
    if (at == nullptr) return true;
    size_t index = static_cast<size_t>(at - text);
    if (length - findLength + valueLength + 1 > static_cast<size_t>(capacity)) return false;
    memmove(at + valueLength, at + findLength, length - index - findLength + 1);
    memcpy(at, value, valueLength);
    length = length - findLength + valueLength;
    pos = index + valueLength;
  }
}

bool ReadVars(XML_Document* doc, TargetVars* vars) {
  int size = sizeof vars->installDir;
  if (!SetupGetInstallPath(doc, vars->installDir, &size)) return false;
  size_t len = strlen(vars->installDir);
  if (len > 0 && vars->installDir[len - 1] == '\\') vars->installDir[len - 1] = 0;
  UINT n = GetWindowsDirectoryA(vars->windowsDir, sizeof vars->windowsDir);
  if (n == 0 || n >= sizeof vars->windowsDir) return false;
  n = GetSystemDirectoryA(vars->systemDir, sizeof vars->systemDir);
  if (n == 0 || n >= sizeof vars->systemDir) return false;
  StrCopyN(vars->driversDir, vars->systemDir, sizeof vars->driversDir);
  StrAppendN(vars->driversDir, "\\drivers", sizeof vars->driversDir);
  return true;
}

bool Read(XML_Document* doc, XML_Node* element, const wchar16* name, char* buffer, int size) {
  int n = size;
  return XML_GetAttributeA(doc, element, name, buffer, &n) == 0;
}

bool Set(XML_Document* doc, XML_Node* element, const wchar16* name, const char* text) {
  return XML_SetAttributeA(doc, element, name, text) == 0;
}

// Reads TARGET, expands it and writes the expanded form back.
bool ExpandedTarget(XML_Document* doc, XML_Node* element, const TargetVars& vars, char* target) {
  if (!Read(doc, element, u"TARGET", target, MAX_PATH)) return false;
  SetupExpandTargetVars(target, MAX_PATH, vars);
  return Set(doc, element, u"TARGET", target);
}

bool EqualsNoCase(const char* status, const char* value) { return lstrcmpiA(status, value) == 0; }

// A path inside the install folder (whose text has no trailing backslash here).
bool InsideInstallFolder(const char* path, const TargetVars& vars) {
  size_t n = strlen(vars.installDir);
  return n > 0 && strlen(path) > n + 1 &&
         CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, path, static_cast<int>(n),
                        vars.installDir, static_cast<int>(n)) == CSTR_EQUAL &&
         path[n] == '\\';
}

bool CopyFolders(XML_Document* doc, XML_Node* files, const TargetVars& vars) {
  XML_Node* cursor = nullptr;
  for (XML_Node* dir = XML_NextElement(files, u"DIR", &cursor); dir != nullptr;
       dir = XML_NextElement(files, u"DIR", &cursor)) {
    char target[MAX_PATH];
    if (!ExpandedTarget(doc, dir, vars, target)) return false;
    bool existed = false;
    if (!CreateDirectoryA(target, nullptr)) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) {
        existed = true;
      } else if (!FileCreateFolderPath(target)) {
        return false;
      }
    }
    if (!Set(doc, dir, u"STATUS", existed ? "EXISTS" : "CREATED")) return false;
    // A folder that was there before belongs to the product only inside its own folder; a shared
    // folder such as the System folder must survive the uninstallation.
    if (!existed || InsideInstallFolder(target, vars)) SetupAddUninstall(doc, target, LIST_DIR);
  }
  return true;
}

bool CopyComponentFiles(XML_Document* doc, XML_Node* files, const TargetVars& vars) {
  char source[MAX_PATH];
  if (!Read(doc, files, u"SETUPDIR", source, sizeof source)) return false;
  char* slash = strrchr(source, '\\');
  if (slash == nullptr) return false;
  slash[1] = 0;
  size_t folderLength = strlen(source);
  XML_Node* cursor = nullptr;
  for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor); file != nullptr;
       file = XML_NextElement(files, u"FILE", &cursor)) {
    char name[MAX_PATH];
    if (!Read(doc, file, u"SOURCE", name, sizeof name)) return false;
    source[folderLength] = 0;
    StrAppendN(source, name, sizeof source);
    char target[MAX_PATH];
    if (!ExpandedTarget(doc, file, vars, target)) return false;
    char alternate[MAX_PATH];
    if (!FileCopyBeside(source, target, 0, alternate, sizeof alternate)) return false;
    // A file that was there before is the product's only inside its own folder: a shared
    // library updated in the System folder must not be deleted at uninstallation.
    if (alternate[0] == 0 || InsideInstallFolder(target, vars)) {
      SetupAddUninstall(doc, target, LIST_FILE);
    }
    if (alternate[0] == 0) {
      if (!Set(doc, file, u"STATUS", "COPIED")) return false;
      FileDecryptIfEncrypted(target);
    } else {
      if (!Set(doc, file, u"STATUS", "PREPARED") || !Set(doc, file, u"TMP_NAME", alternate)) {
        return false;
      }
      FileDecryptIfEncrypted(alternate);
    }
  }
  return true;
}

// The first FILES of every component, in document order.
template <typename Fn>
bool EachFiles(XML_Document* doc, Fn fn) {
  XML_Node* components = XML_Find(doc, nullptr, u"PACKAGE\\COMPONENTS", XML_OPEN_EXISTING);
  if (components == nullptr) return false;
  XML_Node* cursor = nullptr;
  for (XML_Node* c = XML_NextElement(components, u"COMPONENT", &cursor); c != nullptr;
       c = XML_NextElement(components, u"COMPONENT", &cursor)) {
    XML_Node* filesCursor = nullptr;
    XML_Node* files = XML_NextElement(c, u"FILES", &filesCursor);
    if (files != nullptr && !fn(files)) return false;
  }
  return true;
}

}  // namespace

void SetupExpandTargetVars(char* text, int capacity, const TargetVars& vars) {
  ReplaceForward(text, capacity, "%INSTALLDIR%", vars.installDir) &&
      ReplaceForward(text, capacity, "%WINDOWSDIR%", vars.windowsDir) &&
      ReplaceForward(text, capacity, "%SYSTEMDIR%", vars.systemDir) &&
      ReplaceForward(text, capacity, "%DRIVERSDIR%", vars.driversDir);
}

int SetupCopyFiles(XML_Document* doc) {
  TargetVars vars;
  if (!ReadVars(doc, &vars)) return 0;
  return EachFiles(doc,
                   [&](XML_Node* files) {
                     return CopyFolders(doc, files, vars) && CopyComponentFiles(doc, files, vars);
                   })
             ? 1
             : 0;
}

int SetupCommitChanges(XML_Document* doc) {
  // Every waiting file must be there before the first replacement is scheduled: a commit that
  // stopped half-way would leave old and new files mixed after the restart.
  bool complete = EachFiles(doc, [&](XML_Node* files) {
    XML_Node* cursor = nullptr;
    for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor); file != nullptr;
         file = XML_NextElement(files, u"FILE", &cursor)) {
      char status[64];
      char target[MAX_PATH];
      if (!Read(doc, file, u"STATUS", status, sizeof status) ||
          !Read(doc, file, u"TARGET", target, sizeof target)) {
        return false;
      }
      if (!EqualsNoCase(status, "PREPARED")) continue;
      char alternate[MAX_PATH];
      if (!Read(doc, file, u"TMP_NAME", alternate, sizeof alternate)) return false;
      if (GetFileAttributesA(alternate) == INVALID_FILE_ATTRIBUTES) return false;
    }
    return true;
  });
  if (!complete) return 0;
  return EachFiles(doc,
                   [&](XML_Node* files) {
                     XML_Node* cursor = nullptr;
                     for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor);
                          file != nullptr; file = XML_NextElement(files, u"FILE", &cursor)) {
                       char status[64];
                       char target[MAX_PATH];
                       char alternate[MAX_PATH];
                       Read(doc, file, u"STATUS", status, sizeof status);
                       if (!EqualsNoCase(status, "PREPARED")) continue;
                       if (!Read(doc, file, u"TARGET", target, sizeof target) ||
                           !Read(doc, file, u"TMP_NAME", alternate, sizeof alternate) ||
                           !FileMoveOrSchedule(alternate, target, FILE_MOVE_AT_RESTART)) {
                         return false;
                       }
                       g_context.restartPending = 1;
                       if (!Set(doc, file, u"STATUS", "REGISTERED")) return false;
                     }
                     return true;
                   })
             ? 1
             : 0;
}

void SetupRollbackFiles(XML_Document* doc) {
  EachFiles(doc, [&](XML_Node* files) {
    XML_Node* cursor = nullptr;
    for (XML_Node* file = XML_NextElement(files, u"FILE", &cursor); file != nullptr;
         file = XML_NextElement(files, u"FILE", &cursor)) {
      char status[64];
      char target[MAX_PATH];
      if (!Read(doc, file, u"TARGET", target, sizeof target) ||
          !Read(doc, file, u"STATUS", status, sizeof status)) {
        continue;
      }
      char alternate[MAX_PATH];
      if (EqualsNoCase(status, "COPIED")) {
        DeleteFileA(target);
      } else if (EqualsNoCase(status, "PREPARED") &&
                 Read(doc, file, u"TMP_NAME", alternate, sizeof alternate)) {
        DeleteFileA(alternate);
      }
    }
    // Folders go from the last to the first, so a created subfolder listed after its created
    // parent is removed before it and the parent does not stay behind.
    int count = 0;
    cursor = nullptr;
    while (XML_NextElement(files, u"DIR", &cursor) != nullptr) ++count;
    HeapGuard<XML_Node*> dirs(
        static_cast<XML_Node**>(malloc(static_cast<size_t>(count + 1) * sizeof(XML_Node*))));
    if (dirs.block == nullptr) return true;
    int n = 0;
    cursor = nullptr;
    for (XML_Node* dir = XML_NextElement(files, u"DIR", &cursor); dir != nullptr && n < count;
         dir = XML_NextElement(files, u"DIR", &cursor)) {
      dirs.block[n++] = dir;
    }
    while (n-- > 0) {
      char status[64];
      char target[MAX_PATH];
      if (Read(doc, dirs.block[n], u"STATUS", status, sizeof status) &&
          EqualsNoCase(status, "CREATED") &&
          Read(doc, dirs.block[n], u"TARGET", target, sizeof target)) {
        RemoveDirectoryA(target);
      }
    }
    return true;
  });
}
