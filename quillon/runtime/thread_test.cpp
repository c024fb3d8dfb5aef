#include "quillon/runtime/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Blocked {
  EVENT* go = EVENT_create(1, 0);
  std::atomic<int> ran{0};
  std::atomic<int> on_main{-1};
  ~Blocked() { EVENT_delete(go); }
};

void wait_for_go(void* p) {
  auto* b = static_cast<Blocked*>(p);
  b->on_main = THREAD_ismain();
  EVENT_wait(b->go, WAIT_FOREVER);
  b->ran.fetch_add(1);
}

TEST(Thread, RunsRegisteredAndIsWaitedFor) {
  Blocked b;
  THREAD t;
  ASSERT_EQ(THREAD_create(wait_for_go, &b, 65536, THREAD_BELOW, &t), 1);
  EXPECT_NE(t.serial, 0u);
  EXPECT_EQ(THREAD_wait(&t, 2), 0);  // still blocked
  EXPECT_EQ(THREAD_getpriority(&t), THREAD_BELOW);
  // Best effort: every level is accepted and recorded whatever the system allows.
  for (int level = THREAD_IDLE; level <= THREAD_TIMECRITICAL; ++level) {
    EXPECT_EQ(THREAD_setpriority(&t, level), 1);
    EXPECT_EQ(THREAD_getpriority(&t), level);
  }
  EVENT_set(b.go);
  EXPECT_EQ(THREAD_wait(&t, 0), 1);
  EXPECT_EQ(b.ran.load(), 1);
  EXPECT_EQ(b.on_main.load(), 0);
  EXPECT_TRUE(THREAD_ismain());
  EXPECT_EQ(THREAD_setpriority(&t, 1), 0);  // it has ended
}

TEST(Thread, FullTableRefusesTheNextThread) {
  Blocked b;
  std::vector<THREAD> threads(THREAD_TABLESIZE);
  int started = 0;
  for (THREAD& t : threads) started += THREAD_create(wait_for_go, &b, 0, 0, &t);
  // The table may hold threads of other tests still ending; it is full either way.
  THREAD extra;
  EXPECT_EQ(THREAD_create(wait_for_go, &b, 0, 0, &extra), 0);
  EXPECT_EQ(extra.serial, 0u);
  EVENT_set(b.go);
  for (THREAD& t : threads) EXPECT_EQ(THREAD_wait(&t, 0), 1);
  EXPECT_EQ(b.ran.load(), started);
}

struct Counter {
  CRIT* crit = CRIT_create();
  long value = 0;
};

void add_many(void* p) {
  auto* c = static_cast<Counter*>(p);
  for (int i = 0; i < 20000; ++i) {
    CRIT_enter(c->crit);
    CRIT_enter(c->crit);  // sections nest on one thread
    ++c->value;
    CRIT_leave(c->crit);
    CRIT_leave(c->crit);
  }
}

TEST(Crit, ExcludesOtherThreadsAndReturnsToThePool) {
  Counter c;
  THREAD a, b;
  ASSERT_EQ(THREAD_create(add_many, &c, 0, 0, &a), 1);
  ASSERT_EQ(THREAD_create(add_many, &c, 0, 0, &b), 1);
  THREAD_wait(&a, 0);
  THREAD_wait(&b, 0);
  EXPECT_EQ(c.value, 40000);
  CRIT_delete(c.crit);
  CRIT_delete(c.crit);  // already back in the pool: left alone
  CRIT* again = CRIT_create();
  EXPECT_EQ(again, c.crit);
  CRIT_delete(again);
}

TEST(Event, AutoAndManualResetAndWaitingOnSeveral) {
  EVENT* automatic = EVENT_create(0, 1);
  EVENT* manual = EVENT_create(1, 0);
  EXPECT_EQ(EVENT_wait(automatic, 0), 1);
  EXPECT_EQ(EVENT_wait(automatic, 0), 0);
  EVENT_set(manual);
  EXPECT_EQ(EVENT_wait(manual, 0), 1);
  EXPECT_EQ(EVENT_wait(manual, 1), 1);
  EVENT_reset(manual);
  EVENT* both[2] = {automatic, manual};
  EXPECT_EQ(EVENT_waitmany(both, 2, 1), -1);
  std::thread setter([&] { EVENT_set(manual); });
  EXPECT_EQ(EVENT_waitmany(both, 2, WAIT_FOREVER), 1);
  setter.join();
  EVENT_set(automatic);
  EXPECT_EQ(EVENT_waitmany(both, 2, 0), 0);  // the first set event in order
  EVENT_delete(automatic);
  EVENT_delete(manual);
}

}  // namespace
