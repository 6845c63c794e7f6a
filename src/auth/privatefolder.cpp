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
#include "system/hook.h"
#include "system/os.h"
#include "system/str.h"

namespace {

// The access-list functions, looked up at run time: the 9x family, which never gets here, may lack
// some of them, and a program importing one it lacks would not start there.
struct AclApi {
  BOOL(WINAPI* initializeAcl)(PACL, DWORD, DWORD);
  BOOL(WINAPI* addAccessAllowedAce)(PACL, DWORD, DWORD, PSID);
  BOOL(WINAPI* getAce)(PACL, DWORD, LPVOID*);
  DWORD(WINAPI* getLengthSid)(PSID);
  BOOL(WINAPI* initializeSecurityDescriptor)(PSECURITY_DESCRIPTOR, DWORD);
  BOOL(WINAPI* setSecurityDescriptorDacl)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
  BOOL(WINAPI* setFileSecurityA)(LPCSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
  bool complete;
};

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn* out, bool* complete) {
  *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*out == nullptr) *complete = false;
}

const AclApi& Acl() {
  static AclApi api = [] {
    AclApi a = {};
    a.complete = true;
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (advapi == nullptr) advapi = LoadLibraryA("advapi32.dll");
    Resolve(advapi, "InitializeAcl", &a.initializeAcl, &a.complete);
    Resolve(advapi, "AddAccessAllowedAce", &a.addAccessAllowedAce, &a.complete);
    Resolve(advapi, "GetAce", &a.getAce, &a.complete);
    Resolve(advapi, "GetLengthSid", &a.getLengthSid, &a.complete);
    Resolve(advapi, "InitializeSecurityDescriptor", &a.initializeSecurityDescriptor, &a.complete);
    Resolve(advapi, "SetSecurityDescriptorDacl", &a.setSecurityDescriptorDacl, &a.complete);
    Resolve(advapi, "SetFileSecurityA", &a.setFileSecurityA, &a.complete);
    return a;
  }();
  return api;
}

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
  const AclApi& api = Acl();
  if (!api.complete || !EffectiveUser(&user_)) return false;
  PSID account = static_cast<TOKEN_USER*>(user_.block)->User.Sid;
  SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                0, 0, 0, 0, &admins_) ||
      !AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system_)) {
    return false;
  }
  PSID sids[] = {account, admins_, system_};
  DWORD size = sizeof(ACL);
  for (PSID sid : sids) size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + api.getLengthSid(sid);
  acl_.block = static_cast<ACL*>(malloc(size));
  if (acl_.block == nullptr || !api.initializeAcl(acl_.block, size, ACL_REVISION)) return false;
  for (DWORD i = 0; i < 3; ++i) {
    void* ace = nullptr;
    if (!api.addAccessAllowedAce(acl_.block, ACL_REVISION, FILE_ALL_ACCESS, sids[i]) ||
        !api.getAce(acl_.block, i, &ace)) {
      return false;
    }
    static_cast<ACE_HEADER*>(ace)->AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  }
  return api.initializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
         api.setSecurityDescriptorDacl(&descriptor_, TRUE, acl_.block, FALSE);
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
  if (SysCreateDirectory(folder, &attributes)) return 1;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  // A folder left by an earlier run, or made by someone else beforehand.
  Acl().setFileSecurityA(folder, DACL_SECURITY_INFORMATION, descriptor.descriptor());
  SetLastError(ERROR_ALREADY_EXISTS);
  return 0;
}
