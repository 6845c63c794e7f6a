// While the run impersonates an authorized account, the user who started it must not be able to
// swap the libraries extracted for it: their folders admit that account, the Administrators group
// and SYSTEM only. Everything here exists on NT 4.0; inheritance flags are set on the entries
// directly because AddAccessAllowedAceEx does not.
#include "auth/privatefolder.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "system/files.h"
#include "system/guards.h"
#include "system/os.h"
#include "system/str.h"

namespace {

// The account the thread works as: the impersonated one, else the process's.
bool EffectiveUser(HeapGuard<>* user) {
  HandleGuard token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token.handle)) {
    token.handle = nullptr;
    if (GetLastError() != ERROR_NO_TOKEN) return false;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.handle)) {
      token.handle = nullptr;
      return false;
    }
  }
  DWORD size = 0;
  GetTokenInformation(token.handle, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  user->block = malloc(size);
  return user->block != nullptr &&
         GetTokenInformation(token.handle, TokenUser, user->block, size, &size);
}

}  // namespace

AuthFolderDescriptor::~AuthFolderDescriptor() {
  if (admins_ != nullptr) FreeSid(admins_);
  if (system_ != nullptr) FreeSid(system_);
}

bool AuthFolderDescriptor::Build() {
  if (!EffectiveUser(&user_)) return false;
  PSID account = static_cast<TOKEN_USER*>(user_.block)->User.Sid;
  SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                0, 0, 0, 0, &admins_) ||
      !AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system_)) {
    return false;
  }
  PSID sids[] = {account, admins_, system_};
  DWORD size = sizeof(ACL);
  for (PSID sid : sids) size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
  acl_.block = static_cast<ACL*>(malloc(size));
  if (acl_.block == nullptr || !InitializeAcl(acl_.block, size, ACL_REVISION)) return false;
  for (DWORD i = 0; i < 3; ++i) {
    void* ace = nullptr;
    if (!AddAccessAllowedAce(acl_.block, ACL_REVISION, FILE_ALL_ACCESS, sids[i]) ||
        !GetAce(acl_.block, i, &ace)) {
      return false;
    }
    static_cast<ACE_HEADER*>(ace)->AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  }
  return InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_.block, FALSE);
}

int AuthCreatePrivateFolder(const char* path) {
  if (!SysIsNT()) return FileCreateFolderPath(path);
  char folder[MAX_PATH];
  StrCopyN(folder, path, sizeof folder);
  size_t length = strlen(folder);
  if (length > 0 && folder[length - 1] == '\\') folder[length - 1] = 0;

  AuthFolderDescriptor descriptor;
  if (!descriptor.Build()) return 0;
  char parent[MAX_PATH];
  StrCopyN(parent, folder, sizeof parent);
  char* slash = strrchr(parent, '\\');
  if (slash != nullptr && slash > parent && slash[-1] != ':') {
    *slash = 0;
    FileCreateFolderPath(parent);
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.descriptor(), FALSE};
  if (CreateDirectoryA(folder, &attributes)) return 1;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  // A folder left by an earlier run, or made by someone else beforehand.
  SetFileSecurityA(folder, DACL_SECURITY_INFORMATION, descriptor.descriptor());
  SetLastError(ERROR_ALREADY_EXISTS);
  return 0;
}
