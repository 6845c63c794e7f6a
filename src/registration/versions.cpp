// Comparing the package with what an earlier installation registered.
#include <string.h>
#include <windows.h>

#include "install/engines.h"
#include "registration/registration.h"
#include "run/context.h"
#include "system/str.h"

namespace {

// Older installations recorded a code instead of the language name packages carry.
struct LanguageRow {
  const char* code;
  const char* name;
};
const LanguageRow kLanguages[] = {
    {"SK", "SLOVAK"},    {"EN_US", "ENGLISH"}, {"SP", "SPANISH"},
    {"CZ", "CZECH"},     {"PL", "POLISH"},     {"GE", "GERMAN"},
    {"EN_FR", "FRANCE"}, {"IT", "ITALIAN"},    {"EN_QT", "QUINTARO"},
};

}  // namespace

const char* RegLanguageName(const char* code) {
  for (const LanguageRow& row : kLanguages) {
    if (strcmp(row.code, code) == 0) return row.name;
  }
  return code;
}

int CheckInstalledVersions() {
  int result = SetupCheckEngineBuilds() ? 0 : 19;
  ComponentDesc* package = g_context.components;
  int packageCount = package != nullptr ? g_context.componentCount : 0;
  for (int i = 0; i < g_context.installedComponentCount && g_context.installedComponents; ++i) {
    ComponentDesc& installed = g_context.installedComponents[i];
    for (int p = 0; p < packageCount; ++p) {
      if (strcmp(installed.name, package[p].name) != 0) continue;
      installed.counterpart = &package[p];
      package[p].counterpart = &installed;
      if (static_cast<uint32_t>(installed.build) > static_cast<uint32_t>(package[p].build)) {
        result = 108;
      }
    }
    // An installed component of another product line would be left orphaned.
    if (installed.counterpart == nullptr && packageCount > 0 &&
        ((static_cast<uint32_t>(installed.build) ^ static_cast<uint32_t>(package[0].build)) &
         0xF0000000u) != 0) {
      return 115;
    }
  }
  char language[sizeof g_context.installedLanguage];
  if (g_context.productInstalled) {
    StrCopyN(language, RegLanguageName(g_context.installedLanguage), sizeof language);
  } else {
    StrCopyN(language, packageCount > 0 ? package[0].language : "", sizeof language);
  }
  for (int p = 0; p < packageCount; ++p) {
    if (strcmp(package[p].language, language) != 0) return 118;
  }
  return result;
}
