// Settings trees kept as NODE elements with NAME, VALUE and TYPE attributes.
#include "settings/settings.h"

#include <stdlib.h>

#include "system/guards.h"

namespace {

const wchar16 kNode[] = u"NODE";
const wchar16 kName[] = u"NAME";
const wchar16 kValue[] = u"VALUE";
const wchar16 kType[] = u"TYPE";

// The TYPE texts, indexed by type number.
const wchar16* const kTypeTexts[] = {u"EMPTY", u"DWORD", u"STRING", u"BINARY", u"SUBNODE", u"PASS"};
const int kTypeCount = 6;

// Name buffer sizes fixed by the stored format: lookups read NAME into 64 characters, TYPE into
// 32, and the merge walks with 51.
const int kFindNameCount = 64;
const int kTypeTextCount = 32;
const int kMergeNameCount = 51;
const int kMergeValueCount = 1024;

wchar16 FoldAscii(wchar16 c) { return (c >= u'a' && c <= u'z') ? static_cast<wchar16>(c - 32) : c; }

bool EqualNoCase(const wchar16* a, const wchar16* b) {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == 0) return true;
  }
}

// The next NODE child from *cursor whose NAME reads into a buffer of count characters.
XML_Node* NextNamedNode(XML_Document* doc, XML_Node* parent, XML_Node** cursor, wchar16* name,
                        int count) {
  for (;;) {
    XML_Node* node = XML_NextElement(parent, kNode, cursor);
    if (!node) return nullptr;
    int n = count;
    if (XML_GetAttribute(doc, node, kName, name, &n) == 0) return node;
  }
}

// Finds the entry or appends one with its NAME; null when it cannot be made.
XML_Node* FindOrAppend(XML_Document* doc, XML_Node* parent, const wchar16* name, bool* named) {
  *named = true;
  XML_Node* node = CFG_FindNode(doc, parent, name);
  if (node) return node;
  node = XML_AddElement(parent, kNode);
  if (node && XML_SetAttribute(doc, node, kName, name) != 0) *named = false;
  return node;
}

}  // namespace

int CFG_MatchName(const wchar16* pattern, const wchar16* name) {
  const wchar16* star = pattern;
  while (*star && *star != u'*') ++star;
  if (!*star) return EqualNoCase(pattern, name) ? 1 : 0;
  // Only the text before the first '*' counts; a name shorter than it cannot match.
  for (const wchar16* p = pattern; p < star; ++p, ++name) {
    if (*name == 0 || FoldAscii(*p) != FoldAscii(*name)) return 0;
  }
  return 1;
}

int CFG_NextNode(XML_Document* doc, XML_Node* parent, const wchar16* pattern, XML_Node** cursor,
                 wchar16* nameBuffer, int nameCount, int* type, XML_Node** node) {
  if (!nameBuffer || nameCount <= 0) return 0;
  // Without a cursor of the caller's the walk still has to move past skipped entries.
  XML_Node* ownCursor = nullptr;
  if (!cursor) cursor = &ownCursor;
  for (;;) {
    XML_Node* entry = NextNamedNode(doc, parent, cursor, nameBuffer, nameCount);
    if (!entry) {
      nameBuffer[0] = 0;
      return 0;
    }
    if (pattern && !CFG_MatchName(pattern, nameBuffer) && !CFG_MatchName(nameBuffer, pattern)) {
      continue;
    }
    if (type) *type = CFG_GetType(doc, entry);
    if (node) *node = entry;
    return 1;
  }
}

XML_Node* CFG_FindNode(XML_Document* doc, XML_Node* parent, const wchar16* name) {
  wchar16 entryName[kFindNameCount];
  XML_Node* cursor = nullptr;
  while (XML_Node* entry = NextNamedNode(doc, parent, &cursor, entryName, kFindNameCount)) {
    if (EqualNoCase(entryName, name)) return entry;
  }
  return nullptr;
}

int CFG_GetType(XML_Document* doc, XML_Node* node) {
  wchar16 text[kTypeTextCount];
  int count = kTypeTextCount;
  if (XML_GetAttribute(doc, node, kType, text, &count) != 0) return CFG_TYPE_EMPTY;
  for (int type = CFG_TYPE_DWORD; type < kTypeCount; ++type) {
    if (EqualNoCase(text, kTypeTexts[type])) return type;
  }
  return CFG_TYPE_EMPTY;
}

int CFG_GetValue(XML_Document* doc, XML_Node* parent, const wchar16* name, int* type,
                 wchar16* buffer, int* count) {
  XML_Node* entry = CFG_FindNode(doc, parent, name);
  if (!entry) return 0;
  if (type) *type = CFG_GetType(doc, entry);
  return XML_GetAttribute(doc, entry, kValue, buffer, count) == 0 ? 1 : 0;
}

int CFG_GetString(XML_Document* doc, XML_Node* parent, const wchar16* name, char* buffer,
                  int* size) {
  XML_Node* entry = CFG_FindNode(doc, parent, name);
  if (entry && CFG_GetType(doc, entry) == CFG_TYPE_STRING &&
      XML_GetAttributeA(doc, entry, kValue, buffer, size) == 0) {
    return 1;
  }
  *size = 0;
  return 0;
}

int CFG_GetDword(XML_Document* doc, XML_Node* parent, const wchar16* name, uint32_t* value) {
  XML_Node* entry = CFG_FindNode(doc, parent, name);
  if (!entry || CFG_GetType(doc, entry) != CFG_TYPE_DWORD) return 0;
  return XML_GetAttributeHex(doc, entry, kValue, value) == 0 ? 1 : 0;
}

XML_Node* CFG_AddSubnode(XML_Document* doc, XML_Node* parent, const wchar16* name) {
  XML_Node* entry = XML_AddElement(parent, kNode);
  if (!entry) return nullptr;
  if (XML_SetAttribute(doc, entry, kName, name) != 0) return nullptr;
  if (XML_SetAttribute(doc, entry, kType, kTypeTexts[CFG_TYPE_SUBNODE]) != 0) return nullptr;
  return entry;
}

XML_Node* CFG_OpenSubnode(XML_Document* doc, XML_Node* parent, const wchar16* name, int mode) {
  XML_Node* existing = CFG_FindNode(doc, parent, name);
  if (existing && CFG_GetType(doc, existing) != CFG_TYPE_SUBNODE) existing = nullptr;
  switch (mode) {
    case XML_CREATE_NEW:
      return existing ? nullptr : CFG_AddSubnode(doc, parent, name);
    case XML_CREATE_ALWAYS:
      return CFG_AddSubnode(doc, parent, name);
    case XML_OPEN_EXISTING:
      return existing;
    case XML_OPEN_ALWAYS:
      return existing ? existing : CFG_AddSubnode(doc, parent, name);
    default:
      return nullptr;
  }
}

int CFG_SetValue(XML_Document* doc, XML_Node* parent, const wchar16* name, int type,
                 const void* data, int size) {
  if (type < 0 || type >= kTypeCount) return 0;
  bool named = true;
  XML_Node* entry = FindOrAppend(doc, parent, name, &named);
  if (!entry) return 0;
  int result = named ? 1 : 0;
  if (type == CFG_TYPE_EMPTY) return result;

  int failed = 1;
  if (data) {
    switch (type) {
      case CFG_TYPE_DWORD:
        if (size >= 4) {
          failed = XML_SetAttributeHex(doc, entry, kValue, *static_cast<const uint32_t*>(data));
        }
        break;
      case CFG_TYPE_STRING:
        failed = XML_SetAttributeA(doc, entry, kValue, static_cast<const char*>(data));
        break;
      case CFG_TYPE_BINARY:
        failed = XML_SetAttributeBase64(doc, entry, kValue, data, size);
        break;
      case CFG_TYPE_PASS:
        failed = XML_SetAttributePass(doc, entry, kValue, static_cast<const char*>(data));
        break;
      default:  // a sub-node has no value to set
        break;
    }
  }
  // A TYPE that no longer matches the stored VALUE would misread it, so a value that could not be
  // written leaves TYPE alone.
  if (failed) return 0;
  if (XML_SetAttribute(doc, entry, kType, kTypeTexts[type]) != 0) return 0;
  return result;
}

int CFG_SetRawValue(XML_Document* doc, XML_Node* parent, const wchar16* name, int type,
                    const wchar16* text) {
  if (type < 0 || type >= kTypeCount) return 0;
  bool named = true;
  XML_Node* entry = FindOrAppend(doc, parent, name, &named);
  if (!entry || !named) return 0;
  if (type != CFG_TYPE_EMPTY && type != CFG_TYPE_SUBNODE) {
    if (!text || XML_SetAttribute(doc, entry, kValue, text) != 0) return 0;
  }
  return XML_SetAttribute(doc, entry, kType, kTypeTexts[type]) == 0 ? 1 : 0;
}

int CFG_Merge(XML_Document* dstDoc, XML_Node* dstParent, XML_Document* srcDoc, XML_Node* srcParent,
              int overwrite, int recurse) {
  HeapGuard<wchar16> value;
  int capacity = kMergeValueCount;
  value.block = static_cast<wchar16*>(malloc(capacity * sizeof(wchar16)));
  if (!value.block) return 0;
  value.block[0] = 0;

  wchar16 name[kMergeNameCount];
  XML_Node* cursor = nullptr;
  int type = 0;
  XML_Node* entry = nullptr;
  while (CFG_NextNode(srcDoc, srcParent, nullptr, &cursor, name, kMergeNameCount, &type, &entry)) {
    if (!overwrite && CFG_FindNode(dstDoc, dstParent, name)) continue;

    if (type == CFG_TYPE_SUBNODE) {
      if (recurse) {
        XML_Node* target = CFG_OpenSubnode(dstDoc, dstParent, name, XML_OPEN_ALWAYS);
        if (!target) return 0;
        CFG_Merge(dstDoc, target, srcDoc, entry, overwrite, recurse);
      }
    } else if (type != CFG_TYPE_EMPTY) {
      // The value of the entry being walked: with duplicate names, a lookup by name would pair
      // this entry's type with the first entry's value.
      int count = capacity;
      if (XML_GetAttribute(srcDoc, entry, kValue, value.block, &count) != 0) {
        count = 0;
        if (XML_GetAttribute(srcDoc, entry, kValue, nullptr, &count) != 0 || count <= capacity) {
          return 0;  // no VALUE, or one that cannot be decoded
        }
        wchar16* larger = static_cast<wchar16*>(realloc(value.block, count * sizeof(wchar16)));
        if (!larger) return 0;
        value.block = larger;
        capacity = count;
        if (XML_GetAttribute(srcDoc, entry, kValue, value.block, &count) != 0) return 0;
      }
    }
    if (!CFG_SetRawValue(dstDoc, dstParent, name, type, value.block)) return 0;
  }
  return 1;
}
