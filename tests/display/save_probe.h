// A stand-in save of the parameters for the screens' tests: from its start
// (in a menu script's step, say) it holds their write lock for half a
// second, as a save copying the block does, and watches whether what a
// screen stores shows up meanwhile. Stores must wait for the lock.
#pragma once
#include <atomic>
#include <functional>
#include <pthread.h>
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
