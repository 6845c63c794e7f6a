// The install transaction's pieces that no scenario can drive into their corners: variable
// expansion, list entries a removal must pass over, and a commit that finds a file missing.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "install/filecopy.h"
#include "install/journal.h"
#include "install/rollback.h"
#include "package/model.h"
#include "system/files.h"
#include "system/test_util.h"
#include "xml/xml.h"

using zs_test::Exists;
using zs_test::ScratchDir;
using zs_test::WriteText;

namespace {

TargetVars Vars(const char* install) {
  TargetVars v;
  strcpy(v.installDir, install);
  strcpy(v.windowsDir, "C:\\windows");
  strcpy(v.systemDir, "C:\\windows\\system32");
  strcpy(v.driversDir, "C:\\windows\\system32\\drivers");
  return v;
}

std::string Expand(const char* text, const TargetVars& vars, int capacity = MAX_PATH) {
  char buffer[MAX_PATH];
  strcpy(buffer, text);
  SetupExpandTargetVars(buffer, capacity, vars);
  return buffer;
}

struct Doc {
  XML_Document* doc = XML_Create();
  XML_Node* root = XML_CreateRoot(doc, u"ZORVASETUP");
  ~Doc() { XML_Close(doc); }
};

XML_Node* AddEntry(Doc& d, const char16_t* list, const char16_t* kind, const char* name) {
  XML_Node* common = XML_Find(d.doc, nullptr, list, XML_OPEN_ALWAYS);
  common = XML_FindChild(d.doc, common, u"COMMON", XML_OPEN_ALWAYS);
  XML_Node* e = XML_AddElement(common, kind);
  XML_SetAttributeA(d.doc, e, u"NAME", name);
  return e;
}

}  // namespace

TEST(TargetVars, ExpandEachOccurrenceOnceInOrder) {
  TargetVars vars = Vars("C:\\Program Files\\Vesk");
  EXPECT_EQ(Expand("%INSTALLDIR%\\a.exe", vars), "C:\\Program Files\\Vesk\\a.exe");
  EXPECT_EQ(Expand("%DRIVERSDIR%\\x.sys|%SYSTEMDIR%", vars),
            "C:\\windows\\system32\\drivers\\x.sys|C:\\windows\\system32");
  EXPECT_EQ(Expand("%installdir%\\a", vars), "%installdir%\\a");
  // An install folder that reads "%INSTALLDIR%" is inserted once, not expanded forever.
  EXPECT_EQ(Expand("%INSTALLDIR%\\%INSTALLDIR%", Vars("C:\\%INSTALLDIR%")),
            "C:\\%INSTALLDIR%\\C:\\%INSTALLDIR%");
  // What does not fit stops the expansion; the earlier replacements stay.
  EXPECT_EQ(Expand("%INSTALLDIR%|%SYSTEMDIR%", vars, 34), "C:\\Program Files\\Vesk|%SYSTEMDIR%");
}

TEST(ListEntries, RemovalsPassOverEntriesThatNameNoOwnItem) {
  std::string dir = ScratchDir("lists");
  SetCurrentDirectoryA(dir.c_str());
  WriteText(dir + "relative.txt", "another program's file");
  WriteText(dir + "own.txt", "the product's file");
  HKEY key;
  RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\ZsListTest\\Below", &key);
  RegCloseKey(key);
  RegCreateKeyA(HKEY_CURRENT_USER, "ZsListTest\\Below", &key);
  RegCloseKey(key);

  Doc d;
  AddEntry(d, u"UNINSTALL", u"FILE", "");
  AddEntry(d, u"UNINSTALL", u"FILE", "relative.txt");
  AddEntry(d, u"UNINSTALL", u"DIR_AND_CONTENTS", ".\\");
  AddEntry(d, u"UNINSTALL", u"REGKEY", "HKLM\\Software");
  AddEntry(d, u"UNINSTALL", u"REGKEY", "HKLM\\Software\\");
  // An empty name after the root opens the root itself: this would remove HKCU\ZsListTest.
  AddEntry(d, u"UNINSTALL", u"REGKEY", "HKCU\\\\ZsListTest");
  AddEntry(d, u"ROLLBACK", u"FILE", "relative.txt");
  AddEntry(d, u"ROLLBACK", u"FILE", (dir + "own.txt").c_str());
  SetupMergeUnistallInfo(d.doc);
  SetupUnistallCommon(d.doc);
  EXPECT_TRUE(Exists(dir + "relative.txt"));
  EXPECT_FALSE(Exists(dir + "own.txt"));
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\ZsListTest\\Below", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\ZsListTest\\Below");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\ZsListTest");
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "ZsListTest\\Below", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  RegDeleteKeyA(HKEY_CURRENT_USER, "ZsListTest\\Below");
  RegDeleteKeyA(HKEY_CURRENT_USER, "ZsListTest");

  // What is stored drops the entries a removal passes over and keeps the rest as they stand,
  // also what a component library wrote for its own uninstall, with its attributes and children.
  XML_Node* uninstall = XML_Find(d.doc, nullptr, u"UNINSTALL", XML_OPEN_EXISTING);
  XML_Node* common = XML_FindChild(d.doc, uninstall, u"COMMON", XML_OPEN_EXISTING);
  XML_Node* service = XML_AddElement(common, u"SERVICE");
  XML_SetAttributeA(d.doc, service, u"NAME", "zrvscan");
  XML_SetAttributeA(d.doc, service, u"START", "2");
  XML_AddElement(service, u"DEPENDS");
  XML_SetAttributeA(d.doc, AddEntry(d, u"UNINSTALL", u"FILE", "C:\\own\\b.txt"), u"OWNER", "c.dll");
  ASSERT_EQ(SetupKeepRemovableEntries(d.doc, uninstall), 1);
  ASSERT_EQ(XML_CountElements(common), 3);
  char name[MAX_PATH];
  int size = sizeof name;
  XML_Node* kept = XML_GetChildAt(common, 0);
  EXPECT_EQ(XML_GetAttributeA(d.doc, kept, u"NAME", name, &size), 0);
  EXPECT_EQ(SetupListKindOf(kept->name), LIST_FILE);
  EXPECT_EQ(name[1], ':');
  EXPECT_EQ(XML_GetChildAt(common, 1), service);
  EXPECT_EQ(XML_CountAttributes(service), 2);
  EXPECT_EQ(XML_CountElements(service), 1);
  size = sizeof name;
  EXPECT_EQ(XML_GetAttributeA(d.doc, XML_GetChildAt(common, 2), u"OWNER", name, &size), 0);
}

TEST(Commit, NothingIsScheduledWhenAWaitingFileIsMissing) {
  std::string dir = ScratchDir("commit");
  WriteText(dir + "a.dll", "old a");
  WriteText(dir + "_.d00", "new a");
  Doc d;
  XML_Node* files =
      XML_Find(d.doc, nullptr, u"PACKAGE\\COMPONENTS\\COMPONENT\\FILES", XML_OPEN_ALWAYS);
  const char* rows[][2] = {{"a.dll", "_.d00"}, {"b.dll", "_.d01"}};
  for (auto& row : rows) {
    XML_Node* f = XML_AddElement(files, u"FILE");
    XML_SetAttributeA(d.doc, f, u"TARGET", (dir + row[0]).c_str());
    XML_SetAttributeA(d.doc, f, u"STATUS", "PREPARED");
    XML_SetAttributeA(d.doc, f, u"TMP_NAME", (dir + row[1]).c_str());
  }
  EXPECT_EQ(SetupCommitChanges(d.doc), 0);
  EXPECT_FALSE(zs_test::IsPending(dir + "a.dll"));
  WriteText(dir + "_.d01", "new b");
  EXPECT_EQ(SetupCommitChanges(d.doc), 1);
  EXPECT_TRUE(zs_test::IsPending(dir + "a.dll"));
  EXPECT_TRUE(zs_test::IsPending(dir + "b.dll"));
}

TEST(Rollback, CreatedFoldersGoDeepestFirst) {
  std::string dir = ScratchDir("rollback");
  Doc d;
  XML_Node* files =
      XML_Find(d.doc, nullptr, u"PACKAGE\\COMPONENTS\\COMPONENT\\FILES", XML_OPEN_ALWAYS);
  for (const char* sub : {"A", "A\\B", "A\\B\\C"}) {
    CreateDirectoryA((dir + sub).c_str(), nullptr);
    XML_Node* e = XML_AddElement(files, u"DIR");
    XML_SetAttributeA(d.doc, e, u"TARGET", (dir + sub).c_str());
    XML_SetAttributeA(d.doc, e, u"STATUS", "CREATED");
  }
  SetupRollbackFiles(d.doc);
  EXPECT_FALSE(Exists(dir + "A"));
}

namespace {

// Wine never marks a file encrypted: here every copied file counts as encrypted, as in an
// encrypting folder on Windows, and the thread that resolves the decryption entry is noted.
DWORD g_resolvedOn = 0;
int g_resolutions = 0;
int AllEncrypted(const char*) { return 1; }
void Resolved() {
  g_resolvedOn = GetCurrentThreadId();
  ++g_resolutions;
}

}  // namespace

TEST(CopyFiles, DecryptionIsResolvedBeforeTheWorkersStart) {
  std::string dir = ScratchDir("decrypt");
  CreateDirectoryA((dir + "src").c_str(), nullptr);
  Doc d;
  XML_Node* setup = XML_Find(d.doc, nullptr, u"PACKAGE\\SETUP", XML_OPEN_ALWAYS);
  XML_SetAttributeA(d.doc, setup, u"INSTALLPATH", (dir + "inst\\").c_str());
  XML_Node* files =
      XML_Find(d.doc, nullptr, u"PACKAGE\\COMPONENTS\\COMPONENT\\FILES", XML_OPEN_ALWAYS);
  XML_SetAttributeA(d.doc, files, u"SETUPDIR", (dir + "src\\setupc.xml").c_str());
  XML_SetAttributeA(d.doc, XML_AddElement(files, u"DIR"), u"TARGET", "%INSTALLDIR%");
  for (int i = 0; i < 40; ++i) {
    std::string name = "f" + std::to_string(i) + ".txt";
    WriteText(dir + "src\\" + name, name);
    XML_Node* f = XML_AddElement(files, u"FILE");
    XML_SetAttributeA(d.doc, f, u"SOURCE", name.c_str());
    XML_SetAttributeA(d.doc, f, u"TARGET", ("%INSTALLDIR%\\" + name).c_str());
  }
  static const FileDecryptHooks hooks = {AllEncrypted, Resolved};
  FileSetDecryptHooks(&hooks);
  SetEnvironmentVariableA("ZS_WORKERS", "2");
  EXPECT_EQ(SetupCopyFiles(d.doc), 1);
  SetEnvironmentVariableA("ZS_WORKERS", nullptr);
  FileSetDecryptHooks(nullptr);
  EXPECT_TRUE(Exists(dir + "inst\\f39.txt"));
  EXPECT_EQ(g_resolutions, 1);
  EXPECT_EQ(g_resolvedOn, GetCurrentThreadId());
}

// A journal line per folder, however many files it gets, and none about files of a folder that is
// not there yet; files where they were there before are marked to have their alternates taken back.
TEST(Journal, EachFolderOnceAndFilesMarkedAsFound) {
  std::string dir = ScratchDir("journal");
  WriteText(dir + "old.dll", "x");
  SetupJournalLines lines;
  lines.Folder((dir + "new\\a\\").c_str());
  for (const char* name :
       {"new\\a\\1.dat", "new\\a\\b\\2.dat", "new\\a\\3.dat", "old.dll", "free.dll"}) {
    lines.File((dir + name).c_str());
  }
  EXPECT_EQ(std::string(lines.text, lines.length),
            "D " + dir + "new\r\n" + "D " + dir + "new\\a\r\n" + "F " + dir + "new\\a\\1.dat\r\n" +
                "D " + dir + "new\\a\\b\r\n" + "F " + dir + "new\\a\\b\\2.dat\r\n" + "F " + dir +
                "new\\a\\3.dat\r\n" + "A " + dir + "old.dll\r\n" + "F " + dir + "free.dll\r\n");
}
