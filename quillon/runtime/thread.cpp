// Threads, critical sections and events over the C++ library, with the platform layer for stack
// sizes and priorities.
#include "quillon/runtime/thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

#include "quillon/platform/platform_thread.h"
#include "quillon/runtime/timer.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration ticks_to_time(int ticks) {
  const int frequency = TIMER_frequency() > 0 ? TIMER_frequency() : 100;
  return std::chrono::microseconds(static_cast<int64_t>(ticks) * 1000000 / frequency);
}

// ---- Thread table ----

struct Entry {
  uint32_t serial;  // 0 = free
  platform_tid tid;
  int level;
};

struct Table {
  std::mutex mutex;
  std::condition_variable changed;  // an entry was filled in or released
  Entry entries[THREAD_TABLESIZE] = {};
  uint32_t next_serial = 1;
};

Table& table() {
  static Table& t = *new Table;
  return t;
}

// Taken while the program starts, which happens on its main thread.
const std::thread::id main_thread = std::this_thread::get_id();

struct Start {
  void (*fn)(void*);
  void* arg;
  uint32_t serial;
  int level;
};

Entry* find(Table& t, uint32_t serial) {
  if (serial == 0) return nullptr;
  for (Entry& e : t.entries)
    if (e.serial == serial) return &e;
  return nullptr;
}

void thread_main(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  Table& t = table();
  const platform_tid tid = platform_thread_self();
  platform_thread_setpriority(tid, start.level);
  {
    std::lock_guard lock(t.mutex);
    find(t, start.serial)->tid = tid;
  }
  t.changed.notify_all();
  start.fn(start.arg);
  {
    std::lock_guard lock(t.mutex);
    *find(t, start.serial) = {};
  }
  t.changed.notify_all();
}

// ---- Critical section pool ----

constexpr uint32_t kFreeMark = 0x46524545;
constexpr int kCritSpins = 200;

}  // namespace

struct CRIT {
  uint32_t mark;
  CRIT* next_free;
  alignas(std::recursive_mutex) unsigned char storage[sizeof(std::recursive_mutex)];
  std::recursive_mutex& mutex() { return *std::launder(reinterpret_cast<std::recursive_mutex*>(storage)); }
};

struct EVENT {
  bool manual;
  bool signalled;
  std::vector<std::condition_variable*> waiters;
};

namespace {

struct CritPool {
  std::mutex mutex;
  CRIT* free = nullptr;
};

CritPool& crit_pool() {
  static CritPool& p = *new CritPool;
  return p;
}

// Every event shares one lock, so that a wait on several events sees them all at once.
std::mutex& event_mutex() {
  static std::mutex& m = *new std::mutex;
  return m;
}

// Consumes a set event (auto-reset ones reset) and returns its index, or -1.
int take(EVENT* const* events, int count) {
  for (int i = 0; i < count; ++i) {
    if (events[i]->signalled) {
      if (!events[i]->manual) events[i]->signalled = false;
      return i;
    }
  }
  return -1;
}

}  // namespace

int THREAD_create(void (*fn)(void*), void* arg, int stacksize, int level, THREAD* thread) {
  if (thread) thread->serial = 0;
  if (!fn) return 0;
  Table& t = table();
  uint32_t serial = 0;
  {
    std::lock_guard lock(t.mutex);
    Entry* e = nullptr;
    for (Entry& candidate : t.entries)
      if (candidate.serial == 0) {
        e = &candidate;
        break;
      }
    if (!e) return 0;
    serial = t.next_serial++;
    if (t.next_serial == 0) t.next_serial = 1;
    *e = {serial, 0, std::clamp(level, -3, 3)};
  }
  auto* start = new Start{fn, arg, serial, std::clamp(level, -3, 3)};
  if (!platform_thread_start(thread_main, start, stacksize > 0 ? static_cast<size_t>(stacksize) : 0)) {
    delete start;
    std::lock_guard lock(t.mutex);
    *find(t, serial) = {};
    return 0;
  }
  // Back to the caller once the thread has its priority and its id in the table.
  std::unique_lock lock(t.mutex);
  t.changed.wait(lock, [&] {
    const Entry* e = find(t, serial);
    return !e || e->tid != 0;
  });
  if (thread) thread->serial = serial;
  return 1;
}

int THREAD_setpriority(const THREAD* thread, int level) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  Entry* e = thread ? find(t, thread->serial) : nullptr;
  if (!e) return 0;
  e->level = std::clamp(level, -3, 3);
  platform_thread_setpriority(e->tid, e->level);
  return 1;
}

int THREAD_getpriority(const THREAD* thread) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  const Entry* e = thread ? find(t, thread->serial) : nullptr;
  return e ? e->level : 0;
}

int THREAD_wait(const THREAD* thread, int ticks) {
  Table& t = table();
  std::unique_lock lock(t.mutex);
  auto ended = [&] { return !thread || !find(t, thread->serial); };
  if (ticks <= 0) {
    t.changed.wait(lock, ended);
    return 1;
  }
  return t.changed.wait_for(lock, ticks_to_time(ticks), ended) ? 1 : 0;
}

int THREAD_ismain() {
  return std::this_thread::get_id() == main_thread;
}

void THREAD_sleep(int ticks) {
  if (ticks <= 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(ticks_to_time(ticks));
}

CRIT* CRIT_create() {
  CritPool& p = crit_pool();
  std::lock_guard lock(p.mutex);
  if (!p.free) {
    // Records come a page at a time, and stay in the pool for the life of the program.
    constexpr size_t kPerBlock = std::max<size_t>(1, 4096 / sizeof(CRIT));
    auto* block = new CRIT[kPerBlock];
    for (size_t i = 0; i < kPerBlock; ++i) {
      block[i].mark = kFreeMark;
      block[i].next_free = p.free;
      p.free = &block[i];
    }
  }
  CRIT* crit = p.free;
  p.free = crit->next_free;
  crit->mark = 0;
  crit->next_free = nullptr;
  new (crit->storage) std::recursive_mutex;
  return crit;
}

void CRIT_delete(CRIT* crit) {
  if (!crit) return;
  CritPool& p = crit_pool();
  std::lock_guard lock(p.mutex);
  if (crit->mark == kFreeMark) return;
  crit->mutex().~recursive_mutex();
  crit->mark = kFreeMark;
  crit->next_free = p.free;
  p.free = crit;
}

void THREAD_spinpause() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
  _mm_pause();
#endif
}

void CRIT_enter(CRIT* crit) {
  // Sections guard a few hundred instructions: a short spin saves the other thread from
  // sleeping and being woken whenever the two meet in one.
  for (int i = 0; i < kCritSpins; ++i) {
    if (crit->mutex().try_lock()) return;
    THREAD_spinpause();
  }
  crit->mutex().lock();
}
void CRIT_leave(CRIT* crit) {
  crit->mutex().unlock();
}

EVENT* EVENT_create(int manualreset, int signalled) {
  return new EVENT{manualreset != 0, signalled != 0, {}};
}

void EVENT_delete(EVENT* event) {
  delete event;
}

void EVENT_set(EVENT* event) {
  std::lock_guard lock(event_mutex());
  event->signalled = true;
  for (std::condition_variable* waiter : event->waiters) waiter->notify_one();
}

void EVENT_reset(EVENT* event) {
  std::lock_guard lock(event_mutex());
  event->signalled = false;
}

int EVENT_wait(EVENT* event, int ticks) {
  return EVENT_waitmany(&event, 1, ticks) == 0 ? 1 : 0;
}

int EVENT_waitmany(EVENT* const* events, int count, int ticks) {
  std::unique_lock lock(event_mutex());
  int index = take(events, count);
  if (index >= 0 || ticks == 0) return index;
  std::condition_variable woken;
  for (int i = 0; i < count; ++i) events[i]->waiters.push_back(&woken);
  const auto deadline = Clock::now() + ticks_to_time(ticks > 0 ? ticks : 0);
  while ((index = take(events, count)) < 0) {
    if (ticks < 0)
      woken.wait(lock);
    else if (woken.wait_until(lock, deadline) == std::cv_status::timeout)
      break;
  }
  if (index < 0) index = take(events, count);
  for (int i = 0; i < count; ++i) std::erase(events[i]->waiters, &woken);
  return index;
}
