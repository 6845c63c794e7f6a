// Document files: opening, sharing, writing back on close and never writing read-only ones.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "system/hook.h"
#include "xml/xml.h"
#include "xml/xml_test_util.h"

using namespace xmltest;

namespace {

const char kHeader[] = "<?xml version=\"1.0\"?>\n";

// A scratch folder of its own for each test, removed with what it holds.
class XmlFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    dir_ = std::string(temp) + "xmlfile" + std::to_string(GetCurrentProcessId()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir_ + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do DeleteFileA((dir_ + "\\" + data.cFileName).c_str());
      while (FindNextFileA(find, &data));
      FindClose(find);
    }
    RemoveDirectoryA(dir_.c_str());
  }
  std::string Path(const char* name) const { return dir_ + "\\" + name; }

  static void Write(const std::string& path, const std::string& text) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    CloseHandle(h);
  }
  static std::string Read(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<unreadable>";
    std::string text(GetFileSize(h, nullptr), '\0');
    DWORD read = 0;
    if (!text.empty()) ReadFile(h, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(h);
    return text;
  }

  std::string dir_;
};

TEST_F(XmlFile, MissingFile) {
  std::string path = Path("missing.xml");
  EXPECT_EQ(XML_Open(path.c_str(), 0), nullptr);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(doc->source.length, 0u);
  EXPECT_EQ(XML_OpenDocument(doc), 1);
  EXPECT_EQ(XML_GetRoot(doc), nullptr);
  // A document that did not parse is not written back: the file stays as created, empty.
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), "");
}

TEST_F(XmlFile, MalformedFileIsNeverOverwritten) {
  std::string path = Path("bad.xml");
  const std::string text = "<A x=\"1\"><B y=\"2\"></B><C z=\"unterminated></A>";
  Write(path, text);
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(XML_OpenDocument(doc), 1);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), text);
}

TEST_F(XmlFile, UnparsedDocumentLeavesItsFileAlone) {
  std::string path = Path("intact.xml");
  const std::string text = "<A x=\"1\"/>";
  Write(path, text);
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), text);
  // A root the caller makes replaces the text on purpose.
  doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_NE(XML_CreateRoot(doc, u"B"), nullptr);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), std::string(kHeader) + "<B>\n</B>\n");
  // A new file is written back as before: the header alone.
  std::string fresh = Path("new.xml");
  doc = XML_Open(fresh.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(fresh), kHeader);
}

TEST_F(XmlFile, ReadOnlyDocument) {
  std::string path = Path("ro.xml");
  const std::string text = "<A x=\"1\"><B y=\"&amp;\"/ ></A>";
  Write(path, text);
  XML_Document* doc = XML_Open(path.c_str(), 0);
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->writable, 0);
  EXPECT_EQ(doc->values.data, nullptr);
  EXPECT_EQ(doc->source.owned, 1);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  XML_Node* root = XML_GetRoot(doc);
  EXPECT_EQ(Attr(doc, root, u"x"), u"1");
  EXPECT_EQ(Attr(doc, XML_GetChildAt(root, 1), u"y"), u"&");
  // It can be changed in part, and is never saved.
  EXPECT_EQ(XML_SetAttribute(doc, root, u"x", u"2"), 1);
  EXPECT_NE(XML_AddElement(root, u"NEW"), nullptr);
  DocPtr other = NewDoc();
  XML_Node* source = XML_CreateRoot(other.get(), u"S");
  ASSERT_EQ(XML_SetAttribute(other.get(), source, u"k", u"v"), 0);
  EXPECT_EQ(XML_CopyElement(doc, root, u"C", other.get(), source, XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), text);
}

TEST_F(XmlFile, WritableDocumentIsNormalisedOnClose) {
  std::string path = Path("norm.xml");
  Write(path, "<A x=\"1\"/>");
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), std::string(kHeader) + "<A x=\"1\" />\n");
}

TEST_F(XmlFile, ChangesAreWrittenBackAndReadAgain) {
  std::string path = Path("change.xml");
  Write(path, "<ZORVASETUP><PACKAGE NAME=\"old\" /></ZORVASETUP>");
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  XML_Node* package = XML_Find(doc, nullptr, u"PACKAGE", XML_OPEN_EXISTING);
  ASSERT_NE(package, nullptr);
  ASSERT_EQ(XML_SetAttribute(doc, package, u"NAME", u"caf\u00e9 & co"), 0);
  ASSERT_NE(XML_Find(doc, nullptr, u"UNINSTALL\\COMMON", XML_OPEN_ALWAYS), nullptr);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), std::string(kHeader) +
                            "<ZORVASETUP>\n"
                            " <PACKAGE NAME=\"caf&#x00E9; &amp; co\" />\n"
                            " <UNINSTALL>\n"
                            "  <COMMON>\n"
                            "  </COMMON>\n"
                            " </UNINSTALL>\n"
                            "</ZORVASETUP>\n");
  doc = XML_Open(path.c_str(), 0);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  EXPECT_EQ(Attr(doc, XML_Find(doc, nullptr, u"PACKAGE", XML_OPEN_EXISTING), u"NAME"),
            u"caf\u00e9 & co");
  XML_Close(doc);
}

TEST_F(XmlFile, ShorterTextTruncatesTheFile) {
  std::string path = Path("trunc.xml");
  std::string longText = "<A>";
  for (int i = 0; i < 500; ++i) longText += "<ITEM NAME=\"item" + std::to_string(i) + "\" />";
  longText += "</A>";
  Write(path, longText);
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  XML_DeleteChildren(XML_GetRoot(doc));
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), std::string(kHeader) + "<A>\n</A>\n");
}

TEST_F(XmlFile, SerialisedByTheCallerIsNotWritten) {
  std::string path = Path("saved.xml");
  const std::string text = "<A x=\"1\"/>";
  Write(path, text);
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  ASSERT_EQ(XML_SetAttribute(doc, XML_GetRoot(doc), u"x", u"2"), 0);
  int size = 0;
  EXPECT_EQ(XML_Serialize(doc, XML_GetRoot(doc), nullptr, &size), 2);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), text);
}

TEST_F(XmlFile, FailedWriteBackReportsOneAndKeepsTheFile) {
  std::string path = Path("bad.xml");
  const std::string text = "<A x=\"&bogus;\" />";
  Write(path, text);
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  EXPECT_EQ(XML_Close(doc), 1);
  EXPECT_EQ(Read(path), text);
  // Closing released the file: it opens again for writing.
  doc = XML_Open(path.c_str(), 1);
  EXPECT_NE(doc, nullptr);
  XML_Close(doc);
}

// A disk that fills up half way through the next write: it stores half of its bytes and fails.
// What fitted before fits again.
bool g_full = false;
DWORD FillUp(const SysChange* change) {
  if (!g_full || change->kind != SYS_FILE_WRITE || change->data == nullptr) return ERROR_SUCCESS;
  g_full = false;
  DWORD written = 0;
  WriteFile(change->file, change->data, change->size / 2, &written, nullptr);
  if (change->written != nullptr) *change->written = written;
  return ERROR_DISK_FULL;
}

TEST_F(XmlFile, AWriteBackThatFailsHalfWayPutsTheTextBack) {
  std::string path = Path("full.xml");
  const std::string text = "<A x=\"1\"/>";
  Write(path, text);
  XML_Document* doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  ASSERT_EQ(XML_SetAttribute(doc, XML_GetRoot(doc), u"y", u"a longer text than the old one"), 0);
  g_full = true;
  ASSERT_EQ(SysAddChangeObserver(FillUp), 1);
  EXPECT_EQ(XML_Save(doc), 1);
  SysRemoveChangeObserver(FillUp);
  EXPECT_EQ(Read(path), text);
  // Closing it then writes nothing more: the caller undoes what the text would have recorded.
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_EQ(Read(path), text);
  // Saved, a document stays readable, and later changes are not written.
  doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  ASSERT_EQ(XML_SetAttribute(doc, XML_GetRoot(doc), u"y", u"saved"), 0);
  EXPECT_EQ(XML_Save(doc), 0);
  ASSERT_EQ(XML_SetAttribute(doc, XML_GetRoot(doc), u"z", u"after"), 0);
  EXPECT_EQ(XML_Close(doc), 0);
  EXPECT_NE(Read(path).find("saved"), std::string::npos);
  EXPECT_EQ(Read(path).find("after"), std::string::npos);
}

TEST_F(XmlFile, WritableDocumentIsExclusive) {
  std::string path = Path("share.xml");
  Write(path, "<A />");
  XML_Document* writer = XML_Open(path.c_str(), 1);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(XML_Open(path.c_str(), 1), nullptr);
  EXPECT_EQ(XML_Open(path.c_str(), 0), nullptr);
  // Other programs may read it but not write it.
  HANDLE other = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  EXPECT_EQ(XML_Close(writer), 0);
  XML_Document* again = XML_Open(path.c_str(), 0);
  EXPECT_NE(again, nullptr);
  XML_Close(again);
}

TEST_F(XmlFile, ReadOnlyDocumentsCoexistAndBlockWriters) {
  std::string path = Path("readers.xml");
  Write(path, "<A />");
  XML_Document* first = XML_Open(path.c_str(), 0);
  XML_Document* second = XML_Open(path.c_str(), 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(XML_OpenDocument(first), XML_ELEMENT);
  EXPECT_EQ(XML_OpenDocument(second), XML_ELEMENT);
  EXPECT_EQ(XML_Open(path.c_str(), 1), nullptr);
  XML_Close(first);
  EXPECT_EQ(XML_Open(path.c_str(), 1), nullptr);
  XML_Close(second);
  XML_Document* writer = XML_Open(path.c_str(), 1);
  EXPECT_NE(writer, nullptr);
  XML_Close(writer);
}

}  // namespace
