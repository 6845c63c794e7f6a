#include "package/model.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "settings/settings.h"
#include "system/str.h"
#include "xml/xml.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const wchar16* const kKindNames[] = {u"FILE",   u"DIR",    u"DIR_AND_CONTENTS",
                                     u"REGKEY", u"REGVAL", u"REGKEY_IF_EMPTY"};
const int kKinds = 6;

// Entry names are compared as narrow text of at most this many bytes.
const int kNameMax = 1023;

int KindOf(const wchar16* name) {
  for (int k = 0; k < kKinds; ++k) {
    const wchar16* a = name;
    const wchar16* b = kKindNames[k];
    while (*a != 0 && *b != 0) {
      wchar16 x = (*a >= u'a' && *a <= u'z') ? static_cast<wchar16>(*a - 32) : *a;
      if (x != *b) break;
      ++a;
      ++b;
    }
    if (*a == 0 && *b == 0) return k;
  }
  return -1;
}

// Profile names compare as the system compares texts ignoring case; the portable build, which
// the fuzzers run, compares ASCII letters so.
bool SameProfileName(const char* a, const char* b) {
#ifdef _WIN32
  return lstrcmpiA(a, b) == 0;
#else
  return StrCompareNoCaseAscii(a, b, static_cast<size_t>(-1)) == 0;
#endif
}

// ---- The index of list entries ----

// One COMMON element's entries as a hash set of keys "<kind><lower-case name>". It is in step
// with the element while the element's count and last child are those it recorded; anything else
// (entries added by other code) makes it read the element again.
struct ListIndex {
  XML_Node* common;
  int elementCount;
  XML_Node* last;
  char** slots;
  unsigned capacity;  // a power of two
  unsigned used;
};

struct DocIndex {
  ListIndex lists[4];  // ROLLBACK and UNINSTALL; more than four COMMONs reuse the oldest
  int next;
};

void ClearList(ListIndex* list) {
  for (unsigned i = 0; i < list->capacity; ++i) free(list->slots[i]);
  free(list->slots);
  memset(list, 0, sizeof *list);
}

void ReleaseDocIndex(void* block) {
  DocIndex* index = static_cast<DocIndex*>(block);
  for (ListIndex& list : index->lists) ClearList(&list);
  free(index);
}

unsigned HashKey(const char* key) {
  unsigned h = 2166136261u;
  for (; *key != 0; ++key) h = (h ^ static_cast<unsigned char>(*key)) * 16777619u;
  return h;
}

void MakeKey(int kind, const char* name, char* key) {
  key[0] = static_cast<char>('0' + kind);
  int i = 0;
  for (; i < kNameMax && name[i] != 0; ++i) {
    char c = name[i];
    key[i + 1] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  key[i + 1] = 0;
}

// The slot of key, or of the free place where it would go.
char** Slot(ListIndex* list, const char* key) {
  unsigned mask = list->capacity - 1;
  for (unsigned i = HashKey(key) & mask;; i = (i + 1) & mask) {
    if (list->slots[i] == nullptr || strcmp(list->slots[i], key) == 0) return &list->slots[i];
  }
}

bool Grow(ListIndex* list) {
  unsigned capacity = list->capacity == 0 ? 64 : list->capacity * 2;
  char** slots = static_cast<char**>(calloc(capacity, sizeof(char*)));
  if (slots == nullptr) return false;
  ListIndex bigger = *list;
  bigger.slots = slots;
  bigger.capacity = capacity;
  for (unsigned i = 0; i < list->capacity; ++i) {
    if (list->slots[i] != nullptr) *Slot(&bigger, list->slots[i]) = list->slots[i];
  }
  free(list->slots);
  *list = bigger;
  return true;
}

bool Insert(ListIndex* list, const char* key) {
  if ((list->used + 1) * 2 > list->capacity && !Grow(list)) return false;
  char** slot = Slot(list, key);
  if (*slot != nullptr) return true;
  *slot = static_cast<char*>(malloc(strlen(key) + 1));
  if (*slot == nullptr) return false;
  strcpy(*slot, key);
  ++list->used;
  return true;
}

void Synced(ListIndex* list) {
  list->elementCount = XML_CountElements(list->common);
  list->last = list->common->lastChild;
}

// The index of common, read again from the element when it is not in step. Null without memory.
ListIndex* IndexOf(XML_Document* doc, XML_Node* common) {
  DocIndex* index = static_cast<DocIndex*>(doc->attached);
  if (index == nullptr) {
    index = static_cast<DocIndex*>(calloc(1, sizeof(DocIndex)));
    if (index == nullptr) return nullptr;
    doc->attached = index;
    doc->releaseAttached = ReleaseDocIndex;
  }
  ListIndex* list = nullptr;
  for (ListIndex& l : index->lists) {
    if (l.common == common) list = &l;
  }
  if (list != nullptr && list->elementCount == XML_CountElements(common) &&
      list->last == common->lastChild) {
    return list;
  }
  if (list == nullptr) {
    list = &index->lists[index->next];
    index->next = (index->next + 1) % 4;
  }
  ClearList(list);
  list->common = common;
  if (!Grow(list)) return nullptr;
  XML_Node* cursor = nullptr;
  static char name[kNameMax + 1];
  static char key[kNameMax + 2];
  for (XML_Node* e = XML_NextElement(common, nullptr, &cursor); e != nullptr;
       e = XML_NextElement(common, nullptr, &cursor)) {
    int kind = KindOf(e->name);
    if (kind < 0) continue;
    int size = sizeof name;
    if (XML_GetAttributeA(doc, e, u"NAME", name, &size) != 0) continue;
    MakeKey(kind, name, key);
    if (!Insert(list, key)) {
      ClearList(list);
      return nullptr;
    }
  }
  Synced(list);
  return list;
}

// The plugin number of a PLUGIN element; false when its ID is missing or not hexadecimal.
bool PluginId(XML_Document* doc, XML_Node* plugin, uint32_t* id) {
  return XML_GetAttributeHex(doc, plugin, u"ID", id) == 0;
}

XML_Node* FirstChild(XML_Node* parent, const wchar16* name) {
  XML_Node* cursor = nullptr;
  return XML_NextElement(parent, name, &cursor);
}

XML_Node* GlobalSettings(XML_Document* doc) {
  return XML_Find(doc, nullptr, u"SETUPINFO\\SETTINGS", XML_OPEN_ALWAYS);
}

void AddTo(XML_Document* doc, const wchar16* listName, const char* path, int kind, bool recorded) {
  XML_Node* list = XML_Find(doc, nullptr, listName, XML_OPEN_ALWAYS);
  if (list == nullptr) return;
  if (recorded) {
    SetupAddListEntryRecorded(doc, list, path, kind);
  } else {
    SetupAddListEntry(doc, list, path, kind);
  }
}

}  // namespace

int SetupListKindOf(const wchar16* name) { return KindOf(name); }

const wchar16* SetupListKindName(int kind) {
  return kind >= 0 && kind < kKinds ? kKindNames[kind] : nullptr;
}

int SetupGetInstallPath(XML_Document* doc, char* buffer, int* size) {
  XML_Node* setup = XML_Find(doc, nullptr, u"PACKAGE\\SETUP", XML_OPEN_EXISTING);
  if (setup == nullptr) return 0;
  return XML_GetAttributeA(doc, setup, u"INSTALLPATH", buffer, size) == 0 ? 1 : 0;
}

XML_Node* SetupFindPlugin(XML_Document* doc, XML_Node* parent, uint32_t id) {
  XML_Node* cursor = nullptr;
  for (XML_Node* p = XML_NextElement(parent, u"PLUGIN", &cursor); p != nullptr;
       p = XML_NextElement(parent, u"PLUGIN", &cursor)) {
    uint32_t value = 0;
    if (PluginId(doc, p, &value) && value == id) return p;
  }
  return nullptr;
}

XML_Node* SetupOpenPlugin(XML_Document* doc, XML_Node* parent, uint32_t id, int mode) {
  if (mode < XML_CREATE_NEW || mode > XML_OPEN_ALWAYS) return nullptr;
  if (mode == XML_OPEN_EXISTING) return SetupFindPlugin(doc, parent, id);
  if (mode == XML_OPEN_ALWAYS) {
    XML_Node* found = SetupFindPlugin(doc, parent, id);
    if (found != nullptr) return found;
  }
  XML_Node* plugin = XML_AddElement(parent, u"PLUGIN");
  if (plugin == nullptr || XML_SetAttributeHex(doc, plugin, u"ID", id) != 0) return nullptr;
  if (XML_AddElement(plugin, u"DATA") == nullptr) return nullptr;
  return plugin;
}

int SetupAddComponentDescToGlobal(XML_Document* globalDoc, XML_Node* component,
                                  XML_Document* componentDoc, const char* setupcPath) {
  XML_Node* files = XML_Find(componentDoc, nullptr, u"FILES", XML_OPEN_ALWAYS);
  if (files == nullptr) return 0;
  XML_Node* copy =
      XML_CopyElement(globalDoc, component, u"FILES", componentDoc, files, XML_OPEN_ALWAYS);
  if (copy == nullptr) return 0;
  if (XML_SetAttributeA(globalDoc, copy, u"SETUPDIR", setupcPath) != 0) return 0;
  XML_Node* settings = XML_Find(componentDoc, nullptr, u"SETTINGS", XML_OPEN_EXISTING);
  if (settings == nullptr) return 1;
  XML_Node* target = GlobalSettings(globalDoc);
  if (target == nullptr) return 0;
  XML_Node* cursor = nullptr;
  for (XML_Node* p = XML_NextElement(settings, u"PLUGIN", &cursor); p != nullptr;
       p = XML_NextElement(settings, u"PLUGIN", &cursor)) {
    uint32_t id = 0;
    if (!PluginId(componentDoc, p, &id)) continue;
    XML_Node* plugin = SetupOpenPlugin(globalDoc, target, id, XML_OPEN_ALWAYS);
    if (plugin == nullptr) return 0;
    XML_Node* data = FirstChild(p, u"DATA");
    if (data != nullptr && XML_CopyElement(globalDoc, plugin, u"DATA", componentDoc, data,
                                           XML_OPEN_ALWAYS) == nullptr) {
      return 0;
    }
  }
  return 1;
}

int SetupMergePluginSettings(XML_Document* globalDoc, XML_Document* srcDoc, XML_Node* srcSettings) {
  XML_Node* target = GlobalSettings(globalDoc);
  if (target == nullptr) return 0;
  XML_Node* cursor = nullptr;
  for (XML_Node* p = XML_NextElement(srcSettings, u"PLUGIN", &cursor); p != nullptr;
       p = XML_NextElement(srcSettings, u"PLUGIN", &cursor)) {
    uint32_t id = 0;
    if (!PluginId(srcDoc, p, &id)) continue;
    XML_Node* plugin = SetupOpenPlugin(globalDoc, target, id, XML_OPEN_ALWAYS);
    if (plugin == nullptr) return 0;
    XML_Node* srcData = FirstChild(p, u"DATA");
    XML_Node* dstData = FirstChild(plugin, u"DATA");
    if (srcData == nullptr || dstData == nullptr) continue;
    SetupMergeProfiles(globalDoc, dstData, srcDoc, srcData);
    if (!CFG_Merge(globalDoc, dstData, srcDoc, srcData, 1, 0)) return 0;
  }
  return 1;
}

int SetupMergeProfiles(XML_Document* dstDoc, XML_Node* dstData, XML_Document* srcDoc,
                       XML_Node* srcData) {
  enum { kMaxProfiles = 64, kKeyMax = 64 };
  struct Profile {
    char key[kKeyMax];
    XML_Node* node;
  };
  Profile profiles[kMaxProfiles];
  int n = 0;
  char number[16];
  wchar16 name[16];
  for (; n < kMaxProfiles; ++n) {
    snprintf(number, sizeof number, "Config%03d", n);
    AnsiToWide(name, number, 16);
    XML_Node* node = CFG_OpenSubnode(dstDoc, dstData, name, XML_OPEN_EXISTING);
    if (node == nullptr) break;
    int size = kKeyMax;
    if (!CFG_GetString(dstDoc, node, u"PROFILE_NAME", profiles[n].key, &size) ||
        profiles[n].key[0] == 0) {
      StrCopyN(profiles[n].key, number, kKeyMax);
    }
    profiles[n].node = node;
  }
  int result = 1;
  for (int s = 0; s < kMaxProfiles; ++s) {
    snprintf(number, sizeof number, "Config%03d", s);
    AnsiToWide(name, number, 16);
    XML_Node* source = CFG_OpenSubnode(srcDoc, srcData, name, XML_OPEN_EXISTING);
    if (source == nullptr) break;
    char profileName[kKeyMax];
    int size = kKeyMax;
    if (!CFG_GetString(srcDoc, source, u"PROFILE_NAME", profileName, &size)) profileName[0] = 0;
    XML_Node* target = nullptr;
    if (profileName[0] != 0) {
      for (int t = 0; t < n && target == nullptr; ++t) {
        if (SameProfileName(profiles[t].key, profileName)) target = profiles[t].node;
      }
    } else if (n > 0) {
      target = profiles[0].node;
    }
    if (target == nullptr) {
      if (n >= kMaxProfiles) continue;
      snprintf(number, sizeof number, "Config%03d", n);
      AnsiToWide(name, number, 16);
      target = CFG_OpenSubnode(dstDoc, dstData, name, XML_OPEN_ALWAYS);
      if (target == nullptr ||
          !CFG_SetValue(dstDoc, target, u"PROFILE_NAME", CFG_TYPE_STRING, profileName,
                        static_cast<int>(strlen(profileName) + 1))) {
        result = 0;
        continue;
      }
      StrCopyN(profiles[n].key, profileName[0] != 0 ? profileName : number, kKeyMax);
      profiles[n].node = target;
      ++n;
    }
    if (!CFG_Merge(dstDoc, target, srcDoc, source, 1, 1)) result = 0;
  }
  return result;
}

int SetupAddListEntry(XML_Document* doc, XML_Node* list, const char* path, int kind) {
  if (path == nullptr) return 0;
#ifdef _WIN32
  char shortPath[MAX_PATH];
  if (kind == LIST_FILE || kind == LIST_DIR) {
    DWORD n = GetShortPathNameA(path, shortPath, sizeof shortPath);
    if (n > 0 && n < sizeof shortPath) path = shortPath;
  }
#endif
  return SetupAddListEntryRecorded(doc, list, path, kind);
}

int SetupAddListEntryRecorded(XML_Document* doc, XML_Node* list, const char* path, int kind) {
  const wchar16* element = SetupListKindName(kind);
  if (element == nullptr || path == nullptr) return 0;
  XML_Node* common = XML_FindChild(doc, list, u"COMMON", XML_OPEN_ALWAYS);
  if (common == nullptr) return 0;
  ListIndex* index = IndexOf(doc, common);
  if (index == nullptr) return 0;
  static char key[kNameMax + 2];
  MakeKey(kind, path, key);
  char** slot = Slot(index, key);
  if (*slot != nullptr) return 1;
  XML_Node* entry = XML_AddElement(common, element);
  if (entry == nullptr) return 0;
  if (XML_SetAttributeA(doc, entry, u"NAME", path) != 0 || !Insert(index, key)) {
    // Without its name the entry means nothing; the index reads the element again next time.
    Synced(index);
    index->elementCount = -1;
    return 0;
  }
  Synced(index);
  return 1;
}

void SetupAddUninstall(XML_Document* doc, const char* path, int kind) {
  AddTo(doc, u"UNINSTALL", path, kind, false);
}

void SetupAddUninstallRecorded(XML_Document* doc, const char* path, int kind) {
  AddTo(doc, u"UNINSTALL", path, kind, true);
}

void SetupAddRollbackRecorded(XML_Document* doc, const char* path, int kind) {
  AddTo(doc, u"ROLLBACK", path, kind, true);
}

void SetupAddRollback(XML_Document* doc, const char* path, int kind) {
  AddTo(doc, u"ROLLBACK", path, kind, false);
}
