// The command-line scanner: values, flags, variables and the password check value.
#include "driver/cmdline.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

std::string Upper(const char* text, int size = CMD_SCAN_SIZE) {
  std::vector<char> out(static_cast<size_t>(size));
  CmdUpperCopy(out.data(), text, size);
  return out.data();
}

std::string Cut(const char* text, int size = 260) {
  std::vector<char> out(static_cast<size_t>(size), 'x');
  CmdCutValue(text, out.data(), size);
  return out.data();
}

struct Scanned {
  std::vector<std::pair<std::string, std::string>> vars;
};

// Scans a copy of text in a buffer of exactly its size, so reading past it is caught natively.
Scanned Scan(const char* text, int maxCount = 19) {
  std::vector<char> buffer(text, text + strlen(text) + 1);
  std::vector<CmdVariable> vars(static_cast<size_t>(maxCount));
  int n = CmdScanVariables(buffer.data(), vars.data(), maxCount);
  Scanned s;
  for (int i = 0; i < n; ++i) s.vars.emplace_back(vars[i].name, vars[i].value);
  return s;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(CmdScan, UpperCopyIsBoundedAndTouchesOnlyLetters) {
  EXPECT_EQ(Upper("/silentmode /pwd=\"Ab c\" 1-z"), "/SILENTMODE /PWD=\"AB C\" 1-Z");
  std::string longLine(600, 'a');
  EXPECT_EQ(Upper(longLine.c_str()).size(), 499u);
  EXPECT_EQ(Upper("abc", 3), "AB");
  EXPECT_EQ(Upper("\xe4x"), "\xe4X");
}

TEST(CmdScan, ValuesQuotedUnquotedAndCut) {
  EXPECT_EQ(Cut("file.xml /TEST"), "file.xml");
  EXPECT_EQ(Cut("   spaced.xml next"), "spaced.xml");
  EXPECT_EQ(Cut("\"with blanks\" next"), "with blanks");
  EXPECT_EQ(Cut("\"unclosed runs to the end"), "unclosed runs to the end");
  EXPECT_EQ(Cut(""), "");
  EXPECT_EQ(Cut("\"\""), "");
  // The password field holds 29 characters.
  EXPECT_EQ(Cut("abcdefghijklmnopqrstuvwxyz0123456789", 30), "abcdefghijklmnopqrstuvwxyz012");
  EXPECT_EQ(CmdFind("A /CFG=X /CFG=Y", "/CFG="), 2);
  EXPECT_EQ(CmdFind("A /CF=X", "/CFG="), -1);
}

TEST(CmdScan, RemovedSwitchTakesItsValueAsReadAndTheBlanksBeforeIt) {
  auto removed = [](const char* text) {
    std::vector<char> buffer(text, text + strlen(text) + 1);
    CmdRemoveSwitch(buffer.data(), "/PWD=");
    return std::string(buffer.data());
  };
  EXPECT_EQ(removed("/SILENTMODE /PWD=Secret1 /REBOOT"), "/SILENTMODE /REBOOT");
  EXPECT_EQ(removed("/UNINSTALL /pwd=\"Secret 1\" /INSTMFC"), "/UNINSTALL /INSTMFC");
  EXPECT_EQ(removed("/Pwd=  spaced /TEST /PWD=again"), " /TEST");
  EXPECT_EQ(removed("/A /PWD=\"unclosed runs to the end"), "/A");
  EXPECT_EQ(removed("/PWD="), "");
  EXPECT_EQ(removed("/PW/PWD=\"x\"D=y /TEST"), " /TEST");
  EXPECT_EQ(removed("/PW=x /TEST"), "/PW=x /TEST");
  EXPECT_EQ(CmdValueEnd("\"a b\" c") - "\"a b\" c", 5);
}

TEST(CmdScan, FlagNeedsABlankOrTheEndBehindItsFirstOccurrence) {
  EXPECT_EQ(CmdFlagPresent("/SILENTMODE", "/SILENTMODE"), 1);
  EXPECT_EQ(CmdFlagPresent("/TEST /SILENTMODE\t/X", "/SILENTMODE"), 1);
  EXPECT_EQ(CmdFlagPresent("/SILENTMODE\x01", "/SILENTMODE"), 1);
  EXPECT_EQ(CmdFlagPresent("/SILENTMODEX", "/SILENTMODE"), 0);
  // Only the first occurrence counts.
  EXPECT_EQ(CmdFlagPresent("/SILENTMODEX /SILENTMODE", "/SILENTMODE"), 0);
  EXPECT_EQ(CmdFlagPresent("/UPDATE=1", "/UPDATE"), 0);
  EXPECT_EQ(CmdFlagPresent("", "/TEST"), 0);
}

TEST(CmdScan, VariablesWithAndWithoutBlanks) {
  EXPECT_EQ(Scan("/$A=1 /$B=two").vars, (Pairs{{"A", "1"}, {"B", "two"}}));
  EXPECT_EQ(Scan("/$ A = 1  /$  B\t=\ttwo").vars, (Pairs{{"A", "1"}, {"B", "two"}}));
  EXPECT_EQ(Scan("/$Name=\"a b\" /$n2=x").vars, (Pairs{{"Name", "a b"}, {"n2", "x"}}));
  EXPECT_EQ(Scan("/TEST /$a=\"\" x").vars, (Pairs{{"a", ""}}));
  // Case is kept; the marker itself is case-sensitive only in its form "/$".
  EXPECT_EQ(Scan("/$Path=C:\\Dir\\Sub").vars, (Pairs{{"Path", "C:\\Dir\\Sub"}}));
}

TEST(CmdScan, UnclosedQuoteDropsItAndAllAfterIt) {
  EXPECT_EQ(Scan("/$A=1 /$B=\"open /$C=3").vars, (Pairs{{"A", "1"}}));
  EXPECT_EQ(Scan("/$B=\"open").vars, Pairs{});
}

TEST(CmdScan, MalformedVariablesStopTheScan) {
  EXPECT_EQ(Scan("/$").vars, Pairs{});
  EXPECT_EQ(Scan("/$   ").vars, Pairs{});
  EXPECT_EQ(Scan("/$NAME").vars, Pairs{});
  EXPECT_EQ(Scan("/$NAME x=1 /$B=2").vars, Pairs{});
  EXPECT_EQ(Scan("/$A=1 /$B= ").vars, (Pairs{{"A", "1"}}));
  EXPECT_EQ(Scan("/$A=").vars, Pairs{});
}

TEST(CmdScan, ValueAtTheEndStopsTheScanInsideTheBuffer) {
  // The value ends the text: the scan must not resume behind its terminator. The buffer is
  // exactly the text's size, so a read past it fails under the sanitizers.
  EXPECT_EQ(Scan("/$A=last").vars, (Pairs{{"A", "last"}}));
  EXPECT_EQ(Scan("/$A=\"quoted last\"").vars, (Pairs{{"A", "quoted last"}}));
  // Text left behind a terminator by an earlier use of the buffer is never scanned.
  char buffer[32];
  memcpy(buffer, "/$A=x\0/$B=y", 12);
  CmdVariable vars[4];
  EXPECT_EQ(CmdScanVariables(buffer, vars, 4), 1);
}

TEST(CmdScan, AtMostMaxCountVariables) {
  std::string line;
  for (int i = 0; i < 25; ++i) line += "/$V" + std::to_string(i) + "=" + std::to_string(i) + " ";
  Scanned s = Scan(line.c_str());
  ASSERT_EQ(s.vars.size(), 19u);
  EXPECT_EQ(s.vars[18], (std::pair<std::string, std::string>{"V18", "18"}));
}

TEST(CmdScan, UnquotedValueEndsAtBlankOrEquals) {
  EXPECT_EQ(Scan("/$A=b=c /$D=e").vars, (Pairs{{"A", "b"}, {"D", "e"}}));
  EXPECT_EQ(Scan("/$A==x").vars, (Pairs{{"A", ""}}));
}

TEST(CmdScan, Crc16Xmodem) {
  EXPECT_EQ(CmdCrc16("123456789", 259), 0x31C3);
  EXPECT_EQ(CmdCrc16("", 259), 0);
  EXPECT_EQ(CmdCrc16("A", 259), 0x58E5);
  // Only the first maxLength bytes count.
  EXPECT_EQ(CmdCrc16("123456789xyz", 9), 0x31C3);
  EXPECT_NE(CmdCrc16("secret", 259), CmdCrc16("Secret", 259));
}

}  // namespace
