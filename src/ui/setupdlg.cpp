// The setup dialog: the package's title, its components with their builds, the install folder
// (chosen by the user for a new installation, fixed for an upgrade), Install and Cancel.
#include <string.h>
// The common-control and shell headers build on windows.h, so it comes first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
// clang-format on

#include "run/libraries.h"
#include "system/diskspace.h"
#include "system/libload.h"
#include "system/str.h"
#include "ui/resource.h"
#include "ui/ui.h"
#include "xml/xml.h"

namespace {

bool Upgrade() { return g_uiContext != nullptr && g_uiContext->productInstalled != 0; }

// What the dialog learns when it opens: the folder setup proposed, the name of the product's own
// folder, and the longest path the package puts below the install folder.
char g_proposed[MAX_PATH];
char g_productFolder[MAX_PATH];
int g_longestBelow = 0;
// Set while the dialog itself writes the folder field, so that the note about it stays.
bool g_writingFolder = false;

// Room below the install folder that setup needs whatever the package holds: "\Setup\NN\" and a
// component library's name (at most 19 characters) with room for its waiting copy's name.
const int kSetupRoom = 10 + 19 + 3;
// A file that is in use waits beside its target under a name up to 3 characters longer
// ("a.b" -> "_.b100").
const int kAlternateRoom = 3;
const char kInstallDirVariable[] = "%INSTALLDIR%";

// Closes a document on every path; a document whose writing back failed reports it.
struct DocumentGuard {
  XML_Document* doc = nullptr;
  DocumentGuard() = default;
  DocumentGuard(const DocumentGuard&) = delete;
  DocumentGuard& operator=(const DocumentGuard&) = delete;
  ~DocumentGuard() { XML_Close(doc); }
  int Close() {
    int failed = XML_Close(doc);
    doc = nullptr;
    return failed;
  }
};

void AddColumn(HWND list, int index, int textId, int width) {
  char text[64];
  UiLoadText(textId, text, sizeof text);
  LVCOLUMNA column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  column.pszText = text;
  column.cx = width;
  column.iSubItem = index;
  SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(&column));
}

void SetCell(HWND list, int row, int column, const char* text) {
  LVITEMA item = {};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text);
  if (column == 0) {
    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  } else {
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  }
}

// Builds are shown as the uninstall entry's DisplayVersion shows them: hexadecimal, upper case,
// without leading zeros. An upgrade shows the installed build and the new one.
void BuildText(const ComponentDesc& c, bool upgrade, char* out) {
  if (upgrade && c.counterpart != nullptr && c.counterpart->build != c.build) {
    wsprintfA(out, "%X -> %X", static_cast<unsigned>(c.counterpart->build),
              static_cast<unsigned>(c.build));
  } else {
    wsprintfA(out, "%X", static_cast<unsigned>(c.build));
  }
}

// The list only shows what is installed: nothing in it can be chosen, so no row is ever selected
// (LVN_ITEMCHANGING refuses it), and it takes the keyboard only to scroll.
void FillComponents(HWND list) {
  RECT client;
  GetClientRect(list, &client);
  // Column widths follow the list's size in pixels, which the dialog units scaled for the font.
  int width = client.right - GetSystemMetrics(SM_CXVSCROLL);
  const bool upgrade = Upgrade();
  AddColumn(list, 0, IDS_COLUMN_COMPONENT, upgrade ? width * 3 / 5 : width * 3 / 4);
  AddColumn(list, 1, IDS_COLUMN_BUILD, upgrade ? width * 2 / 5 : width / 4);
  if (g_uiContext == nullptr || g_uiContext->components == nullptr) return;
  for (int i = 0; i < g_uiContext->componentCount; ++i) {
    const ComponentDesc& c = g_uiContext->components[i];
    char text[32];
    SetCell(list, i, 0, c.displayName[0] != 0 ? c.displayName : c.name);
    BuildText(c, upgrade, text);
    SetCell(list, i, 1, text);
  }
}

bool IsFolder(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A folder with anything in it, hidden and system entries (desktop.ini) included.
bool HoldsSomething(const char* folder) {
  char pattern[MAX_PATH];
  StrCopyN(pattern, folder, sizeof pattern);
  AddBackslash(pattern, sizeof pattern);
  if (strlen(pattern) + 2 > sizeof pattern) return true;
  StrAppendN(pattern, "*", sizeof pattern);
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool something = false;
  do {
    something = strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0;
  } while (!something && FindNextFileA(find, &found));
  FindClose(find);
  return something;
}

// The last name of a folder path (with or without its trailing backslash) into out.
void LastName(const char* folder, char* out, int size) {
  char path[MAX_PATH];
  StrCopyN(path, folder, sizeof path);
  size_t n = strlen(path);
  if (n > 0 && path[n - 1] == '\\') path[n - 1] = 0;
  const char* name = strrchr(path, '\\');
  StrCopyN(out, name != nullptr ? name + 1 : "", size);
}

// The product's own folder is named as the last name of the folder setup proposed ("Vesk" of
// "C:\Program Files\Vesk\"), unless that folder already holds something (an administrator named
// an existing folder) or there is none: then "Vesk", the default's name.
void TakeProposal() {
  StrCopyN(g_proposed, g_uiContext != nullptr ? g_uiContext->installDir : "", sizeof g_proposed);
  LastName(g_proposed, g_productFolder, sizeof g_productFolder);
  if (g_productFolder[0] == 0 || !StrIsFolderBelowRoot(g_proposed) ||
      (IsFolder(g_proposed) && HoldsSomething(g_proposed))) {
    StrCopyN(g_productFolder, "Vesk", sizeof g_productFolder);
  }
}

// The longest path the package puts below the install folder, counted from the backslash behind
// it: every file's and folder's target in global.xml that starts with "%INSTALLDIR%", with room for
// a waiting copy's name, and never less than what setup's own folder needs.
int LongestBelowInstallFolder() {
  int longest = kSetupRoom;
  if (g_uiContext == nullptr || g_uiContext->globalXmlPath == nullptr) return longest;
  char path[MAX_PATH];
  WideToAnsi(path, reinterpret_cast<const wchar16*>(g_uiContext->globalXmlPath), sizeof path);
  if (path[0] == 0 || GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return longest;
  DocumentGuard global;
  global.doc = XML_Open(path, 0);
  if (global.doc == nullptr || XML_OpenDocument(global.doc) != XML_ELEMENT) return longest;
  XML_Node* components = XML_Find(global.doc, nullptr, u"PACKAGE\\COMPONENTS", XML_OPEN_EXISTING);
  const int prefix = static_cast<int>(sizeof kInstallDirVariable) - 1;
  XML_Node* cursor = nullptr;
  for (XML_Node* c = components ? XML_NextElement(components, u"COMPONENT", &cursor) : nullptr;
       c != nullptr; c = XML_NextElement(components, u"COMPONENT", &cursor)) {
    XML_Node* filesCursor = nullptr;
    XML_Node* files = XML_NextElement(c, u"FILES", &filesCursor);
    XML_Node* entryCursor = nullptr;
    for (XML_Node* e = files ? XML_NextElement(files, nullptr, &entryCursor) : nullptr;
         e != nullptr; e = XML_NextElement(files, nullptr, &entryCursor)) {
      char target[MAX_PATH * 2];
      int size = sizeof target;
      if (XML_GetAttributeA(global.doc, e, u"TARGET", target, &size) != 0 ||
          StrCompareNoCaseAscii(target, kInstallDirVariable, prefix) != 0) {
        continue;
      }
      int below = static_cast<int>(strlen(target)) - prefix + kAlternateRoom;
      if (below > longest) longest = below;
    }
  }
  return longest;
}

int CALLBACK BrowseCallback(HWND browser, UINT message, LPARAM, LPARAM start) {
  if (message == BFFM_INITIALIZED && start != 0) {
    SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, start);
  }
  return 0;
}

// Cuts path back to its nearest existing folder; empty when there is none.
void NearestFolder(char* path) {
  while (path[0] != 0 && !IsFolder(path)) {
    size_t n = strlen(path);
    if (path[n - 1] == '\\') path[n - 1] = 0;
    char* cut = strrchr(path, '\\');
    if (cut == nullptr) {
      path[0] = 0;
    } else if (cut == path + 2 && path[1] == ':') {
      cut[1] = 0;  // a drive's root keeps its backslash
    } else {
      *cut = 0;
    }
  }
}

// The shell's folder browser, loaded from the System folder when first needed: the shell is not
// on every system's list of known libraries, so a static import would be looked for beside the
// program first. Null without it (Browse then does nothing).
struct ShellApi {
  LPITEMIDLIST(WINAPI* browse)(BROWSEINFOA*);
  BOOL(WINAPI* pathFromList)(LPCITEMIDLIST, char*);
  HRESULT(WINAPI* getMalloc)(IMalloc**);
  // COM, which the browser needs on the calling thread (from the System folder too).
  HRESULT(WINAPI* coInitialize)(void*);
  void(WINAPI* coUninitialize)();
};

const ShellApi* Shell() {
  static ShellApi api;
  static HMODULE module = nullptr;
  if (module == nullptr) {
    module = SysLoadSystemLibrary("shell32.dll");
    if (module == nullptr) return nullptr;
    api.browse = reinterpret_cast<decltype(api.browse)>(
        reinterpret_cast<void*>(GetProcAddress(module, "SHBrowseForFolderA")));
    api.pathFromList = reinterpret_cast<decltype(api.pathFromList)>(
        reinterpret_cast<void*>(GetProcAddress(module, "SHGetPathFromIDListA")));
    api.getMalloc = reinterpret_cast<decltype(api.getMalloc)>(
        reinterpret_cast<void*>(GetProcAddress(module, "SHGetMalloc")));
    HMODULE ole = SysLoadSystemLibrary("ole32.dll");
    if (ole != nullptr) {
      api.coInitialize = reinterpret_cast<decltype(api.coInitialize)>(
          reinterpret_cast<void*>(GetProcAddress(ole, "CoInitialize")));
      api.coUninitialize = reinterpret_cast<decltype(api.coUninitialize)>(
          reinterpret_cast<void*>(GetProcAddress(ole, "CoUninitialize")));
    }
  }
  return api.browse != nullptr && api.pathFromList != nullptr && api.getMalloc != nullptr &&
                 api.coInitialize != nullptr && api.coUninitialize != nullptr
             ? &api
             : nullptr;
}

// A folder the person picked or typed that already holds something gets a folder of the product's
// own inside it, so that the product's files never mix with theirs (and the uninstallation never
// has to tell them apart). The proposed folder stays as it is. true when the name was appended.
bool WithProductFolder(char* folder, int size) {
  if (lstrcmpiA(folder, g_proposed) == 0 || !IsFolder(folder) || !HoldsSomething(folder)) {
    return false;
  }
  char last[MAX_PATH];
  LastName(folder, last, sizeof last);
  if (lstrcmpiA(last, g_productFolder) == 0) return false;  // the product's folder already
  if (strlen(folder) + strlen(g_productFolder) + 2 > static_cast<size_t>(size)) return false;
  StrAppendN(folder, g_productFolder, size);
  AddBackslash(folder, size);
  return true;
}

// Writes folder into the field; with appended, the note below says why it grew.
void ShowFolder(HWND dialog, const char* folder, bool appended) {
  g_writingFolder = true;
  SetDlgItemTextA(dialog, IDC_FOLDER, folder);
  g_writingFolder = false;
  HWND note = GetDlgItem(dialog, IDC_FOLDER_NOTE);
  if (appended) {
    UiSetText(note, IDS_FOLDER_APPENDED, g_productFolder, 0);
  } else {
    SetWindowTextA(note, "");
  }
}

void Browse(HWND dialog) {
  // The browser opens at the folder typed so far, else at the one setup chose, or at their
  // nearest existing parent.
  char start[MAX_PATH];
  GetDlgItemTextA(dialog, IDC_FOLDER, start, sizeof start);
  NearestFolder(start);
  if (start[0] == 0 && g_uiContext != nullptr) {
    StrCopyN(start, g_uiContext->installDir, sizeof start);
    NearestFolder(start);
  }
  char prompt[UI_TEXT_SIZE];
  UiFormat(IDS_BROWSE_PROMPT, nullptr, 0, prompt, sizeof prompt);
  char display[MAX_PATH];
  BROWSEINFOA info = {};
  info.hwndOwner = dialog;
  info.pszDisplayName = display;
  info.lpszTitle = prompt;
  // The edit box needs shell 4.71; older shells ignore the flag and offer the tree alone.
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX;
  info.lpfn = BrowseCallback;
  info.lParam = start[0] != 0 ? reinterpret_cast<LPARAM>(start) : 0;
  const ShellApi* shell = Shell();
  if (shell == nullptr) return;
  // The browser is a COM client (its tree is the shell's namespace): COM must be initialised on
  // this thread for the time it runs, in the single-threaded apartment.
  // A thread already in another apartment has COM too.
  HRESULT com = shell->coInitialize(nullptr);
  if (FAILED(com) && com != RPC_E_CHANGED_MODE) return;
  LPITEMIDLIST chosen = shell->browse(&info);
  char path[MAX_PATH];
  BOOL named = chosen != nullptr && shell->pathFromList(chosen, path);
  IMalloc* shellMalloc = nullptr;
  if (chosen != nullptr && SUCCEEDED(shell->getMalloc(&shellMalloc))) {
    shellMalloc->Free(chosen);
    shellMalloc->Release();
  }
  if (SUCCEEDED(com)) shell->coUninitialize();
  if (!named || path[0] == 0) return;
  AddBackslash(path, sizeof path);
  ShowFolder(dialog, path, WithProductFolder(path, sizeof path));
  // Enter now installs instead of opening the browser again.
  SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDOK)), TRUE);
}

// What the drive of folder (as typed) has free; false when it names no drive the system knows.
bool FolderFree(const char* typed, uint64_t* freeBytes) {
  char folder[MAX_PATH];
  char root[MAX_PATH];
  uint32_t cluster = 0;
  return UiNormalizeFolder(typed, folder, sizeof folder) &&
         SysVolumeRoot(folder, root, sizeof root) && SysVolumeFree(root, freeBytes, &cluster);
}

// "Space required: 1.2 MB  Space available: 3.4 GB" for the folder typed; empty while the program
// has not said what the installation needs (a program that does not tell leaves the field 0).
void SpaceText(const char* typed, char* out, int size) {
  out[0] = 0;
  if (g_uiContext == nullptr || g_uiContext->spaceNeededKiB <= 0) return;
  char amount[32];
  SysAmountText(static_cast<uint64_t>(g_uiContext->spaceNeededKiB) * 1024, amount, sizeof amount);
  UiFormat(IDS_SPACE_REQUIRED, amount, 0, out, size);
  uint64_t freeBytes = 0;
  if (!FolderFree(typed, &freeBytes)) return;
  SysAmountText(freeBytes, amount, sizeof amount);
  char available[UI_TEXT_SIZE];
  UiFormat(IDS_SPACE_AVAILABLE, amount, 0, available, sizeof available);
  StrAppendN(out, "    ", size);
  StrAppendN(out, available, size);
}

// Shows the space line for the folder in the dialog's field.
void ShowSpace(HWND dialog) {
  char typed[MAX_PATH + 2];
  GetDlgItemTextA(dialog, IDC_FOLDER, typed, sizeof typed);
  char text[UI_TEXT_SIZE];
  SpaceText(typed, text, sizeof text);
  SetDlgItemTextA(dialog, IDC_SPACE, text);
}

// true when the drive of folder has room for what the installation writes there, or cannot
// tell; the program checks every drive again before it changes anything.
bool FolderHasRoom(const char* folder) {
  uint64_t freeBytes = 0;
  if (g_uiContext == nullptr || g_uiContext->spaceNeededKiB <= 0) return true;
  if (!FolderFree(folder, &freeBytes)) return true;
  return freeBytes >= static_cast<uint64_t>(g_uiContext->spaceNeededKiB) * 1024;
}

void ShowError(HWND dialog, int id, const char* detail, int number) {
  char text[UI_TEXT_SIZE];
  char caption[UI_TEXT_SIZE];
  UiFormat(id, detail, number, text, sizeof text);
  UiFormat(IDS_CAPTION_MESSAGE, nullptr, 0, caption, sizeof caption);
  MessageBoxA(dialog, text, caption, MB_OK | MB_ICONEXCLAMATION);
}

// Whether setup can make a folder in folder (an existing one): the way a CD, a read-only share or
// a folder the account may not write to shows at once, instead of as a failed copy later. The
// probe folder goes again at once.
bool CanCreateIn(const char* folder) {
  for (DWORD i = 0; i < 100; ++i) {
    char probe[MAX_PATH + 16];
    wsprintfA(probe, "%s%s~zs%04X.tmp", folder, folder[strlen(folder) - 1] == '\\' ? "" : "\\",
              static_cast<unsigned>((GetTickCount() + i) & 0xFFFF));
    if (strlen(probe) >= MAX_PATH) return false;
    if (CreateDirectoryA(probe, nullptr)) {
      RemoveDirectoryA(probe);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

// The message that refuses folder's drive, or 0: the drive or share must exist, and setup must be
// able to write there.
int DriveProblem(const char* folder, char* root, int size) {
  // "X:\" or "\\server\share\": the folder has passed StrIsFolderBelowRoot.
  StrCopyN(root, folder, size);
  char* end = root[1] == ':' ? root + 2 : strchr(strchr(root + 2, '\\') + 1, '\\');
  end[1] = 0;
  UINT type = GetDriveTypeA(root);
  if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) return IDS_FOLDER_NO_DRIVE;
  if (type == DRIVE_CDROM) return IDS_FOLDER_READ_ONLY;
  char existing[MAX_PATH];
  StrCopyN(existing, folder, sizeof existing);
  NearestFolder(existing);
  if (existing[0] == 0) StrCopyN(existing, root, sizeof existing);
  return CanCreateIn(existing) ? 0 : IDS_FOLDER_READ_ONLY;
}

// Takes the folder of a new installation from the dialog. false keeps the dialog open.
bool AcceptFolder(HWND dialog) {
  if (Upgrade()) return true;
  HWND edit = GetDlgItem(dialog, IDC_FOLDER);
  char typed[MAX_PATH + 2];
  GetWindowTextA(edit, typed, sizeof typed);
  char folder[MAX_PATH];
  int problem = 0;
  int number = 0;
  char detail[MAX_PATH];
  StrCopyN(detail, typed, sizeof detail);
  if (!UiNormalizeFolder(typed, folder, sizeof folder)) {
    problem = IDS_FOLDER_INVALID;
  } else if (WithProductFolder(folder, sizeof folder)) {
    // Shown before anything is installed: Install again goes there.
    ShowFolder(dialog, folder, true);
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDOK)), TRUE);
    return false;
  } else if (static_cast<int>(strlen(folder)) > MAX_PATH - g_longestBelow) {
    problem = IDS_FOLDER_TOO_LONG;
    number = MAX_PATH - g_longestBelow;
  } else {
    problem = DriveProblem(folder, detail, sizeof detail);
    if (problem == IDS_FOLDER_READ_ONLY) StrCopyN(detail, folder, sizeof detail);
    if (problem == 0 && !FolderHasRoom(folder)) {
      problem = IDS_FOLDER_NO_SPACE;
      SpaceText(folder, detail, sizeof detail);
    }
  }
  if (problem != 0) {
    ShowError(dialog, problem, detail, number);
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
    return false;
  }
  if (!UiRecordInstallFolder(folder)) {
    char path[MAX_PATH];
    path[0] = 0;
    if (g_uiContext != nullptr && g_uiContext->globalXmlPath != nullptr) {
      WideToAnsi(path, reinterpret_cast<const wchar16*>(g_uiContext->globalXmlPath), sizeof path);
    }
    ShowError(dialog, IDS_FOLDER_NOT_RECORDED, path, 0);
    return false;
  }
  return true;
}

INT_PTR CALLBACK SetupProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      UiSetText(dialog, IDS_CAPTION_SETUP, nullptr, 0);
      UiSetText(GetDlgItem(dialog, IDC_INTRO), Upgrade() ? IDS_INTRO_UPGRADE : IDS_INTRO_NEW,
                nullptr, 0);
      FillComponents(GetDlgItem(dialog, IDC_COMPONENTS));
      HWND edit = GetDlgItem(dialog, IDC_FOLDER);
      // Room for the backslash the folder gets when it lacks one.
      SendMessageA(edit, EM_LIMITTEXT, MAX_PATH - 2, 0);
      TakeProposal();
      g_longestBelow = Upgrade() ? 0 : LongestBelowInstallFolder();
      ShowFolder(dialog, g_proposed, false);
      ShowSpace(dialog);
      if (Upgrade()) {
        // An installed product is upgraded where it is. Read-only, not greyed: the folder can
        // still be read whole, scrolled and copied.
        SendMessageA(edit, EM_SETREADONLY, TRUE, 0);
        EnableWindow(GetDlgItem(dialog, IDC_BROWSE), FALSE);
      }
      UiBringToFront(dialog);
      SetFocus(GetDlgItem(dialog, IDOK));
      return FALSE;
    }
    case WM_NOTIFY: {
      const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
      if (change->hdr.idFrom == IDC_COMPONENTS && change->hdr.code == LVN_ITEMCHANGING &&
          (change->uNewState & LVIS_SELECTED) != 0) {
        SetWindowLongA(dialog, DWL_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE:
          Browse(dialog);
          return TRUE;
        case IDC_FOLDER:
          // A note about the folder no longer holds once the person changes it.
          if (HIWORD(wParam) == EN_CHANGE && !g_writingFolder) {
            SetDlgItemTextA(dialog, IDC_FOLDER_NOTE, "");
          }
          // The space line follows the folder as it is typed or chosen.
          if (HIWORD(wParam) == EN_CHANGE) ShowSpace(dialog);
          return TRUE;
        case IDOK:
          if (AcceptFolder(dialog)) EndDialog(dialog, VIS_SETUPDLG_PROCEED);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

}  // namespace

int UiNormalizeFolder(const char* typed, char* out, int size) {
  while (*typed == ' ') ++typed;
  char folder[MAX_PATH + 2];
  StrCopyN(folder, typed, sizeof folder);
  for (size_t n = strlen(folder); n > 0 && folder[n - 1] == ' '; --n) folder[n - 1] = 0;
  // Never a drive's or a share's root, never relative (it would land wherever setup happens to
  // run), never through "." or "..".
  if (!StrIsFolderBelowRoot(folder)) return 0;
  size_t length = strlen(folder);
  bool slash = folder[length - 1] == '\\';
  if (length + (slash ? 0 : 1) + 1 > static_cast<size_t>(size) || length + 2 > MAX_PATH) return 0;
  StrCopyN(out, folder, size);
  AddBackslash(out, size);
  return 1;
}

int UiRecordInstallFolder(const char* folder) {
  if (g_uiContext == nullptr) return 0;
  const wchar_t* wide = g_uiContext->globalXmlPath;
  if (wide != nullptr && wide[0] != 0) {
    char path[MAX_PATH];
    WideToAnsi(path, reinterpret_cast<const wchar16*>(wide), sizeof path);
    // Opening for writing would make an empty file where there is none.
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return 0;
    DocumentGuard global;
    global.doc = XML_Open(path, 1);
    if (global.doc == nullptr) return 0;
    // A file that did not parse is left as it is.
    if (XML_OpenDocument(global.doc) != XML_ELEMENT) return 0;
    XML_Node* setup = XML_Find(global.doc, nullptr, u"PACKAGE\\SETUP", XML_OPEN_ALWAYS);
    if (setup == nullptr || XML_SetAttributeA(global.doc, setup, u"INSTALLPATH", folder) != 0) {
      global.doc->writable = 0;
      return 0;
    }
    if (global.Close() != 0) return 0;
  }
  StrCopyN(g_uiContext->installDir, folder, sizeof g_uiContext->installDir);
  // The component libraries learn the folder from the environment.
  SetEnvironmentVariableA("ZORVAINSTALLDIR", folder);
  return 1;
}

extern "C" __declspec(dllexport) int32_t WINAPI showSetupdlg(int32_t) {
  INT_PTR result = UiDialog(IDD_SETUP, SetupProc, 0);
  return result == VIS_SETUPDLG_PROCEED ? VIS_SETUPDLG_PROCEED : IDCANCEL;
}

[[maybe_unused]] constexpr ShowSetupDlgFn kShowSetupdlg = &showSetupdlg;
