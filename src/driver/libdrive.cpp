#include "driver/libdrive.h"

#include <stdlib.h>
#include <windows.h>

#include "auth/privatefolder.h"
#include "driver/globalxml.h"
#include "install/engines.h"
#include "install/journal.h"
#include "install/rollback.h"
#include "install/uninstall.h"
#include "run/context.h"
#include "run/exit.h"
#include "run/log.h"
#include "run/vislib.h"
#include "system/files.h"
#include "system/hook.h"
#include "system/libload.h"
#include "system/os.h"
#include "system/str.h"

namespace {

ComponentDesc* Array(int list, int* count) {
  if (list == EXELIBS_INSTALLED) {
    *count = g_context.installedComponentCount;
    return g_context.installedComponents;
  }
  *count = g_context.componentCount;
  return g_context.components;
}

// folder + name, cut to MAX_PATH.
void JoinPath(char* out, const char* folder, const char* name) {
  StrCopyN(out, folder, MAX_PATH);
  AddBackslash(out, MAX_PATH);
  StrAppendN(out, name, MAX_PATH);
}

void DeleteLibraryFile(const char* folder, const char* name) {
  char path[MAX_PATH];
  JoinPath(path, folder, name);
  if (!SysDeleteFile(path))
    SetupLogError("Can't erase file: %s - %d", path, static_cast<int>(GetLastError()));
}

// Disconnects and unloads the libraries of one array; deleteFiles removes the files of the
// libraries that had a module of their own from the component's folder.
void ReleaseComponents(ComponentDesc* components, int count, bool deleteFiles) {
  for (int i = 0; i < count; ++i) {
    ComponentDesc& c = components[i];
    for (int g = 0; g < c.guiLibCount && c.guiLibs != nullptr; ++g) {
      GuiLib& gui = c.guiLibs[g];
      if (gui.disconnectVis != nullptr && gui.connection != nullptr) {
        gui.disconnectVis(gui.connection);
      }
      gui.connection = nullptr;
      // A shared library's module belongs to the component library of the same file.
      if (gui.module != nullptr && !gui.shared) {
        FreeLibrary(gui.module);
        if (deleteFiles) DeleteLibraryFile(c.folder, gui.fileName);
      }
      gui.module = nullptr;
    }
    for (int e = 0; e < c.exeLibCount && c.exeLibs != nullptr; ++e) {
      ExeLib& exe = c.exeLibs[e];
      if (exe.exeProc != nullptr) exe.exeProc(CMD_RELEASE, g_context.globalXmlPath);
      exe.exeProc = nullptr;
      if (exe.module != nullptr) {
        FreeLibrary(exe.module);
        if (deleteFiles) DeleteLibraryFile(c.folder, exe.fileName);
      }
      exe.module = nullptr;
    }
    free(c.guiLibs);
    c.guiLibs = nullptr;
    c.guiLibCount = 0;
    free(c.exeLibs);
    c.exeLibs = nullptr;
    c.exeLibCount = 0;
  }
}

void DeleteFolder(const char* folder) {
  SetupLog("Deleting directory: %s", folder);
  FileDeleteMatching(folder, 1, "*.*", 0);
}

}  // namespace

void ExeLibsCommand(int command, int list) {
  SysPumpMessages();
  int count = 0;
  ComponentDesc* components = Array(list, &count);
  for (int i = 0; i < count && components != nullptr; ++i) {
    ComponentDesc& c = components[i];
    SetupLog("Cmd: %2d Exelib: %s", command, c.displayName);
    for (int e = 0; e < c.exeLibCount && c.exeLibs != nullptr; ++e) {
      ExeLib& exe = c.exeLibs[e];
      if (exe.exeProc == nullptr) continue;
      SetupLog("- %s", exe.fileName);
      int result = exe.exeProc(command, g_context.globalXmlPath);
      if (result == EXEPROC_RESTART) g_context.restartPending = 1;
      bool fatal =
          command == CMD_INIT || command == CMD_LOAD_CURRENT_STATE || command == CMD_INSTALL;
      if (fatal && result >= 100 && result <= 1000) {
        SetupExit(nullptr, nullptr, result, c.displayName);
      }
    }
  }
}

int ExeLibsLoadInstalled() {
  char setupFolder[MAX_PATH];
  JoinPath(setupFolder, g_context.installDir, "Setup\\");
  if (SetupBuildGlobalFromUninst() != 1) {
    // An uninstallation cut short or failed after it removed uninst.xml (the product's key goes
    // last, and the attempt is marked in it) is finished without it; uninstall information that is
    // unreadable, or missing from a product no uninstallation began on, stops the run.
    char uninst[MAX_PATH];
    JoinPath(uninst, setupFolder, "uninst.xml");
    if (GetFileAttributesA(uninst) != INVALID_FILE_ATTRIBUTES || !SetupUninstallingMarked()) {
      SetupExit(nullptr, nullptr, 119, nullptr);
    }
    SetupLogError("No uninstall information: %s", uninst);
    return 0;
  }
  for (int i = 0; i < g_context.installedComponentCount; ++i) {
    ComponentDesc& c = g_context.installedComponents[i];
    // A folder that is not one we name could lead anywhere: its libraries are not loaded.
    if (!SetupIsComponentFolder(c.folder)) {
      SetupLogError("Component folder not used: %s %s", c.name, c.folder);
      continue;
    }
    char folder[MAX_PATH];
    JoinPath(folder, setupFolder, c.folder);
    for (int e = 0; e < c.exeLibCount && c.exeLibs != nullptr; ++e) {
      ExeLib& exe = c.exeLibs[e];
      // The library's own folder is searched for the libraries it needs.
      exe.module = SysLoadLibraryFrom(folder, exe.fileName, 1);
      exe.exeProc = exe.module != nullptr ? reinterpret_cast<ExeProcFn>(reinterpret_cast<void*>(
                                                GetProcAddress(exe.module, "exeProc")))
                                          : nullptr;
    }
  }
  return 1;
}

void ExeLibsRelease() {
  ReleaseComponents(g_context.components, g_context.componentCount, true);
  ReleaseComponents(g_context.installedComponents, g_context.installedComponentCount, false);

  if (g_context.langLibrary != nullptr) {
    FreeLibrary(g_context.langLibrary);
    g_context.langLibrary = nullptr;
    g_context.resourceModule = GetModuleHandleA(nullptr);
  }
  SysPumpMessages();

  if (g_context.packageDataDir[0] != 0) {
    DeleteFolder(g_context.packageDataDir);
    g_context.packageDataDir[0] = 0;
  }
  if (!g_options.update) {
    for (int i = 0; i < g_context.componentCount && g_context.components != nullptr; ++i) {
      ComponentDesc& c = g_context.components[i];
      if (c.folder[0] == 0) continue;
      SysPumpMessages();
      DeleteFolder(c.folder);
      c.folder[0] = 0;
    }
  }
  if (g_options.singleComponentArchive[0] != 0) {
    // The one-component description lies where the run read it, whatever the current folder.
    SetupLog("Deleting file: %s ", "setupc.xml");
    SysDeleteFile(g_options.setupDescFile);
  }
  if (!g_options.update && g_context.globalXmlPath != nullptr && g_context.globalXmlPath[0] != 0) {
    char path[MAX_PATH];
    WideToAnsi(path, reinterpret_cast<const wchar16*>(g_context.globalXmlPath), sizeof path);
    SetupLog("Deleting file: %s", path);
    FileDeleteOrSchedule(path);
  }
  RollbackDiscard();
  // Committed or rolled back: the copies need no taking back.
  SetupForgetCopies();
  SetupFreeEngineList();
  AuthReleasePrivateTempFolder();
}

void VisLibRelease() {
  if (g_vis.module != nullptr) {
    if (g_vis.disconnectLib != nullptr) g_vis.disconnectLib(0);
    FreeLibrary(g_vis.module);
  }
  g_vis = VisLib();
  // Library arrays are normally gone with ExeLibsRelease; free what is left with the records.
  for (int i = 0; i < g_context.componentCount && g_context.components != nullptr; ++i) {
    free(g_context.components[i].guiLibs);
    free(g_context.components[i].exeLibs);
  }
  for (int i = 0; i < g_context.installedComponentCount && g_context.installedComponents; ++i) {
    free(g_context.installedComponents[i].guiLibs);
    free(g_context.installedComponents[i].exeLibs);
  }
  free(g_context.components);
  g_context.components = nullptr;
  g_context.componentCount = 0;
  free(g_context.installedComponents);
  g_context.installedComponents = nullptr;
  g_context.installedComponentCount = 0;
}
