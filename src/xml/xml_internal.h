// Pieces of the XML library shared by its own files: node making and linking, the value bytes of
// an attribute, the character reader's entity decoding, and the escaper.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "xml/xml.h"

// Initial size of a value store.
enum { XML_STORE_INITIAL = 4096 };

// A new unlinked node with a copy of name; null when the name is longer than XML_NAME_MAX or
// memory is exhausted.
XML_Node* XmlNewNode(uint32_t kind, const wchar16* name);

// Same, from a narrow ASCII name of len bytes (len <= XML_NAME_MAX, checked by the caller).
XML_Node* XmlNewNodeAscii(uint32_t kind, const char* name, size_t len);

// Appends node as the last child of parent and keeps the bookkeeping in step.
void XmlAppendChild(XML_Node* parent, XML_Node* node);

// Frees a sibling list and every descendant of its nodes, without recursion.
void XmlFreeList(XML_Node* first);

// Equal ignoring the case of A-Z only.
bool XmlNameEqual(const wchar16* a, const wchar16* b);

// The escaped bytes of an attribute's value, checked against the bounds of the buffer they lie
// in. false when the document has no such bytes.
bool XmlValueBytes(const XML_Document* doc, const XML_Node* attr, const unsigned char** bytes,
                   size_t* length);

// The character a byte from 0x80 to 0xFF stands for in the system's ANSI code page.
wchar16 XmlHighByte(unsigned char b);

// The length (2 to 4) of the well-formed UTF-8 sequence that starts at bytes[0], at most avail
// bytes long; 0 when there is none (overlong forms, surrogates and values above U+10FFFF are not
// well-formed).
size_t XmlUtf8Length(const unsigned char* bytes, size_t avail);

// XML_TEXT_UTF8 when the text of length bytes is valid UTF-8, else XML_TEXT_ANSI.
int XmlTextEncoding(const unsigned char* text, size_t length);

// The UTF-16 units (1, or 2 beyond U+FFFF) of the byte b above 0x7F just taken from
// bytes[*pos - 1], read in the encoding; a UTF-8 sequence goes on up to end at most. A byte that
// starts no well-formed sequence is read in the ANSI code page.
int XmlDecodeHigh(int encoding, unsigned char b, const unsigned char* bytes, size_t* pos,
                  size_t end, wchar16* units);

// Decodes one entity reference whose '&' has been taken: bytes from *pos up to end (exclusive,
// the end of the value, so a reference never runs into the bytes that follow). false when it is
// malformed.
bool XmlDecodeEntity(const unsigned char* bytes, size_t* pos, size_t end, wchar16* ch);

// A byte that the reader gives as itself and the escaper writes as itself.
inline bool XmlPlainByte(unsigned char b) {
  return b >= 0x20 && b <= 0x7E && b != '&' && b != '<' && b != '>' && b != '\'' && b != '"';
}

// Writes the escaped form of ch into out (at most 8 bytes); returns the number of bytes.
size_t XmlEscapeChar(wchar16 ch, char* out);

// Reads the character of byte b, just taken from bytes[*pos - 1], in the encoding (an entity
// reference or a UTF-8 sequence goes on up to end at most). Returns the number of UTF-16 units
// stored in units (1, or 2 for a character beyond U+FFFF), 0 for a line break (dropped), -1 for a
// malformed reference.
inline int XmlDecodeByte(int encoding, unsigned char b, const unsigned char* bytes, size_t* pos,
                         size_t end, wchar16* units) {
  if (b == '&') return XmlDecodeEntity(bytes, pos, end, units) ? 1 : -1;
  if (b == 13 || b == 10) return 0;
  if (b >= 0x80) return XmlDecodeHigh(encoding, b, bytes, pos, end, units);
  units[0] = b == 9 ? u' ' : b;
  return 1;
}

// Calls sink(ch) for every UTF-16 unit of an escaped value read in the encoding, decoding entity
// references within the value's own bytes; line breaks are dropped and tabs read as spaces. false
// for a malformed reference. sink returns false to stop the walk, which then also gives false.
template <typename Sink>
bool XmlDecodeValue(int encoding, const unsigned char* bytes, size_t length, Sink&& sink) {
  size_t i = 0;
  while (i < length) {
    unsigned char b = bytes[i++];
    wchar16 units[2];
    int got = XmlDecodeByte(encoding, b, bytes, &i, length, units);
    if (got < 0) return false;
    for (int k = 0; k < got; ++k)
      if (!sink(units[k])) return false;
  }
  return true;
}

// Writes back a writable document that nobody serialised and closes its file (Windows only).
int XmlFileFinish(XML_Document* doc);
