// Interim: what the placeholders of the not yet built workers (the files named unbuilt.cpp) use to
// refuse visibly. Each refusal writes an error line naming the worker; it goes away with them.
#pragma once

// Logs the error line "<name>: not built yet".
void SetupLogUnbuilt(const char* name);

// Logs the error line and ends the run through the exit path with -1 and the worker's name.
[[noreturn]] void SetupRefuseUnbuilt(const char* name);
