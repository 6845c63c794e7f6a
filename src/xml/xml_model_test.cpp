// Document model: roots, children lists, cursors, attributes, lookups, copying and deleting.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "xml/xml.h"
#include "xml/xml_test_util.h"

using namespace xmltest;

namespace {

std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }

// Names of the element children of element, joined with spaces.
std::string ChildNames(XML_Node* element) {
  std::string names;
  for (XML_Node* n = element->firstChild; n != nullptr; n = n->nextSibling) {
    if (!names.empty()) names += ' ';
    if (n->kind == XML_ATTRIBUTE) names += '@';
    for (const wchar16* c = n->name; *c != 0; ++c) names += static_cast<char>(*c);
  }
  return names;
}

TEST(XmlDocument, CreateRootOnceAndGetRoot) {
  DocPtr doc = NewDoc();
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(XML_GetRoot(doc.get()), nullptr);
  EXPECT_EQ(doc->values.capacity, 4096u);
  EXPECT_EQ(doc->values.length, 0u);
  EXPECT_EQ(doc->writable, 0);
  XML_Node* root = XML_CreateRoot(doc.get(), u"ZORVASETUP");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(XML_GetRoot(doc.get()), root);
  EXPECT_EQ(root->parent, &doc->top);
  EXPECT_EQ(XML_CreateRoot(doc.get(), u"OTHER"), nullptr);
  EXPECT_EQ(XML_GetRoot(doc.get()), root);
  EXPECT_EQ(XML_Close(nullptr), 0);
}

TEST(XmlDocument, NamesOf49CharactersAreTheLongest) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), Repeat(u'R', 49).c_str());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(std::u16string(root->name), Repeat(u'R', 49));
  EXPECT_EQ(XML_CreateRoot(NewDoc().get(), Repeat(u'R', 50).c_str()), nullptr);
  EXPECT_NE(XML_AddElement(root, Repeat(u'E', 49).c_str()), nullptr);
  EXPECT_EQ(XML_AddElement(root, Repeat(u'E', 50).c_str()), nullptr);
  EXPECT_EQ(XML_SetAttribute(doc.get(), root, Repeat(u'a', 49).c_str(), u"v"), 0);
  size_t stored = doc->values.length;
  EXPECT_EQ(XML_SetAttribute(doc.get(), root, Repeat(u'a', 50).c_str(), u"v"), 1);
  EXPECT_EQ(doc->values.length, stored);
  EXPECT_EQ(XML_CountChildren(root), 2);
}

TEST(XmlDocument, NamesOutsideTheParsersAlphabetAreRefused) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  EXPECT_EQ(XML_AddElement(root, u"a-b"), nullptr);
  EXPECT_EQ(XML_AddElement(root, u"ns:x"), nullptr);
  EXPECT_EQ(XML_AddElement(root, u"sp ace"), nullptr);
  EXPECT_EQ(XML_AddElement(root, u"caf\u00e9"), nullptr);
  EXPECT_EQ(XML_AddElement(root, u""), nullptr);
  EXPECT_NE(XML_AddElement(root, u"Ok_09"), nullptr);
  EXPECT_EQ(XML_SetAttribute(doc.get(), root, u"a.b", u"v"), 1);
  EXPECT_EQ(XML_CountChildren(root), 1);
}

TEST(XmlChildren, NextChildCursorAndTail) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  XML_Node** tail = nullptr;
  XML_Node* cursor = nullptr;
  EXPECT_EQ(XML_NextChild(root, &cursor, &tail), nullptr);
  EXPECT_EQ(tail, &root->firstChild);
  EXPECT_EQ(cursor, XML_CURSOR_END);

  XML_Node* a = XML_AddElement(root, u"A");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"x", u"1"), 0);
  XML_Node* x = root->firstChild->nextSibling;
  XML_Node* b = XML_AddElement(root, u"B");

  cursor = nullptr;
  tail = nullptr;
  EXPECT_EQ(XML_NextChild(root, &cursor, &tail), a);
  EXPECT_EQ(cursor, x);
  EXPECT_EQ(tail, nullptr);
  EXPECT_EQ(XML_NextChild(root, &cursor, &tail), x);
  EXPECT_EQ(XML_NextChild(root, &cursor, &tail), b);
  EXPECT_EQ(cursor, XML_CURSOR_END);
  EXPECT_EQ(tail, &b->nextSibling);
  EXPECT_EQ(XML_NextChild(root, &cursor, &tail), nullptr);
  EXPECT_EQ(XML_NextChild(root, &cursor, &tail), nullptr);
  // Without a cursor every call starts again.
  EXPECT_EQ(XML_NextChild(root, nullptr, nullptr), a);
  EXPECT_EQ(XML_NextChild(root, nullptr, nullptr), a);
}

TEST(XmlChildren, NextElementAndFindAttributeMatchIgnoringCase) {
  Parsed p = Parse("<R><item /><ITEM k=\"1\"/><other /> NAME=\"n1\" name=\"n2\"</R>");
  ASSERT_EQ(p.result, 0);
  XML_Node* cursor = nullptr;
  XML_Node* first = XML_NextElement(p.root(), u"Item", &cursor);
  ASSERT_NE(first, nullptr);
  XML_Node* second = XML_NextElement(p.root(), u"iTEM", &cursor);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(XML_NextElement(p.root(), u"item", &cursor), nullptr);
  EXPECT_EQ(XML_NextElement(p.root(), u"item", nullptr), first);
  EXPECT_EQ(XML_NextElement(p.root(), u"missing", nullptr), nullptr);

  cursor = nullptr;
  XML_Node** tail = nullptr;
  XML_Node* n1 = XML_FindAttribute(p.root(), u"name", &cursor, &tail);
  ASSERT_NE(n1, nullptr);
  EXPECT_EQ(std::u16string(n1->name), u"NAME");
  XML_Node* n2 = XML_FindAttribute(p.root(), u"NaMe", &cursor, &tail);
  ASSERT_NE(n2, nullptr);
  EXPECT_EQ(std::u16string(n2->name), u"name");
  EXPECT_EQ(tail, &n2->nextSibling);
  EXPECT_EQ(XML_FindAttribute(p.root(), u"name", &cursor, &tail), nullptr);
  EXPECT_EQ(Attr(p.get(), p.root(), u"name"), u"n1");
}

TEST(XmlChildren, CountsAndIndexedAccess) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  EXPECT_EQ(XML_CountChildren(root), 0);
  EXPECT_EQ(XML_GetChildAt(root, 0), nullptr);
  XML_Node* nodes[6];
  for (int i = 0; i < 6; ++i) {
    if (i % 3 == 1) {
      wchar16 name[3] = {u'a', static_cast<wchar16>(u'0' + i), 0};
      ASSERT_EQ(XML_SetAttribute(doc.get(), root, name, u"v"), 0);
      nodes[i] = XML_FindAttribute(root, name, nullptr, nullptr);
    } else {
      nodes[i] = XML_AddElement(root, u"E");
    }
  }
  EXPECT_EQ(XML_CountChildren(root), 6);
  EXPECT_EQ(XML_CountAttributes(root), 2);
  EXPECT_EQ(XML_CountElements(root), 4);
  // Forwards, backwards and again forwards: the remembered position must never give a wrong node.
  for (int i = 0; i < 6; ++i) EXPECT_EQ(XML_GetChildAt(root, i), nodes[i]) << i;
  for (int i = 5; i >= 0; --i) EXPECT_EQ(XML_GetChildAt(root, i), nodes[i]) << i;
  EXPECT_EQ(XML_GetChildAt(root, 3), nodes[3]);
  EXPECT_EQ(XML_GetChildAt(root, 6), nullptr);
  EXPECT_EQ(XML_GetChildAt(root, -1), nullptr);
  EXPECT_EQ(XML_GetChildAt(root, 5), nodes[5]);
  XML_Node* added = XML_AddElement(root, u"LAST");
  EXPECT_EQ(XML_GetChildAt(root, 6), added);
  EXPECT_EQ(XML_GetChildAt(root, 2), nodes[2]);

  EXPECT_EQ(XML_DeleteChildren(root), 0);
  EXPECT_EQ(XML_CountChildren(root), 0);
  EXPECT_EQ(root->firstChild, nullptr);
  EXPECT_EQ(XML_GetChildAt(root, 0), nullptr);
  XML_Node* fresh = XML_AddElement(root, u"F");
  EXPECT_EQ(XML_GetChildAt(root, 0), fresh);
  EXPECT_EQ(XML_GetChildAt(root, 1), nullptr);
  EXPECT_EQ(XML_GetRoot(doc.get()), root);
}

TEST(XmlChildren, DeleteChildrenOfADeepTreeUsesNoStack) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  XML_Node* node = root;
  for (int i = 0; i < 200000; ++i) {
    node = XML_AddElement(node, u"D");
    ASSERT_NE(node, nullptr);
    if (i % 1000 == 0) {
      ASSERT_EQ(XML_SetAttribute(doc.get(), node, u"i", u"x"), 0);
    }
  }
  XML_Node* keep = XML_AddElement(root, u"KEEP");
  EXPECT_EQ(XML_DeleteChildren(root->firstChild), 0);
  EXPECT_EQ(XML_CountChildren(root), 2);
  EXPECT_EQ(XML_GetChildAt(root, 1), keep);
  // The rest goes when the document is closed.
}

TEST(XmlAttributes, MeasureThenReadExactSize) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"NAME", u"hello"), 0);
  int count = 0;
  EXPECT_EQ(XML_GetAttribute(doc.get(), root, u"name", nullptr, &count), 0);
  EXPECT_EQ(count, 6);
  wchar16 buf[6];
  EXPECT_EQ(XML_GetAttribute(doc.get(), root, u"NAME", buf, &count), 0);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(std::u16string(buf), u"hello");
  wchar16 small[5] = {u'z', u'z', u'z', u'z', u'z'};
  count = 5;
  EXPECT_EQ(XML_GetAttribute(doc.get(), root, u"NAME", small, &count), 1);
  EXPECT_EQ(count, 5);
  count = 6;
  EXPECT_EQ(XML_GetAttribute(doc.get(), root, u"missing", buf, &count), 1);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(XML_GetAttribute(doc.get(), root, u"NAME", buf, nullptr), 1);
  // An empty value reads as an empty text.
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"EMPTY", u""), 0);
  EXPECT_EQ(XML_GetAttribute(doc.get(), root, u"EMPTY", nullptr, &count), 0);
  EXPECT_EQ(count, 1);
  count = 1;
  EXPECT_EQ(XML_GetAttribute(doc.get(), root, u"EMPTY", buf, &count), 0);
  EXPECT_EQ(buf[0], 0);
}

TEST(XmlAttributes, SetReplacesInPlaceAndAppendsNewAfterElements) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"A", u"1"), 0);
  XML_AddElement(root, u"E");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"a", u"2"), 0);
  EXPECT_EQ(ChildNames(root), "@A E");
  EXPECT_EQ(Attr(doc.get(), root, u"A"), u"2");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"B", u"3"), 0);
  EXPECT_EQ(ChildNames(root), "@A E @B");
  // Replaced values stay in the store: it only grows.
  EXPECT_EQ(doc->values.length, 3u);
}

TEST(XmlAttributes, EveryCharacterClassRoundTrips) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  std::u16string value;
  for (char16_t c = 1; c < 0x300; ++c) value += c;
  value += u"\u20ac\uffff\xd83d\xde00";
  value += u'\t';
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"V", value.c_str()), 0);
  EXPECT_EQ(Attr(doc.get(), root, u"V"), value);
  // The store holds plain ASCII only.
  for (size_t i = 0; i < doc->values.length; ++i) {
    unsigned char b = static_cast<unsigned char>(doc->values.data[i]);
    EXPECT_TRUE(b >= 0x20 && b <= 0x7e) << i;
  }
  std::string stored(doc->values.data, doc->values.length);
  EXPECT_NE(stored.find("&#x0009;"), std::string::npos);
  EXPECT_NE(stored.find("&lt;=&gt;"), std::string::npos);
  EXPECT_NE(stored.find("&quot;"), std::string::npos);
  EXPECT_NE(stored.find("&#x00E9;"), std::string::npos);
  EXPECT_NE(stored.find("&#xD83D;&#xDE00;"), std::string::npos);
}

TEST(XmlAttributes, EntityFormsFromText) {
  Parsed p = Parse(
      "<R A=\"a&amp;b&#x41;&#65;&LT;\" B=\"&foo;\" C=\"&#x4G;\" D=\"&toolongname;\" "
      "E=\"&#;x&#x;\" F=\"&#x10041;&#65601;\" G=\"&quot;&apos;&gt;&Amp;\" H=\"&#\" I=\"&\" "
      "J=\"&#12\" K=\"&lt\" L=\"&12345678;\" M=\"&abcdefgh;\" />");
  ASSERT_EQ(p.result, 0);
  XML_Document* d = p.get();
  XML_Node* r = p.root();
  EXPECT_EQ(Attr(d, r, u"A"), u"a&bAA<");
  EXPECT_EQ(Attr(d, r, u"B"), u"<missing or bad>");
  EXPECT_EQ(Attr(d, r, u"C"), u"<missing or bad>");
  EXPECT_EQ(Attr(d, r, u"D"), u"<missing or bad>");
  EXPECT_EQ(Attr(d, r, u"E"), std::u16string(u"\0x\0", 3));
  // Accumulated in 32 bits, the low 16 bits are the character.
  EXPECT_EQ(Attr(d, r, u"F"), u"AA");
  EXPECT_EQ(Attr(d, r, u"G"), u"\"'>&");
  // A reference must end within its own value.
  for (const char16_t* name : {u"H", u"I", u"J", u"K", u"L", u"M"})
    EXPECT_EQ(Attr(d, r, name), u"<missing or bad>") << static_cast<char>(name[0]);

  // A zero byte is part of a reference's name, not its end: "lt" followed by it is no "lt".
  static const char kZero[] = "<R A=\"&lt\0;\" B=\"&\0lt;\" C=\"&quot\0;\" />";
  Parsed z = Parse(std::string(kZero, sizeof(kZero) - 1));
  ASSERT_EQ(z.result, 0);
  for (const char16_t* name : {u"A", u"B", u"C"})
    EXPECT_EQ(Attr(z.get(), z.root(), name), u"<missing or bad>") << static_cast<char>(name[0]);
}

TEST(XmlAttributes, DecodingStopsAtTheEndOfTheValue) {
  // Two values that lie next to each other, the first ending inside a reference: together the
  // bytes would read "&amp;", but each value is decoded on its own.
  Parsed p = Parse("<R A=\"x&am\" B=\"p;y\" />");
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(Attr(p.get(), p.root(), u"A"), u"<missing or bad>");
  EXPECT_EQ(Attr(p.get(), p.root(), u"B"), u"p;y");

  // Copied without decoding, the two values become adjacent in the value store.
  DocPtr dst = NewDoc();
  XML_Node* root = XML_CreateRoot(dst.get(), u"D");
  XML_Node* copy = XML_CopyElement(dst.get(), root, u"C", p.get(), p.root(), XML_OPEN_ALWAYS);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::string(dst->values.data, dst->values.length), "x&amp;y");
  EXPECT_EQ(Attr(dst.get(), copy, u"A"), u"<missing or bad>");
  EXPECT_EQ(Attr(dst.get(), copy, u"B"), u"p;y");
  int result = 0;
  Serialize(dst.get(), root, &result);
  EXPECT_EQ(result, 1);
}

TEST(XmlAttributes, LineBreaksDropAndTabsReadAsSpaces) {
  Parsed p = Parse("<R V=\"a\r\nb\tc\n\" />");
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(Attr(p.get(), p.root(), u"V"), u"ab c");
}

TEST(XmlAttributes, HighBytesFollowTheTextsEncoding) {
  // Valid UTF-8, with or without its mark, is read as UTF-8, beyond U+FFFF too.
  Parsed utf8 = Parse(
      "\xEF\xBB\xBF<R V=\"Vesk S\xC3\xBC"
      "d \xF0\x9F\x98\x80\" />");
  EXPECT_EQ(Attr(utf8.get(), utf8.root(), u"V"), u"Vesk S\u00fcd \U0001F600");
  // Any other text byte by byte in the ANSI code page, even where a run of it would be UTF-8
  // (0xC3, 0xBC and 0xE9 are the same characters there in the test prefix and on the native
  // build); declared windows-1252 in windows-1252 whatever the bytes.
  Parsed ansi = Parse("<R V=\"caf\xe9\" W=\"S\xC3\xBC\" />");
  EXPECT_EQ(Attr(ansi.get(), ansi.root(), u"V"), u"caf\u00e9");
  EXPECT_EQ(Attr(ansi.get(), ansi.root(), u"W"), u"S\u00c3\u00bc");
  Parsed cp1252 = Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R V=\"S\xC3\xBC\x80\" />");
  EXPECT_EQ(Attr(cp1252.get(), cp1252.root(), u"V"), u"S\u00c3\u00bc\u20ac");
  char narrow[8];
  int size = sizeof(narrow);
  ASSERT_EQ(XML_GetAttributeA(ansi.get(), ansi.root(), u"V", narrow, &size), 0);
  EXPECT_EQ(size, 5);
  EXPECT_STREQ(narrow, "caf\xe9");

  // Copied into a document read in another encoding, and written, the letters stay; the text
  // written is plain ASCII and reads back the same.
  Parsed target = Parse("<T X=\"\xe9\" />");
  ASSERT_NE(
      XML_CopyElement(target.get(), target.root(), u"U", utf8.get(), utf8.root(), XML_OPEN_ALWAYS),
      nullptr);
  ASSERT_NE(
      XML_CopyElement(target.get(), target.root(), u"A", ansi.get(), ansi.root(), XML_OPEN_ALWAYS),
      nullptr);
  std::string text = Serialize(target.get());
  for (char c : text) EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
  Parsed again = Parse(text);
  for (const Parsed* p : {&target, &again}) {
    XML_Node* u = XML_NextElement(p->root(), u"U", nullptr);
    XML_Node* a = XML_NextElement(p->root(), u"A", nullptr);
    EXPECT_EQ(Attr(p->get(), p->root(), u"X"), u"\u00e9");
    EXPECT_EQ(Attr(p->get(), u, u"V"), u"Vesk S\u00fcd \U0001F600");
    EXPECT_EQ(Attr(p->get(), a, u"W"), u"S\u00c3\u00bc");
  }
}

TEST(XmlAttributes, AnsiForms) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  ASSERT_EQ(XML_SetAttributeA(doc.get(), root, u"P", "C:\\Program Files\\Zorva\\"), 0);
  EXPECT_EQ(Attr(doc.get(), root, u"P"), u"C:\\Program Files\\Zorva\\");
  char buf[64];
  int size = sizeof(buf);
  ASSERT_EQ(XML_GetAttributeA(doc.get(), root, u"P", buf, &size), 0);
  EXPECT_STREQ(buf, "C:\\Program Files\\Zorva\\");
  EXPECT_EQ(size, 24);

  // Exactly the size fits; one byte less is a failure that leaves an empty text and size 0.
  size = 24;
  EXPECT_EQ(XML_GetAttributeA(doc.get(), root, u"P", buf, &size), 0);
  size = 23;
  EXPECT_EQ(XML_GetAttributeA(doc.get(), root, u"P", buf, &size), 1);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(buf[0], 0);
  size = sizeof(buf);
  EXPECT_EQ(XML_GetAttributeA(doc.get(), root, u"missing", buf, &size), 1);

  // Texts of 1024 bytes and more go through allocated buffers both ways.
  std::string longText;
  for (int i = 0; i < 5000; ++i) longText += static_cast<char>('a' + i % 26);
  longText += "<&>";
  ASSERT_EQ(XML_SetAttributeA(doc.get(), root, u"L", longText.c_str()), 0);
  std::string back(6000, 'x');
  size = static_cast<int>(back.size());
  ASSERT_EQ(XML_GetAttributeA(doc.get(), root, u"L", &back[0], &size), 0);
  EXPECT_EQ(size, 5004);
  EXPECT_EQ(back.c_str(), longText);
  size = 5003;
  EXPECT_EQ(XML_GetAttributeA(doc.get(), root, u"L", &back[0], &size), 1);
  EXPECT_EQ(size, 0);
}

TEST(XmlAttributes, HexForms) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  uint32_t value = 7;
  ASSERT_EQ(XML_SetAttributeHex(doc.get(), root, u"ID", 60), 0);
  EXPECT_EQ(Attr(doc.get(), root, u"ID"), u"3C");
  EXPECT_EQ(XML_GetAttributeHex(doc.get(), root, u"id", &value), 0);
  EXPECT_EQ(value, 60u);
  ASSERT_EQ(XML_SetAttributeHex(doc.get(), root, u"MAX", 0xFFFFFFFFu), 0);
  EXPECT_EQ(XML_GetAttributeHex(doc.get(), root, u"MAX", &value), 0);
  EXPECT_EQ(value, 0xFFFFFFFFu);

  struct Case {
    const char16_t* text;
    int result;
    uint32_t value;
  } cases[] = {
      {u"3c", 0, 60},
      {u"", 0, 0},
      {u"00000000000003C", 0, 60},  // 15 characters fit
      {u"000000000000003C", 1, 0},  // 16 do not
      {u"0x3C", 1, 0},
      {u"12 ", 1, 0},
      {u"123456789", 0, 0x23456789},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"H", c.text), 0);
    value = 0xDEADBEEF;
    EXPECT_EQ(XML_GetAttributeHex(doc.get(), root, u"H", &value), c.result);
    EXPECT_EQ(value, c.result == 0 ? c.value : 0xDEADBEEF);
  }
  EXPECT_EQ(XML_GetAttributeHex(doc.get(), root, u"missing", &value), 1);
}

TEST(XmlAttributes, ReadOnlyDocumentHasNoValueStore) {
  // What XML_Open gives for a read-only file: the tree can be read but no value set.
  Parsed p = Parse("<R A=\"1\"><C /></R>");
  ASSERT_EQ(p.result, 0);
  free(p.doc->values.data);
  p.doc->values = XML_Buffer{};
  EXPECT_EQ(XML_SetAttribute(p.get(), p.root(), u"A", u"2"), 1);
  EXPECT_EQ(XML_SetAttribute(p.get(), p.root(), u"B", u"2"), 1);
  EXPECT_EQ(Attr(p.get(), p.root(), u"A"), u"1");
  EXPECT_EQ(XML_CountChildren(p.root()), 2);
  EXPECT_EQ(XML_FindChild(p.get(), p.root(), u"ITEM;ID=1", XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_CountChildren(p.root()), 2);
  EXPECT_NE(XML_AddElement(p.root(), u"NEW"), nullptr);
}

TEST(XmlLookup, FindElementByAttribute) {
  Parsed p = Parse(
      "<R><ITEM ID=\"x\" /><item id=\"AB\" /><ITEM ID=\"ab\" /><OTHER ID=\"ab\" />"
      "<ITEM LONG=\"" +
      std::string(120, 'q') + "\" /></R>");
  ASSERT_EQ(p.result, 0);
  XML_Node* second = XML_GetChildAt(p.root(), 1);
  EXPECT_EQ(XML_FindElementByAttribute(p.get(), p.root(), u"ITEM", u"ID", u"ab"), second);
  EXPECT_EQ(XML_FindElementByAttribute(p.get(), p.root(), u"ITEM", u"ID", u"a"), nullptr);
  EXPECT_EQ(XML_FindElementByAttribute(p.get(), p.root(), u"ITEM", u"ID", u"abc"), nullptr);
  EXPECT_EQ(XML_FindElementByAttribute(p.get(), p.root(), u"NONE", u"ID", u"ab"), nullptr);
  // Long values match as well: what a selector step creates it must find again.
  std::u16string longValue(120, u'Q');
  EXPECT_EQ(XML_FindElementByAttribute(p.get(), p.root(), u"ITEM", u"LONG", longValue.c_str()),
            XML_GetChildAt(p.root(), 4));
}

TEST(XmlLookup, SelectorSteps) {
  Parsed p = Parse("<R><ITEM ID=\"AB\" /></R>");
  ASSERT_EQ(p.result, 0);
  XML_Node* r = p.root();
  XML_Node* existing = XML_GetChildAt(r, 0);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID=ab", XML_OPEN_EXISTING), existing);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID=cd", XML_OPEN_EXISTING), nullptr);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID=ab", XML_OPEN_ALWAYS), existing);
  XML_Node* made = XML_FindChild(p.get(), r, u"ITEM;ID=cd", XML_OPEN_ALWAYS);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(Attr(p.get(), made, u"ID"), u"cd");
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID=CD", XML_OPEN_ALWAYS), made);
  EXPECT_EQ(XML_CountElements(r), 2);
  // Modes 1 and 2 always append.
  EXPECT_NE(XML_FindChild(p.get(), r, u"ITEM;ID=ab", XML_CREATE_NEW), existing);
  EXPECT_NE(XML_FindChild(p.get(), r, u"ITEM;ID=ab", XML_CREATE_ALWAYS), existing);
  EXPECT_EQ(XML_CountElements(r), 4);
  // The value runs to the end of the step, '=' and ';' included.
  XML_Node* odd = XML_FindChild(p.get(), r, u"ITEM;ID=a=b;c", XML_OPEN_ALWAYS);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(Attr(p.get(), odd, u"ID"), u"a=b;c");
  // Malformed selectors make nothing.
  int before = XML_CountChildren(r);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID", XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID", XML_OPEN_EXISTING), nullptr);
  std::u16string longAttr = u"ITEM;" + Repeat(u'A', 50) + u"=1";
  EXPECT_EQ(XML_FindChild(p.get(), r, longAttr.c_str(), XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;A-B=1", XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID=ab", 0), nullptr);
  EXPECT_EQ(XML_FindChild(p.get(), r, u"ITEM;ID=ab", 5), nullptr);
  EXPECT_EQ(XML_CountChildren(r), before);
}

TEST(XmlLookup, NameSteps) {
  DocPtr doc = NewDoc();
  XML_Node* r = XML_CreateRoot(doc.get(), u"R");
  EXPECT_EQ(XML_FindChild(doc.get(), r, u"A", XML_OPEN_EXISTING), nullptr);
  XML_Node* a = XML_FindChild(doc.get(), r, u"A", XML_OPEN_ALWAYS);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(XML_FindChild(doc.get(), r, u"a", XML_OPEN_ALWAYS), a);
  EXPECT_EQ(XML_FindChild(doc.get(), r, u"a", XML_OPEN_EXISTING), a);
  EXPECT_NE(XML_FindChild(doc.get(), r, u"A", XML_CREATE_NEW), a);
  EXPECT_NE(XML_FindChild(doc.get(), r, u"A", XML_CREATE_ALWAYS), a);
  EXPECT_EQ(XML_FindChild(doc.get(), r, u"A", 7), nullptr);
  EXPECT_EQ(XML_CountElements(r), 3);
}

TEST(XmlLookup, PathsAndModes) {
  DocPtr doc = NewDoc();
  EXPECT_EQ(XML_Find(doc.get(), nullptr, u"A", XML_OPEN_ALWAYS), nullptr);  // no root
  XML_Node* r = XML_CreateRoot(doc.get(), u"ZORVASETUP");
  XML_Node* b = XML_Find(doc.get(), nullptr, u"A\\B", XML_OPEN_ALWAYS);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::u16string(b->name), u"B");
  EXPECT_EQ(std::u16string(b->parent->name), u"A");
  EXPECT_EQ(b->parent->parent, r);
  EXPECT_EQ(XML_Find(doc.get(), nullptr, u"a\\b", XML_OPEN_ALWAYS), b);
  EXPECT_EQ(XML_Find(doc.get(), nullptr, u"A\\B", XML_OPEN_EXISTING), b);
  EXPECT_EQ(XML_Find(doc.get(), r, u"A", XML_OPEN_EXISTING), b->parent);
  EXPECT_EQ(XML_Find(doc.get(), b->parent, u"B", XML_OPEN_EXISTING), b);
  EXPECT_EQ(XML_Find(doc.get(), nullptr, u"A\\C", XML_OPEN_EXISTING), nullptr);
  XML_Node* b2 = XML_Find(doc.get(), nullptr, u"A\\B", XML_CREATE_NEW);
  ASSERT_NE(b2, nullptr);
  EXPECT_NE(b2, b);
  EXPECT_NE(b2->parent, b->parent);
  EXPECT_EQ(XML_CountElements(r), 2);
  EXPECT_EQ(XML_CountElements(b2->parent), 1);
  XML_Node* b3 = XML_Find(doc.get(), nullptr, u"A\\B", XML_CREATE_ALWAYS);
  ASSERT_NE(b3, nullptr);
  EXPECT_NE(b3->parent, b->parent);
  EXPECT_NE(b3->parent, b2->parent);
  EXPECT_EQ(XML_CountElements(r), 3);
  // Mode 4 follows what exists and makes the rest.
  XML_Node* d = XML_Find(doc.get(), nullptr, u"A\\B\\C\\D", XML_OPEN_ALWAYS);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->parent->parent, b);
  // Selector steps inside a path end at the backslash.
  XML_Node* item = XML_Find(doc.get(), nullptr, u"LIST;ID=7\\ITEM", XML_OPEN_ALWAYS);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(Attr(doc.get(), item->parent, u"ID"), u"7");
  EXPECT_EQ(XML_Find(doc.get(), nullptr, u"LIST;ID=7\\ITEM", XML_OPEN_EXISTING), item);
  EXPECT_EQ(XML_Find(doc.get(), nullptr, u"A\\B", 9), nullptr);
}

TEST(XmlLookup, MalformedPathsCreateNothing) {
  DocPtr doc = NewDoc();
  XML_Node* r = XML_CreateRoot(doc.get(), u"R");
  std::u16string step51 = Repeat(u'S', 51);
  std::u16string step50 = Repeat(u'S', 50);
  const std::u16string bad[] = {
      u"",       u"\\A",          u"A\\",
      u"A\\\\B", step51 + u"\\B", u"A\\" + step51 + u"\\B",
      u"A\\B;C", u"A\\B;C\\D",    u"A\\" + step50,
  };
  for (const std::u16string& path : bad) {
    for (int mode = XML_CREATE_NEW; mode <= XML_OPEN_ALWAYS; ++mode) {
      EXPECT_EQ(XML_Find(doc.get(), nullptr, path.c_str(), mode), nullptr);
      EXPECT_EQ(XML_CountChildren(r), 0);
    }
  }
  // A selector step of exactly 50 characters before a backslash is taken.
  std::u16string selector50 = u"S;ID=" + Repeat(u'v', 45);
  ASSERT_EQ(selector50.size(), 50u);
  EXPECT_NE(XML_Find(doc.get(), nullptr, (selector50 + u"\\X").c_str(), XML_OPEN_ALWAYS), nullptr);
  std::u16string selector51 = selector50 + u"v";
  EXPECT_EQ(XML_Find(doc.get(), nullptr, (selector51 + u"\\X").c_str(), XML_OPEN_ALWAYS), nullptr);
  // The last step has no such limit.
  std::u16string longLast = u"X\\S;ID=" + Repeat(u'w', 300);
  XML_Node* made = XML_Find(doc.get(), nullptr, longLast.c_str(), XML_OPEN_ALWAYS);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(XML_Find(doc.get(), nullptr, longLast.c_str(), XML_OPEN_ALWAYS), made);
}

TEST(XmlCopy, CopiesIntoANewOrExistingElement) {
  Parsed src = Parse(
      "<S><FILES A=\"new&amp;\" B=\"b\"><FILE NAME=\"x\"><SUB Q=\"1\" /></FILE><FILE "
      "/></FILES></S>");
  ASSERT_EQ(src.result, 0);
  XML_Node* files = XML_GetChildAt(src.root(), 0);

  DocPtr doc = NewDoc();
  XML_Node* r = XML_CreateRoot(doc.get(), u"G");
  XML_Node* target = XML_AddElement(r, u"FILES");
  ASSERT_EQ(XML_SetAttribute(doc.get(), target, u"a", u"old"), 0);
  ASSERT_EQ(XML_SetAttribute(doc.get(), target, u"KEEP", u"k"), 0);
  XML_Node* existingFile = XML_AddElement(target, u"FILE");

  XML_Node* copy = XML_CopyElement(doc.get(), r, u"files", src.get(), files, XML_OPEN_ALWAYS);
  ASSERT_EQ(copy, target);
  EXPECT_EQ(Attr(doc.get(), target, u"A"), u"new&");
  EXPECT_EQ(Attr(doc.get(), target, u"KEEP"), u"k");
  EXPECT_EQ(Attr(doc.get(), target, u"B"), u"b");
  EXPECT_EQ(ChildNames(target), "@a @KEEP FILE @B FILE FILE");
  EXPECT_EQ(XML_GetChildAt(target, 2), existingFile);
  XML_Node* copiedFile = XML_GetChildAt(target, 4);
  EXPECT_EQ(Attr(doc.get(), copiedFile, u"NAME"), u"x");
  EXPECT_EQ(Attr(doc.get(), XML_GetChildAt(copiedFile, 1), u"Q"), u"1");

  // With mode 1 a second element is made beside the first.
  XML_Node* second = XML_CopyElement(doc.get(), r, u"FILES", src.get(), files, XML_CREATE_NEW);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, target);
  EXPECT_EQ(XML_CountElements(r), 2);
  EXPECT_EQ(Body(Serialize(doc.get())),
            "<G>\n"
            " <FILES a=\"new&amp;\" KEEP=\"k\" B=\"b\">\n"
            "  <FILE>\n"
            "  </FILE>\n"
            "  <FILE NAME=\"x\">\n"
            "   <SUB Q=\"1\" />\n"
            "  </FILE>\n"
            "  <FILE>\n"
            "  </FILE>\n"
            " </FILES>\n"
            " <FILES A=\"new&amp;\" B=\"b\">\n"
            "  <FILE NAME=\"x\">\n"
            "   <SUB Q=\"1\" />\n"
            "  </FILE>\n"
            "  <FILE>\n"
            "  </FILE>\n"
            " </FILES>\n"
            "</G>\n");
}

TEST(XmlCopy, RefusesTheSameDocumentAndBadArguments) {
  DocPtr doc = NewDoc();
  XML_Node* r = XML_CreateRoot(doc.get(), u"R");
  XML_Node* a = XML_AddElement(r, u"A");
  XML_AddElement(a, u"B");
  EXPECT_EQ(XML_CopyElement(doc.get(), r, u"C", doc.get(), a, XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_CopyElement(doc.get(), a, u"C", doc.get(), a, XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_CopyElement(doc.get(), r, u"C", nullptr, a, XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_CountElements(r), 1);
  EXPECT_EQ(XML_CountElements(a), 1);
  DocPtr other = NewDoc();
  XML_Node* o = XML_CreateRoot(other.get(), u"O");
  EXPECT_EQ(XML_CopyElement(other.get(), o, u"C", doc.get(), a, 0), nullptr);
  EXPECT_EQ(XML_CopyElement(other.get(), o, u"C", doc.get(), a, XML_OPEN_EXISTING), nullptr);
  EXPECT_EQ(XML_CountChildren(o), 0);
}

TEST(XmlCopy, FailedCopyRestoresTheTarget) {
  Parsed src = Parse("<S><NEW /><NEW2 /> A=\"copied\" <NEW3 /> B=\"bad\"</S>");
  ASSERT_EQ(src.result, 0);
  // An attribute whose bytes lie outside its text cannot be copied: the copy fails after it has
  // appended elements and replaced A.
  XML_Node* bad = XML_FindAttribute(src.root(), u"B", nullptr, nullptr);
  ASSERT_NE(bad, nullptr);
  bad->valueEnd = src.text->size() + 100;

  DocPtr doc = NewDoc();
  XML_Node* r = XML_CreateRoot(doc.get(), u"G");
  XML_Node* t = XML_AddElement(r, u"T");
  ASSERT_EQ(XML_SetAttribute(doc.get(), t, u"A", u"original"), 0);
  XML_AddElement(t, u"OLD");
  size_t storeLength = doc->values.length;
  EXPECT_EQ(XML_CopyElement(doc.get(), r, u"T", src.get(), src.root(), XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(ChildNames(t), "@A OLD");
  EXPECT_EQ(XML_CountAttributes(t), 1);
  EXPECT_EQ(XML_CountElements(t), 1);
  EXPECT_EQ(Attr(doc.get(), t, u"A"), u"original");
  EXPECT_EQ(doc->values.length, storeLength);
  XML_Node* later = XML_AddElement(t, u"LATER");
  EXPECT_EQ(XML_GetChildAt(t, 2), later);

  // A new target stays, empty, as the lookup made it.
  EXPECT_EQ(XML_CopyElement(doc.get(), r, u"FRESH", src.get(), src.root(), XML_CREATE_NEW),
            nullptr);
  XML_Node* fresh = XML_Find(doc.get(), nullptr, u"FRESH", XML_OPEN_EXISTING);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(XML_CountChildren(fresh), 0);
}

TEST(XmlCopy, DeepSubtreesCopyWithoutRecursion) {
  DocPtr src = NewDoc();
  XML_Node* node = XML_CreateRoot(src.get(), u"R");
  for (int i = 0; i < 100000; ++i) {
    node = XML_AddElement(node, u"D");
    ASSERT_NE(node, nullptr);
  }
  ASSERT_EQ(XML_SetAttribute(src.get(), node, u"LEAF", u"yes"), 0);
  DocPtr dst = NewDoc();
  XML_Node* r = XML_CreateRoot(dst.get(), u"R");
  XML_Node* copy =
      XML_CopyElement(dst.get(), r, u"C", src.get(), XML_GetRoot(src.get()), XML_OPEN_ALWAYS);
  ASSERT_NE(copy, nullptr);
  int depth = 0;
  XML_Node* walk = copy;
  while (XML_CountElements(walk) == 1) {
    walk = XML_GetChildAt(walk, 0);
    ++depth;
  }
  EXPECT_EQ(depth, 100000);
  EXPECT_EQ(Attr(dst.get(), walk, u"LEAF"), u"yes");
}

}  // namespace
