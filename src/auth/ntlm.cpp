// The security library, the NTLM server context and the two protocol messages.
#include "auth/ntlm.h"

#include <string.h>

#include "auth/connection.h"
#include "system/libload.h"

namespace {

const char* const kEntryNames[] = {
    "AcquireCredentialsHandleA",  "InitializeSecurityContextA", "AcceptSecurityContext",
    "ImpersonateSecurityContext", "QuerySecurityContextToken",  "RevertSecurityContext",
    "DeleteSecurityContext",      "FreeCredentialsHandle",
};

enum { kOpeningType = 1600, kTokensType = 1601 };
enum { kOpeningFixed = 24, kOpeningPayloadMax = 2048, kOpeningReplyMax = 128 };
enum { kTokensFixed = 12, kTokensFiller = 12, kTokensReplyMax = 2048 };

void PutU32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool HasHandle(const SecHandle& handle) { return handle.dwLower != 0 || handle.dwUpper != 0; }

// Copies text with its terminator at *used, cut so that the later texts' terminators (reserve
// bytes) still fit; returns the text's offset.
uint32_t PutText(unsigned char* payload, uint32_t* used, const char* text, uint32_t reserve) {
  uint32_t offset = *used;
  uint32_t room = kOpeningPayloadMax - offset - reserve - 1;
  uint32_t length = static_cast<uint32_t>(strlen(text));
  if (length > room) length = room;
  memcpy(payload + offset, text, length);
  payload[offset + length] = 0;
  *used = offset + length + 1;
  return offset;
}

}  // namespace

AuthTokenBuffer::AuthTokenBuffer() {
  buffer.BufferType = SECBUFFER_TOKEN;
  buffer.cbBuffer = sizeof data;
  buffer.pvBuffer = data;
  desc.ulVersion = SECBUFFER_VERSION;
  desc.cBuffers = 1;
  desc.pBuffers = &buffer;
  memset(data, 0, sizeof data);
}

// ---- SecurityLibrary ----

SecurityLibrary::~SecurityLibrary() {
  if (module_ != nullptr) FreeLibrary(module_);
}

void* SecurityLibrary::Entry(int which) {
  if (!loadTried_) {
    loadTried_ = true;
    // From the System folder by its full path: a copy beside the program must never run.
    module_ = SysLoadSystemLibrary("Security.dll");
    if (module_ != nullptr) {
      for (int i = 0; i < kEntryCount; ++i)
        entries_[i] = reinterpret_cast<void*>(GetProcAddress(module_, kEntryNames[i]));
    }
  }
  return entries_[which];
}

SECURITY_STATUS SecurityLibrary::AcquireCredentialsHandleA(char* principal, char* package,
                                                           unsigned long use,
                                                           CredHandle* credentials,
                                                           TimeStamp* expiry) {
  auto fn = reinterpret_cast<ACQUIRE_CREDENTIALS_HANDLE_FN_A>(Entry(kAcquireCredentialsHandleA));
  if (fn == nullptr) return SEC_E_INTERNAL_ERROR;
  return fn(principal, package, use, nullptr, nullptr, nullptr, nullptr, credentials, expiry);
}

SECURITY_STATUS SecurityLibrary::AcceptSecurityContext(
    CredHandle* credentials, CtxtHandle* context, SecBufferDesc* input, unsigned long requirements,
    CtxtHandle* newContext, SecBufferDesc* output, unsigned long* attributes, TimeStamp* expiry) {
  auto fn = reinterpret_cast<ACCEPT_SECURITY_CONTEXT_FN>(Entry(kAcceptSecurityContext));
  if (fn == nullptr) return SEC_E_INTERNAL_ERROR;
  return fn(credentials, context, input, requirements, SECURITY_NATIVE_DREP, newContext, output,
            attributes, expiry);
}

SECURITY_STATUS SecurityLibrary::ImpersonateSecurityContext(CtxtHandle* context) {
  auto fn = reinterpret_cast<IMPERSONATE_SECURITY_CONTEXT_FN>(Entry(kImpersonateSecurityContext));
  return fn == nullptr ? SEC_E_INTERNAL_ERROR : fn(context);
}

SECURITY_STATUS SecurityLibrary::RevertSecurityContext(CtxtHandle* context) {
  auto fn = reinterpret_cast<REVERT_SECURITY_CONTEXT_FN>(Entry(kRevertSecurityContext));
  return fn == nullptr ? SEC_E_INTERNAL_ERROR : fn(context);
}

SECURITY_STATUS SecurityLibrary::DeleteSecurityContext(CtxtHandle* context) {
  auto fn = reinterpret_cast<DELETE_SECURITY_CONTEXT_FN>(Entry(kDeleteSecurityContext));
  return fn == nullptr ? SEC_E_INTERNAL_ERROR : fn(context);
}

SECURITY_STATUS SecurityLibrary::FreeCredentialsHandle(CredHandle* credentials) {
  auto fn = reinterpret_cast<FREE_CREDENTIALS_HANDLE_FN>(Entry(kFreeCredentialsHandle));
  return fn == nullptr ? SEC_E_INTERNAL_ERROR : fn(credentials);
}

// ---- NtlmServerContext ----

NtlmServerContext::~NtlmServerContext() { Release(); }

SECURITY_STATUS NtlmServerContext::AcquireInbound() {
  char package[] = "NTLM";
  TimeStamp expiry;
  return AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_INBOUND, &credentials_, &expiry);
}

SECURITY_STATUS NtlmServerContext::Accept(AuthTokenBuffer* input, AuthTokenBuffer* output) {
  // The previous call left its token's length here: the next token may be longer.
  output->buffer.cbBuffer = sizeof output->data;
  unsigned long attributes = 0;
  TimeStamp expiry;
  return AcceptSecurityContext(&credentials_, HasHandle(context_) ? &context_ : nullptr,
                               &input->desc, ASC_REQ_DELEGATE, &context_, &output->desc,
                               &attributes, &expiry);
}

SECURITY_STATUS NtlmServerContext::Impersonate() { return ImpersonateSecurityContext(&context_); }

SECURITY_STATUS NtlmServerContext::Revert() { return RevertSecurityContext(&context_); }

void NtlmServerContext::Release() {
  if (HasHandle(context_)) DeleteSecurityContext(&context_);
  context_.dwLower = context_.dwUpper = 0;
  if (HasHandle(credentials_)) FreeCredentialsHandle(&credentials_);
  credentials_.dwLower = credentials_.dwUpper = 0;
}

// ---- Messages ----

int AuthRequestOpening(AuthConnection* connection, const char* text1, const char* text2,
                       uint32_t number, uint32_t smallNumber, const char* text3) {
  unsigned char payload[kOpeningPayloadMax];
  uint32_t used = kOpeningFixed;
  uint32_t offset1 = PutText(payload, &used, text1, 2);
  uint32_t offset2 = PutText(payload, &used, text2, 1);
  uint32_t offset3 = PutText(payload, &used, text3, 0);
  PutU32(payload, kOpeningFixed);
  PutU32(payload + 4, offset1);
  PutU32(payload + 8, offset2);
  PutU32(payload + 12, number);
  PutU32(payload + 16, smallNumber & 0xFF);
  PutU32(payload + 20, offset3);
  unsigned char reply[kOpeningReplyMax];
  uint32_t replyLength = 0;
  int result =
      AuthExchange(connection, kOpeningType, payload, used, reply, sizeof reply, &replyLength);
  return result < 0 ? result : 0;
}

int AuthExchangeTokens(AuthConnection* connection, const AuthTokenBuffer* output,
                       AuthTokenBuffer* input, uint32_t* continueFlag) {
  unsigned char payload[kTokensFixed + AUTH_TOKEN_MAX + kTokensFiller];
  uint32_t tokenLength = 0;
  if (output != nullptr) {
    tokenLength = output->buffer.cbBuffer;
    if (tokenLength > AUTH_TOKEN_MAX) tokenLength = AUTH_TOKEN_MAX;
  }
  PutU32(payload, kTokensFixed);
  PutU32(payload + 4, kTokensFixed);
  PutU32(payload + 8, tokenLength);
  if (tokenLength > 0) memcpy(payload + kTokensFixed, output->data, tokenLength);
  memset(payload + kTokensFixed + tokenLength, 0, kTokensFiller);

  unsigned char reply[kTokensReplyMax];
  uint32_t replyLength = 0;
  int result =
      AuthExchange(connection, kTokensType, payload, kTokensFixed + tokenLength + kTokensFiller,
                   reply, sizeof reply, &replyLength);
  if (result < 0) return result;
  uint32_t length = 0;
  result = AuthParseTokenReply(reply, replyLength, input->data, sizeof input->data, &length,
                               continueFlag);
  if (result == 0) input->buffer.cbBuffer = length;
  return result;
}
