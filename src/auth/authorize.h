// Remote authorization of a user who is not an administrator.
#pragma once

// Asks the authorization server at host:port to authorize an account and impersonates it. 1 when
// the run now works as that account, 0 on failure.
int RemoteAuthorize(const char* host, int port);
