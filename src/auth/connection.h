// The connection to the authorization server: a Windows Sockets stream socket, the request/reply
// framing and the lock that keeps a request and its reply together. The caller starts and cleans
// up Windows Sockets.
#pragma once

#include <stdint.h>
#include <winsock.h>

#include "auth/frame.h"

// Windows Sockets 1.1, loaded from the System folder by its full path on first use and kept: a
// static import would be looked for beside the program first. No library or function: null, and
// the attempt fails as an unreachable server does.
struct AuthSockets {
  int(WINAPI* startup)(WORD, WSADATA*);
  int(WINAPI* cleanup)();
  SOCKET(WINAPI* socket)(int, int, int);
  unsigned long(WINAPI* inetAddr)(const char*);
  hostent*(WINAPI* getHostByName)(const char*);
  int(WINAPI* connect)(SOCKET, const sockaddr*, int);
  int(WINAPI* closeSocket)(SOCKET);
  int(WINAPI* setSockOpt)(SOCKET, int, int, const char*, int);
  int(WINAPI* send)(SOCKET, const char*, int, int);
  int(WINAPI* select)(int, fd_set*, fd_set*, fd_set*, const timeval*);
  int(WINAPI* recv)(SOCKET, char*, int, int);
};
const AuthSockets* AuthSocketsApi();

// How long a reply may take, from the request's last byte to the reply's last byte.
enum { AUTH_REPLY_TIME_LIMIT_MS = 60000 };

class AuthConnection {
 public:
  AuthConnection();
  virtual ~AuthConnection();
  AuthConnection(const AuthConnection&) = delete;
  AuthConnection& operator=(const AuthConnection&) = delete;

  // Connects to host (a dotted address, else a name to resolve) and port. 0, or -1 with the
  // socket closed again.
  int Connect(const char* host, int port);
  // One send call: the count sent, or -1 when not connected or on an error.
  int Send(const void* data, int length);
  // One recv call: the count received (0: the peer closed), or -1 when not connected, on an
  // error or when the receive deadline passed first.
  int Receive(void* buffer, int size);
  // Receives until size bytes arrived: size; fewer when the peer closed; -1 on an error.
  int ReceiveExactly(void* buffer, int size);
  // 0, or -1 when not connected.
  int Close();
  void Lock();
  void Unlock();

  // Receives from now on end at this GetTickCount time; without a deadline they wait as long as
  // the socket does.
  void SetReceiveDeadline(DWORD tick);
  void ClearReceiveDeadline();

  // The time limit AuthExchange gives a reply.
  DWORD replyTimeLimit = AUTH_REPLY_TIME_LIMIT_MS;

  bool failed() const { return error_; }
  bool closed() const { return closed_; }

 private:
  bool WaitReadable();

  SOCKET socket_;
  bool error_;
  bool closed_;
  HANDLE mutex_;
  bool hasDeadline_;
  DWORD deadline_;
};

// Sends one request (type, payload) and receives its reply into reply (at most replyMax bytes;
// *replyLength gets the payload's length) with AuthReadReply. Returns the server's result code
// (sign-extended from 16 bits), AUTH_REPLY_TOO_LARGE or AUTH_TRANSPORT_FAILED (also for a failed
// send or the time limit). Holds the connection's lock throughout.
int AuthExchange(AuthConnection* connection, uint16_t type, const void* payload,
                 uint32_t payloadLength, void* reply, uint32_t replyMax, uint32_t* replyLength);
