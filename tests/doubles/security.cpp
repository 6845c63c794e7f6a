// Security.dll double: the accepting side of NTLM for one test account (Wine's own cannot accept
// NTLM here). It answers a NEGOTIATE message with a CHALLENGE, checks the NTLMv2 response of the
// AUTHENTICATE message against the account's password, and impersonates by putting a copy of the
// process token on the thread (ImpersonateSelf). Every call goes to the journal ZS_SEC_JOURNAL.
// Test tool, not product.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include "double_util.h"

using zsdouble::Format;
using zsdouble::Journal;

namespace {

const char kJournal[] = "ZS_SEC_JOURNAL";
// The account database: one account.
const char kUser[] = "zsadmin";
const char kDomain[] = "ZSTEST";
const char kPassword[] = "Vesk-Test-1";

typedef long SECURITY_STATUS;
const SECURITY_STATUS kOk = 0;
const SECURITY_STATUS kContinueNeeded = 0x00090312;
const SECURITY_STATUS kInvalidToken = static_cast<SECURITY_STATUS>(0x80090308);
const SECURITY_STATUS kLogonDenied = static_cast<SECURITY_STATUS>(0x8009030C);
const SECURITY_STATUS kBufferTooSmall = static_cast<SECURITY_STATUS>(0x80090321);
const SECURITY_STATUS kUnsupported = static_cast<SECURITY_STATUS>(0x80090302);
const SECURITY_STATUS kNoImpersonation = static_cast<SECURITY_STATUS>(0x8009030B);
const SECURITY_STATUS kNoCredentials = static_cast<SECURITY_STATUS>(0x8009030E);

struct Handle {
  ULONG_PTR lower;
  ULONG_PTR upper;
};
struct Buffer {
  unsigned long size;
  unsigned long type;
  void* data;
};
struct BufferDesc {
  unsigned long version;
  unsigned long count;
  Buffer* buffers;
};

const ULONG_PTR kCredentials = 0xC4ED;
const ULONG_PTR kContext = 0xC07E;
unsigned char g_challenge[8];

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const unsigned char* p) { return U16(p) | (static_cast<uint32_t>(U16(p + 2)) << 16); }

std::string Hex(const unsigned char* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += Format("%02x", p[i]);
  return out;
}

std::string Utf16(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    out += *p;
    out += '\0';
  }
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Digest(ALG_ID algorithm, const std::string& data) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string out;
  if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    if (CryptCreateHash(provider, algorithm, 0, 0, &hash)) {
      unsigned char value[16];
      DWORD size = sizeof value;
      if (CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size()), 0) &&
          CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0)) {
        out.assign(reinterpret_cast<char*>(value), size);
      }
      CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
  }
  return out;
}

std::string HmacMd5(std::string key, const std::string& data) {
  if (key.size() > 64) key = Digest(CALG_MD5, key);
  key.resize(64, '\0');
  std::string inner = key, outer = key;
  for (size_t i = 0; i < 64; ++i) {
    inner[i] = static_cast<char>(inner[i] ^ 0x36);
    outer[i] = static_cast<char>(outer[i] ^ 0x5c);
  }
  return Digest(CALG_MD5, outer + Digest(CALG_MD5, inner + data));
}

void AvPair(std::string* info, uint16_t id, const std::string& value) {
  unsigned char head[4] = {static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
                           static_cast<unsigned char>(value.size()),
                           static_cast<unsigned char>(value.size() >> 8)};
  info->append(reinterpret_cast<char*>(head), 4);
  info->append(value);
}

void Put16(std::string* out, size_t at, uint16_t v) {
  (*out)[at] = static_cast<char>(v);
  (*out)[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string* out, size_t at, uint32_t v) {
  Put16(out, at, static_cast<uint16_t>(v));
  Put16(out, at + 2, static_cast<uint16_t>(v >> 16));
}

std::string ChallengeMessage() {
  srand(GetTickCount());
  for (unsigned char& b : g_challenge) b = static_cast<unsigned char>(rand());
  std::string target = Utf16(kDomain);
  std::string info;
  AvPair(&info, 2, Utf16(kDomain));
  AvPair(&info, 1, Utf16("ZSSERVER"));
  AvPair(&info, 4, Utf16("zstest.example"));
  AvPair(&info, 3, Utf16("zsserver.zstest.example"));
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  AvPair(&info, 7, std::string(reinterpret_cast<char*>(&now), 8));
  AvPair(&info, 0, "");
  std::string m(56, '\0');
  memcpy(&m[0], "NTLMSSP\0", 8);
  Put32(&m, 8, 2);
  Put16(&m, 12, static_cast<uint16_t>(target.size()));
  Put16(&m, 14, static_cast<uint16_t>(target.size()));
  Put32(&m, 16, 56);
  // Unicode, target requested, NTLM, always sign, domain target, extended session security,
  // target info, version, 128-bit.
  Put32(&m, 20, 0x20898205u | 0x02000000u);
  memcpy(&m[24], g_challenge, 8);
  Put16(&m, 40, static_cast<uint16_t>(info.size()));
  Put16(&m, 42, static_cast<uint16_t>(info.size()));
  Put32(&m, 44, static_cast<uint32_t>(56 + target.size()));
  m[48] = 6;  // version 6.1
  m[49] = 1;
  m[55] = 15;
  return m + target + info;
}

// A field (length, room, offset) of the AUTHENTICATE message, checked against its length.
bool Field(const unsigned char* m, size_t size, size_t at, std::string* out) {
  uint16_t length = U16(m + at);
  uint32_t offset = U32(m + at + 4);
  if (offset > size || length > size - offset) return false;
  out->assign(reinterpret_cast<const char*>(m + offset), length);
  return true;
}

std::string FromUtf16(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out += text[i];
  return out;
}

// Checks the NTLMv2 response of the AUTHENTICATE message; the user and domain for the journal.
SECURITY_STATUS Authenticate(const unsigned char* m, size_t size, std::string* who) {
  std::string nt, domain, user;
  if (size < 64 || !Field(m, size, 20, &nt) || !Field(m, size, 28, &domain) ||
      !Field(m, size, 36, &user)) {
    return kInvalidToken;
  }
  *who = FromUtf16(domain) + "\\" + FromUtf16(user);
  if (lstrcmpiA(FromUtf16(user).c_str(), kUser) != 0 ||
      lstrcmpiA(FromUtf16(domain).c_str(), kDomain) != 0 || nt.size() <= 24) {
    return kLogonDenied;
  }
  std::string key = HmacMd5(Digest(CALG_MD4, Utf16(kPassword)), Upper(user) + domain);
  std::string blob = nt.substr(16);
  std::string proof = HmacMd5(key, std::string(reinterpret_cast<char*>(g_challenge), 8) + blob);
  return proof.size() == 16 && proof == nt.substr(0, 16) ? kOk : kLogonDenied;
}

const char* Outcome(SECURITY_STATUS status) {
  switch (status) {
    case kOk:
      return "ok";
    case kContinueNeeded:
      return "continue";
    case kLogonDenied:
      return "denied";
    case kBufferTooSmall:
      return "buffer too small";
    default:
      return "invalid";
  }
}

}  // namespace

extern "C" {

__declspec(dllexport) SECURITY_STATUS WINAPI
    AcquireCredentialsHandleA(char* principal, char* package, unsigned long use, void*, void*,
                              void*, void*, Handle* credentials, LARGE_INTEGER*) {
  Journal(kJournal, Format("AcquireCredentialsHandleA %s %s use=%lu",
                           principal ? principal : "(none)", package ? package : "(null)", use));
  if (package == nullptr || lstrcmpiA(package, "NTLM") != 0 || credentials == nullptr) {
    return kNoCredentials;
  }
  credentials->lower = kCredentials;
  credentials->upper = 0;
  return kOk;
}

__declspec(dllexport) SECURITY_STATUS WINAPI InitializeSecurityContextA() { return kUnsupported; }

__declspec(dllexport) SECURITY_STATUS WINAPI
    AcceptSecurityContext(Handle* credentials, Handle* context, BufferDesc* input,
                          unsigned long requirements, unsigned long representation,
                          Handle* newContext, BufferDesc* output, unsigned long*, LARGE_INTEGER*) {
  if (credentials == nullptr || credentials->lower != kCredentials || input == nullptr ||
      input->count != 1 || output == nullptr || output->count != 1 || newContext == nullptr) {
    Journal(kJournal, "AcceptSecurityContext bad arguments");
    return kInvalidToken;
  }
  const unsigned char* token = static_cast<const unsigned char*>(input->buffers[0].data);
  unsigned long size = input->buffers[0].size;
  unsigned long room = output->buffers[0].size;
  std::string line = Format("AcceptSecurityContext %s req=%lu drep=0x%lx in=%lu room=%lu",
                            context ? "context" : "new", requirements, representation, size, room);
  SECURITY_STATUS status = kInvalidToken;
  bool ntlm = size >= 12 && memcmp(token, "NTLMSSP\0", 8) == 0;
  if (ntlm && U32(token + 8) == 1 && context == nullptr) {
    std::string challenge = ChallengeMessage();
    line += " negotiate";
    if (room < challenge.size()) {
      status = kBufferTooSmall;
    } else {
      memcpy(output->buffers[0].data, challenge.data(), challenge.size());
      output->buffers[0].size = static_cast<unsigned long>(challenge.size());
      newContext->lower = kContext;
      newContext->upper = 0;
      status = kContinueNeeded;
    }
  } else if (ntlm && U32(token + 8) == 3 && context != nullptr && context->lower == kContext) {
    std::string who;
    status = Authenticate(token, size, &who);
    line += " authenticate " + who;
    output->buffers[0].size = 0;
  } else if (size > 0) {
    line += " token " + Hex(token, size < 8 ? size : 8);
  }
  Journal(kJournal, line + " -> " + Outcome(status));
  return status;
}

__declspec(dllexport) SECURITY_STATUS WINAPI ImpersonateSecurityContext(Handle* context) {
  bool valid = context != nullptr && context->lower == kContext;
  SECURITY_STATUS status = valid && ImpersonateSelf(SecurityImpersonation) ? kOk : kNoImpersonation;
  Journal(kJournal, Format("ImpersonateSecurityContext -> %s", status == kOk ? "ok" : "failed"));
  return status;
}

__declspec(dllexport) SECURITY_STATUS WINAPI QuerySecurityContextToken(Handle*, HANDLE*) {
  return kUnsupported;
}

__declspec(dllexport) SECURITY_STATUS WINAPI RevertSecurityContext(Handle*) {
  Journal(kJournal, "RevertSecurityContext");
  RevertToSelf();
  return kOk;
}

__declspec(dllexport) SECURITY_STATUS WINAPI DeleteSecurityContext(Handle* context) {
  Journal(kJournal, Format("DeleteSecurityContext %s",
                           context && context->lower == kContext ? "ours" : "unknown"));
  return kOk;
}

__declspec(dllexport) SECURITY_STATUS WINAPI FreeCredentialsHandle(Handle* credentials) {
  Journal(kJournal, Format("FreeCredentialsHandle %s",
                           credentials && credentials->lower == kCredentials ? "ours" : "unknown"));
  return kOk;
}

}  // extern "C"
