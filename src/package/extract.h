// Taking files out of the package's containers: component archives (RAR) and engine update
// containers. Every output name is checked to stay inside its folder; nothing is logged.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "package/update.h"

// Validates the update container at path and writes its payload to output. infoName (260 bytes)
// is emptied first and, once the information section was found, names a temporary profile file
// holding it, which the caller reads and deletes. 1 on success, 0 on failure.
int ExtractUpdateData(const char* path, const char* output, char* infoName);

// Extracts every entry of the RAR archive at path (a self-extracting stub may precede it) into
// folder (with a trailing backslash). An entry that is a folder, a link, encrypted, or whose name
// is not a plain file name or does not fit the folder, ends the walk. 1 when the walk reached the
// regular end of the archive; 0 otherwise (files written before stay).
int ExtractArchive(const char* path, const char* folder);

// ExtractArchive that another thread can stop: once *cancel is non-zero no further entry is
// started and the result is 0.
int ExtractArchiveCancellable(const char* path, const char* folder, volatile LONG* cancel);

// Archives extracted one after the other on a thread of their own, the files of all of them written
// by one pool of workers: one archive decodes at a time (two at once cost a fifth more processor
// time and are in each other's way and the writers'), the next one starting as soon as the one
// before is read, while the workers still write its last files; the caller takes up an archive
// once all its files are written.
struct ExtractQueue;

// Starts the queue's thread and workers; null when they cannot be had, or with one worker
// (everything then runs in order on the caller's thread).
ExtractQueue* ExtractQueueStart();

// Queues ExtractArchive of the archive at path into folder; returns its ticket, or -1 when it
// cannot be queued (the caller extracts it itself).
int ExtractQueueAdd(ExtractQueue* queue, const char* path, const char* folder);

// Waits, dispatching the thread's window messages, until the ticket's archive is extracted and
// all its files are written: 1 when ExtractArchive would have given 1, else 0.
int ExtractQueueWait(ExtractQueue* queue, int ticket);

// Stops what is queued or running and waits for the thread and the workers, so that no file is
// written into the folders after it returns; frees the queue. Null is accepted.
void ExtractQueueStop(ExtractQueue* queue);

// Extracts the first entry whose name equals entry (ignoring case) to output. 1 when it was found
// and extracted without error; 0 for a missing entry, a damaged or foreign file.
int ExtractArchiveEntry(const char* path, const char* output, const char* entry);

// Called by ArchiveSurvey for each entry: its narrow name and unpacked size.
typedef void (*ArchiveEntryFn)(void* context, const char* name, unsigned long long size);

// Reads the headers of the RAR archive at path without writing anything: calls entry for every
// entry that extraction would write as a plain file, and decodes the entry named wanted (ignoring
// case) into *text (allocated, terminated, to be freed by the caller; null when there is no such
// entry). 1 when the walk reached the regular end of the archive, else 0.
int ArchiveSurvey(const char* path, const char* wanted, char** text, ArchiveEntryFn entry,
                  void* context);
