// GET requests whose answer waits on media (an HLS segment not cut yet, a
// first playlist, a picture) are suspended rather than waited for: the
// library's one request thread goes on serving every other connection, and
// the handler runs again when it is woken. Producers wake the waiters when
// something they may want arrives; the httpd thread wakes them ten times a
// second, so that time limits and quit are seen.
#include "web/web_wait.h"

#include <microhttpd.h>
#include <pthread.h>
#include <time.h>

namespace {

constexpr int kWaiters = 64;

struct Waiter {
  MHD_Connection *connection;   // NULL: free
  int64_t start_ms;
  int suspended;
  int woken;      // woken while its handler ran: it is not to suspend
  int data;
};

pthread_mutex_t waiters_mutex = PTHREAD_MUTEX_INITIALIZER;
Waiter waiters[kWaiters];
volatile int stopping;

int64_t now_ms(void) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

Waiter *find(MHD_Connection *c) {
  for (Waiter &w : waiters)
    if (w.connection == c) return &w;
  return nullptr;
}

}  // namespace

bool web_may_wait(WebRequest *req, uint32_t max_ms, int **data) {
  if (!req || !req->connection || stopping) return false;
  pthread_mutex_lock(&waiters_mutex);
  Waiter *w = find(req->connection);
  if (!w) {
    w = find(nullptr);
    if (w) *w = Waiter{req->connection, now_ms(), 0, 0, 0};
  }
  bool ok = w && now_ms() - w->start_ms < (int64_t)max_ms;
  // Only the request's own thread reads or writes it.
  if (w && data) *data = &w->data;
  if (w && !ok) w->connection = nullptr;
  pthread_mutex_unlock(&waiters_mutex);
  return ok;
}

int web_suspend(WebRequest *req) {
  pthread_mutex_lock(&waiters_mutex);
  Waiter *w = find(req->connection);
  if (w) {
    req->suspended = 1;
    // A wake-up that came while the handler looked is not lost: the library
    // calls the handler again at once instead. Nor is a stop: stopping is
    // set under this lock, and the library may not be stopped with a
    // connection suspended.
    if (w->woken || stopping) {
      w->woken = 0;
    } else {
      w->suspended = 1;
      MHD_suspend_connection(req->connection);
    }
  }
  pthread_mutex_unlock(&waiters_mutex);
  return w ? WEB_QUEUED : WEB_NOT_HANDLED;
}

void web_wait_done(MHD_Connection *connection) {
  pthread_mutex_lock(&waiters_mutex);
  if (Waiter *w = find(connection)) w->connection = nullptr;
  pthread_mutex_unlock(&waiters_mutex);
}

void web_wake_waiters(void) {
  pthread_mutex_lock(&waiters_mutex);
  for (Waiter &w : waiters) {
    if (!w.connection) continue;
    if (!w.suspended) {
      w.woken = 1;
      continue;
    }
    w.suspended = 0;
    MHD_resume_connection(w.connection);
  }
  pthread_mutex_unlock(&waiters_mutex);
}

void web_wait_stop(int stop) {
  pthread_mutex_lock(&waiters_mutex);
  stopping = stop;
  pthread_mutex_unlock(&waiters_mutex);
  if (stop) web_wake_waiters();
}
