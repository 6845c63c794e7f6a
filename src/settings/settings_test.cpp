#include "settings/settings.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

std::u16string U(const char* s) {
  std::u16string out;
  while (*s) out += static_cast<char16_t>(static_cast<unsigned char>(*s++));
  return out;
}

std::string A(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += static_cast<char>(c);
  return out;
}

// A document parsed from text (kept alive with it), with helpers to read entries back.
class Tree {
 public:
  explicit Tree(const char* text) : text_(text) {
    doc_ = XML_Create();
    EXPECT_NE(nullptr, doc_);
    EXPECT_EQ(0, XML_Parse(doc_, text_.c_str(), -1)) << text_;
  }
  ~Tree() { XML_Close(doc_); }
  XML_Document* doc() { return doc_; }
  XML_Node* root() { return XML_GetRoot(doc_); }

  // The attribute's value, or "<none>".
  std::string Attr(XML_Node* node, const char* name) {
    std::u16string n = U(name);
    int count = 0;
    if (XML_GetAttribute(doc_, node, n.c_str(), nullptr, &count) != 0) return "<none>";
    std::u16string value(static_cast<size_t>(count), u'\0');
    if (XML_GetAttribute(doc_, node, n.c_str(), &value[0], &count) != 0) return "<bad>";
    value.resize(static_cast<size_t>(count - 1));
    return A(value);
  }

  // Names of the attributes of node, in list order.
  std::string AttrOrder(XML_Node* node) {
    std::string out;
    XML_Node* cursor = nullptr;
    while (XML_Node* child = XML_NextChild(node, &cursor, nullptr)) {
      if (child->kind != XML_ATTRIBUTE) continue;
      if (!out.empty()) out += ",";
      out += A(child->name);
    }
    return out;
  }

  // The entries below parent as "NAME:TYPE=VALUE" lines, sub-nodes bracketed.
  std::string Dump(XML_Node* parent) {
    std::string out;
    XML_Node* cursor = nullptr;
    while (XML_Node* e = XML_NextElement(parent, u"NODE", &cursor)) {
      out += Attr(e, "NAME") + ":" + Attr(e, "TYPE");
      std::string v = Attr(e, "VALUE");
      if (v != "<none>") out += "=" + v;
      if (XML_CountElements(e) > 0) out += "[" + Dump(e) + "]";
      out += ";";
    }
    return out;
  }

 private:
  std::string text_;
  XML_Document* doc_ = nullptr;
};

XML_Node* Data(Tree& t) { return XML_Find(t.doc(), nullptr, u"DATA", XML_OPEN_EXISTING); }

TEST(CfgGetDword, ReadsHexadecimalDwordEntriesOnly) {
  Tree t(
      "<R><DATA>"
      "<NODE NAME=\"a\" VALUE=\"3c\" TYPE=\"DWORD\"/>"
      "<NODE NAME=\"zero\" VALUE=\"0\" TYPE=\"DWORD\"/>"
      "<NODE NAME=\"empty\" VALUE=\"\" TYPE=\"DWORD\"/>"
      "<NODE NAME=\"prefixed\" VALUE=\"0x3C\" TYPE=\"DWORD\"/>"
      "<NODE NAME=\"text\" VALUE=\"3C\" TYPE=\"STRING\"/>"
      "<NODE NAME=\"novalue\" TYPE=\"DWORD\"/>"
      "<NODE NAME=\"lower\" VALUE=\"10\" TYPE=\"dword\"/>"
      "</DATA></R>");
  XML_Node* d = Data(t);
  uint32_t v = 7;
  EXPECT_EQ(1, CFG_GetDword(t.doc(), d, u"A", &v));
  EXPECT_EQ(60u, v);
  EXPECT_EQ(1, CFG_GetDword(t.doc(), d, u"zero", &v));
  EXPECT_EQ(0u, v);
  v = 7;
  EXPECT_EQ(1, CFG_GetDword(t.doc(), d, u"empty", &v));
  EXPECT_EQ(0u, v);
  v = 7;
  EXPECT_EQ(0, CFG_GetDword(t.doc(), d, u"prefixed", &v));
  EXPECT_EQ(0, CFG_GetDword(t.doc(), d, u"text", &v));
  EXPECT_EQ(0, CFG_GetDword(t.doc(), d, u"novalue", &v));
  EXPECT_EQ(0, CFG_GetDword(t.doc(), d, u"missing", &v));
  EXPECT_EQ(7u, v);
  EXPECT_EQ(1, CFG_GetDword(t.doc(), d, u"LOWER", &v));
  EXPECT_EQ(16u, v);
}

TEST(CfgGetType, ReadsTheTypeTextIgnoringCase) {
  Tree t(
      "<R><DATA>"
      "<NODE NAME=\"none\"/>"
      "<NODE NAME=\"d\" TYPE=\"dword\"/>"
      "<NODE NAME=\"s\" TYPE=\"String\"/>"
      "<NODE NAME=\"b\" TYPE=\"BINARY\"/>"
      "<NODE NAME=\"n\" TYPE=\"SUBNODE\"/>"
      "<NODE NAME=\"p\" TYPE=\"pass\"/>"
      "<NODE NAME=\"e\" TYPE=\"EMPTY\"/>"
      "<NODE NAME=\"x\" TYPE=\"DWORDS\"/>"
      "<NODE NAME=\"long\" TYPE=\"DWORDDWORDDWORDDWORDDWORDDWORDDWORD\"/>"
      "</DATA></R>");
  XML_Node* d = Data(t);
  const char* names[] = {"none", "d", "s", "b", "n", "p", "e", "x", "long"};
  const int types[] = {0, 1, 2, 3, 4, 5, 0, 0, 0};
  for (int i = 0; i < 9; ++i) {
    std::u16string n = U(names[i]);
    XML_Node* e = CFG_FindNode(t.doc(), d, n.c_str());
    ASSERT_NE(nullptr, e) << names[i];
    EXPECT_EQ(types[i], CFG_GetType(t.doc(), e)) << names[i];
  }
}

TEST(CfgFindNode, TakesTheFirstOfANameAndNeverLongNames) {
  std::string long63(63, 'n'), long64(64, 'n');
  std::string text =
      "<R><DATA><NODE NAME=\"Dup\" VALUE=\"1\" TYPE=\"STRING\"/>"
      "<NODE NAME=\"dup\" VALUE=\"2\" TYPE=\"STRING\"/><NODE NAME=\"" +
      long63 + "\"/><NODE NAME=\"" + long64 + "\"/><NODE VALUE=\"x\"/></DATA></R>";
  Tree t(text.c_str());
  XML_Node* d = Data(t);
  XML_Node* e = CFG_FindNode(t.doc(), d, u"DUP");
  ASSERT_NE(nullptr, e);
  EXPECT_EQ("1", t.Attr(e, "VALUE"));
  EXPECT_NE(nullptr, CFG_FindNode(t.doc(), d, U(long63.c_str()).c_str()));
  EXPECT_EQ(nullptr, CFG_FindNode(t.doc(), d, U(long64.c_str()).c_str()));
  EXPECT_EQ(nullptr, CFG_FindNode(t.doc(), d, u"du*"));
  EXPECT_EQ(nullptr, CFG_FindNode(t.doc(), d, u""));
}

TEST(CfgMatchName, ComparesUpToTheFirstStar) {
  EXPECT_EQ(1, CFG_MatchName(u"Scan", u"SCAN"));
  EXPECT_EQ(0, CFG_MatchName(u"Scan", u"Scan_"));
  EXPECT_EQ(1, CFG_MatchName(u"scan_*", u"SCAN_A"));
  EXPECT_EQ(1, CFG_MatchName(u"scan_*", u"scan_"));
  EXPECT_EQ(0, CFG_MatchName(u"scan_*", u"scan"));
  EXPECT_EQ(1, CFG_MatchName(u"*", u""));
  EXPECT_EQ(1, CFG_MatchName(u"*anything", u"whatever"));
  EXPECT_EQ(1, CFG_MatchName(u"a*b", u"axx"));  // what follows the star is not looked at
  EXPECT_EQ(0, CFG_MatchName(u"Sc*", u"s"));
}

TEST(CfgNextNode, WalksEntriesMatchingAPatternEitherWay) {
  Tree t(
      "<R><DATA>"
      "<NODE NAME=\"SCAN_A\" VALUE=\"1\" TYPE=\"DWORD\"/>"
      "<OTHER NAME=\"scan_b\"/>"
      "<NODE NAME=\"other\" TYPE=\"STRING\" VALUE=\"x\"/>"
      "<NODE TYPE=\"STRING\"/>"
      "<NODE NAME=\"scan_\" TYPE=\"SUBNODE\"/>"
      "<NODE NAME=\"scan_very_long_name_that_does_not_fit\"/>"
      "<NODE NAME=\"Sc*\" TYPE=\"PASS\"/>"
      "</DATA></R>");
  XML_Node* d = Data(t);
  wchar16 name[20];
  int type = -1;
  XML_Node* node = nullptr;
  XML_Node* cursor = nullptr;
  std::vector<std::string> seen;
  while (CFG_NextNode(t.doc(), d, u"scan_*", &cursor, name, 20, &type, &node)) {
    seen.push_back(A(name) + "/" + std::to_string(type));
    EXPECT_EQ(A(name), t.Attr(node, "NAME"));
  }
  EXPECT_EQ((std::vector<std::string>{"SCAN_A/1", "scan_/4", "Sc*/5"}), seen);
  EXPECT_EQ(0, CFG_NextNode(t.doc(), d, u"scan_*", &cursor, name, 20, nullptr, nullptr));

  // A stored pattern takes a plain name too.
  cursor = nullptr;
  ASSERT_EQ(1, CFG_NextNode(t.doc(), d, u"scan_x", &cursor, name, 20, nullptr, nullptr));
  EXPECT_EQ("Sc*", A(name));

  // Without a pattern every entry whose name fits is taken.
  cursor = nullptr;
  seen.clear();
  while (CFG_NextNode(t.doc(), d, nullptr, &cursor, name, 20, nullptr, nullptr)) {
    seen.push_back(A(name));
  }
  EXPECT_EQ((std::vector<std::string>{"SCAN_A", "other", "scan_", "Sc*"}), seen);

  // Without a cursor the first match is found, past entries that do not match.
  ASSERT_EQ(1, CFG_NextNode(t.doc(), d, u"OTHER", nullptr, name, 20, &type, nullptr));
  EXPECT_EQ("other", A(name));
  EXPECT_EQ(0, CFG_NextNode(t.doc(), d, u"nothing", nullptr, name, 20, &type, nullptr));
}

TEST(CfgSetValue, WritesNativeValuesInTheirTextForm) {
  Tree t("<R><DATA /></R>");
  XML_Node* d = Data(t);
  uint32_t n = 60;
  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"Level", CFG_TYPE_DWORD, &n, 4));
  XML_Node* e = CFG_FindNode(t.doc(), d, u"level");
  EXPECT_EQ("NAME,VALUE,TYPE", t.AttrOrder(e));
  EXPECT_EQ("3C", t.Attr(e, "VALUE"));
  EXPECT_EQ("DWORD", t.Attr(e, "TYPE"));
  n = 0;
  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"LEVEL", CFG_TYPE_DWORD, &n, 4));
  EXPECT_EQ("0", t.Attr(e, "VALUE"));
  EXPECT_EQ("Level", t.Attr(e, "NAME"));  // the first spelling stays
  n = 0xFFFFFFFFu;
  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"Level", CFG_TYPE_DWORD, &n, 8));
  EXPECT_EQ("FFFFFFFF", t.Attr(e, "VALUE"));

  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"Text", CFG_TYPE_STRING, "a<b & \"c\"", 0));
  char text[32];
  int size = sizeof text;
  ASSERT_EQ(1, CFG_GetString(t.doc(), d, u"text", text, &size));
  EXPECT_STREQ("a<b & \"c\"", text);
  EXPECT_EQ(10, size);

  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"Bytes", CFG_TYPE_BINARY, "abc", 3));
  EXPECT_EQ("YWJj", t.Attr(CFG_FindNode(t.doc(), d, u"Bytes"), "VALUE"));
  EXPECT_EQ("BINARY", t.Attr(CFG_FindNode(t.doc(), d, u"Bytes"), "TYPE"));

  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"Pwd", CFG_TYPE_PASS, "pw", 0));
  // The protected form: UTF-16 of the text, scrambled with seed 0, then Base64.
  unsigned char raw[4] = {'p', 0, 'w', 0};
  ScrambleBuffer(raw, 0, 4);
  char b64[16];
  int b64size = 0;
  ASSERT_TRUE(Base64Encode(raw, 4, b64, sizeof b64, &b64size));
  EXPECT_EQ(b64, t.Attr(CFG_FindNode(t.doc(), d, u"Pwd"), "VALUE"));
  EXPECT_EQ("PASS", t.Attr(CFG_FindNode(t.doc(), d, u"Pwd"), "TYPE"));

  EXPECT_EQ("Level:DWORD=FFFFFFFF;Text:STRING=a<b & \"c\";Bytes:BINARY=YWJj;Pwd:PASS=" +
                std::string(b64) + ";",
            t.Dump(d));
}

TEST(CfgSetValue, RefusesBadTypesAndSizesWithoutChangingTheType) {
  Tree t("<R><DATA><NODE NAME=\"s\" VALUE=\"abc\" TYPE=\"STRING\"/></DATA></R>");
  XML_Node* d = Data(t);
  uint32_t n = 5;
  EXPECT_EQ(0, CFG_SetValue(t.doc(), d, u"x", 6, &n, 4));
  EXPECT_EQ(0, CFG_SetValue(t.doc(), d, u"x", -1, &n, 4));
  EXPECT_EQ(nullptr, CFG_FindNode(t.doc(), d, u"x"));
  // "abc" would read as the hexadecimal number 0xABC under a DWORD type.
  EXPECT_EQ(0, CFG_SetValue(t.doc(), d, u"s", CFG_TYPE_DWORD, &n, 2));
  EXPECT_EQ(0, CFG_SetValue(t.doc(), d, u"s", CFG_TYPE_STRING, nullptr, 0));
  EXPECT_EQ(0, CFG_SetValue(t.doc(), d, u"s", CFG_TYPE_SUBNODE, &n, 4));
  EXPECT_EQ("s:STRING=abc;", t.Dump(d));
  uint32_t v = 0;
  EXPECT_EQ(0, CFG_GetDword(t.doc(), d, u"s", &v));
}

TEST(CfgSetValue, EmptyTypeWritesOnlyTheNameButRawValueWritesEmpty) {
  Tree t("<R><DATA><NODE NAME=\"kept\" VALUE=\"1\" TYPE=\"DWORD\"/></DATA></R>");
  XML_Node* d = Data(t);
  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"e1", CFG_TYPE_EMPTY, nullptr, 0));
  ASSERT_EQ(1, CFG_SetRawValue(t.doc(), d, u"e2", CFG_TYPE_EMPTY, nullptr));
  ASSERT_EQ(1, CFG_SetValue(t.doc(), d, u"kept", CFG_TYPE_EMPTY, nullptr, 0));
  EXPECT_EQ("NAME", t.AttrOrder(CFG_FindNode(t.doc(), d, u"e1")));
  EXPECT_EQ("NAME,TYPE", t.AttrOrder(CFG_FindNode(t.doc(), d, u"e2")));
  EXPECT_EQ(0, CFG_GetType(t.doc(), CFG_FindNode(t.doc(), d, u"e1")));
  EXPECT_EQ(0, CFG_GetType(t.doc(), CFG_FindNode(t.doc(), d, u"e2")));
  EXPECT_EQ("kept:DWORD=1;e1:<none>;e2:EMPTY;", t.Dump(d));
}

TEST(CfgSetRawValue, WritesTextFormsAsGiven) {
  Tree t("<R><DATA /></R>");
  XML_Node* d = Data(t);
  ASSERT_EQ(1, CFG_SetRawValue(t.doc(), d, u"n", CFG_TYPE_DWORD, u"3C"));
  ASSERT_EQ(1, CFG_SetRawValue(t.doc(), d, u"sub", CFG_TYPE_SUBNODE, u"ignored"));
  EXPECT_EQ(0, CFG_SetRawValue(t.doc(), d, u"bad", 6, u"x"));
  EXPECT_EQ(0, CFG_SetRawValue(t.doc(), d, u"s", CFG_TYPE_STRING, nullptr));
  EXPECT_EQ("NAME,VALUE,TYPE", t.AttrOrder(CFG_FindNode(t.doc(), d, u"n")));
  EXPECT_EQ("n:DWORD=3C;sub:SUBNODE;s:<none>;", t.Dump(d));
}

TEST(CfgGetValue, ReadsTheValueTextAndType) {
  Tree t(
      "<R><DATA><NODE NAME=\"s\" VALUE=\"hello\" TYPE=\"STRING\"/><NODE NAME=\"n\"/></DATA></R>");
  XML_Node* d = Data(t);
  wchar16 buffer[8];
  int count = 8, type = -1;
  ASSERT_EQ(1, CFG_GetValue(t.doc(), d, u"S", &type, buffer, &count));
  EXPECT_EQ("hello", A(buffer));
  EXPECT_EQ(6, count);
  EXPECT_EQ(CFG_TYPE_STRING, type);
  count = 5;
  EXPECT_EQ(0, CFG_GetValue(t.doc(), d, u"s", nullptr, buffer, &count));
  EXPECT_EQ(5, count);
  type = -1;
  EXPECT_EQ(0, CFG_GetValue(t.doc(), d, u"missing", &type, buffer, &count));
  EXPECT_EQ(-1, type);
  EXPECT_EQ(0, CFG_GetValue(t.doc(), d, u"n", &type, buffer, &count));
  EXPECT_EQ(CFG_TYPE_EMPTY, type);

  char narrow[4];
  int size = sizeof narrow;
  EXPECT_EQ(0, CFG_GetString(t.doc(), d, u"s", narrow, &size));  // does not fit
  EXPECT_EQ(0, size);
  size = sizeof narrow;
  EXPECT_EQ(0, CFG_GetString(t.doc(), d, u"n", narrow, &size));  // not a string
  EXPECT_EQ(0, size);
}

TEST(CfgOpenSubnode, FollowsTheLookupModes) {
  Tree t(
      "<R><DATA><NODE NAME=\"sub\" TYPE=\"SUBNODE\"/><NODE NAME=\"str\" VALUE=\"v\" "
      "TYPE=\"STRING\"/></DATA></R>");
  XML_Node* d = Data(t);
  XML_Node* sub = CFG_FindNode(t.doc(), d, u"sub");
  EXPECT_EQ(nullptr, CFG_OpenSubnode(t.doc(), d, u"SUB", XML_CREATE_NEW));
  EXPECT_EQ(sub, CFG_OpenSubnode(t.doc(), d, u"SUB", XML_OPEN_EXISTING));
  EXPECT_EQ(sub, CFG_OpenSubnode(t.doc(), d, u"SUB", XML_OPEN_ALWAYS));
  EXPECT_EQ(nullptr, CFG_OpenSubnode(t.doc(), d, u"sub", 0));
  EXPECT_EQ(nullptr, CFG_OpenSubnode(t.doc(), d, u"sub", 5));
  EXPECT_EQ(nullptr, CFG_OpenSubnode(t.doc(), d, u"str", XML_OPEN_EXISTING));

  // A string entry of that name counts as absent: a second entry of the name is appended.
  XML_Node* made = CFG_OpenSubnode(t.doc(), d, u"str", XML_CREATE_NEW);
  ASSERT_NE(nullptr, made);
  EXPECT_EQ("NAME,TYPE", t.AttrOrder(made));
  XML_Node* always = CFG_OpenSubnode(t.doc(), d, u"sub", XML_CREATE_ALWAYS);
  ASSERT_NE(nullptr, always);
  EXPECT_NE(sub, always);
  XML_Node* fresh = CFG_OpenSubnode(t.doc(), d, u"fresh", XML_OPEN_ALWAYS);
  ASSERT_NE(nullptr, fresh);
  EXPECT_EQ(fresh, CFG_OpenSubnode(t.doc(), d, u"FRESH", XML_OPEN_EXISTING));
  EXPECT_EQ("sub:SUBNODE;str:STRING=v;str:SUBNODE;sub:SUBNODE;fresh:SUBNODE;", t.Dump(d));
}

const char kTarget[] =
    "<R><DST>"
    "<NODE NAME=\"keep\" VALUE=\"old\" TYPE=\"STRING\"/>"
    "<NODE NAME=\"only_dst\" VALUE=\"1\" TYPE=\"DWORD\"/>"
    "<NODE NAME=\"Profile\" TYPE=\"SUBNODE\">"
    "<NODE NAME=\"inner\" VALUE=\"dst\" TYPE=\"STRING\"/>"
    "</NODE>"
    "</DST></R>";

const char kSource[] =
    "<R><SRC>"
    "<NODE NAME=\"KEEP\" VALUE=\"new\" TYPE=\"STRING\"/>"
    "<NODE NAME=\"n\" VALUE=\"3C\" TYPE=\"DWORD\"/>"
    "<NODE NAME=\"e\"/>"
    "<NODE NAME=\"profile\" TYPE=\"SUBNODE\">"
    "<NODE NAME=\"inner\" VALUE=\"src\" TYPE=\"STRING\"/>"
    "<NODE NAME=\"deep\" TYPE=\"SUBNODE\"><NODE NAME=\"x\" VALUE=\"AA==\" TYPE=\"BINARY\"/></NODE>"
    "</NODE>"
    "<NODE NAME=\"p\" VALUE=\"cHc=\" TYPE=\"PASS\"/>"
    "</SRC></R>";

struct MergeCase {
  Tree dst{kTarget};
  Tree src{kSource};
  XML_Node* dstParent() { return XML_Find(dst.doc(), nullptr, u"DST", XML_OPEN_EXISTING); }
  XML_Node* srcParent() { return XML_Find(src.doc(), nullptr, u"SRC", XML_OPEN_EXISTING); }
  int Merge(int overwrite, int recurse) {
    return CFG_Merge(dst.doc(), dstParent(), src.doc(), srcParent(), overwrite, recurse);
  }
};

TEST(CfgMerge, WithoutOverwriteTheTargetKeepsItsNames) {
  MergeCase m;
  ASSERT_EQ(1, m.Merge(0, 1));
  EXPECT_EQ(
      "keep:STRING=old;only_dst:DWORD=1;Profile:SUBNODE[inner:STRING=dst;];n:DWORD=3C;e:EMPTY;"
      "p:PASS=cHc=;",
      m.dst.Dump(m.dstParent()));
}

TEST(CfgMerge, WithOverwriteAndRecursionTheSourceWins) {
  MergeCase m;
  ASSERT_EQ(1, m.Merge(1, 1));
  EXPECT_EQ(
      "keep:STRING=new;only_dst:DWORD=1;Profile:SUBNODE[inner:STRING=src;deep:SUBNODE[x:BINARY="
      "AA==;];];n:DWORD=3C;e:EMPTY;p:PASS=cHc=;",
      m.dst.Dump(m.dstParent()));
}

TEST(CfgMerge, WithoutRecursionSubnodesArriveEmpty) {
  MergeCase m;
  ASSERT_EQ(1, m.Merge(1, 0));
  EXPECT_EQ(
      "keep:STRING=new;only_dst:DWORD=1;Profile:SUBNODE[inner:STRING=dst;];n:DWORD=3C;e:EMPTY;"
      "p:PASS=cHc=;",
      m.dst.Dump(m.dstParent()));

  // Into an empty target a source sub-node becomes an empty sub-node entry.
  Tree empty("<R><DST /></R>");
  XML_Node* d = XML_Find(empty.doc(), nullptr, u"DST", XML_OPEN_EXISTING);
  ASSERT_EQ(1, CFG_Merge(empty.doc(), d, m.src.doc(), m.srcParent(), 0, 0));
  EXPECT_EQ("KEEP:STRING=new;n:DWORD=3C;e:EMPTY;profile:SUBNODE;p:PASS=cHc=;", empty.Dump(d));
}

TEST(CfgMerge, CopiesLongValuesWholeAndSkipsLongNames) {
  std::string big(5000, 'v');
  big[0] = '<';  // an escaped character too
  std::string name50(50, 'n'), name51(51, 'm');
  std::string src = "<R><SRC><NODE NAME=\"big\" VALUE=\"&lt;" + big.substr(1) +
                    "\" TYPE=\"STRING\"/><NODE NAME=\"" + name50 +
                    "\" VALUE=\"1\" TYPE=\"DWORD\"/><NODE NAME=\"" + name51 +
                    "\" VALUE=\"2\" TYPE=\"DWORD\"/></SRC></R>";
  Tree s(src.c_str());
  Tree d("<R><DST><NODE NAME=\"BIG\" VALUE=\"small\" TYPE=\"STRING\"/></DST></R>");
  XML_Node* dp = XML_Find(d.doc(), nullptr, u"DST", XML_OPEN_EXISTING);
  ASSERT_EQ(1, CFG_Merge(d.doc(), dp, s.doc(), XML_Find(s.doc(), nullptr, u"SRC", 3), 1, 1));
  EXPECT_EQ(big, d.Attr(CFG_FindNode(d.doc(), dp, u"big"), "VALUE"));
  EXPECT_NE(nullptr, CFG_FindNode(d.doc(), dp, U(name50.c_str()).c_str()));
  EXPECT_EQ(nullptr, CFG_FindNode(d.doc(), dp, U(name51.c_str()).c_str()));
}

TEST(CfgMerge, MissingValueEndsTheMergeKeepingWhatWasCopied) {
  Tree s(
      "<R><SRC><NODE NAME=\"a\" VALUE=\"1\" TYPE=\"DWORD\"/><NODE NAME=\"b\" TYPE=\"STRING\"/>"
      "<NODE NAME=\"c\" VALUE=\"2\" TYPE=\"DWORD\"/></SRC></R>");
  Tree d("<R><DST /></R>");
  XML_Node* dp = XML_Find(d.doc(), nullptr, u"DST", XML_OPEN_EXISTING);
  EXPECT_EQ(0, CFG_Merge(d.doc(), dp, s.doc(), XML_Find(s.doc(), nullptr, u"SRC", 3), 1, 1));
  EXPECT_EQ("a:DWORD=1;", d.Dump(dp));

  // A value that cannot be decoded ends it the same way.
  Tree bad("<R><SRC><NODE NAME=\"x\" VALUE=\"&foo;\" TYPE=\"STRING\"/></SRC></R>");
  Tree d2("<R><DST /></R>");
  XML_Node* dp2 = XML_Find(d2.doc(), nullptr, u"DST", XML_OPEN_EXISTING);
  EXPECT_EQ(0, CFG_Merge(d2.doc(), dp2, bad.doc(), XML_Find(bad.doc(), nullptr, u"SRC", 3), 1, 1));
}

TEST(CfgMerge, DuplicateSourceNamesKeepTypeAndValueTogether) {
  Tree s(
      "<R><SRC><NODE NAME=\"x\" VALUE=\"hello\" TYPE=\"STRING\"/>"
      "<NODE NAME=\"X\" VALUE=\"5\" TYPE=\"DWORD\"/></SRC></R>");
  Tree d("<R><DST /></R>");
  XML_Node* dp = XML_Find(d.doc(), nullptr, u"DST", XML_OPEN_EXISTING);
  ASSERT_EQ(1, CFG_Merge(d.doc(), dp, s.doc(), XML_Find(s.doc(), nullptr, u"SRC", 3), 1, 0));
  EXPECT_EQ("x:DWORD=5;", d.Dump(dp));
}

}  // namespace
