// Remote authorization: the authorization server authenticates an account by NTLM and the setup's
// main thread impersonates it.
#include "auth/authorize.h"

#include <stdlib.h>

#include "auth/connection.h"
#include "auth/ntlm.h"
#include "system/os.h"

namespace {

// More accept calls than NTLM ever needs: a server that keeps the exchange going is refused.
enum { kMaxAcceptCalls = 8 };

// Windows Sockets for the length of one attempt.
struct WinsockSession {
  const AuthSockets* api = AuthSocketsApi();
  bool started;
  WinsockSession() {
    WSADATA data;
    started = api != nullptr && api->startup(0x0201, &data) == 0;
  }
  ~WinsockSession() {
    if (started) api->cleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
};

// Test hook: ZS_TEST_AUTH_WAIT_MS shortens the time a reply may take, so a test of a silent server
// need not wait the full limit. It can only shorten it.
DWORD ReplyTimeLimit() {
  char value[16];
  DWORD n = GetEnvironmentVariableA("ZS_TEST_AUTH_WAIT_MS", value, sizeof value);
  if (n == 0 || n >= sizeof value) return AUTH_REPLY_TIME_LIMIT_MS;
  unsigned long wanted = strtoul(value, nullptr, 10);
  const unsigned long limit = AUTH_REPLY_TIME_LIMIT_MS;
  return wanted < limit ? wanted : limit;
}

int Attempt(AuthConnection* connection, NtlmServerContext* ntlm, const char* host, int port) {
  if (connection->Connect(host, port) != 0) return 0;
  if (AuthRequestOpening(connection, "", "", 0, 0, "") < 0) return 0;
  // Acquired here; a failure shows at the first accept.
  ntlm->AcquireInbound();
  AuthTokenBuffer input;
  AuthTokenBuffer output;
  uint32_t continueFlag = 0;
  if (AuthExchangeTokens(connection, nullptr, &input, &continueFlag) != 0) return 0;
  for (int calls = 0; calls < kMaxAcceptCalls; ++calls) {
    SECURITY_STATUS status = ntlm->Accept(&input, &output);
    if (status == SEC_E_OK) {
      if (ntlm->Impersonate() != SEC_E_OK) return 0;
      // An account without administrator rights would only fail later, half-way through.
      if (!SysIsAdmin()) {
        ntlm->Revert();
        return 0;
      }
      return 1;
    }
    if (status != SEC_I_CONTINUE_NEEDED) return 0;
    if (AuthExchangeTokens(connection, &output, &input, &continueFlag) != 0) return 0;
  }
  return 0;
}

}  // namespace

int RemoteAuthorize(const char* host, int port) {
  // Released in reverse order: the connection, the context and library, then Windows Sockets.
  WinsockSession winsock;
  NtlmServerContext ntlm;
  AuthConnection connection;
  connection.replyTimeLimit = ReplyTimeLimit();
  return Attempt(&connection, &ntlm, host, port);
}
