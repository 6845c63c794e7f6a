#include "settings/oldsettings.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "system/guards.h"
#include "system/registry.h"
#include "xml/encode.h"

namespace {

const char kProduct[] = "Software\\Vesk\\Zrv\\CurrentVersion";

// Starts every test from a machine without the product.
class OldSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Vesk"); }
  void TearDown() override { RegDeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Vesk"); }

  HKEY Open(const char* sub) {
    std::string path = std::string(kProduct) + (sub[0] ? "\\" : "") + sub;
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | KEY_WRITE, &k));
    return k;
  }
  void Dword(const char* sub, const char* name, DWORD value) {
    KeyGuard k;
    k.key = Open(sub);
    ASSERT_EQ(1, RegWriteDword(k.key, name, value));
  }
  void String(const char* sub, const char* name, const std::string& value) {
    KeyGuard k;
    k.key = Open(sub);
    ASSERT_EQ(1, RegWriteString(k.key, name, value.c_str()));
  }
};

void ExpectDefaults(const OldSettings& s, bool lockToo) {
  if (lockToo) {
    EXPECT_EQ(0u, s.LockSettings);
    EXPECT_EQ(0xFFFFFFFFu, s.LockPassword);
  }
  EXPECT_EQ(0u, s.CfgTimeStamp);
  EXPECT_EQ(0u, s.Use_SMTP);
  EXPECT_STREQ("", s.SMTP_Server);
  EXPECT_EQ(60u, s.Winpopup_Timeout);
  EXPECT_EQ(1u, s.GraphicMode);
  EXPECT_EQ(0u, s.SilentMode);
  EXPECT_STREQ("c:\\Program Files\\Vesk\\infected", s.QuarantineDirectory);
}

TEST(OldSettingsTable, DescribesEveryFieldInOrder) {
  uint32_t expectedOffset = 0;
  int rows = 0;
  for (const OldSettingDesc* row = kOldSettingsTable; row->kind != OLD_KIND_END; ++row, ++rows) {
    EXPECT_EQ(expectedOffset, row->offset) << row->name;
    expectedOffset += row->size;
  }
  EXPECT_EQ(18, rows);
  EXPECT_EQ(sizeof(OldSettings), expectedOffset);
  EXPECT_STREQ("QuarantineDirectory", kOldSettingsTable[17].name);
  EXPECT_EQ(1024u, kOldSettingsTable[10].size);
}

TEST_F(OldSettingsTest, ClearAppliesEveryDefault) {
  OldSettings s;
  memset(&s, 0xAB, sizeof s);
  ClearOldSettings(&s);
  ExpectDefaults(s, true);
  // Every byte behind a text's terminator is zero.
  EXPECT_EQ(0, s.SMTP_Server[255]);
  EXPECT_EQ(0, s.QuarantineDirectory[259]);
}

TEST_F(OldSettingsTest, NoProductGivesTheDefaults) {
  OldSettings s;
  memset(&s, 0xAB, sizeof s);
  EXPECT_EQ(1, ReadOldSettings(&s, 1));
  ExpectDefaults(s, true);
}

TEST_F(OldSettingsTest, ProductWithoutSettingsKeyFails) {
  KeyGuard k;
  k.key = Open("");
  OldSettings s;
  EXPECT_EQ(0, ReadOldSettings(&s, 1));
  ExpectDefaults(s, true);
}

TEST_F(OldSettingsTest, MissingSettingsKeyStillReadsTheLock) {
  Dword("Info", "PackageID", 0x00015A5Au);
  OldSettings s;
  EXPECT_EQ(0, ReadOldSettings(&s, 1));  // the settings themselves could not be read
  EXPECT_EQ(1u, s.LockSettings);
  EXPECT_EQ(0x5A5Au, s.LockPassword);
  ExpectDefaults(s, false);
}

TEST_F(OldSettingsTest, ReadsValuesAndKeepsDefaultsForWhatDoesNotFit) {
  String("Common", "SMTP_Server", std::string(300, 's'));  // does not fit 256 bytes
  String("Common", "SMTP_Address_Sender", "me@example.org");
  Dword("Common", "Winpopup_Timeout", 5);
  String("Common", "GraphicMode", "0");  // wrong type
  Dword("Common", "LockSettings", 1);    // never read from here
  Dword("Common", "LockPassword", 0x1234);
  String("Common", "QuarantineDirectory", "D:\\Q");
  OldSettings s;
  EXPECT_EQ(0, ReadOldSettings(&s, 1));
  EXPECT_STREQ("", s.SMTP_Server);
  EXPECT_STREQ("me@example.org", s.SMTP_Address_Sender);
  EXPECT_EQ(5u, s.Winpopup_Timeout);
  EXPECT_EQ(1u, s.GraphicMode);
  EXPECT_STREQ("D:\\Q", s.QuarantineDirectory);
  EXPECT_EQ(0u, s.LockSettings);
  EXPECT_EQ(0xFFFFFFFFu, s.LockPassword);
}

TEST_F(OldSettingsTest, EveryValuePresentReadsWhole) {
  for (const OldSettingDesc* row = kOldSettingsTable; row->kind != OLD_KIND_END; ++row) {
    if (row->kind == OLD_KIND_DWORD) {
      Dword("Common", row->name, 7);
    } else {
      String("Common", row->name, "v");
    }
  }
  OldSettings s;
  EXPECT_EQ(1, ReadOldSettings(&s, 1));
  EXPECT_EQ(7u, s.Winpopup_Timeout);
  EXPECT_EQ(7u, s.CfgTimeStamp);
  EXPECT_STREQ("v", s.Msg_Format_Error);
  EXPECT_EQ(0u, s.LockSettings);  // the lock stays at its default without a PackageID
}

TEST_F(OldSettingsTest, PackageIdCarriesTheLock) {
  KeyGuard k;
  k.key = Open("Common");
  OldSettings s;
  Dword("Info", "PackageID", 0xABCD1234u);
  ReadOldSettings(&s, 1);
  EXPECT_EQ(1u, s.LockSettings);
  EXPECT_EQ(0x1234u, s.LockPassword);

  Dword("Info", "PackageID", PACKAGE_ID_UNLOCKED);
  s.LockSettings = 1;
  s.LockPassword = 5;
  ReadOldSettings(&s, 0);
  EXPECT_EQ(0u, s.LockSettings);
  EXPECT_EQ(0xFFFFFFFFu, s.LockPassword);

  Dword("Info", "PackageID", 0);
  ReadOldSettings(&s, 1);
  EXPECT_EQ(1u, s.LockSettings);
  EXPECT_EQ(0u, s.LockPassword);

  // A PackageID of the wrong type keeps what the fields had.
  String("Info", "PackageID", "1");
  s.LockSettings = 9;
  s.LockPassword = 9;
  ReadOldSettings(&s, 0);
  EXPECT_EQ(9u, s.LockSettings);
  EXPECT_EQ(9u, s.LockPassword);
}

TEST_F(OldSettingsTest, WithoutDefaultsMissingValuesKeepTheCallersFields) {
  KeyGuard k;
  k.key = Open("Common");
  Dword("Common", "Use_SMTP", 1);
  OldSettings s;
  memset(&s, 0, sizeof s);
  s.Winpopup_Timeout = 99;
  strcpy(s.SMTP_Server, "mine");
  EXPECT_EQ(0, ReadOldSettings(&s, 0));
  EXPECT_EQ(1u, s.Use_SMTP);
  EXPECT_EQ(99u, s.Winpopup_Timeout);
  EXPECT_STREQ("mine", s.SMTP_Server);
}

TEST_F(OldSettingsTest, ReadSettingValuesReadsTheSelectedGroupsWithEveryKind) {
  // A table of its own with the kinds the product's table does not use.
  struct Record {
    uint32_t number;
    char text[8];
    unsigned char block[4];
    char secret[16];
  };
  static const unsigned char kBlockDefault[4] = {9, 9, 9, 9};
  const OldSettingDesc table[] = {
      {OLD_KIND_DWORD, offsetof(Record, number), 4, "number", 3, nullptr, 1},
      {OLD_KIND_STRING, offsetof(Record, text), 8, "text", 0, "dflt", 2},
      {OLD_KIND_BINARY, offsetof(Record, block), 4, "block", 0, kBlockDefault, 2},
      {OLD_KIND_PROTECTED, offsetof(Record, secret), 16, "secret", 0, nullptr, 4},
      {OLD_KIND_END, 0, 0, nullptr, 0, nullptr, 0},
  };
  KeyGuard k;
  k.key = Open("Common");
  RegWriteDword(k.key, "number", 42);
  RegWriteString(k.key, "text", "abc");
  RegWriteValue(k.key, "block", REG_BINARY, "\x01\x02\x03\x04", 4);
  unsigned char secret[6] = {'p', 0, 'w', 0, '!', 0};
  ScrambleBuffer(secret, 0, 6);
  RegWriteValue(k.key, "secret", REG_BINARY, secret, 6);

  Record r;
  memset(&r, 0, sizeof r);
  EXPECT_EQ(1, ReadSettingValues(k.key, reinterpret_cast<OldSettings*>(&r), table, 2));
  EXPECT_EQ(0u, r.number);  // group 1 not selected
  EXPECT_STREQ("abc", r.text);
  EXPECT_EQ(0, memcmp("\x01\x02\x03\x04", r.block, 4));
  EXPECT_STREQ("", r.secret);
  EXPECT_EQ(1, ReadSettingValues(k.key, reinterpret_cast<OldSettings*>(&r), table, 0xFFFFFFFFu));
  EXPECT_EQ(42u, r.number);
  EXPECT_STREQ("pw!", r.secret);
  RegDeleteValueA(k.key, "text");
  EXPECT_EQ(0, ReadSettingValues(k.key, reinterpret_cast<OldSettings*>(&r), table, 0xFFFFFFFFu));
  EXPECT_STREQ("abc", r.text);
}

}  // namespace
