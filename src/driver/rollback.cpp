#include "driver/rollback.h"

#include <windows.h>

#include "driver/libdrive.h"
#include "install/filecopy.h"
#include "install/rollback.h"
#include "package/access.h"
#include "run/context.h"
#include "run/libraries.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

bool g_rolledBack = false;

// The narrow copy of the global.xml path.
void GlobalPath(char* out) {
  out[0] = 0;
  if (g_context.globalXmlPath != nullptr) {
    WideToAnsi(out, reinterpret_cast<const wchar16*>(g_context.globalXmlPath), MAX_PATH);
  }
}

}  // namespace

void rollBackAll() {
  if (g_rolledBack) return;
  g_rolledBack = true;
  // The installation undoes its own entries as it takes them off; these two are the run's.
  while (int kind = RollbackUndoNewest()) {
    switch (kind) {
      case ROLLBACK_FILE_TRANSACTION: {
        char path[MAX_PATH];
        GlobalPath(path);
        XML_Document* doc = nullptr;
        if (path[0] != 0 && XML_Access(path, &doc, 0) != nullptr) {
          SetupRollbackFiles(doc);
          SetupRollbackCommon(doc);
          XML_Close(doc);
        }
        break;
      }
      case ROLLBACK_COMPONENTS:
        ExeLibsCommand(CMD_ROLLBACK, EXELIBS_PACKAGE);
        break;
      default:
        break;
    }
  }
}
