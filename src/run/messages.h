// The program's own string table (ids 301-308, 400, 410 and 1618) and the system message boxes
// shown before the visual library is available.
#pragma once

enum {
  STR_MFC_NEWER = 301,
  STR_MFC_MISSING = 302,
  STR_NO_VISUAL_LIBRARY = 303,
  STR_CAPTION_ERROR = 304,
  STR_CAPTION_WARNING = 305,
  STR_MFC_NOT_FOUND = 306,
  STR_MFC_RESTART = 307,
  STR_UNICODE_ON_ANSI = 308,
  STR_PRODUCT_NAME = 400,
  STR_ADMIN_FILE_UNUSABLE = 410,
  STR_ANOTHER_SETUP = 1618,
};

// Sizes of the buffers message texts and captions are read into.
enum { SETUP_MESSAGE_SIZE = 250, SETUP_CAPTION_SIZE = 50 };

// Loads string id from the context's resource module (the language library when it loaded, else
// the program itself) into buffer, always terminated; empty when the string is missing.
void SetupLoadString(int id, char* buffer, int size);

// Shows string textId with caption captionId in a system message box without an owner window and
// returns the button (IDYES, IDOK, ...), or 0 when the box could not be shown. A detail (may be
// null, such as a file's name) follows the text after an empty line.
int SetupMessageBox(int textId, int captionId, unsigned type, const char* detail = nullptr);
