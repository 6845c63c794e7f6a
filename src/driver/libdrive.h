// Driving the component libraries through the phases and releasing every library and temporary
// file at the end of a run. The component arrays and their library arrays are allocated with
// malloc or calloc by whoever fills them; the release here frees them with free.
#pragma once

// Which component array a command goes to.
enum { EXELIBS_PACKAGE = 0, EXELIBS_INSTALLED = 1 };

// Sends command to every component library of the chosen array, in array and list order, logging
// each component and library. A result of 3010 sets restart pending; a result from 100 to 1000
// ends the run with that code and the component's display name, except for commands 1, 4, 5 and
// 6, which ignore it.
void ExeLibsCommand(int command, int list);

// Rebuilds global.xml from the installed product's uninstall information (119 when it is there
// but cannot be read) and loads the installed components' libraries from the product's setup
// folder. Returns 1; 0, loading nothing, when uninst.xml is gone after an uninstallation began
// (SetupMarkUninstalling).
int ExeLibsLoadInstalled();

// Disconnects, releases and unloads every component and user-interface library, deletes the
// package's library files and temporary folders (kept for an update), the single-component
// description and global.xml, unloads the language library, discards the rollback list and frees
// the engine list. Safe to call more than once.
void ExeLibsRelease();

// Disconnects and unloads the visual library and frees both component arrays.
void VisLibRelease();
