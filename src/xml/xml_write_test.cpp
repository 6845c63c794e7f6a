// Writer: the fixed layout, escaping, the measuring call, buffer sizes and round trips.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "xml/xml.h"
#include "xml/xml_test_util.h"

using namespace xmltest;

namespace {

const char kHeader[] = "<?xml version=\"1.0\"?>\n";

TEST(XmlWrite, NoRootGivesTheHeaderOnly) {
  DocPtr doc = NewDoc();
  int size = 0;
  EXPECT_EQ(XML_Serialize(doc.get(), nullptr, nullptr, &size), 2);
  EXPECT_EQ(size, 23);
  char buf[23];
  EXPECT_EQ(XML_Serialize(doc.get(), nullptr, buf, &size), 0);
  EXPECT_EQ(size, 23);
  EXPECT_STREQ(buf, kHeader);
  EXPECT_EQ(doc->output.length, 23u);
}

TEST(XmlWrite, LayoutOfTheExample) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"ZORVASETUP");
  XML_Node* package = XML_AddElement(root, u"PACKAGE");
  ASSERT_EQ(XML_SetAttribute(doc.get(), package, u"NAME", u"a<b"), 0);
  XML_AddElement(root, u"UNINSTALL");
  EXPECT_EQ(Serialize(doc.get()),
            "<?xml version=\"1.0\"?>\n"
            "<ZORVASETUP>\n"
            " <PACKAGE NAME=\"a&lt;b\" />\n"
            " <UNINSTALL>\n"
            " </UNINSTALL>\n"
            "</ZORVASETUP>\n");
}

TEST(XmlWrite, AttributesGoInTheStartTagWhateverTheirPlace) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"A", u"1"), 0);
  XML_Node* e = XML_AddElement(root, u"E");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"B", u"2"), 0);
  XML_Node* f = XML_AddElement(e, u"F");
  ASSERT_EQ(XML_SetAttribute(doc.get(), f, u"C", u"3"), 0);
  XML_AddElement(f, u"G");
  EXPECT_EQ(Body(Serialize(doc.get())),
            "<R A=\"1\" B=\"2\">\n"
            " <E>\n"
            "  <F C=\"3\">\n"
            "   <G>\n"
            "   </G>\n"
            "  </F>\n"
            " </E>\n"
            "</R>\n");
  // Writing a subtree starts at depth 0.
  EXPECT_EQ(Body(Serialize(doc.get(), e)),
            "<E>\n"
            " <F C=\"3\">\n"
            "  <G>\n"
            "  </G>\n"
            " </F>\n"
            "</E>\n");
}

TEST(XmlWrite, ValuesAreEscaped) {
  DocPtr doc = NewDoc();
  XML_Node* root = XML_CreateRoot(doc.get(), u"R");
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"Q", u"\"'&<>"), 0);
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"T", u"a\tb"), 0);
  ASSERT_EQ(XML_SetAttribute(doc.get(), root, u"E", u"\u00e9\u007f\u0100\n"), 0);
  EXPECT_EQ(Body(Serialize(doc.get())),
            "<R Q=\"&quot;&apos;&amp;&lt;&gt;\" T=\"a&#x0009;b\" "
            "E=\"&#x00E9;&#x007F;&#x0100;&#x000A;\" />\n");
}

TEST(XmlWrite, ValuesFromTextAreWrittenInTheCanonicalForm) {
  Parsed p = Parse(
      "<Root Mixed=\"x\"><cHiLd A=\"&#233;\" B=\"&LT;&#X3e;\" C=\"raw ' &apos; > tab\there\" "
      "D=\"line\r\nbreak\" E=\"\xe9\" /></Root>");
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(Body(Serialize(p.get())),
            "<Root Mixed=\"x\">\n"
            " <cHiLd A=\"&#x00E9;\" B=\"&lt;&gt;\" C=\"raw &apos; &apos; &gt; tab here\" "
            "D=\"linebreak\" E=\"&#x00E9;\" />\n"
            "</Root>\n");
}

TEST(XmlWrite, BufferSizes) {
  Parsed p = Parse("<A B=\"1\"><C /></A>");
  ASSERT_EQ(p.result, 0);
  int size = 0;
  EXPECT_EQ(XML_Serialize(p.get(), p.root(), nullptr, &size), 2);
  std::string expected = std::string(kHeader) + "<A B=\"1\">\n <C>\n </C>\n</A>\n";
  ASSERT_EQ(size, static_cast<int>(expected.size()) + 1);

  std::string buf(static_cast<size_t>(size), 'z');
  int exact = size;
  EXPECT_EQ(XML_Serialize(p.get(), p.root(), &buf[0], &exact), 0);
  EXPECT_EQ(exact, size);
  EXPECT_EQ(buf[static_cast<size_t>(size) - 1], '\0');
  EXPECT_EQ(buf.c_str(), expected);

  // One byte less: nothing fits the terminator; the prefix is stored, unterminated.
  std::string small(static_cast<size_t>(size), 'z');
  int less = size - 1;
  EXPECT_EQ(XML_Serialize(p.get(), p.root(), &small[0], &less), 2);
  EXPECT_EQ(less, size);
  EXPECT_EQ(small.substr(0, static_cast<size_t>(size) - 2),
            expected.substr(0, expected.size() - 1));
  EXPECT_EQ(small[static_cast<size_t>(size) - 2], 'z');

  // Tiny buffers never see a byte past their size.
  for (int cap = 0; cap < 6; ++cap) {
    char tiny[8];
    memset(tiny, 'z', sizeof(tiny));
    int s = cap;
    EXPECT_EQ(XML_Serialize(p.get(), p.root(), tiny, &s), 2);
    EXPECT_EQ(s, size);
    for (int i = cap > 0 ? cap - 1 : 0; i < 8; ++i) EXPECT_EQ(tiny[i], 'z') << cap << " " << i;
  }
  EXPECT_EQ(XML_Serialize(p.get(), p.root(), buf.data(), nullptr), 1);
}

TEST(XmlWrite, MalformedValueStopsTheWrite) {
  Parsed p = Parse("<A><B X=\"ok\" Y=\"&nope;\" /><C /></A>");
  ASSERT_EQ(p.result, 0);
  int size = 0;
  EXPECT_EQ(XML_Serialize(p.get(), p.root(), nullptr, &size), 2);
  std::string buf(static_cast<size_t>(size), '\0');
  EXPECT_EQ(XML_Serialize(p.get(), p.root(), &buf[0], &size), 1);
  EXPECT_EQ(buf.substr(0, strlen(kHeader)), kHeader);
  // The output ends inside the element, terminated there.
  EXPECT_STREQ(buf.c_str() + strlen(kHeader), "<A>\n <B X=\"ok\" Y=\"");
}

TEST(XmlWrite, RootMustBeAnElementOfTheDocument) {
  Parsed p = Parse("<A B=\"1\" />");
  ASSERT_EQ(p.result, 0);
  DocPtr other = NewDoc();
  XML_Node* attr = XML_GetChildAt(p.root(), 0);
  int result = 0;
  std::string text = Serialize(p.get(), attr, &result);
  EXPECT_EQ(result, 1);
  Serialize(other.get(), p.root(), &result);
  EXPECT_EQ(result, 1);
}

TEST(XmlWrite, SerialisingChangesNothing) {
  Parsed p = Parse("<A B=\"x&amp;y\"><C D=\"1\" /></A>");
  ASSERT_EQ(p.result, 0);
  std::string first = Serialize(p.get());
  std::string second = Serialize(p.get());
  EXPECT_EQ(first, second);
  EXPECT_EQ(Attr(p.get(), p.root(), u"B"), u"x&y");
  EXPECT_EQ(XML_CountChildren(p.root()), 2);
}

// The attributes (in order, decoded) and the element children of two elements agree, to any
// depth the parser accepts.
void ExpectSameTree(XML_Document* da, XML_Node* x, XML_Document* db, XML_Node* y) {
  ASSERT_EQ(std::u16string(x->name), std::u16string(y->name));
  std::vector<XML_Node*> ex, ey;
  std::vector<std::u16string> ax, ay;
  for (XML_Node* n = x->firstChild; n != nullptr; n = n->nextSibling) {
    if (n->kind == XML_ELEMENT) ex.push_back(n);
    if (n->kind == XML_ATTRIBUTE)
      ax.push_back(std::u16string(n->name) + u"=" + Attr(da, x, n->name));
  }
  for (XML_Node* n = y->firstChild; n != nullptr; n = n->nextSibling) {
    if (n->kind == XML_ELEMENT) ey.push_back(n);
    if (n->kind == XML_ATTRIBUTE)
      ay.push_back(std::u16string(n->name) + u"=" + Attr(db, y, n->name));
  }
  ASSERT_EQ(ax, ay);
  ASSERT_EQ(ex.size(), ey.size());
  for (size_t i = 0; i < ex.size(); ++i) ExpectSameTree(da, ex[i], db, ey[i]);
}

// Parse, write, parse the written text and write again: the trees and the texts must agree.
void ExpectRoundTrip(const std::string& text) {
  SCOPED_TRACE(text.substr(0, 200));
  Parsed a = Parse(text);
  ASSERT_EQ(a.result, 0);
  int result = -1;
  std::string written = Serialize(a.get(), a.root(), &result);
  ASSERT_EQ(result, 0);
  Parsed b = Parse(written);
  ASSERT_EQ(b.result, 0);
  EXPECT_EQ(Serialize(b.get()), written);
  ExpectSameTree(a.get(), a.root(), b.get(), b.root());
}

TEST(XmlWrite, RoundTrips) {
  ExpectRoundTrip("<A />");
  ExpectRoundTrip("<A></A>");
  ExpectRoundTrip("<?xml version=\"1.0\"?><Zorva Mixed=\"Case\"><x_1 a=\"\" /></Zorva>");
  ExpectRoundTrip("<A x=\"1\"><B /> y=\"2\" <C z=\"&#0;&#xFFFF;&#55357;&#56832;\"><D /></C></A>");
  ExpectRoundTrip("<R V=\"tab\there\r\nand \xe9\x80\xff bytes &amp;&lt;&gt;&quot;&apos;\" />");
  ExpectRoundTrip("<R><A=\"attr tag\" ignored><B =\"empty name\" /></R>");
  std::string deep;
  for (int i = 0; i < 256; ++i)
    deep += "<E" + std::to_string(i) + " n=\"" + std::to_string(i) + "\">";
  for (int i = 0; i < 256; ++i) deep += "</E>";
  ExpectRoundTrip(deep);
  std::string wide = "<FILES>";
  for (int i = 0; i < 2000; ++i)
    wide += "<FILE NAME=\"f" + std::to_string(i) + ".dll\" STATUS=\"1\"/ >";
  ExpectRoundTrip(wide + "</FILES>");
}

TEST(XmlWrite, DeepTreesAreWrittenWithoutRecursion) {
  DocPtr doc = NewDoc();
  XML_Node* node = XML_CreateRoot(doc.get(), u"R");
  const int depth = 20000;
  for (int i = 0; i < depth; ++i) node = XML_AddElement(node, u"D");
  int size = 0;
  EXPECT_EQ(XML_Serialize(doc.get(), XML_GetRoot(doc.get()), nullptr, &size), 2);
  // The root writes "<R>\n" and "</R>\n"; level d two lines of d spaces with "<D>\n" and
  // "</D>\n"; the header and the terminator take 23.
  long long expected = 23 + 9;
  for (long long d = 1; d <= depth; ++d) expected += 2 * d + 9;
  EXPECT_EQ(size, expected);
}

}  // namespace
