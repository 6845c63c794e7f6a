// Expansion of "%!name%" references from the command line's variables and the environment.
#include "system/vars.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "system/guards.h"
#include "system/str.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

char* CopyText(const char* text, size_t length) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy) {
    memcpy(copy, text, length);
    copy[length] = 0;
  }
  return copy;
}

// ASCII letters compared without case; a name of given length against a terminated text.
bool NameEquals(const char* name, size_t length, const char* text) {
  for (size_t i = 0; i < length; ++i) {
    char x = name[i], y = text[i];
    if (y == 0) return false;
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return text[length] == 0;
}

// The environment's expansion of "%name%": the value, or "%name%" itself when the variable is
// not set; null when there is no value at all.
char* ExpandFromEnvironment(const char* name, size_t length) {
  HeapGuard<char> reference;
  reference.block = static_cast<char*>(malloc(length + 3));
  if (!reference.block) return nullptr;
  snprintf(reference.block, length + 3, "%%%.*s%%", static_cast<int>(length), name);
#ifdef _WIN32
  DWORD needed = ExpandEnvironmentStringsA(reference.block, nullptr, 0);
  if (needed == 0) return nullptr;
  char* value = static_cast<char*>(malloc(needed + 1));
  if (!value) return nullptr;
  DWORD got = ExpandEnvironmentStringsA(reference.block, value, needed + 1);
  if (got == 0 || got > needed + 1) {
    free(value);
    return nullptr;
  }
  return value;
#else
  // The portable build reads the process environment the same way (names are case-sensitive
  // here, as the host's are).
  HeapGuard<char> plainName;
  plainName.block = CopyText(name, length);
  if (!plainName.block) return nullptr;
  const char* value = getenv(plainName.block);
  if (value) return CopyText(value, strlen(value));
  char* result = reference.block;
  reference.block = nullptr;
  return result;
#endif
}

// value (ANSI code page) with every character above 0x7F written as "&#xHHHH;"; null when memory
// is exhausted. Converted whole, so that a double-byte character stays one.
char* HighCharsAsReferences(const char* value) {
  size_t length = strlen(value);
  if (length >= INT_MAX / 8) return nullptr;
  HeapGuard<wchar16> wide;
  wide.block = static_cast<wchar16*>(malloc((length + 1) * sizeof(wchar16)));
  char* out = static_cast<char*>(malloc(length * 8 + 1));
  if (wide.block == nullptr || out == nullptr) {
    free(out);
    return nullptr;
  }
  int units = AnsiToWide(wide.block, value, static_cast<int>(length + 1));
  size_t n = 0;
  for (int i = 0; i < units; ++i) {
    wchar16 c = wide.block[i];
    if (c < 0x80) {
      out[n++] = static_cast<char>(c);
    } else {
      n += static_cast<size_t>(snprintf(out + n, 9, "&#x%04X;", static_cast<unsigned>(c)));
    }
  }
  out[n] = 0;
  return out;
}

// Index of the first occurrence of needle in text[from, length), or length.
size_t FindFrom(const char* text, size_t length, size_t from, const char* needle) {
  if (from >= length) return length;
  const char* hit = strstr(text + from, needle);
  return hit ? static_cast<size_t>(hit - text) : length;
}

}  // namespace

VarExpander::VarExpander() : start_("%!"), end_("%"), vars_(nullptr), references_(false) {}

void VarExpander::SetHighCharsAsReferences(bool on) { references_ = on; }

VarExpander::~VarExpander() {}

int VarExpander::Expand(const char* input, char* output, int* length, const VarPair* vars) {
  if (!input || !output || !length || *length <= 0) return 0;
  vars_ = vars;
  *length = static_cast<int>(Run(input, output, static_cast<size_t>(*length)));
  return 1;
}

size_t VarExpander::Measure(const char* input, const VarPair* vars) {
  if (!input) return 0;
  vars_ = vars;
  return Run(input, nullptr, SIZE_MAX) + 1;
}

size_t VarExpander::Run(const char* input, char* output, size_t capacity) {
  const size_t inputLength = strlen(input);
  const size_t startLength = strlen(start_);
  size_t out = 0;
  size_t pos = 0;
  if (output) output[0] = 0;

  // Appends a piece when it fits whole with the terminator; false ends the expansion. Without an
  // output the piece is only counted.
  auto append = [&](const char* piece, size_t pieceLength) {
    if (!output) {
      out += pieceLength;
      return true;
    }
    if (out + pieceLength >= capacity) return false;
    memcpy(output + out, piece, pieceLength);
    out += pieceLength;
    output[out] = 0;
    return true;
  };

  while (out < capacity) {
    size_t a = FindFrom(input, inputLength, pos, start_);
    // No start delimiter left: the rest is literal text and the expansion is done.
    if (!append(input + pos, a - pos) || a == inputLength) break;
    size_t nameStart = a + startLength;
    size_t b = FindFrom(input, inputLength, nameStart, end_);
    bool closed = b < inputLength;
    size_t nameLength = b - nameStart;

    if (nameLength == 0) {
      // An empty name is no reference: copy it as it stands and go on after it.
      if (!append(input + a, closed ? b + 1 - a : b - a) || !closed) break;
      pos = b + 1;
      continue;
    }

    const char* name = input + nameStart;
    HeapGuard<char> value;
    for (const VarPair* var = vars_; var && var->name; ++var) {
      if (NameEquals(name, nameLength, var->name)) {
        const char* text = var->value ? var->value : "";
        value.block = CopyText(text, strlen(text));
        break;
      }
    }
    if (!value.block) value.block = ExpandFromEnvironment(name, nameLength);
    if (value.block && references_) {
      char* converted = HighCharsAsReferences(value.block);
      free(value.block);
      value.block = converted;
    }
    if (value.block && !append(value.block, strlen(value.block))) break;
    // Without a closing delimiter the name ran to the end of the input.
    if (!closed) break;
    pos = b + 1;
  }
  return out;
}
