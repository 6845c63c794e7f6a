#include <windows.h>

#include "system/str.h"
#include "ui/resource.h"
#include "ui/ui.h"

namespace {

HINSTANCE ResourceModule() {
  return g_uiContext != nullptr ? g_uiContext->resourceModule : nullptr;
}

// The module that holds the dialog template: the language library, else main.dll.
HINSTANCE DialogModule(int id) {
  HINSTANCE module = ResourceModule();
  if (module != nullptr && FindResourceA(module, MAKEINTRESOURCEA(id), RT_DIALOG) != nullptr) {
    return module;
  }
  return g_uiModule;
}

// A text FormatMessageA fills from the three string inserts alone: %1 to %3, each without a
// printf format ("%1!d!" would read the text's address as a number), besides the escapes (%%, %n,
// %0, ...). A translation's %4 would read past the inserts.
bool FillableText(const char* text) {
  for (const char* p = text; *p != 0; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == 0) return false;
    if (*p >= '1' && *p <= '9' && (*p > '3' || (p[1] >= '0' && p[1] <= '9') || p[1] == '!')) {
      return false;
    }
  }
  return true;
}

}  // namespace

void UiLoadText(int id, char* out, int size) {
  out[0] = 0;
  HINSTANCE module = ResourceModule();
  if (module != nullptr && LoadStringA(module, static_cast<UINT>(id), out, size) > 0) return;
  if (LoadStringA(g_uiModule, static_cast<UINT>(id), out, size) > 0) return;
  out[0] = 0;
}

void UiTitle(char* out, int size) {
  out[0] = 0;
  if (g_uiContext != nullptr) StrCopyN(out, g_uiContext->title, size);
  // The program writes a single blank for a package without a title.
  const char* p = out;
  while (*p == ' ') ++p;
  if (*p == 0) UiLoadText(IDS_PRODUCT_NAME, out, size);
}

int UiLoadPattern(int id, char* out, int size) {
  UiLoadText(id, out, size);
  if (FillableText(out)) return 1;
  // A language library's text that cannot be filled gives way to main.dll's own English one.
  if (LoadStringA(g_uiModule, static_cast<UINT>(id), out, size) <= 0) out[0] = 0;
  return FillableText(out) ? 1 : 0;
}

void UiFormat(int id, const char* detail, int number, char* out, int size) {
  char pattern[UI_TEXT_SIZE];
  if (!UiLoadPattern(id, pattern, sizeof pattern)) {
    StrCopyN(out, pattern, size);
    return;
  }
  char title[128];
  UiTitle(title, sizeof title);
  char numberText[16];
  wsprintfA(numberText, "%d", number);
  // Every insert always has a value, so a translation may use any of them, in any order.
  DWORD_PTR inserts[3] = {reinterpret_cast<DWORD_PTR>(title),
                          reinterpret_cast<DWORD_PTR>(detail != nullptr ? detail : ""),
                          reinterpret_cast<DWORD_PTR>(numberText)};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, pattern, 0,
                           0, out, static_cast<DWORD>(size), reinterpret_cast<va_list*>(inserts));
  if (n == 0) StrCopyN(out, pattern, size);
}

void UiSetText(HWND window, int id, const char* detail, int number) {
  char text[UI_TEXT_SIZE];
  UiFormat(id, detail, number, text, sizeof text);
  // The texts carry the product's title and folder names, whose "&" must show as it is instead of
  // underlining the next letter and making it a mnemonic. Set here, so that the templates of every
  // language library get it.
  char className[16];
  if (GetClassNameA(window, className, sizeof className) > 0 &&
      lstrcmpiA(className, "Static") == 0) {
    SetWindowLongA(window, GWL_STYLE, GetWindowLongA(window, GWL_STYLE) | SS_NOPREFIX);
  }
  SetWindowTextA(window, text);
}

INT_PTR UiDialog(int id, DLGPROC proc, LPARAM param) {
  return DialogBoxParamA(DialogModule(id), MAKEINTRESOURCEA(id), nullptr, proc, param);
}

HWND UiCreateDialog(int id, DLGPROC proc) {
  return CreateDialogParamA(DialogModule(id), MAKEINTRESOURCEA(id), nullptr, proc, 0);
}

void UiBringToFront(HWND dialog) {
  SetWindowPos(dialog, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetForegroundWindow(dialog);
}
