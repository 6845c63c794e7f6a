// Text forms of stored values: hexadecimal numbers, Base64 blocks and protected texts.
#include "xml/encode.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "system/guards.h"
#include "xml/xml.h"

namespace {

// Key tables of the scrambler. They are part of the product's stored data format: protected
// values written here are read by the component libraries and earlier versions, so these bytes
// must equal the tables of the product's other programs, and must never change on their own.
const unsigned char kKey11[11] = {0x35, 0x44, 0xD1, 0x65, 0x5D, 0x67, 0x49, 0x78, 0x03, 0x23, 0x69};
const unsigned char kKey13[13] = {0x76, 0x1B, 0x46, 0x72, 0xFD, 0x43, 0xA0,
                                  0x89, 0xE7, 0xF9, 0x7B, 0x60, 0x8B};
const unsigned char kKey17[17] = {0xFB, 0x96, 0x87, 0x08, 0x1E, 0x3F, 0x73, 0xB6, 0x88,
                                  0xA1, 0x51, 0xE6, 0x07, 0x0D, 0x1D, 0x47, 0x8E};
const unsigned char kKey23[23] = {0xF3, 0x0D, 0xC2, 0x1D, 0x22, 0xD7, 0xD5, 0xE8,
                                  0xEE, 0x9C, 0x7E, 0xCE, 0x43, 0xD6, 0xBF, 0xC1,
                                  0xBF, 0xFD, 0x7B, 0x85, 0x3B, 0xA1, 0x1E};
const unsigned char kKey29[29] = {0xB6, 0xAE, 0xE4, 0x7E, 0x60, 0x64, 0x83, 0xC5, 0x0E, 0xA4,
                                  0x87, 0x8E, 0xAC, 0x3A, 0x65, 0xEE, 0x3E, 0x2E, 0x61, 0x46,
                                  0xBC, 0x97, 0x47, 0x39, 0xAB, 0x89, 0xAD, 0xF4, 0xCE};
const unsigned char kKey31[31] = {0x58, 0x00, 0x94, 0xC5, 0x8F, 0xE8, 0x07, 0x11, 0xBA, 0xF0, 0x76,
                                  0xA7, 0x25, 0x91, 0x91, 0x7A, 0x0D, 0xE0, 0x89, 0x57, 0x0B, 0xB6,
                                  0x6A, 0x04, 0x44, 0x98, 0x77, 0xB7, 0xE2, 0xAF, 0x49};

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The capacity Base64Encode needs for length bytes, or -1 when it exceeds an int.
int Base64Capacity(int length) {
  long long need = 4LL * ((static_cast<long long>(length) + 2) / 3) + 2;
  return need > INT_MAX ? -1 : static_cast<int>(need);
}

}  // namespace

void DwordToHex(uint32_t value, wchar16* text) {
  static const char kDigits[] = "0123456789ABCDEF";
  wchar16 digits[8];
  int n = 0;
  do {
    digits[n++] = static_cast<wchar16>(kDigits[value & 15]);
    value >>= 4;
  } while (value != 0 && n < 8);
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = 0;
}

int HexToDword(const wchar16* text, uint32_t* value) {
  if (text == nullptr || value == nullptr) return 0;
  uint32_t acc = 0;
  for (const wchar16* p = text; *p != 0; ++p) {
    wchar16 c = *p;
    uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return 0;
    acc = (acc << 4) + digit;
  }
  *value = acc;
  return 1;
}

bool Base64Encode(const void* data, int length, char* text, int capacity, int* size) {
  if (data == nullptr || size == nullptr || length < 0 || capacity < 0) return false;
  if (text == nullptr && capacity != 0) return false;
  int need = Base64Capacity(length);
  if (need < 0) return false;
  if (capacity < need) {
    *size = need;
    return false;
  }
  const unsigned char* in = static_cast<const unsigned char*>(data);
  char* out = text;
  int i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
    *out++ = kBase64[b0 >> 2];
    *out++ = kBase64[((b0 & 3) << 4) + (b1 >> 4)];
    *out++ = kBase64[((b1 & 15) << 2) + (b2 >> 6)];
    *out++ = kBase64[b2 & 63];
  }
  if (length - i == 1) {
    unsigned b0 = in[i];
    *out++ = kBase64[b0 >> 2];
    *out++ = kBase64[(b0 & 3) << 4];
    *out++ = '=';
    *out++ = '=';
  } else if (length - i == 2) {
    unsigned b0 = in[i], b1 = in[i + 1];
    *out++ = kBase64[b0 >> 2];
    *out++ = kBase64[((b0 & 3) << 4) + (b1 >> 4)];
    *out++ = kBase64[(b1 & 15) << 2];
    *out++ = '=';
  }
  *out = 0;
  *size = static_cast<int>(out - text) + 1;
  return true;
}

int XML_SetAttributeBase64(XML_Document* doc, XML_Node* element, const wchar16* name,
                           const void* data, int length) {
  enum { kFixed = 512 };
  char fixedText[kFixed];
  int size = 0;
  char* text = fixedText;
  HeapGuard<> textGuard, wideGuard;
  if (!Base64Encode(data, length, text, kFixed, &size)) {
    if (data == nullptr || length < 0 || size <= kFixed) return 1;
    text = static_cast<char*>(malloc(static_cast<size_t>(size)));
    textGuard.block = text;
    if (text == nullptr || !Base64Encode(data, length, text, size, &size)) return 1;
  }
  // The Base64 alphabet is ASCII: each byte is one UTF-16 character.
  wchar16 fixedWide[kFixed];
  wchar16* wide = fixedWide;
  if (size > kFixed) {
    wide = static_cast<wchar16*>(malloc(static_cast<size_t>(size) * sizeof(wchar16)));
    wideGuard.block = wide;
    if (wide == nullptr) return 1;
  }
  for (int i = 0; i < size; ++i) wide[i] = static_cast<unsigned char>(text[i]);
  return XML_SetAttribute(doc, element, name, wide);
}

int XML_SetAttributePass(XML_Document* doc, XML_Node* element, const wchar16* name,
                         const char* text) {
  if (text == nullptr) return 1;
  enum { kFixed = 512 };
  size_t n = strlen(text);
  if (n >= INT_MAX / 2) return 1;
  wchar16 fixedWide[kFixed];
  unsigned char fixedBytes[2 * kFixed];
  HeapGuard<> wideGuard, bytesGuard;
  wchar16* wide = fixedWide;
  unsigned char* bytes = fixedBytes;
  if (n >= kFixed) {
    wide = static_cast<wchar16*>(malloc((n + 1) * sizeof(wchar16)));
    bytes = static_cast<unsigned char*>(malloc(2 * (n + 1)));
    wideGuard.block = wide;
    bytesGuard.block = bytes;
    if (wide == nullptr || bytes == nullptr) return 1;
  }
  // Only the characters the conversion produced are protected: a multi-byte code page gives
  // fewer characters than bytes, and taking 2n bytes then would take the terminator and
  // whatever lies after it.
  int units = AnsiToWide(wide, text, static_cast<int>(n + 1));
  for (int i = 0; i < units; ++i) {
    bytes[2 * i] = static_cast<unsigned char>(wide[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<unsigned char>(wide[i] >> 8);
  }
  ScrambleBuffer(bytes, 0, 2 * units);
  return XML_SetAttributeBase64(doc, element, name, bytes, 2 * units);
}

int ScrambleBuffer(void* buffer, uint32_t seed, int length) {
  if (buffer == nullptr || length <= 0) return 0;
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  unsigned i11 = seed % 11, i13 = seed % 13, i17 = seed % 17;
  unsigned i23 = seed % 23, i29 = seed % 29, i31 = seed % 31;
  for (int i = 0; i < length; ++i) {
    bytes[i] ^= static_cast<unsigned char>(kKey11[i11] ^ kKey13[i13] ^ kKey17[i17] ^ kKey23[i23] ^
                                           kKey29[i29] ^ kKey31[i31]);
    if (++i11 == 11) i11 = 0;
    if (++i13 == 13) i13 = 0;
    if (++i17 == 17) i17 = 0;
    if (++i23 == 23) i23 = 0;
    if (++i29 == 29) i29 = 0;
    if (++i31 == 31) i31 = 0;
  }
  return length;
}
