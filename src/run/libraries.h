// The boundary to the product's own libraries: the visual library main.dll, the component
// libraries (exeProc) and the user-interface libraries (connectVis, disconnectVis). Every export
// takes 32-bit arguments that the callee removes (stdcall) and is exported under its plain name.
#pragma once

#include <stdint.h>
#include <windows.h>

struct SetupContext;

// Component commands.
enum {
  CMD_INIT = 0,
  CMD_RELEASE = 1,
  CMD_LOAD_CURRENT_STATE = 2,
  CMD_INSTALL = 3,
  CMD_COMMIT_INSTALL = 4,
  CMD_ROLLBACK = 5,
  CMD_UNINSTALL = 6,
};

// Visual library exports.
typedef void(WINAPI* ConnectLibFn)(SetupContext* context);
typedef void(WINAPI* DisconnectLibFn)(int32_t zero);
typedef int32_t(WINAPI* ShowSetupDlgFn)(int32_t zero);
typedef int32_t(WINAPI* ShowMsgFn)(int32_t number, const char* text, int32_t style);
typedef void(WINAPI* WaitDlgFn)(int32_t action);
typedef void(WINAPI* ShowEndDlgFn)(int32_t code);
typedef void(WINAPI* EnterPwdFn)(char* buffer30);

// Component library export: command and the address of the UTF-16 path of global.xml.
typedef int32_t(WINAPI* ExeProcFn)(int32_t command, const wchar_t* globalXmlPath);

// User-interface library exports.
typedef void*(WINAPI* ConnectVisFn)(const wchar_t* globalXmlPath);
typedef void(WINAPI* DisconnectVisFn)(void* connection);

// Results the program relies on.
enum {
  VIS_SETUPDLG_PROCEED = 12324,
  VIS_ANSWER_YES = 6,
  VIS_ANSWER_CANCEL = 2,
  EXEPROC_RESTART = 3010,
};
