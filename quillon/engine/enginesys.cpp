// The engine's lock and its output thread, over the standard library.
#include <chrono>
#include <mutex>
#include <thread>

#include "quillon/engine/engine_internal.h"

namespace eng {
namespace {
std::recursive_mutex lock;
std::thread output;
}  // namespace

void sys_lock() {
  lock.lock();
}
void sys_unlock() {
  lock.unlock();
}

bool sys_threadstart(void (*fn)()) {
  try {
    output = std::thread(fn);
  } catch (...) {
    return false;
  }
  return true;
}

void sys_threadjoin() {
  if (output.joinable()) output.join();
}

void sys_sleepms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace eng
