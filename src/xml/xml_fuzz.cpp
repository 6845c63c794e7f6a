// Fuzz target: parse arbitrary text, read every attribute in every form, write the tree, parse
// the written text again and check that the trees and the texts agree. Also copies the tree into
// another document, checks that the copy reads the same, and looks paths up, so every walk of
// the library sees odd trees.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "xml/xml.h"
#include "xml/xml_internal.h"

namespace {

struct Doc {
  XML_Document* doc = XML_Create();
  ~Doc() { XML_Close(doc); }
};

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "xml_fuzz: %s\n", what);
    abort();
  }
}

// The decoded value of one attribute node, or false when it cannot be decoded.
bool NodeValue(XML_Document* doc, XML_Node* attr, std::u16string* value) {
  const unsigned char* bytes;
  size_t n;
  if (!XmlValueBytes(doc, attr, &bytes, &n)) return false;
  value->clear();
  return XmlDecodeValue(doc->encoding, bytes, n, [&](wchar16 ch) {
    value->push_back(ch);
    return true;
  });
}

// Reads every attribute of element through the public forms and checks that they agree.
void ReadAttributes(XML_Document* doc, XML_Node* element) {
  for (XML_Node* n = element->firstChild; n != nullptr; n = n->nextSibling) {
    if (n->kind != XML_ATTRIBUTE) continue;
    // Only the first attribute of a name is reachable by name.
    if (XML_FindAttribute(element, n->name, nullptr, nullptr) != n) continue;
    std::u16string direct;
    bool decodable = NodeValue(doc, n, &direct);
    int count = 0;
    int measured = XML_GetAttribute(doc, element, n->name, nullptr, &count);
    Check((measured == 0) == decodable, "measuring disagrees with decoding");
    if (!decodable) continue;
    Check(count == static_cast<int>(direct.size()) + 1, "measured size");
    std::vector<wchar16> buf(static_cast<size_t>(count));
    Check(XML_GetAttribute(doc, element, n->name, buf.data(), &count) == 0, "read");
    Check(std::u16string(buf.data(), static_cast<size_t>(count) - 1) == direct, "value");
    if (count > 1) {
      int less = count - 1;
      Check(XML_GetAttribute(doc, element, n->name, buf.data(), &less) == 1 && less == count - 1,
            "short buffer");
    }
    char narrow[64];
    int size = sizeof(narrow);
    if (XML_GetAttributeA(doc, element, n->name, narrow, &size) == 0)
      Check(size >= 1 && size <= 64 && narrow[size - 1] == 0, "narrow read");
    else
      Check(size == 0 || size == static_cast<int>(sizeof(narrow)), "narrow failure");
    uint32_t hex;
    XML_GetAttributeHex(doc, element, n->name, &hex);
  }
}

// Walks every element of the tree below root without recursion.
template <typename Visit>
void ForEachElement(XML_Node* root, Visit&& visit) {
  XML_Node* node = root;
  while (node != nullptr) {
    visit(node);
    XML_Node* child = XML_NextElement(node, nullptr, nullptr);
    if (child != nullptr) {
      node = child;
      continue;
    }
    while (node != nullptr) {
      if (node == root) return;
      XML_Node* next = node->nextSibling;
      while (next != nullptr && next->kind != XML_ELEMENT) next = next->nextSibling;
      if (next != nullptr) {
        node = next;
        break;
      }
      node = node->parent;
    }
  }
}

std::string Serialize(XML_Document* doc, XML_Node* root, int* result) {
  int size = 0;
  Check(XML_Serialize(doc, root, nullptr, &size) == 2, "measuring call");
  std::string text(static_cast<size_t>(size), '\0');
  int again = size;
  *result = XML_Serialize(doc, root, &text[0], &again);
  Check(*result != 2 && again == size, "second call fits");
  if (*result == 0) {
    Check(text[static_cast<size_t>(size) - 1] == 0, "terminator");
    text.resize(static_cast<size_t>(size) - 1);
  }
  return text;
}

// The same elements with the same attributes (in order, decoded) in both trees.
void CompareTrees(XML_Document* da, XML_Node* a, XML_Document* db, XML_Node* b) {
  std::vector<std::pair<XML_Node*, XML_Node*>> stack{{a, b}};
  while (!stack.empty()) {
    XML_Node* x = stack.back().first;
    XML_Node* y = stack.back().second;
    stack.pop_back();
    Check(std::u16string(x->name) == std::u16string(y->name), "element name");
    Check(XML_CountAttributes(x) == XML_CountAttributes(y), "attribute count");
    Check(XML_CountElements(x) == XML_CountElements(y), "element count");
    XML_Node* ax = x->firstChild;
    XML_Node* ay = y->firstChild;
    std::vector<XML_Node*> ex, ey;
    for (; ax != nullptr; ax = ax->nextSibling)
      if (ax->kind == XML_ELEMENT) ex.push_back(ax);
    for (; ay != nullptr; ay = ay->nextSibling)
      if (ay->kind == XML_ELEMENT) ey.push_back(ay);
    ax = x->firstChild;
    ay = y->firstChild;
    for (;;) {
      while (ax != nullptr && ax->kind != XML_ATTRIBUTE) ax = ax->nextSibling;
      while (ay != nullptr && ay->kind != XML_ATTRIBUTE) ay = ay->nextSibling;
      if (ax == nullptr || ay == nullptr) break;
      Check(std::u16string(ax->name) == std::u16string(ay->name), "attribute name");
      std::u16string vx, vy;
      Check(NodeValue(da, ax, &vx) && NodeValue(db, ay, &vy) && vx == vy, "attribute value");
      ax = ax->nextSibling;
      ay = ay->nextSibling;
    }
    Check(ex.size() == ey.size(), "children");
    for (size_t i = 0; i < ex.size(); ++i) stack.push_back({ex[i], ey[i]});
  }
}

// The same elements in both trees, and every attribute read by name gives the same value.
void CompareReads(XML_Document* da, XML_Node* a, XML_Document* db, XML_Node* b) {
  std::vector<std::pair<XML_Node*, XML_Node*>> stack{{a, b}};
  while (!stack.empty()) {
    XML_Node* x = stack.back().first;
    XML_Node* y = stack.back().second;
    stack.pop_back();
    Check(XML_CountElements(x) == XML_CountElements(y), "copied element count");
    int names = 0;
    for (XML_Node* n = x->firstChild; n != nullptr; n = n->nextSibling) {
      if (n->kind != XML_ATTRIBUTE || XML_FindAttribute(x, n->name, nullptr, nullptr) != n)
        continue;
      ++names;
      std::u16string vx, vy;
      XML_Node* m = XML_FindAttribute(y, n->name, nullptr, nullptr);
      Check(m != nullptr && NodeValue(da, n, &vx) == NodeValue(db, m, &vy) && vx == vy,
            "a copied attribute reads as its source");
    }
    Check(XML_CountAttributes(y) == names, "one copied attribute per name");
    XML_Node* cx = nullptr;
    XML_Node* cy = nullptr;
    for (XML_Node* ex = XML_NextElement(x, nullptr, &cx); ex != nullptr;
         ex = XML_NextElement(x, nullptr, &cx)) {
      stack.push_back({ex, XML_NextElement(y, nullptr, &cy)});
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  // The parser must read only the bytes it is given: no terminator follows them.
  std::vector<char> text(data, data + size);
  Doc first;
  int parsed = XML_Parse(first.doc, text.data(), static_cast<int>(size));
  XML_Node* root = XML_GetRoot(first.doc);
  Check(parsed != 0 || root != nullptr, "a parsed document has a root");
  if (root == nullptr) {
    int result;
    Check(Serialize(first.doc, nullptr, &result) == "<?xml version=\"1.0\"?>\n" && result == 0,
          "header only");
    return 0;
  }
  ForEachElement(root, [&](XML_Node* e) { ReadAttributes(first.doc, e); });

  int result;
  std::string written = Serialize(first.doc, root, &result);
  if (result == 0 && parsed == 0) {
    for (char c : written) Check(c != 0 && static_cast<unsigned char>(c) < 0x80, "plain ASCII");
    Doc second;
    Check(XML_Parse(second.doc, written.data(), static_cast<int>(written.size())) == 0,
          "written text parses");
    CompareTrees(first.doc, root, second.doc, XML_GetRoot(second.doc));
    int again;
    Check(Serialize(second.doc, XML_GetRoot(second.doc), &again) == written && again == 0,
          "written text is stable");
  }

  // Copy the whole tree into a new document and look a few paths up in the copy.
  Doc copy;
  XML_Node* top = XML_CreateRoot(copy.doc, u"COPY");
  XML_Node* target = XML_CopyElement(copy.doc, top, u"C", first.doc, root, XML_OPEN_ALWAYS);
  Check(target != nullptr, "copy");
  ForEachElement(target, [&](XML_Node* e) { ReadAttributes(copy.doc, e); });
  int copyResult;
  Serialize(copy.doc, top, &copyResult);
  // The copy keeps the first attribute of each name, the one readers see.
  if (result == 0) Check(copyResult == 0, "copy writes as the original does");
  CompareReads(first.doc, root, copy.doc, target);
  if (size > 0) {
    std::u16string path;
    for (size_t i = 0; i < size && i < 200; ++i) path += static_cast<char16_t>(data[i]);
    XML_Find(copy.doc, nullptr, path.c_str(), XML_OPEN_EXISTING);
    XML_Find(copy.doc, nullptr, path.c_str(), XML_OPEN_ALWAYS);
    XML_Find(first.doc, nullptr, path.c_str(), XML_OPEN_EXISTING);
  }
  XML_DeleteChildren(target);
  return 0;
}
