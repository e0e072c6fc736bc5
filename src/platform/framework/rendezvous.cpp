// Thread rendezvous and pause flags.
#include "platform/framework/dmai.h"

#include <cstdlib>
#include <pthread.h>

struct Rendezvous_Object {
  pthread_mutex_t lock;
  pthread_cond_t cond;
  int count;       // parties per meeting
  int arrived;     // parties waiting in the current meeting
  unsigned round;  // bumped when a meeting completes, releasing its waiters
  bool forced;
};

Rendezvous_Handle Rendezvous_create(int count) {
  if (count <= 0) return nullptr;
  Rendezvous_Object *r = (Rendezvous_Object *)calloc(1, sizeof *r);
  if (!r) return nullptr;
  pthread_mutex_init(&r->lock, nullptr);
  pthread_cond_init(&r->cond, nullptr);
  r->count = count;
  return r;
}

int Rendezvous_delete(Rendezvous_Handle r) {
  if (!r) return -1;
  pthread_cond_destroy(&r->cond);
  pthread_mutex_destroy(&r->lock);
  free(r);
  return 0;
}

// Called under the lock: completes the meeting and re-arms for the next.
static void rendezvous_release(Rendezvous_Object *r) {
  r->arrived = 0;
  r->round++;
  pthread_cond_broadcast(&r->cond);
}

void Rendezvous_meet(Rendezvous_Handle r) {
  if (!r) return;
  pthread_mutex_lock(&r->lock);
  if (!r->forced) {
    if (++r->arrived >= r->count) {
      rendezvous_release(r);
    } else {
      unsigned round = r->round;
      while (!r->forced && r->round == round) pthread_cond_wait(&r->cond, &r->lock);
    }
  }
  pthread_mutex_unlock(&r->lock);
}

void Rendezvous_force(Rendezvous_Handle r) {
  if (!r) return;
  pthread_mutex_lock(&r->lock);
  r->forced = true;
  rendezvous_release(r);
  pthread_mutex_unlock(&r->lock);
}

void Rendezvous_reset(Rendezvous_Handle r) {
  if (!r) return;
  pthread_mutex_lock(&r->lock);
  r->forced = false;
  r->arrived = 0;
  pthread_mutex_unlock(&r->lock);
}

// Parties already waiting are released when the lower count is reached.
void Rendezvous_setCount(Rendezvous_Handle r, int count) {
  if (!r || count <= 0) return;
  pthread_mutex_lock(&r->lock);
  r->count = count;
  if (r->arrived && r->arrived >= count) rendezvous_release(r);
  pthread_mutex_unlock(&r->lock);
}

struct Pause_Object {
  pthread_mutex_t lock;
  pthread_cond_t cond;
  bool on;
};

Pause_Handle Pause_create(void) {
  Pause_Object *p = (Pause_Object *)calloc(1, sizeof *p);
  if (!p) return nullptr;
  pthread_mutex_init(&p->lock, nullptr);
  pthread_cond_init(&p->cond, nullptr);
  return p;
}

int Pause_delete(Pause_Handle p) {
  if (!p) return -1;
  pthread_cond_destroy(&p->cond);
  pthread_mutex_destroy(&p->lock);
  free(p);
  return 0;
}

void Pause_on(Pause_Handle p) {
  if (!p) return;
  pthread_mutex_lock(&p->lock);
  p->on = true;
  pthread_mutex_unlock(&p->lock);
}

void Pause_off(Pause_Handle p) {
  if (!p) return;
  pthread_mutex_lock(&p->lock);
  p->on = false;
  pthread_cond_broadcast(&p->cond);
  pthread_mutex_unlock(&p->lock);
}

void Pause_test(Pause_Handle p) {
  if (!p) return;
  pthread_mutex_lock(&p->lock);
  while (p->on) pthread_cond_wait(&p->cond, &p->lock);
  pthread_mutex_unlock(&p->lock);
}

bool Pause_isOn(Pause_Handle p) {
  if (!p) return false;
  pthread_mutex_lock(&p->lock);
  bool on = p->on;
  pthread_mutex_unlock(&p->lock);
  return on;
}
