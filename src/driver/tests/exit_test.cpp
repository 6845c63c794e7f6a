// The exit path: the code it ends with, the rollback it runs once, what it shows and releases,
// and the restart at the end of a run.
#include "run/exit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "run/context.h"
#include "run/log.h"
#include "run/vislib.h"
#include "test_util.h"
#include "xml/xml.h"

namespace {

std::vector<std::string> g_visCalls;

void WINAPI FakeWaitDlg(int32_t action) {
  g_visCalls.push_back("waitDlg " + std::to_string(action));
}
int32_t WINAPI FakeShowMsg(int32_t number, const char* text, int32_t style) {
  g_visCalls.push_back("showMsg " + std::to_string(number) + " " + (text ? text : "(null)") + " " +
                       std::to_string(style));
  return IDOK;
}
void WINAPI FakeDisconnectLib(int32_t zero) {
  g_visCalls.push_back("disconnectLib " + std::to_string(zero));
}

// A visual library whose calls are recorded; the module is a real one so releasing it is sound.
void FakeVisualLibrary() {
  g_visCalls.clear();
  g_vis.module = LoadLibraryA("kernel32.dll");
  g_vis.waitDlg = &FakeWaitDlg;
  g_vis.showMsg = &FakeShowMsg;
  g_vis.disconnectLib = &FakeDisconnectLib;
}

int Count(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.compare(0, prefix.size(), prefix) == 0;
  }));
}

std::string LastLogMessage(const std::vector<std::string>& lines) {
  // The last line is the run's empty line; the one before it is the exit line.
  if (lines.size() < 2) return "";
  const std::string& line = lines[lines.size() - 2];
  size_t at = line.find("] ");
  return at == std::string::npos ? line : line.substr(at + 2);
}

TEST(SetupExit, CodeZeroBecomes3010WithARestartPendingAndNeverRollsBack) {
  DriverTest t;
  SetupLogOpen("/TEST");
  g_context.restartPending = 1;
  int code = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 0, nullptr); }, &code));
  EXPECT_EQ(code, 3010);
  EXPECT_EQ(Count(t.Journal(), "rollBackAll"), 0);
  // The exit line carries the code as given; the log ends with its empty line.
  std::vector<std::string> lines = ReadLines(t.LogPath());
  EXPECT_EQ(LastLogMessage(lines), "Exitcode: 0");
  EXPECT_EQ(lines.back(), "");

  DriverTest again;
  g_context.restartPending = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 0, nullptr); }, &code));
  EXPECT_EQ(code, 0);
}

TEST(SetupExit, NonzeroCodesKeepTheirValueEvenWithARestartPending) {
  DriverTest t;
  SetupLogOpen("/TEST");
  g_context.restartPending = 1;
  int code = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 111, "CF"); }, &code));
  EXPECT_EQ(code, 111);
  EXPECT_EQ(LastLogMessage(ReadLines(t.LogPath())), "Exitcode: 111 CF");
  EXPECT_EQ(Count(t.Journal(), "rollBackAll"), 1);
}

TEST(SetupExit, RollsBackOnceEvenWhenReachedAgainFromTheRollback) {
  DriverTest t;
  t.Script("rollBackAll.exit=9\n");
  SetupLogOpen("/TEST");
  int code = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 5, nullptr); }, &code));
  // The exit reached from inside the rollback ends the process with its own code, without a
  // second rollback.
  EXPECT_EQ(code, 9);
  EXPECT_EQ(Count(t.Journal(), "rollBackAll"), 1);
  EXPECT_EQ(LastLogMessage(ReadLines(t.LogPath())), "Exitcode: 9 again");

  // A later exit of the same process does not roll back again either.
  t.Script("");
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 111, "UI"); }, &code));
  EXPECT_EQ(code, 111);
  EXPECT_EQ(Count(t.Journal(), "rollBackAll"), 1);
}

TEST(SetupExit, ShowsTheCodeInErrorStyleThroughTheVisualLibrary) {
  DriverTest t;
  FakeVisualLibrary();
  int code = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 109, "lib.dll"); }, &code));
  EXPECT_EQ(code, 109);
  EXPECT_EQ(g_visCalls,
            (std::vector<std::string>{"waitDlg 3", "showMsg 109 lib.dll 16", "disconnectLib 0"}));
  EXPECT_EQ(g_vis.module, nullptr);

  // A cancel (code 0) closes the wait dialog but shows no message.
  DriverTest again;
  FakeVisualLibrary();
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 0, nullptr); }, &code));
  EXPECT_EQ(g_visCalls, (std::vector<std::string>{"waitDlg 3", "disconnectLib 0"}));
}

TEST(SetupExit, ShowsNothingWithoutTheVisualLibrary) {
  DriverTest t;
  g_visCalls.clear();
  g_vis.showMsg = &FakeShowMsg;  // resolved but not loaded: silent mode never loads it
  int code = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(nullptr, nullptr, 104, nullptr); }, &code));
  EXPECT_EQ(code, 104);
  EXPECT_TRUE(g_visCalls.empty());
}

TEST(SetupExit, ClosesTheDocumentsItIsHanded) {
  DriverTest t;
  static XML_Document* first;
  static XML_Document* second;
  first = XML_Create();
  second = XML_Create();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  int code = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(&first, &second, 103, nullptr); }, &code));
  EXPECT_EQ(code, 103);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
  static SetupExitContext context;
  first = XML_Create();
  context = {&first, nullptr};
  ASSERT_TRUE(EndsProcess([] { SetupExitWith(&context, 111, "CF"); }, &code));
  EXPECT_EQ(first, nullptr);
}

TEST(SetupExit, LogsAFailedWriteBackOfADocument) {
  DriverTest t;
  SetupLogOpen("/TEST");
  // A value that cannot be decoded makes the write-back fail.
  std::string path = t.folder() + "doc.xml";
  ASSERT_TRUE(WriteText(path, "<A x=\"&bogus;\" />"));
  static XML_Document* doc;
  doc = XML_Open(path.c_str(), 1);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(XML_OpenDocument(doc), XML_ELEMENT);
  int code = 0;
  ASSERT_TRUE(EndsProcess([] { SetupExit(&doc, nullptr, 111, "CF"); }, &code));
  EXPECT_EQ(code, 111);
  EXPECT_EQ(doc, nullptr);
  std::vector<std::string> lines = ReadLines(t.LogPath());
  const std::string error = "] Error: XML_Close: writing the document back failed";
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.find(error) != std::string::npos; }),
            1);
  EXPECT_EQ(LastLogMessage(lines), "Exitcode: 111 CF");
}

TEST(SetupExit, ReleasesTheComponentArraysAndTheirText) {
  DriverTest t;
  SetupLogOpen("/TEST");
  g_context.components = static_cast<ComponentDesc*>(calloc(1, sizeof(ComponentDesc)));
  g_context.componentCount = 1;
  lstrcpyA(g_context.components[0].displayName, "Component A");
  int code = 0;
  ASSERT_TRUE(EndsProcess(
      [] { SetupExit(nullptr, nullptr, 500, g_context.components[0].displayName); }, &code));
  EXPECT_EQ(code, 500);
  EXPECT_EQ(g_context.components, nullptr);
  EXPECT_EQ(g_context.componentCount, 0);
  EXPECT_EQ(LastLogMessage(ReadLines(t.LogPath())), "Exitcode: 500 Component A");
}

TEST(SetupRestartIfNeeded, NoRestartWithoutOneOrInSilentModeWithoutReboot) {
  DriverTest t;
  SetupLogOpen("/TEST");
  g_context.restartPending = 0;
  SetupRestartIfNeeded();
  g_context.restartPending = 1;
  g_options.silent = 1;
  g_options.reboot = 0;
  SetupRestartIfNeeded();
  // Both returned without asking for the restart and left the log open.
  EXPECT_EQ(SetupLogIsOn(), 1);
  SetupLogEnd();
  std::vector<std::string> lines = ReadLines(t.LogPath());
  EXPECT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) EXPECT_EQ(line.find("] Restart"), std::string::npos);
}

}  // namespace
