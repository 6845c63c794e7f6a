// Inside the visual library main.dll: the state kept between the program's calls and the helpers
// the dialogs share. Every text and dialog template comes from the resource module the setup
// context names (mainlang.dll in the user's language); main.dll's own English copy fills in
// whatever that module lacks, so a missing or older language library still gives whole dialogs.
#pragma once

#include <windows.h>

#include "run/context.h"

// The context connectLib received (null before and after the connection) and main.dll itself.
extern SetupContext* g_uiContext;
extern HINSTANCE g_uiModule;

enum { UI_TEXT_SIZE = 1024 };

// String id into out (size bytes, always terminated): from the resource module, else main.dll's
// own, else empty.
void UiLoadText(int id, char* out, int size);

// The text UiFormat fills for id into out: UiLoadText's, or main.dll's own when that one has
// inserts that cannot be filled (%4, a printf format). 0 when neither can be filled.
int UiLoadPattern(int id, char* out, int size);

// String id with its inserts filled: %1 the product's title, %2 detail (may be null), %3 number.
// A text whose inserts cannot be filled is shown as it stands.
void UiFormat(int id, const char* detail, int number, char* out, int size);

// The product's title: the package's title from the context, else string 400.
void UiTitle(char* out, int size);

// Runs the modal dialog of template id (from the module that has it) and returns its result, or
// -1 when it cannot be shown.
INT_PTR UiDialog(int id, DLGPROC proc, LPARAM param);

// A modeless dialog of template id, or null.
HWND UiCreateDialog(int id, DLGPROC proc);

// Sets a window's text to string id with its inserts.
void UiSetText(HWND window, int id, const char* detail, int number);

// Puts a dialog above the other windows and makes it the one that gets the keyboard.
void UiBringToFront(HWND dialog);

// The wait dialog when it is shown (the owner of messages shown meanwhile), else null.
HWND UiWaitWindow();

// Writes folder as the install folder: into global.xml (PACKAGE\SETUP INSTALLPATH), the context
// and the variable the component libraries read. 1 on success; 0 when global.xml could not be
// updated, with nothing else changed.
int UiRecordInstallFolder(const char* folder);

// Turns what the user typed into an install folder: an absolute folder below a drive or a share,
// with a trailing backslash, that fits its field. 0 when it is none.
int UiNormalizeFolder(const char* typed, char* out, int size);
