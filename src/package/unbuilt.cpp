// Interim body of the package model's settings merge, which is not built yet: it refuses with an
// error line and reports failure, so no "settings added" line claims a merge.
#include "driver/unbuilt.h"

#include "package/model.h"

int SetupMergePluginSettings(XML_Document*, XML_Document*, XML_Node*) {
  SetupLogUnbuilt("SetupMergePluginSettings");
  return 0;
}
