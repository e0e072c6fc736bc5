// The RTSP event loop: delayed tasks in order, event triggers fired from
// other threads wake it at once and may coalesce, a deleted trigger never
// runs, and a handler can run a loop of its own inside the loop.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "streaming/rtsp/scheduler.h"

namespace {

struct Loop {
  TaskScheduler *s = BasicTaskScheduler::createNew(10000);
  ~Loop() { delete s; }
};

TEST(RtspEventLoop, DelayedTasksRunInOrderAndCanBeCancelled) {
  Loop l;
  std::vector<int> order;
  struct Ctx { std::vector<int> *order; int n; volatile uint8_t *done; };
  volatile uint8_t done = 0;
  Ctx a{&order, 1, &done}, b{&order, 2, &done}, c{&order, 3, &done}, d{&order, 4, &done};
  auto note = [](void *p) { Ctx *c = static_cast<Ctx *>(p); c->order->push_back(c->n); };
  l.s->scheduleDelayedTask(30000, note, &b);
  l.s->scheduleDelayedTask(0, note, &a);
  TaskToken t = l.s->scheduleDelayedTask(20000, note, &c);
  l.s->scheduleDelayedTask(50000, [](void *p) {
    Ctx *c = static_cast<Ctx *>(p);
    c->order->push_back(c->n);
    *c->done = 1;
  }, &d);
  l.s->unscheduleDelayedTask(t);
  EXPECT_EQ(t, nullptr);
  l.s->doEventLoop(&done);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4}));
}

TEST(RtspEventLoop, TriggersFromOtherThreadsWakeTheLoopAndCoalesce) {
  Loop l;
  struct Ctx { std::atomic<int> calls{0}; volatile uint8_t done = 0; };
  Ctx ctx;
  EventTriggerId id = l.s->createEventTrigger([](void *p) {
    Ctx *c = static_cast<Ctx *>(p);
    if (++c->calls >= 1) c->done = 1;
  }, &ctx);
  ASSERT_NE(id, 0u);
  std::thread producer([&] {
    for (int i = 0; i < 1000; i++) l.s->triggerEvent(id);
  });
  producer.join();
  l.s->doEventLoop(&ctx.done);
  l.s->singleStep(1000);
  // A thousand triggers before the loop ran give far fewer calls.
  EXPECT_GE(ctx.calls.load(), 1);
  EXPECT_LT(ctx.calls.load(), 10);
}

TEST(RtspEventLoop, DeletedTriggerIsNeverCalledAndSlotsAreReused) {
  Loop l;
  int calls = 0;
  EventTriggerId id = l.s->createEventTrigger([](void *p) { ++*static_cast<int *>(p); }, &calls);
  l.s->triggerEvent(id);
  l.s->deleteEventTrigger(id);
  for (int i = 0; i < 5; i++) l.s->singleStep(1000);
  EXPECT_EQ(calls, 0);
  // Every slot can be had, and one more cannot.
  std::vector<EventTriggerId> ids;
  for (int i = 0; i < RTSP_MAX_EVENT_TRIGGERS; i++) {
    ids.push_back(l.s->createEventTrigger([](void *) {}, nullptr));
    EXPECT_NE(ids.back(), 0u);
  }
  EXPECT_EQ(l.s->createEventTrigger([](void *) {}, nullptr), 0u);
  for (EventTriggerId t : ids) l.s->deleteEventTrigger(t);
  EXPECT_NE(l.s->createEventTrigger([](void *) {}, nullptr), 0u);
}

TEST(RtspEventLoop, HandlersMayRunANestedLoop) {
  Loop l;
  struct Ctx { TaskScheduler *s; volatile uint8_t inner = 0, outer = 0; int order = 0; int innerAt = 0; };
  Ctx ctx;
  ctx.s = l.s;
  l.s->scheduleDelayedTask(0, [](void *p) {
    Ctx *c = static_cast<Ctx *>(p);
    c->s->scheduleDelayedTask(20000, [](void *q) {
      Ctx *c = static_cast<Ctx *>(q);
      c->innerAt = ++c->order;
      c->inner = 1;
    }, c);
    c->s->doEventLoop(&c->inner);   // returns once the inner task ran
    c->outer = 1;
    ++c->order;
  }, &ctx);
  l.s->doEventLoop(&ctx.outer);
  EXPECT_EQ(ctx.innerAt, 1);
  EXPECT_EQ(ctx.order, 2);
}

TEST(RtspEventLoop, WatchVariableSetElsewhereEndsTheLoop) {
  Loop l;
  volatile uint8_t watch = 0;
  std::thread t([&] {
    usleep(50000);
    __atomic_store_n(&watch, (uint8_t)2, __ATOMIC_RELEASE);
  });
  l.s->doEventLoop(&watch);   // the 10 ms granularity notices it
  t.join();
  EXPECT_EQ(watch, 2);
}

}  // namespace
