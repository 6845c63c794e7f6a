// What the setup reads from the authorization server: the reply frame (marker, result code,
// payload) and the token exchange's reply payload. Both are untrusted. Portable (the bytes come
// through a function), so the native build fuzzes them; the socket is in connection.cpp.
#pragma once

#include <stdint.h>

// Results of AuthReadReply besides the server's result code.
enum {
  AUTH_REPLY_TOO_LARGE = -2,  // the reply's payload exceeds the caller's buffer; left unread
  AUTH_TRANSPORT_FAILED = -3  // a receive failed or ended early, or no marker was found
};

// Result of AuthParseTokenReply for a reply whose layout does not hold together.
enum { AUTH_REPLY_MALFORMED = -4 };

// Largest number of bytes skipped while looking for a reply's marker.
enum { AUTH_MARKER_SCAN_LIMIT = 4096 };

// Receives exactly size bytes into buffer: size, fewer when the peer closed, or -1 on an error.
typedef int (*AuthReceiveFn)(void* context, void* buffer, int size);

// Reads one reply: skips stray bytes before the marker 0xAB 0xCD (0xAB 0xAB 0xCD counts as one;
// at most AUTH_MARKER_SCAN_LIMIT bytes are skipped), then the result code, the payload length and
// at most replyMax bytes of payload into reply (*replyLength gets its length). Returns the result
// code sign-extended from 16 bits, AUTH_REPLY_TOO_LARGE or AUTH_TRANSPORT_FAILED.
int AuthReadReply(AuthReceiveFn receive, void* context, void* reply, uint32_t replyMax,
                  uint32_t* replyLength);

// Reads the payload of a token exchange's reply (replyLength bytes): 0 with the server's token
// copied into token (at most tokenMax bytes; *tokenLength its length) and *continueFlag set; the
// server's nonzero status as a positive number (capped at INT_MAX); AUTH_REPLY_MALFORMED for a
// payload too short for its fixed part or a token that does not lie inside it or is too long.
int AuthParseTokenReply(const unsigned char* reply, uint32_t replyLength, unsigned char* token,
                        uint32_t tokenMax, uint32_t* tokenLength, uint32_t* continueFlag);
