#include "system/strtable.h"

#include <stdlib.h>
#include <string.h>

namespace {

size_t Hash(const char* text) {
  size_t h = 2166136261u;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    h = (h ^ *p) * 16777619u;
  }
  return h;
}

}  // namespace

StrTable::~StrTable() {
  free(names_);
  free(slots_);
}

size_t* StrTable::Slot(const char* text) const {
  for (size_t i = Hash(text) & (slotCount_ - 1);; i = (i + 1) & (slotCount_ - 1)) {
    size_t* slot = &slots_[i];
    if (*slot == 0 || strcmp(names_ + *slot - 1, text) == 0) return slot;
  }
}

int StrTable::Find(const char* text) const {
  if (slotCount_ == 0) return -1;
  const size_t* slot = Slot(text);
  if (*slot == 0) return -1;
  int value;
  memcpy(&value, names_ + *slot - 1 + strlen(text) + 1, sizeof value);
  return value;
}

bool StrTable::Set(const char* text, int value) {
  if ((used_ + 1) * 2 > slotCount_ && !Grow()) return false;
  size_t* slot = Slot(text);
  size_t length = strlen(text) + 1;
  if (*slot == 0) {
    if (length_ + length + sizeof value > capacity_) {
      size_t grown = capacity_ == 0 ? 4096 : capacity_;
      while (grown < length_ + length + sizeof value) grown *= 2;
      char* block = static_cast<char*>(realloc(names_, grown));
      if (block == nullptr) return false;
      names_ = block;
      capacity_ = grown;
    }
    memcpy(names_ + length_, text, length);
    *slot = length_ + 1;
    length_ += length + sizeof value;
    ++used_;
  }
  memcpy(names_ + *slot - 1 + length, &value, sizeof value);
  return true;
}

bool StrTable::Grow() {
  size_t count = slotCount_ == 0 ? 64 : slotCount_ * 2;
  size_t* fresh = static_cast<size_t*>(calloc(count, sizeof(size_t)));
  if (fresh == nullptr) return false;
  size_t* old = slots_;
  size_t oldCount = slotCount_;
  slots_ = fresh;
  slotCount_ = count;
  for (size_t i = 0; i < oldCount; ++i) {
    if (old[i] != 0) *Slot(names_ + old[i] - 1) = old[i];
  }
  free(old);
  return true;
}
