// Helpers for the XML library's tests: documents that close themselves, attribute reads as
// strings, and serialising into a string.
#pragma once

#include <memory>
#include <string>

#include "xml/xml.h"

namespace xmltest {

struct DocCloser {
  void operator()(XML_Document* doc) const { XML_Close(doc); }
};
using DocPtr = std::unique_ptr<XML_Document, DocCloser>;

inline DocPtr NewDoc() { return DocPtr(XML_Create()); }

// A document parsed from its own copy of the text, which lives as long as the document.
struct Parsed {
  std::unique_ptr<std::string> text;
  DocPtr doc;
  int result = 1;
  XML_Document* get() const { return doc.get(); }
  XML_Node* root() const { return XML_GetRoot(doc.get()); }
};

inline Parsed Parse(const std::string& text) {
  Parsed p;
  p.text.reset(new std::string(text));
  p.doc = NewDoc();
  p.result = XML_Parse(p.doc.get(), p.text->data(), static_cast<int>(p.text->size()));
  return p;
}

// The attribute's decoded value, or "<missing or bad>" when XML_GetAttribute fails.
inline std::u16string Attr(XML_Document* doc, XML_Node* element, const char16_t* name) {
  int count = 0;
  if (XML_GetAttribute(doc, element, name, nullptr, &count) != 0) return u"<missing or bad>";
  std::u16string value(static_cast<size_t>(count), u'\0');
  if (XML_GetAttribute(doc, element, name, &value[0], &count) != 0) return u"<missing or bad>";
  value.resize(static_cast<size_t>(count) - 1);
  return value;
}

// The document's text as XML_Serialize writes it for root; *result gets the second call's result.
inline std::string Serialize(XML_Document* doc, XML_Node* root, int* result = nullptr) {
  int size = 0;
  int measured = XML_Serialize(doc, root, nullptr, &size);
  std::string text(static_cast<size_t>(size), '\0');
  int r = XML_Serialize(doc, root, &text[0], &size);
  if (result != nullptr) *result = measured == 2 ? r : -1;
  if (r == 0) text.resize(static_cast<size_t>(size) - 1);
  return text;
}

inline std::string Serialize(XML_Document* doc) { return Serialize(doc, XML_GetRoot(doc)); }

// The text after the header line.
inline std::string Body(const std::string& text) {
  static const std::string header = "<?xml version=\"1.0\"?>\n";
  return text.compare(0, header.size(), header) == 0 ? text.substr(header.size()) : text;
}

}  // namespace xmltest
