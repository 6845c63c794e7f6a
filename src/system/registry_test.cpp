#include "system/registry.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "system/guards.h"
#include "xml/encode.h"

namespace {

const char kBase[] = "Software\\ZsRegistryTests";

bool KeyExists(HKEY root, const std::string& path) {
  KeyGuard k;
  return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k.key) == ERROR_SUCCESS;
}

bool ValueExists(HKEY root, const std::string& path, const char* name) {
  KeyGuard k;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k.key) != ERROR_SUCCESS) return false;
  return RegQueryValueExA(k.key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// A fresh key HKCU\Software\ZsRegistryTests\<name>, open for reading and writing.
struct TestKey {
  std::string path;
  KeyGuard key;
  explicit TestKey(const char* name) : path(std::string(kBase) + "\\" + name) {
    RegDeleteKeyTree(HKEY_CURRENT_USER, path.c_str());
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                             KEY_READ | KEY_WRITE, nullptr, &key.key, nullptr));
  }
  void Set(const char* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key.key, name, 0, type, static_cast<const BYTE*>(data), size));
  }
};

TEST(RegOpenKeyByAccess, WriteAccessCreatesReadAccessOnlyOpens) {
  TestKey t("open");
  std::string deep = t.path + "\\A\\B";
  KeyGuard k;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyByAccess(HKEY_CURRENT_USER, deep.c_str(), KEY_READ, &k.key));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, t.path + "\\A"));

  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyByAccess(HKEY_CURRENT_USER, deep.c_str(), KEY_WRITE, &k.key));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, deep));
  EXPECT_EQ(1, RegWriteDword(k.key, "v", 5));
  RegCloseKey(k.key);
  k.key = nullptr;

  std::string other = t.path + "\\C\\D";
  EXPECT_EQ(ERROR_SUCCESS,
            RegOpenKeyByAccess(HKEY_CURRENT_USER, other.c_str(), KEY_READ | KEY_WRITE, &k.key));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, other));
  RegCloseKey(k.key);
  k.key = nullptr;

  // KEY_SET_VALUE alone lacks KEY_CREATE_SUB_KEY: it only opens.
  std::string third = t.path + "\\E";
  EXPECT_NE(ERROR_SUCCESS,
            RegOpenKeyByAccess(HKEY_CURRENT_USER, third.c_str(), KEY_SET_VALUE, &k.key));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, third));
}

TEST(RegReadDword, AcceptsOnlyFourByteDwords) {
  TestKey t("dword");
  DWORD four = 0x12345678;
  t.Set("dword", REG_DWORD, &four, 4);
  t.Set("binary", REG_BINARY, &four, 4);
  t.Set("string", REG_SZ, "1234", 5);
  DWORD v = 7;
  EXPECT_EQ(1, RegReadDword(t.key.key, "dword", &v));
  EXPECT_EQ(0x12345678u, v);
  v = 7;
  EXPECT_EQ(0, RegReadDword(t.key.key, "binary", &v));
  EXPECT_EQ(0, RegReadDword(t.key.key, "string", &v));
  EXPECT_EQ(0, RegReadDword(t.key.key, "missing", &v));
  EXPECT_EQ(7u, v);
}

TEST(RegReadString, ChecksTypeAndSizeAndTerminates) {
  TestKey t("string");
  t.Set("sz", REG_SZ, "hello", 6);
  t.Set("expand", REG_EXPAND_SZ, "%TEMP%\\x", 9);
  t.Set("unterminated", REG_SZ, "abcd", 4);
  DWORD n = 1;
  t.Set("dword", REG_DWORD, &n, 4);
  t.Set("empty", REG_SZ, "", 0);

  char buf[16];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(0, RegReadString(t.key.key, "dword", buf, sizeof buf));
  EXPECT_EQ(0, RegReadString(t.key.key, "missing", buf, sizeof buf));
  EXPECT_EQ(0, RegReadString(t.key.key, "sz", buf, 5));  // 6 bytes stored
  EXPECT_EQ('x', buf[0]);

  EXPECT_EQ(1, RegReadString(t.key.key, "sz", buf, 6));  // exactly the stored size
  EXPECT_STREQ("hello", buf);
  EXPECT_EQ(1, RegReadString(t.key.key, "expand", buf, sizeof buf));
  EXPECT_STREQ("%TEMP%\\x", buf);  // not expanded

  // Four bytes without a terminator: it needs a fifth byte.
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(0, RegReadString(t.key.key, "unterminated", buf, 4));
  EXPECT_EQ('x', buf[0]);
  EXPECT_EQ(1, RegReadString(t.key.key, "unterminated", buf, 5));
  EXPECT_STREQ("abcd", buf);
  EXPECT_EQ(1, RegReadString(t.key.key, "empty", buf, 1));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(0, RegReadString(t.key.key, "empty", buf, 0));
}

TEST(RegReadBinary, AcceptsBinaryThatFits) {
  TestKey t("binary");
  const unsigned char data[5] = {1, 2, 3, 4, 5};
  t.Set("bin", REG_BINARY, data, 5);
  t.Set("sz", REG_SZ, "abcd", 5);
  unsigned char buf[8];
  memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(0, RegReadBinary(t.key.key, "bin", buf, 4));
  EXPECT_EQ(0, RegReadBinary(t.key.key, "sz", buf, 8));
  EXPECT_EQ(0xEE, buf[0]);
  EXPECT_EQ(1, RegReadBinary(t.key.key, "bin", buf, 5));
  EXPECT_EQ(0, memcmp(data, buf, 5));
  EXPECT_EQ(0xEE, buf[5]);
}

// The stored form of a protected text: UTF-16 without terminator, scrambled with seed 0.
std::string Protect(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  ScrambleBuffer(&bytes[0], 0, static_cast<int>(bytes.size()));
  return bytes;
}

TEST(RegReadProtectedString, UnscramblesUpTo1023Bytes) {
  TestKey t("protected");
  std::string secret = Protect("Secret pw");
  t.Set("pw", REG_BINARY, secret.data(), static_cast<DWORD>(secret.size()));
  char out[32];
  ASSERT_EQ(1, RegReadProtectedString(t.key.key, "pw", out, sizeof out));
  EXPECT_STREQ("Secret pw", out);
  // Truncated to the out size, always terminated.
  ASSERT_EQ(1, RegReadProtectedString(t.key.key, "pw", out, 4));
  EXPECT_STREQ("Sec", out);

  // An odd stored size: the last byte is cut off by the terminator.
  std::string odd = Protect("abc");
  odd += static_cast<char>(0x55);
  t.Set("odd", REG_BINARY, odd.data(), static_cast<DWORD>(odd.size()));
  ASSERT_EQ(1, RegReadProtectedString(t.key.key, "odd", out, sizeof out));
  EXPECT_STREQ("abc", out);

  std::string text511(511, 'k');
  std::string v1022 = Protect(text511);
  std::string v1023 = v1022 + 'x';
  std::string v1024 = Protect(text511 + "k");
  t.Set("1023", REG_BINARY, v1023.data(), 1023);
  t.Set("1024", REG_BINARY, v1024.data(), 1024);
  char big[600];
  ASSERT_EQ(1, RegReadProtectedString(t.key.key, "1023", big, sizeof big));
  EXPECT_EQ(text511, big);
  strcpy(big, "untouched");
  EXPECT_EQ(0, RegReadProtectedString(t.key.key, "1024", big, sizeof big));
  EXPECT_STREQ("untouched", big);
  t.Set("sz", REG_SZ, "abc", 4);
  EXPECT_EQ(0, RegReadProtectedString(t.key.key, "sz", big, sizeof big));
  EXPECT_STREQ("untouched", big);
}

TEST(RegWrite, WritesTypedValues) {
  TestKey t("write");
  EXPECT_EQ(1, RegWriteString(t.key.key, "s", "text"));
  EXPECT_EQ(1, RegWriteDword(t.key.key, "d", 0xCAFE));
  EXPECT_EQ(1, RegWriteValue(t.key.key, "b", REG_BINARY, "\x01\x02", 2));
  char buf[8];
  EXPECT_EQ(1, RegReadString(t.key.key, "s", buf, 5));
  EXPECT_STREQ("text", buf);
  DWORD d = 0;
  EXPECT_EQ(1, RegReadDword(t.key.key, "d", &d));
  EXPECT_EQ(0xCAFEu, d);
  EXPECT_EQ(1, RegReadBinary(t.key.key, "b", buf, 2));
  EXPECT_EQ(0, memcmp("\x01\x02", buf, 2));
  KeyGuard readOnly;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_CURRENT_USER, t.path.c_str(), 0, KEY_READ, &readOnly.key));
  EXPECT_EQ(0, RegWriteDword(readOnly.key, "denied", 1));
}

TEST(RegDeleteKeyTree, DeletesThreeLevelsDeep) {
  TestKey t("tree");
  KeyGuard k;
  for (const char* sub : {"\\T\\A\\A1\\A2", "\\T\\A\\B1", "\\T\\C", "\\Keep"}) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyByAccess(HKEY_CURRENT_USER, (t.path + sub).c_str(), KEY_WRITE, &k.key));
    RegWriteDword(k.key, "v", 1);
    RegCloseKey(k.key);
    k.key = nullptr;
  }
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyTree(t.key.key, "T"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, t.path + "\\T"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, t.path + "\\Keep"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyTree(t.key.key, "T"));

  // An empty name would name the parent itself: refused, nothing deleted.
  EXPECT_NE(ERROR_SUCCESS, RegDeleteKeyTree(t.key.key, ""));
  EXPECT_NE(ERROR_SUCCESS, RegDeleteKeyTree(t.key.key, nullptr));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, t.path + "\\Keep"));
}

// Every key and value below path, as "key\\[name]=type:data" lines in the enumeration's order.
std::string Tree(const std::string& path) {
  KeyGuard k;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &k.key) != ERROR_SUCCESS) {
    return "<missing>";
  }
  std::string out;
  char name[256];
  BYTE data[256];
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
    if (RegEnumValueA(k.key, i, name, &nameSize, nullptr, &type, data, &dataSize) != 0) break;
    out += path + "\\[" + name + "]=" + std::to_string(type) + ":" +
           std::string(reinterpret_cast<char*>(data), dataSize) + "\n";
  }
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = sizeof name;
    if (RegEnumKeyExA(k.key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != 0) break;
    out += Tree(path + "\\" + name);
  }
  return out;
}

TEST(RegSaveTree, PutsBackValuesAndTakesAwayWhatCameAfter) {
  TestKey t("saved");
  t.Set("Kept", REG_SZ, "same", 5);
  t.Set("Changed", REG_DWORD, "\1\0\0\0", 4);
  t.Set("Gone", REG_BINARY, "\1\2", 2);
  KeyGuard sub;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(t.key.key, "Sub\\Deep", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &sub.key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExA(sub.key, "Leaf", 0, REG_SZ, reinterpret_cast<const BYTE*>("leaf"), 5));
  const std::string before = Tree(t.path);
  RegTree* tree = RegSaveTree(HKEY_CURRENT_USER, t.path.c_str());
  ASSERT_NE(tree, nullptr);

  t.Set("Changed", REG_SZ, "now a text", 11);
  t.Set("New", REG_SZ, "new", 4);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(t.key.key, "Gone"));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExA(sub.key, "Leaf", 0, REG_SZ, reinterpret_cast<const BYTE*>("other"), 6));
  KeyGuard made;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(t.key.key, "Made\\Below", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &made.key, nullptr));
  ASSERT_NE(before, Tree(t.path));
  EXPECT_EQ(1, RegRestoreTree(HKEY_CURRENT_USER, t.path.c_str(), tree));
  EXPECT_EQ(before, Tree(t.path));
  RegFreeTree(tree);
}

TEST(RegParseRoot, RecognisesTheShortPrefixesOnly) {
  const char* text = "hkcu\\Software\\X";
  const char* cursor = text;
  EXPECT_EQ(HKEY_CURRENT_USER, RegParseRoot(&cursor));
  EXPECT_STREQ("Software\\X", cursor);
  const struct {
    const char* text;
    HKEY key;
  } roots[] = {{"HKLM\\a", HKEY_LOCAL_MACHINE},
               {"HkCc\\a", HKEY_CURRENT_CONFIG},
               {"hkcr\\a", HKEY_CLASSES_ROOT}};
  for (const auto& r : roots) {
    cursor = r.text;
    EXPECT_EQ(r.key, RegParseRoot(&cursor));
    EXPECT_EQ(r.text + 5, cursor);
  }
  for (const char* bad : {"HKEY_CURRENT_USER\\Software", "HKCU", "HKCU/x", "", "HKU\\x"}) {
    cursor = bad;
    EXPECT_EQ(nullptr, RegParseRoot(&cursor)) << bad;
    EXPECT_EQ(bad, cursor);
  }
}

TEST(RegRemoveItem, RemovesKeysValuesAndEmptyKeys) {
  TestKey t("remove");
  std::string full = "HKCU\\" + t.path;
  KeyGuard k;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyByAccess(HKEY_CURRENT_USER, (t.path + "\\Tree\\Sub").c_str(),
                                              KEY_WRITE, &k.key));
  RegCloseKey(k.key);
  k.key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyByAccess(HKEY_CURRENT_USER, (t.path + "\\Empty").c_str(), KEY_WRITE, &k.key));
  RegCloseKey(k.key);
  k.key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyByAccess(HKEY_CURRENT_USER, (t.path + "\\Valued").c_str(),
                                              KEY_WRITE, &k.key));
  RegWriteDword(k.key, "v", 1);
  RegCloseKey(k.key);
  k.key = nullptr;
  RegWriteString(t.key.key, "Value", "x");

  // Kind 0: the key with its subtree.
  EXPECT_EQ(1, RegRemoveItem((full + "\\Tree").c_str(), REG_ITEM_KEY));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, t.path + "\\Tree"));
  EXPECT_EQ(0, RegRemoveItem((full + "\\Tree").c_str(), REG_ITEM_KEY));

  // Kind 1: one value; a missing value fails.
  EXPECT_EQ(1, RegRemoveItem((full + "\\Value").c_str(), REG_ITEM_VALUE));
  EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, t.path, "Value"));
  EXPECT_EQ(0, RegRemoveItem((full + "\\Value").c_str(), REG_ITEM_VALUE));

  // Kind 2: only an empty key goes; a missing one is nothing to do.
  EXPECT_EQ(0, RegRemoveItem((full + "\\Valued").c_str(), REG_ITEM_KEY_IF_EMPTY));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, t.path + "\\Valued"));
  EXPECT_EQ(1, RegRemoveItem((full + "\\Empty").c_str(), REG_ITEM_KEY_IF_EMPTY));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, t.path + "\\Empty"));
  EXPECT_EQ(1, RegRemoveItem((full + "\\Missing").c_str(), REG_ITEM_KEY_IF_EMPTY));
  // A key with only a subkey stays too.
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyByAccess(HKEY_CURRENT_USER, (t.path + "\\P\\C").c_str(), KEY_WRITE, &k.key));
  RegCloseKey(k.key);
  k.key = nullptr;
  EXPECT_EQ(0, RegRemoveItem((full + "\\P").c_str(), REG_ITEM_KEY_IF_EMPTY));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, t.path + "\\P\\C"));

  // Unknown kinds do nothing and succeed; the key above the item is never created.
  EXPECT_EQ(1, RegRemoveItem((full + "\\Valued").c_str(), 7));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, t.path + "\\Valued"));
  EXPECT_EQ(0, RegRemoveItem((full + "\\NoSuchKey\\Item").c_str(), REG_ITEM_VALUE));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, t.path + "\\NoSuchKey"));
}

TEST(RegRemoveItem, ItemsDirectlyUnderARootAndMalformedPaths) {
  ASSERT_EQ(1, RegWriteString(HKEY_CURRENT_USER, "ZsRootValue", "x"));
  EXPECT_EQ(1, RegRemoveItem("HKCU\\ZsRootValue", REG_ITEM_VALUE));
  EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, "", "ZsRootValue"));

  KeyGuard k;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyByAccess(HKEY_CURRENT_USER, "ZsRootKey\\Child", KEY_WRITE, &k.key));
  RegCloseKey(k.key);
  k.key = nullptr;
  EXPECT_EQ(1, RegRemoveItem("hkcu\\ZsRootKey", REG_ITEM_KEY));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "ZsRootKey"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));

  EXPECT_EQ(0, RegRemoveItem("HKCU\\", REG_ITEM_KEY));
  EXPECT_EQ(0, RegRemoveItem("HKCU\\Software\\", REG_ITEM_KEY));
  EXPECT_EQ(0, RegRemoveItem("NoBackslash", REG_ITEM_KEY));
  EXPECT_EQ(0, RegRemoveItem("HKEY_CURRENT_USER\\Software\\X", REG_ITEM_KEY));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));

  // A path longer than the buffer would be cut into another item: refused.
  std::string longPath = "HKCU\\Software\\" + std::string(300, 'z');
  EXPECT_EQ(0, RegRemoveItem(longPath.c_str(), REG_ITEM_KEY));
}

TEST(RegProduct, InstallDirAndProductKey) {
  RegDeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Vesk");
  char dir[MAX_PATH] = "stale";
  EXPECT_EQ(0, RegProductKeyExists());
  EXPECT_EQ(0, RegGetInstallDir(dir, MAX_PATH));
  EXPECT_STREQ("", dir);

  KeyGuard k;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyByAccess(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vesk\\ZRV\\CurrentVersion\\Info",
                               KEY_WRITE, &k.key));
  EXPECT_EQ(1, RegProductKeyExists());
  ASSERT_EQ(1, RegWriteString(k.key, "InstallDir", ""));
  strcpy(dir, "stale");
  EXPECT_EQ(0, RegGetInstallDir(dir, MAX_PATH));
  EXPECT_STREQ("", dir);

  ASSERT_EQ(1, RegWriteString(k.key, "InstallDir", "C:\\Program Files\\Vesk\\"));
  EXPECT_EQ(1, RegGetInstallDir(dir, MAX_PATH));
  EXPECT_STREQ("C:\\Program Files\\Vesk\\", dir);
  // Too long for the buffer: nothing read, the buffer stays empty.
  EXPECT_EQ(0, RegGetInstallDir(dir, 10));
  EXPECT_STREQ("", dir);
  RegCloseKey(k.key);
  k.key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Vesk"));
  EXPECT_EQ(0, RegProductKeyExists());
}

}  // namespace
