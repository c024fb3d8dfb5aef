// Data streams in caller memory. The ring reuses the chunk header words: the top byte of a
// routed chunk's size word holds its tap, an id of -2 marks a chunk given back, and an id of -1
// with size 8 marks where the used part of the ring ends and reading goes on at the ring start.
#include "quillon/runtime/stream.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "quillon/runtime/diag.h"
#include "quillon/runtime/filesys.h"
#include "quillon/runtime/thread.h"
#include "quillon/runtime/timer.h"

namespace {

constexpr const char* kSource = "cmn/stream";
constexpr uint32_t kGivenBack = 0xFFFFFFFE;
constexpr uint32_t kRingEnd = 0xFFFFFFFF;
constexpr uint32_t kMaxChunk = 0xFFFFFF;
constexpr int32_t kReadSize = 8192;
// A read needs kReadSize bytes and room for an end-of-ring mark after them.
constexpr int32_t kReadRoom = kReadSize + 8;
constexpr int kNameSize = 260;
// A consumer in STREAM_wait first spins this long: the next read is usually that close, and a
// wake-up through the event costs both threads more than the spin.
constexpr auto kWaitSpin = std::chrono::microseconds(20);
enum { kAwake, kSpinning, kAsleep };

enum Kind { kFile, kMemory };
enum Pending { kNone, kReading, kOpening, kClosing };

uint32_t get32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Request {
  uint32_t id;
  int state;  // 0 free
  Request* prev;
  Request* next;
  int kind;
  char name[kNameSize];
  const uint8_t* memory;
  int32_t position;  // next file offset, or bytes of the memory taken
  int32_t length;    // memory only
  uint32_t endid;
  uint8_t* start;  // ring position where its data starts
};

struct Filter {
  uint32_t mask;
  uint32_t value;
  int tap;
};

struct Stream;

}  // namespace

struct STREAM {
  Stream* stream;
  int number;
  int32_t waiting;
  uint8_t* next;
  EVENT* arrived;             // set for a consumer asleep in STREAM_wait
  std::atomic<int> sleeping;  // kAwake, kSpinning or kAsleep
};

namespace {

struct Stream {
  char magic[4];
  CRIT* lock;
  Request* requests;
  int nrequests;
  Filter* filters;
  int nfilters;
  STREAM* taps;
  int ntaps;
  uint8_t* ring;
  uint8_t* ring_end;
  int state;
  int normal_priority;
  int greedy_priority;
  int32_t greedy_level;
  int greedy_state;
  int32_t in_use;
  uint8_t* read;   // oldest byte still in use
  uint8_t* chunk;  // first chunk not yet complete
  uint8_t* write;  // end of the data read so far
  Request* first;
  Request* current;
  Request* last;
  Request* free;
  char file_name[kNameSize];
  int file;
  int op;
  int pending;  // what `op` is
  bool invalid;
};

std::atomic<uint32_t> next_serial{0};

uint32_t new_id(int index) {
  uint32_t serial = next_serial.fetch_add(256) + 256;
  if (serial == 0) serial = next_serial.fetch_add(256) + 256;  // wrapped: starts again at 256
  return serial | static_cast<uint32_t>(index);
}

size_t align32(size_t n) {
  return (n + 31) & ~size_t{31};
}

size_t tables(int requests, int filters, int taps) {
  return align32(sizeof(Stream)) + align32(sizeof(Request) * static_cast<size_t>(std::max(requests, 0))) +
         align32(sizeof(Filter) * static_cast<size_t>(std::max(filters, 0))) +
         align32(sizeof(STREAM) * static_cast<size_t>(std::max(taps, 0)));
}

Stream* check(STREAM* handle, const char* function) {
  if (!handle || !handle->stream || std::memcmp(handle->stream->magic, "STRM", 4) != 0) {
    FAULT(kSource, "%s - invalid stream handle\n", function);
    return nullptr;
  }
  return handle->stream;
}

struct Locked {
  explicit Locked(Stream* s) : s(s) { CRIT_enter(s->lock); }
  ~Locked() { CRIT_leave(s->lock); }
  Stream* s;
};

uint32_t id_at(const uint8_t* p) {
  return get32(p);
}
int32_t size_at(const uint8_t* p) {
  return static_cast<int32_t>(get32(p + 4) & kMaxChunk);
}
int tap_at(const uint8_t* p) {
  return static_cast<int>(get32(p + 4) >> 24);
}

// The chunk after p, following end-of-ring marks.
uint8_t* after(Stream& s, uint8_t* p) {
  return id_at(p) == kRingEnd ? s.ring : p + size_at(p);
}

int priority(const Stream& s) {
  return s.greedy_state ? s.greedy_priority : s.normal_priority;
}

void add_in_use(Stream& s, int32_t bytes) {
  const int32_t before = s.in_use;
  s.in_use += bytes;
  if (before < s.greedy_level && s.in_use >= s.greedy_level) s.greedy_state = 0;
  if (before >= s.greedy_level && s.in_use < s.greedy_level) {
    s.greedy_state = 1;
    if (s.pending == kReading) FILESYS_setpriorityop(s.op, s.greedy_priority);
  }
}

// Wakes the consumer of a tap that waits in STREAM_wait; one that still spins needs no event.
// Caller holds the lock.
void wake(STREAM& tap) {
  if (tap.sleeping.exchange(kAwake) == kAsleep) EVENT_set(tap.arrived);
}

void wake_all(Stream& s) {
  for (int i = 0; i < s.ntaps; ++i) wake(s.taps[i]);
}

void give_back(uint8_t* p) {
  put32(p + 4, static_cast<uint32_t>(size_at(p)));
  put32(p, kGivenBack);
}

// The tap's next chunk at or after p, or the chunk start when none.
uint8_t* next_of_tap(Stream& s, const STREAM& tap, uint8_t* p) {
  for (; p != s.chunk; p = after(s, p))
    if (id_at(p) != kRingEnd && id_at(p) != kGivenBack && tap_at(p) == tap.number) break;
  return p;
}

// Takes a chunk that waits at its tap off the tap and gives it back.
void drop_waiting(Stream& s, uint8_t* p) {
  STREAM& tap = s.taps[tap_at(p) - 1];
  const int32_t size = size_at(p);
  tap.waiting -= size;
  give_back(p);
  add_in_use(s, -size);
  if (tap.next == p) tap.next = tap.waiting > 0 ? next_of_tap(s, tap, after(s, p)) : nullptr;
  if (tap.next == s.chunk) tap.waiting = 0, tap.next = nullptr;
}

void free_request(Stream& s, Request* r) {
  (r->prev ? r->prev->next : s.first) = r->next;
  (r->next ? r->next->prev : s.last) = r->prev;
  if (s.current == r) s.current = nullptr;
  r->state = 0;
  r->id = 0;
  r->prev = nullptr;
  r->next = s.free;
  s.free = r;
}

// Calls f(owner, chunk) for every chunk in the used part of the ring with the request that owns it.
template <typename F>
void walk(Stream& s, F f) {
  Request* owner = s.first;
  for (uint8_t* p = s.read; p != s.chunk;) {
    while (owner && owner->next && owner->next->state != STREAM_QUEUED && p == owner->next->start)
      owner = owner->next;
    uint8_t* next = after(s, p);
    if (id_at(p) != kRingEnd) f(owner, p);
    p = next;
  }
}

// Whether p is a chunk of the used part of the ring. A consumer giving chunks back in the order
// it got them finds its chunk at the read position.
bool in_used_part(Stream& s, const uint8_t* p) {
  for (uint8_t* q = s.read; q != s.chunk; q = after(s, q))
    if (q == p) return id_at(q) != kRingEnd;
  return false;
}

void retire(Stream& s) {
  while (s.first && s.first->next && s.first->next->state != STREAM_QUEUED &&
         s.read == s.first->next->start && s.first != s.current)
    free_request(s, s.first);
}

void advance_read(Stream& s) {
  for (;;) {
    retire(s);
    if (s.read == s.chunk) return;
    const uint32_t id = id_at(s.read);
    if (id == kRingEnd)
      s.read = s.ring;
    else if (id == kGivenBack)
      s.read += size_at(s.read);
    else
      return;
  }
}

void report_invalid(Stream& s) {
  const uint8_t* h = s.chunk;
  s.invalid = true;
  wake_all(s);
  FAULT(kSource, "STREAM - invalid chunk (%02x %02x %02x %02x %02x %02x %02x %02x)\n", h[0], h[1], h[2], h[3],
        h[4], h[5], h[6], h[7]);
}

// Room for the next read at the write position, or -1 when the stream is full. Moves a partial
// chunk that meets the ring end to the ring start when it fits there.
int32_t free_space(Stream& s) {
  if (s.write < s.read) {
    const int32_t room = static_cast<int32_t>(s.read - s.write - 1);
    return room < kReadSize ? -1 : room;
  }
  if (s.ring_end - s.write >= kReadRoom) return static_cast<int32_t>(s.ring_end - s.write - 8);
  const int32_t partial = static_cast<int32_t>(s.write - s.chunk);
  uint8_t* const old = s.chunk;
  if (s.read == s.chunk) {
    // Nothing before the partial chunk is in use: the whole ring is free for it.
    std::memmove(s.ring, s.chunk, static_cast<size_t>(partial));
    s.read = s.chunk = s.ring;
    s.write = s.ring + partial;
    if (s.current && s.current->start == old) s.current->start = s.ring;
    return s.ring_end - s.write >= kReadRoom ? static_cast<int32_t>(s.ring_end - s.write - 8) : -1;
  }
  if (s.ring + partial >= s.read) return -1;
  std::memmove(s.ring, s.chunk, static_cast<size_t>(partial));
  put32(old, kRingEnd);
  put32(old + 4, 8);
  s.chunk = s.ring;
  s.write = s.ring + partial;
  const int32_t room = static_cast<int32_t>(s.read - s.write - 1);
  return room < kReadSize ? -1 : room;
}

void route(Stream& s, uint8_t* p) {
  const uint32_t id = id_at(p);
  int tap = STREAM_ABORT;
  for (int i = 0; i < s.nfilters; ++i)
    if ((id & s.filters[i].mask) == s.filters[i].value) {
      tap = s.filters[i].tap;
      break;
    }
  if (tap < 1) {
    give_back(p);
    if (tap == STREAM_ABORT) FAULT(kSource, "STREAM - chunk received at abort tap\n");
    return;
  }
  const int32_t size = size_at(p);
  put32(p + 4, static_cast<uint32_t>(size) | static_cast<uint32_t>(tap) << 24);
  STREAM& t = s.taps[tap - 1];
  if (t.waiting == 0) t.next = p;
  t.waiting += size;
  add_in_use(s, size);
  wake(t);
}

// Cuts the complete chunks after the chunk start; true once the request's end chunk was cut.
bool cut(Stream& s, const Request& r) {
  while (s.write - s.chunk >= 8) {
    const uint32_t id = id_at(s.chunk);
    const uint32_t size = get32(s.chunk + 4);
    // Ids -1 and -2 are the ring's own marks; a size below the header would never move on.
    if (size > kMaxChunk || size < 8 || id == kGivenBack || id == kRingEnd) {
      report_invalid(s);
      return false;
    }
    if (s.write - s.chunk < static_cast<ptrdiff_t>(size)) return false;
    route(s, s.chunk);
    s.chunk += size;
    if (id == r.endid) return true;
  }
  return false;
}

void pump(Stream& s);
void start_next(Stream& s);
void on_read(int op, int status, void* user);
void on_open(int op, int status, void* user);
void on_close(int op, int status, void* user);

// Issues a file operation; its callback may run before this returns, so nothing may follow.
void issue(Stream& s, int op, int pending, FILE_callback callback) {
  s.op = op;
  s.pending = pending;
  FILESYS_callbackop(op, callback);
}

void open_file(Stream& s) {
  std::memcpy(s.file_name, s.current->name, kNameSize);
  const int op = FILE_open(s.file_name, FILE_READONLY, priority(s), &s);
  if (!op) {
    s.file_name[0] = 0;
    FAULT(kSource, "STREAM - unable to initiate file open\n");
    s.current->state = STREAM_ALLREAD;
    start_next(s);
    return;
  }
  issue(s, op, kOpening, on_open);
}

// Takes the current request if it is still queued, else the one after it.
void start_next(Stream& s) {
  Request* r = s.current;
  if (!r || r->state != STREAM_QUEUED) r = r ? r->next : s.first;
  if (!r) {
    s.state = STREAM_IDLE;
    wake_all(s);
    return;
  }
  s.current = r;
  r->state = STREAM_REQREADING;
  r->start = s.chunk;
  s.write = s.chunk;
  if (r->kind == kMemory || (s.file && std::strcmp(s.file_name, r->name) == 0)) return;
  if (!s.file) {
    open_file(s);
    return;
  }
  const int op = FILE_close(s.file, priority(s), &s);
  if (!op) {
    FAULT(kSource, "STREAM - unable to initiate file close\n");
    s.file = 0;
    open_file(s);
    return;
  }
  issue(s, op, kClosing, on_close);
}

void completed(Stream& s, int32_t bytes) {
  Request& r = *s.current;
  if (r.state == STREAM_CANCELLED) {
    start_next(s);  // drops what came in
    return;
  }
  const bool at_end = r.kind == kFile ? bytes < kReadSize : r.position + bytes >= r.length;
  r.position += bytes;
  s.write += bytes;
  const bool end_chunk = cut(s, r);
  if (s.invalid || (!at_end && !end_chunk)) return;
  r.state = STREAM_ALLREAD;
  start_next(s);
}

// Reads for as long as there is room, a request and no operation in flight.
void pump(Stream& s) {
  while (s.state != STREAM_IDLE && s.pending == kNone && !s.invalid) {
    Request* r = s.current;
    if (!r || r->state != STREAM_REQREADING) {
      start_next(s);
      continue;
    }
    advance_read(s);
    int32_t room = free_space(s);
    if (room < 0) {
      advance_read(s);  // a partial chunk moved to the ring start may have freed the ring
      room = free_space(s);
    }
    if (room < 0) {
      s.state = STREAM_FULL;
      // Nothing is in use, so no release will make room: the chunk cannot fit in the ring.
      if (s.in_use == 0) report_invalid(s);
      return;
    }
    s.state = STREAM_READING;
    if (r->kind == kFile) {
      const int op = FILE_read(s.file, r->position, s.write, kReadSize, priority(s), &s);
      if (!op) {
        FAULT(kSource, "STREAM - unable to initiate file read\n");
        r->state = STREAM_ALLREAD;
        start_next(s);
        continue;
      }
      issue(s, op, kReading, on_read);
      return;
    }
    const int32_t n = std::min(room, r->length - r->position);
    std::memcpy(s.write, r->memory + r->position, static_cast<size_t>(n));
    completed(s, n);
  }
}

void on_read(int op, int status, void* user) {
  Stream& s = *static_cast<Stream*>(user);
  Locked lock(&s);
  const int32_t bytes = FILESYS_completeop(op);
  s.op = 0;
  s.pending = kNone;
  completed(s, status == FILESYS_DONE ? bytes : 0);
  pump(s);
}

void on_open(int op, int, void* user) {
  Stream& s = *static_cast<Stream*>(user);
  Locked lock(&s);
  s.file = FILESYS_completeop(op);
  s.op = 0;
  s.pending = kNone;
  if (!s.file) {
    FAULT(kSource, "STREAM - unable to open file '%s'\n", s.file_name);
    s.file_name[0] = 0;
    if (s.current && s.current->state == STREAM_REQREADING) s.current->state = STREAM_ALLREAD;
  }
  if (!s.current || s.current->state != STREAM_REQREADING) start_next(s);
  pump(s);
}

void on_close(int op, int, void* user) {
  Stream& s = *static_cast<Stream*>(user);
  Locked lock(&s);
  FILESYS_completeop(op);
  s.file = 0;
  s.file_name[0] = 0;
  s.op = 0;
  s.pending = kNone;
  if (s.current && s.current->state == STREAM_REQREADING)
    open_file(s);
  else
    start_next(s);
  if (s.pending == kNone) pump(s);
}

Request* find_request(Stream& s, uint32_t id) {
  const uint32_t index = id & 0xFF;
  if (id == 0 || index >= static_cast<uint32_t>(s.nrequests)) return nullptr;
  Request* r = &s.requests[index];
  return r->state != 0 && r->id == id ? r : nullptr;
}

uint32_t queue(Stream& s, const Request& fill) {
  Locked lock(&s);
  Request* r = s.free;
  if (!r) return 0;
  s.free = r->next;
  const uint32_t id = new_id(static_cast<int>(r - s.requests));
  *r = fill;
  r->id = id;
  r->state = STREAM_QUEUED;
  r->prev = s.last;
  r->next = nullptr;
  (s.last ? s.last->next : s.first) = r;
  s.last = r;
  if (s.state == STREAM_IDLE) {
    s.state = STREAM_READING;
    // An operation still in flight for a cancelled request starts this one when it ends.
    if (s.pending == kNone) {
      start_next(s);
      pump(s);
    }
  }
  return id;
}

void resume_if_full(Stream& s) {
  if (s.state != STREAM_FULL || s.invalid) return;
  s.state = STREAM_READING;
  pump(s);
}

}  // namespace

size_t STREAM_memsize(int requests, int filters, int taps) {
  return tables(requests, filters, taps) + 32;
}

STREAM* STREAM_create(int requests, int filters, int taps, void* memory, size_t size) {
  const size_t need = STREAM_memsize(requests, filters, taps);
  if (!memory || size < need || size - need < STREAM_MINRING) {
    FAULT(kSource, "STREAM_create - stream buffer too small\n");
    return nullptr;
  }
  if (requests < 2) {
    FAULT(kSource, "STREAM_create - a minimum of two requests is required\n");
    return nullptr;
  }
  if (requests > 256) {
    FAULT(kSource, "STREAM_create - too many requests (%d)\n", requests);
    return nullptr;
  }
  if (filters < 1 || filters > 16) {
    FAULT(kSource, "STREAM_create - invalid number of filters (%d)\n", filters);
    return nullptr;
  }
  if (taps < 1 || taps > filters) {
    FAULT(kSource, "STREAM_create - invalid number of taps (%d)\n", taps);
    return nullptr;
  }
  auto* base = static_cast<uint8_t*>(memory);
  uint8_t* p = base + ((32 - reinterpret_cast<uintptr_t>(base) % 32) % 32);
  auto* s = new (p) Stream();
  p += align32(sizeof(Stream));
  s->requests = new (p) Request[requests]();
  p += align32(sizeof(Request) * static_cast<size_t>(requests));
  s->filters = new (p) Filter[filters]();
  p += align32(sizeof(Filter) * static_cast<size_t>(filters));
  s->taps = new (p) STREAM[taps]();
  p += align32(sizeof(STREAM) * static_cast<size_t>(taps));
  std::memcpy(s->magic, "STRM", 4);
  s->lock = CRIT_create();
  s->nrequests = requests;
  s->nfilters = filters;
  s->ntaps = taps;
  for (int i = requests - 1; i >= 0; --i) {
    s->requests[i].next = s->free;
    s->free = &s->requests[i];
  }
  for (int i = 0; i < filters; ++i) s->filters[i] = {0, 0, 1};
  for (int i = 0; i < taps; ++i) {
    STREAM& t = s->taps[i];
    t.stream = s;
    t.number = i + 1;
    t.arrived = EVENT_create(0, 0);
  }
  s->ring = p;
  s->ring_end = base + size;
  s->read = s->chunk = s->write = s->ring;
  s->normal_priority = 150;
  s->greedy_priority = 50;
  s->state = STREAM_IDLE;
  return &s->taps[0];
}

void STREAM_setfilter(STREAM* handle, int filter, uint32_t mask, uint32_t value, int tap) {
  Stream* s = check(handle, "STREAM_setfilter");
  if (!s) return;
  Locked lock(s);
  if (filter < 1 || filter > s->nfilters) {
    FAULT(kSource, "STREAM_setfilter - invalid filter number\n");
    return;
  }
  if (filter == s->nfilters && (mask != 0 || value != 0)) {
    FAULT(kSource, "STREAM_setfilter - last filter must be null\n");
    return;
  }
  if (tap == 0 || tap < STREAM_ABORT || tap > s->ntaps) {
    FAULT(kSource, "STREAM_setfilter - invalid tap number\n");
    return;
  }
  if (s->state != STREAM_IDLE) {
    FAULT(kSource, "STREAM_setfilter - stream must be idle to set filter\n");
    return;
  }
  s->filters[filter - 1] = {mask, value, tap};
}

void STREAM_setpriority(STREAM* handle, int normal, int greedy) {
  Stream* s = check(handle, "STREAM_setpriority");
  if (!s) return;
  Locked lock(s);
  s->normal_priority = normal;
  s->greedy_priority = greedy;
}

void STREAM_setgreedylevel(STREAM* handle, int32_t bytes) {
  Stream* s = check(handle, "STREAM_setgreedylevel");
  if (!s) return;
  Locked lock(s);
  const bool below_old = s->in_use < s->greedy_level;
  s->greedy_level = bytes;
  const bool below_new = s->in_use < s->greedy_level;
  if (below_old != below_new) s->greedy_state = below_new ? 1 : 0;
}

void STREAM_setgreedystate(STREAM* handle, int state) {
  Stream* s = check(handle, "STREAM_setgreedystate");
  if (!s) return;
  Locked lock(s);
  s->greedy_state = state ? 1 : 0;
  if (s->greedy_state && s->pending == kReading) FILESYS_setpriorityop(s->op, s->greedy_priority);
}

STREAM* STREAM_taphandle(STREAM* handle, int tap) {
  Stream* s = check(handle, "STREAM_taphandle");
  if (!s) return nullptr;
  if (tap < 1 || tap > s->ntaps) {
    FAULT(kSource, "STREAM_taphandle - invalid tap number\n");
    return nullptr;
  }
  return &s->taps[tap - 1];
}

int STREAM_tapnum(STREAM* tap) {
  return check(tap, "STREAM_tapnum") ? tap->number : 0;
}

uint32_t STREAM_queuefile(STREAM* handle, const char* path, int32_t offset, uint32_t endid) {
  Stream* s = check(handle, "STREAM_queuefile");
  if (!s || !path || std::strlen(path) >= kNameSize || offset < 0) return 0;
  Request r{};
  r.kind = kFile;
  std::memcpy(r.name, path, std::strlen(path) + 1);
  r.position = offset;
  r.endid = endid;
  return queue(*s, r);
}

uint32_t STREAM_queuemem(STREAM* handle, const void* memory, int32_t length, uint32_t endid) {
  Stream* s = check(handle, "STREAM_queuemem");
  if (!s || !memory || length < 0) return 0;
  const auto* bytes = static_cast<const uint8_t*>(memory);
  if (length == 0) {
    // Up to and including the end chunk. A size that cannot be a chunk ends the walk with its
    // header, so that the stream reports it instead of reading on.
    int64_t total = 0;
    for (;;) {
      const uint32_t id = get32(bytes + total);
      const uint32_t size = get32(bytes + total + 4);
      if (size < 8 || size > kMaxChunk || total + size > INT32_MAX) {
        total += 8;
        break;
      }
      total += size;
      if (id == endid) break;
    }
    length = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
  }
  Request r{};
  r.kind = kMemory;
  r.memory = bytes;
  r.length = length;
  r.endid = endid;
  return queue(*s, r);
}

void STREAM_cancelrequest(STREAM* handle, uint32_t id) {
  Stream* s = check(handle, "STREAM_cancelrequest");
  if (!s) return;
  Locked lock(s);
  Request* r = find_request(*s, id);
  if (!r || r->state == STREAM_CANCELLED) return;
  if (r->state == STREAM_QUEUED) {
    free_request(*s, r);
    return;
  }
  r->state = STREAM_CANCELLED;
  // Chunks the consumer holds stay its own until it releases them.
  walk(*s, [&](Request* owner, uint8_t* p) {
    if (owner == r && id_at(p) != kGivenBack && tap_at(p) != 0) drop_waiting(*s, p);
  });
  if (r == s->current && s->pending == kNone) {
    start_next(*s);
    pump(*s);
  } else {
    resume_if_full(*s);
  }
}

void STREAM_kill(STREAM* handle) {
  Stream* s = check(handle, "STREAM_kill");
  if (!s) return;
  Locked lock(s);
  for (Request* r = s->first; r;) {
    Request* next = r->next;
    if (r != s->current) free_request(*s, r);
    r = next;
  }
  if (s->current) s->current->state = STREAM_CANCELLED;
  for (int i = 0; i < s->ntaps; ++i) s->taps[i].waiting = 0, s->taps[i].next = nullptr;
  // Chunks the consumer holds stay in use until released; everything else is given back.
  int32_t held = 0;
  walk(*s, [&](Request*, uint8_t* p) {
    if (id_at(p) == kGivenBack) return;
    if (tap_at(p) != 0)
      give_back(p);
    else
      held += size_at(p);
  });
  s->in_use = held;
  s->invalid = false;
  if (s->pending == kNone) {
    s->write = s->chunk;
    s->state = STREAM_IDLE;
  } else if (s->state == STREAM_FULL) {
    s->state = STREAM_IDLE;
  }
  wake_all(*s);
}

void STREAM_destroy(STREAM* handle) {
  Stream* s = check(handle, "STREAM_destroy");
  if (!s) return;
  STREAM_kill(handle);
  CRIT_enter(s->lock);
  while (s->pending != kNone) {
    CRIT_leave(s->lock);
    if (THREAD_ismain()) SYNCTASK_run(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CRIT_enter(s->lock);
  }
  std::memset(s->magic, 0, 4);
  for (int i = 0; i < s->ntaps; ++i) EVENT_delete(s->taps[i].arrived);
  const int file = s->file;
  s->file = 0;
  CRIT_leave(s->lock);
  CRIT_delete(s->lock);
  if (file) FILE_syncclose(file);
}

void* STREAM_get(STREAM* tap) {
  Stream* s = check(tap, "STREAM_get");
  if (!s) return nullptr;
  Locked lock(s);
  if (tap->waiting <= 0 || !tap->next) return nullptr;
  uint8_t* p = tap->next;
  const int32_t size = size_at(p);
  put32(p + 4, static_cast<uint32_t>(size));
  tap->waiting -= size;
  tap->next = tap->waiting > 0 ? next_of_tap(*s, *tap, after(*s, p)) : nullptr;
  if (tap->next == s->chunk) tap->waiting = 0, tap->next = nullptr;
  return p;
}

void STREAM_release(STREAM* handle, void* chunk) {
  Stream* s = check(handle, "STREAM_release");
  if (!s) return;
  Locked lock(s);
  auto* p = static_cast<uint8_t*>(chunk);
  if (!p || p < s->ring || p + 8 > s->ring_end) {
    FAULT(kSource, "STREAM_release - chunk does not belong to specified stream\n");
    return;
  }
  if (id_at(p) == kGivenBack) {
    FAULT(kSource, "STREAM_release - chunk has already been released\n");
    return;
  }
  // Only a chunk of the used part of the ring is taken: anything else would break the ring. The
  // read position first moves over chunks given back, which keeps that part short.
  advance_read(*s);
  if (!in_used_part(*s, p)) {
    FAULT(kSource, "STREAM_release - chunk does not belong to specified stream\n");
    return;
  }
  if (tap_at(p) != 0) {
    drop_waiting(*s, p);  // released without being taken
  } else {
    give_back(p);
    add_in_use(*s, -size_at(p));
  }
  resume_if_full(*s);
}

namespace {

// A query: f's answer under the stream's lock, 0 for a bad handle.
template <typename F>
auto query(STREAM* handle, const char* function, F f) -> decltype(f(*handle->stream)) {
  Stream* s = check(handle, function);
  if (!s) return 0;
  Locked lock(s);
  return f(*s);
}

}  // namespace

int STREAM_wait(STREAM* tap, int ticks) {
  Stream* s = check(tap, "STREAM_wait");
  if (!s) return 0;
  const auto ready = [&] { return tap->waiting > 0 || s->state == STREAM_IDLE || s->invalid ? 1 : 0; };
  {
    Locked lock(s);
    if (ready() || ticks == 0) return ready();
    // Reset under the lock that every wake-up is given under, so none is lost or left over.
    EVENT_reset(tap->arrived);
    tap->sleeping = kSpinning;
  }
  const auto until = std::chrono::steady_clock::now() + kWaitSpin;
  while (tap->sleeping.load() == kSpinning && std::chrono::steady_clock::now() < until) THREAD_spinpause();
  int spinning = kSpinning;
  if (tap->sleeping.compare_exchange_strong(spinning, kAsleep)) EVENT_wait(tap->arrived, ticks);
  Locked lock(s);
  tap->sleeping = kAwake;
  return ready();
}

int32_t STREAM_gettable(STREAM* tap) {
  return query(tap, "STREAM_gettable", [&](Stream&) { return tap->waiting; });
}

int STREAM_state(STREAM* handle) {
  return query(handle, "STREAM_state", [](Stream& s) { return s.state; });
}

int STREAM_isendofstream(STREAM* tap) {
  return query(tap, "STREAM_isendofstream",
               [&](Stream& s) { return s.state == STREAM_IDLE && tap->waiting == 0 ? 1 : 0; });
}

int STREAM_invalidchunk(STREAM* handle) {
  return query(handle, "STREAM_invalidchunk", [](Stream& s) { return s.invalid ? 1 : 0; });
}

int32_t STREAM_buffersize(STREAM* handle) {
  return query(handle, "STREAM_buffersize",
               [](Stream& s) { return static_cast<int32_t>(s.ring_end - s.ring); });
}

int32_t STREAM_bufferusage(STREAM* handle) {
  return query(handle, "STREAM_bufferusage", [](Stream& s) { return s.in_use; });
}

uint32_t STREAM_taprequestid(STREAM* tap) {
  return query(tap, "STREAM_taprequestid", [&](Stream& s) {
    uint32_t id = 0;
    if (tap->waiting > 0)
      walk(s, [&](Request* owner, uint8_t* p) {
        if (p == tap->next && owner) id = owner->id;
      });
    return id;
  });
}

int STREAM_requeststate(STREAM* handle, uint32_t id) {
  return query(handle, "STREAM_requeststate", [&](Stream& s) {
    const Request* r = find_request(s, id);
    return r ? r->state : 0;
  });
}
