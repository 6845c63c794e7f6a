// The boundary to the visual library main.dll: its seven exports, resolved by name and called
// with 32-bit arguments that the library removes itself.
#pragma once

#include <windows.h>

#include "run/libraries.h"

// The loaded visual library; module is null in silent mode and before loading.
struct VisLib {
  HMODULE module;
  ConnectLibFn connectLib;
  DisconnectLibFn disconnectLib;
  ShowSetupDlgFn showSetupdlg;
  ShowMsgFn showMsg;
  WaitDlgFn waitDlg;
  ShowEndDlgFn showEnddlg;
  EnterPwdFn enterPwd;
};

extern VisLib g_vis;

// Loads "main.dll" and resolves all seven exports. 1 when all are there (g_vis filled, nothing
// called yet); 0 when the library or any export is missing, with nothing left loaded.
int VisLibLoad();

// Calls that do nothing when the visual library is not loaded (silent mode). VisShowMsg then
// returns 0.
void VisWaitDlg(int action);
int VisShowMsg(int number, const char* text, int style);
void VisShowEndDlg(int code);
