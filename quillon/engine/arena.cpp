// The engine's memory: one block from the client, a header at its start, and a table of live
// allocations (offset, size) at its end growing downwards, kept sorted by offset. The block and
// its end need not be aligned, so the header and the table are read and written by copy.
#include <algorithm>
#include <cstring>

#include "quillon/engine/engine_internal.h"

namespace eng {
namespace {

struct Header {
  uint8_t* base;       // start of the data area
  int32_t size;        // of the whole block
  int32_t count;       // -1 per live allocation
  int32_t highfree;    // data offsets below this are free for data
  int32_t lowestfree;  // least free space seen
};

struct Entry {
  int32_t offset, size;
};

Header load() {
  Header h;
  std::memcpy(&h, g.arena, sizeof h);
  return h;
}

void store(const Header& h) {
  std::memcpy(g.arena, &h, sizeof h);
}

// Entry i in offset order; entry 0 sits nearest the end of the block.
uint8_t* slot(const Header& h, int i) {
  return h.base + (h.size - 35) - 8 * i;
}

Entry get(const Header& h, int i) {
  Entry e;
  std::memcpy(&e, slot(h, i), sizeof e);
  return e;
}

void put(const Header& h, int i, const Entry& e) {
  std::memcpy(slot(h, i), &e, sizeof e);
}

}  // namespace

void arena_setup(void* block, int32_t size) {
  g.arena = static_cast<uint8_t*>(block);
  g.arenasize = size;
  std::memset(block, 0, static_cast<size_t>(size));
  Header h;
  h.base = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block) + 27) & ~uintptr_t{3});
  h.size = size;
  h.count = 0;
  h.highfree = size - 35;
  h.lowestfree = size - 3;
  store(h);
}

int arena_peak() {
  const Header h = load();
  return static_cast<int>((static_cast<int64_t>(h.size) - h.lowestfree) * 100 / h.size);
}

}  // namespace eng

using namespace eng;

void* AUDIO_alloc(int32_t size) {
  if (size < 0 || size > 0x7FFFFFF0) return nullptr;
  AUDIO_lock();
  void* result = nullptr;
  if (g.arena) {
    Header h = load();
    const int32_t want = (size + 3) & ~3;
    const int n = -h.count;
    // The new table entry goes where the free area ends now, so the block must end 8 bytes
    // earlier; every live block then ends at or below the table's next entry.
    const int32_t limit = h.highfree - 8;
    int32_t start = 0;
    for (int i = 0; i <= n; ++i) {
      const Entry next = i < n ? get(h, i) : Entry{limit, 0};
      const int32_t end = std::min(next.offset, limit);
      if (end - start >= want) {
        for (int j = n; j > i; --j) put(h, j, get(h, j - 1));
        put(h, i, Entry{start, want});
        h.count -= 1;
        h.lowestfree = std::min(h.lowestfree, h.highfree - start - 8 - want);
        h.highfree -= 8;
        store(h);
        result = h.base + start;
        std::memset(result, 0, static_cast<size_t>(want));
        break;
      }
      start = std::max(start, next.offset + next.size);
    }
  }
  AUDIO_unlock();
  return result;
}

int AUDIO_free(void* p) {
  AUDIO_lock();
  int rc = AUDIO_EHANDLE;
  if (g.arena && p) {
    Header h = load();
    const int n = -h.count;
    const auto offset = static_cast<uint8_t*>(p) - h.base;
    for (int i = 0; i < n; ++i) {
      if (get(h, i).offset != offset) continue;
      for (int j = i; j + 1 < n; ++j) put(h, j, get(h, j + 1));
      h.count += 1;
      h.highfree += 8;
      store(h);
      rc = AUDIO_OK;
      break;
    }
  }
  AUDIO_unlock();
  return rc;
}
