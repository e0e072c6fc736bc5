// The consumer side of a stream: a StreamState holds one consumer's read
// positions and hands dequeued data out through reference buffers that point
// into the ring, without copying.
#pragma once
#include <cstdint>
#include <ctime>
#include "core/hwreg.h"
#include "media/stream_ids.h"
#include "media/stream_queue.h"

// FrameDesc flags: a different layout from the entry flags; 0x01, 0x02 and
// 0x08 belong to the holder and survive a dequeue.
enum : uint8_t {
  FRAME_SLICE_END = 0x04,
  FRAME_WHOLE = 0x10,
  FRAME_KEY = 0x20,
  FRAME_SLICE = 0x40,
  FRAME_JPEG = 0x80
};

struct FrameDesc {
  Buffer_Handle buf;   // reference buffer pointed at the data
  uint32_t timestamp;
  uint32_t seq;
  uint8_t flags;
};
// The FrameDesc flags for an entry's flags; old keeps the holder's bits.
uint8_t frame_desc_flags(uint8_t old, uint32_t entry_flags);

// StreamState flags.
enum : uint8_t {
  STREAM_STATE_NEED_KEY = 1,     // no recent key frame was found at attach
  STREAM_STATE_FLV_HEADER = 2,   // FLV header still to be written
  STREAM_STATE_RECENT_KEY = 4,   // set by the consumer: start at a recent key frame
  STREAM_STATE_KEYFRAME = 8      // the unit just dequeued is a key frame
};

// Zeroed by the consumer before its first attach; one thread per state.
struct StreamState {
  StreamQueue *streamq;
  StreamQueue *streamq2;   // audio queue of audio/video modes
  uint32_t seq;
  uint32_t seq2;
  FrameDesc *current;
  FrameDesc *muxBuf;
  void *mux;               // TsMux, FlvMux or Mp4Muxer
  uint32_t startTS;        // first key frame delivered; 0 while not started
  uint32_t videoTS;
  uint32_t audioTS;
  uint32_t video_duration; // nominal ticks, set before attach (muxed modes)
  uint32_t audio_duration;
  uint8_t mux_type;
  uint8_t flags;
  FrameDesc internalBuf;
  FrameDesc buf2;
  // Set when entries were lost with no start point left: the read skips to
  // the next key frame (bit 0 for streamq, bit 1 for streamq2).
  uint8_t resync;
  // FLV time: ticks from startTS up to the last video unit muxed (at
  // clock_last), kept in 64 bits so that tag times run on past the 32-bit
  // clock's wrap (13.25 hours).
  uint64_t clock_ticks;
  uint32_t clock_last;
};

// 0, or -1 with the state left detached.
int stream_state_attach(uint32_t id, uint8_t mode, StreamState *state);
void stream_state_detach(StreamState *state);
// The next unit, waiting at most timeout_ms (0: no limit); NULL on timeout,
// quit or error.
FrameDesc *stream_state_dequeue_timeout(StreamState *state, uint32_t timeout_ms);
FrameDesc *stream_state_dequeue(StreamState *state);
// The next unit only when it is there already: never waits.
FrameDesc *stream_state_dequeue_ready(StreamState *state);
// The entry the next dequeue starts from, without taking it, waiting at most
// timeout_ms (0: no limit); lost entries move the read position as a
// dequeue would. 0 with *entry, or -1 on timeout or quit.
int stream_state_peek(StreamState *state, uint32_t timeout_ms, StreamEntry *entry);
// Non-blocking raw reads of the next entry of streamq / streamq2; the
// timestamps handed out have the queue's pause offset taken off.
FrameDesc *stream_state_dequeue_raw(StreamState *state);
FrameDesc *stream_state_dequeue2(StreamState *state);
FrameDesc *streamQueue_dqBuf(StreamQueue *queue, uint32_t *seq, FrameDesc *frame, int wait);

// The newest start point, if it is under one second old.
bool stream_recent_keyframe(StreamQueue *queue, uint32_t *ts, uint32_t *seq);
// The same judged at the clock value now.
bool stream_recent_keyframe_at(StreamQueue *queue, uint32_t now, uint32_t *ts, uint32_t *seq);
// The oldest start point still in the ring; false when there is none.
bool stream_oldest_keyframe(StreamQueue *queue, uint32_t *seq);

// Percentage of the ring the consumer has not read yet.
int stream_state_fill_percent(StreamState *state);
// Ticks since the first key frame, pauses excepted. NULL: since the menu
// started, by VIDEO_STREAM1's pauses.
uint32_t stream_state_elapsed(StreamState *state);
// Set once by the menu when it starts.
extern volatile uint32_t menu_start_time;

// The heart of every dequeue. Looks *seq up in queue; an entry overwritten
// before it was read moves *seq to the oldest start point still there (with
// no start point left, to the next key frame published; resync, which may be
// NULL, remembers that across calls). With wait set, sleeps until the
// entry is published, the deadline (CLOCK_MONOTONIC, NULL: none) passes or
// the process quits. 0 with *entry, or -1.
int stream_queue_wait_seq(StreamQueue *queue, uint32_t *seq, uint8_t *resync, uint8_t resync_bit,
                          int wait, const struct timespec *deadline, StreamEntry *entry);

// The muxed modes (mux types 1 to 3) belong to the container muxers, which
// fill this table at start-up. attach runs once the read positions are set
// and creates the muxer and mux buffer; dequeue produces one muxed unit
// (waiting through stream_queue_wait_seq); free releases both. Until the
// table is filled a muxed attach fails.
struct StreamMuxOps {
  int (*attach)(StreamState *state, uint8_t mode);
  FrameDesc *(*dequeue)(StreamState *state, int wait, const struct timespec *deadline);
  void (*free)(StreamState *state);
};
extern StreamMuxOps stream_mux_ops;

// Latency rows, in this order; each sample is now minus a unit's timestamp.
enum { LATENCY_MUX_VIDEO1 = 0, LATENCY_MUX_VIDEO2 = 1, LATENCY_RAW_VIDEO2 = 2,
       LATENCY_RAW_VIDEO1 = 3, LATENCY_ROWS = 4 };
extern LatencyStats stream_latency[LATENCY_ROWS];
// Adds a sample under the records' own lock.
void stream_latency_add(int row, uint32_t timestamp);
// Copies a record out and resets it (min 9000000, the rest 0).
void stream_latency_take(int row, LatencyStats *out);
