#include "driver/options.h"

#include <stdlib.h>
#include <string.h>

#include "driver/cmdline.h"
#include "run/exit.h"
#include "settings/settings.h"
#include "system/files.h"
#include "system/guards.h"
#include "system/os.h"
#include "system/progress.h"
#include "system/registry.h"
#include "system/str.h"
#include "xml/xml.h"

namespace {

// The UTF-16 path of global.xml that the context's first field points at.
wchar_t g_globalXmlPath[MAX_PATH];

// The text of the item at hand that the context's progress item points at. The visual library
// never sees a worker's buffer: the main thread copies the name here between two messages.
char g_progressItemText[MAX_PATH];

// The private copy of the command line that the variables point into.
char g_variablesText[CMD_VARS_SIZE];

static_assert(sizeof(CmdVariable) == sizeof(SetupVariable), "variable pair layout");

// The seven flags, in the order they are read from CMDLINE and looked up on the command line.
struct FlagSwitch {
  const wchar16* node;
  const char* text;
  uint8_t SetupRunOptions::*field;
};
const FlagSwitch kFlags[] = {
    {u"SILENTMODE", "/SILENTMODE", &SetupRunOptions::silent},
    {u"UNINSTALL", "/UNINSTALL", &SetupRunOptions::uninstall},
    {u"FORCEOLD", "/FORCEOLD", &SetupRunOptions::forceOld},
    {u"UPDATE", "/UPDATE", &SetupRunOptions::update},
    {u"TEST", "/TEST", &SetupRunOptions::test},
    {u"REBOOT", "/REBOOT", &SetupRunOptions::reboot},
    {u"INSTMFC", "/INSTMFC", &SetupRunOptions::installRuntimeLibs},
};

// Cuts the value behind the switch name into dest when the switch occurs in scan; the value is
// taken from source at the same position (scan itself for the upper-cased values).
bool TakeValue(const char* scan, const char* source, const char* name, char* dest, int size) {
  int at = CmdFind(scan, name);
  if (at < 0) return false;
  CmdCutValue(source + at + strlen(name), dest, size);
  return true;
}

// The administrator's file as the start read it: why it cannot be used, or its text and the
// document parsed from it (before its variables are replaced). Read once, so that every step of
// the run goes by the same text; kept for the rest of the process.
SetupAdminRead g_adminState = ADMIN_ABSENT;
char* g_adminText = nullptr;
XML_Document* g_adminDoc = nullptr;

// Reads the administrator's file whole into a block of its size plus one byte, terminated behind
// the bytes read, sharing it for reading and writing. ADMIN_ABSENT when FileExists finds no file
// of that name (as for "/CFG=", 102); one that is there but cannot be opened (no access, held
// without sharing) is ADMIN_NOT_OPENED.
SetupAdminRead ReadAdminFile(HeapGuard<char>* text, DWORD* length) {
  if (!FileExists(g_options.adminFile)) return ADMIN_ABSENT;
  HandleGuard file(FileOpenRetry(g_options.adminFile, GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL));
  if (file.handle == INVALID_HANDLE_VALUE) return ADMIN_NOT_OPENED;
  DWORD size = GetFileSize(file.handle, nullptr);
  // A file of about 1 GiB or more is taken as out of memory.
  if (size == INVALID_FILE_SIZE || size > 0x3FFFFF00u) return ADMIN_NO_MEMORY;
  text->block = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
  if (text->block == nullptr) return ADMIN_NO_MEMORY;
  DWORD got = 0;
  if (!ReadFile(file.handle, text->block, size, &got, nullptr)) return ADMIN_READ_FAILED;
  text->block[got] = 0;
  *length = got;
  return ADMIN_READ;
}

// Reads the administrator's file and the flags of its CMDLINE element.
void ReadAdminFile() {
  // The document borrows the text: closed first.
  XML_Close(g_adminDoc);
  g_adminDoc = nullptr;
  free(g_adminText);
  g_adminText = nullptr;
  HeapGuard<char> text;
  DWORD length = 0;
  g_adminState = ReadAdminFile(&text, &length);
  if (g_adminState != ADMIN_READ) return;
  XML_Document* doc = XML_Create();
  if (doc == nullptr) {
    g_adminState = ADMIN_NO_MEMORY;
    return;
  }
  if (XML_Parse(doc, text.block, static_cast<int>(length)) != 0) {
    g_adminState = ADMIN_NOT_PARSED;
    XML_Close(doc);
    return;
  }
  g_adminText = text.block;
  text.block = nullptr;
  g_adminDoc = doc;
  XML_Node* cmdline = XML_NextElement(XML_GetRoot(doc), u"CMDLINE", nullptr);
  if (cmdline == nullptr) return;
  for (const FlagSwitch& flag : kFlags) {
    uint32_t value = 0;
    if (CFG_GetDword(doc, cmdline, flag.node, &value) != 1) value = 0;
    g_options.*flag.field = static_cast<uint8_t>(value & 0xFF);
  }
}

}  // namespace

SetupAdminRead SetupAdminFileState() { return g_adminState; }

const char* SetupAdminText() { return g_adminText; }

XML_Document* SetupAdminDocument() { return g_adminDoc; }

void SetupInitContext() {
  g_context.reserved12 = 0;
  g_context.reserved1976 = 0;
  g_context.spaceNeededKiB = 0;
  SysProgressAttach(&g_context.progressDone, &g_context.progressTotal, &g_context.progressItem,
                    g_progressItemText, sizeof g_progressItemText);
  g_context.exitCode = 0;
  g_context.engineList = nullptr;
  g_context.componentCount = 0;
  g_context.components = nullptr;
  g_context.installedComponentCount = 0;
  g_context.installedComponents = nullptr;
  g_context.globalXmlPath = g_globalXmlPath;

  HDC display = CreateICA("DISPLAY", nullptr, nullptr, nullptr);
  if (display != nullptr) {
    g_context.colorDepth = GetDeviceCaps(display, PLANES) * GetDeviceCaps(display, BITSPIXEL);
    DeleteDC(display);
  }

  OSVERSIONINFOA version;
  memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    g_context.runningPlatform = PLATFORM_WIN9X;
  } else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    g_context.runningPlatform = PLATFORM_NT;
    if (version.dwMajorVersion < 4) SetupExit(nullptr, nullptr, 104, nullptr);
    if (!SysIsAdmin()) g_context.exitCode = 101;
  } else {
    g_context.runningPlatform = PLATFORM_ANY;
  }

  UINT n = GetWindowsDirectoryA(g_context.windowsDir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) g_context.windowsDir[0] = 0;
  AddBackslash(g_context.windowsDir, MAX_PATH);
  n = GetSystemDirectoryA(g_context.systemDir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) g_context.systemDir[0] = 0;
  AddBackslash(g_context.systemDir, MAX_PATH);
  n = ExpandEnvironmentStringsA("%PROGRAMFILES%\\", g_context.programFilesDir, MAX_PATH);
  if (n == 0 || n > MAX_PATH) g_context.programFilesDir[0] = 0;

  char self[MAX_PATH];
  n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) self[0] = 0;
  char* lastSlash = strrchr(self, '\\');
  if (lastSlash != nullptr) lastSlash[1] = 0;
  StrCopyN(g_context.setupDir, lastSlash != nullptr ? self : "", MAX_PATH);

  RegGetInstallDir(g_context.installDir, MAX_PATH);
  g_context.productInstalled = g_context.installDir[0] != 0 ? 1 : 0;

  g_context.packageDataDir[0] = 0;
  g_context.installedLanguage[0] = 0;
}

void SetupParseCommandLine(const char* commandLine) {
  if (commandLine == nullptr) commandLine = "";
  // Longer command lines are scanned over their first 499 characters only.
  char scan[CMD_SCAN_SIZE];
  CmdUpperCopy(scan, commandLine, sizeof scan);

  if (TakeValue(scan, scan, "/CFG=", g_options.adminFile, sizeof g_options.adminFile)) {
    // Tested on the path that is read later: a relative name lies in the setup folder.
    SetupMakeAbsolute(g_options.adminFile, 0);
    if (!FileExists(g_options.adminFile)) g_context.exitCode = 102;
  }
  TakeValue(scan, scan, "/SETTINGS=", g_options.setupDescFile, sizeof g_options.setupDescFile);
  if (TakeValue(scan, scan, "/NUP=", g_options.singleComponentArchive,
                sizeof g_options.singleComponentArchive)) {
    StrCopyN(g_options.setupDescFile, "setupc.xml", sizeof g_options.setupDescFile);
  }
  // The password and the server keep their case: cut from the command line as received.
  TakeValue(scan, commandLine, "/PWD=", g_options.password, sizeof g_options.password);
  TakeValue(scan, commandLine, "/AUTHSERVER=", g_options.authServer, sizeof g_options.authServer);
  // The log's name keeps its case too. A relative name is taken against the current folder of
  // the start, as deployment tools pass it; later changes of the folder cannot move the log. The
  // name is cut from a buffer larger than a path, so that a name too long for one is refused
  // whole rather than cut into another file's name.
  char logName[2 * MAX_PATH];
  if (TakeValue(scan, commandLine, "/LOG=", logName, sizeof logName)) {
    DWORD n = logName[0] != 0
                  ? GetFullPathNameA(logName, sizeof g_options.logFile, g_options.logFile, nullptr)
                  : 0;
    g_options.logNamed = n != 0 && n < sizeof g_options.logFile ? LOG_NAMED : LOG_NAMED_UNUSABLE;
    if (g_options.logNamed == LOG_NAMED_UNUSABLE) {
      StrCopyN(g_options.logFile, logName, sizeof g_options.logFile);
    }
  }

  SetupMakeAbsolute(g_options.adminFile, 0);
  ReadAdminFile();
  for (const FlagSwitch& flag : kFlags) {
    if (g_options.*flag.field == 0 && CmdFlagPresent(scan, flag.text)) g_options.*flag.field = 1;
  }

  StrCopyN(g_variablesText, commandLine, sizeof g_variablesText);
  memset(g_options.variables, 0, sizeof g_options.variables);
  // The list ends at the first empty slot, so one slot always stays free.
  CmdVariable found[SETUP_MAX_VARIABLE_SLOTS - 1];
  int count = CmdScanVariables(g_variablesText, found, SETUP_MAX_VARIABLE_SLOTS - 1);
  for (int i = 0; i < count; ++i) {
    g_options.variables[i].name = found[i].name;
    g_options.variables[i].value = found[i].value;
  }
  g_options.variableCount = count;

  SetupMakeAbsolute(g_options.setupDescFile, 0);
  SetupMakeAbsolute(g_options.singleComponentArchive, 0);

  g_context.updateMode = g_options.update;
  g_context.restartPending = g_options.update ? 0 : 1;
  if (g_options.update && !g_context.productInstalled && g_context.exitCode != 102) {
    g_context.exitCode = 117;
  }
}
