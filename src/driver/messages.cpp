#include "driver/messages.h"

#include <windows.h>

#include "driver/context.h"

void SetupLoadString(int id, char* buffer, int size) {
  if (size <= 0) return;
  buffer[0] = 0;
  HMODULE module =
      g_context.resourceModule != nullptr ? g_context.resourceModule : GetModuleHandleA(nullptr);
  if (LoadStringA(module, static_cast<UINT>(id), buffer, size) <= 0) buffer[0] = 0;
  buffer[size - 1] = 0;
}

int SetupMessageBox(int textId, int captionId, unsigned type) {
  char text[SETUP_MESSAGE_SIZE];
  char caption[SETUP_CAPTION_SIZE];
  SetupLoadString(textId, text, sizeof text);
  SetupLoadString(captionId, caption, sizeof caption);
  return MessageBoxA(nullptr, text, caption, type);
}
