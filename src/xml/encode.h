// Text forms of stored values: hexadecimal for 32-bit numbers, Base64 for byte blocks, and
// protected texts (keyed XOR scrambling under Base64). The scrambling alone also protects text
// values kept in the registry. All functions are pure and reentrant.
#pragma once

#include <stdint.h>

#include "system/str.h"

struct XML_Document;
struct XML_Node;

// Writes value as upper-case hexadecimal digits without prefix or leading zeros ("0" for zero)
// into text, which holds at least 9 characters.
void DwordToHex(uint32_t value, wchar16* text);

// Converts hexadecimal digits (either case) to a number; with more than 8 digits the last 8
// count, and an empty text gives 0. 1 on success; 0 for any other character, *value untouched.
int HexToDword(const wchar16* text, uint32_t* value);

// Base64 (standard alphabet, '=' padding, one line) of length bytes into text, terminated. The
// capacity needed is 4 * ((length + 2) / 3) + 2 bytes. false with nothing stored for null data or
// size, a negative length or capacity, or a null text with a non-zero capacity; false with *size
// set to the capacity needed when capacity is too small; otherwise true with *size = text length
// plus one.
bool Base64Encode(const void* data, int length, char* text, int capacity, int* size);

// Sets the attribute to the Base64 text of length bytes. 1 when Base64Encode rejects the
// arguments, memory is exhausted, or setting fails.
int XML_SetAttributeBase64(XML_Document* doc, XML_Node* element, const wchar16* name,
                           const void* data, int length);

// Sets the attribute to the protected form of a narrow ANSI text: its UTF-16 characters (low byte
// first, no terminator) scrambled with seed 0, then Base64. 1 on failure.
int XML_SetAttributePass(XML_Document* doc, XML_Node* element, const wchar16* name,
                         const char* text);

// XORs length bytes of buffer in place with the keystream that starts at seed; applying it twice
// with the same seed restores the bytes. Returns length (0 for a null buffer or negative length).
int ScrambleBuffer(void* buffer, uint32_t seed, int length);
