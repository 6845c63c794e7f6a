// Fuzz target: what an authorization server sends, read as one attempt reads it: the opening
// request's reply, then token exchange replies until one fails or the accept calls would end.
// Every reply must stay inside its buffer and the bytes received, and every token inside its
// reply.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "auth/frame.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "frame_fuzz: %s\n", what);
    abort();
  }
}

struct Stream {
  const uint8_t* data;
  size_t size;
  size_t pos;
  size_t split;  // receives are cut to at most this many bytes each, as a socket may deliver
};

// ReceiveExactly over the bytes: the peer "closes" at their end.
int Receive(void* context, void* buffer, int size) {
  Stream* s = static_cast<Stream*>(context);
  Check(size >= 0, "a size");
  int total = 0;
  while (total < size && s->pos < s->size) {
    size_t n = static_cast<size_t>(size - total);
    if (n > s->split) n = s->split;
    if (n > s->size - s->pos) n = s->size - s->pos;
    memcpy(static_cast<char*>(buffer) + total, s->data + s->pos, n);
    s->pos += n;
    total += static_cast<int>(n);
  }
  return total;
}

// One reply read into a buffer of exactly replyMax bytes, so that any write past it is caught.
int Reply(Stream* s, uint32_t replyMax, uint8_t** reply, uint32_t* length) {
  *reply = static_cast<uint8_t*>(malloc(replyMax == 0 ? 1 : replyMax));
  size_t before = s->pos;
  *length = 0xFFFFFFFFu;
  int result = AuthReadReply(Receive, s, *reply, replyMax, length);
  Check(s->pos >= before && s->pos <= s->size, "reads only what arrived");
  // A server may answer -2 or -3 itself; then the payload was read like any other.
  if ((result == AUTH_TRANSPORT_FAILED || result == AUTH_REPLY_TOO_LARGE) &&
      *length == 0xFFFFFFFFu) {
    return result;
  }
  Check(result >= -32768 && result <= 32767, "a 16-bit result");
  Check(*length <= replyMax, "inside its buffer");
  // The marker, the six header bytes and the payload were read at least.
  Check(s->pos - before >= 8 + *length, "a whole frame");
  // At most the scan limit's bytes skipped before the marker.
  Check(s->pos - before <= 8 + *length + AUTH_MARKER_SCAN_LIMIT + 2, "a bounded scan");
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Stream s = {data + 1, size - 1, 0, static_cast<size_t>(data[0] % 7) + 1};
  uint8_t* reply = nullptr;
  uint32_t length = 0;
  int result = Reply(&s, 128, &reply, &length);
  free(reply);
  if (result < 0) return 0;
  for (int calls = 0; calls < 8; ++calls) {
    result = Reply(&s, 2048, &reply, &length);
    if (result < 0) {
      free(reply);
      return 0;
    }
    uint8_t token[2048];
    uint32_t tokenLength = 0xFFFFFFFFu;
    uint32_t flag = 0;
    int parsed = AuthParseTokenReply(reply, length, token, sizeof token, &tokenLength, &flag);
    if (parsed == 0) {
      uint32_t offset;
      memcpy(&offset, reply + 8, 4);
      Check(tokenLength <= sizeof token && offset <= length && tokenLength <= length - offset,
            "the token lies inside its reply");
      Check(memcmp(token, reply + offset, tokenLength) == 0, "the token's bytes");
    } else {
      Check(parsed == AUTH_REPLY_MALFORMED || parsed > 0, "malformed or the server's status");
      Check(tokenLength == 0xFFFFFFFFu, "no token from a failed reply");
    }
    free(reply);
    if (parsed != 0) return 0;
  }
  return 0;
}
