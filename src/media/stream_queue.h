// The one-producer, many-consumer ring a stream's data travels through. The
// producer writes in place into one contiguous buffer and publishes a small
// entry per frame; consumers keep their own sequence numbers and never hold
// the producer back: when the ring is full the oldest entry is dropped.
#pragma once
#include <cstdint>
#include <pthread.h>
#include "platform/framework/dmai.h"

// Entry flags.
enum : uint32_t {
  STREAM_FLAG_KEY = 1,       // I/IDR picture, SPS chunk, whole frame, audio chunk
  STREAM_FLAG_SLICE = 2,     // one slice of a picture
  STREAM_FLAG_SLICE_END = 4, // the resizer event of this slice ended the frame
  STREAM_FLAG_FRAME = 8,     // whole captured frame with its overlay
  STREAM_FLAG_JPEG = 16
};
// A consumer may start at an entry that is a key frame and not JPEG.
inline bool stream_is_start_point(uint32_t flags) {
  return (flags & (STREAM_FLAG_KEY | STREAM_FLAG_JPEG)) == STREAM_FLAG_KEY;
}

struct StreamEntry {
  uint32_t offset;     // from the ring's base
  uint32_t length;     // 0: invalid slot (or a mark)
  uint32_t timestamp;  // 90 kHz
  uint32_t flags;
};
static_assert(sizeof(StreamEntry) == 16, "StreamEntry is 16 bytes");

// A consumer's hold on bytes of the ring it reads in place; owned by the
// consumer, linked into the queue while held.
struct StreamHold {
  StreamHold *next;
  uint32_t offset;
  uint32_t length;
};

// Owned by the consumer that links it.
struct StreamCallback {
  StreamCallback *next;
  void (*fn)(void *arg, uint32_t seq);
  void *arg;
};

struct StreamQueue {
  int32_t consumers;
  // Called on every attach and detach with the queue's lock (and its
  // producer state's) held: it may only signal.
  void (*hook)(StreamQueue *queue);
  pthread_mutex_t mutex;             // guards consumers and the ring
  pthread_cond_t cond;               // CLOCK_MONOTONIC
  uint8_t *base;
  uint32_t phys;
  uint32_t size;
  uint32_t head;          // slot the next put fills; always free
  uint32_t tail;          // oldest slot that may still be valid
  uint32_t next_seq;      // number of the next put's entry
  uint32_t write_offset;  // where the next entry's data begins
  uint32_t index_mask;
  uint32_t align_mask;
  StreamEntry *entries;
  int32_t ts_offset;      // ticks the producer was paused
  // The list is changed, and walked by the producer, only under cb_mutex: a
  // removal therefore waits for a walk in progress, and the list is never
  // seen half-changed. cb_mutex is never held together with mutex.
  StreamCallback *callbacks;
  pthread_mutex_t cb_mutex;
  StreamHold *holds;      // under mutex; a release broadcasts cond
  uint32_t claims;        // under mutex: claims waiting for holds
  // next_seq as the puts publish it, read without the lock: the word
  // stream_queue_wait_published sleeps on. A put wakes only the sleepers
  // waiting for its entry's number (bit number & 31 of the futex bitset).
  uint32_t published;
  uint32_t sleepers;
  uint32_t unwoken;       // bits of marks, which wake nobody, until the next put
};

// The queue's mutex (and its monotonic condition) and the callback lock;
// stream_register does this for registered queues.
void stream_queue_init_locks(StreamQueue *queue);
// Aborts (start-up fault) when num_entries is not a power of two or the slot
// array cannot be had. The buffer stays the caller's.
void ringbuffer_init(StreamQueue *queue, Buffer_Handle buffer, uint32_t num_entries,
                     uint32_t align);
// Frees the slot array (the counterpart of ringbuffer_init).
void ringbuffer_free(StreamQueue *queue);

// Reserves room for an entry of up to length bytes, written at base+offset
// before the put. Returns the offset, or -1 when length exceeds the ring.
int ringbuffer_preallocate(StreamQueue *queue, uint32_t length);
// Publishes the entry whose data starts at the write offset. Length 0 with
// timestamp 0 is a mark: it takes a number but wakes nobody. Callbacks run
// afterwards on this thread, outside the lock.
void ringbuffer_put(StreamQueue *queue, uint32_t length, uint32_t timestamp, uint32_t flags);
// The put of a producer whose data sits at fixed places in its ring
// (capture): publishes the entry at offset, first invalidating entries of
// another timestamp whose data lie there (slices of the same frame stay).
// The offset is taken under the same lock hold as the put, so two threads
// publishing into one queue never swap offsets.
void ringbuffer_put_at(StreamQueue *queue, uint32_t offset, uint32_t length, uint32_t timestamp,
                       uint32_t flags);

// With the queue lock held. 0 and *out (as it stands, even of length 0), or
// -1 when seq is no longer (or not yet) in the ring.
int ringbuffer_find_seq(const StreamQueue *queue, uint32_t seq, StreamEntry *out);
// With the queue lock held: valid entries counted back from the newest.
int ringbuffer_count(const StreamQueue *queue);
// Takes the lock: whether entry seq still holds the length bytes at data. The
// producer drops an entry before it reuses its bytes, so whatever was read
// or sent from data before this returns true was intact.
bool ringbuffer_entry_intact(StreamQueue *queue, uint32_t seq, const uint8_t *data, uint32_t length);
// The same with the queue lock held.
bool ringbuffer_entry_intact_locked(const StreamQueue *queue, uint32_t seq, const uint8_t *data,
                                    uint32_t length);

// A consumer that reads an entry's data in place for a while (an encoder)
// holds it: from the entry's offset, length bytes (at least the entry's).
// -1, holding nothing, when seq is no longer in the ring. A producer that
// writes at fixed places (capture) claims the bytes first, so it never
// writes what a consumer holds.
int ringbuffer_hold(StreamQueue *queue, StreamHold *hold, uint32_t seq, uint32_t length);
void ringbuffer_release(StreamQueue *queue, StreamHold *hold);
// Invalidates the entries whose data lie in [offset, offset + length), so
// that no consumer takes a new hold there, then waits until no hold covers
// any of those bytes. A holder must never wait for this producer.
void ringbuffer_claim(StreamQueue *queue, uint32_t offset, uint32_t length);
// Whether a claim waits for holds: a holder that itself waits for more of
// the producer's entries gives its hold up instead (the producer sends none
// while it waits).
bool ringbuffer_claim_pending(StreamQueue *queue);

// A callback already linked is not linked twice. Must not be called from a
// callback of the same queue; a callback must not take a lock that a caller
// of these holds.
void stream_add_callback(uint32_t id, StreamCallback *callback);
// Once this returns the callback is not running and will not run again.
void stream_remove_callback(uint32_t id, StreamCallback *callback);

// Sleeps, without the queue's lock, until entry seq is published, the
// deadline (CLOCK_MONOTONIC, NULL: none) passes or the process quits;
// whether seq is published. Only the put of entry seq (or a later one with
// the same low bits) wakes the sleeper, so a consumer can sleep over several
// entries and take them at once. A stop of the stream wakes every sleeper.
bool stream_queue_wait_published(StreamQueue *queue, uint32_t seq, const struct timespec *deadline);
// Whether entry seq is published, without the lock.
inline bool stream_queue_is_published(const StreamQueue *queue, uint32_t seq) {
  return (int32_t)(__atomic_load_n(&queue->published, __ATOMIC_ACQUIRE) - seq) > 0;
}
// Wakes every sleeper of stream_queue_wait_published.
void stream_queue_wake_all(StreamQueue *queue);

int32_t stream_queue_ts_offset(StreamQueue *queue);
void stream_queue_add_ts_offset(StreamQueue *queue, int32_t ticks);
