// The registry's record of the installed product and its components.
#pragma once

// Reads the installed components into the setup context's installed array and the installed
// language. Fatal 103 without memory.
void RegReadInstalledComponents();

// Compares the package's components with the installed ones: 0, or exit code 19 (an installed
// engine is newer), 108 (an older build of an installed component), 115 or 118.
int CheckInstalledVersions();

// The language name of a code of the language table ("EN_US" -> "ENGLISH"); any other text is
// returned as it is.
const char* RegLanguageName(const char* code);

// Creates the install folder and the product's registry keys. 0, or the number of the step that
// failed.
int RegWriteProductRoot();

// Writes the registration, the uninstall entry and uninst.xml. 1 / 0.
int RegWriteRegistration();
