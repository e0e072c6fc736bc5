// Producer run states and consumer counting: the first consumer of a
// stream starts its producer, the last one stops it, configuration changes
// restart it. Ids without a queue use the same record as a plain switch.
//
// Lock order: stream_register_mutex, then a ProducerState mutex, then its
// queue's mutex, never the other way round.
#pragma once
#include <cstdint>
#include <pthread.h>

struct StreamQueue;

enum : uint32_t {
  STREAM_START = 1,   // a start was requested and not yet taken
  STREAM_STOP = 2,    // a stop was requested and not yet taken
  STREAM_STOPPED = 4,
  STREAM_STOP_SEEN = 8  // the producer has seen the pending stop (stream_state_stopping)
};

struct ProducerState {
  pthread_mutex_t mutex;
  pthread_cond_t cond;   // signalled on every state change
  uint32_t flags;
  int event_fd;          // eventfd told of every change; <= 0: none
};

// run 1 starts, anything else stops.
void stream_set_state(ProducerState *state, int run);
void stream_set_state_by_id(uint32_t id, int run);
// 1 running, 0 stopped, -1 for an invalid id.
int stream_get_state_by_id(uint32_t id);
// Stops and starts a stream that runs or has consumers.
void stream_restart(uint32_t id);
// Stops every registered state but the serial thread's (unless quitting),
// then wakes the display thread.
void stream_stop_all(void);

// Called by attach and detach only. The first consumer's start cancels a
// stop the producer has not seen yet (the last consumer left a moment ago),
// so the run goes on. Returns true when the producer's run is ending all the
// same (it saw the stop, or a restart is pending): what the ring holds now
// belongs to a run that is over.
bool stream_consumer_add(uint32_t id);
void stream_consumer_release(StreamQueue *queue);
int stream_queue_consumers(StreamQueue *queue);
int stream_consumer_count(uint32_t id);

// Producer side. wait_start waits once while stopped and reports whether a
// start was taken; stopping is polled once per unit of work.
bool stream_state_wait_start(ProducerState *state);
bool stream_state_stopping(ProducerState *state);
void stream_state_wait(ProducerState *state);
