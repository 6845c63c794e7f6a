// The run options from the command line and the administrator's file, and the setup context.
#include "driver/options.h"

#include <gtest/gtest.h>

#include <string>

#include "run/context.h"
#include "test_util.h"

namespace {

std::string S(const char* text) { return text; }

void Parse(const char* line) { SetupParseCommandLine(line); }

TEST(SetupInitContext, FoldersPlatformAndPendingCode) {
  DriverTest t;
  SetEnvironmentVariableA("ZS_TEST_NOT_ADMIN", nullptr);
  SetupInitContext();
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string exe = self;
  EXPECT_EQ(S(g_context.setupDir), exe.substr(0, exe.rfind('\\') + 1));
  EXPECT_EQ(S(g_context.windowsDir).back(), '\\');
  EXPECT_EQ(S(g_context.systemDir).back(), '\\');
  EXPECT_EQ(S(g_context.programFilesDir).back(), '\\');
  EXPECT_NE(S(g_context.programFilesDir).find(":\\"), std::string::npos);
  EXPECT_EQ(g_context.runningPlatform, PLATFORM_NT);
  EXPECT_EQ(g_context.exitCode, 0);
  EXPECT_EQ(g_context.globalXmlPath != nullptr, true);
  EXPECT_EQ(g_context.productInstalled, 0);
  EXPECT_EQ(g_context.installDir[0], 0);

  SetEnvironmentVariableA("ZS_TEST_NOT_ADMIN", "1");
  SetupInitContext();
  SetEnvironmentVariableA("ZS_TEST_NOT_ADMIN", nullptr);
  EXPECT_EQ(g_context.exitCode, 101);
}

TEST(SetupInitContext, InstallFolderFromTheRegistry) {
  DriverTest t;
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vesk\\Zrv\\CurrentVersion\\Info", 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char dir[] = "C:\\Program Files\\Vesk\\";
  RegSetValueExA(key, "InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir), sizeof dir);
  SetupInitContext();
  RegDeleteValueA(key, "InstallDir");
  RegCloseKey(key);
  EXPECT_EQ(S(g_context.installDir), dir);
  EXPECT_EQ(g_context.productInstalled, 1);
}

TEST(SetupMakeAbsolute, PrefixesNamesWithoutABackslash) {
  DriverTest t;
  lstrcpyA(g_context.setupDir, "C:\\Pkg\\");
  char name[MAX_PATH] = "setup.xml";
  EXPECT_EQ(SetupMakeAbsolute(name, 0), name);
  EXPECT_EQ(S(name), "C:\\Pkg\\setup.xml");
  char relative[MAX_PATH] = "sub\\a.xml";
  SetupMakeAbsolute(relative, 0);
  EXPECT_EQ(S(relative), "sub\\a.xml");
  SetupMakeAbsolute(relative, 1);
  EXPECT_EQ(S(relative), "C:\\Pkg\\sub\\a.xml");
  char empty[MAX_PATH] = "";
  EXPECT_EQ(SetupMakeAbsolute(empty, 1), nullptr);
  char longName[MAX_PATH];
  std::string filler(MAX_PATH - 1, 'n');
  lstrcpyA(longName, filler.c_str());
  SetupMakeAbsolute(longName, 0);
  EXPECT_EQ(S(longName).size(), static_cast<size_t>(MAX_PATH - 1));
  EXPECT_EQ(S(longName).substr(0, 7), "C:\\Pkg\\");
}

TEST(SetupSystemPath, RefusesAPathThatDoesNotFit) {
  DriverTest t;
  lstrcpyA(g_context.systemDir, "C:\\Windows\\System32\\");
  char path[MAX_PATH];
  EXPECT_EQ(SetupSystemPath(path, sizeof path, "ServerAppliance\\ZORVA\\"), 1);
  EXPECT_EQ(S(path), "C:\\Windows\\System32\\ServerAppliance\\ZORVA\\");
  // 237 characters and 22 fit exactly; one more would be cut.
  std::string dir = "C:\\" + std::string(233, 's') + "\\";
  lstrcpyA(g_context.systemDir, dir.c_str());
  EXPECT_EQ(SetupSystemPath(path, sizeof path, "ServerAppliance\\ZORVA\\"), 1);
  EXPECT_EQ(S(path).size(), static_cast<size_t>(MAX_PATH - 1));
  dir.insert(3, "s");
  lstrcpyA(g_context.systemDir, dir.c_str());
  EXPECT_EQ(SetupSystemPath(path, sizeof path, "ServerAppliance\\ZORVA\\"), 0);
  EXPECT_EQ(S(path), "");
}

TEST(SetupParseCommandLine, SwitchesIgnoreCaseAndOnlyTheFirstOccurrenceCounts) {
  DriverTest t;
  Parse("/silentmode /Uninstall /forceold /test /reboot /instmfc");
  EXPECT_EQ(g_options.silent, 1);
  EXPECT_EQ(g_options.uninstall, 1);
  EXPECT_EQ(g_options.forceOld, 1);
  EXPECT_EQ(g_options.test, 1);
  EXPECT_EQ(g_options.reboot, 1);
  EXPECT_EQ(g_options.installRuntimeLibs, 1);
  EXPECT_EQ(g_options.update, 0);

  DriverTest second;
  Parse("/SILENTMODEX /SILENTMODE /TEST");
  EXPECT_EQ(g_options.silent, 0);
  EXPECT_EQ(g_options.test, 1);
}

TEST(SetupParseCommandLine, DescriptionFilesAreUpperCasedAndMadeAbsolute) {
  DriverTest t;
  Parse("/SETTINGS=other.xml");
  EXPECT_EQ(S(g_options.setupDescFile), t.folder() + "OTHER.XML");
  EXPECT_EQ(g_options.singleComponentArchive[0], 0);

  DriverTest second;
  Parse("/settings=C:\\Pkg\\mine.xml /NUP=comp.rar");
  EXPECT_EQ(S(g_options.setupDescFile), second.folder() + "setupc.xml");
  EXPECT_EQ(S(g_options.singleComponentArchive), second.folder() + "COMP.RAR");

  DriverTest defaults;
  Parse("");
  EXPECT_EQ(S(g_options.setupDescFile), defaults.folder() + "setup.xml");
  EXPECT_EQ(S(g_options.adminFile), defaults.folder() + "zorva.xml");
}

TEST(SetupParseCommandLine, PasswordAndServerKeepTheirCase) {
  DriverTest t;
  Parse("/PWD=\"My Secret\" /AUTHSERVER=Auth.Example:4400");
  EXPECT_EQ(S(g_options.password), "My Secret");
  EXPECT_EQ(S(g_options.authServer), "Auth.Example:4400");

  DriverTest second;
  Parse("/pwd=Secret rest");
  EXPECT_EQ(S(g_options.password), "Secret");

  DriverTest third;
  Parse("/PWD=abcdefghijklmnopqrstuvwxyz0123456789");
  EXPECT_EQ(S(g_options.password), "abcdefghijklmnopqrstuvwxyz012");
}

TEST(SetupParseCommandLine, MissingAdministratorFileRecords102) {
  DriverTest t;
  Parse("/CFG=missing.xml /UPDATE");
  EXPECT_EQ(S(g_options.adminFile), t.folder() + "MISSING.XML");
  // 102 is kept even though the update of a product that is not installed also applies.
  EXPECT_EQ(g_context.exitCode, 102);

  DriverTest present;
  std::string admin = present.folder() + "admin.xml";
  ASSERT_TRUE(WriteText(admin, "<ZORVA />"));
  Parse(("/CFG=" + admin).c_str());
  EXPECT_EQ(g_context.exitCode, 0);
}

TEST(SetupParseCommandLine, UpdateDecidesRestartPendingAndNeedsTheProduct) {
  DriverTest t;
  Parse("");
  EXPECT_EQ(g_context.updateMode, 0);
  EXPECT_EQ(g_context.restartPending, 1);

  DriverTest notInstalled;
  g_context.exitCode = 101;
  Parse("/UPDATE");
  EXPECT_EQ(g_context.updateMode, 1);
  EXPECT_EQ(g_context.restartPending, 0);
  EXPECT_EQ(g_context.exitCode, 117);

  DriverTest installed;
  g_context.productInstalled = 1;
  Parse("/UPDATE");
  EXPECT_EQ(g_context.restartPending, 0);
  EXPECT_EQ(g_context.exitCode, 0);
}

TEST(SetupParseCommandLine, VariablesPointIntoThePrivateCopy) {
  DriverTest t;
  std::string line = "/TEST /$ Dir = \"C:\\My Files\" /$user=Bob /$bad=\"open /$Late=1";
  Parse(line.c_str());
  ASSERT_EQ(g_options.variableCount, 2);
  EXPECT_EQ(S(g_options.variables[0].name), "Dir");
  EXPECT_EQ(S(g_options.variables[0].value), "C:\\My Files");
  EXPECT_EQ(S(g_options.variables[1].name), "user");
  EXPECT_EQ(S(g_options.variables[1].value), "Bob");
  EXPECT_EQ(g_options.variables[2].name, nullptr);
  // The caller's text is untouched.
  EXPECT_EQ(line, "/TEST /$ Dir = \"C:\\My Files\" /$user=Bob /$bad=\"open /$Late=1");

  DriverTest many;
  std::string lots;
  for (int i = 0; i < 22; ++i) lots += "/$v" + std::to_string(i) + "=" + std::to_string(i) + " ";
  Parse(lots.c_str());
  EXPECT_EQ(g_options.variableCount, 19);
  EXPECT_EQ(g_options.variables[SETUP_MAX_VARIABLE_SLOTS - 1].name, nullptr);
}

TEST(SetupParseCommandLine, AdministratorsCmdlineSetsFlagsTheCommandLineCannotClear) {
  DriverTest t;
  std::string admin = t.folder() + "zorva.xml";
  ASSERT_TRUE(WriteText(admin,
                        "<ZORVA><CMDLINE>"
                        "<NODE NAME=\"SilentMode\" TYPE=\"DWORD\" VALUE=\"1\"/>"
                        "<NODE NAME=\"TEST\" TYPE=\"DWORD\" VALUE=\"100\"/>"
                        "<NODE NAME=\"REBOOT\" TYPE=\"STRING\" VALUE=\"1\"/>"
                        "<NODE NAME=\"FORCEOLD\" TYPE=\"DWORD\" VALUE=\"103\"/>"
                        "</CMDLINE></ZORVA>"));
  // The default administrator file lies in the setup folder.
  Parse("/TEST");
  EXPECT_EQ(g_options.silent, 1);
  // Low byte of 0x100 is 0, so the command line may still set it.
  EXPECT_EQ(g_options.test, 1);
  // Not a DWORD entry: 0.
  EXPECT_EQ(g_options.reboot, 0);
  EXPECT_EQ(g_options.forceOld, 3);
  EXPECT_EQ(g_options.uninstall, 0);

  DriverTest noCmdline;
  ASSERT_TRUE(WriteText(noCmdline.folder() + "zorva.xml", "<ZORVA><SETUP /></ZORVA>"));
  Parse("");
  EXPECT_EQ(g_options.silent, 0);

  DriverTest broken;
  ASSERT_TRUE(WriteText(broken.folder() + "zorva.xml", "<ZORVA><CMDLINE>"));
  Parse("/SILENTMODE");
  EXPECT_EQ(g_options.silent, 1);
  EXPECT_EQ(SetupAdminFileState(), ADMIN_NOT_PARSED);
}

}  // namespace
