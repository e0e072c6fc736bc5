// The Worker runs tasks in order, refuses them when its queue is full and
// drops what is still queued when it is deleted.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/worker.h"
#include "test_root.h"

namespace {

// A task that holds the Worker thread until the test lets it go.
struct Gate {
  std::mutex m;
  std::atomic<bool> entered{false};
};
void gate_task(void *arg) {
  Gate *g = (Gate *)arg;
  g->entered = true;
  std::lock_guard<std::mutex> l(g->m);
}

std::mutex order_lock;
std::vector<int> order;
void record_task(void *arg) {
  std::lock_guard<std::mutex> l(order_lock);
  order.push_back((int)(intptr_t)arg);
}

std::string log_text(void) {
  static char buf[1 << 16];
  size_t n = log_read(buf, sizeof buf - 1);
  return std::string(buf, n);
}

// The scheduler state letter of one of this process's threads.
char thread_state(pid_t tid) {
  char path[64], buf[256] = {};
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)tid);
  FILE *f = fopen(path, "r");
  if (!f) return 0;
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  const char *p = strrchr(buf, ')');
  return p && p[1] && p[2] ? p[2] : 0;
}

void wait_entered(Gate &g) {
  EXPECT_TRUE(wait_until([&] { return g.entered == true; }, 30000)) << "the worker never began the task";
}

}  // namespace

TEST(Worker, RunsFortyEightQueuedTasksInOrderAndRefusesTheFortyNinth) {
  Worker *w = Worker_create(48, nullptr);
  ASSERT_NE(w, nullptr);
  order.clear();
  Gate g;
  g.m.lock();
  ASSERT_EQ(Worker_add_task(w, gate_task, &g), 0);
  wait_entered(g);  // the thread is busy: the queue is empty again
  for (int i = 0; i < 48; i++) ASSERT_EQ(Worker_add_task(w, record_task, (void *)(intptr_t)i), 0);
  log_reset();
  EXPECT_EQ(Worker_add_task(w, record_task, (void *)(intptr_t)99), -1);
  EXPECT_NE(log_text().find("no free tasks"), std::string::npos);
  g.m.unlock();

  EXPECT_TRUE(wait_until([] {
    std::lock_guard<std::mutex> l(order_lock);
    return order.size() >= 48;
  }, 30000)) << "the queued tasks did not all run";
  Worker_delete(w);
  std::vector<int> want;
  for (int i = 0; i < 48; i++) want.push_back(i);
  EXPECT_EQ(order, want);
}

TEST(Worker, DeleteEndsAfterTheRunningTaskAndDropsTheRest) {
  Worker *w = Worker_create(8, nullptr);
  order.clear();
  Gate g;
  g.m.lock();
  Worker_add_task(w, gate_task, &g);
  wait_entered(g);
  for (int i = 0; i < 5; i++) Worker_add_task(w, record_task, (void *)(intptr_t)i);
  std::atomic<pid_t> tid{0};
  std::thread deleter([w, &tid] {
    tid = gettid();
    Worker_delete(w);
  });
  // Release the running task only once the deleter sleeps in the join, that
  // is after it set the stop flag (nothing else in Worker_delete blocks).
  EXPECT_TRUE(wait_until([&] { return tid && thread_state(tid) == 'S'; }, 30000)) << "the deleter never slept";
  g.m.unlock();
  deleter.join();
  EXPECT_TRUE(order.empty());
}

TEST(WorkerDeathTest, AddingToNoWorkerIsAProgrammingFault) {
  EXPECT_DEATH(Worker_add_task(nullptr, record_task, nullptr), "Worker_add_task: worker is NULL");
}
