// Progress of the long steps (extraction, copy, removal) for the wait dialog: how much of a total
// is done, and the item at hand. Worker threads add to it; the main thread publishes it into the
// fields the visual library reads, whenever it dispatches messages, so the library (which runs on
// the main thread) never reads a value while it changes.
//
// What is published, from one SysProgressBegin to the next, never moves back: the fraction
// done/total only grows, and it reaches 1 only at SysProgressFinish. A step that starts while the
// bar already stands somewhere, or whose total changes, fills the rest of the bar from there.
#pragma once

#include <stdint.h>

// Where the published values go: done and total (scaled together so that total fits 31 bits), and
// the item field, which is null or points at itemText (itemSize bytes, owned by the caller and
// written only by the main thread). Called once by the main thread, which it marks as the one
// that publishes and pumps.
void SysProgressAttach(int32_t* done, int32_t* total, const char** item, char* itemText,
                       int itemSize);

// A new wait dialog (main thread): nothing counted, an empty bar; total 0, the moving bar.
void SysProgressBegin();

// A step of total units (bytes or items) starts (main thread). 0: a step whose size is not known
// yet, shown as the moving bar while nothing was counted before it.
void SysProgressStep(uint64_t total);

// The current step turned out to have total units (main thread); what is done stays done.
void SysProgressResize(uint64_t total);

// Adds done units (any thread). The published value stays below the total until
// SysProgressFinish, so the bar is never full while work remains.
void SysProgressAdd(uint64_t units);

// Names the item at hand (any thread): a file being written, copied or removed; null for none.
void SysProgressItem(const char* name);

// The work of the wait dialog is done: publishes done = total (main thread).
void SysProgressFinish();

// Copies the current count into the published fields (main thread; elsewhere nothing).
void SysProgressPublish();

// Dispatches pending messages at most every few dozen milliseconds, on the main thread only, so
// that long loops keep the wait dialog moving without paying for a dispatch per item.
void SysProgressPump();
