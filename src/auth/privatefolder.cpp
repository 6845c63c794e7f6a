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
  BOOL(WINAPI* getKernelObjectSecurity)
  (HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD, LPDWORD);
  BOOL(WINAPI* getSecurityDescriptorOwner)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL);
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
    Resolve(advapi, "GetKernelObjectSecurity", &a.getKernelObjectSecurity, &a.complete);
    Resolve(advapi, "GetSecurityDescriptorOwner", &a.getSecurityDescriptorOwner, &a.complete);
    return a;
  }();
  return api;
}

// A part (TokenUser, TokenOwner) of the token the thread works as: the impersonated one, else the
// process's.
bool EffectiveToken(TOKEN_INFORMATION_CLASS part, HeapGuard<>* out) {
  HandleGuard token(SysOpenThreadToken(TOKEN_QUERY));
  if (token.handle == INVALID_HANDLE_VALUE) return false;
  if (token.handle == nullptr &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.handle)) {
    token.handle = nullptr;
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token.handle, part, nullptr, 0, &size);
  if (size == 0) return false;
  out->block = malloc(size);
  return out->block != nullptr && GetTokenInformation(token.handle, part, out->block, size, &size);
}

// The authorized run's temporary folder, held open without delete sharing until the end of the
// run: a folder that is open so cannot be renamed or removed, so no one can put another in its
// place.
HANDLE g_privateTemp = INVALID_HANDLE_VALUE;
char g_privateTempPath[MAX_PATH];

// 1 when the folder open in handle belongs to the account the thread works as (its user, or the
// owner it gives what it creates, such as the Administrators group): the user who started the run
// can give neither to a folder of theirs.
bool OwnedByEffectiveAccount(HANDLE handle) {
  const AclApi& api = Acl();
  HeapGuard<> user, owner;
  if (!api.complete || !EffectiveToken(TokenUser, &user) || !EffectiveToken(TokenOwner, &owner)) {
    return false;
  }
  char descriptor[1024];
  DWORD needed = 0;
  PSID sid = nullptr;
  BOOL defaulted = FALSE;
  if (!api.getKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, descriptor,
                                   sizeof descriptor, &needed) ||
      !api.getSecurityDescriptorOwner(descriptor, &sid, &defaulted) || sid == nullptr) {
    return false;
  }
  return EqualSid(sid, static_cast<TOKEN_USER*>(user.block)->User.Sid) ||
         EqualSid(sid, static_cast<TOKEN_OWNER*>(owner.block)->Owner);
}

// Opens folder without delete sharing; on NT 5 and later the folder itself, should it be a link.
HANDLE HoldFolder(const char* folder) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  // NT 4.0 knows no reparse points and refuses the flag.
  if (LOBYTE(LOWORD(GetVersion())) >= 5) flags |= 0x00200000;  // FILE_FLAG_OPEN_REPARSE_POINT
  return CreateFileA(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

}  // namespace

AuthFolderDescriptor::~AuthFolderDescriptor() {
  if (admins_ != nullptr) FreeSid(admins_);
  if (system_ != nullptr) FreeSid(system_);
}

bool AuthFolderDescriptor::Build() {
  const AclApi& api = Acl();
  if (!api.complete || !EffectiveToken(TokenUser, &user_)) return false;
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
  // A folder left by an earlier run, or made by someone else beforehand; never what a link
  // (junction, symbolic link) leads to.
  DWORD existing = GetFileAttributesA(folder);
  if (existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_REPARSE_POINT)) {
    Acl().setFileSecurityA(folder, DACL_SECURITY_INFORMATION, descriptor.descriptor());
  }
  SetLastError(ERROR_ALREADY_EXISTS);
  return 0;
}

DWORD AuthUsePrivateTempFolder(char* folder) {
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) {
    folder[0] = 0;
    return ERROR_PATH_NOT_FOUND;
  }
  AuthFolderDescriptor descriptor;
  if (!descriptor.Build()) {
    StrCopyN(folder, temp, MAX_PATH);
    return ERROR_ACCESS_DENIED;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.descriptor(), FALSE};
  // A new folder only: whatever has the name already (a link, a folder of the user's, one left
  // by an interrupted run) is neither entered, emptied nor adopted; the next name is taken.
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int i = 0; i < 100 && error == ERROR_ALREADY_EXISTS; ++i) {
    char name[16] = "ZSetupAuth";
    if (i > 0) wsprintfA(name + 10, "%d", i);
    StrCopyN(folder, temp, MAX_PATH);
    StrAppendN(folder, name, MAX_PATH);
    error = SysCreateDirectory(folder, &attributes) ? 0 : GetLastError();
  }
  if (error != 0) return error;
  // Held at once, then checked: a folder put in its place in between is the user's own.
  g_privateTemp = HoldFolder(folder);
  if (g_privateTemp == INVALID_HANDLE_VALUE) return GetLastError();
  if (!OwnedByEffectiveAccount(g_privateTemp)) {
    CloseHandle(g_privateTemp);
    g_privateTemp = INVALID_HANDLE_VALUE;
    return ERROR_INVALID_OWNER;
  }
  StrCopyN(g_privateTempPath, folder, sizeof g_privateTempPath);
  AddBackslash(folder, MAX_PATH);
  // Every temporary file of the run follows: global.xml, the working and extraction folders, and
  // what the component libraries make.
  if (!SetEnvironmentVariableA("TMP", folder) || !SetEnvironmentVariableA("TEMP", folder)) {
    return GetLastError();
  }
  return 0;
}

void AuthReleasePrivateTempFolder() {
  if (g_privateTemp == INVALID_HANDLE_VALUE) return;
  CloseHandle(g_privateTemp);
  g_privateTemp = INVALID_HANDLE_VALUE;
  // Gone now, or at the restart after what is left in it (a global.xml in use).
  DirRemoveOrSchedule(g_privateTempPath);
}
