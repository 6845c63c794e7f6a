// The registry's record of the installed product and its components.
#pragma once

struct HKEY__;

// Reads the installed components into the setup context's installed array and the installed
// language. Fatal 103 without memory.
void RegReadInstalledComponents();

// Compares the package's components with the installed ones: 0, or exit code 19 (an installed
// engine is newer), 108 (an older build of an installed component), 115 or 118.
int CheckInstalledVersions();

// The language name of a code of the language table ("EN_US" -> "ENGLISH"); any other text is
// returned as it is.
const char* RegLanguageName(const char* code);

// 1 when the installation created the install folder (g_context.installDir) or found it empty,
// and so owns all of it; 0 when the folder held something before. An installation that did not
// record it counts as the creator only of the default folder "%PROGRAMFILES%\Vesk". Read before the
// uninstall list takes the product's keys away.
int RegInstallFolderCreated();

// Creates the install folder and the product's registry keys. 0, or the number of the step that
// failed.
int RegWriteProductRoot();

// Writes the registration: install folder and language, engine builds, one subkey per component
// with its libraries copied into its private folder under "Setup\", the running program beside
// them, the Windows uninstall entry and uninst.xml. 1 only when uninst.xml was written whole.
int RegWriteRegistration();

struct ComponentDesc;

// Takes the installed counterpart's private folder, or the first new one of "00" to "99", below
// setupFolder; folderName (8 bytes) receives its name. 1 / 0.
int PrepareComponentFolder(ComponentDesc* component, const char* setupFolder, char* folderName);

// Writes "<prefix><index>" = fileName into key and, with copy set, copies the library and its
// resource file (unless named "unknown") from sourceFolder into targetFolder. 1 / 0.
int RegWriteComponentLibrary(HKEY__* key, const char* prefix, const char* sourceFolder,
                             const char* fileName, const char* resourceName, int index,
                             const char* targetFolder, int copy);
