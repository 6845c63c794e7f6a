// Interim bodies of the install transaction's workers that are not built yet. Each does only what
// is trivially correct without its real body (the rollback list stays empty, because nothing can
// be pushed yet) and otherwise refuses visibly with an error line.
#include "driver/unbuilt.h"

#include <windows.h>

#include "driver/context.h"
#include "install/engines.h"
#include "install/filecopy.h"
#include "install/rollback.h"
#include "install/uninstall.h"

namespace {
bool g_rollbackRan = false;
}  // namespace

void RollbackPush(const SetupExitContext*, int, const char*, const char*) {
  SetupRefuseUnbuilt("RollbackPush");
}

// Runs at most once per process; the list is empty.
void rollBackAll() {
  if (g_rollbackRan) return;
  g_rollbackRan = true;
}

// The list is empty: nothing to free or commit.
void RollbackDiscard() {}
void commitChanges() {}

void SetupUnistallCommon(XML_Document*) { SetupRefuseUnbuilt("SetupUnistallCommon"); }
void SetupMergeUnistallInfo(XML_Document*) { SetupRefuseUnbuilt("SetupMergeUnistallInfo"); }

int SetupCopyFiles(XML_Document*) {
  SetupLogUnbuilt("SetupCopyFiles");
  return 0;
}

int SetupCommitChanges(XML_Document*) {
  SetupLogUnbuilt("SetupCommitChanges");
  return 0;
}

int SetupCopyEngines() {
  SetupLogUnbuilt("SetupCopyEngines");
  return 0;
}

int SetupCommitEngines() {
  SetupLogUnbuilt("SetupCommitEngines");
  return 0;
}

// Nothing can have filled the engine list yet.
void SetupFreeEngineList() { g_context.engineList = nullptr; }

int SetupBuildGlobalFromUninst() {
  SetupLogUnbuilt("SetupBuildGlobalFromUninst");
  return 0;
}

void SetupRemoveProductFolders() { SetupRefuseUnbuilt("SetupRemoveProductFolders"); }
void SetupRemoveUninstallEntry() { SetupRefuseUnbuilt("SetupRemoveUninstallEntry"); }
void SetupWriteRestartEntry() { SetupRefuseUnbuilt("SetupWriteRestartEntry"); }
