// Pointer FIFOs between threads. Each carries an eventfd that is readable
// exactly while entries are queued or after a flush, so a thread can poll a
// FIFO together with sockets.
#include "platform/framework/dmai.h"

#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

struct Fifo_Object {
  pthread_mutex_t lock;
  pthread_cond_t cond;
  void **ring;
  int cap, head, count;
  bool flushed;
  int efd;
};

// Called under the lock: the eventfd's counter is 1 or 0 with readiness.
static void fifo_signal(Fifo_Object *f, bool ready) {
  uint64_t v;
  if (ready) {
    v = 1;
    (void)!write(f->efd, &v, sizeof v);
  } else {
    (void)!read(f->efd, &v, sizeof v);
  }
}

Fifo_Handle Fifo_create(void) {
  Fifo_Object *f = (Fifo_Object *)calloc(1, sizeof *f);
  if (!f) return nullptr;
  f->efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  f->cap = 16;
  f->ring = (void **)calloc((size_t)f->cap, sizeof *f->ring);
  if (f->efd < 0 || !f->ring) {
    if (f->efd >= 0) close(f->efd);
    free(f->ring);
    free(f);
    return nullptr;
  }
  pthread_mutex_init(&f->lock, nullptr);
  pthread_cond_init(&f->cond, nullptr);
  return f;
}

int Fifo_delete(Fifo_Handle f) {
  if (!f) return -1;
  close(f->efd);
  pthread_cond_destroy(&f->cond);
  pthread_mutex_destroy(&f->lock);
  free(f->ring);
  free(f);
  return 0;
}

// A put after the flush is refused: nobody will ever get it.
int Fifo_put(Fifo_Handle f, void *ptr) {
  if (!f) return -1;
  pthread_mutex_lock(&f->lock);
  int rc = 0;
  if (f->flushed) {
    rc = -1;
  } else {
    if (f->count == f->cap) {
      void **n = (void **)calloc((size_t)f->cap * 2, sizeof *n);
      if (!n) {
        pthread_mutex_unlock(&f->lock);
        return -1;
      }
      for (int i = 0; i < f->count; i++) n[i] = f->ring[(f->head + i) % f->cap];
      free(f->ring);
      f->ring = n;
      f->head = 0;
      f->cap *= 2;
    }
    f->ring[(f->head + f->count) % f->cap] = ptr;
    if (f->count++ == 0) fifo_signal(f, true);
    pthread_cond_signal(&f->cond);
  }
  pthread_mutex_unlock(&f->lock);
  return rc;
}

int Fifo_get(Fifo_Handle f, void **ptr) {
  if (!f || !ptr) return -1;
  pthread_mutex_lock(&f->lock);
  while (!f->flushed && f->count == 0) pthread_cond_wait(&f->cond, &f->lock);
  int rc = 1;
  if (!f->flushed) {
    *ptr = f->ring[f->head];
    f->head = (f->head + 1) % f->cap;
    if (--f->count == 0) fifo_signal(f, false);
    rc = 0;
  }
  pthread_mutex_unlock(&f->lock);
  return rc;
}

int Fifo_getNumEntries(Fifo_Handle f) {
  if (!f) return -1;
  pthread_mutex_lock(&f->lock);
  int n = f->count;
  pthread_mutex_unlock(&f->lock);
  return n;
}

// The end of use: queued entries are dropped and every get, now and later,
// returns 1. The descriptor stays readable so pollers wake and see it.
int Fifo_flush(Fifo_Handle f) {
  if (!f) return -1;
  pthread_mutex_lock(&f->lock);
  if (!f->flushed) {
    f->flushed = true;
    if (f->count == 0) fifo_signal(f, true);
    f->count = 0;
  }
  pthread_cond_broadcast(&f->cond);
  pthread_mutex_unlock(&f->lock);
  return 0;
}

int Fifo_getFd(Fifo_Handle f) { return f ? f->efd : -1; }
