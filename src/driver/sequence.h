// The program's run: start-up, then the install or the uninstall sequence.
#pragma once

#include <stdint.h>

// Runs the setup with the command line (without the program's own name). Returns 3010 when a
// restart is pending at the end, else 0; every other code ends the process inside.
int SetupMain(const char* commandLine);

// 1 when the CRC-16/XMODEM of password (at most 259 characters used) equals the stored check value.
int SetupCheckPassword(uint16_t stored, const char* password);
