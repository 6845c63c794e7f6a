#include "system/progress.h"

#include <windows.h>

#include "system/os.h"
#include "system/str.h"

namespace {

// The published total while there is a count: done is the fraction in millionths, so that steps
// in different units (bytes, then files) and totals that change share one bar.
const uint64_t kScale = 1000000;

// The count, guarded: a 64-bit interlocked add is missing on the oldest systems, and the item's
// text must not be read half written.
struct Count {
  CRITICAL_SECTION lock;
  uint64_t total = 0;  // of the step at hand, in its units; 0 while not known
  uint64_t done = 0;
  char item[MAX_PATH] = "";
  Count() { InitializeCriticalSection(&lock); }
};

Count g_count;

struct Locked {
  Locked() { EnterCriticalSection(&g_count.lock); }
  ~Locked() { LeaveCriticalSection(&g_count.lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// The published side: written and read on the main thread only. The bar's current stretch began
// at base (of kScale) when the step had done start units; it fills the rest of the bar.
struct Published {
  int32_t* done = nullptr;
  int32_t* total = nullptr;
  const char** item = nullptr;
  char* itemText = nullptr;
  int itemSize = 0;
  uint64_t base = 0;
  uint64_t start = 0;
  uint64_t shown = 0;  // the last done published, of kScale; never taken back
  bool counting = false;
  bool finished = false;
  DWORD mainThread = 0;
  DWORD lastPump = 0;
};

Published g_out;

bool OnMainThread() { return g_out.mainThread != 0 && GetCurrentThreadId() == g_out.mainThread; }

// Where the bar stands for done units of a step of total, in kScale: the stretch from base to the
// end, filled as the units from start to total are done; just below the end until finished.
uint64_t Position(uint64_t total, uint64_t done) {
  uint64_t room = kScale - g_out.base;
  uint64_t span = total > g_out.start ? total - g_out.start : 0;
  uint64_t part = done > g_out.start ? done - g_out.start : 0;
  if (part > span) part = span;
  // Units scaled down together until the product below fits 64 bits (room is below 2^20).
  while (span > (1ull << 40)) {
    span >>= 1;
    part >>= 1;
  }
  uint64_t position = g_out.base + (span > 0 ? part * room / span : room);
  return position < kScale ? position : kScale - 1;
}

// A new stretch of the bar from where it stands, for a step whose units from start on remain.
void Restretch(uint64_t start) {
  g_out.base = g_out.shown;
  g_out.start = start;
}

}  // namespace

void SysProgressAttach(int32_t* done, int32_t* total, const char** item, char* itemText,
                       int itemSize) {
  g_out.done = done;
  g_out.total = total;
  g_out.item = item;
  g_out.itemText = itemText;
  g_out.itemSize = itemSize;
  g_out.mainThread = GetCurrentThreadId();
  SysProgressBegin();
}

void SysProgressBegin() {
  {
    Locked locked;
    g_count.total = 0;
    g_count.done = 0;
    g_count.item[0] = 0;
  }
  g_out.base = g_out.start = g_out.shown = 0;
  g_out.counting = g_out.finished = false;
  SysProgressPublish();
}

void SysProgressStep(uint64_t total) {
  // What was done before counts as it stood.
  SysProgressPublish();
  {
    Locked locked;
    g_count.total = total;
    g_count.done = 0;
  }
  Restretch(0);
  SysProgressPublish();
}

void SysProgressResize(uint64_t total) {
  SysProgressPublish();
  uint64_t done;
  {
    Locked locked;
    g_count.total = total;
    done = g_count.done;
  }
  Restretch(done);
  SysProgressPublish();
}

void SysProgressAdd(uint64_t units) {
  Locked locked;
  g_count.done += units;
}

void SysProgressItem(const char* name) {
  Locked locked;
  StrCopyN(g_count.item, name != nullptr ? name : "", sizeof g_count.item);
}

void SysProgressFinish() {
  g_out.finished = true;
  SysProgressPublish();
}

void SysProgressPublish() {
  if (g_out.done == nullptr || !OnMainThread()) return;
  uint64_t total, done;
  {
    Locked locked;
    total = g_count.total;
    done = g_count.done;
    StrCopyN(g_out.itemText, g_count.item, g_out.itemSize);
  }
  if (total > 0) g_out.counting = true;
  if (!g_out.counting) {
    // No count yet: the visual library shows its moving bar.
    *g_out.total = 0;
    *g_out.done = 0;
    *g_out.item = nullptr;
    return;
  }
  // A step whose size is not known yet leaves the bar where it stands.
  uint64_t position = g_out.finished ? kScale : total > 0 ? Position(total, done) : g_out.shown;
  if (position > g_out.shown) g_out.shown = position;
  *g_out.total = static_cast<int32_t>(kScale);
  *g_out.done = static_cast<int32_t>(g_out.shown);
  *g_out.item = g_out.itemText[0] != 0 ? g_out.itemText : nullptr;
}

void SysProgressPump() {
  if (!OnMainThread()) return;
  DWORD now = GetTickCount();
  if (now - g_out.lastPump < 50) return;
  g_out.lastPump = now;
  SysPumpMessages();
}
