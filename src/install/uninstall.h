// Removing the installed product, and the restart continuation entry.
#pragma once

// Writes global.xml from the installed product's uninst.xml. 1 when written, else 0.
int SetupBuildGlobalFromUninst();

// Deletes the product's files and folders: the component folders and "Setup\" below the install
// folder, then, when the installation created the install folder (folderCreated), the files
// directly in it and the folder; otherwise only the folder, and only when it is empty (what the
// uninstall list named is gone by now, and anything else there was a person's before).
void SetupRemoveProductFolders(int folderCreated);

// 1 when name is a component's folder as the registration names it ("00" to "99"): a "Path" read
// from the registry that is anything else may lead out of the product's Setup folder.
inline int SetupIsComponentFolder(const char* name) {
  return name[0] >= '0' && name[0] <= '9' && name[1] >= '0' && name[1] <= '9' && name[2] == 0;
}

// Deletes the Windows uninstall entry of the product.
void SetupRemoveUninstallEntry();

// Writes the RunOnce entry that runs the setup again after the restart with these switches.
void SetupWriteRestartEntry(const char* switches);
