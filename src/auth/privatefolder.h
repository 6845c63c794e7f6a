// Folders the setup loads libraries from, kept out of reach of the user who started the run.
#pragma once

#include <windows.h>

#include "system/guards.h"

// Creates a folder and any missing parents like FileCreateFolderPath (a trailing backslash is
// ignored): 1 when created; 0 when it exists already (GetLastError then gives
// ERROR_ALREADY_EXISTS) or cannot be made. On the NT family the folder (also one that existed,
// where its descriptor can be replaced) grants access to the account the thread works as (an
// impersonated one first), the Administrators group and SYSTEM only, inherited by what is
// created inside; without that descriptor nothing is created.
int AuthCreatePrivateFolder(const char* path);

// Gives a run that works as an authorized account a temporary folder of its own: a new private
// folder in the temporary folder of the user who started it (the first name of "ZSetupAuth",
// "ZSetupAuth1" ... "ZSetupAuth99" that is free: nothing there is entered or adopted), held open
// for the run so that it cannot be swapped, and made the process's TMP and TEMP. 0, or the Win32
// error; folder (MAX_PATH bytes) receives the folder, or the last one tried.
DWORD AuthUsePrivateTempFolder(char* folder);

// Lets go of that folder at the end of the run and removes it (at the restart when it is not
// empty yet). Nothing without one.
void AuthReleasePrivateTempFolder();

// The descriptor of those folders, built for the account the thread works as.
class AuthFolderDescriptor {
 public:
  AuthFolderDescriptor() = default;
  virtual ~AuthFolderDescriptor();
  AuthFolderDescriptor(const AuthFolderDescriptor&) = delete;
  AuthFolderDescriptor& operator=(const AuthFolderDescriptor&) = delete;
  // false when the account or the entries cannot be had.
  bool Build();
  SECURITY_DESCRIPTOR* descriptor() { return &descriptor_; }

 private:
  HeapGuard<> user_;
  PSID admins_ = nullptr;
  PSID system_ = nullptr;
  HeapGuard<ACL> acl_;
  SECURITY_DESCRIPTOR descriptor_;
};
