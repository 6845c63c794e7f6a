#include "auth/privatefolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Descriptor(const std::string& path) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<unsigned char> sd(size);
  if (size == 0 ||
      !GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, sd.data(), size, &size)) {
    sd.clear();
  }
  return sd;
}

PSID WellKnown(DWORD count, DWORD first, DWORD second) {
  SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
  PSID sid = nullptr;
  AllocateAndInitializeSid(&nt, static_cast<BYTE>(count), first, second, 0, 0, 0, 0, 0, 0, &sid);
  return sid;
}

// The SIDs a DACL allows, in order, marked when an entry is not full access inherited by files
// and folders.
std::vector<std::string> AllowedSids(void* sd) {
  std::vector<std::string> sids;
  BOOL present = FALSE, defaulted = FALSE;
  ACL* acl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted) || !present || !acl) {
    return sids;
  }
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(acl, i, reinterpret_cast<void**>(&ace))) break;
    std::string text;
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) text += "not-allowed:";
    if ((ace->Mask & FILE_ALL_ACCESS) != FILE_ALL_ACCESS) text += "partial:";
    if (ace->Header.AceFlags != (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) text += "flags:";
    PSID sid = &ace->SidStart;
    PSID admins = WellKnown(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
    PSID system = WellKnown(1, SECURITY_LOCAL_SYSTEM_RID, 0);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    unsigned char user[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    if (EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) {
      text += "user";
    } else if (EqualSid(sid, admins)) {
      text += "admins";
    } else if (EqualSid(sid, system)) {
      text += "system";
    } else {
      text += "other";
    }
    FreeSid(admins);
    FreeSid(system);
    sids.push_back(text);
  }
  return sids;
}

std::vector<std::string> AllowedSids(const std::string& path) {
  std::vector<unsigned char> sd = Descriptor(path);
  return sd.empty() ? std::vector<std::string>() : AllowedSids(sd.data());
}

bool AdmitsOthers(const std::string& path) {
  for (const std::string& sid : AllowedSids(path)) {
    if (sid.find("other") != std::string::npos) return true;
  }
  return false;
}

// Wine keeps no descriptor on its files: it maps the entries onto the Unix mode, so on disk only
// "nobody else" can be seen, and the descriptor itself is checked as built.
TEST(AuthCreatePrivateFolder, AdmitsOnlyTheAccountAdministratorsAndSystem) {
  const std::vector<std::string> expected = {"user", "admins", "system"};
  {
    AuthFolderDescriptor descriptor;
    ASSERT_TRUE(descriptor.Build());
    EXPECT_EQ(expected, AllowedSids(descriptor.descriptor()));
  }

  const std::string base = "C:\\zs_private_test";
  const std::string folder = base + "\\ZSetup";
  RemoveDirectoryA(folder.c_str());
  RemoveDirectoryA(base.c_str());
  // A new folder (its missing parent made on the way), also under impersonation.
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  EXPECT_EQ(1, AuthCreatePrivateFolder((folder + "\\").c_str()));
  RevertToSelf();
  EXPECT_FALSE(AdmitsOthers(folder));

  // A folder that someone made beforehand with the default access gets the descriptor too.
  ASSERT_TRUE(RemoveDirectoryA(folder.c_str()));
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  ASSERT_TRUE(AdmitsOthers(folder));
  EXPECT_EQ(0, AuthCreatePrivateFolder(folder.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_FALSE(AdmitsOthers(folder));

  RemoveDirectoryA(folder.c_str());
  RemoveDirectoryA(base.c_str());
}

}  // namespace
