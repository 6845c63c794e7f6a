// Import of the installed product's old settings from the registry: a constant descriptor table
// names every value, its kind, the record field it fills, its default and its group; one generic
// routine reads the selected groups. The settings lock is derived from "PackageID" of the
// product's information key, never from the settings key.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A PackageID of this value marks that no settings password is set. A password's check value is
// a 16-bit CRC, so all bits set can never be one.
#define PACKAGE_ID_UNLOCKED 0xFFFFFFFFu

// Value kinds of the descriptor table.
enum {
  OLD_KIND_END = 0,       // ends the table
  OLD_KIND_DWORD = 1,     // REG_DWORD
  OLD_KIND_STRING = 2,    // REG_SZ or REG_EXPAND_SZ
  OLD_KIND_BINARY = 3,    // REG_BINARY
  OLD_KIND_PROTECTED = 4  // scrambled REG_BINARY holding UTF-16 text
};

// Group bits of the descriptor table.
enum { OLD_GROUP_LOCK = 1, OLD_GROUP_NOTIFY = 2, OLD_GROUP_UI = 4, OLD_GROUP_TIMESTAMP = 8 };

// The installed product's settings; field names are the registry value names.
struct OldSettings {
  uint32_t LockSettings;  // 1 when the settings are locked by a password
  uint32_t LockPassword;  // 16-bit check value of the password, 0xFFFFFFFF when none
  uint32_t CfgTimeStamp;
  uint32_t Use_SMTP;
  uint32_t SMTP_Flags;
  char SMTP_Server[256];
  char SMTP_Address_Sender[256];
  char SMTP_Address_Virus[256];
  char SMTP_Address_Error[256];
  uint32_t Use_Winpopup;
  char Winpopup_Address[1024];
  uint32_t Winpopup_Timeout;
  char Msg_Format_Virus[1024];
  char Msg_Format_Error[1024];
  uint32_t SilentMode;
  uint32_t GraphicMode;
  uint32_t DontShowSplash;
  char QuarantineDirectory[260];
};
static_assert(offsetof(OldSettings, SMTP_Server) == 20, "OldSettings layout");
static_assert(offsetof(OldSettings, Use_Winpopup) == 1044, "OldSettings layout");
static_assert(offsetof(OldSettings, Winpopup_Timeout) == 2072, "OldSettings layout");
static_assert(offsetof(OldSettings, SilentMode) == 4124, "OldSettings layout");
static_assert(offsetof(OldSettings, QuarantineDirectory) == 4136, "OldSettings layout");
static_assert(sizeof(OldSettings) == 4396, "OldSettings layout");

// One row of the descriptor table. The default is a number for kind 1 (defaultNumber), a text
// for kinds 2 and 4 and a block of the field's size for kind 3 (defaultData, null for none).
struct OldSettingDesc {
  uint32_t kind;
  uint32_t offset;  // of the field in OldSettings
  uint32_t size;    // of the field in bytes
  const char* name;
  uint32_t defaultNumber;
  const void* defaultData;
  uint32_t groups;
};

// The product's table, ended by a row of kind OLD_KIND_END.
extern const OldSettingDesc kOldSettingsTable[];

// Zeroes the record, then applies every row's default.
void ClearOldSettings(OldSettings* record);

#ifdef _WIN32
#include <windows.h>

// Reads every row of table whose group shares a bit with groups from the open key into its field.
// A row that fails keeps its field and does not stop the others. 1 when every selected row read.
int ReadSettingValues(HKEY key, OldSettings* record, const OldSettingDesc* table, uint32_t groups);

// Reads the installed product's settings (every group but the lock) from
// HKLM\Software\Vesk\Zrv\CurrentVersion\Common and the lock from "PackageID" of its Info key.
// withDefaults clears the record to the defaults first. 1 when there is no product or every
// selected value read; 0 when the settings key is missing or a value did not read.
int ReadOldSettings(OldSettings* record, int withDefaults);
#endif
