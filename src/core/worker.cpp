#include "core/worker.h"

#include <cstdlib>
#include <sched.h>

#include "core/log.h"

struct WorkerTask {
  void *arg;
  WorkerFn fn;
};

struct Worker {
  pthread_mutex_t lock;
  pthread_cond_t cond;
  pthread_t thread;
  uint32_t stop;
  uint32_t capacity;
  uint32_t count;
  uint32_t head;  // index of the oldest task in the ring
  WorkerTask *tasks;
};

// Runs tasks in the order they were queued, never under the lock. On stop,
// tasks still queued are dropped.
static void *workerThrFxn(void *arg) {
  Worker *w = (Worker *)arg;
  pthread_mutex_lock(&w->lock);
  while (!w->stop) {
    if (w->count == 0) {
      pthread_cond_wait(&w->cond, &w->lock);
      continue;
    }
    WorkerTask t = w->tasks[w->head];
    w->head = (w->head + 1) % w->capacity;
    w->count--;
    pthread_mutex_unlock(&w->lock);
    t.fn(t.arg);
    sched_yield();
    pthread_mutex_lock(&w->lock);
  }
  pthread_mutex_unlock(&w->lock);
  return nullptr;
}

Worker *Worker_create(unsigned capacity, const pthread_attr_t *attr) {
  if (capacity == 0) return nullptr;
  Worker *w = (Worker *)calloc(1, sizeof *w);
  WorkerTask *tasks = (WorkerTask *)calloc(capacity, sizeof *tasks);
  if (!w || !tasks) {
    free(w);
    free(tasks);
    return nullptr;
  }
  w->tasks = tasks;
  pthread_mutex_init(&w->lock, nullptr);
  pthread_cond_init(&w->cond, nullptr);
  w->capacity = capacity;
  if (pthread_create(&w->thread, attr, workerThrFxn, w) != 0) {
    log_printf("failed to create thread\n");
    pthread_cond_destroy(&w->cond);
    pthread_mutex_destroy(&w->lock);
    free(w->tasks);
    free(w);
    return nullptr;
  }
  return w;
}

int Worker_add_task(Worker *w, WorkerFn fn, void *arg) {
  if (!w) {
    log_printf("%s: worker is NULL\n", "Worker_add_task");
    abort();
  }
  int rc = 0;
  pthread_mutex_lock(&w->lock);
  if (w->count < w->capacity) {
    w->tasks[(w->head + w->count) % w->capacity] = {arg, fn};
    w->count++;
    pthread_cond_signal(&w->cond);
  } else {
    rc = -1;
  }
  pthread_mutex_unlock(&w->lock);
  if (rc) log_printf("no free tasks\n");
  return rc;
}

void Worker_delete(Worker *w) {
  if (!w) return;
  pthread_mutex_lock(&w->lock);
  w->stop = 1;
  pthread_cond_signal(&w->cond);
  pthread_mutex_unlock(&w->lock);
  pthread_join(w->thread, nullptr);
  pthread_cond_destroy(&w->cond);
  pthread_mutex_destroy(&w->lock);
  free(w->tasks);
  free(w);
}
