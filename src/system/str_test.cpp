#include "system/str.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "system/strtable.h"

namespace {

TEST(StrCopyN, CopiesTruncatesAndIgnoresNonPositiveSizes) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  StrCopyN(buf, "abc", sizeof buf);
  EXPECT_STREQ("abc", buf);

  StrCopyN(buf, "abcdefghijk", sizeof buf);
  EXPECT_STREQ("abcdefg", buf);  // size - 1 bytes, then the terminator

  memset(buf, 'x', sizeof buf);
  StrCopyN(buf, "abc", 0);
  StrCopyN(buf, "abc", -5);
  EXPECT_EQ(std::string(8, 'x'), std::string(buf, 8));

  StrCopyN(buf, "abc", 1);
  EXPECT_EQ('\0', buf[0]);
  EXPECT_EQ('x', buf[1]);
}

TEST(StrAppendN, AppendsWhatFitsAndAlwaysTerminates) {
  char buf[8] = "ab";
  StrAppendN(buf, "cd", sizeof buf);
  EXPECT_STREQ("abcd", buf);
  StrAppendN(buf, "efghij", sizeof buf);
  EXPECT_STREQ("abcdefg", buf);
  StrAppendN(buf, "zz", sizeof buf);  // full: unchanged
  EXPECT_STREQ("abcdefg", buf);

  char small[4] = "ab";
  StrAppendN(small, "cd", 0);
  StrAppendN(small, "cd", -1);
  EXPECT_STREQ("ab", small);

  // A destination that is not terminated within its size is terminated, never overrun.
  char raw[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
  StrAppendN(raw, "x", 4);
  EXPECT_EQ('\0', raw[3]);
  EXPECT_EQ('e', raw[4]);
}

TEST(StrReplaceAll, CountsRescansAndStopsWhenAReplacementWouldNotFit) {
  char buf[32] = "a-b-c";
  EXPECT_EQ(2, StrReplaceAll(buf, sizeof buf, "-", "+"));
  EXPECT_STREQ("a+b+c", buf);

  // Rescanning finds occurrences made by a replacement joining its neighbours.
  char chain[32] = "aaab";
  EXPECT_EQ(3, StrReplaceAll(chain, sizeof chain, "ab", "b"));
  EXPECT_STREQ("b", chain);

  // The second replacement does not fit: 0, and the first stays.
  char tight[10] = "x-x-";
  EXPECT_EQ(0, StrReplaceAll(tight, sizeof tight, "-", "===="));
  EXPECT_STREQ("x====x-", tight);

  // Exactly filling the buffer fits.
  char exact[6] = "ab";
  EXPECT_EQ(1, StrReplaceAll(exact, sizeof exact, "b", "WXYZ"));
  EXPECT_STREQ("aWXYZ", exact);

  char none[8] = "abc";
  EXPECT_EQ(0, StrReplaceAll(none, sizeof none, "z", "y"));
  EXPECT_EQ(0, StrReplaceAll(none, 0, "a", "y"));
  EXPECT_EQ(0, StrReplaceAll(none, sizeof none, "", "y"));
  EXPECT_EQ(0, StrReplaceAll(none, sizeof none, "a", "xa"));  // would never end
  EXPECT_STREQ("abc", none);
}

TEST(AddBackslash, AddsOnlyToNonEmptyPathsThatLackOneAndFit) {
  char p[8] = "C:\\a";
  AddBackslash(p, sizeof p);
  EXPECT_STREQ("C:\\a\\", p);
  AddBackslash(p, sizeof p);
  EXPECT_STREQ("C:\\a\\", p);

  char empty[4] = "";
  AddBackslash(empty, sizeof empty);
  EXPECT_STREQ("", empty);

  char full[4] = "abc";
  AddBackslash(full, sizeof full);
  EXPECT_STREQ("abc", full);
  AddBackslash(full, 0);
  EXPECT_STREQ("abc", full);
}

TEST(StrIsFolderBelowRoot, TakesOnlyFoldersThatNameWhatTheyShow) {
  for (const char* good : {"C:\\Data", "c:\\Program Files\\Vesk\\", "\\\\srv\\share\\a b\\c",
                           "D:\\a.b\\.c", "C:\\ x"}) {
    EXPECT_EQ(1, StrIsFolderBelowRoot(good)) << good;
  }
  for (const char* bad : {"C:\\", "C:\\x\\..", "C:\\x\\..\\", "C:\\.\\x", "C:\\x\\...\\y", "C:\\x.",
                          "C:\\x \\y", "C:\\x\\\\y", "C:x", "x\\y", "\\\\srv\\share\\", "C:\\a|b",
                          "C:\\a\\b:c", "C:\\a/b", "C:\\a\tb", ""}) {
    EXPECT_EQ(0, StrIsFolderBelowRoot(bad)) << bad;
  }
}

TEST(StrIsPlainFileName, RefusesPathsDevicesAndNamesTheSystemWouldChange) {
  for (const char* good : {"a.txt", "console.txt", "COM10", "LPT", "nul_x", "auxiliary.dat",
                           "con-1.log", "CLOCK", ".hidden", "a b.c", "COMA.dll"}) {
    EXPECT_EQ(1, StrIsPlainFileName(good)) << good;
  }
  for (const char* bad :
       {"",         ".",      "..",        "a\\b",     "a/b",     "c:x",     "x.",
        "x ",       "x. .",   "CON",       "con",      "Prn.txt", "AUX.txt", "nul.tar.gz",
        "NUL .txt", "nul.",   "COM1",      "com9.log", "LPT1",    "lpt0",    "COM\xB9",
        "clock$",   "CONIN$", "conout$.x", "Com1  "}) {
    EXPECT_EQ(0, StrIsPlainFileName(bad)) << bad;
  }
}

TEST(WideAnsi, RoundTripsAsciiAndTruncatesWithTerminator) {
  wchar16 wide[8];
  EXPECT_EQ(5, AnsiToWide(wide, "hello", 8));
  EXPECT_EQ(u'h', wide[0]);
  EXPECT_EQ(0, wide[5]);
  char narrow[8];
  EXPECT_EQ(5, WideToAnsi(narrow, wide, 8));
  EXPECT_STREQ("hello", narrow);

  EXPECT_EQ(3, AnsiToWide(wide, "abcdefgh", 4));
  EXPECT_EQ(0, wide[3]);
  EXPECT_EQ(3, WideToAnsi(narrow, u"abcdefgh", 4));
  EXPECT_STREQ("abc", narrow);

  narrow[0] = 'q';
  EXPECT_EQ(0, WideToAnsi(narrow, u"abc", 0));
  EXPECT_EQ('q', narrow[0]);
  EXPECT_EQ(0, WideToAnsi(narrow, u"", 8));
  EXPECT_STREQ("", narrow);
  EXPECT_EQ(size_t{3}, Str16Len(u"abc"));
}

}  // namespace

// Thousands of texts, as a big package's folders are: every one is found with its own number
// after the table has grown many times, a number can be replaced, and an unknown text or one that
// differs only in case has none.
TEST(StrTable, KeepsEveryTextThroughGrowth) {
  StrTable table;
  EXPECT_EQ(-1, table.Find("C:\\a"));
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(table.Set(("C:\\Program Files\\Vesk\\f" + std::to_string(i)).c_str(), i));
  }
  ASSERT_TRUE(table.Set("C:\\Program Files\\Vesk\\f7", 0));
  for (int i = 0; i < 5000; ++i) {
    EXPECT_EQ(i == 7 ? 0 : i,
              table.Find(("C:\\Program Files\\Vesk\\f" + std::to_string(i)).c_str()))
        << i;
  }
  EXPECT_EQ(-1, table.Find("C:\\Program Files\\Vesk\\f5000"));
  EXPECT_EQ(-1, table.Find("C:\\PROGRAM FILES\\Vesk\\f1"));
}
