// A table from texts to small numbers: each text is looked at once, and asking again costs a hash
// and one comparison however many texts it holds. For facts asked of each of a package's tens of
// thousands of files that depend only on its folder, where asking the system every time costs a
// walk of the path.
#pragma once

#include <stddef.h>

class StrTable {
 public:
  StrTable() = default;
  ~StrTable();
  StrTable(const StrTable&) = delete;
  StrTable& operator=(const StrTable&) = delete;

  // The number stored for text (compared exactly), or -1 when it has none.
  int Find(const char* text) const;

  // Stores value (0 or more) for text, replacing what it had. False when memory ran out: the text
  // then stays unknown, and the caller asks the system as it would without the table.
  bool Set(const char* text, int value);

 private:
  size_t* Slot(const char* text) const;
  bool Grow();

  char* names_ = nullptr;  // each text, its terminator, then its number (an int, unaligned)
  size_t length_ = 0;
  size_t capacity_ = 0;
  size_t* slots_ = nullptr;  // offset + 1 of a text in names_, 0 for a free slot
  size_t slotCount_ = 0;     // a power of two, at least twice the texts held
  size_t used_ = 0;
};
