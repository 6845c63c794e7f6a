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

// With an empty engine list there is nothing to copy or commit; a list with entries is refused.
int SetupCopyEngines() {
  if (g_context.engineList == nullptr) return 1;
  SetupLogUnbuilt("SetupCopyEngines");
  return 0;
}

int SetupCommitEngines() {
  if (g_context.engineList == nullptr) return 1;
  SetupLogUnbuilt("SetupCommitEngines");
  return 0;
}

int SetupBuildGlobalFromUninst() {
  SetupLogUnbuilt("SetupBuildGlobalFromUninst");
  return 0;
}

void SetupRemoveProductFolders() { SetupRefuseUnbuilt("SetupRemoveProductFolders"); }
void SetupRemoveUninstallEntry() { SetupRefuseUnbuilt("SetupRemoveUninstallEntry"); }
