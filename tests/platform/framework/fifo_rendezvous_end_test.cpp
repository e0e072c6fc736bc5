// The end-of-use signals the threads rely on at shutdown: a flushed Fifo
// answers 1 for ever, a forced Rendezvous lets every meeting through.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

#include "platform/framework/dmai.h"

static bool fd_readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(Fifo, KeepsOrderAndPollsReadableOnlyWhileEntriesAreQueued) {
  Fifo_Handle f = Fifo_create();
  ASSERT_NE(f, nullptr);
  int fd = Fifo_getFd(f);
  EXPECT_FALSE(fd_readable(fd));
  int v[40];
  for (int i = 0; i < 40; i++) ASSERT_EQ(Fifo_put(f, &v[i]), 0);  // grows past its first ring
  EXPECT_EQ(Fifo_getNumEntries(f), 40);
  EXPECT_TRUE(fd_readable(fd));
  for (int i = 0; i < 40; i++) {
    void *p = nullptr;
    ASSERT_EQ(Fifo_get(f, &p), 0);
    EXPECT_EQ(p, &v[i]);
  }
  EXPECT_FALSE(fd_readable(fd));
  EXPECT_EQ(Fifo_getFd(nullptr), -1);
  Fifo_delete(f);
}

TEST(Fifo, EveryGetAfterFlushReturnsOneForEver) {
  Fifo_Handle f = Fifo_create();
  int a, b;
  Fifo_put(f, &a);
  Fifo_put(f, &b);
  ASSERT_EQ(Fifo_flush(f), 0);
  EXPECT_EQ(Fifo_getNumEntries(f), 0);
  for (int i = 0; i < 5; i++) {
    void *p = &a;
    EXPECT_EQ(Fifo_get(f, &p), 1);
    EXPECT_EQ(p, &a);  // untouched
  }
  // A put after the end is refused, and does not revive the queue.
  EXPECT_LT(Fifo_put(f, &b), 0);
  void *p;
  EXPECT_EQ(Fifo_get(f, &p), 1);
  EXPECT_TRUE(fd_readable(Fifo_getFd(f)));
  Fifo_delete(f);
}

TEST(Fifo, FlushWakesABlockedGetter) {
  Fifo_Handle f = Fifo_create();
  std::atomic<int> rc{-100};
  std::thread t([&] {
    void *p;
    rc = Fifo_get(f, &p);
  });
  Fifo_flush(f);
  t.join();
  EXPECT_EQ(rc.load(), 1);
  Fifo_delete(f);
}

TEST(Rendezvous, MeetingReleasesAllAndRearms) {
  Rendezvous_Handle r = Rendezvous_create(3);
  std::atomic<int> passed{0};
  for (int round = 0; round < 2; round++) {
    std::thread a([&] { Rendezvous_meet(r); passed++; });
    std::thread b([&] { Rendezvous_meet(r); passed++; });
    Rendezvous_meet(r);  // the third party completes the meeting
    a.join();
    b.join();
    EXPECT_EQ(passed.load(), 2 * (round + 1));
  }
  Rendezvous_delete(r);
}

TEST(Rendezvous, ForceReleasesWaitersAndEveryLaterMeet) {
  Rendezvous_Handle r = Rendezvous_create(20);
  std::thread waiter([&] { Rendezvous_meet(r); });
  Rendezvous_force(r);
  waiter.join();
  for (int i = 0; i < 50; i++) Rendezvous_meet(r);  // would block without the force
  // A reset re-arms it: a two-party meeting needs both again.
  Rendezvous_reset(r);
  Rendezvous_setCount(r, 2);
  std::atomic<bool> done{false};
  std::thread t([&] { Rendezvous_meet(r); done = true; });
  Rendezvous_meet(r);
  t.join();
  EXPECT_TRUE(done.load());
  Rendezvous_delete(r);
}

TEST(Rendezvous, LoweringTheCountReleasesPartiesAlreadyWaiting) {
  Rendezvous_Handle r = Rendezvous_create(5);
  std::thread a([&] { Rendezvous_meet(r); });
  std::thread b([&] { Rendezvous_meet(r); });
  // Threads that were never started will not come: count only the two. Once
  // both wait, only setCount's own release can free them.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Rendezvous_setCount(r, 2);
  a.join();
  b.join();
  Rendezvous_delete(r);
}

TEST(Pause, TestBlocksWhileOn) {
  Pause_Handle p = Pause_create();
  Pause_test(p);  // off: returns at once
  Pause_on(p);
  EXPECT_TRUE(Pause_isOn(p));
  std::atomic<bool> passed{false};
  std::thread t([&] { Pause_test(p); passed = true; });
  Pause_off(p);
  t.join();
  EXPECT_TRUE(passed.load());
  Pause_delete(p);
}
