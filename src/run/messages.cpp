#include "run/messages.h"

#include <windows.h>

#include "run/context.h"
#include "system/str.h"

void SetupLoadString(int id, char* buffer, int size) {
  if (size <= 0) return;
  buffer[0] = 0;
  HMODULE module =
      g_context.resourceModule != nullptr ? g_context.resourceModule : GetModuleHandleA(nullptr);
  if (LoadStringA(module, static_cast<UINT>(id), buffer, size) <= 0) buffer[0] = 0;
  buffer[size - 1] = 0;
}

int SetupMessageBox(int textId, int captionId, unsigned type, const char* detail) {
  char text[SETUP_MESSAGE_SIZE + 2 + MAX_PATH];
  char caption[SETUP_CAPTION_SIZE];
  SetupLoadString(textId, text, SETUP_MESSAGE_SIZE);
  if (detail != nullptr) {
    StrAppendN(text, "\n\n", sizeof text);
    StrAppendN(text, detail, sizeof text);
  }
  SetupLoadString(captionId, caption, sizeof caption);
  return MessageBoxA(nullptr, text, caption, type);
}
