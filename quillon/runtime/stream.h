// Data streams: a queue of requests (a file from an offset, or a block of memory) turned into
// chunks (4-byte id, 4-byte little-endian size including the header, body) held in one ring in
// the caller's memory. Chunks are routed to taps by a filter table; the consumer takes chunks
// from a tap and gives them back in any order. A request ends after a chosen chunk id, so
// several files follow each other through one stream.
#pragma once

#include <cstddef>
#include <cstdint>

// A tap of a stream; any tap stands for its stream.
struct STREAM;

enum { STREAM_IDLE = 0, STREAM_READING = 1, STREAM_FULL = 2 };
enum { STREAM_QUEUED = 1, STREAM_REQREADING = 2, STREAM_ALLREAD = 3, STREAM_CANCELLED = 4 };
enum { STREAM_DISCARD = -1, STREAM_ABORT = -2 };
enum { STREAM_MINRING = 0x6000 };

// Bytes of the caller's memory taken by the control block and tables; the rest is the ring,
// which must hold at least STREAM_MINRING bytes.
size_t STREAM_memsize(int requests, int filters, int taps);
// requests 2..256, filters 1..16, taps 1..filters. Returns tap 1, or null after a report.
STREAM* STREAM_create(int requests, int filters, int taps, void* memory, size_t size);

// Chunks whose id AND mask equals value go to tap (1..taps, STREAM_DISCARD, STREAM_ABORT); the
// first matching filter wins and the last one must match everything (mask and value 0).
void STREAM_setfilter(STREAM* stream, int filter, uint32_t mask, uint32_t value, int tap);
void STREAM_setpriority(STREAM* stream, int normal, int greedy);
// While fewer bytes than the greedy level are in use, files are read at the greedy priority.
void STREAM_setgreedylevel(STREAM* stream, int32_t bytes);
void STREAM_setgreedystate(STREAM* stream, int state);
STREAM* STREAM_taphandle(STREAM* stream, int tap);
int STREAM_tapnum(STREAM* tap);

// Returns the request id, 0 when no request is free. Reading ends after the first chunk whose
// id is `endid` or at the end of the data. A memory request of length 0 covers the chunks up to
// and including the first one with the end id (the memory must hold one).
uint32_t STREAM_queuefile(STREAM* stream, const char* path, int32_t offset, uint32_t endid);
uint32_t STREAM_queuemem(STREAM* stream, const void* memory, int32_t length, uint32_t endid);
void STREAM_cancelrequest(STREAM* stream, uint32_t id);
// Cancels every request and drops every chunk not held by the consumer.
void STREAM_kill(STREAM* stream);
void STREAM_destroy(STREAM* stream);

// The tap's next chunk (header included, plain size), or null. It stays the consumer's until
// released.
void* STREAM_get(STREAM* tap);
void STREAM_release(STREAM* stream, void* chunk);

// Waits until a chunk waits at the tap, the stream is idle or it stopped on an invalid chunk, for
// at most `ticks` (WAIT_FOREVER: no limit). Returns 1 then, 0 when the time ran out. One thread
// at a time waits at a tap.
int STREAM_wait(STREAM* tap, int ticks);

int32_t STREAM_gettable(STREAM* tap);
int STREAM_state(STREAM* stream);
// 1 when the stream is idle and nothing waits at the tap.
int STREAM_isendofstream(STREAM* tap);
// 1 when the stream met a chunk it cannot cut (a size below 8 or above 0xFFFFFF, an id the ring
// reserves for itself, or a chunk too large for the ring). It then reads no further until it is
// killed; its state stays what it was.
int STREAM_invalidchunk(STREAM* stream);
int32_t STREAM_buffersize(STREAM* stream);
int32_t STREAM_bufferusage(STREAM* stream);
uint32_t STREAM_taprequestid(STREAM* tap);
int STREAM_requeststate(STREAM* stream, uint32_t id);
