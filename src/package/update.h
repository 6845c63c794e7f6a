// The update container's parts, found in its bytes held in memory, and the payload's check.
// Portable (no system calls), so the native build fuzzes the search and the bounds; the file
// handling around them is in extract.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

// CRC-32 (reflected polynomial 0xEDB88320, initial value and final inversion all ones) of size
// bytes, continuing from crc (0 to start).
uint32_t Crc32(uint32_t crc, const void* data, size_t size);

// Where the parts of a container lie, as offsets into its bytes.
struct UpdateLayout {
  long section;  // the "[update_info]" that opens the information section
  long marker;   // the 17-byte marker that ends it
  long payload;  // the byte after the marker
};

// Length of the marker: "[update_data]", CR, LF, 0x1A and a zero byte.
enum { UPDATE_MARKER_SIZE = 17 };

// Finds the information section (the first "[update_info]", ignoring case) and the marker after
// it (letters ignoring case, its last four bytes exactly) in size bytes, which need no terminator.
// 1 when both lie wholly inside the bytes.
int UpdateLocate(const char* data, long size, UpdateLayout* layout);

// A decimal number of the information section as text: a missing or non-numeric text gives
// fallback; the value keeps its sign in 64 bits, so "4294967295" and "-1" both stay representable.
long long UpdateNumber(const char* text, long long fallback);

// 1 when fileSize bytes (0 or more) follow the marker and their CRC-32 is expectedCrc (0 bytes
// have CRC 0); the payload then lies at data + layout.payload.
int UpdateCheckPayload(const char* data, long size, const UpdateLayout& layout, long long fileSize,
                       uint32_t expectedCrc);
