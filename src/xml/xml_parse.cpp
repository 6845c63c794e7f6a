// Parser: builds a document's tree from its 8-bit source text in one pass. Values are not copied;
// an attribute records where its escaped value lies in the text.
#include <string.h>

#include "xml/xml.h"
#include "xml/xml_internal.h"

namespace {

// Token results between the steps of the parser.
enum {
  kError = 1,          // error, or no more text
  kElement = 5,        // an element was parsed with its children and its end
  kAttribute = 6,      // an attribute was parsed
  kEnd = 7,            // the end of the enclosing element: an end tag, or "/>"
  kLoneGt = 8,         // a lone '>', ignored
  kElementOpen = 100,  // an element's name was read; its children follow
};

// Name scan results.
enum { kNameSpaceOrGt = 5, kNameEquals = 6, kNameBad = 1 };

// What the version declaration says of the encoding.
enum { kUndeclared = 0, kDeclaredUtf8 = 1, kDeclared1252 = 2 };

// The character reader over the source text with entity decoding off: line breaks are invisible
// and tabs read as spaces.
struct Reader {
  const unsigned char* text;
  size_t pos;
  size_t end;
  bool bom;      // the text began with a UTF-8 byte-order mark
  int declared;  // kUndeclared, kDeclaredUtf8 or kDeclared1252

  // The next character, or -1 at the end of the text.
  int Get() {
    while (pos < end) {
      unsigned char b = text[pos++];
      if (b == 13 || b == 10) continue;
      return b == 9 ? ' ' : b;
    }
    return -1;
  }
  // Gives back the character just read (it is always the byte before the position).
  void Unget() { --pos; }
  // The first character that is not a space, or -1.
  int SkipSpace() {
    int c;
    do c = Get();
    while (c == ' ');
    return c;
  }
  // Reads a name into name (XML_NAME_MAX bytes at most) and tells how it ended.
  int ScanName(char* name, size_t* len) {
    size_t n = 0;
    for (;;) {
      int c = Get();
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') {
        if (n == XML_NAME_MAX) return kNameBad;
        name[n++] = static_cast<char>(c);
        continue;
      }
      *len = n;
      if (c == ' ' || c == '>') return kNameSpaceOrGt;
      if (c == '=') return kNameEquals;
      return kNameBad;
    }
  }
  // After a name and '=': space, a double quote, and the value up to the next double quote.
  bool ScanValue(size_t* start, size_t* stop) {
    if (SkipSpace() != '"') return false;
    const void* quote = memchr(text + pos, '"', end - pos);
    if (quote == nullptr) return false;
    *start = pos;
    *stop = static_cast<size_t>(static_cast<const unsigned char*>(quote) - text);
    pos = *stop + 1;
    return true;
  }
};

bool EqualsIgnoreCase(const char* name, size_t len, const char* upper) {
  if (strlen(upper) != len) return false;
  for (size_t i = 0; i < len; ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    if (c != upper[i]) return false;
  }
  return true;
}

// The rest of a version declaration after its version: nothing, or the encoding that editors
// write there. Only the encodings the reader knows are accepted; a byte-order mark says UTF-8,
// so it cannot go with another one.
bool ScanDeclarationEnd(Reader* rd) {
  int c = rd->SkipSpace();
  if (c < 0) return false;
  if (c != '?') {
    rd->Unget();
    char name[XML_NAME_MAX];
    size_t len, start, stop;
    if (rd->ScanName(name, &len) != kNameEquals || !EqualsIgnoreCase(name, len, "ENCODING") ||
        !rd->ScanValue(&start, &stop))
      return false;
    const char* value = reinterpret_cast<const char*>(rd->text + start);
    if (EqualsIgnoreCase(value, stop - start, "UTF-8")) {
      rd->declared = kDeclaredUtf8;
    } else if (EqualsIgnoreCase(value, stop - start, "WINDOWS-1252") ||
               EqualsIgnoreCase(value, stop - start, "ISO-8859-1")) {
      if (rd->bom) return false;
      rd->declared = kDeclared1252;
    } else {
      return false;
    }
    c = rd->SkipSpace();
  }
  return c == '?' && rd->SkipSpace() == '>';
}

// Makes an attribute of parent from its name and the offsets of its value in the text.
bool AddAttribute(XML_Node* parent, const char* name, size_t len, size_t start, size_t stop) {
  XML_Node* attr = XmlNewNodeAscii(XML_ATTRIBUTE, name, len);
  if (attr == nullptr) return false;
  attr->valueSelector = XML_VALUE_SOURCE;
  attr->valueStart = start;
  attr->valueEnd = stop;
  XmlAppendChild(parent, attr);
  return true;
}

// One token below parent. An element's start gives kElementOpen with the new element in *made;
// its children are then read by the caller's loop, so nesting costs no stack.
int Token(Reader* rd, XML_Node* parent, XML_Node** made) {
  char name[XML_NAME_MAX];
  size_t len;
  for (;;) {
    int c = rd->SkipSpace();
    if (c < 0) return kError;
    if (c == '<') {
      int second = rd->SkipSpace();
      if (second < 0) return kError;
      if (second == '?') {
        // The version declaration, <?xml version="1.0"?> with spaces allowed between the
        // value's characters, and optionally an encoding; then the token after it.
        if (rd->ScanName(name, &len) != kNameSpaceOrGt || !EqualsIgnoreCase(name, len, "XML"))
          return kError;
        if (rd->ScanName(name, &len) != kNameEquals || !EqualsIgnoreCase(name, len, "VERSION"))
          return kError;
        for (const char* p = "\"1.0\""; *p != 0; ++p)
          if (rd->SkipSpace() != *p) return kError;
        if (!ScanDeclarationEnd(rd)) return kError;
        continue;
      }
      if (second == '/') {
        // The end tag's name is not compared with the element it closes.
        return rd->ScanName(name, &len) == kNameSpaceOrGt ? kEnd : kError;
      }
      rd->Unget();
      int how = rd->ScanName(name, &len);
      if (how == kNameSpaceOrGt) {
        // An element without a name would be written as text that reads back differently.
        if (len == 0) return kError;
        XML_Node* element = XmlNewNodeAscii(XML_ELEMENT, name, len);
        if (element == nullptr) return kError;
        XmlAppendChild(parent, element);
        *made = element;
        return kElementOpen;
      }
      if (how == kNameEquals) {
        // <NAME="value" ...>: an attribute of the enclosing element; the rest of the tag is
        // skipped.
        size_t start, stop;
        if (!rd->ScanValue(&start, &stop)) return kError;
        if (!AddAttribute(parent, name, len, start, stop)) return kError;
        for (;;) {
          int d = rd->Get();
          if (d < 0) return kError;
          if (d == '>') return kAttribute;
        }
      }
      return kError;
    }
    if (c == '/') return rd->SkipSpace() == '>' ? kEnd : kError;
    if (c == '>') return kLoneGt;
    rd->Unget();
    if (rd->ScanName(name, &len) != kNameEquals) return kError;
    size_t start, stop;
    if (!rd->ScanValue(&start, &stop)) return kError;
    return AddAttribute(parent, name, len, start, stop) ? kAttribute : kError;
  }
}

// Parses one token at the top level of doc from its source text and gives the token result.
int ParseTop(XML_Document* doc) {
  Reader rd{reinterpret_cast<const unsigned char*>(doc->source.data), doc->source.position,
            doc->source.length, false, kUndeclared};
  // The mark editors put before a UTF-8 text.
  if (rd.pos == 0 && rd.end >= 3 && memcmp(rd.text, "\xEF\xBB\xBF", 3) == 0) {
    rd.pos = 3;
    rd.bom = true;
  }
  XML_Node* made = nullptr;
  int result = Token(&rd, &doc->top, &made);
  if (result == kElementOpen) {
    XML_Node* parent = made;
    int depth = 1;
    for (;;) {
      int r = Token(&rd, parent, &made);
      if (r == kElementOpen) {
        // A depth limit keeps every later walk of the tree within bounds.
        if (depth == XML_MAX_DEPTH) {
          result = kError;
          break;
        }
        parent = made;
        ++depth;
      } else if (r == kEnd) {
        if (depth == 1) {
          result = kElement;
          break;
        }
        parent = parent->parent;
        --depth;
      } else if (r != kAttribute && r != kLoneGt) {
        result = kError;
        break;
      }
    }
  }
  doc->source.position = rd.pos;
  doc->encoding = rd.declared == kDeclared1252 ? XML_TEXT_1252 : XmlTextEncoding(rd.text, rd.end);
  return result;
}

}  // namespace

int XML_Parse(XML_Document* doc, const char* text, int length) {
  if (doc == nullptr || text == nullptr || length < -1) return 1;
  // Nodes left from an earlier parse point into the text they came from: a new text under them
  // would make their offsets meaningless.
  if (doc->top.firstChild != nullptr || doc->source.owned) return 1;
  doc->source.data = const_cast<char*>(text);
  doc->source.owned = 0;
  doc->source.position = 0;
  doc->source.length = length == -1 ? strlen(text) : static_cast<size_t>(length);
  doc->source.capacity = doc->source.length;
  return ParseTop(doc) == kElement ? 0 : 1;
}

int XML_OpenDocument(XML_Document* doc) {
  if (doc == nullptr) return 1;
  XmlFreeList(doc->top.firstChild);
  doc->top.firstChild = nullptr;
  doc->top.lastChild = nullptr;
  doc->top.attributeCount = 0;
  doc->top.elementCount = 0;
  doc->top.indexNode = nullptr;
  doc->source.position = 0;
  // Only an element is a document: anything else would leave the caller without a root.
  if (doc->source.data != nullptr && ParseTop(doc) == kElement) return kElement;
  // A file that did not parse is never written back: closing it would replace the text on disk
  // by whatever part of the tree was built.
  doc->writable = 0;
  return 1;
}
