// The runtime libraries the package may carry beside the program (mfc42.dll, mfc42u.dll,
// msvcrt.dll) against the System folder's copies.
#pragma once

// 0 when nothing is to be done, 301 when the System folder holds an older copy, 302 when it holds
// none (the largest status of the three).
int SetupCheckRuntimeLibraries();

// Copies the libraries that need it into the System folder. 0 installed; 1 to 307 installed with a
// restart required; above 307 a failure whose number is a string of the string table.
int SetupInstallRuntimeLibraries();
