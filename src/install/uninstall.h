// Removing the installed product, and the restart continuation entry.
#pragma once

// Deletes the product's files and folders: the component folders and "Setup\" below the install
// folder, then, when the installation created the install folder (folderCreated), the files
// directly in it and the folder; otherwise only the folder, and only when it is empty (what the
// uninstall list named is gone by now, and anything else there was a person's before). 1 when
// everything went or waits for the restart; 0 when something could not even be scheduled.
int SetupRemoveProductFolders(int folderCreated);

// 1 when name is a component's folder as the registration names it ("00" to "99"): a "Path" read
// from the registry that is anything else may lead out of the product's Setup folder.
inline int SetupIsComponentFolder(const char* name) {
  return name[0] >= '0' && name[0] <= '9' && name[1] >= '0' && name[1] <= '9' && name[2] == 0;
}

// Records in the product's "Info" key that its uninstallation has begun ("Uninstalling" = 1),
// before anything is removed: an uninstallation cut short or failed after it removed uninst.xml is
// then finished without it (ExeLibsLoadInstalled). 1 / 0.
int SetupMarkUninstalling();

// 1 when an uninstallation has begun and not finished.
int SetupUninstallingMarked();

// Deletes the Windows uninstall entry of the product. 1 when it is gone.
int SetupRemoveUninstallEntry();

// Deletes the product's key with its tree, then its parents when they are empty. The last step of
// an uninstallation: while the key names the install folder, one cut short or failed can be run
// again. 1 when the product's key is gone.
int SetupRemoveProductKeys();

// Deletes the product's key and its parents when they are empty (left by an uninstallation cut
// short after "Info" went). 0 when an empty one stays.
int SetupRemoveEmptyProductKeys();

// Whether an item path of the uninstall list ("HKLM\...") is the product's key or one of its
// parents, which SetupRemoveProductKeys removes.
bool SetupIsProductKeyPath(const char* path);

// Writes the RunOnce entry that runs the setup again after the restart with these switches.
void SetupWriteRestartEntry(const char* switches);
