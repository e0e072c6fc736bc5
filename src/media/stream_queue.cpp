#include "media/stream_queue.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include "core/global.h"
#include "core/log.h"
#include "media/stream_ids.h"

void stream_queue_init_locks(StreamQueue *queue) {
  // Every hold of the ring's lock is short, and many consumers woken by
  // one put take it at once: a waiter spins a little before it sleeps.
  pthread_mutexattr_t ma;
  pthread_mutexattr_init(&ma);
  pthread_mutexattr_settype(&ma, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&queue->mutex, &ma);
  pthread_mutexattr_destroy(&ma);
  pthread_mutex_init(&queue->cb_mutex, nullptr);
  // Consumers wait with monotonic deadlines: setting the wall clock must not
  // stall them.
  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  pthread_cond_init(&queue->cond, &ca);
  pthread_condattr_destroy(&ca);
}

void ringbuffer_init(StreamQueue *queue, Buffer_Handle buffer, uint32_t num_entries,
                     uint32_t align) {
  if (num_entries == 0 || (num_entries & (num_entries - 1)) != 0) {
    log_printf("%s: num_entries must be a power of 2: %d\n", "ringbuffer_init", (int)num_entries);
    abort();
  }
  queue->consumers = 0;
  queue->hook = nullptr;
  queue->base = (uint8_t *)Buffer_getUserPtr(buffer);
  queue->phys = Buffer_getPhysicalPtr(buffer);
  queue->size = (uint32_t)Buffer_getSize(buffer);
  queue->head = queue->tail = 0;
  queue->next_seq = 0;
  __atomic_store_n(&queue->published, 0u, __ATOMIC_SEQ_CST);
  queue->unwoken = 0;
  queue->write_offset = 0;
  queue->index_mask = num_entries - 1;
  queue->align_mask = align - 1;
  queue->ts_offset = 0;
  queue->entries = (StreamEntry *)calloc(num_entries, sizeof(StreamEntry));
  if (!queue->entries) {
    log_printf("%s: failed to allocate ringbuffer entries array[%d]\n", "ringbuffer_init",
               (int)num_entries);
    abort();
  }
  queue->callbacks = nullptr;
  queue->holds = nullptr;
  queue->claims = 0;
}

void ringbuffer_free(StreamQueue *queue) {
  free(queue->entries);
  queue->entries = nullptr;
}

int ringbuffer_preallocate(StreamQueue *queue, uint32_t length) {
  pthread_mutex_lock(&queue->mutex);
  if (length >= queue->size) {
    log_printf("%s: %s: length %u >= buf_size %u\n", "ringbuffer_preallocate", stream_name(queue),
               length, queue->size);
    // Longer than the whole ring: no place could hold it.
    if (length > queue->size) {
      pthread_mutex_unlock(&queue->mutex);
      return -1;
    }
  }
  // One entry's data never wraps. The oldest entries then lie between the
  // old write offset and the end, in front of those the new data overwrites
  // at the start: they go first, or the walk would stop at them.
  uint32_t skipped = queue->size;
  if (queue->write_offset + length > queue->size) {
    skipped = queue->write_offset;
    queue->write_offset = 0;
  }
  uint32_t start = queue->write_offset, end = start + length;
  while (queue->tail != queue->head) {
    StreamEntry *e = &queue->entries[queue->tail];
    bool overlaps = !(e->offset + e->length <= start || e->offset >= end) ||
                    e->offset + e->length > skipped;
    // A mark holds no data, but stopping at it would leave the entries
    // behind it, which may overlap, valid.
    if (!overlaps && e->length != 0) break;
    e->length = 0;
    queue->tail = (queue->tail + 1) & queue->index_mask;
  }
  pthread_mutex_unlock(&queue->mutex);
  return (int)start;
}

namespace {

long futex(uint32_t *word, int op, uint32_t val, const struct timespec *t, uint32_t bits) {
  return syscall(SYS_futex, word, op, val, t, nullptr, bits);
}

// With the lock held: publishes next_seq to the sleepers. The bits of the
// sleepers to wake once the lock is let go: those of entry seq and of the
// marks before it, none for a mark or without sleepers.
uint32_t publish(StreamQueue *queue, uint32_t seq, bool mark) {
  __atomic_store_n(&queue->published, seq + 1, __ATOMIC_SEQ_CST);
  uint32_t bits = queue->unwoken | 1u << (seq & 31);
  queue->unwoken = mark ? bits : 0;
  return !mark && __atomic_load_n(&queue->sleepers, __ATOMIC_SEQ_CST) ? bits : 0;
}

// The put with the queue's lock held, which it releases.
void put_locked(StreamQueue *queue, uint32_t length, uint32_t timestamp, uint32_t flags) {
  if ((uint64_t)queue->write_offset + length > queue->size) {
    // Consumers would read past the ring.
    log_printf("%s: %s: length %u at %u exceeds buf_size %u\n", "ringbuffer_put",
               stream_name(queue), length, queue->write_offset, queue->size);
    pthread_mutex_unlock(&queue->mutex);
    return;
  }
  uint32_t new_head = (queue->head + 1) & queue->index_mask;
  if (new_head == queue->tail) {
    queue->entries[queue->tail].length = 0;
    queue->tail = (queue->tail + 1) & queue->index_mask;
  }
  StreamEntry *e = &queue->entries[queue->head];
  e->offset = queue->write_offset;
  e->length = length;
  e->timestamp = timestamp;
  e->flags = flags;
  uint32_t seq = queue->next_seq;
  queue->head = new_head;
  queue->next_seq = seq + 1;
  queue->write_offset = (queue->write_offset + length + queue->align_mask) & ~queue->align_mask;
  uint32_t sleepers = publish(queue, seq, length == 0 && timestamp == 0);
  if (length == 0 && timestamp == 0) {
    pthread_mutex_unlock(&queue->mutex);
    return;
  }
  // Woken consumers take the lock at once: it is free by then.
  pthread_mutex_unlock(&queue->mutex);
  pthread_cond_broadcast(&queue->cond);
  if (sleepers) futex(&queue->published, FUTEX_WAKE_BITSET_PRIVATE, INT_MAX, nullptr, sleepers);

  pthread_mutex_lock(&queue->cb_mutex);
  for (StreamCallback *cb = queue->callbacks; cb; cb = cb->next)
    if (cb->fn) cb->fn(cb->arg, seq);
  pthread_mutex_unlock(&queue->cb_mutex);
}

}  // namespace

void ringbuffer_put(StreamQueue *queue, uint32_t length, uint32_t timestamp, uint32_t flags) {
  pthread_mutex_lock(&queue->mutex);
  put_locked(queue, length, timestamp, flags);
}

void ringbuffer_put_at(StreamQueue *queue, uint32_t offset, uint32_t length, uint32_t timestamp,
                       uint32_t flags) {
  pthread_mutex_lock(&queue->mutex);
  uint32_t end = offset + length;
  for (uint32_t i = queue->tail; length && i != queue->head; i = (i + 1) & queue->index_mask) {
    StreamEntry &e = queue->entries[i];
    if (e.length && e.timestamp != timestamp && e.offset < end && e.offset + e.length > offset)
      e.length = 0;
  }
  queue->write_offset = offset;
  put_locked(queue, length, timestamp, flags);
}

int ringbuffer_find_seq(const StreamQueue *queue, uint32_t seq, StreamEntry *out) {
  // Slots tail .. head-1 hold the numbers next-in_use .. next-1.
  uint32_t in_use = (queue->head - queue->tail) & queue->index_mask;
  uint32_t back = queue->next_seq - seq;
  if (back == 0 || back > in_use) return -1;
  *out = queue->entries[(queue->head - back) & queue->index_mask];
  return 0;
}

int ringbuffer_count(const StreamQueue *queue) {
  int n = 0;
  for (uint32_t i = queue->head; i != queue->tail;) {
    i = (i - 1) & queue->index_mask;
    if (queue->entries[i].length == 0) break;
    n++;
  }
  return n;
}

bool ringbuffer_entry_intact_locked(const StreamQueue *queue, uint32_t seq, const uint8_t *data,
                                    uint32_t length) {
  StreamEntry e;
  return ringbuffer_find_seq(queue, seq, &e) == 0 && queue->base + e.offset == data &&
         e.length == length;
}

bool ringbuffer_entry_intact(StreamQueue *queue, uint32_t seq, const uint8_t *data, uint32_t length) {
  pthread_mutex_lock(&queue->mutex);
  bool ok = ringbuffer_entry_intact_locked(queue, seq, data, length);
  pthread_mutex_unlock(&queue->mutex);
  return ok;
}

int ringbuffer_hold(StreamQueue *queue, StreamHold *hold, uint32_t seq, uint32_t length) {
  StreamEntry e;
  pthread_mutex_lock(&queue->mutex);
  int rc = ringbuffer_find_seq(queue, seq, &e) == 0 && e.length ? 0 : -1;
  if (rc == 0) {
    hold->offset = e.offset;
    hold->length = length > e.length ? length : e.length;
    hold->next = queue->holds;
    queue->holds = hold;
  }
  pthread_mutex_unlock(&queue->mutex);
  return rc;
}

void ringbuffer_release(StreamQueue *queue, StreamHold *hold) {
  pthread_mutex_lock(&queue->mutex);
  for (StreamHold **p = &queue->holds; *p; p = &(*p)->next)
    if (*p == hold) {
      *p = hold->next;
      break;
    }
  hold->next = nullptr;
  pthread_cond_broadcast(&queue->cond);
  pthread_mutex_unlock(&queue->mutex);
}

void ringbuffer_claim(StreamQueue *queue, uint32_t offset, uint32_t length) {
  uint32_t end = offset + length;
  pthread_mutex_lock(&queue->mutex);
  for (uint32_t i = queue->tail; i != queue->head; i = (i + 1) & queue->index_mask) {
    StreamEntry &e = queue->entries[i];
    if (e.length && e.offset < end && e.offset + e.length > offset) e.length = 0;
  }
  bool waited = false;
  for (;;) {
    bool held = false;
    for (const StreamHold *h = queue->holds; h && !held; h = h->next)
      held = h->offset < end && h->offset + h->length > offset;
    if (!held) break;
    if (!waited) queue->claims++;
    waited = true;
    pthread_cond_wait(&queue->cond, &queue->mutex);
  }
  if (waited) queue->claims--;
  pthread_mutex_unlock(&queue->mutex);
}

bool ringbuffer_claim_pending(StreamQueue *queue) {
  pthread_mutex_lock(&queue->mutex);
  bool pending = queue->claims != 0;
  pthread_mutex_unlock(&queue->mutex);
  return pending;
}

void stream_add_callback(uint32_t id, StreamCallback *callback) {
  StreamQueue *q = get_stream_queue(id);
  if (!q || !callback) return;
  pthread_mutex_lock(&q->cb_mutex);
  bool linked = false;
  for (StreamCallback *cb = q->callbacks; cb; cb = cb->next)
    if (cb == callback) linked = true;
  if (linked) {
    log_printf("%s: callback %p is already attached!!!\n", "stream_add_callback",
               (void *)callback);
  } else {
    callback->next = q->callbacks;
    q->callbacks = callback;
  }
  pthread_mutex_unlock(&q->cb_mutex);
}

void stream_remove_callback(uint32_t id, StreamCallback *callback) {
  StreamQueue *q = get_stream_queue(id);
  if (!callback) return;
  if (q) {
    pthread_mutex_lock(&q->cb_mutex);
    for (StreamCallback **p = &q->callbacks; *p; p = &(*p)->next)
      if (*p == callback) {
        *p = callback->next;
        break;
      }
    pthread_mutex_unlock(&q->cb_mutex);
  }
  callback->next = nullptr;
}

bool stream_queue_wait_published(StreamQueue *queue, uint32_t seq, const struct timespec *deadline) {
  for (;;) {
    uint32_t next = __atomic_load_n(&queue->published, __ATOMIC_SEQ_CST);
    if ((int32_t)(next - seq) > 0) return true;
    if (get_exit_code_unlocked() != EXIT_RUNNING) return false;
    // Counted before the word is looked at again in the kernel: a put that
    // publishes after this sees the sleeper and wakes it.
    __atomic_fetch_add(&queue->sleepers, 1u, __ATOMIC_SEQ_CST);
    long r = futex(&queue->published, FUTEX_WAIT_BITSET_PRIVATE, next, deadline, 1u << (seq & 31));
    int err = errno;
    __atomic_fetch_sub(&queue->sleepers, 1u, __ATOMIC_SEQ_CST);
    // Woken (by the put or a stop) or timed out; a changed word or a
    // signal: look again.
    if (r == 0 || err == ETIMEDOUT)
      return (int32_t)(__atomic_load_n(&queue->published, __ATOMIC_SEQ_CST) - seq) > 0;
  }
}

void stream_queue_wake_all(StreamQueue *queue) {
  if (__atomic_load_n(&queue->sleepers, __ATOMIC_SEQ_CST))
    futex(&queue->published, FUTEX_WAKE_BITSET_PRIVATE, INT_MAX, nullptr, FUTEX_BITSET_MATCH_ANY);
}

int32_t stream_queue_ts_offset(StreamQueue *queue) {
  pthread_mutex_lock(&queue->mutex);
  int32_t v = queue->ts_offset;
  pthread_mutex_unlock(&queue->mutex);
  return v;
}

void stream_queue_add_ts_offset(StreamQueue *queue, int32_t ticks) {
  pthread_mutex_lock(&queue->mutex);
  queue->ts_offset = (int32_t)((uint32_t)queue->ts_offset + (uint32_t)ticks);
  pthread_mutex_unlock(&queue->mutex);
}
