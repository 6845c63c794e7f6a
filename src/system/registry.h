// Thin layer over the registry: keys opened for writing are created when missing, typed reads
// check the stored type and size before copying, keys are deleted with their whole subtree, and an
// item can be named by one text path that starts with a root abbreviation ("HKLM\", "HKCU\",
// "HKCC\", "HKCR\"). Texts are narrow (ANSI code page); sizes are in bytes and include the
// terminator. Nothing here logs, and no function keeps a key open except RegOpenKeyByAccess.
#pragma once

#include <windows.h>

// The product's key under HKEY_LOCAL_MACHINE and its information subkey.
#define REG_PRODUCT_KEY "Software\\Vesk\\Zrv\\CurrentVersion"
#define REG_PRODUCT_INFO_KEY REG_PRODUCT_KEY "\\Info"

// Item kinds of RegRemoveItem, recorded in the uninstall lists as "REGKEY", "REGVAL" and
// "REGKEY_IF_EMPTY".
enum {
  REG_ITEM_KEY = 0,          // the key and its whole subtree
  REG_ITEM_VALUE = 1,        // one value
  REG_ITEM_KEY_IF_EMPTY = 2  // the key, only when it has neither subkeys nor values
};

// 1 when HKLM\Software\Vesk\Zrv\CurrentVersion opens for reading.
int RegProductKeyExists();

// Opens parent\subkey. A mask holding every KEY_WRITE bit creates missing keys on the way
// (RegCreateKeyExA); any other mask only opens. Returns the Win32 status (0 = success); the
// caller closes *out.
LONG RegOpenKeyByAccess(HKEY parent, const char* subkey, REGSAM access, HKEY* out);

// Typed reads. Each checks the stored type and size first and leaves the caller's buffer
// untouched on failure.
// REG_DWORD of 4 bytes only.
int RegReadDword(HKEY key, const char* name, DWORD* value);
// REG_SZ or REG_EXPAND_SZ (not expanded). The text always comes back terminated: a stored text
// without its terminator is terminated when the buffer has room for it, else refused.
int RegReadString(HKEY key, const char* name, char* buffer, DWORD size);
// REG_BINARY whose stored size fits the buffer.
int RegReadBinary(HKEY key, const char* name, void* buffer, DWORD size);
// REG_BINARY of at most 1023 bytes holding scrambled UTF-16 text; returned unscrambled as
// narrow text, truncated to outSize and always terminated.
int RegReadProtectedString(HKEY key, const char* name, char* out, DWORD outSize);

// Writes a value; 1 when RegSetValueExA succeeded.
int RegWriteValue(HKEY key, const char* name, DWORD type, const void* data, DWORD size);
int RegWriteDword(HKEY key, const char* name, DWORD value);
int RegWriteString(HKEY key, const char* name, const char* text);

// Deletes parent\subkey with its whole subtree, deepest keys first. Returns the status of the
// final RegDeleteKeyA (0 = success).
LONG RegDeleteKeyTree(HKEY parent, const char* subkey);

// A key's tree as it was (values and subkeys, all the way down), kept to put it back.
struct RegTree;

// Saves parent\subkey's tree. Null when the key does not open for reading or memory runs out.
RegTree* RegSaveTree(HKEY parent, const char* subkey);

// Puts parent\subkey back as it was saved: subkeys and values that were not there are deleted,
// values that were there get their saved type and data again when they differ (a value nobody
// changed is never rewritten). A saved key that is gone is not made again. 1 when every step
// succeeded; the steps go on after a failure.
int RegRestoreTree(HKEY parent, const char* subkey, const RegTree* tree);

// Frees a saved tree; null is accepted.
void RegFreeTree(RegTree* tree);

// Reads "InstallDir" of HKLM\Software\Vesk\Zrv\CurrentVersion\Info into buffer (cleared first).
// 1 when a non-empty folder was found.
int RegGetInstallDir(char* buffer, DWORD size);

// When the text at *cursor starts with one of the root prefixes (ignoring case), returns its
// predefined key and moves the cursor past the prefix; else null, cursor unchanged.
HKEY RegParseRoot(const char** cursor);

// Removes the item named by a full path such as "HKLM\Software\A\B" (kind REG_ITEM_*). The text
// after the last backslash is the item; the key above it is opened, never created. An item
// directly under a root ("HKCU\Name") is an item of the root key itself. 1 when removed or
// nothing was there to remove (kind 2), 0 on failure.
int RegRemoveItem(const char* path, int kind);
