// Parser: the accepted text forms, the rejected ones, nesting depth and what a failed parse
// leaves.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "xml/xml.h"
#include "xml/xml_test_util.h"

using namespace xmltest;

namespace {

std::string Name(const XML_Node* node) {
  std::string s;
  for (const wchar16* c = node->name; *c != 0; ++c) s += static_cast<char>(*c);
  return s;
}

// A compact picture of a subtree: elements as NAME(children), attributes as @NAME=value.
std::string Shape(XML_Document* doc, XML_Node* element) {
  std::string s = Name(element) + "(";
  bool first = true;
  for (XML_Node* n = element->firstChild; n != nullptr; n = n->nextSibling) {
    if (!first) s += ' ';
    first = false;
    if (n->kind == XML_ELEMENT) {
      s += Shape(doc, n);
    } else {
      std::u16string v = Attr(doc, element, n->name);
      s += "@" + Name(n) + "=" + std::string(v.begin(), v.end());
    }
  }
  return s + ")";
}

int ParseResult(const std::string& text) { return Parse(text).result; }

TEST(XmlParse, DeclarationIsOptional) {
  Parsed with = Parse("<?xml version=\"1.0\"?>\n<ROOT A=\"1\"><CHILD /></ROOT>");
  Parsed without = Parse("<ROOT A=\"1\"><CHILD /></ROOT>");
  ASSERT_EQ(with.result, 0);
  ASSERT_EQ(without.result, 0);
  EXPECT_EQ(Shape(with.get(), with.root()), "ROOT(@A=1 CHILD())");
  EXPECT_EQ(Shape(without.get(), without.root()), "ROOT(@A=1 CHILD())");
  EXPECT_EQ(with.root()->parent, &with.doc->top);
}

TEST(XmlParse, DeclarationForms) {
  EXPECT_EQ(ParseResult("<?XML VERSION = \"1.0\"?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\" 1 . 0 \"?><A />"), 0);
  EXPECT_EQ(ParseResult("<?XmL VeRsIoN=\"1.0\" ? ><A />"), 0);
  // The encodings the reader knows, in any case, with a byte-order mark before the first '<'.
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding=\"UTF-8\"?><A />"), 0);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\"\r\n encoding= \"utf-8\" ?><A />"), 0);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding=\"Windows-1252\"?><A />"), 0);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><A />"), 0);
  EXPECT_EQ(ParseResult("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?><A />"), 0);
  EXPECT_EQ(ParseResult("\xEF\xBB\xBF <A />"), 0);
  // Any other encoding, another pseudo-attribute, other forms, and a mark that contradicts the
  // declaration or does not come first.
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding=\"UTF-16\"?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding=\"UTF-8 \"?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding='UTF-8'?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding =\"UTF-8\"?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" standalone=\"yes\"?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\" encoding=\"UTF-8\""), 1);
  EXPECT_EQ(ParseResult("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1252\"?><A />"), 1);
  EXPECT_EQ(ParseResult(" \xEF\xBB\xBF<A />"), 1);
  EXPECT_EQ(ParseResult("\xEF\xBB<A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version=\"1.1\"?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml version='1.0'?><A />"), 1);
  EXPECT_EQ(ParseResult("<?xml  version=\"1.0\"?><A />"), 1);
  EXPECT_EQ(ParseResult("<? xml version=\"1.0\"?><A />"), 1);
  EXPECT_EQ(ParseResult("\xEF\xBB\xBF<?xml version=\"1.0\"?><A />"), 0);
  EXPECT_EQ(ParseResult("<?xml version=\"1.0\"?>"), 1);
  // Repeated declarations are each consumed in turn, without recursion.
  std::string many;
  for (int i = 0; i < 100000; ++i) many += "<?xml version=\"1.0\"?>";
  EXPECT_EQ(ParseResult(many + "<A />"), 0);
}

TEST(XmlParse, TagForms) {
  EXPECT_EQ(ParseResult("<A/>"), 1);
  EXPECT_EQ(ParseResult("<A />"), 0);
  EXPECT_EQ(ParseResult("<A B=\"x\"/>"), 0);
  EXPECT_EQ(ParseResult("<A>text</A>"), 1);
  EXPECT_EQ(ParseResult("<A><!-- x --></A>"), 1);
  EXPECT_EQ(ParseResult("<!DOCTYPE A><A />"), 1);
  EXPECT_EQ(ParseResult("<A></B>"), 0);
  EXPECT_EQ(ParseResult("<A></B >"), 0);
  EXPECT_EQ(ParseResult("<A></>"), 0);
  EXPECT_EQ(ParseResult("<A x=\"1\" y = \"2\">"), 1);
  EXPECT_EQ(ParseResult("<A x=  \"1\"></A>"), 0);
  EXPECT_EQ(ParseResult("<A x='1'></A>"), 1);
  EXPECT_EQ(ParseResult("<A x=1></A>"), 1);
  EXPECT_EQ(ParseResult("<A x=\"1></A>"), 1);
  EXPECT_EQ(ParseResult("<ns:A />"), 1);
  EXPECT_EQ(ParseResult("<a-b />"), 1);
  EXPECT_EQ(ParseResult("<a.b />"), 1);
  EXPECT_EQ(ParseResult("<A><B></B>"), 1);  // the text ends inside an element
  EXPECT_EQ(ParseResult("<A"), 1);
  EXPECT_EQ(ParseResult(""), 1);
  EXPECT_EQ(ParseResult("   \r\n\t "), 1);
  // Markup may be spread over lines and tabs.
  Parsed spread = Parse("\r\n<\tR\r\n  x=\"1\"\t>\n\t<\nC\n \n/\n>\n<\t/R>");
  ASSERT_EQ(spread.result, 0);
  EXPECT_EQ(Shape(spread.get(), spread.root()), "R(@x=1 C())");
}

TEST(XmlParse, ElementNamesMustNotBeEmpty) {
  // "<>" would be written back as text that reads differently, so it is refused.
  EXPECT_EQ(ParseResult("<></>"), 1);
  EXPECT_EQ(ParseResult("<A><></></A>"), 1);
  // An empty attribute name reads back the same and is taken.
  Parsed p = Parse("<A =\"v\" />");
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(Shape(p.get(), p.root()), "A(@=v)");
}

TEST(XmlParse, NamesOf49And50Characters) {
  std::string n49(49, 'N'), n50(50, 'N');
  EXPECT_EQ(ParseResult("<" + n49 + " />"), 0);
  EXPECT_EQ(ParseResult("<" + n50 + " />"), 1);
  EXPECT_EQ(ParseResult("<A " + n49 + "=\"1\" />"), 0);
  EXPECT_EQ(ParseResult("<A " + n50 + "=\"1\" />"), 1);
  EXPECT_EQ(ParseResult("<A></" + n50 + ">"), 1);
  Parsed p = Parse("<" + n49 + " " + n49 + "=\"v\" />");
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(Name(p.root()), n49);
}

TEST(XmlParse, AttributeTagForm) {
  Parsed p = Parse("<A><B=\"v\"/></A>");
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(Shape(p.get(), p.root()), "A(@B=v)");
  // The rest of such a tag is skipped, whatever it holds.
  Parsed q = Parse("<A><B=\"v\" junk ! C=\"w\"><D /></A>");
  ASSERT_EQ(q.result, 0);
  EXPECT_EQ(Shape(q.get(), q.root()), "A(@B=v D())");
  EXPECT_EQ(ParseResult("<A><B=\"v\" no end"), 1);
}

TEST(XmlParse, AttributesKeepTheirPlaceAmongElements) {
  Parsed p = Parse("<A x=\"1\"><C /> y=\"2\" > > <D></D></A>");
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(Shape(p.get(), p.root()), "A(@x=1 C() @y=2 D())");
  EXPECT_EQ(XML_CountAttributes(p.root()), 2);
  EXPECT_EQ(XML_CountElements(p.root()), 2);
}

TEST(XmlParse, ValuesStayInTheText) {
  std::string text = "<A V=\"a&amp;b\r\nc\" />";
  Parsed p = Parse(text);
  ASSERT_EQ(p.result, 0);
  XML_Node* v = XML_FindAttribute(p.root(), u"V", nullptr, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->valueSelector, XML_VALUE_SOURCE);
  EXPECT_EQ(p.text->substr(v->valueStart, v->valueEnd - v->valueStart), "a&amp;b\r\nc");
  EXPECT_EQ(p.doc->values.length, 0u);
  EXPECT_EQ(Attr(p.get(), p.root(), u"V"), u"a&bc");
  // A malformed reference parses and fails only when read.
  Parsed bad = Parse("<A V=\"&bogus;\" />");
  ASSERT_EQ(bad.result, 0);
  EXPECT_EQ(Attr(bad.get(), bad.root(), u"V"), u"<missing or bad>");
}

TEST(XmlParse, TextAfterTheRootIsIgnored) {
  Parsed p = Parse("<A /> <<< garbage & \"unterminated");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(Parse("<A></A><B />").result, 0);
  EXPECT_EQ(Shape(p.get(), p.root()), "A()");
}

TEST(XmlParse, OnlyAnElementMakesARoot) {
  // Text that begins with an attribute leaves it at the top, but no root.
  Parsed p = Parse("x=\"1\"");
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(XML_GetRoot(p.get()), nullptr);
  EXPECT_EQ(Parse("<x=\"1\">").result, 1);
  EXPECT_EQ(XML_GetRoot(Parse("<x=\"1\">").get()), nullptr);
  EXPECT_EQ(XML_GetRoot(Parse("/>").get()), nullptr);
  EXPECT_EQ(XML_GetRoot(Parse(">").get()), nullptr);
  EXPECT_EQ(Serialize(p.get()), "<?xml version=\"1.0\"?>\n");
  // The leftover attribute's offsets point into this text: another text is refused.
  std::string other = "<B />";
  EXPECT_EQ(XML_Parse(p.get(), other.c_str(), -1), 1);
  EXPECT_EQ(XML_GetRoot(p.get()), nullptr);
  // A root can still be made by hand, after the leftover.
  XML_Node* root = XML_CreateRoot(p.get(), u"R");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(XML_GetRoot(p.get()), root);
  EXPECT_EQ(Body(Serialize(p.get())), "<R>\n</R>\n");
}

TEST(XmlParse, ParseIntoADocumentWithARootIsRefused) {
  Parsed p = Parse("<A B=\"1\" />");
  ASSERT_EQ(p.result, 0);
  XML_Node* root = p.root();
  std::string other = "<C />";
  EXPECT_EQ(XML_Parse(p.get(), other.c_str(), -1), 1);
  EXPECT_EQ(p.root(), root);
  EXPECT_EQ(Shape(p.get(), root), "A(@B=1)");
  DocPtr made = NewDoc();
  XML_CreateRoot(made.get(), u"M");
  EXPECT_EQ(XML_Parse(made.get(), other.c_str(), -1), 1);
  EXPECT_EQ(Name(XML_GetRoot(made.get())), "M");
}

TEST(XmlParse, LengthBoundsTheText) {
  // Exactly sized, not terminated: the parser must not read past it.
  std::string s = "<A B=\"12\" />";
  std::vector<char> exact(s.begin(), s.end());
  DocPtr doc = NewDoc();
  EXPECT_EQ(XML_Parse(doc.get(), exact.data(), static_cast<int>(exact.size())), 0);
  EXPECT_EQ(Attr(doc.get(), XML_GetRoot(doc.get()), u"B"), u"12");
  // Cut short inside a value.
  DocPtr cut = NewDoc();
  EXPECT_EQ(XML_Parse(cut.get(), exact.data(), 8), 1);
  // -1 takes the zero-terminated length; other negative lengths are refused.
  std::string z = "<A />";
  EXPECT_EQ(XML_Parse(NewDoc().get(), z.c_str(), -1), 0);
  EXPECT_EQ(XML_Parse(NewDoc().get(), z.c_str(), -2), 1);
  EXPECT_EQ(XML_Parse(NewDoc().get(), nullptr, 0), 1);
  EXPECT_EQ(XML_Parse(nullptr, z.c_str(), -1), 1);
}

TEST(XmlParse, NestingIsLimitedTo256Levels) {
  auto nested = [](int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "<E>";
    for (int i = 0; i < depth; ++i) s += "</E>";
    return s;
  };
  EXPECT_EQ(ParseResult(nested(256)), 0);
  EXPECT_EQ(ParseResult(nested(257)), 1);
  // Far deeper text fails the same way, without exhausting the stack.
  Parsed deep = Parse(nested(1000000));
  EXPECT_EQ(deep.result, 1);
  // The 256 levels that were read stay in the tree, which can still be written and closed.
  int depth = 0;
  for (XML_Node* n = deep.root(); n != nullptr; n = XML_GetChildAt(n, 0)) ++depth;
  EXPECT_EQ(depth, 257);
  int result = -1;
  Serialize(deep.get(), deep.root(), &result);
  EXPECT_EQ(result, 0);
}

TEST(XmlParse, FailedParseKeepsWhatWasLinked) {
  Parsed p = Parse("<A x=\"1\"><B y=\"2\" /><C z=\"3\"");
  EXPECT_EQ(p.result, 1);
  ASSERT_NE(p.root(), nullptr);
  EXPECT_EQ(Shape(p.get(), p.root()), "A(@x=1 B(@y=2) C(@z=3))");
}

TEST(XmlParse, OpenDocumentParsesTheDocumentsOwnText) {
  // What XML_Open leaves: the document holds the file's text.
  std::string text = "<?xml version=\"1.0\"?>\n<ROOT A=\"1\" />";
  DocPtr doc = NewDoc();
  doc->source.data = &text[0];
  doc->source.length = text.size();
  EXPECT_EQ(XML_OpenDocument(doc.get()), XML_ELEMENT);
  ASSERT_NE(XML_GetRoot(doc.get()), nullptr);
  EXPECT_EQ(Shape(doc.get(), XML_GetRoot(doc.get())), "ROOT(@A=1)");
  // Parsing again replaces the tree rather than adding to it.
  EXPECT_EQ(XML_OpenDocument(doc.get()), XML_ELEMENT);
  EXPECT_EQ(XML_CountChildren(&doc->top), 1);

  std::string attrFirst = "A=\"1\" <R />";
  doc->source.data = &attrFirst[0];
  doc->source.length = attrFirst.size();
  EXPECT_EQ(XML_OpenDocument(doc.get()), 1);
  EXPECT_EQ(XML_GetRoot(doc.get()), nullptr);
  doc->source.length = 0;
  EXPECT_EQ(XML_OpenDocument(doc.get()), 1);
  doc->source.data = nullptr;
  EXPECT_EQ(XML_OpenDocument(doc.get()), 1);
}

}  // namespace
