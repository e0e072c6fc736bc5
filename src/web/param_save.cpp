// paramSaveThrFxn: the deferred save of the parameter block to flash.
#include "web/param_save.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "core/global.h"
#include "core/log.h"
#include "core/param_flash.h"

namespace {

pthread_mutex_t save_request_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t save_request_cond;
bool cond_ready;
pthread_t save_thread;
bool running;
bool stop_requested;
unsigned requests;      // signals not yet taken by the thread
unsigned saves_done;
unsigned requests_total;

bool quitting(void) { return stop_requested || get_exit_code() != 0; }

void init_cond(void) {
  if (cond_ready) return;
  // Deadlines are counted on the monotonic clock: setting the wall clock
  // from a form must not move them.
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&save_request_cond, &attr);
  pthread_condattr_destroy(&attr);
  cond_ready = true;
}

}  // namespace

void *paramSaveThrFxn(void *arg) {
  (void)arg;
  bool merging = false;
  pthread_mutex_lock(&save_request_mutex);
  for (;;) {
    while (!requests && !quitting()) pthread_cond_wait(&save_request_cond, &save_request_mutex);
    if (!requests) break;
    requests = 0;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += merging ? 10 : 1;
    merging = false;
    // Requests while waiting only mark the next wait as a merging one; the
    // deadline stays. Quit ends the wait early, and the save still happens.
    while (!quitting()) {
      int rc = pthread_cond_timedwait(&save_request_cond, &save_request_mutex, &deadline);
      if (requests) {
        merging = true;
        requests = 0;
      }
      if (rc == ETIMEDOUT) break;
    }
    pthread_mutex_unlock(&save_request_mutex);
    save_and_apply_params();
    pthread_mutex_lock(&save_request_mutex);
    saves_done++;
  }
  pthread_mutex_unlock(&save_request_mutex);
  return nullptr;
}

int param_save_start(void) {
  pthread_mutex_lock(&save_request_mutex);
  init_cond();
  if (running) {
    pthread_mutex_unlock(&save_request_mutex);
    return 0;
  }
  stop_requested = false;
  requests = 0;
  pthread_mutex_unlock(&save_request_mutex);
  if (pthread_create(&save_thread, nullptr, paramSaveThrFxn, nullptr) != 0) {
    log_printf("%s: cannot start the save thread\n", "param_save_start");
    return -1;
  }
  pthread_setname_np(save_thread, "paramSave");
  running = true;
  return 0;
}

void param_save_stop(void) {
  if (!running) return;
  pthread_mutex_lock(&save_request_mutex);
  stop_requested = true;
  pthread_cond_signal(&save_request_cond);
  pthread_mutex_unlock(&save_request_mutex);
  pthread_join(save_thread, nullptr);
  running = false;
}

void param_save_request(void) {
  pthread_mutex_lock(&save_request_mutex);
  init_cond();
  requests++;
  requests_total++;
  pthread_cond_signal(&save_request_cond);
  pthread_mutex_unlock(&save_request_mutex);
}

unsigned param_save_count(void) {
  pthread_mutex_lock(&save_request_mutex);
  unsigned n = saves_done;
  pthread_mutex_unlock(&save_request_mutex);
  return n;
}

unsigned param_save_requests(void) {
  pthread_mutex_lock(&save_request_mutex);
  unsigned n = requests_total;
  pthread_mutex_unlock(&save_request_mutex);
  return n;
}
