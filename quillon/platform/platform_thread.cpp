// Linux threads: pthread for the stack size, per-thread nice values or SCHED_FIFO for priority.
#include "quillon/platform/platform_thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace {

struct Start {
  void (*fn)(void*);
  void* arg;
};

void* trampoline(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.fn(start.arg);
  return nullptr;
}

// Nice value of each level -3..3; the top two levels ask for real-time scheduling first.
constexpr int kNice[7] = {19, 10, 5, 0, -5, -10, -15};

}  // namespace

int platform_thread_start(void (*fn)(void*), void* arg, size_t stack) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack > 0) pthread_attr_setstacksize(&attr, std::max<size_t>(stack, PTHREAD_STACK_MIN));
  auto* start = new Start{fn, arg};
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, trampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return 0;
  }
  return 1;
}

platform_tid platform_thread_self() {
  return static_cast<platform_tid>(syscall(SYS_gettid));
}

void platform_thread_setpriority(platform_tid tid, int level) {
  level = std::clamp(level, -3, 3);
  const auto id = static_cast<pid_t>(tid);
  if (level >= 2) {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + (level == 3 ? 2 : 1);
    if (sched_setscheduler(id, SCHED_FIFO, &param) == 0) return;
  } else {
    // Leaving real-time scheduling for a lower level; harmless when the thread never had it.
    sched_param param{};
    sched_setscheduler(id, SCHED_OTHER, &param);
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(id), kNice[level + 3]);
}
