// The seven exports of the visual library main.dll (stdcall, exported under their plain names)
// and the small dialogs: wait, messages, end, password. The setup dialog is in setupdlg.cpp.
#include <string.h>
// The common-control and shell headers build on windows.h, so it comes first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shlwapi.h>
// clang-format on

#include "run/libraries.h"
#include "system/str.h"
#include "ui/resource.h"
#include "ui/ui.h"

SetupContext* g_uiContext = nullptr;
HINSTANCE g_uiModule = nullptr;

namespace {

HWND g_wait = nullptr;
bool g_marquee = false;
int g_passwordAsked = 0;
const UINT_PTR kProgressTimer = 1;

bool HasText(int id) {
  char text[8];
  UiLoadText(id, text, sizeof text);
  return text[0] != 0;
}

// Whether the text shown for id uses the insert.
bool TextUses(int id, const char* insert) {
  char text[UI_TEXT_SIZE];
  return UiLoadPattern(id, text, sizeof text) && strstr(text, insert) != nullptr;
}

void Append(char* text, int size, const char* more) {
  StrAppendN(text, "\n\n", size);
  StrAppendN(text, more, size);
}

// Newer systems would otherwise scale the dialogs as bitmaps; older ones have no such call.
void DeclareDpiAware() {
  typedef BOOL(WINAPI * SetDpiAwareFn)();
  HMODULE user = GetModuleHandleA("user32.dll");
  auto set = reinterpret_cast<SetDpiAwareFn>(reinterpret_cast<void*>(
      user != nullptr ? GetProcAddress(user, "SetProcessDPIAware") : nullptr));
  if (set != nullptr) set();
}

// The progress bar's own marquee needs common controls 6; older ones get a bar the timer fills.
bool CommonControlsHaveMarquee() {
  HMODULE comctl = GetModuleHandleA("comctl32.dll");
  auto getVersion = reinterpret_cast<DLLGETVERSIONPROC>(reinterpret_cast<void*>(
      comctl != nullptr ? GetProcAddress(comctl, "DllGetVersion") : nullptr));
  if (getVersion == nullptr) return false;
  DLLVERSIONINFO info = {};
  info.cbSize = sizeof info;
  return SUCCEEDED(getVersion(&info)) && info.dwMajorVersion >= 6;
}

// ---- Wait dialog ----

// Steps of the bar when it shows the program's count.
const int kProgressSteps = 1000;
// The last position shown in the current wait dialog: the bar never goes back.
int g_shownPosition = 0;
bool g_counting = false;
char g_shownItem[MAX_PATH] = "";

// Turns the bar into one that shows a count. A bar made with the marquee style ignores its
// position for as long as it has that style, and not every common-controls version lets the
// style go once the bar exists: it is replaced by a bar without it, in its place and look.
HWND StartCounting(HWND dialog, HWND bar) {
  LONG style = GetWindowLongA(bar, GWL_STYLE);
  if (style & PBS_MARQUEE) {
    RECT place;
    GetWindowRect(bar, &place);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
    HWND counting = CreateWindowExA(GetWindowLongA(bar, GWL_EXSTYLE), PROGRESS_CLASSA, "",
                                    static_cast<DWORD>(style & ~PBS_MARQUEE), place.left, place.top,
                                    place.right - place.left, place.bottom - place.top, dialog,
                                    reinterpret_cast<HMENU>(IDC_PROGRESS), g_uiModule, nullptr);
    if (counting != nullptr) {
      DestroyWindow(bar);
      bar = counting;
    } else {
      SendMessageA(bar, PBM_SETMARQUEE, FALSE, 0);
      SetWindowLongA(bar, GWL_STYLE, style & ~PBS_MARQUEE);
    }
  }
  g_marquee = false;
  SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressSteps));
  SendMessageA(bar, PBM_SETPOS, 0, 0);
  g_counting = true;
  return bar;
}

// The program's count, read on the timer: the bar fills with done of total and the line below
// names the item at hand. Without a count (a total of 0, or a program that leaves the fields
// reserved) an older common-controls library's bar bounces; the marquee moves by itself.
void ShowProgress(HWND dialog) {
  HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
  int32_t total = g_uiContext != nullptr ? g_uiContext->progressTotal : 0;
  if (total > 0) {
    if (!g_counting) bar = StartCounting(dialog, bar);
    int32_t done = g_uiContext->progressDone;
    if (done < 0) done = 0;
    if (done > total) done = total;
    int position = static_cast<int>(static_cast<int64_t>(done) * kProgressSteps / total);
    if (position > g_shownPosition) {
      g_shownPosition = position;
      SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
    const char* item = g_uiContext->progressItem != nullptr ? g_uiContext->progressItem : "";
    if (strcmp(item, g_shownItem) != 0) {
      StrCopyN(g_shownItem, item, sizeof g_shownItem);
      SetDlgItemTextA(dialog, IDC_PROGRESS_ITEM, g_shownItem);
    }
    return;
  }
  if (g_counting || g_marquee) return;
  LRESULT position = SendMessageA(bar, PBM_GETPOS, 0, 0);
  SendMessageA(bar, PBM_SETPOS, position >= 100 ? 0 : position + 4, 0);
}

INT_PTR CALLBACK WaitProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return FALSE;
    case WM_TIMER:
      ShowProgress(dialog);
      return TRUE;
    case WM_COMMAND:
      // The work behind the dialog cannot be stopped from here: Esc does nothing.
      return LOWORD(wParam) == IDCANCEL;
    case WM_CLOSE:
      return TRUE;
    default:
      return FALSE;
  }
}

void ShowWait() {
  if (g_wait == nullptr) {
    g_wait = UiCreateDialog(IDD_WAIT, WaitProc);
    if (g_wait == nullptr) return;
    HWND bar = GetDlgItem(g_wait, IDC_PROGRESS);
    g_marquee = CommonControlsHaveMarquee();
    g_counting = false;
    g_shownPosition = 0;
    g_shownItem[0] = 0;
    if (g_marquee) {
      SendMessageA(bar, PBM_SETMARQUEE, TRUE, 40);
    } else {
      SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    }
    // The timer bounces an older bar and reads the program's count for every bar.
    SetTimer(g_wait, kProgressTimer, 60, nullptr);
    ShowProgress(g_wait);
  }
  int phase = g_uiContext != nullptr ? g_uiContext->phase : 0;
  int id = phase > 0 && phase < 100 && HasText(IDS_PHASE + phase) ? IDS_PHASE + phase : IDS_PHASE;
  UiSetText(g_wait, IDS_CAPTION_WAIT, nullptr, 0);
  UiSetText(GetDlgItem(g_wait, IDC_PHASE), id, nullptr, 0);
  ShowWindow(g_wait, SW_SHOW);
  UiBringToFront(g_wait);
  UpdateWindow(g_wait);
}

void CloseWait() {
  if (g_wait == nullptr) return;
  KillTimer(g_wait, kProgressTimer);
  DestroyWindow(g_wait);
  g_wait = nullptr;
}

// ---- Messages ----

int MessageTextId(int number) {
  if (number == -1) return IDS_MESSAGE_MINUS_ONE;
  if (number >= 0 && number <= 999 && HasText(IDS_MESSAGE + number)) return IDS_MESSAGE + number;
  // Codes the program does not define are a component library's own failure codes.
  if (number >= 100 && number <= 1000) return IDS_MESSAGE_COMPONENT;
  return IDS_MESSAGE_OTHER;
}

// The program passes a name with a message (a component, a library, a file) or a step tag for the
// log: a code of at most three letters and digits ("EE", "SG", "RRa", "CF2"). A person gets the
// name; a tag means nothing to them.
bool StepTag(const char* text) {
  size_t n = strlen(text);
  if (n > 3) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
      return false;
    }
  }
  return true;
}

// The button a box that could not be shown counts as: the one that stops, so that no question is
// taken as accepted and no prompt repeats for ever.
int NotShownAnswer(UINT style) {
  switch (style & MB_TYPEMASK) {
    case MB_YESNO:
    case MB_YESNOCANCEL:
      return IDNO;
    case MB_OK:
      return IDOK;
    default:
      return IDCANCEL;
  }
}

// ---- End dialog ----

INT_PTR CALLBACK EndProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      int code = static_cast<int>(lParam);
      UiSetText(dialog, IDS_CAPTION_END, nullptr, 0);
      int id = code > 0 && code < 100 && HasText(IDS_END + code) ? IDS_END + code : IDS_END;
      UiSetText(GetDlgItem(dialog, IDC_END_TEXT), id, nullptr, 0);
      bool restart = g_uiContext != nullptr && g_uiContext->restartPending != 0;
      if (restart) {
        UiSetText(GetDlgItem(dialog, IDC_RESTART_NOTE), IDS_RESTART_NOTE, nullptr, 0);
        CheckDlgButton(dialog, IDC_RESTART, BST_CHECKED);
      } else {
        ShowWindow(GetDlgItem(dialog, IDC_RESTART_NOTE), SW_HIDE);
        ShowWindow(GetDlgItem(dialog, IDC_RESTART), SW_HIDE);
      }
      UiBringToFront(dialog);
      SetFocus(GetDlgItem(dialog, IDOK));
      return FALSE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        // Finish follows the box. Esc and the close box mean "not now": a restart there would
        // close the other programs without asking (the run still reports the restart it needs).
        if (g_uiContext != nullptr && g_uiContext->restartPending != 0 &&
            (LOWORD(wParam) == IDCANCEL ||
             IsDlgButtonChecked(dialog, IDC_RESTART) != BST_CHECKED)) {
          g_uiContext->restartPending = 0;
        }
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

// ---- Password dialog ----

enum { PASSWORD_BUFFER = 30 };

// What the password field held when it last fitted the buffer. The field's limit counts
// characters, and in a double-byte code page 29 characters can take twice as many bytes: a
// password cut at the buffer's end would never be the right one, so the field refuses the
// character that would not fit instead.
char g_fitting[PASSWORD_BUFFER];

void ForgetPassword() {
  volatile char* p = g_fitting;
  for (int i = 0; i < PASSWORD_BUFFER; ++i) p[i] = 0;
}

void KeepPasswordFitting(HWND edit) {
  char text[2 * PASSWORD_BUFFER + 4];
  GetWindowTextA(edit, text, sizeof text);
  if (strlen(text) < PASSWORD_BUFFER) {
    StrCopyN(g_fitting, text, sizeof g_fitting);
  } else {
    SetWindowTextA(edit, g_fitting);
    int end = static_cast<int>(strlen(g_fitting));
    SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    MessageBeep(MB_OK);
  }
  volatile char* p = text;
  for (size_t i = 0; i < sizeof text; ++i) p[i] = 0;
}

INT_PTR CALLBACK PasswordProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      UiSetText(dialog, IDS_CAPTION_PASSWORD, nullptr, 0);
      UiSetText(GetDlgItem(dialog, IDC_PASSWORD_PROMPT), IDS_PASSWORD_PROMPT, nullptr, 0);
      // Asked again: the password typed before was not accepted.
      if (g_passwordAsked > 0) {
        UiSetText(GetDlgItem(dialog, IDC_PASSWORD_WRONG), IDS_PASSWORD_WRONG, nullptr, 0);
      }
      HWND edit = GetDlgItem(dialog, IDC_PASSWORD);
      ForgetPassword();
      SendMessageA(edit, EM_LIMITTEXT, PASSWORD_BUFFER - 1, 0);
      EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
      UiBringToFront(dialog);
      SetFocus(edit);
      return FALSE;
    }
    case WM_COMMAND: {
      char* buffer = reinterpret_cast<char*>(GetWindowLongPtrA(dialog, DWLP_USER));
      switch (LOWORD(wParam)) {
        case IDC_PASSWORD:
          if (HIWORD(wParam) == EN_CHANGE) {
            KeepPasswordFitting(GetDlgItem(dialog, IDC_PASSWORD));
            EnableWindow(GetDlgItem(dialog, IDOK), g_fitting[0] != 0);
          }
          return TRUE;
        case IDOK:
          StrCopyN(buffer, g_fitting, PASSWORD_BUFFER);
          ForgetPassword();
          EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          buffer[0] = 0;
          ForgetPassword();
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    }
    default:
      return FALSE;
  }
}

}  // namespace

HWND UiWaitWindow() { return g_wait; }

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_uiModule = instance;
  return TRUE;
}

__declspec(dllexport) void WINAPI connectLib(SetupContext* context) {
  g_uiContext = context;
  g_passwordAsked = 0;
  InitCommonControls();
  DeclareDpiAware();
}

__declspec(dllexport) void WINAPI disconnectLib(int32_t) {
  CloseWait();
  g_uiContext = nullptr;
}

__declspec(dllexport) void WINAPI waitDlg(int32_t action) {
  if (action == 0) {
    ShowWait();
  } else if (action == 3) {
    CloseWait();
  }
}

__declspec(dllexport) int32_t WINAPI showMsg(int32_t number, const char* text, int32_t style) {
  int id = MessageTextId(number);
  char body[UI_TEXT_SIZE * 2];
  UiFormat(id, text, number, body, UI_TEXT_SIZE);
  char more[UI_TEXT_SIZE];
  if (text != nullptr && text[0] != 0 && !TextUses(id, "%2") && !StepTag(text)) {
    UiFormat(IDS_MESSAGE_DETAILS, text, number, more, sizeof more);
    Append(body, sizeof body, more);
  }
  const UINT type = static_cast<UINT>(style);
  if ((type & MB_ICONMASK) == MB_ICONERROR) {
    UiFormat(IDS_MESSAGE_CODE, text, number, more, sizeof more);
    Append(body, sizeof body, more);
  }
  char caption[UI_TEXT_SIZE];
  UiFormat(IDS_CAPTION_MESSAGE, nullptr, number, caption, sizeof caption);
  int answer = MessageBoxA(UiWaitWindow(), body, caption, type | MB_SETFOREGROUND);
  return answer != 0 ? answer : NotShownAnswer(type);
}

__declspec(dllexport) void WINAPI showEnddlg(int32_t code) {
  // Nothing may stay on the screen behind the last dialog.
  CloseWait();
  UiDialog(IDD_END, EndProc, code);
}

__declspec(dllexport) void WINAPI enterPwd(char* buffer30) {
  if (buffer30 == nullptr) return;
  memset(buffer30, 0, PASSWORD_BUFFER);
  // A dialog that cannot be shown leaves the buffer empty: the user gives up.
  UiDialog(IDD_PASSWORD, PasswordProc, reinterpret_cast<LPARAM>(buffer30));
  ++g_passwordAsked;
}

}  // extern "C"

// The exports must have exactly the types the program calls them through (stdcall, 32-bit
// arguments): initialising the program's pointer types fails to compile otherwise.
[[maybe_unused]] constexpr ConnectLibFn kConnectLib = &connectLib;
[[maybe_unused]] constexpr DisconnectLibFn kDisconnectLib = &disconnectLib;
[[maybe_unused]] constexpr WaitDlgFn kWaitDlg = &waitDlg;
[[maybe_unused]] constexpr ShowMsgFn kShowMsg = &showMsg;
[[maybe_unused]] constexpr ShowEndDlgFn kShowEndDlg = &showEnddlg;
[[maybe_unused]] constexpr EnterPwdFn kEnterPwd = &enterPwd;
