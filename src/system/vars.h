// Expansion of variable references "%!name%" in the administrator's settings file: a name is
// replaced by the value of the "/$name=value" variable of the command line (names compared
// ignoring case) or, failing that, by the environment variable of that name.
#pragma once

#include <stddef.h>

// One variable of the command line. A table of them ends with a pair whose name is null.
struct VarPair {
  const char* name;
  const char* value;
};

class VarExpander {
 public:
  VarExpander();
  virtual ~VarExpander();

  // Expands input (zero-terminated) into output. *length holds the output capacity in bytes on
  // entry and the length of the output text (without terminator) on return; the output is
  // always terminated. Text that would not fit ends the expansion at the last piece that fits
  // whole. A name that is neither a variable nor an environment variable comes out as "%name%";
  // an empty reference "%!%" is copied unchanged; a reference without its closing "%" runs to
  // the end of the input. Returns 1 when the expansion ran, 0 when input or output is missing or
  // the capacity is 0 (nothing written).
  int Expand(const char* input, char* output, int* length, const VarPair* vars);

  // The capacity in bytes that Expand needs for the whole expansion of input, its terminator
  // included (nothing is dropped with it); 0 when input is missing.
  size_t Measure(const char* input, const VarPair* vars);

  // On: each character above 0x7F of a value (ANSI code page) is inserted as an XML character
  // reference "&#xHHHH;", so that it reads the same in a document of any encoding. Off at first.
  void SetHighCharsAsReferences(bool on);

 private:
  // The expansion loop: writes into output within capacity, or only counts when output is null.
  // Returns the length of the text without its terminator.
  size_t Run(const char* input, char* output, size_t capacity);

  const char* start_;
  const char* end_;
  const VarPair* vars_;
  bool references_;
};
