// The tick timer: an event thread sleeps until each due time on the monotonic clock (the
// one-shot 1 ms timer events) and wakes the timer thread, which counts the tick and calls the
// tick handlers. Synchronous tasks and the secondary timer thread hang off the same events.
#include "quillon/runtime/timer.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "quillon/runtime/diag.h"
#include "quillon/runtime/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

constexpr int kHandlers = 8;

struct Timer {
  std::mutex control;  // TIMER_init and TIMER_stop
  std::atomic<int> frequency{0};
  std::atomic<bool> running{false};
  std::atomic<int> hold{0};
  std::atomic<uint32_t> ticks{0};
  std::atomic<uint32_t> skips{0};
  std::atomic<uint32_t> time{0};
  std::atomic<void (*)()> handlers[kHandlers] = {};
  uint32_t step = 0;
  // Owned by the event thread while the timer runs.
  uint32_t fraction = 0;
  int64_t next_due = 0;
  // Owned by the timer thread while the timer runs.
  uint64_t time_accumulator = 0;
  EVENT* wake = EVENT_create(0, 0);  // the timer thread's
  // The pending one-shot event; TIMER_stop cancels it through the condition.
  std::mutex event_mutex;
  std::condition_variable event_cancel;
  THREAD timer_thread{};
  THREAD event_thread{};
  bool exit_registered = false;
};

Timer& timer() {
  static Timer& t = *new Timer;
  return t;
}

// Starting and stopping the thread is serialised by `control`, which the thread itself never
// takes, so a stop can wait for the thread to end without holding the handler lock it needs.
// A handler runs on the thread and may add or remove handlers; it then skips `control`.
struct Lowtimer {
  std::mutex control;
  std::recursive_mutex lock;  // the handler table; held while handlers run
  void (*handlers[kHandlers])() = {};
  EVENT* wake = EVENT_create(0, 0);
  std::atomic<bool> alive{false};
  std::atomic<std::thread::id> id{};
  uintptr_t generation = 0;  // a thread runs while it matches the one it was started with
  THREAD thread{};
  bool exit_registered = false;
};

Lowtimer& lowtimer() {
  static Lowtimer& l = *new Lowtimer;
  return l;
}

void event_thread(void*) {
  Timer& t = timer();
  int64_t event_at = now_ms();
  for (;;) {
    {
      std::unique_lock lock(t.event_mutex);
      const auto deadline = Clock::time_point(std::chrono::milliseconds(event_at));
      if (t.event_cancel.wait_until(lock, deadline, [&] { return !t.running.load(); })) return;
    }
    t.next_due += TIMER_advance(t.step, &t.fraction);
    const int64_t now = now_ms();
    int64_t delay = t.next_due - now - 1;
    if (t.next_due - now < 2) delay = 1;
    if (now - t.next_due > 1000) {
      t.next_due = now + 1;
      t.skips.fetch_add(1);
    }
    event_at = now + delay;
    if (t.hold.load() <= 0) EVENT_set(t.wake);
    Lowtimer& l = lowtimer();
    if (l.alive) EVENT_set(l.wake);
  }
}

void timer_thread(void*) {
  Timer& t = timer();
  for (;;) {
    EVENT_wait(t.wake, WAIT_FOREVER);
    if (!t.running) return;
    t.ticks.fetch_add(1);
    t.time_accumulator += 1193ull * t.step;
    t.time.fetch_add(static_cast<uint32_t>(t.time_accumulator >> 16));
    t.time_accumulator &= 0xFFFF;
    for (auto& slot : t.handlers)
      if (void (*handler)() = slot.load()) handler();
  }
}

void stop_locked(Timer& t) {
  {
    std::lock_guard lock(t.event_mutex);
    t.running = false;
  }
  t.event_cancel.notify_all();
  EVENT_set(t.wake);
  THREAD_wait(&t.event_thread, 0);
  THREAD_wait(&t.timer_thread, 0);
  t.event_thread = {};
  t.timer_thread = {};
  EVENT_reset(t.wake);
  t.frequency = 0;
}

void lowtimer_thread(void* generation) {
  Lowtimer& l = lowtimer();
  l.id = std::this_thread::get_id();
  for (;;) {
    EVENT_wait(l.wake, WAIT_FOREVER);
    std::lock_guard lock(l.lock);
    for (void (*handler)() : l.handlers) {
      if (!handler || l.generation != reinterpret_cast<uintptr_t>(generation)) break;
      handler();
    }
    if (l.generation != reinterpret_cast<uintptr_t>(generation)) return;
  }
}

bool on_lowtimer_thread(Lowtimer& l) {
  return l.alive && l.id.load() == std::this_thread::get_id();
}

// Asks the thread to stop; the caller holds the handler lock. Returns the thread to wait for once
// that lock is left, none when the caller is the thread itself.
THREAD lowtimer_stop(Lowtimer& l) {
  if (!l.alive) return {};
  const bool self = on_lowtimer_thread(l);
  ++l.generation;
  l.alive = false;
  EVENT_set(l.wake);
  return self ? THREAD{} : l.thread;
}

void lowtimer_atexit() {
  Lowtimer& l = lowtimer();
  if (FAULT_ending()) return;  // a handler may wait for a lock the report is held in
  std::lock_guard control(l.control);
  std::unique_lock lock(l.lock);
  const THREAD stopping = lowtimer_stop(l);
  lock.unlock();
  THREAD_wait(&stopping, 0);
}

struct Tasks {
  std::mutex mutex;
  struct Entry {
    SYNCTASK_fn fn;
    int period;
    uint32_t due;
    bool busy;
  } entries[SYNCTASK_MAX] = {};
  int nesting = 0;
  bool ran = false;
  uint32_t last_run = 0;
};

Tasks& tasks() {
  static Tasks& t = *new Tasks;
  return t;
}

// The tick counter starts again at 0: each task keeps the ticks it still had to wait.
void rebase_tasks(uint32_t old_ticks) {
  Tasks& t = tasks();
  std::lock_guard lock(t.mutex);
  for (auto& e : t.entries)
    if (e.fn) e.due = static_cast<uint32_t>(std::max<int32_t>(0, static_cast<int32_t>(e.due - old_ticks)));
  t.ran = false;
}

}  // namespace

uint32_t TIMER_step(int frequency) {
  return frequency > 0 ? 65536000u / static_cast<uint32_t>(frequency) : 0;
}

uint32_t TIMER_advance(uint32_t step, uint32_t* fraction) {
  *fraction += step;
  const uint32_t whole = *fraction >> 16;
  *fraction &= 0xFFFF;
  return whole;
}

int TIMER_init(int frequency) {
  Timer& t = timer();
  std::lock_guard control(t.control);
  if (t.running) stop_locked(t);
  if (frequency == 0) frequency = 100;
  if (frequency < 1 || frequency > 10000) {
    FAULT("pc/inittmr", "TIMER_init - BAD TIMER FREQUENCY SPECIFIED %d\n", frequency);
    frequency = 100;
  }
  t.step = TIMER_step(frequency);
  rebase_tasks(t.ticks);
  t.ticks = 0;
  t.time = 0;
  t.time_accumulator = 0;
  timespec resolution{};
  if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
    FAULT("pc/inittmr", "TIMER_init - MULTIMEDIA TIMER NOT FOUND.\n");
    return 0;
  }
  if (t.step <= 0xFFFF) {
    FAULT("pc/inittmr", "TIMER_init - MULTIMEDIA TIMER CANNOT SUPPORT THIS FREQUENCY.\n");
    return 0;
  }
  t.fraction = 0;
  t.next_due = now_ms();
  t.running = true;
  EVENT_reset(t.wake);
  if (!THREAD_create(timer_thread, nullptr, 0, THREAD_HIGHEST, &t.timer_thread)) {
    t.running = false;
    FAULT("pc/inittmr", "TIMER_init - FAILED TO CREATE TIMER THREAD.\n");
    return 0;
  }
  if (!THREAD_create(event_thread, nullptr, 0, THREAD_TIMECRITICAL, &t.event_thread)) {
    stop_locked(t);
    FAULT("pc/inittmr", "TIMER_init - FAILED TO INITIALIZE MULTIMEDIA TIMER.\n");
    return 0;
  }
  if (!t.exit_registered) {
    t.exit_registered = true;
    std::atexit(TIMER_stop);
  }
  t.frequency = frequency;
  const auto give_up = Clock::now() + std::chrono::milliseconds(5 * frequency);
  while (t.ticks == 0 && Clock::now() < give_up) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (t.ticks == 0 && t.hold <= 0) {
    stop_locked(t);
    FAULT("pc/inittmr", "TIMER_init - FAILED TO INITIALIZE WINDOWS MULTIMEDIA TIMER, TRY RE-RUNNING.\n");
    return 0;
  }
  return 1;
}

void TIMER_stop() {
  Timer& t = timer();
  if (FAULT_ending()) {
    // Ending on a fault, perhaps from inside TIMER_init or with a lock a tick handler waits for.
    std::lock_guard lock(t.event_mutex);
    t.running = false;
    t.event_cancel.notify_all();
    return;
  }
  std::lock_guard control(t.control);
  if (t.running) stop_locked(t);
}

uint32_t TIMER_ticks() {
  return timer().ticks;
}
int TIMER_frequency() {
  return timer().frequency;
}
uint32_t TIMER_time() {
  return timer().time;
}
uint32_t TIMER_skips() {
  return timer().skips;
}
void TIMER_hold() {
  timer().hold.fetch_add(1);
}
void TIMER_unhold() {
  timer().hold.fetch_sub(1);
}

int TIMER_addhandler(void (*handler)()) {
  for (auto& slot : timer().handlers) {
    void (*empty)() = nullptr;
    if (slot.compare_exchange_strong(empty, handler)) return 1;
  }
  return 0;
}

void TIMER_removehandler(void (*handler)()) {
  for (auto& slot : timer().handlers) {
    void (*expected)() = handler;
    slot.compare_exchange_strong(expected, nullptr);
  }
}

int SYNCTASK_add(SYNCTASK_fn fn, int period, int delay) {
  Tasks& t = tasks();
  std::unique_lock lock(t.mutex);
  Tasks::Entry* entry = nullptr;
  for (auto& e : t.entries)
    if (e.fn == fn) entry = &e;
  int skip = t.nesting;
  for (int i = 0; !entry && i < SYNCTASK_MAX; ++i)
    if (!t.entries[i].fn && skip-- <= 0) entry = &t.entries[i];
  if (!entry) {
    lock.unlock();
    FAULT("cmn/systask", "SYNCTASK_add - LIST FULL\n");
    return 0;
  }
  *entry = {fn, period, TIMER_ticks() + static_cast<uint32_t>(delay), false};
  return 1;
}

void SYNCTASK_remove(SYNCTASK_fn fn) {
  Tasks& t = tasks();
  std::lock_guard lock(t.mutex);
  for (auto& e : t.entries)
    if (e.fn == fn) e = {};
}

int SYNCTASK_run(void* arg) {
  Tasks& t = tasks();
  const uint32_t clock = TIMER_ticks();
  std::unique_lock lock(t.mutex);
  if (t.ran && clock == t.last_run) return 0;
  t.ran = true;
  t.last_run = clock;
  ++t.nesting;
  int result = 0;
  for (auto& e : t.entries) {
    if (!e.fn || e.busy || static_cast<int32_t>(clock - e.due) < 0) continue;
    const SYNCTASK_fn fn = e.fn;
    e.busy = true;
    const int late = static_cast<int>(clock - e.due);
    // The list is not held while the task runs: it may add and remove tasks.
    lock.unlock();
    result |= fn(arg, late);
    lock.lock();
    if (e.fn == fn && e.busy) {
      e.due = clock + static_cast<uint32_t>(e.period);
      e.busy = false;
    }
  }
  --t.nesting;
  return result;
}

int SYNCTASK_wait(void* arg, int ticks) {
  const uint32_t start = TIMER_ticks();
  int result = 0;
  while (result == 0 && TIMER_frequency() > 0 && TIMER_ticks() - start < static_cast<uint32_t>(ticks)) {
    result |= SYNCTASK_run(arg);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return result;
}

void SYNCTASK_spin(void* arg, uint32_t tick) {
  while (TIMER_frequency() > 0 && static_cast<int32_t>(tick - TIMER_ticks()) > 0) {
    SYNCTASK_run(arg);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LOWTIMER_add(void (*handler)()) {
  if (!handler) return;
  Lowtimer& l = lowtimer();
  std::unique_lock control(l.control, std::defer_lock);
  if (!on_lowtimer_thread(l)) control.lock();
  std::lock_guard lock(l.lock);
  int free = -1;
  for (int i = kHandlers - 1; i >= 0; --i) {
    if (l.handlers[i] == handler) return;
    if (!l.handlers[i]) free = i;
  }
  if (free < 0) return;
  if (!l.alive) {
    EVENT_reset(l.wake);
    const uintptr_t generation = ++l.generation;
    if (!THREAD_create(lowtimer_thread, reinterpret_cast<void*>(generation), 0, THREAD_HIGHEST, &l.thread)) {
      FAULT("pc/lowtimer", "wininittimer - FAILED TO CREATE SECONDARY TIMER`S THREAD.\n");
      return;
    }
    l.alive = true;
    if (!l.exit_registered) {
      l.exit_registered = true;
      std::atexit(lowtimer_atexit);
    }
  }
  l.handlers[free] = handler;
}

void LOWTIMER_remove(void (*handler)()) {
  Lowtimer& l = lowtimer();
  std::unique_lock control(l.control, std::defer_lock);
  if (!on_lowtimer_thread(l)) control.lock();
  std::unique_lock lock(l.lock);
  int count = 0;
  for (int i = 0; i < kHandlers; ++i) {
    if (l.handlers[i] == handler) continue;
    l.handlers[count++] = l.handlers[i];
  }
  for (int i = count; i < kHandlers; ++i) l.handlers[i] = nullptr;
  if (count > 0) return;
  const THREAD stopping = lowtimer_stop(l);
  lock.unlock();
  THREAD_wait(&stopping, 0);
}
