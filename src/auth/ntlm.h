// The NTLM exchange in which the setup is the accepting side: the security support provider
// interface loaded at run time, the server context, and the two messages of the authorization
// protocol.
#pragma once

#include <stdint.h>
#include <windows.h>
#define SECURITY_WIN32
#include <sspi.h>

#include "auth/frame.h"

class AuthConnection;

// Largest token either side sends (the frame's limit).
enum { AUTH_TOKEN_MAX = 2048 };

// One SECBUFFER_TOKEN buffer with its descriptor. The length is the token's, or the room for one.
struct AuthTokenBuffer {
  SecBufferDesc desc;
  SecBuffer buffer;
  unsigned char data[AUTH_TOKEN_MAX];
  AuthTokenBuffer();
  AuthTokenBuffer(const AuthTokenBuffer&) = delete;
  AuthTokenBuffer& operator=(const AuthTokenBuffer&) = delete;
};

// "Security.dll", loaded on the first call of a wrapper; each wrapper returns SEC_E_INTERNAL_ERROR
// without calling anything when the library or its entry point is missing.
class SecurityLibrary {
 public:
  SecurityLibrary() = default;
  virtual ~SecurityLibrary();
  SecurityLibrary(const SecurityLibrary&) = delete;
  SecurityLibrary& operator=(const SecurityLibrary&) = delete;

 protected:
  SECURITY_STATUS AcquireCredentialsHandleA(char* principal, char* package, unsigned long use,
                                            CredHandle* credentials, TimeStamp* expiry);
  SECURITY_STATUS AcceptSecurityContext(CredHandle* credentials, CtxtHandle* context,
                                        SecBufferDesc* input, unsigned long requirements,
                                        CtxtHandle* newContext, SecBufferDesc* output,
                                        unsigned long* attributes, TimeStamp* expiry);
  SECURITY_STATUS ImpersonateSecurityContext(CtxtHandle* context);
  SECURITY_STATUS RevertSecurityContext(CtxtHandle* context);
  SECURITY_STATUS DeleteSecurityContext(CtxtHandle* context);
  SECURITY_STATUS FreeCredentialsHandle(CredHandle* credentials);

 private:
  enum {
    kAcquireCredentialsHandleA,
    kInitializeSecurityContextA,
    kAcceptSecurityContext,
    kImpersonateSecurityContext,
    kQuerySecurityContextToken,
    kRevertSecurityContext,
    kDeleteSecurityContext,
    kFreeCredentialsHandle,
    kEntryCount
  };
  // The entry point, loading the library first; null when either is missing.
  void* Entry(int which);

  HMODULE module_ = nullptr;
  bool loadTried_ = false;
  void* entries_[kEntryCount] = {};
};

// The accepting side of one NTLM authentication. Release (and the destructor) delete the context
// and free the credentials.
class NtlmServerContext : public SecurityLibrary {
 public:
  ~NtlmServerContext() override;
  // Inbound NTLM credentials.
  SECURITY_STATUS AcquireInbound();
  // Feeds the input token; the output buffer gets the token to send back (its room is reset to
  // the whole buffer first). SEC_I_CONTINUE_NEEDED or SEC_E_OK (complete), else a failure.
  SECURITY_STATUS Accept(AuthTokenBuffer* input, AuthTokenBuffer* output);
  SECURITY_STATUS Impersonate();
  SECURITY_STATUS Revert();
  void Release();

 private:
  CredHandle credentials_ = {0, 0};
  CtxtHandle context_ = {0, 0};
};

// Message 1600 with the three texts and two numbers. 0, or the negative result of the exchange or
// of the server.
int AuthRequestOpening(AuthConnection* connection, const char* text1, const char* text2,
                       uint32_t number, uint32_t smallNumber, const char* text3);

// Message 1601: sends the output buffer's token (none: an empty token) and stores the server's
// token into the input buffer. 0 when it is there; negative for a transport, server or layout
// failure (the reply is untrusted: a short reply or a token outside it fails); positive: the
// server's nonzero status. *continueFlag gets the server's flag.
int AuthExchangeTokens(AuthConnection* connection, const AuthTokenBuffer* output,
                       AuthTokenBuffer* input, uint32_t* continueFlag);
