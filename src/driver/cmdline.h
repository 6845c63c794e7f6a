// The command-line scanner: the pieces of the run options that work on plain text only, so they
// build and are tested on every target. Texts are narrow and zero-terminated.
#pragma once

#include <stdint.h>

// Capacity of the upper-cased scan copy of the command line (499 characters and the terminator)
// and of the private copy the variables point into (503 characters and the terminator).
enum { CMD_SCAN_SIZE = 500, CMD_VARS_SIZE = 504 };

// Copies at most size - 1 characters of text into dest, each ASCII letter upper-cased.
void CmdUpperCopy(char* dest, const char* text, int size);

// Offset of the first occurrence of name (such as "/CFG=") in text, or -1.
int CmdFind(const char* text, const char* name);

// Cuts the value that starts at text (just behind a switch's '='): leading spaces are skipped; a
// value that begins with a double quote runs to the next double quote, or to the end of the text
// when there is none, and may hold spaces; any other value runs to the next space. Stores at most
// size - 1 characters into dest, always terminated.
void CmdCutValue(const char* text, char* dest, int size);

// The end of the value that starts at text (just behind a switch's '='), as CmdCutValue cuts it:
// behind its closing quote, else at the blank or the end that ends it.
const char* CmdValueEnd(const char* text);

// Removes from text, in place, every occurrence of the switch name (such as "/PWD="; the case of
// ASCII letters does not count) with its value as CmdCutValue reads it and the blanks before it.
void CmdRemoveSwitch(char* text, const char* name);

// 1 when the first occurrence of name in text is followed by a character of code 32 or less (a
// blank, a control character or the end of the text); 0 otherwise, also when a later occurrence
// would qualify.
int CmdFlagPresent(const char* text, const char* name);

// One "/$" variable: pointers into the buffer CmdScanVariables was given.
struct CmdVariable {
  char* name;
  char* value;
};

// Parses the "/$name=value" variables of buffer in place (terminating names and values inside
// it) into vars, at most maxCount of them, and returns how many were stored. Blanks (code 32 or
// less) may stand between "/$", the name, the '=' and the value. A name runs over characters from
// '!' upward (bytes above 127 included) that are not '='; so does an unquoted value; a quoted value
// runs to the next double quote and loses its quotes. The scan stops at the first variable that
// does not parse (a quoted value without its closing quote is dropped with everything after it),
// and at a value that ends the text.
int CmdScanVariables(char* buffer, CmdVariable* vars, int maxCount);

// Splits an authorization server text at its last ':' into host (hostSize bytes, always
// terminated; a longer host is cut) and port. A port that is not a decimal number from 0 to 65535,
// and a text without ':', give port 0, which no server listens on.
void CmdSplitServer(const char* text, char* host, int hostSize, int* port);

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR) of the first
// at most maxLength bytes of text, without the terminator.
uint16_t CmdCrc16(const char* text, int maxLength);
