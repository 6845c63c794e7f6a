// The engine files of the package.
#pragma once

// Copies the engine files. 1 / 0.
int SetupCopyEngines();

// Commits the copied engine files. 1 / 0.
int SetupCommitEngines();

// Frees the engine list (the setup context's engine list becomes null).
void SetupFreeEngineList();
