// The engine's lock and its output thread, over the runtime's critical sections and threads.
#include <chrono>
#include <thread>

#include "quillon/engine/engine_internal.h"
#include "quillon/runtime/thread.h"

namespace eng {
namespace {

// One lock for the life of the process: clients may lock before the first start and after a
// stop, and a section deleted at stop could still be waited on by a late caller.
CRIT* lock() {
  static CRIT* const crit = CRIT_create();
  return crit;
}

THREAD output{};
void (*body)() = nullptr;

void run(void*) {
  body();
}

}  // namespace

void sys_lock() {
  CRIT_enter(lock());
}
void sys_unlock() {
  CRIT_leave(lock());
}

bool sys_threadstart(void (*fn)()) {
  body = fn;
  return THREAD_create(run, nullptr, 0, THREAD_TIMECRITICAL, &output) == 1;
}

void sys_threadjoin() {
  if (output.serial != 0) THREAD_wait(&output, 0);
  output = THREAD{};
}

// The service period is in milliseconds, finer than the runtime's ticks.
void sys_sleepms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace eng
