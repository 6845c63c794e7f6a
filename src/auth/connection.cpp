// The authorization connection and its framing.
#include "auth/connection.h"

#include <string.h>

#include "system/libload.h"
#include "system/str.h"

namespace {

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn* out) {
  *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *out != nullptr;
}

// Network byte order of a port, without the library's helper.
u_short PortBytes(int port) {
  return static_cast<u_short>(((port & 0xFF) << 8) | ((port >> 8) & 0xFF));
}

const unsigned char kMarker0 = 0xAB;
const unsigned char kMarker1 = 0xCD;

void PutU16(unsigned char* at, uint16_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

void PutU32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Sends all of data; a short send is followed by the rest.
bool SendAll(AuthConnection* connection, const void* data, uint32_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    int chunk = length > 0x10000 ? 0x10000 : static_cast<int>(length);
    int sent = connection->Send(p, chunk);
    if (sent <= 0) return false;
    p += sent;
    length -= static_cast<uint32_t>(sent);
  }
  return true;
}

int ReceiveFrom(void* context, void* buffer, int size) {
  return static_cast<AuthConnection*>(context)->ReceiveExactly(buffer, size);
}

}  // namespace

const AuthSockets* AuthSocketsApi() {
  static AuthSockets api;
  static int state = 0;  // 0 not tried, 1 complete, 2 missing
  if (state == 0) {
    HMODULE module = SysLoadSystemLibrary("wsock32.dll");
    bool all = module != nullptr;
    if (all) {
      all = Resolve(module, "WSAStartup", &api.startup) && all;
      all = Resolve(module, "WSACleanup", &api.cleanup) && all;
      all = Resolve(module, "socket", &api.socket) && all;
      all = Resolve(module, "inet_addr", &api.inetAddr) && all;
      all = Resolve(module, "gethostbyname", &api.getHostByName) && all;
      all = Resolve(module, "connect", &api.connect) && all;
      all = Resolve(module, "closesocket", &api.closeSocket) && all;
      all = Resolve(module, "setsockopt", &api.setSockOpt) && all;
      all = Resolve(module, "send", &api.send) && all;
      all = Resolve(module, "select", &api.select) && all;
      all = Resolve(module, "recv", &api.recv) && all;
    }
    state = all ? 1 : 2;
  }
  return state == 1 ? &api : nullptr;
}

AuthConnection::AuthConnection()
    : socket_(INVALID_SOCKET),
      error_(false),
      closed_(false),
      mutex_(CreateMutexA(nullptr, FALSE, nullptr)),
      hasDeadline_(false),
      deadline_(0) {}

AuthConnection::~AuthConnection() {
  if (socket_ != INVALID_SOCKET) Close();
  if (mutex_ != nullptr) CloseHandle(mutex_);
}

int AuthConnection::Connect(const char* host, int port) {
  error_ = false;
  closed_ = false;
  const AuthSockets* ws = AuthSocketsApi();
  if (ws == nullptr) return -1;
  socket_ = ws->socket(AF_INET, SOCK_STREAM, 0);
  if (socket_ == INVALID_SOCKET) return -1;
  char name[512];
  StrCopyN(name, host, sizeof name);
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = PortBytes(port);
  address.sin_addr.s_addr = ws->inetAddr(name);
  if (address.sin_addr.s_addr == INADDR_NONE) {
    hostent* entry = ws->getHostByName(name);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
      ws->closeSocket(socket_);
      socket_ = INVALID_SOCKET;
      return -1;
    }
    memcpy(&address.sin_addr, entry->h_addr_list[0], 4);
  }
  if (ws->connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ws->closeSocket(socket_);
    socket_ = INVALID_SOCKET;
    return -1;
  }
  int noDelay = 1;
  ws->setSockOpt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
  return 0;
}

int AuthConnection::Send(const void* data, int length) {
  if (socket_ == INVALID_SOCKET) return -1;
  int sent = AuthSocketsApi()->send(socket_, static_cast<const char*>(data), length, 0);
  error_ = sent < 0;
  return sent;
}

bool AuthConnection::WaitReadable() {
  if (!hasDeadline_) return true;
  DWORD now = GetTickCount();
  // Differences of tick counts survive their wrap-around.
  long left = static_cast<long>(deadline_ - now);
  if (left < 0) left = 0;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket_, &readable);
  timeval wait;
  wait.tv_sec = left / 1000;
  wait.tv_usec = (left % 1000) * 1000;
  return AuthSocketsApi()->select(0, &readable, nullptr, nullptr, &wait) > 0;
}

int AuthConnection::Receive(void* buffer, int size) {
  if (socket_ == INVALID_SOCKET) return -1;
  if (!WaitReadable()) {
    error_ = true;
    return -1;
  }
  int got = AuthSocketsApi()->recv(socket_, static_cast<char*>(buffer), size, 0);
  error_ = got < 0;
  if (got == 0 && size != 0) closed_ = true;
  return got;
}

int AuthConnection::ReceiveExactly(void* buffer, int size) {
  char* p = static_cast<char*>(buffer);
  int total = 0;
  while (total < size) {
    int got = Receive(p + total, size - total);
    if (got < 0) return -1;
    if (got == 0) return total;
    total += got;
  }
  return total;
}

int AuthConnection::Close() {
  if (socket_ == INVALID_SOCKET) return -1;
  AuthSocketsApi()->closeSocket(socket_);
  socket_ = INVALID_SOCKET;
  closed_ = true;
  error_ = false;
  return 0;
}

void AuthConnection::Lock() { WaitForSingleObject(mutex_, INFINITE); }
void AuthConnection::Unlock() { ReleaseMutex(mutex_); }

void AuthConnection::SetReceiveDeadline(DWORD tick) {
  hasDeadline_ = true;
  deadline_ = tick;
}

void AuthConnection::ClearReceiveDeadline() { hasDeadline_ = false; }

int AuthExchange(AuthConnection* connection, uint16_t type, const void* payload,
                 uint32_t payloadLength, void* reply, uint32_t replyMax, uint32_t* replyLength) {
  *replyLength = 0;
  connection->Lock();
  unsigned char marker[2] = {kMarker0, kMarker1};
  unsigned char header[10];
  PutU16(header, type);
  PutU32(header + 2, payloadLength);
  PutU32(header + 6, replyMax);
  int result = AUTH_TRANSPORT_FAILED;
  if (SendAll(connection, marker, sizeof marker) && SendAll(connection, header, sizeof header) &&
      SendAll(connection, payload, payloadLength)) {
    // A server that stays silent must not hold the setup forever.
    connection->SetReceiveDeadline(GetTickCount() + connection->replyTimeLimit);
    result = AuthReadReply(ReceiveFrom, connection, reply, replyMax, replyLength);
    connection->ClearReceiveDeadline();
  }
  connection->Unlock();
  return result;
}
