// Narrow string helpers shared by every module. Each takes the destination's size in bytes,
// always leaves the destination zero-terminated, and does nothing for a size of 0 or less.
#pragma once

#include <stddef.h>

// One UTF-16 code unit on every build (wchar_t is 32-bit on Linux, so the portable modules use
// char16_t and cast at Win32 calls).
typedef char16_t wchar16;

// Copies source, or its first size - 1 bytes.
void StrCopyN(char* dest, const char* source, int size);

// Appends as much of text as fits behind what dest already holds.
void StrAppendN(char* dest, const char* text, int size);

// Replaces every occurrence of find in buffer (capacity bytes), searching again from the start
// after each replacement. Returns the number of replacements, or 0 as soon as one would not fit
// (earlier ones stay). An empty find, or a replacement that contains find, replaces nothing.
int StrReplaceAll(char* buffer, int capacity, const char* find, const char* replacement);

// Appends a backslash to a non-empty path that does not end with one, when it fits.
void AddBackslash(char* path, int size);

// Convert with the ANSI code page (on the native build: code units below 256 map to one byte,
// others to '?'), into a bounded destination that is always terminated. The size of the
// destination is in its own units. Return the number of units written without the terminator.
int WideToAnsi(char* dest, const wchar16* source, int size);
int AnsiToWide(wchar16* dest, const char* source, int size);

// Length of a UTF-16 text in code units.
size_t Str16Len(const wchar16* text);

// 1 when name is a plain file name that stays inside the folder it is joined to and names a file
// there: not empty, without '\\', '/' or ':', not ending in a dot or blank (so neither "." nor
// ".."), and no device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CLOCK$, CONIN$, CONOUT$ in any case,
// with or without an extension or blanks before it). Package content is untrusted, so every name
// taken from an archive, a data file or a container passes this before it becomes a path.
int StrIsPlainFileName(const char* name);

// 1 when path is absolute: a drive letter, a colon and a backslash ("C:\..."), or a share
// ("\\server\share\..."). Relative and drive-relative paths name different things depending on
// the current folder, which is why removals refuse them.
int StrIsAbsolutePath(const char* path);

// 1 when path names a folder below a drive's or a share's root exactly as written ("C:\a\b",
// "\\server\share\a", a trailing backslash allowed): absolute, and no name in it is empty,
// ends in a dot or a blank (which covers "." and ".."; Windows drops trailing dots and blanks, so
// such a path names another folder than the one shown) or holds a character a name cannot hold.
// "C:\x\.." would be the root of C: and is refused.
int StrIsFolderBelowRoot(const char* path);

// Compares at most n bytes ignoring the case of ASCII letters, stopping after a zero byte: < 0, 0
// or > 0 as strncmp does.
int StrCompareNoCaseAscii(const char* a, const char* b, size_t n);

// Writes folder + backslash (unless the folder is empty or ends in one) + name into out, which
// must not overlap folder or name. A truncated path could name another file, so a path that does
// not fit is refused (false).
bool StrJoinPath(char* out, int size, const char* folder, const char* name);
