#include "quillon/runtime/timer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quillon/runtime/faultcatch_test.h"
#include "quillon/runtime/thread.h"

namespace {

using Messages = std::vector<std::string>;

void wait_for_ticks(uint32_t n) {
  const uint32_t start = TIMER_ticks();
  while (TIMER_ticks() - start < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(TimerArithmetic, DueTimesAdvanceByTheFixedPointStep) {
  struct Case {
    int frequency;
    uint32_t step;
    std::vector<uint32_t> advances;
  } cases[] = {
      {100, 655360, {10, 10, 10, 10, 10, 10, 10}},
      {30, 2184533, {33, 33, 33, 34, 33, 33, 34}},
      {1000, 65536, {1, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frequency);
    EXPECT_EQ(TIMER_step(c.frequency), c.step);
    uint32_t fraction = 0;
    std::vector<uint32_t> got;
    for (size_t i = 0; i < c.advances.size(); ++i) got.push_back(TIMER_advance(c.step, &fraction));
    EXPECT_EQ(got, c.advances);
  }
}

TEST(Timer, InitAcceptsUpTo1000HzAndReportsTheRest) {
  struct Case {
    int frequency;
    int result;
    int running_at;
    Messages faults;
  } cases[] = {
      {1000, 1, 1000, {}},
      {1001, 0, 0, {"TIMER_init - MULTIMEDIA TIMER CANNOT SUPPORT THIS FREQUENCY.\n"}},
      {0, 1, 100, {}},
      {20000, 1, 100, {"TIMER_init - BAD TIMER FREQUENCY SPECIFIED 20000\n"}},
      {-5, 1, 100, {"TIMER_init - BAD TIMER FREQUENCY SPECIFIED -5\n"}},
  };
  FaultCatcher faults;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frequency);
    faults.clear();
    EXPECT_EQ(TIMER_init(c.frequency), c.result);
    EXPECT_EQ(TIMER_frequency(), c.running_at);
    EXPECT_EQ(faults.messages(), c.faults);
    if (c.result) {
      EXPECT_GE(TIMER_ticks(), 1u);  // the start-up waited for the first tick
    }
  }
  TIMER_stop();
  EXPECT_EQ(TIMER_frequency(), 0);
}

std::atomic<int> handler_calls{0};
void count_tick() {
  handler_calls.fetch_add(1);
}

TEST(Timer, TicksCallHandlersAndDriveTheMegahertzCounter) {
  ASSERT_EQ(TIMER_init(100), 1);
  ASSERT_EQ(TIMER_addhandler(count_tick), 1);
  handler_calls = 0;
  wait_for_ticks(3);
  TIMER_hold();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a tick already on its way lands
  const uint32_t held = TIMER_ticks();
  EXPECT_GE(handler_calls.load(), 2);
  // 1193 counts per millisecond, 10 ms per tick.
  EXPECT_EQ(TIMER_time(), held * 11930u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(TIMER_ticks(), held);
  TIMER_unhold();
  wait_for_ticks(1);
  TIMER_removehandler(count_tick);
  TIMER_stop();
  const int calls = handler_calls;
  const uint32_t stopped = TIMER_ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(TIMER_ticks(), stopped);
  EXPECT_EQ(handler_calls.load(), calls);
  EXPECT_EQ(TIMER_skips(), 0u);
}

CRIT* handler_lock;
void locking_tick() {
  CRIT_enter(handler_lock);
  CRIT_leave(handler_lock);
}

// A fault reported while holding a lock that a tick handler waits for still ends the program
// with status 1: the exit handlers do not wait for the blocked timer thread.
TEST(TimerDeathTest, FaultWhileATickHandlerWaitsStillEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto fault_under_lock = [] {
    handler_lock = CRIT_create();
    TIMER_init(100);
    TIMER_addhandler(locking_tick);
    CRIT_enter(handler_lock);
    wait_for_ticks(1);  // the handler of that tick blocks
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    FAULT("cmn/systask", "SYNCTASK_add - LIST FULL\n");
  };
  EXPECT_EXIT(fault_under_lock(), testing::ExitedWithCode(1), "LIST FULL");
}

// ---- Synchronous tasks ----

std::array<int, 17> task_calls{};
std::array<int, 17> task_late{};
template <int N>
int task(void*, int late) {
  ++task_calls[N];
  task_late[N] = late;
  return N == 3 && task_calls[N] >= 3 ? 4 : 0;
}
template <size_t... N>
constexpr std::array<SYNCTASK_fn, sizeof...(N)> make_tasks(std::index_sequence<N...>) {
  return {task<N>...};
}
constexpr auto tasks = make_tasks(std::make_index_sequence<17>());

class SyncTasks : public testing::Test {
 protected:
  void SetUp() override {
    task_calls = {};
    ASSERT_EQ(TIMER_init(100), 1);
  }
  void TearDown() override {
    for (SYNCTASK_fn fn : tasks) SYNCTASK_remove(fn);
    TIMER_stop();
  }
};

TEST_F(SyncTasks, RunOncePerTickWithTheLateness) {
  ASSERT_EQ(SYNCTASK_add(tasks[0], 1, 0), 1);
  SYNCTASK_run(nullptr);
  task_calls = {};
  wait_for_ticks(3);
  TIMER_stop();  // the clock stands still from here
  EXPECT_EQ(SYNCTASK_run(nullptr), 0);
  EXPECT_EQ(task_calls[0], 1);
  EXPECT_GE(task_late[0], 1);  // due one tick after its last run, run at least two ticks later
  SYNCTASK_run(nullptr);
  EXPECT_EQ(task_calls[0], 1);
}

TEST_F(SyncTasks, RestartKeepsTheTicksATaskStillHadToWait) {
  wait_for_ticks(60);  // the clock now runs well ahead of where a restart begins
  ASSERT_EQ(SYNCTASK_add(tasks[0], 1, 30), 1);
  TIMER_stop();
  ASSERT_EQ(TIMER_init(100), 1);
  SYNCTASK_run(nullptr);
  EXPECT_EQ(task_calls[0], 0);
  wait_for_ticks(31);
  SYNCTASK_run(nullptr);
  EXPECT_EQ(task_calls[0], 1);
}

TEST_F(SyncTasks, SeventeenthTaskFindsTheListFull) {
  FaultCatcher faults;
  for (int i = 0; i < 16; ++i) ASSERT_EQ(SYNCTASK_add(tasks[i], 1, 0), 1);
  EXPECT_EQ(SYNCTASK_add(tasks[5], 2, 1), 1);  // listed already: no new entry
  EXPECT_EQ(SYNCTASK_add(tasks[16], 1, 0), 0);
  EXPECT_EQ(faults.messages(), Messages{"SYNCTASK_add - LIST FULL\n"});
  SYNCTASK_remove(tasks[0]);
  EXPECT_EQ(SYNCTASK_add(tasks[16], 1, 0), 1);
}

TEST_F(SyncTasks, WaitEndsOnATaskResult) {
  ASSERT_EQ(SYNCTASK_add(tasks[3], 1, 0), 1);
  EXPECT_EQ(SYNCTASK_wait(nullptr, 1000), 4);
  EXPECT_EQ(task_calls[3], 3);
  const uint32_t until = TIMER_ticks() + 3;
  SYNCTASK_spin(nullptr, until);
  EXPECT_GE(TIMER_ticks(), until);
}

// ---- Secondary timer ----

std::array<std::atomic<int>, 9> low_calls{};
template <int N>
void low() {
  low_calls[N].fetch_add(1);
}
void low_removes_itself() {
  low_calls[0].fetch_add(1);
  LOWTIMER_remove(low_removes_itself);
}

TEST(Lowtimer, HandlersRunOnEveryTimerEvent) {
  ASSERT_EQ(TIMER_init(100), 1);
  for (auto& c : low_calls) c = 0;
  LOWTIMER_add(low<0>);
  LOWTIMER_add(low<0>);
  LOWTIMER_add(low<1>);
  LOWTIMER_add(low<2>);
  LOWTIMER_add(low<3>);
  LOWTIMER_add(low<4>);
  LOWTIMER_add(low<5>);
  LOWTIMER_add(low<6>);
  LOWTIMER_add(low<7>);
  LOWTIMER_add(low<8>);  // the list holds 8
  while (low_calls[7] < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(low_calls[8].load(), 0);
  LOWTIMER_remove(low<0>);
  const int first = low_calls[0];
  while (low_calls[7] < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(low_calls[0].load(), first);
  for (auto fn : {low<1>, low<2>, low<3>, low<4>, low<5>, low<6>, low<7>}) LOWTIMER_remove(fn);
  // The last handler may remove itself from its own thread.
  low_calls[0] = 0;
  LOWTIMER_add(low_removes_itself);
  while (low_calls[0] < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  LOWTIMER_add(low<8>);
  while (low_calls[8] < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  LOWTIMER_remove(low<8>);
  EXPECT_EQ(low_calls[0].load(), 1);
  TIMER_stop();
}

}  // namespace
