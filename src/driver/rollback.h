// The run's rollback: the undo list of the installation, newest first, and the steps among its
// entries that reach beyond the installation's own actions (global.xml's files and common entries,
// the component libraries' rollback command).
#pragma once

// Runs the undo actions of all entries, newest first; runs at most once per process.
void rollBackAll();
