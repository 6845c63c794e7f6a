// The package on disk: the install folder of a new installation, the working folder under the
// temporary path, and the data pieces joined into data.dat and split into their files there.
#pragma once

struct SetupExitContext;

// Highest number of data pieces a package can have (data1.dat to data9.dat).
enum { SETUP_MAX_DATA_PIECES = 9 };

// Sets the setup context's install folder (with a trailing backslash) from an install path text
// that may hold environment variables. A result that is empty, relative, a drive or share root,
// holds a "." or ".." name (StrIsFolderBelowRoot) or is longer than 259 characters is not used:
// an error line is written and the default "%PROGRAMFILES%\Vesk" is resolved instead.
void SetupResolveInstallPath(const char* text);

// The default install folder "%PROGRAMFILES%\Vesk" resolved as SetupResolveInstallPath does, with
// a trailing backslash, into out (MAX_PATH bytes). 0 (out empty) when it does not resolve.
int SetupDefaultInstallFolder(char* out);

// Clears and creates the working folder (temporary path + "ZSetup\") into workDir (260 bytes),
// joins pieceCount data pieces into data.dat there and splits it, then extracts the engine
// containers. 1 on success, 0 when data.dat cannot be written or split (the caller ends with 106).
// Ends the run itself with 105 (folder), 202 (missing piece, silent), 0 (disk prompt cancelled)
// and the engine step's codes, closing the documents of exitContext.
int SetupPrepareData(const SetupExitContext* exitContext, char* workDir, int pieceCount);

// Writes every entry of data.dat in workDir into its own file there. 1 when every entry was
// written, else 0 (a partly written file is deleted; nothing is written outside workDir).
int SetupSplitDataFile(const char* workDir);
