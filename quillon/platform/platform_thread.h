// Threads with a chosen stack size and scheduling priority: the two things about a thread that
// the C++ library cannot express.
#pragma once

#include <cstddef>
#include <cstdint>

// The kernel's id of a thread (a Linux tid), usable to change its priority from any thread.
using platform_tid = int64_t;

// Starts fn(arg) on a new detached thread with at least `stack` bytes of stack (0 = the system's
// default). Returns 1, or 0 when the system refused.
int platform_thread_start(void (*fn)(void*), void* arg, size_t stack);

platform_tid platform_thread_self();

// Applies a priority level -3 (idle) .. 3 (time-critical) to a thread, as far as the process is
// allowed to: real-time scheduling for the top levels when permitted, else nice values. Never
// fails: a level the system refuses leaves the thread's scheduling as it was.
void platform_thread_setpriority(platform_tid tid, int level);
