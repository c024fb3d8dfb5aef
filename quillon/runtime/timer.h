// The tick timer (the program runs it at 100 Hz), its tick handlers, the synchronous tasks that
// run on whichever thread asks for them when they fall due, and the secondary timer thread.
#pragma once

#include <cstdint>

// ---- Tick timer ----

// Starts or restarts the timer at `frequency` ticks per second (0 = 100; 1..1000). Returns 1
// once the first tick has come, 0 when the timer could not run (after its fault report).
int TIMER_init(int frequency);
void TIMER_stop();
uint32_t TIMER_ticks();
// Ticks per second, 0 while stopped.
int TIMER_frequency();
// A 1.193 MHz counter driven by the ticks.
uint32_t TIMER_time();
// Times the timer fell more than a second behind and skipped ahead.
uint32_t TIMER_skips();
// While held (calls nest) ticks are not counted and no tick handler runs.
void TIMER_hold();
void TIMER_unhold();
// Up to 8 functions called on the timer thread at every tick, in slot order. 0 when full.
int TIMER_addhandler(void (*handler)());
void TIMER_removehandler(void (*handler)());

// Milliseconds per tick in 16.16 fixed point.
uint32_t TIMER_step(int frequency);
// Advances a due time by one tick: returns the whole milliseconds to add and keeps the fraction.
uint32_t TIMER_advance(uint32_t step, uint32_t* fraction);

// ---- Synchronous tasks ----

// Called with SYNCTASK_run's argument and how many ticks late it runs; results are ORed.
using SYNCTASK_fn = int (*)(void* arg, int late);
enum { SYNCTASK_MAX = 16 };

// First due `delay` ticks from now, then every `period` ticks. A function already listed gets
// the new period and due time. Returns 0 when the list is full.
int SYNCTASK_add(SYNCTASK_fn fn, int period, int delay);
void SYNCTASK_remove(SYNCTASK_fn fn);
// Runs the due tasks once per tick; a second call within the same tick runs nothing.
int SYNCTASK_run(void* arg);
// Runs the tasks until `ticks` have passed or a task returned non-zero; returns the OR.
int SYNCTASK_wait(void* arg, int ticks);
// Runs the tasks until the tick counter reaches `tick`.
void SYNCTASK_spin(void* arg, uint32_t tick);

// ---- Secondary timer ----

// Up to 8 handlers called on a thread of their own after every timer event; a handler is listed
// once and a full list ignores further ones. Removing the last handler stops the thread.
void LOWTIMER_add(void (*handler)());
void LOWTIMER_remove(void (*handler)());
