// Resource numbers shared by main.dll and every mainlang.dll. A translation is one resource file
// (src/ui/lang/<language>/mainlang.rc) that defines all of them; main.dll falls back to its own
// English copy for anything the language library lacks.
#pragma once

// Dialog templates.
#define IDD_SETUP 100
#define IDD_WAIT 101
#define IDD_END 102
#define IDD_PASSWORD 103

// Controls.
#define IDC_INTRO 1000
#define IDC_COMPONENTS 1001
#define IDC_FOLDER 1002
#define IDC_BROWSE 1003
#define IDC_FOLDER_NOTE 1004
#define IDC_SPACE 1005
#define IDC_PHASE 1010
#define IDC_PROGRESS 1011
#define IDC_PROGRESS_ITEM 1012
#define IDC_END_TEXT 1020
#define IDC_RESTART_NOTE 1021
#define IDC_RESTART 1022
#define IDC_PASSWORD_PROMPT 1030
#define IDC_PASSWORD 1031
#define IDC_PASSWORD_WRONG 1032

// Strings. Inserts: %1 the product's title, %2 a detail text, %3 a number. Write a percent sign
// as %% and a line break as \n.
#define IDS_PRODUCT_NAME 400
#define IDS_CAPTION_SETUP 500
#define IDS_CAPTION_WAIT 501
#define IDS_CAPTION_END 502
#define IDS_CAPTION_PASSWORD 503
#define IDS_CAPTION_MESSAGE 504
#define IDS_INTRO_NEW 510
#define IDS_INTRO_UPGRADE 511
#define IDS_COLUMN_COMPONENT 512
#define IDS_COLUMN_BUILD 513
#define IDS_FOLDER_INVALID 515
#define IDS_BROWSE_PROMPT 516
#define IDS_FOLDER_NOT_RECORDED 517
#define IDS_FOLDER_APPENDED 518
#define IDS_FOLDER_TOO_LONG 519
#define IDS_FOLDER_NO_DRIVE 523
#define IDS_FOLDER_READ_ONLY 524
#define IDS_SPACE_REQUIRED 525
#define IDS_SPACE_AVAILABLE 526
#define IDS_FOLDER_NO_SPACE 527
#define IDS_PASSWORD_PROMPT 520
#define IDS_RESTART_NOTE 521
#define IDS_PASSWORD_WRONG 522
// Wait dialog: IDS_PHASE + phase code (11, 12, 13, 17, 18); IDS_PHASE alone for any other.
#define IDS_PHASE 600
// End dialog: IDS_END + end code (14, 15, 16); IDS_END alone for any other.
#define IDS_END 700
// Messages: IDS_MESSAGE + number for 0 to 999, IDS_MESSAGE_MINUS_ONE for -1. (Strings 301 to 308
// are the program's own texts, which it shows itself; a message number in that range is a
// component library's failure code.)
#define IDS_MESSAGE 3000
#define IDS_MESSAGE_MINUS_ONE 2999
#define IDS_MESSAGE_COMPONENT 2990
#define IDS_MESSAGE_OTHER 2991
#define IDS_MESSAGE_DETAILS 2992
#define IDS_MESSAGE_CODE 2993
