// A stand-in save of the parameters for the screens' tests: from its start
// (in a menu script's step, say) it holds their write lock for half a
// second, as a save copying the block does, and watches whether what a
// screen stores shows up meanwhile. Stores must wait for the lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "core/param_access.h"
#include "test_root.h"

struct SaveProbe {
  std::thread saver;
  std::atomic<int> held{0};
  std::atomic<bool> early{false};
  std::function<bool()> written;

  void start(std::function<bool()> watch) {
    written = std::move(watch);
    held = 0;
    early = false;
    saver = std::thread([this] {
      param_write_begin();
      held = 1;
      for (int i = 0; i < 50 && !early; i++) {
        early = written();
        usleep(10000);
      }
      param_write_end();
    });
    EXPECT_TRUE(wait_until([this] { return held != 0; }, 30000)) << "the save never took the lock";
  }
  // True when what was watched was stored while the save held the lock.
  bool stored_while_held() {
    if (saver.joinable()) saver.join();
    return early;
  }
  ~SaveProbe() {
    if (saver.joinable()) saver.join();
  }
  // The lock is free: no store left it held.
  static bool lock_free() {
    if (pthread_mutex_trylock(&param_state.write_mutex) != 0) return false;
    pthread_mutex_unlock(&param_state.write_mutex);
    return true;
  }
};

// A save that holds the write lock until a store has come to wait for it:
// store runs on its own thread while this one holds the lock, and once that
// thread sleeps on the lock (its system call, as the kernel shows it) or
// has ended, changed() says whether the block was written meanwhile. Then
// the lock goes and the store finishes. No clock decides the outcome (the
// minute's bound only ends a stuck test): a store that never takes the lock
// runs on to the save after it, which waits too, with the block written.
struct HeldSave {
  // The thread sleeps in a futex wait on the write lock.
  static bool waits_for_lock(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/syscall", (int)tid);
    FILE *f = fopen(path, "r");
    if (!f) return false;
    long nr = -1;
    unsigned long long addr = 0;
    int n = fscanf(f, "%ld %llx", &nr, &addr);
    fclose(f);
    return n == 2 && nr == SYS_futex && addr == (uintptr_t)&param_state.write_mutex;
  }
  // Some thread of the process sleeps on the lock: a store made on a
  // server's own thread for a request the store thread sent.
  static bool some_thread_waits_for_lock(void) {
    bool found = false;
    if (DIR *d = opendir("/proc/self/task")) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.' && waits_for_lock((pid_t)atoi(e->d_name))) found = true;
      closedir(d);
    }
    return found;
  }
  // True when changed() saw the block written while the lock was held.
  static bool changed_while_held(std::function<void()> store, std::function<bool()> changed) {
    return held(store, changed, false);
  }
  // The same for a store that waits on another thread than its own.
  static bool changed_while_held_anywhere(std::function<void()> store, std::function<bool()> changed) {
    return held(store, changed, true);
  }
  static bool held(std::function<void()> store, std::function<bool()> changed, bool any_thread) {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    param_write_begin();
    std::thread t([&] {
      tid = (pid_t)syscall(SYS_gettid);
      store();
      done = true;
    });
    bool waiting = false;
    for (int i = 0; i < 60000 && !done && !waiting; i++) {
      usleep(1000);
      waiting = any_thread ? some_thread_waits_for_lock() : tid && waits_for_lock(tid);
    }
    bool seen = changed();
    param_write_end();
    t.join();
    EXPECT_TRUE(waiting || done) << "the store neither waited for the lock nor ended";
    return seen;
  }
};
