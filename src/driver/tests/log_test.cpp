// The setup log: written only once opened, one timestamped line per call, runs appended and
// ended by one empty line, messages cut at their limit.
#include "run/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "run/context.h"
#include "test_util.h"

namespace {

const char kStamp[] = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] )";

bool Matches(const std::string& line, const std::string& message) {
  return std::regex_match(line, std::regex(std::string(kStamp) + message));
}

TEST(SetupLog, NothingIsWrittenOrCreatedWhileOff) {
  DriverTest t;
  SetupLog("line %d", 1);
  SetupLogError("error %s", "x");
  SetupLogEnd();
  EXPECT_EQ(SetupLogIsOn(), 0);
  EXPECT_TRUE(FolderEntries(t.folder()).empty());
  EXPECT_EQ(g_context.logFilePath[0], 0);
}

TEST(SetupLog, LinesCarryDateTimeAndMilliseconds) {
  DriverTest t;
  SetupLogOpen("/TEST /X");
  ASSERT_EQ(SetupLogIsOn(), 1);
  EXPECT_EQ(std::string(g_context.logFilePath), t.LogPath());
  SetupLog("Resource: %s", "main.dll");
  SetupLogError("Couldn't open Administrator's XML : %s", "C:\\a.xml");
  SetupLogEnd();
  std::vector<std::string> lines = ReadLines(t.LogPath());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(Matches(lines[0], R"(CmdLine: /TEST /X)")) << lines[0];
  EXPECT_TRUE(Matches(lines[1], R"(Resource: main\.dll)")) << lines[1];
  EXPECT_TRUE(Matches(lines[2], R"(Error: Couldn't open Administrator's XML : C:\\a\.xml)"))
      << lines[2];
  EXPECT_EQ(lines[3], "");
  // The stamp is today's local date.
  SYSTEMTIME now;
  GetLocalTime(&now);
  char date[16];
  snprintf(date, sizeof date, "[%04d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
  EXPECT_EQ(lines[1].substr(0, 11), date);
}

// Whether the thread worked as an impersonated account at each opening of the log.
std::vector<bool> g_openedImpersonating;

void RecordOpening(const char*) {
  HANDLE token = nullptr;
  bool impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0;
  if (impersonating) CloseHandle(token);
  g_openedImpersonating.push_back(impersonating);
}

TEST(SetupLog, AnImpersonatingThreadWritesItAsTheUserWhoStartedTheRun) {
  DriverTest t;
  g_openedImpersonating.clear();
  SetupLogSetOpenHook(RecordOpening);
  // Wine's stand-in for an authorized account: the thread impersonates the process's own.
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  SetupLogOpen("/AUTHSERVER=h:1");
  SetupLog("one");
  SetupLogEnd();
  HANDLE token = nullptr;
  bool stillImpersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0;
  if (stillImpersonating) CloseHandle(token);
  RevertToSelf();
  SetupLogSetOpenHook(nullptr);
  EXPECT_TRUE(stillImpersonating);
  EXPECT_EQ(g_openedImpersonating, std::vector<bool>(g_openedImpersonating.size(), false));
  EXPECT_GE(g_openedImpersonating.size(), 3u);
  EXPECT_EQ(ReadLines(t.LogPath()).size(), 3u);
}

TEST(SetupLog, TwoRunsAppendSeparatedByOneEmptyLine) {
  DriverTest t;
  SetupLogOpen("first");
  SetupLog("one");
  SetupLogEnd();
  SetupLogEnd();  // a second end of the same run adds nothing
  SetupLog("after the end");
  SetupLogOpen("second");
  SetupLog("two");
  SetupLogEnd();
  std::vector<std::string> lines = ReadLines(t.LogPath());
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_TRUE(Matches(lines[0], "CmdLine: first"));
  EXPECT_TRUE(Matches(lines[1], "one"));
  EXPECT_EQ(lines[2], "");
  EXPECT_TRUE(Matches(lines[3], "CmdLine: second"));
  EXPECT_TRUE(Matches(lines[4], "two"));
  EXPECT_EQ(lines[5], "");
}

TEST(SetupLog, LongMessagesAndCommandLinesAreCut) {
  DriverTest t;
  std::string longCommand(400, 'c');
  SetupLogOpen(longCommand.c_str());
  std::string exact(SETUP_LOG_MESSAGE_MAX, 'e');
  std::string tooLong(6000, 'x');
  SetupLog("%s", exact.c_str());
  SetupLog("%s", tooLong.c_str());
  SetupLogError("%s", tooLong.c_str());
  SetupLog("next");
  SetupLogEnd();
  std::vector<std::string> lines = ReadLines(t.LogPath());
  ASSERT_EQ(lines.size(), 6u);
  const size_t stamp = std::string("[2000-01-01 00:00:00.000] ").size();
  EXPECT_EQ(lines[0].substr(stamp), "CmdLine: " + std::string(259, 'c'));
  EXPECT_EQ(lines[1].substr(stamp), exact);
  EXPECT_EQ(lines[2].substr(stamp), std::string(4091, 'x'));
  EXPECT_EQ(lines[3].substr(stamp), "Error: " + std::string(4091, 'x'));
  EXPECT_TRUE(Matches(lines[4], "next"));
}

TEST(SetupLog, ASetupFolderThatCannotTakeTheLogSendsItToTheTemporaryFolder) {
  DriverTest t;
  lstrcpyA(g_context.setupDir, (t.folder() + "missing\\").c_str());
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string fallback = std::string(temp) + "zsetup.log";
  DeleteFileA(fallback.c_str());
  SetupLogOpen("/TEST");
  EXPECT_EQ(SetupLogIsOn(), 1);
  EXPECT_EQ(fallback, g_context.logFilePath);
  SetupLogEnd();
  EXPECT_TRUE(FolderEntries(t.folder()).empty());
  std::vector<std::string> lines = ReadLines(fallback);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(Matches(lines[0], "CmdLine: /TEST"));
  DeleteFileA(fallback.c_str());
}

TEST(SetupLog, ALineThatCannotBeWrittenTurnsTheLogOff) {
  DriverTest t;
  SetupLogOpen("/TEST");
  HANDLE held =
      CreateFileA(t.LogPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  SetupLog("lost");
  CloseHandle(held);
  EXPECT_EQ(SetupLogIsOn(), 0);
  SetupLog("also lost");
  SetupLogEnd();
  std::vector<std::string> lines = ReadLines(t.LogPath());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(Matches(lines[0], "CmdLine: /TEST"));
}

}  // namespace
