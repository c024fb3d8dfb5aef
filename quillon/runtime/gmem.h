// Guarded heap blocks and byte-order helpers shared by the sound core, its format modules,
// its codecs and the audio engine.
#pragma once

#include <cstdint>

// Returns `size` bytes framed by a head mark ("GMEM" + size) and a tail mark ("GEND"), or null
// after printing why. Blocks are zero-filled.
void* galloc(int32_t size);
// Releases a block from galloc: 1, or 0 after printing the fault (null pointer, second release,
// overwritten head or tail). A faulty block is never handed back to the system allocator.
int gfree(void* p);

// Unsigned value of n (1..4) bytes, most / least significant byte first.
uint32_t ggetbe(const void* p, int n);
uint32_t ggetle(const void* p, int n);
// Stores the low n (1..4) bytes of value, most / least significant byte first.
void gputbe(void* p, uint32_t value, int n);
void gputle(void* p, uint32_t value, int n);
