// The package module under Wine: update containers, data.dat splitting and the package model's
// list entries, plugins and profiles. Archives are covered by the scenarios, which build them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "package/extract.h"
#include "package/layout.h"
#include "package/model.h"
#include "run/context.h"
#include "settings/settings.h"
#include "system/test_util.h"
#include "xml/xml.h"

using zs_test::Exists;
using zs_test::ReadText;
using zs_test::ScratchDir;
using zs_test::WriteText;

namespace {

std::string Container(const std::string& info, const std::string& payload) {
  return "MZstub[not a section]" + info + std::string("[UPDATE_data]\r\n\x1a", 16) +
         std::string(1, '\0') + payload + "trailing bytes";
}

std::string Info(long long size, const std::string& crcLine) {
  return "[Update_Info]\r\nfilesize=" + std::to_string(size) + "\r\n" + crcLine +
         "note=[a bracket]\r\n";
}

int Extract(const std::string& dir, const std::string& bytes, std::string* info) {
  WriteText(dir + "c.upd", bytes);
  char name[MAX_PATH] = "stale";
  int result = ExtractUpdateData((dir + "c.upd").c_str(), (dir + "out.bin").c_str(), name);
  *info = name;
  if (!info->empty()) DeleteFileA(name);
  return result;
}

}  // namespace

TEST(UpdateContainer, ValidatesPayloadAndRefusesBadSizes) {
  std::string dir = ScratchDir("container");
  std::string info;
  // "hello" has a CRC-32 with the top bit set, written as an unsigned number.
  const std::string payload = "hello";
  uint32_t crc = Crc32(0, payload.data(), payload.size());
  ASSERT_EQ(crc, 0x3610A686u);
  EXPECT_EQ(Extract(dir, Container(Info(5, "crc=" + std::to_string(crc) + "\r\n"), payload), &info),
            1);
  EXPECT_EQ(ReadText(dir + "out.bin"), "hello");
  EXPECT_FALSE(info.empty());
  // The same CRC written as a negative number is the same 32 bits.
  EXPECT_EQ(
      Extract(dir, Container(Info(5, "crc=" + std::to_string(int32_t(crc)) + "\r\n"), payload),
              &info),
      1);
  EXPECT_EQ(Extract(dir, Container(Info(5, "crc=1\r\n"), payload), &info), 0);
  // An empty payload with CRC 0; a missing crc means all bits set.
  EXPECT_EQ(Extract(dir, Container(Info(0, "crc=0\r\n"), ""), &info), 1);
  EXPECT_EQ(ReadText(dir + "out.bin"), "");
  EXPECT_EQ(Extract(dir, Container(Info(0, ""), ""), &info), 0);
  // Sizes below zero or past the file's end.
  EXPECT_EQ(Extract(dir, Container(Info(-1, "crc=0\r\n"), "x"), &info), 0);
  EXPECT_EQ(Extract(dir, Container(Info(100, "crc=0\r\n"), "x"), &info), 0);
  // No marker, or a marker cut off at the end of the file: the name stays empty.
  EXPECT_EQ(Extract(dir, "[update_info]\r\nfilesize=0\r\n", &info), 0);
  EXPECT_TRUE(info.empty());
  EXPECT_EQ(Extract(dir, "[update_info]\r\nfilesize=0\r\n[update_data]\r\n", &info), 0);
  EXPECT_EQ(Extract(dir, "no section at all", &info), 0);
}

namespace {

std::string Entry(const std::string& name, const std::string& data, int32_t size = -2) {
  std::string e(208, '\0');
  memcpy(&e[0], name.data(), name.size() < 200 ? name.size() : 200);
  int32_t n = size == -2 ? static_cast<int32_t>(data.size()) : size;
  memcpy(&e[200], &n, 4);
  return e + data;
}

std::string DataFile(int32_t count, const std::string& entries) {
  std::string h(8, '\0');
  memcpy(&h[0], &count, 4);
  return h + entries;
}

}  // namespace

TEST(DataFile, SplitsPlainNamesAndRefusesEverythingElse) {
  std::string root = ScratchDir("split");
  std::string dir = root + "work\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  WriteText(dir + "data.dat", DataFile(2, Entry("a.rar", "AAAA") + Entry("empty.txt", "")));
  EXPECT_EQ(SetupSplitDataFile(dir.c_str()), 1);
  EXPECT_EQ(ReadText(dir + "a.rar"), "AAAA");
  EXPECT_EQ(ReadText(dir + "empty.txt"), "");

  const std::string bad[] = {
      DataFile(1, Entry("..\\evil.txt", "x")),
      DataFile(1, Entry("C:evil.txt", "x")),
      DataFile(1, Entry("sub/evil.txt", "x")),
      DataFile(1, Entry("..", "x")),
      DataFile(1, Entry("DATA.DAT", "x")),
      DataFile(1, Entry(std::string(200, 'n'), "x")),  // no terminator inside the field
      DataFile(1, Entry("neg.txt", "", -5)),
      DataFile(1, Entry("short.txt", "only", 40000)),  // data.dat ends inside the entry
      DataFile(2, Entry("first.txt", "1")),            // the second header is missing
  };
  for (const std::string& text : bad) {
    WriteText(dir + "data.dat", text);
    EXPECT_EQ(SetupSplitDataFile(dir.c_str()), 0);
  }
  EXPECT_FALSE(Exists(root + "evil.txt"));
  EXPECT_FALSE(Exists(dir + "short.txt"));  // a partly written file does not stay
  EXPECT_TRUE(Exists(dir + "first.txt"));
}

namespace {

struct Doc {
  XML_Document* doc = XML_Create();
  XML_Node* root = XML_CreateRoot(doc, u"ZORVASETUP");
  ~Doc() { XML_Close(doc); }
  std::string Text() {
    int size = 0;
    XML_Serialize(doc, root, nullptr, &size);
    std::string text(size, '\0');
    XML_Serialize(doc, root, &text[0], &size);
    text.resize(strlen(text.c_str()));
    return text;
  }
};

}  // namespace

TEST(ListEntries, OneEntryPerKindAndNameAtTheSameCostForLongLists) {
  Doc d;
  XML_Node* list = XML_Find(d.doc, nullptr, u"UNINSTALL", XML_OPEN_ALWAYS);
  EXPECT_EQ(SetupAddListEntry(d.doc, list, "C:\\Missing\\File.txt", LIST_FILE), 1);
  EXPECT_EQ(SetupAddListEntry(d.doc, list, "c:\\missing\\FILE.TXT", LIST_FILE), 1);
  EXPECT_EQ(SetupAddListEntry(d.doc, list, "C:\\Missing\\File.txt", LIST_DIR), 1);
  EXPECT_EQ(SetupAddListEntry(d.doc, list, "HKLM\\Software\\X", 6), 0);
  // A file that does not exist keeps its long name; one entry per kind and name.
  EXPECT_NE(d.Text().find("<FILE NAME=\"C:\\Missing\\File.txt\""), std::string::npos);
  XML_Node* common = XML_Find(d.doc, list, u"COMMON", XML_OPEN_EXISTING);
  EXPECT_EQ(XML_CountElements(common), 2);

  // Entries added by other code are seen too.
  XML_Node* other = XML_AddElement(common, u"regkey");
  XML_SetAttributeA(d.doc, other, u"NAME", "HKLM\\Software\\Other");
  EXPECT_EQ(SetupAddListEntry(d.doc, list, "hklm\\software\\other", LIST_REGKEY), 1);
  EXPECT_EQ(XML_CountElements(common), 3);

  // A lookup that walked the list per entry would take minutes here under Wine.
  DWORD start = GetTickCount();
  char path[64];
  for (int i = 0; i < 20000; ++i) {
    wsprintfA(path, "HKLM\\Software\\Vesk\\V%d", i);
    ASSERT_EQ(SetupAddListEntry(d.doc, list, path, LIST_REGVAL), 1);
  }
  for (int i = 0; i < 20000; i += 999) {
    wsprintfA(path, "hklm\\SOFTWARE\\vesk\\v%d", i);
    ASSERT_EQ(SetupAddListEntry(d.doc, list, path, LIST_REGVAL), 1);
  }
  EXPECT_LT(GetTickCount() - start, 5000u);
  EXPECT_EQ(XML_CountElements(common), 20003);
  // The index lives with the document and goes with it.
  SetupAddRollback(d.doc, "HKLM\\Software\\Vesk", LIST_REGKEY);
  EXPECT_NE(d.Text().find("<ROLLBACK>"), std::string::npos);
}

TEST(Plugins, IdsAndProfilesMerge) {
  Doc d;
  XML_Node* parent = XML_Find(d.doc, nullptr, u"SETUPINFO\\SETTINGS", XML_OPEN_ALWAYS);
  XML_Node* p = SetupOpenPlugin(d.doc, parent, 255, XML_OPEN_ALWAYS);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(SetupOpenPlugin(d.doc, parent, 255, XML_OPEN_ALWAYS), p);
  EXPECT_NE(SetupOpenPlugin(d.doc, parent, 255, XML_CREATE_ALWAYS), p);
  EXPECT_EQ(SetupFindPlugin(d.doc, parent, 255), p);
  EXPECT_EQ(SetupOpenPlugin(d.doc, parent, 1, 7), nullptr);
  EXPECT_NE(d.Text().find("<PLUGIN ID=\"FF\">"), std::string::npos);

  // Target: Config000 "Alpha", a gap, Config002 that is never looked at.
  XML_Node* dst = XML_Find(d.doc, p, u"DATA", XML_OPEN_EXISTING);
  XML_Node* a = CFG_OpenSubnode(d.doc, dst, u"Config000", XML_OPEN_ALWAYS);
  CFG_SetValue(d.doc, a, u"PROFILE_NAME", CFG_TYPE_STRING, "Alpha", 6);
  CFG_OpenSubnode(d.doc, dst, u"Config002", XML_OPEN_ALWAYS);
  // Source: "ALPHA" (case differs), no name (goes to Config000), "Beta" (new: Config001).
  Doc s;
  XML_Node* src = XML_Find(s.doc, nullptr, u"DATA", XML_OPEN_ALWAYS);
  const char* names[] = {"ALPHA", nullptr, "Beta"};
  for (int i = 0; i < 3; ++i) {
    wchar16 name[16];
    char n[16];
    wsprintfA(n, "Config%03d", i);
    AnsiToWide(name, n, 16);
    XML_Node* c = CFG_OpenSubnode(s.doc, src, name, XML_OPEN_ALWAYS);
    if (names[i]) CFG_SetValue(s.doc, c, u"PROFILE_NAME", CFG_TYPE_STRING, names[i], 6);
    char value[8];
    wsprintfA(value, "v%d", i);
    wchar16 key[8];
    wsprintfA(n, "K%d", i);
    AnsiToWide(key, n, 8);
    CFG_SetValue(s.doc, c, key, CFG_TYPE_STRING, value, 3);
  }
  EXPECT_EQ(SetupMergeProfiles(d.doc, dst, s.doc, src), 1);
  char out[16];
  int size = sizeof out;
  EXPECT_TRUE(CFG_GetString(d.doc, a, u"K0", out, &size));
  size = sizeof out;
  EXPECT_TRUE(CFG_GetString(d.doc, a, u"K1", out, &size));
  XML_Node* b = CFG_OpenSubnode(d.doc, dst, u"Config001", XML_OPEN_EXISTING);
  ASSERT_NE(b, nullptr);
  size = sizeof out;
  EXPECT_TRUE(CFG_GetString(d.doc, b, u"PROFILE_NAME", out, &size));
  EXPECT_STREQ(out, "Beta");
  size = sizeof out;
  EXPECT_TRUE(CFG_GetString(d.doc, b, u"K2", out, &size));
  EXPECT_STREQ(out, "v2");
}

TEST(InstallPath, DefaultsWhenNotUsable) {
  SetEnvironmentVariableA("ZS_EMPTY", "");
  const char* bad[] = {
      "",     "%ZS_EMPTY%",          "relative\\folder",
      "C:\\", "\\\\server\\share\\", "C:\\this\\is\\far\\too\\long\\%PATH%%PATH%%PATH%%PATH%"};
  char programFiles[MAX_PATH];
  ExpandEnvironmentStringsA("%ProgramFiles%\\Vesk\\", programFiles, MAX_PATH);
  for (const char* text : bad) {
    SetupResolveInstallPath(text);
    EXPECT_STREQ(g_context.installDir, programFiles) << text;
  }
  SetupResolveInstallPath("C:\\Apps\\Zorva");
  EXPECT_STREQ(g_context.installDir, "C:\\Apps\\Zorva\\");
  SetupResolveInstallPath("%ZS_UNKNOWN_VARIABLE%\\x");
  EXPECT_STREQ(g_context.installDir, programFiles);
}
