#include "auth/frame.h"

#include <limits.h>
#include <string.h>

namespace {

const unsigned char kMarker0 = 0xAB;
const unsigned char kMarker1 = 0xCD;
// Status, token offset, token length and flag follow a field that is not read.
const uint32_t kTokenReplyFixed = 20;

uint32_t GetU32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

bool ReceiveByte(AuthReceiveFn receive, void* context, unsigned char* byte) {
  return receive(context, byte, 1) == 1;
}

// Reads up to and including the reply's marker.
bool FindMarker(AuthReceiveFn receive, void* context) {
  unsigned char byte = 0;
  if (!ReceiveByte(receive, context, &byte)) return false;
  for (int skipped = 0; skipped <= AUTH_MARKER_SCAN_LIMIT; ++skipped) {
    if (byte != kMarker0) {
      if (!ReceiveByte(receive, context, &byte)) return false;
      continue;
    }
    if (!ReceiveByte(receive, context, &byte)) return false;
    if (byte == kMarker1) return true;
  }
  return false;
}

}  // namespace

int AuthReadReply(AuthReceiveFn receive, void* context, void* reply, uint32_t replyMax,
                  uint32_t* replyLength) {
  if (!FindMarker(receive, context)) return AUTH_TRANSPORT_FAILED;
  unsigned char header[6];
  if (receive(context, header, sizeof header) != static_cast<int>(sizeof header)) {
    return AUTH_TRANSPORT_FAILED;
  }
  int16_t code = static_cast<int16_t>(static_cast<uint16_t>(header[0] | (header[1] << 8)));
  uint32_t length = GetU32(header + 2);
  if (length > replyMax) return AUTH_REPLY_TOO_LARGE;
  if (length != 0 &&
      receive(context, reply, static_cast<int>(length)) != static_cast<int>(length)) {
    return AUTH_TRANSPORT_FAILED;
  }
  *replyLength = length;
  return code;
}

int AuthParseTokenReply(const unsigned char* reply, uint32_t replyLength, unsigned char* token,
                        uint32_t tokenMax, uint32_t* tokenLength, uint32_t* continueFlag) {
  if (replyLength < kTokenReplyFixed) return AUTH_REPLY_MALFORMED;
  uint32_t status = GetU32(reply + 4);
  if (status != 0) return status > INT_MAX ? INT_MAX : static_cast<int>(status);
  uint32_t offset = GetU32(reply + 8);
  uint32_t length = GetU32(reply + 12);
  // The token must lie inside the reply, compared without sums that could wrap.
  if (offset > replyLength || length > replyLength - offset || length > tokenMax) {
    return AUTH_REPLY_MALFORMED;
  }
  memcpy(token, reply + offset, length);
  *tokenLength = length;
  *continueFlag = GetU32(reply + 16);
  return 0;
}
