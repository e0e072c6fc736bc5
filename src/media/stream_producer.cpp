#include "media/stream_producer.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include "core/global.h"
#include "core/log.h"
#include "core/startup.h"
#include "media/stream_ids.h"
#include "media/stream_queue.h"

namespace {

StreamQueue *queue_of_state(const ProducerState *state) {
  for (uint32_t id = 0; id < STREAM_ID_COUNT; id++)
    if (stream_run_states[id] == state && stream_queues[id]) return stream_queues[id];
  return nullptr;
}

ProducerState *state_of_queue(const StreamQueue *queue) {
  for (uint32_t id = 0; id < STREAM_ID_COUNT; id++)
    if (stream_queues[id] == queue) return stream_run_states[id];
  return nullptr;
}

// With state->mutex held; held_queue is a queue whose mutex the caller holds
// too (it is taken after the state's, as the lock order wants).
void set_state_locked(ProducerState *state, int run, StreamQueue *held_queue) {
  if (run == 1) {
    state->flags = (state->flags | STREAM_START) & ~STREAM_STOPPED;
  } else {
    state->flags = (state->flags & ~STREAM_START) | STREAM_STOP | STREAM_STOPPED;
    // Consumers blocked in a dequeue wake and see the stop.
    StreamQueue *q = queue_of_state(state);
    if (q) {
      if (q != held_queue) pthread_mutex_lock(&q->mutex);
      pthread_cond_broadcast(&q->cond);
      stream_queue_wake_all(q);
      if (q != held_queue) pthread_mutex_unlock(&q->mutex);
    }
  }
  pthread_cond_broadcast(&state->cond);
  if (state->event_fd > 0) {
    uint64_t one = 1;
    if (write(state->event_fd, &one, sizeof one) != (ssize_t)sizeof one)
      log_printf("stream_set_state event_fd write: %s\n", strerror(errno));
  }
}

ProducerState *state_by_id(uint32_t id, const char *fn) {
  ProducerState *st = id < STREAM_ID_COUNT ? stream_run_states[id].load() : nullptr;
  if (!st) log_printf("%s: invalid streamid %d\n", fn, (int)id);
  return st;
}

}  // namespace

void stream_set_state(ProducerState *state, int run) {
  pthread_mutex_lock(&state->mutex);
  set_state_locked(state, run, nullptr);
  pthread_mutex_unlock(&state->mutex);
}

void stream_set_state_by_id(uint32_t id, int run) {
  pthread_mutex_lock(&stream_register_mutex);
  ProducerState *st = state_by_id(id, "stream_set_state_by_id");
  if (st) stream_set_state(st, run);
  pthread_mutex_unlock(&stream_register_mutex);
}

int stream_get_state_by_id(uint32_t id) {
  pthread_mutex_lock(&stream_register_mutex);
  ProducerState *st = state_by_id(id, "stream_get_state_by_id");
  int running = -1;
  if (st) {
    pthread_mutex_lock(&st->mutex);
    running = (st->flags & STREAM_STOPPED) ? 0 : 1;
    pthread_mutex_unlock(&st->mutex);
  }
  pthread_mutex_unlock(&stream_register_mutex);
  return running;
}

void stream_restart(uint32_t id) {
  pthread_mutex_lock(&stream_register_mutex);
  ProducerState *st = state_by_id(id, "stream_restart");
  if (!st) {
    pthread_mutex_unlock(&stream_register_mutex);
    return;
  }
  StreamQueue *q = stream_queues[id];
  pthread_mutex_lock(&st->mutex);
  int consumers = 0;
  if (q) {
    pthread_mutex_lock(&q->mutex);
    consumers = q->consumers;
    pthread_mutex_unlock(&q->mutex);
  }
  if (consumers > 0 || !(st->flags & STREAM_STOPPED)) {
    set_state_locked(st, 0, nullptr);
    set_state_locked(st, 1, nullptr);
  }
  pthread_mutex_unlock(&st->mutex);
  pthread_mutex_unlock(&stream_register_mutex);
}

void stream_stop_all(void) {
  log_printf("stopping all streams\n");
  bool quitting = get_exit_code() != EXIT_RUNNING;
  pthread_mutex_lock(&stream_register_mutex);
  for (uint32_t id = 0; id < STREAM_ID_COUNT; id++) {
    ProducerState *st = stream_run_states[id];
    // The serial services keep running until the process quits.
    if (!st || (id == SERIAL_STREAM && !quitting)) continue;
    stream_set_state(st, 0);
  }
  pthread_mutex_unlock(&stream_register_mutex);
  if (core_hooks.display_wakeup) core_hooks.display_wakeup();
}

// The count and the run flags change together under both locks, so a racing
// attach and detach never leave a stopped producer with consumers or a
// running one without.
bool stream_consumer_add(uint32_t id) {
  StreamQueue *q = get_stream_queue(id);
  if (!q) return false;
  ProducerState *st = stream_run_states[id];
  if (st) pthread_mutex_lock(&st->mutex);
  pthread_mutex_lock(&q->mutex);
  if (q->consumers++ == 0 && st) {
    // A consumer that comes as the last one leaves must not see the run end
    // under it: a stop the producer has not looked at yet is taken back.
    // (START stays set: a producer between its look and its wait starts
    // again.)
    if ((st->flags & STREAM_STOP) && !(st->flags & (STREAM_START | STREAM_STOP_SEEN)))
      st->flags &= ~(STREAM_STOP | STREAM_STOPPED);
    set_state_locked(st, 1, q);
  }
  bool ending = st && (st->flags & STREAM_STOP);
  if (q->hook) q->hook(q);
  pthread_mutex_unlock(&q->mutex);
  if (st) pthread_mutex_unlock(&st->mutex);
  return ending;
}

void stream_consumer_release(StreamQueue *queue) {
  if (!queue) return;
  ProducerState *st = state_of_queue(queue);
  if (st) pthread_mutex_lock(&st->mutex);
  pthread_mutex_lock(&queue->mutex);
  if (queue->consumers <= 0) {
    log_printf("%s: %s has no consumers\n", "stream_consumer_release", stream_name(queue));
  } else {
    if (--queue->consumers == 0) {
      if (st) set_state_locked(st, 0, queue);
      queue->ts_offset = 0;
    }
    if (queue->hook) queue->hook(queue);
  }
  pthread_mutex_unlock(&queue->mutex);
  if (st) pthread_mutex_unlock(&st->mutex);
}

int stream_queue_consumers(StreamQueue *queue) {
  pthread_mutex_lock(&queue->mutex);
  int n = queue->consumers;
  pthread_mutex_unlock(&queue->mutex);
  return n;
}

int stream_consumer_count(uint32_t id) {
  StreamQueue *q = id < STREAM_ID_COUNT ? stream_queues[id].load() : nullptr;
  return q ? stream_queue_consumers(q) : 0;
}

bool stream_state_wait_start(ProducerState *state) {
  pthread_mutex_lock(&state->mutex);
  if ((state->flags & STREAM_STOPPED) && !(state->flags & STREAM_START))
    pthread_cond_wait(&state->cond, &state->mutex);
  bool started = (state->flags & STREAM_START) != 0;
  state->flags &= ~(STREAM_START | STREAM_STOP | STREAM_STOP_SEEN);
  pthread_mutex_unlock(&state->mutex);
  return started;
}

bool stream_state_stopping(ProducerState *state) {
  pthread_mutex_lock(&state->mutex);
  bool stopping = (state->flags & (STREAM_STOP | STREAM_STOPPED)) != 0;
  if (stopping) state->flags |= STREAM_STOP_SEEN;
  pthread_mutex_unlock(&state->mutex);
  return stopping;
}

void stream_state_wait(ProducerState *state) {
  pthread_mutex_lock(&state->mutex);
  pthread_cond_wait(&state->cond, &state->mutex);
  pthread_mutex_unlock(&state->mutex);
}
