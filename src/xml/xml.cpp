// Document and node model: nodes and their children lists, attribute values in the value store,
// entity decoding and escaping, path lookup with the four modes, subtree copying, closing.
#include "xml/xml.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "system/guards.h"
#include "xml/xml_internal.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

inline wchar16 AsciiUpper(wchar16 c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

// Length of a UTF-16 text, stopping early once it exceeds limit.
size_t BoundedLength(const wchar16* text, size_t limit) {
  size_t n = 0;
  while (n <= limit && text[n] != 0) ++n;
  return n;
}

bool IsElement(const XML_Node* node) { return node != nullptr && node->kind == XML_ELEMENT; }

// The last node of a children list: the hint, followed forward in case a caller linked nodes
// behind it through a tail link.
XML_Node* LastChild(XML_Node* parent) {
  XML_Node* last = parent->lastChild != nullptr ? parent->lastChild : parent->firstChild;
  if (last == nullptr) return nullptr;
  while (last->nextSibling != nullptr) last = last->nextSibling;
  parent->lastChild = last;
  return last;
}

// Makes room for extra more bytes in a growable buffer. Capacity grows by doubling in 4096-byte
// units, so a store filled by many small values is copied a logarithmic number of times.
bool Reserve(XML_Buffer* buf, size_t extra) {
  if (buf->data == nullptr || !buf->growable) return false;
  if (extra > SIZE_MAX - buf->length) return false;
  size_t need = buf->length + extra;
  if (need <= buf->capacity) return true;
  size_t cap = buf->capacity > SIZE_MAX / 2 ? SIZE_MAX : buf->capacity * 2;
  if (cap < need) cap = need;
  if (cap > SIZE_MAX - 4095) return false;
  cap = (cap + 4095) / 4096 * 4096;
  char* data = static_cast<char*>(realloc(buf->data, cap));
  if (data == nullptr) return false;
  buf->data = data;
  buf->capacity = cap;
  return true;
}

// The first attribute child named name, or null.
XML_Node* FindAttr(XML_Node* element, const wchar16* name) {
  for (XML_Node* n = element->firstChild; n != nullptr; n = n->nextSibling)
    if (n->kind == XML_ATTRIBUTE && XmlNameEqual(n->name, name)) return n;
  return nullptr;
}

// Resets an element to an empty children list.
void ClearChildren(XML_Node* element) {
  element->firstChild = nullptr;
  element->lastChild = nullptr;
  element->attributeCount = 0;
  element->elementCount = 0;
  element->indexNode = nullptr;
  element->indexPos = 0;
}

// Appends the escaped form of value to the store; gives its offsets. The store is unchanged on
// failure.
bool StoreValue(XML_Document* doc, const wchar16* value, size_t* start, size_t* end) {
  size_t len = Str16Len(value);
  if (len > (SIZE_MAX - 1) / 8) return false;
  if (!Reserve(&doc->values, len * 8)) return false;
  XML_Buffer* v = &doc->values;
  *start = v->length;
  char* out = v->data + v->length;
  for (size_t i = 0; i < len; ++i) {
    wchar16 ch = value[i];
    if (ch < 0x80 && XmlPlainByte(static_cast<unsigned char>(ch)))
      *out++ = static_cast<char>(ch);
    else
      out += XmlEscapeChar(ch, out);
  }
  v->length = static_cast<size_t>(out - v->data);
  v->position = v->length;
  *end = v->length;
  return true;
}

// Points attr (or a new attribute appended to element when attr is null) at [start, end) of the
// value store.
XML_Node* LinkStoredValue(XML_Node* element, XML_Node* attr, const wchar16* name, size_t start,
                          size_t end) {
  if (attr == nullptr) {
    attr = XmlNewNode(XML_ATTRIBUTE, name);
    if (attr == nullptr) return nullptr;
    XmlAppendChild(element, attr);
  }
  attr->valueSelector = XML_VALUE_STORE;
  attr->valueStart = start;
  attr->valueEnd = end;
  return attr;
}

// Decoded value of attr equals text ignoring ASCII case.
bool ValueEquals(const XML_Document* doc, const XML_Node* attr, const wchar16* text) {
  const unsigned char* bytes;
  size_t n;
  if (!XmlValueBytes(doc, attr, &bytes, &n)) return false;
  size_t i = 0;
  bool ok = XmlDecodeValue(doc->encoding, bytes, n, [&](wchar16 ch) {
    if (text[i] == 0 || AsciiUpper(text[i]) != AsciiUpper(ch)) return false;
    ++i;
    return true;
  });
  return ok && text[i] == 0;
}

// A parsed step: element name, and for a selector the attribute name and value. The names are
// copied so they can be compared and stored; the value points into the step.
struct Step {
  wchar16 name[XML_NAME_MAX + 1];
  bool selector;
  wchar16 attrName[XML_NAME_MAX + 1];
  const wchar16* attrValue;
};

// Copies len characters as a name; false when they are too many.
bool CopyName(wchar16* dest, const wchar16* text, size_t len) {
  if (len > XML_NAME_MAX) return false;
  memcpy(dest, text, len * sizeof(wchar16));
  dest[len] = 0;
  return true;
}

// Splits "NAME" or "NAME;ATTR=VALUE" (len characters of text; VALUE runs to the text's zero).
// false when a selector has no '=' or a name is longer than XML_NAME_MAX: such a step can
// neither be found nor made. The value is taken whole, not cut at a fixed length, so that a
// long value is neither stored cut short nor missed by the lookup that made it.
bool ParseStep(const wchar16* text, size_t len, Step* step) {
  size_t semi = 0;
  while (semi < len && text[semi] != ';') ++semi;
  if (!CopyName(step->name, text, semi)) return false;
  step->selector = semi < len;
  step->attrName[0] = 0;
  step->attrValue = nullptr;
  if (!step->selector) return true;
  size_t eq = semi + 1;
  while (eq < len && text[eq] != '=') ++eq;
  if (eq >= len) return false;
  if (!CopyName(step->attrName, text + semi + 1, eq - semi - 1)) return false;
  step->attrValue = text + eq + 1;
  return true;
}

// Removes and frees every child of parent after keep (all children when keep is null).
void TruncateChildren(XML_Node* parent, XML_Node* keep) {
  XML_Node* cut = keep != nullptr ? keep->nextSibling : parent->firstChild;
  if (keep != nullptr)
    keep->nextSibling = nullptr;
  else
    parent->firstChild = nullptr;
  for (XML_Node* n = cut; n != nullptr; n = n->nextSibling) {
    if (n->kind == XML_ATTRIBUTE) parent->attributeCount--;
    if (n->kind == XML_ELEMENT) parent->elementCount--;
  }
  parent->lastChild = keep;
  parent->indexNode = nullptr;
  parent->indexPos = 0;
  XmlFreeList(cut);
}

XML_Node* FindOrMake(XML_Document* doc, XML_Node* parent, const Step& step, int mode) {
  if (mode < XML_CREATE_NEW || mode > XML_OPEN_ALWAYS) return nullptr;
  if (mode == XML_OPEN_EXISTING || mode == XML_OPEN_ALWAYS) {
    XML_Node* found = step.selector ? XML_FindElementByAttribute(doc, parent, step.name,
                                                                 step.attrName, step.attrValue)
                                    : XML_NextElement(parent, step.name, nullptr);
    if (found != nullptr || mode == XML_OPEN_EXISTING) return found;
  }
  if (!step.selector) return XML_AddElement(parent, step.name);
  // A selector element is made only together with its attribute: an element that could not get
  // it would never be found again by the same step.
  if (doc == nullptr || doc->values.data == nullptr) return nullptr;
  XML_Node* before = LastChild(parent);
  XML_Node* element = XML_AddElement(parent, step.name);
  if (element == nullptr) return nullptr;
  if (XML_SetAttribute(doc, element, step.attrName, step.attrValue) != 0) {
    TruncateChildren(parent, before);
    return nullptr;
  }
  return element;
}

// Undo record for an attribute of the copy target whose value a failed copy must give back.
struct AttrUndo {
  XML_Node* attr;
  int selector;
  size_t start;
  size_t end;
};

// A growable list of undo records, freed on every path.
struct UndoLog {
  AttrUndo* items = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  ~UndoLog() { free(items); }
  bool Add(XML_Node* attr) {
    if (count == capacity) {
      size_t cap = capacity == 0 ? 8 : capacity * 2;
      AttrUndo* grown = static_cast<AttrUndo*>(realloc(items, cap * sizeof(AttrUndo)));
      if (grown == nullptr) return false;
      items = grown;
      capacity = cap;
    }
    items[count++] = {attr, attr->valueSelector, attr->valueStart, attr->valueEnd};
    return true;
  }
};

// Copies the stored bytes of attribute src (of srcDoc) into the store of doc and sets or creates
// the attribute of that name on dest. Replaced values of the target are logged.
bool CopyAttribute(XML_Document* doc, XML_Node* dest, const XML_Document* srcDoc,
                   const XML_Node* src, bool logReplace, UndoLog* log) {
  const unsigned char* bytes;
  size_t n;
  if (!XmlValueBytes(srcDoc, src, &bytes, &n)) return false;
  size_t high = 0;
  for (size_t i = 0; i < n; ++i) high += bytes[i] >= 0x80;
  // A byte above 0x7F stands for a character of the source's encoding, which need not be the
  // target's, so it goes in as a reference (8 bytes at most for each byte). Everything else is
  // copied as it stands, entity references included, so a malformed one stays malformed.
  if (high > (SIZE_MAX - n) / 7 || !Reserve(&doc->values, n + high * 7)) return false;
  XML_Buffer* v = &doc->values;
  size_t start = v->length;
  char* out = v->data + start;
  if (high == 0 && n > 0) {
    memcpy(out, bytes, n);
    out += n;
  }
  for (size_t i = 0; high > 0 && i < n;) {
    unsigned char b = bytes[i++];
    if (b < 0x80) {
      *out++ = static_cast<char>(b);
      continue;
    }
    wchar16 units[2];
    int got = XmlDecodeHigh(srcDoc->encoding, b, bytes, &i, n, units);
    for (int k = 0; k < got; ++k) out += XmlEscapeChar(units[k], out);
  }
  size_t end = static_cast<size_t>(out - v->data);
  XML_Node* attr = FindAttr(dest, src->name);
  if (attr != nullptr && logReplace && !log->Add(attr)) return false;
  if (LinkStoredValue(dest, attr, src->name, start, end) == nullptr) return false;
  v->length = end;
  v->position = v->length;
  return true;
}

}  // namespace

// ---- shared pieces ----

XML_Node* XmlNewNode(uint32_t kind, const wchar16* name) {
  size_t len = BoundedLength(name, XML_NAME_MAX);
  if (len > XML_NAME_MAX) return nullptr;
  // Names are written unescaped, so only what the parser reads back as a name is accepted: an
  // element needs at least one character, since "< " followed by an attribute reads as an
  // attribute of the enclosing element.
  if (kind == XML_ELEMENT && len == 0) return nullptr;
  for (size_t i = 0; i < len; ++i) {
    wchar16 c = name[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
      return nullptr;
  }
  XML_Node* node = static_cast<XML_Node*>(calloc(1, sizeof(XML_Node)));
  if (node == nullptr) return nullptr;
  node->kind = kind;
  memcpy(node->name, name, len * sizeof(wchar16));
  return node;
}

XML_Node* XmlNewNodeAscii(uint32_t kind, const char* name, size_t len) {
  XML_Node* node = static_cast<XML_Node*>(malloc(sizeof(XML_Node)));
  if (node == nullptr) return nullptr;
  node->kind = kind;
  for (size_t i = 0; i < len; ++i) node->name[i] = static_cast<unsigned char>(name[i]);
  node->name[len] = 0;
  node->valueSelector = XML_VALUE_SOURCE;
  node->valueStart = 0;
  node->valueEnd = 0;
  node->firstChild = nullptr;
  node->nextSibling = nullptr;
  node->parent = nullptr;
  ClearChildren(node);
  return node;
}

void XmlAppendChild(XML_Node* parent, XML_Node* node) {
  XML_Node* last = LastChild(parent);
  if (last != nullptr)
    last->nextSibling = node;
  else
    parent->firstChild = node;
  node->nextSibling = nullptr;
  node->parent = parent;
  parent->lastChild = node;
  if (node->kind == XML_ATTRIBUTE) parent->attributeCount++;
  if (node->kind == XML_ELEMENT) parent->elementCount++;
}

void XmlFreeList(XML_Node* first) {
  // Each node's children are spliced in front of its following siblings before it is freed, so
  // any depth is released with a flat loop, every list being walked once.
  XML_Node* node = first;
  while (node != nullptr) {
    if (node->firstChild != nullptr) {
      XML_Node* last = LastChild(node);
      last->nextSibling = node->nextSibling;
      node->nextSibling = node->firstChild;
    }
    XML_Node* next = node->nextSibling;
    free(node);
    node = next;
  }
}

bool XmlNameEqual(const wchar16* a, const wchar16* b) {
  for (;; ++a, ++b) {
    if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
    if (*a == 0) return true;
  }
}

bool XmlValueBytes(const XML_Document* doc, const XML_Node* attr, const unsigned char** bytes,
                   size_t* length) {
  const XML_Buffer* buf = attr->valueSelector == XML_VALUE_SOURCE  ? &doc->source
                          : attr->valueSelector == XML_VALUE_STORE ? &doc->values
                                                                   : nullptr;
  if (buf == nullptr || attr->valueStart > attr->valueEnd || attr->valueEnd > buf->length)
    return false;
  if (buf->data == nullptr && attr->valueEnd > 0) return false;
  static const unsigned char kEmpty[1] = {0};
  *bytes = buf->data != nullptr
               ? reinterpret_cast<const unsigned char*>(buf->data) + attr->valueStart
               : kEmpty;
  *length = attr->valueEnd - attr->valueStart;
  return true;
}

wchar16 XmlHighByte(unsigned char b) {
  // The settings and package code converts values back to the ANSI code page after reading, so
  // this round-trips. A byte the code page cannot give alone (a lead byte) stands for itself, as
  // every byte does on the native build.
#ifdef _WIN32
  char in = static_cast<char>(b);
  wchar_t out = 0;
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &in, 1, &out, 1) == 1)
    return static_cast<wchar16>(out);
#endif
  return b;
}

size_t XmlUtf8Length(const unsigned char* bytes, size_t avail) {
  unsigned char b = bytes[0];
  size_t n;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;   // overlong
    if (b == 0xED) high = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;   // overlong
    if (b == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (avail < n || bytes[1] < low || bytes[1] > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
  return n;
}

int XmlTextEncoding(const unsigned char* text, size_t length) {
  size_t i = 0;
  while (i < length) {
    if (text[i] < 0x80) {
      ++i;
      continue;
    }
    size_t n = XmlUtf8Length(text + i, length - i);
    if (n == 0) return XML_TEXT_ANSI;
    i += n;
  }
  return XML_TEXT_UTF8;
}

int XmlDecodeHigh(int encoding, unsigned char b, const unsigned char* bytes, size_t* pos,
                  size_t end, wchar16* units) {
  if (encoding == XML_TEXT_1252) {
    // 0x80 to 0x9F differ from ISO-8859-1; the five bytes windows-1252 leaves free stand for
    // themselves, as the system's conversion gives them.
    static const wchar16 k1252[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    units[0] = b < 0xA0 ? k1252[b - 0x80] : b;
    return 1;
  }
  size_t at = *pos - 1;
  size_t n = encoding == XML_TEXT_UTF8 ? XmlUtf8Length(bytes + at, end - at) : 0;
  if (n == 0) {
    // Also a byte of a text taken as UTF-8 that starts no sequence within the value's bounds,
    // which only bytes handed to the reader directly can hold.
    units[0] = XmlHighByte(b);
    return 1;
  }
  uint32_t code = b & (0xFF >> (n + 1));
  for (size_t i = 1; i < n; ++i) code = (code << 6) | (bytes[at + i] & 0x3F);
  *pos = at + n;
  if (code < 0x10000) {
    units[0] = static_cast<wchar16>(code);
    return 1;
  }
  code -= 0x10000;
  units[0] = static_cast<wchar16>(0xD800 + (code >> 10));
  units[1] = static_cast<wchar16>(0xDC00 + (code & 0x3FF));
  return 2;
}

bool XmlDecodeEntity(const unsigned char* bytes, size_t* pos, size_t end, wchar16* ch) {
  size_t i = *pos;
  if (i >= end) return false;
  if (bytes[i] == '#') {
    ++i;
    if (i >= end) return false;
    uint32_t base = 10;
    if (bytes[i] == 'x' || bytes[i] == 'X') {
      base = 16;
      ++i;
    }
    uint32_t value = 0;
    for (;; ++i) {
      if (i >= end) return false;
      unsigned char b = bytes[i];
      if (b == ';') break;
      uint32_t digit;
      if (b >= '0' && b <= '9')
        digit = b - '0';
      else if (base == 16 && b >= 'A' && b <= 'F')
        digit = b - 'A' + 10;
      else if (base == 16 && b >= 'a' && b <= 'f')
        digit = b - 'a' + 10;
      else
        return false;
      value = value * base + digit;  // wraps in 32 bits; the low 16 bits are the character
    }
    *ch = static_cast<wchar16>(value & 0xFFFF);
    *pos = i + 1;
    return true;
  }
  char name[8];
  size_t n = 0;
  for (;; ++i) {
    if (i >= end) return false;
    unsigned char b = bytes[i];
    if (b == ';') break;
    if (n == 8) return false;
    name[n++] = static_cast<char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
  }
  static const struct {
    const char* name;
    wchar16 ch;
  } kNamed[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
  // Compared with the name's length: a zero byte inside the name must not end it early.
  for (const auto& e : kNamed) {
    if (strlen(e.name) == n && memcmp(name, e.name, n) == 0) {
      *ch = e.ch;
      *pos = i + 1;
      return true;
    }
  }
  return false;
}

size_t XmlEscapeChar(wchar16 ch, char* out) {
  const char* named = nullptr;
  switch (ch) {
    case '<':
      named = "&lt;";
      break;
    case '>':
      named = "&gt;";
      break;
    case '&':
      named = "&amp;";
      break;
    case '\'':
      named = "&apos;";
      break;
    case '"':
      named = "&quot;";
      break;
    default:
      break;
  }
  if (named != nullptr) {
    size_t n = strlen(named);
    memcpy(out, named, n);
    return n;
  }
  if (ch < 0x20 || ch > 0x7E) {
    static const char kHex[] = "0123456789ABCDEF";
    out[0] = '&';
    out[1] = '#';
    out[2] = 'x';
    out[3] = kHex[(ch >> 12) & 15];
    out[4] = kHex[(ch >> 8) & 15];
    out[5] = kHex[(ch >> 4) & 15];
    out[6] = kHex[ch & 15];
    out[7] = ';';
    return 8;
  }
  out[0] = static_cast<char>(ch);
  return 1;
}

// ---- documents and the root ----

XML_Document* XML_Create() {
  XML_Document* doc = static_cast<XML_Document*>(calloc(1, sizeof(XML_Document)));
  if (doc == nullptr) return nullptr;
  doc->values.data = static_cast<char*>(malloc(XML_STORE_INITIAL));
  if (doc->values.data == nullptr) {
    free(doc);
    return nullptr;
  }
  doc->values.owned = 1;
  doc->values.capacity = XML_STORE_INITIAL;
  doc->values.growable = 1;
  return doc;
}

XML_Node* XML_CreateRoot(XML_Document* doc, const wchar16* name) {
  if (doc == nullptr || name == nullptr || XML_GetRoot(doc) != nullptr) return nullptr;
  XML_Node* root = XmlNewNode(XML_ELEMENT, name);
  if (root != nullptr) XmlAppendChild(&doc->top, root);
  return root;
}

XML_Node* XML_GetRoot(XML_Document* doc) {
  if (doc == nullptr) return nullptr;
  // Only an element is a root: text that began with an attribute leaves one at the top.
  for (XML_Node* n = doc->top.firstChild; n != nullptr; n = n->nextSibling)
    if (n->kind == XML_ELEMENT) return n;
  return nullptr;
}

int XML_Close(XML_Document* doc) {
  if (doc == nullptr) return 0;
  int result = 0;
#ifdef _WIN32
  if (doc->file != nullptr) result = XmlFileFinish(doc);
#endif
  if (doc->attached != nullptr && doc->releaseAttached != nullptr) {
    doc->releaseAttached(doc->attached);
  }
  XmlFreeList(doc->top.firstChild);
  if (doc->source.owned) free(doc->source.data);
  free(doc->values.data);
  free(doc);
  return result;
}

// ---- children ----

XML_Node* XML_AddElement(XML_Node* parent, const wchar16* name) {
  if (!IsElement(parent) || name == nullptr) return nullptr;
  XML_Node* node = XmlNewNode(XML_ELEMENT, name);
  if (node != nullptr) XmlAppendChild(parent, node);
  return node;
}

XML_Node* XML_NextChild(XML_Node* element, XML_Node** cursor, XML_Node*** tail) {
  XML_Node* own = nullptr;
  if (cursor == nullptr) cursor = &own;
  if (*cursor == XML_CURSOR_END || element == nullptr) return nullptr;
  XML_Node* node = *cursor != nullptr ? *cursor : element->firstChild;
  if (node == nullptr) {
    *cursor = XML_CURSOR_END;
    if (tail != nullptr) *tail = &element->firstChild;
    return nullptr;
  }
  if (node->nextSibling != nullptr) {
    *cursor = node->nextSibling;
  } else {
    *cursor = XML_CURSOR_END;
    if (tail != nullptr) *tail = &node->nextSibling;
  }
  return node;
}

XML_Node* XML_NextElement(XML_Node* element, const wchar16* name, XML_Node** cursor) {
  XML_Node* own = nullptr;
  if (cursor == nullptr) cursor = &own;
  for (;;) {
    XML_Node* node = XML_NextChild(element, cursor, nullptr);
    if (node == nullptr) return nullptr;
    if (node->kind == XML_ELEMENT && (name == nullptr || XmlNameEqual(node->name, name)))
      return node;
  }
}

XML_Node* XML_FindAttribute(XML_Node* element, const wchar16* name, XML_Node** cursor,
                            XML_Node*** tail) {
  if (name == nullptr) return nullptr;
  XML_Node* own = nullptr;
  if (cursor == nullptr) cursor = &own;
  for (;;) {
    XML_Node* node = XML_NextChild(element, cursor, tail);
    if (node == nullptr) return nullptr;
    if (node->kind == XML_ATTRIBUTE && XmlNameEqual(node->name, name)) return node;
  }
}

XML_Node* XML_GetChildAt(XML_Node* element, int index) {
  if (element == nullptr || index < 0) return nullptr;
  // Continue from the child reached last time when the index is not behind it, so that callers
  // walking by index cost one walk of the list in all. Appends do not move earlier indices, and
  // only deleting children removes nodes, which resets the mark.
  XML_Node* node = element->firstChild;
  int pos = 0;
  if (element->indexNode != nullptr && index >= element->indexPos) {
    node = element->indexNode;
    pos = element->indexPos;
  }
  while (node != nullptr && pos < index) {
    node = node->nextSibling;
    ++pos;
  }
  if (node == nullptr) return nullptr;
  element->indexNode = node;
  element->indexPos = pos;
  return node;
}

int XML_CountChildren(XML_Node* element) {
  return element == nullptr ? 0 : element->attributeCount + element->elementCount;
}

int XML_CountAttributes(XML_Node* element) {
  return element == nullptr ? 0 : element->attributeCount;
}

int XML_CountElements(XML_Node* element) { return element == nullptr ? 0 : element->elementCount; }

int XML_DeleteChildren(XML_Node* element) {
  if (element == nullptr) return 0;
  XmlFreeList(element->firstChild);
  ClearChildren(element);
  return 0;
}

int XML_DeleteElements(XML_Node* element, int (*drop)(XML_Node* child, void* context),
                       void* context) {
  if (!IsElement(element)) return 0;
  XML_Node** link = &element->firstChild;
  XML_Node* last = nullptr;
  while (*link != nullptr) {
    XML_Node* node = *link;
    if (node->kind == XML_ELEMENT && drop(node, context)) {
      *link = node->nextSibling;
      node->nextSibling = nullptr;
      --element->elementCount;
      XmlFreeList(node);
      continue;
    }
    last = node;
    link = &node->nextSibling;
  }
  element->lastChild = last;
  element->indexNode = nullptr;
  element->indexPos = 0;
  return 0;
}

// ---- attributes ----

int XML_GetAttribute(XML_Document* doc, XML_Node* element, const wchar16* name, wchar16* buffer,
                     int* count) {
  if (doc == nullptr || !IsElement(element) || name == nullptr || count == nullptr) return 1;
  XML_Node* attr = FindAttr(element, name);
  if (attr == nullptr) return 1;
  const unsigned char* bytes;
  size_t n;
  if (!XmlValueBytes(doc, attr, &bytes, &n)) return 1;
  size_t len = 0;
  if (buffer == nullptr) {
    if (!XmlDecodeValue(doc->encoding, bytes, n, [&](wchar16) { return ++len < INT_MAX; }))
      return 1;
    *count = static_cast<int>(len + 1);
    return 0;
  }
  if (*count <= 0) return 1;
  size_t room = static_cast<size_t>(*count) - 1;
  bool ok = XmlDecodeValue(doc->encoding, bytes, n, [&](wchar16 ch) {
    if (len >= room) return false;
    buffer[len++] = ch;
    return true;
  });
  if (!ok) return 1;
  buffer[len] = 0;
  *count = static_cast<int>(len + 1);
  return 0;
}

int XML_SetAttribute(XML_Document* doc, XML_Node* element, const wchar16* name,
                     const wchar16* value) {
  if (doc == nullptr || !IsElement(element) || name == nullptr || value == nullptr) return 1;
  if (doc->values.data == nullptr || BoundedLength(name, XML_NAME_MAX) > XML_NAME_MAX) return 1;
  size_t oldLength = doc->values.length;
  size_t start, end;
  if (!StoreValue(doc, value, &start, &end)) return 1;
  if (LinkStoredValue(element, FindAttr(element, name), name, start, end) == nullptr) {
    doc->values.length = doc->values.position = oldLength;
    return 1;
  }
  return 0;
}

int XML_GetAttributeA(XML_Document* doc, XML_Node* element, const wchar16* name, char* buffer,
                      int* size) {
  if (size == nullptr || buffer == nullptr || *size <= 0) return 1;
  int count = 0;
  if (XML_GetAttribute(doc, element, name, nullptr, &count) != 0) return 1;
  enum { kFixed = 1024 };
  wchar16 fixedWide[kFixed];
  char fixedNarrow[kFixed * 3];
  HeapGuard<> wideGuard, narrowGuard;
  wchar16* wide = fixedWide;
  char* narrow = fixedNarrow;
  // An ANSI code page gives at most three bytes for a UTF-16 unit, so the narrow copy is never
  // cut short and whether it fits the caller's buffer is known exactly.
  size_t narrowSize = static_cast<size_t>(count) * 3;
  if (count > kFixed) {
    wide = static_cast<wchar16*>(malloc(static_cast<size_t>(count) * sizeof(wchar16)));
    narrow = static_cast<char*>(malloc(narrowSize));
    wideGuard.block = wide;
    narrowGuard.block = narrow;
    if (wide == nullptr || narrow == nullptr || narrowSize > INT_MAX) return 1;
  }
  if (XML_GetAttribute(doc, element, name, wide, &count) != 0) return 1;
  int n = WideToAnsi(narrow, wide, static_cast<int>(narrowSize));
  if (n + 1 > *size) {
    // Reported as a failure: an empty text here would pass for a value that is empty.
    buffer[0] = 0;
    *size = 0;
    return 1;
  }
  memcpy(buffer, narrow, static_cast<size_t>(n) + 1);
  *size = n + 1;
  return 0;
}

int XML_SetAttributeA(XML_Document* doc, XML_Node* element, const wchar16* name, const char* text) {
  if (text == nullptr) return 1;
  enum { kFixed = 1024 };
  size_t len = strlen(text);
  if (len >= INT_MAX) return 1;
  wchar16 fixedWide[kFixed];
  HeapGuard<> guard;
  wchar16* wide = fixedWide;
  if (len >= kFixed) {
    wide = static_cast<wchar16*>(malloc((len + 1) * sizeof(wchar16)));
    guard.block = wide;
    if (wide == nullptr) return 1;
  }
  AnsiToWide(wide, text, static_cast<int>(len + 1));
  return XML_SetAttribute(doc, element, name, wide);
}

int XML_EscapeA(const char* text, char* out, int size) {
  if (text == nullptr || out == nullptr || size <= 0) return 1;
  enum { kMax = 260 };
  wchar16 wide[kMax];
  AnsiToWide(wide, text, kMax);
  size_t n = 0;
  for (const wchar16* p = wide; *p != 0; ++p) {
    char piece[8];
    size_t len = XmlEscapeChar(*p, piece);
    if (n + len >= static_cast<size_t>(size)) {
      out[n] = 0;
      return 1;
    }
    memcpy(out + n, piece, len);
    n += len;
  }
  out[n] = 0;
  return 0;
}

int XML_GetAttributeHex(XML_Document* doc, XML_Node* element, const wchar16* name,
                        uint32_t* value) {
  if (value == nullptr) return 1;
  wchar16 text[16];
  int count = 16;
  if (XML_GetAttribute(doc, element, name, text, &count) != 0) return 1;
  return HexToDword(text, value) == 1 ? 0 : 1;
}

int XML_SetAttributeHex(XML_Document* doc, XML_Node* element, const wchar16* name, uint32_t value) {
  wchar16 text[9];
  DwordToHex(value, text);
  return XML_SetAttribute(doc, element, name, text);
}

// ---- lookup and copying ----

XML_Node* XML_FindElementByAttribute(XML_Document* doc, XML_Node* parent, const wchar16* name,
                                     const wchar16* attrName, const wchar16* attrValue) {
  if (doc == nullptr || !IsElement(parent) || name == nullptr || attrName == nullptr ||
      attrValue == nullptr)
    return nullptr;
  // The value is compared as it is decoded, so a value of any length can match.
  for (XML_Node* n = parent->firstChild; n != nullptr; n = n->nextSibling) {
    if (n->kind != XML_ELEMENT || !XmlNameEqual(n->name, name)) continue;
    XML_Node* attr = FindAttr(n, attrName);
    if (attr != nullptr && ValueEquals(doc, attr, attrValue)) return n;
  }
  return nullptr;
}

XML_Node* XML_FindChild(XML_Document* doc, XML_Node* parent, const wchar16* step, int mode) {
  if (!IsElement(parent) || step == nullptr) return nullptr;
  Step parsed;
  if (!ParseStep(step, Str16Len(step), &parsed)) return nullptr;
  return FindOrMake(doc, parent, parsed, mode);
}

XML_Node* XML_Find(XML_Document* doc, XML_Node* start, const wchar16* path, int mode) {
  if (doc == nullptr || path == nullptr) return nullptr;
  if (mode < XML_CREATE_NEW || mode > XML_OPEN_ALWAYS) return nullptr;
  if (start == nullptr) start = XML_GetRoot(doc);
  if (!IsElement(start)) return nullptr;
  // The whole path is checked before the first step is taken, so a malformed path creates
  // nothing at all (with the create modes it would otherwise leave a partial chain).
  enum { kStepMax = 50 };
  size_t len = Str16Len(path);
  if (len == 0) return nullptr;
  size_t from = 0;
  Step step;
  for (size_t i = 0; i <= len; ++i) {
    if (i < len && path[i] != '\\') continue;
    size_t stepLen = i - from;
    if (stepLen == 0 || (i < len && stepLen > kStepMax)) return nullptr;
    if (!ParseStep(path + from, stepLen, &step)) return nullptr;
    from = i + 1;
  }
  XML_Node* node = start;
  from = 0;
  for (size_t i = 0; i <= len; ++i) {
    if (i < len && path[i] != '\\') continue;
    // A step before a backslash is copied so that a selector's value ends with the step.
    wchar16 copy[kStepMax + 1];
    const wchar16* text = path + from;
    if (i < len) {
      memcpy(copy, path + from, (i - from) * sizeof(wchar16));
      copy[i - from] = 0;
      text = copy;
    }
    ParseStep(text, i - from, &step);
    node = FindOrMake(doc, node, step, mode);
    if (node == nullptr) return nullptr;
    from = i + 1;
  }
  return node;
}

XML_Node* XML_CopyElement(XML_Document* doc, XML_Node* parent, const wchar16* name,
                          XML_Document* srcDoc, XML_Node* srcElement, int mode) {
  // Copying within one document could move the store under the bytes being copied and could
  // copy a subtree into itself.
  if (doc == nullptr || srcDoc == nullptr || srcDoc == doc || srcElement == nullptr) return nullptr;
  XML_Node* target = XML_FindChild(doc, parent, name, mode);
  if (target == nullptr) return nullptr;

  // What the target held before, so that a failed copy gives it back unchanged.
  XML_Node* keep = LastChild(target);
  size_t storeLength = doc->values.length;
  UndoLog log;

  // Depth-first walk without recursion: dest is always the copy of src's parent.
  XML_Node* dest = target;
  XML_Node* src = srcElement->firstChild;
  bool ok = true;
  while (src != nullptr) {
    if (src->kind == XML_ATTRIBUTE) {
      // Readers take the first attribute of a name: a later one of the same element must not
      // replace it in the copy, or the copy would read otherwise than its source.
      if (FindAttr(src->parent, src->name) == src &&
          !CopyAttribute(doc, dest, srcDoc, src, dest == target, &log)) {
        ok = false;
        break;
      }
    } else if (src->kind == XML_ELEMENT) {
      XML_Node* copy = XmlNewNode(XML_ELEMENT, src->name);
      if (copy == nullptr) {
        ok = false;
        break;
      }
      XmlAppendChild(dest, copy);
      if (src->firstChild != nullptr) {
        dest = copy;
        src = src->firstChild;
        continue;
      }
    }
    while (src != nullptr && src->nextSibling == nullptr) {
      src = src->parent;
      if (src == srcElement) src = nullptr;
      if (src != nullptr) dest = dest->parent;
    }
    if (src != nullptr) src = src->nextSibling;
  }
  if (ok) return target;

  for (size_t i = log.count; i-- > 0;) {
    log.items[i].attr->valueSelector = log.items[i].selector;
    log.items[i].attr->valueStart = log.items[i].start;
    log.items[i].attr->valueEnd = log.items[i].end;
  }
  TruncateChildren(target, keep);
  if (doc->values.data != nullptr) doc->values.length = doc->values.position = storeLength;
  return nullptr;
}
