// Interim bodies of the product registration's workers that are not built yet. Each does only
// what is trivially correct without its real body and otherwise refuses visibly with an error
// line.
#include "driver/unbuilt.h"

#include <windows.h>

#include "driver/context.h"
#include "registration/registration.h"
#include "system/registry.h"
#include "system/str.h"

// Without an installed product, or without its InstalledComponents key, there is nothing to read
// but the language; a product with registered components is refused.
void RegReadInstalledComponents() {
  if (!g_context.productInstalled) return;
  HKEY info = nullptr;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, KEY_READ, &info) != 0) return;
  char language[20];
  if (!RegReadString(info, "Language", language, sizeof language)) language[0] = 0;
  StrCopyN(g_context.installedLanguage, language, sizeof g_context.installedLanguage);
  RegCloseKey(info);
  HKEY components = nullptr;
  if (RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, REG_PRODUCT_KEY "\\InstalledComponents", KEY_READ,
                         &components) != 0) {
    return;
  }
  RegCloseKey(components);
  SetupRefuseUnbuilt("RegReadInstalledComponents");
}

int RegWriteProductRoot() { SetupRefuseUnbuilt("RegWriteProductRoot"); }

int RegWriteRegistration() {
  SetupLogUnbuilt("RegWriteRegistration");
  return 0;
}
