// The sample product's component library: at the install command it records the installation
// under the product's settings key, and enters that value in global.xml's rollback section, so
// that a failed run takes it away and the uninstallation (which receives the section merged into
// its list) removes it with the product.
#include <windows.h>

#include "xml/xml.h"

namespace {

// From the component's own library zsamplefmt.dll, which lies beside this one.
extern "C" __declspec(dllimport) int SampleInstalledText(char* out, int size);

const char kKey[] = "Software\\Vesk\\Zrv\\CurrentVersion\\Common";
const char kValue[] = "SampleInstalled";

void Narrow(const wchar_t* wide, char* out, int size) {
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, out, size, nullptr, nullptr) == 0) out[0] = 0;
}

// Appends a REGVAL entry for the value under ROLLBACK\COMMON of global.xml.
bool RecordForRemoval(const char* globalXml) {
  XML_Document* doc = XML_Open(globalXml, 1);
  if (doc == nullptr) return false;
  bool ok = false;
  if (XML_OpenDocument(doc) == XML_ELEMENT) {
    XML_Node* common = XML_Find(doc, nullptr, u"ROLLBACK\\COMMON", XML_OPEN_ALWAYS);
    XML_Node* entry = common != nullptr ? XML_AddElement(common, u"REGVAL") : nullptr;
    ok = entry != nullptr &&
         XML_SetAttributeA(doc, entry, u"NAME",
                           "HKLM\\Software\\Vesk\\Zrv\\CurrentVersion\\Common\\SampleInstalled") ==
             0;
  }
  return XML_Close(doc) == 0 && ok;
}

int Install(const char* globalXml) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return 500;
  }
  char text[64];
  SampleInstalledText(text, sizeof text);
  LONG rc = RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           lstrlenA(text) + 1);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return 500;
  return RecordForRemoval(globalXml) ? 0 : 500;
}

}  // namespace

extern "C" __declspec(dllexport) int __stdcall exeProc(int command, const wchar_t* globalXml) {
  char path[MAX_PATH];
  Narrow(globalXml, path, sizeof path);
  // Commands: 0 init, 1 release, 2 load state, 3 install, 4 commit, 5 rollback, 6 uninstall.
  if (command == 3) return Install(path);
  return 0;
}
