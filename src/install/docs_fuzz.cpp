// Fuzz targets: a document as the program reads it, beyond the parser. Built twice:
//   uninst_fuzz (ZS_FUZZ_UNINST) reads the input as the uninst.xml of an installed product: the
//     UNINSTALL section copied into a new global.xml, the removal's walk over its entries, the
//     entries kept for the next uninst.xml, written and read back;
//   global_fuzz reads it as global.xml (and as a component's setupc.xml): the component's files
//     and settings added, the package's settings merged, the ROLLBACK section merged into the
//     UNINSTALL section, both walked, and the UNINSTALL section kept, written and read back.
// A removal may only act on absolute files and folders, folders deepest first, and keys below
// their root's children; what it acts on must survive the writing and reading of the list; and
// children of a list the program does not understand stay as they stand.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "install/lists.h"
#include "package/model.h"
#include "xml/xml.h"

namespace {

void Check(bool condition, const char* what, const std::string& detail = "") {
  if (!condition) {
    fprintf(stderr, "docs_fuzz: %s %s\n", what, detail.c_str());
    abort();
  }
}

struct Doc {
  std::vector<char> text;  // a parsed document reads its values from its text
  XML_Document* doc = XML_Create();
  ~Doc() { XML_Close(doc); }
};

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

typedef std::vector<std::pair<int, std::string>> Actions;

void Record(void* context, int kind, const char* name) {
  static_cast<Actions*>(context)->push_back({kind, name});
}

Actions Walk(XML_Document* doc, const wchar16* list) {
  Actions actions;
  XML_Node* section = XML_Find(doc, nullptr, list, XML_OPEN_EXISTING);
  XML_Node* common = section ? XML_FindChild(doc, section, u"COMMON", XML_OPEN_EXISTING) : nullptr;
  SetupWalkListEntries(doc, common, Record, &actions);
  return actions;
}

bool Absolute(const std::string& p) {
  char d = static_cast<char>(p.size() > 0 ? p[0] | 0x20 : 0);
  if (d >= 'a' && d <= 'z' && p.size() >= 3 && p[1] == ':' && p[2] == '\\') return true;
  if (p.compare(0, 2, "\\\\") != 0) return false;
  size_t share = p.find('\\', 2);
  return share != std::string::npos && share > 2 && p.find('\\', share + 1) != std::string::npos &&
         p.find('\\', share + 1) > share + 1;
}

// What the registry removal does with a key entry "ROOT\path\item": it opens "path" below the
// root (an empty path opens the root itself) and deletes "item" with its tree.
bool DeletesBelowRootChild(const std::string& name) {
  static const char* const kRoots[] = {"HKLM\\", "HKCU\\", "HKCC\\", "HKCR\\"};
  bool known = false;
  for (const char* root : kRoots) known = known || Upper(name.substr(0, 5)) == root;
  size_t slash = name.rfind('\\');
  // An unknown root and an empty item are refused by the removal.
  if (!known || slash + 1 == name.size()) return true;
  return slash > 5;
}

// path lies below folder (both upper-cased).
bool Below(const std::string& path, const std::string& folder) {
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  return folder.back() == '\\' || path[folder.size()] == '\\';
}

void CheckActions(const Actions& actions) {
  std::vector<std::string> folders;
  for (const auto& a : actions) {
    if (a.first == LIST_FILE || a.first == LIST_DIR || a.first == LIST_DIR_AND_CONTENTS) {
      Check(Absolute(a.second), "only absolute files and folders", a.second);
    }
    if (a.first == LIST_REGKEY)
      Check(DeletesBelowRootChild(a.second), "never a root's child", a.second);
    if (a.first == LIST_DIR) folders.push_back(Upper(a.second));
  }
  // A folder is removed after every folder below it.
  for (size_t i = 0; i < folders.size(); ++i) {
    for (size_t j = i + 1; j < folders.size(); ++j) {
      Check(!Below(folders[j], folders[i]), "deepest first", folders[i]);
    }
  }
}

// The children of a COMMON that are not list entries, each with its attributes' names and
// values: what the list must keep as it stands.
std::vector<std::string> Foreign(XML_Document* doc, const wchar16* list) {
  std::vector<std::string> out;
  XML_Node* section = XML_Find(doc, nullptr, list, XML_OPEN_EXISTING);
  XML_Node* common = section ? XML_FindChild(doc, section, u"COMMON", XML_OPEN_EXISTING) : nullptr;
  XML_Node* cursor = nullptr;
  for (XML_Node* e = XML_NextElement(common, nullptr, &cursor); e != nullptr;
       e = XML_NextElement(common, nullptr, &cursor)) {
    if (SetupListKindOf(e->name) >= 0) continue;
    std::string text;
    for (const wchar16* c = e->name; *c; ++c) text += static_cast<char>(*c);
    for (XML_Node* a = e->firstChild; a != nullptr; a = a->nextSibling) {
      if (a->kind != XML_ATTRIBUTE) continue;
      text += ' ';
      for (const wchar16* c = a->name; *c; ++c) text += static_cast<char>(*c);
      char value[512];
      int size = sizeof value;
      if (XML_GetAttributeA(doc, e, a->name, value, &size) == 0) text += std::string("=") + value;
    }
    out.push_back(text + " " + std::to_string(XML_CountElements(e)));
  }
  return out;
}

// Keeps what the next uninst.xml may hold, writes it and reads it back: the removal acts on the
// same entries before and after, and the children it does not understand stay.
void KeepWriteRead(XML_Document* doc) {
  Actions before = Walk(doc, u"UNINSTALL");
  std::vector<std::string> foreign = Foreign(doc, u"UNINSTALL");
  XML_Node* uninstall = XML_Find(doc, nullptr, u"UNINSTALL", XML_OPEN_EXISTING);
  if (uninstall == nullptr) return;
  Check(SetupKeepRemovableEntries(doc, uninstall) == 1, "kept");
  Check(Walk(doc, u"UNINSTALL") == before, "keeping changes nothing the removal does");
  Check(Foreign(doc, u"UNINSTALL") == foreign, "what is not understood stays as it stands");

  Doc out;
  XML_Node* root = XML_CreateRoot(out.doc, u"ZORVASETUP");
  if (XML_CopyElement(out.doc, root, u"UNINSTALL", doc, uninstall, XML_OPEN_ALWAYS) == nullptr) {
    return;
  }
  int size = 0;
  XML_Serialize(out.doc, root, nullptr, &size);
  std::string text(static_cast<size_t>(size), '\0');
  if (XML_Serialize(out.doc, root, &text[0], &size) != 0) return;
  Doc back;
  back.text.assign(text.c_str(), text.c_str() + strlen(text.c_str()));
  Check(XML_Parse(back.doc, back.text.data(), static_cast<int>(back.text.size())) == 0,
        "the written list parses");
  Check(Walk(back.doc, u"UNINSTALL") == before, "read back, the same removal");
}

bool Parse(Doc* d, const uint8_t* data, size_t size) {
  // The parser must read only the bytes it is given: no terminator follows them.
  d->text.assign(data, data + size);
  return XML_Parse(d->doc, d->text.data(), static_cast<int>(size)) == 0 &&
         XML_GetRoot(d->doc) != nullptr;
}

#ifdef ZS_FUZZ_UNINST

void Run(const uint8_t* data, size_t size) {
  Doc parsed;
  if (!Parse(&parsed, data, size)) return;
  XML_Node* uninstall =
      XML_Find(parsed.doc, XML_GetRoot(parsed.doc), u"UNINSTALL", XML_OPEN_EXISTING);
  if (uninstall == nullptr) return;
  Doc global;
  XML_Node* root = XML_CreateRoot(global.doc, u"ZORVASETUP");
  if (XML_CopyElement(global.doc, root, u"UNINSTALL", parsed.doc, uninstall, XML_OPEN_ALWAYS) ==
      nullptr) {
    return;
  }
  CheckActions(Walk(global.doc, u"UNINSTALL"));
  KeepWriteRead(global.doc);
}

#else

void Run(const uint8_t* data, size_t size) {
  Doc global;
  Doc component;
  if (!Parse(&global, data, size) || !Parse(&component, data, size)) return;
  char path[260];
  int n = sizeof path;
  SetupGetInstallPath(global.doc, path, &n);
  XML_Node* components = XML_Find(global.doc, nullptr, u"PACKAGE\\COMPONENTS", XML_OPEN_EXISTING);
  XML_Node* cursor = nullptr;
  XML_Node* first = XML_NextElement(components, u"COMPONENT", &cursor);
  if (first != nullptr) {
    SetupAddComponentDescToGlobal(global.doc, first, component.doc, "C:\\T\\zrvtmpa\\setupc.xml");
  }
  XML_Node* settings = XML_Find(global.doc, nullptr, u"PACKAGE\\SETTINGS", XML_OPEN_EXISTING);
  if (settings != nullptr) SetupMergePluginSettings(global.doc, global.doc, settings);
  XML_Node* admin = XML_Find(component.doc, nullptr, u"SETUPINFO\\SETTINGS", XML_OPEN_EXISTING);
  if (admin != nullptr) SetupMergePluginSettings(global.doc, component.doc, admin);

  Actions rollback = Walk(global.doc, u"ROLLBACK");
  CheckActions(rollback);
  SetupMergeUnistallInfo(global.doc);
  Check(Walk(global.doc, u"ROLLBACK") == rollback, "the merge leaves the rollback list");
  Actions uninstall = Walk(global.doc, u"UNINSTALL");
  CheckActions(uninstall);
  std::set<std::pair<int, std::string>> merged;
  for (const auto& a : uninstall) merged.insert({a.first, Upper(a.second)});
  for (const auto& a : rollback) {
    Check(merged.count({a.first, Upper(a.second)}) == 1, "every rollback entry is uninstalled");
  }
  KeepWriteRead(global.doc);
}

#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  Run(data, size);
  return 0;
}
