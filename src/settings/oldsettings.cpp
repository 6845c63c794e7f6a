// The installed product's old settings: defaults, the table-driven registry read and the lock.
#include "settings/oldsettings.h"

#include <string.h>

#include "system/str.h"

#ifdef _WIN32
#include "system/guards.h"
#include "system/registry.h"
#endif

#define OLD_ROW(kind, field, number, data, groups)                                      \
  {                                                                                     \
    kind, static_cast<uint32_t>(offsetof(OldSettings, field)),                          \
        static_cast<uint32_t>(sizeof(OldSettings::field)), #field, number, data, groups \
  }

const OldSettingDesc kOldSettingsTable[] = {
    OLD_ROW(OLD_KIND_DWORD, LockSettings, 0, nullptr, OLD_GROUP_LOCK),
    OLD_ROW(OLD_KIND_DWORD, LockPassword, 0xFFFFFFFFu, nullptr, OLD_GROUP_LOCK),
    OLD_ROW(OLD_KIND_DWORD, CfgTimeStamp, 0, nullptr, OLD_GROUP_TIMESTAMP),
    OLD_ROW(OLD_KIND_DWORD, Use_SMTP, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_DWORD, SMTP_Flags, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_STRING, SMTP_Server, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_STRING, SMTP_Address_Sender, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_STRING, SMTP_Address_Virus, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_STRING, SMTP_Address_Error, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_DWORD, Use_Winpopup, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_STRING, Winpopup_Address, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_DWORD, Winpopup_Timeout, 60, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_STRING, Msg_Format_Virus, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_STRING, Msg_Format_Error, 0, nullptr, OLD_GROUP_NOTIFY),
    OLD_ROW(OLD_KIND_DWORD, SilentMode, 0, nullptr, OLD_GROUP_UI),
    OLD_ROW(OLD_KIND_DWORD, GraphicMode, 1, nullptr, OLD_GROUP_UI),
    OLD_ROW(OLD_KIND_DWORD, DontShowSplash, 0, nullptr, OLD_GROUP_UI),
    OLD_ROW(OLD_KIND_STRING, QuarantineDirectory, 0, "c:\\Program Files\\Vesk\\infected",
            OLD_GROUP_UI),
    {OLD_KIND_END, 0, 0, nullptr, 0, nullptr, 0},
};

#undef OLD_ROW

void ClearOldSettings(OldSettings* record) {
  memset(record, 0, sizeof *record);
  char* base = reinterpret_cast<char*>(record);
  for (const OldSettingDesc* row = kOldSettingsTable; row->kind != OLD_KIND_END; ++row) {
    char* field = base + row->offset;
    switch (row->kind) {
      case OLD_KIND_DWORD:
        memcpy(field, &row->defaultNumber, sizeof(uint32_t));
        break;
      case OLD_KIND_STRING:
      case OLD_KIND_PROTECTED:
        StrCopyN(field, row->defaultData ? static_cast<const char*>(row->defaultData) : "",
                 static_cast<int>(row->size));
        break;
      case OLD_KIND_BINARY:
        memset(field, 0, row->size);
        if (row->defaultData) memcpy(field, row->defaultData, row->size);
        break;
      default:
        break;
    }
  }
}

#ifdef _WIN32

int ReadSettingValues(HKEY key, OldSettings* record, const OldSettingDesc* table, uint32_t groups) {
  int result = 1;
  char* base = reinterpret_cast<char*>(record);
  for (const OldSettingDesc* row = table; row->kind != OLD_KIND_END; ++row) {
    if (!(row->groups & groups)) continue;
    char* field = base + row->offset;
    int ok = 0;
    switch (row->kind) {
      case OLD_KIND_DWORD: {
        DWORD value = 0;
        ok = RegReadDword(key, row->name, &value);
        if (ok) memcpy(field, &value, sizeof value);
        break;
      }
      case OLD_KIND_STRING:
        ok = RegReadString(key, row->name, field, row->size);
        break;
      case OLD_KIND_BINARY:
        ok = RegReadBinary(key, row->name, field, row->size);
        break;
      case OLD_KIND_PROTECTED:
        ok = RegReadProtectedString(key, row->name, field, row->size);
        break;
      default:
        break;
    }
    if (!ok) result = 0;
  }
  return result;
}

namespace {}  // namespace

int ReadOldSettings(OldSettings* record, int withDefaults) {
  if (withDefaults) ClearOldSettings(record);
  if (!RegProductKeyExists()) return 1;  // nothing to import

  int result = 0;
  {
    KeyGuard settings;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, REG_PRODUCT_KEY "\\Common", 0, KEY_READ, &settings.key) ==
        ERROR_SUCCESS) {
      // The lock never comes from the settings key.
      result =
          ReadSettingValues(settings.key, record, kOldSettingsTable, ~uint32_t{OLD_GROUP_LOCK});
    } else {
      settings.key = nullptr;
    }
  }
  // The lock lives in the information key: a missing settings key must not let a locked product
  // pass as unlocked, so "PackageID" is read whatever happened above.

  KeyGuard info;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, REG_PRODUCT_INFO_KEY, 0, KEY_READ, &info.key) !=
      ERROR_SUCCESS) {
    info.key = nullptr;
    return result;
  }
  DWORD packageId = 0;
  if (RegReadDword(info.key, "PackageID", &packageId)) {
    if (packageId == PACKAGE_ID_UNLOCKED) {
      record->LockSettings = 0;
      record->LockPassword = 0xFFFFFFFFu;
    } else {
      record->LockSettings = 1;
      record->LockPassword = packageId & 0xFFFFu;
    }
  }
  return result;
}

#endif
