#include "driver/sequence.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "auth/authorize.h"
#include "auth/privatefolder.h"
#include "driver/cmdline.h"
#include "driver/globalxml.h"
#include "driver/libdrive.h"
#include "driver/options.h"
#include "driver/rollback.h"
#include "driver/runtimelibs.h"
#include "driver/space.h"
#include "install/engines.h"
#include "install/filecopy.h"
#include "install/journal.h"
#include "install/rollback.h"
#include "install/uninstall.h"
#include "package/access.h"
#include "package/model.h"
#include "registration/registration.h"
#include "run/context.h"
#include "run/exit.h"
#include "run/log.h"
#include "run/messages.h"
#include "run/vislib.h"
#include "settings/oldsettings.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/libload.h"
#include "system/os.h"
#include "system/progress.h"
#include "system/registry.h"
#include "system/str.h"
#include "system/vars.h"
#include "xml/xml.h"

namespace {

bool Interactive() { return !g_options.silent; }

// The end of a sequence: the log's empty line, and 3010 when a restart is pending. owed: a restart
// was pending before the end dialog, where the user may have declined restarting now; the run
// still needs one and says so.
int EndRun(bool owed = false) {
  SetupLogEnd();
  return g_context.restartPending != 0 || owed ? 3010 : 0;
}

// A refusal of the uninstall sequence (nothing installed, wrong password): 0 even when a restart
// is pending.
int EndRunRefused() {
  SetupLogEnd();
  return 0;
}

// The narrow copy of the global.xml path the phases open.
void GlobalXmlPath(char* out, int size) {
  if (g_context.globalXmlPath == nullptr) {
    out[0] = 0;
    return;
  }
  WideToAnsi(out, reinterpret_cast<const wchar16*>(g_context.globalXmlPath), size);
}

// Closes a document on every path (the merge step's administrator document).
struct Document {
  XML_Document* doc = nullptr;
  Document() = default;
  ~Document() { XML_Close(doc); }
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
};

// ---- Start ----

// Replaces the value of "/PWD=", as the run reads it (blanks before it skipped, quoted or up to
// the next blank), with stars: the log lies in shared and temporary folders, and the settings
// lock's password must not be read there.
void MaskPassword(char* line) {
  for (char* p = line; *p != 0; ++p) {
    if (StrCompareNoCaseAscii(p, "/pwd=", 5) != 0) continue;
    char* v = p + 5;
    const char* end = CmdValueEnd(v);
    while (*v == ' ') ++v;
    for (; v < end; ++v) {
      if (*v != '"') *v = '*';
    }
  }
}

// Opens the log with the command line as it shows it: cut to 259 characters, the password
// masked.
void OpenLog(const char* commandLine) {
  char shown[260];
  StrCopyN(shown, commandLine, sizeof shown);
  MaskPassword(shown);
  SetupLogOpen(shown);
}

void AuthorizeRemotely() {
  if (g_options.authServer[0] == 0 || g_context.exitCode != 101) return;
  char host[sizeof g_options.authServer];
  int port = 0;
  CmdSplitServer(g_options.authServer, host, sizeof host, &port);
  if (!RemoteAuthorize(host, port)) {
    SetupLogError("REMOTE AUTHORIZE");
    return;
  }
  g_context.exitCode = 0;
  // From here on the run works as the authorized account: none of its temporary files may lie
  // where the user who started it can write, link or swap them.
  char folder[MAX_PATH];
  DWORD error = AuthUsePrivateTempFolder(folder);
  if (error != 0) {
    SetupLogError("Private temporary folder refused: %s - %d", folder, static_cast<int>(error));
    SetupLogError("Can't create directory: %s", folder);
    SetupExit(nullptr, nullptr, 105, nullptr);
  }
}

void LoadLanguageLibrary() {
  // From the setup folder only, as main.dll.
  g_context.langLibrary = SysLoadLibraryFrom(g_context.setupDir, "mainlang.dll", 0);
  if (g_context.langLibrary != nullptr) {
    g_context.resourceModule = g_context.langLibrary;
    SetupLog("Resource: mainlang.dll");
  } else {
    g_context.resourceModule = GetModuleHandleA(nullptr);
    SetupLog("Resource: main.dll");
  }
}

// The mutex every run holds, so that one setup of the product runs at a time on the machine.
const char kSetupMutexName[] = "ZORVA Setup";
const int kExitAnotherSetup = 1618;

// Two runs would share global.xml, the working folders and the product's files by name and undo
// each other's work, so a second run ends before it changes anything. 1618 is the code installers
// give for "another installation is in progress", which deployment tools already retry later.
// Nothing is released on the way out: the temporary files and libraries are the other run's.
void HoldSetupMutex() {
  DWORD error = 0;
  if (SysHoldMachineMutex(kSetupMutexName, &error)) return;
  if (error != 0) {
    SetupLogError("Another setup is running (its mutex cannot be taken: error %lu)",
                  static_cast<unsigned long>(error));
  } else {
    SetupLogError("Another setup is running");
  }
  if (Interactive()) {
    if (g_context.resourceModule == nullptr) LoadLanguageLibrary();
    SetupMessageBox(STR_ANOTHER_SETUP, STR_CAPTION_WARNING, MB_OK | MB_ICONWARNING);
  }
  SetupLog("Exitcode: %d", kExitAnotherSetup);
  SetupEndProcess(kExitAnotherSetup);
}

// The log's error line for an administrator's file that cannot be used (none for memory).
void LogAdminFailure(SetupAdminRead state) {
  const char* step = state == ADMIN_NOT_OPENED   ? "open"
                     : state == ADMIN_NOT_PARSED ? "parse"
                                                 : "read";
  if (state != ADMIN_NO_MEMORY) {
    SetupLogError("Couldn't %s Administrator's XML : %s", step, g_options.adminFile);
  }
}

// An administrator's file that is there but cannot be read or parsed ends the run before it does
// anything: its switches and settings would be dropped while the run reported success. Its switches
// are not known, so the log is written even without "/TEST" (the file may be what asked for it),
// and a run without "/SILENTMODE" on its command line says so in a message naming the file.
void EndOnUnusableAdminFile(const char* commandLine) {
  SetupAdminRead state = SetupAdminFileState();
  if (state == ADMIN_READ || state == ADMIN_ABSENT) return;
  if (!SetupLogIsOn()) OpenLog(commandLine);
  LogAdminFailure(state);
  const int code = state == ADMIN_NO_MEMORY ? 103 : 111;
  if (Interactive()) {
    if (g_context.resourceModule == nullptr) LoadLanguageLibrary();
    SetupMessageBox(STR_ADMIN_FILE_UNUSABLE, STR_CAPTION_ERROR, MB_OK | MB_ICONERROR,
                    g_options.adminFile);
  }
  SetupLog("Exitcode: %d %s", code, g_options.adminFile);
  SetupEndProcess(code);
}

// Asks a Yes/No question with caption 305 (interactive), or takes the switch's answer (silent).
bool Decide(int question, bool silentAnswer) {
  if (!Interactive()) return silentAnswer;
  return SetupMessageBox(question, STR_CAPTION_WARNING, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// How long the start waits for the system to end the process after a restart it accepted.
const DWORD kRestartWaitMs = 60000;

// The continuation after the restart runs with this run's switches, but without the password:
// RunOnce can be read by every user (a locked product then asks again, or a silent run ends as
// without the password).
void WriteRestartEntry(const char* commandLine) {
  HeapGuard<char> switches(static_cast<char*>(malloc(strlen(commandLine) + 1)));
  if (switches.block == nullptr) return;
  memcpy(switches.block, commandLine, strlen(commandLine) + 1);
  CmdRemoveSwitch(switches.block, "/PWD=");
  SetupWriteRestartEntry(switches.block);
}

void CheckRuntimeLibraries(const char* commandLine) {
  // A pending exit code ends the run at step 7: replacing system files and restarting the machine
  // first would be for nothing.
  if (g_context.exitCode != 0) return;
  int check = SetupCheckRuntimeLibraries();
  if (check == 0) return;
  SetupLog("MFC: needed");
  if (!Decide(check, g_options.installRuntimeLibs != 0)) {
    if (!Interactive()) SetupEndProcess(check);
    SetupMessageBox(STR_MFC_NOT_FOUND, STR_CAPTION_WARNING, MB_OK);
    SetupEndProcess(-1);
  }
  int message = 0;
  int result = SetupInstallRuntimeLibraries(&message);
  if (result > STR_MFC_RESTART) {
    if (!Interactive()) SetupEndProcess(result);
    SetupMessageBox(message, STR_CAPTION_ERROR, MB_OK);
    SetupEndProcess(-1);
  }
  if (result != 0) {
    SetupLog("MFC: installed - reboot required");
    if (!Decide(STR_MFC_RESTART, g_options.reboot != 0)) SetupEndProcess(STR_MFC_RESTART);
    WriteRestartEntry(commandLine);
    SetupLog("Restart");
    SetupLogEnd();
    // An accepted restart ends the process soon; the install must not start meanwhile.
    if (SysRestartWindows() == 1) SysWaitPumping(kRestartWaitMs);
    // Still here: the restart did not end the process, so the run goes on with its log.
    SetupLogResume();
  }
  SetupLog("MFC: installed");
}

void ConnectVisualLibrary() {
  if (!Interactive()) return;
  if (!VisLibLoad()) {
    SetupMessageBox(STR_NO_VISUAL_LIBRARY, STR_CAPTION_ERROR, MB_OK);
    SetupEndProcess(-1);
  }
  g_vis.connectLib(&g_context);
}

// ---- Install sequence ----

// Answers of CheckInstalledVersions that ask the user.
enum { VERSIONS_ENGINE_NEWER = 19, VERSIONS_DOWNGRADE = 108 };

void AskOrExit(int question) {
  if (VisShowMsg(question, nullptr, MB_YESNO | MB_ICONQUESTION) != IDYES) {
    SetupExit(nullptr, nullptr, 0, nullptr);
  }
}

void CheckVersions() {
  int result = CheckInstalledVersions();
  switch (result) {
    case 0:
      return;
    case VERSIONS_ENGINE_NEWER:
      if (g_options.forceOld || !Interactive()) return;
      AskOrExit(VERSIONS_ENGINE_NEWER);
      return;
    case VERSIONS_DOWNGRADE:
      if (g_options.forceOld) return;
      if (!Interactive()) SetupExit(nullptr, nullptr, VERSIONS_DOWNGRADE, nullptr);
      AskOrExit(VERSIONS_DOWNGRADE);
      return;
    default:
      SetupExit(nullptr, nullptr, result, nullptr);
  }
}

void MergePackageSettings(const char* globalPath) {
  XML_Document* doc = nullptr;
  XML_Node* root = XML_Access(globalPath, &doc, 1);
  if (root == nullptr) SetupExit(nullptr, nullptr, 111, nullptr);
  XML_Node* settings = XML_Find(doc, nullptr, u"PACKAGE\\SETTINGS", XML_OPEN_EXISTING);
  if (settings != nullptr && SetupMergePluginSettings(doc, doc, settings)) {
    SetupLog("Admin settings added");
  }
  SetupSaveGlobalXml(&doc, root);
}

// Merges SETUPINFO\SETTINGS of the expanded administrator's text into global.xml. false when the
// text does not parse; a failure with global.xml only skips the merge.
bool MergeAdminDocument(const char* text, int length, const char* globalPath) {
  Document admin;
  admin.doc = XML_Create();
  if (admin.doc == nullptr) return true;
  if (XML_Parse(admin.doc, text, length) != 0 || XML_GetRoot(admin.doc) == nullptr) return false;
  SetupLog("Attempt to read Admin data");
  XML_Document* global = nullptr;
  XML_Node* globalRoot = XML_Access(globalPath, &global, 1);
  if (globalRoot == nullptr) return true;
  XML_Node* settings = XML_Find(admin.doc, nullptr, u"SETUPINFO\\SETTINGS", XML_OPEN_EXISTING);
  if (settings != nullptr && SetupMergePluginSettings(global, admin.doc, settings)) {
    SetupLog("Admin xml added");
  }
  SetupSaveGlobalXml(&global, globalRoot);
  return true;
}

// Expands the administrator's text into a buffer of the expanded text's size, so that long
// values drop nothing, and merges its settings. 0, or the exit code of a failure.
int MergeAdminText(const char* raw, const char* globalPath) {
  VarPair vars[SETUP_MAX_VARIABLE_SLOTS + 1] = {};
  for (int i = 0; i < g_options.variableCount && i < SETUP_MAX_VARIABLE_SLOTS; ++i) {
    vars[i].name = g_options.variables[i].name;
    vars[i].value = g_options.variables[i].value;
  }
  VarExpander expander;
  // Values come in the ANSI code page and the file may be UTF-8: as references their letters
  // read the same in either, and the file's own letters keep the encoding they were written in.
  expander.SetHighCharsAsReferences(true);
  size_t capacity = expander.Measure(raw, vars);
  if (capacity == 0 || capacity > 0x7FFFFFFFu) return 103;
  HeapGuard<char> expanded;
  expanded.block = static_cast<char*>(malloc(capacity));
  if (expanded.block == nullptr) return 103;
  int length = static_cast<int>(capacity);
  if (expander.Expand(raw, expanded.block, &length, vars) != 1) length = 0;
  SetupLog("Variables Expanded");
  if (MergeAdminDocument(expanded.block, length, globalPath)) return 0;
  LogAdminFailure(ADMIN_NOT_PARSED);
  return 111;
}

// Merges the administrator's settings from the text the start read. One whose text no longer
// parses once its variables are replaced ends the run with 111 and its name: going on without
// its settings would report success for a run that did not do what it was told.
void MergeAdminFile(const char* globalPath) {
  if (SetupAdminFileState() != ADMIN_READ) {
    SetupLogError("Couldn't open Administrator's XML : %s", g_options.adminFile);
    return;
  }
  int failure = MergeAdminText(SetupAdminText(), globalPath);
  if (failure != 0) {
    SetupExit(nullptr, nullptr, failure, failure == 111 ? g_options.adminFile : nullptr);
  }
}

void ConnectUserInterfaces() {
  for (int i = 0; i < g_context.componentCount && g_context.components != nullptr; ++i) {
    ComponentDesc& c = g_context.components[i];
    for (int g = 0; g < c.guiLibCount && c.guiLibs != nullptr; ++g) {
      GuiLib& gui = c.guiLibs[g];
      if (gui.connectVis == nullptr) continue;
      gui.connection = gui.connectVis(g_context.globalXmlPath);
      if (gui.connection == nullptr) SetupExit(nullptr, nullptr, 103, nullptr);
    }
  }
}

void WriteRegistryRoot() {
  int failed = RegWriteProductRoot();
  if (failed == 0) {
    SetupLog("Registry: root written");
    return;
  }
  // "RR" and the step's letter (a for 1); a step past z is written as its number instead of a
  // character that is no letter.
  char tag[16];
  if (failed >= 1 && failed <= 26) {
    tag[0] = 'R';
    tag[1] = 'R';
    tag[2] = static_cast<char>('a' + failed - 1);
    tag[3] = 0;
  } else {
    wsprintfA(tag, "RR%d", failed);
  }
  SetupLogError("WRITING REGISTRY ROOT %s", tag);
  SetupExit(nullptr, nullptr, 111, tag);
}

// Opens global.xml for writing, or ends the run with 111 and tag.
XML_Document* OpenGlobal(const char* globalPath, const char* tag) {
  XML_Document* doc = nullptr;
  if (XML_Access(globalPath, &doc, 1) == nullptr) SetupExit(nullptr, nullptr, 111, tag);
  return doc;
}

// Closes global.xml, which writes it back; a failed write ends the run with 111 and tag, since the
// next phase would read the state before this one.
void CloseGlobal(XML_Document** doc, const char* tag) {
  int failed = XML_Close(*doc);
  *doc = nullptr;
  if (failed != 0) {
    SetupLogError("Can't write global.xml");
    SetupExit(nullptr, nullptr, 111, tag);
  }
}

// Saves the file statuses of global.xml, from which the rollback works. When they cannot be
// saved, the file transaction is undone now from the document in memory and the run ends with 111
// and tag; otherwise the document stays open, and closing it only releases it.
void SaveTransaction(XML_Document** doc, const char* tag) {
  if (XML_Save(*doc) == 0) return;
  SetupRollbackFiles(*doc);
  SetupRollbackCommon(*doc);
  XML_Close(*doc);
  *doc = nullptr;
  SetupLogError("Can't write global.xml");
  SetupExit(nullptr, nullptr, 111, tag);
}

int InstallSequence() {
  const bool upgrade = g_context.productInstalled != 0;
  g_context.phase = upgrade ? PHASE_PREPARE_UPGRADE : PHASE_PREPARE_NEW;
  VisWaitDlg(0);

  if (SetupBuildGlobalXml() != 0) SetupEndProcess(-1);
  CheckVersions();

  char globalPath[MAX_PATH];
  GlobalXmlPath(globalPath, sizeof globalPath);
  MergePackageSettings(globalPath);

  ExeLibsCommand(CMD_INIT, EXELIBS_PACKAGE);
  SetupLog("ExeLibs: Init");
  ExeLibsCommand(CMD_LOAD_CURRENT_STATE, EXELIBS_PACKAGE);
  SetupLog("ExeLibs: Load Current State");

  MergeAdminFile(globalPath);

  if (Interactive()) {
    // The preparation is done: a full bar before the dialog closes.
    SysProgressFinish();
    VisWaitDlg(3);
    ConnectUserInterfaces();
    if (g_vis.showSetupdlg(0) != VIS_SETUPDLG_PROCEED) {
      rollBackAll();
      SetupLog("rollBackAll");
      SetupExit(nullptr, nullptr, 0, nullptr);
    }
  }

  g_context.phase = upgrade ? PHASE_INSTALL_UPGRADE : PHASE_INSTALL_NEW;
  VisWaitDlg(0);

  // The folder may have changed in the setup dialog: checked again before the first change to
  // the machine, which the registry root and the install folder are.
  char space[128];
  int lacking = SetupCheckSpaceBeforeCopy(space, sizeof space);
  if (lacking != 0) SetupExit(nullptr, nullptr, lacking, space);

  WriteRegistryRoot();

  XML_Document* doc = OpenGlobal(globalPath, "CF");
  SetupExitContext withDoc = {&doc, nullptr};
  RollbackPush(&withDoc, ROLLBACK_FILE_TRANSACTION, "", "");
  const int copied = SetupCopyFiles(doc);
  SaveTransaction(&doc, "CF");
  if (!copied) SetupExit(&doc, nullptr, 111, "CF");
  SetupLog("SetupCopyFiles");
  CloseGlobal(&doc, "CF");

  ExeLibsCommand(CMD_INSTALL, EXELIBS_PACKAGE);
  RollbackPush(nullptr, ROLLBACK_COMPONENTS, "", "");
  SetupLog("ExeLibs: Install");

  doc = OpenGlobal(globalPath, "UI");
  SetupMergeUnistallInfo(doc);
  SetupLog("SetupMergeUnistallInfo");
  CloseGlobal(&doc, "UI");

  if (!SetupCopyEngines()) SetupExit(nullptr, nullptr, 111, "CE");
  if (!RegWriteRegistration()) SetupExit(nullptr, nullptr, 116, nullptr);
  SetupLog("WriteRegistryInfo");

  ExeLibsCommand(CMD_COMMIT_INSTALL, EXELIBS_PACKAGE);
  SetupLog("ExeLibs: Commit Install");

  doc = OpenGlobal(globalPath, "CF3");
  const int committed = SetupCommitChanges(doc);
  SaveTransaction(&doc, "CF3");
  if (!committed) SetupExit(&doc, nullptr, 111, "CF2");
  SetupLog("SetupCommitChanges");
  CloseGlobal(&doc, "CF3");

  if (!SetupCommitEngines()) SetupExit(nullptr, nullptr, 111, "CO");
  if (!commitChanges()) SetupExit(nullptr, nullptr, 111, "CF2");
  SetupLog("commitChanges");

  ExeLibsRelease();
  const bool owed = g_context.restartPending != 0;
  if (Interactive()) {
    SysProgressFinish();
    VisWaitDlg(3);
    VisShowEndDlg(upgrade ? 15 : 14);
    VisLibRelease();
  }
  SetupRestartIfNeeded();
  return EndRun(owed);
}

// ---- Uninstall sequence ----

// Asks for the password of a locked product until it checks out. false when the run must end:
// silent mode with a wrong or missing "/PWD=", or the user gave up.
bool PasswordAccepted() {
  OldSettings old;
  ReadOldSettings(&old, 1);
  if (old.LockSettings == 0) return true;
  const uint16_t stored = static_cast<uint16_t>(old.LockPassword);
  char password[sizeof g_options.password];
  StrCopyN(password, g_options.password, sizeof password);
  while (!SetupCheckPassword(stored, password)) {
    if (!Interactive()) {
      // The exit code stays 0: the log is where an administrator sees that nothing was removed.
      SetupLogError("Product locked: the password is missing or wrong");
      return false;
    }
    g_vis.enterPwd(password);
    // The dialog may fill all 30 bytes: the last one is always the terminator.
    password[sizeof password - 1] = 0;
    if (password[0] == 0) return false;
  }
  return true;
}

// Deletes the files of one folder below the System folder and the folder itself; a path that does
// not fit is left alone.
void RemoveSystemSubfolder(const char* below) {
  char folder[MAX_PATH];
  if (!SetupSystemPath(folder, sizeof folder, below)) return;
  FileDeleteMatching(folder, 1, "*.*", 0);
}

int UninstallSequence() {
  if (!RegGetInstallDir(g_context.installDir, sizeof g_context.installDir)) {
    if (Interactive()) VisShowMsg(205, nullptr, MB_OK);
    SetupLog("P_NOTHING_UNINST");
    SetupRemoveEmptyProductKeys();
    return EndRunRefused();
  }
  if (Interactive() && VisShowMsg(201, nullptr, MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return EndRun();
  }
  if (!PasswordAccepted()) return EndRunRefused();
  // Read now: the uninstall list takes the product's keys, and this record with them.
  const int folderCreated = RegInstallFolderCreated();

  g_context.phase = PHASE_UNINSTALL;
  VisWaitDlg(0);
  const bool listed = ExeLibsLoadInstalled() != 0;
  if (listed) SetupLog("Uninstall prepared");
  if (!SetupMarkUninstalling()) SetupExit(nullptr, nullptr, 111, "UN");
  ExeLibsCommand(CMD_INIT, EXELIBS_INSTALLED);
  SetupLog("ExeLibs: Init");
  ExeLibsCommand(CMD_UNINSTALL, EXELIBS_INSTALLED);
  SetupLog("ExeLibs: Unistall");

  char globalPath[MAX_PATH];
  GlobalXmlPath(globalPath, sizeof globalPath);
  XML_Document* doc = nullptr;
  if (listed && XML_Access(globalPath, &doc, 0) != nullptr) {
    SetupUnistallCommon(doc);
    SetupLog("SetupUnistallCommon");
    XML_Close(doc);
  }

  ExeLibsRelease();
  // One setup runs at a time: what an update kept for after its run is no longer wanted.
  SetupDeleteExtractionFolders();
  // The System folder as the system reports it: it is no environment variable.
  RemoveSystemSubfolder("ServerAppliance\\ZORVA\\");
  RemoveSystemSubfolder("ServerAppliance\\Web\\ZORVA\\");
  // The product stays registered, its entry and keys in place, while anything of it could not be
  // removed nor scheduled for the restart: the same uninstallation run again finishes it.
  if (!SetupRemoveProductFolders(folderCreated) || !SetupRemoveUninstallEntry() ||
      !SetupRemoveProductKeys()) {
    SetupLogError("Uninstall incomplete: run it again");
    SetupExit(nullptr, nullptr, 111, "UN");
  }

  const bool owed = g_context.restartPending != 0;
  if (Interactive()) {
    SysProgressFinish();
    VisWaitDlg(3);
    VisShowEndDlg(16);
    VisLibRelease();
  }
  SetupRestartIfNeeded();
  return EndRun(owed);
}

}  // namespace

int SetupCheckPassword(uint16_t stored, const char* password) {
  return CmdCrc16(password, 259) == stored ? 1 : 0;
}

int SetupMain(const char* commandLine) {
  if (commandLine == nullptr) commandLine = "";
  SetupInitContext();
  SetupParseCommandLine(commandLine);

  g_context.logFilePath[0] = 0;
  if (g_options.test || g_options.logNamed) OpenLog(commandLine);
  HoldSetupMutex();
  EndOnUnusableAdminFile(commandLine);
  AuthorizeRemotely();
  LoadLanguageLibrary();
  CheckRuntimeLibraries(commandLine);
  ConnectVisualLibrary();

  if (g_context.exitCode != 0) SetupExit(nullptr, nullptr, g_context.exitCode, nullptr);
  if (!SetupOneComponentXml()) {
    SetupExit(nullptr, nullptr, 121, g_options.singleComponentArchive);
  }
  RegReadInstalledComponents();
  SetupLog("Registry: old settings read");
  // What the copies of a run cut short made goes before anything else is changed.
  SetupRecoverCopies();

  return g_options.uninstall ? UninstallSequence() : InstallSequence();
}
