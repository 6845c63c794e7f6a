// Removing the installed product, and the restart continuation entry.
#pragma once

// Writes global.xml from the installed product's uninst.xml. 1 when written, else 0.
int SetupBuildGlobalFromUninst();

// Deletes the product's files and folders.
void SetupRemoveProductFolders();

// Deletes the Windows uninstall entry of the product.
void SetupRemoveUninstallEntry();

// Writes the RunOnce entry that runs the setup again after the restart.
void SetupWriteRestartEntry();
