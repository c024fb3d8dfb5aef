// Threads with priority levels, critical sections, events and waits. Waits and sleeps count in
// ticks of the tick timer (at 100 Hz while the timer is stopped).
#pragma once

#include <cstdint>

// ---- Threads ----

struct THREAD {
  uint32_t serial;  // 0 when no thread was started
};

enum {
  THREAD_IDLE = -3,
  THREAD_LOWEST = -2,
  THREAD_BELOW = -1,
  THREAD_NORMAL = 0,
  THREAD_ABOVE = 1,
  THREAD_HIGHEST = 2,
  THREAD_TIMECRITICAL = 3
};
enum { THREAD_TABLESIZE = 100 };

// Starts fn(arg) on a new thread at a priority level -3..3 and registers it in the thread table;
// returns once the thread runs. Priorities are best effort: a level the system does not allow
// this process is accepted and recorded but changes nothing. Returns 1, or 0 (record serial 0)
// when the table is full or the system refused the thread. `thread` may be null.
int THREAD_create(void (*fn)(void*), void* arg, int stacksize, int level, THREAD* thread);
// 1, or 0 when the thread has ended.
int THREAD_setpriority(const THREAD* thread, int level);
// The level last set, or 0 when the thread has ended.
int THREAD_getpriority(const THREAD* thread);
// Waits for the thread's function to return: 1 when it has, 0 after `ticks` (0 = no limit).
int THREAD_wait(const THREAD* thread, int ticks);
// True on the program's main thread.
int THREAD_ismain();
// Sleeps ticks x 1000 / frequency milliseconds; 0 gives up the processor once.
void THREAD_sleep(int ticks);
// One short pause of a thread spinning on a value another thread is about to change.
void THREAD_spinpause();

// ---- Critical sections (recursive) ----

struct CRIT;
CRIT* CRIT_create();
// Returns the section to the pool; a section already returned is left alone.
void CRIT_delete(CRIT* crit);
void CRIT_enter(CRIT* crit);
void CRIT_leave(CRIT* crit);

// ---- Events ----

struct EVENT;
enum { WAIT_FOREVER = -1 };

// An auto-reset event lets one waiter through and resets itself; a manual-reset one stays set.
EVENT* EVENT_create(int manualreset, int signalled);
void EVENT_delete(EVENT* event);
void EVENT_set(EVENT* event);
void EVENT_reset(EVENT* event);
// 1 when the event was set, 0 after `ticks` (WAIT_FOREVER: no limit, 0: just look).
int EVENT_wait(EVENT* event, int ticks);
// Index of the first set event of the `count`, or -1 after `ticks`.
int EVENT_waitmany(EVENT* const* events, int count, int ticks);
