// Writer: the fixed text layout of a tree. The output buffer is the caller's and never grows;
// what does not fit is counted and dropped, so a call without a buffer measures the text.
#include <limits.h>
#include <string.h>

#include "xml/xml.h"
#include "xml/xml_internal.h"

namespace {

// Emits n bytes: counts them, stores what fits, and notes an overflow.
inline void Emit(XML_Buffer* out, const char* bytes, size_t n) {
  if (n == 0) return;
  out->length += n;
  size_t room = out->capacity - out->position;
  if (n <= room) {
    memcpy(out->data + out->position, bytes, n);
    out->position += n;
    return;
  }
  if (room > 0) memcpy(out->data + out->position, bytes, room);
  out->position += room;
  out->overflow = 1;
}

void EmitIndent(XML_Buffer* out, size_t depth) {
  static const char kSpaces[] = "                                                                ";
  const size_t chunk = sizeof(kSpaces) - 1;
  while (depth > chunk) {
    Emit(out, kSpaces, chunk);
    depth -= chunk;
  }
  Emit(out, kSpaces, depth);
}

// Names are written one byte per character, unescaped.
void EmitName(XML_Buffer* out, const wchar16* name) {
  char bytes[XML_NAME_MAX + 1];
  size_t n = 0;
  while (n < XML_NAME_MAX && name[n] != 0) {
    bytes[n] = static_cast<char>(name[n] & 0xFF);
    ++n;
  }
  Emit(out, bytes, n);
}

// Writes a value by decoding its stored form and escaping every character again. Runs of bytes
// that both steps leave alone are copied whole.
bool EmitValue(XML_Buffer* out, const XML_Document* doc, const XML_Node* attr) {
  const unsigned char* bytes;
  size_t n;
  if (!XmlValueBytes(doc, attr, &bytes, &n)) return false;
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && XmlPlainByte(bytes[run])) ++run;
    Emit(out, reinterpret_cast<const char*>(bytes + i), run - i);
    i = run;
    if (i >= n) break;
    unsigned char b = bytes[i++];
    wchar16 units[2];
    int got = XmlDecodeByte(doc->encoding, b, bytes, &i, n, units);
    if (got < 0) return false;
    for (int k = 0; k < got; ++k) {
      char escaped[8];
      Emit(out, escaped, XmlEscapeChar(units[k], escaped));
    }
  }
  return true;
}

// Writes an element's start tag with its attributes (one walk of its children list) and gives
// its first element child, or null when it has none. *closed tells whether the tag was
// completed as an empty element (attributes and no element children).
bool EmitStart(XML_Buffer* out, const XML_Document* doc, const XML_Node* element, size_t depth,
               XML_Node** firstElement, bool* closed) {
  EmitIndent(out, depth);
  Emit(out, "<", 1);
  EmitName(out, element->name);
  *firstElement = nullptr;
  bool anyAttribute = false;
  for (XML_Node* n = element->firstChild; n != nullptr; n = n->nextSibling) {
    if (n->kind == XML_ELEMENT) {
      if (*firstElement == nullptr) *firstElement = n;
    } else if (n->kind == XML_ATTRIBUTE) {
      anyAttribute = true;
      Emit(out, " ", 1);
      EmitName(out, n->name);
      Emit(out, "=\"", 2);
      if (!EmitValue(out, doc, n)) return false;
      Emit(out, "\"", 1);
    }
  }
  *closed = anyAttribute && *firstElement == nullptr;
  if (*closed)
    Emit(out, " />\n", 4);
  else
    Emit(out, ">\n", 2);
  return true;
}

void EmitEnd(XML_Buffer* out, const XML_Node* element, size_t depth) {
  EmitIndent(out, depth);
  Emit(out, "</", 2);
  EmitName(out, element->name);
  Emit(out, ">\n", 2);
}

// The next element among the siblings after node, or null.
XML_Node* NextElementSibling(XML_Node* node) {
  for (XML_Node* n = node->nextSibling; n != nullptr; n = n->nextSibling)
    if (n->kind == XML_ELEMENT) return n;
  return nullptr;
}

// Writes the subtree of root without recursion, so that any depth a tree can reach is written.
bool EmitTree(XML_Buffer* out, const XML_Document* doc, XML_Node* root) {
  XML_Node* node = root;
  size_t depth = 0;
  for (;;) {
    XML_Node* child;
    bool closed;
    if (!EmitStart(out, doc, node, depth, &child, &closed)) return false;
    if (child != nullptr) {
      node = child;
      ++depth;
      continue;
    }
    // An element without attributes is written with an end tag even when it is empty.
    if (!closed) EmitEnd(out, node, depth);
    // Climb until an element with a following element sibling, closing what is finished.
    for (;;) {
      if (node == root) return true;
      XML_Node* next = NextElementSibling(node);
      if (next != nullptr) {
        node = next;
        break;
      }
      node = node->parent;
      --depth;
      EmitEnd(out, node, depth);
    }
  }
}

// True when element lies in the tree of doc.
bool BelongsTo(const XML_Document* doc, const XML_Node* element) {
  const XML_Node* n = element;
  while (n->parent != nullptr) n = n->parent;
  return n == &doc->top;
}

}  // namespace

int XML_Serialize(XML_Document* doc, XML_Node* root, char* buffer, int* size) {
  if (doc == nullptr || size == nullptr) return 1;
  XML_Buffer* out = &doc->output;
  out->data = buffer;
  out->owned = 0;
  out->position = 0;
  out->length = 0;
  out->capacity = (buffer != nullptr && *size > 0) ? static_cast<size_t>(*size) - 1 : 0;
  out->overflow = 0;
  out->growable = 0;

  static const char kHeader[] = "<?xml version=\"1.0\"?>\n";
  Emit(out, kHeader, sizeof(kHeader) - 1);
  bool ok = true;
  if (root != nullptr) {
    ok = root->kind == XML_ELEMENT && BelongsTo(doc, root) && EmitTree(out, doc, root);
  }
  if (!out->overflow && buffer != nullptr) buffer[out->position] = 0;
  size_t reported = out->length + 1;
  out->data = nullptr;
  out->length = reported;
  if (reported > INT_MAX) {
    *size = INT_MAX;
    return 1;
  }
  *size = static_cast<int>(reported);
  if (out->overflow) return 2;
  return ok ? 0 : 1;
}
