// What the placeholders of the not yet built workers (the files named unbuilt.cpp) use to refuse
// visibly.
#include "driver/unbuilt.h"

#include "driver/exit.h"
#include "driver/log.h"

void SetupLogUnbuilt(const char* name) { SetupLogError("%s: not built yet", name); }

void SetupRefuseUnbuilt(const char* name) {
  SetupLogUnbuilt(name);
  SetupExit(nullptr, nullptr, -1, name);
}
