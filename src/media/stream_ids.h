// Stream identities, the stream modes in which consumers ask for a stream,
// and the two tables that map an id to its queue and its producer state.
#pragma once
#include <atomic>
#include <cstdint>
#include <pthread.h>
#include "core/param_block.h"
#include "platform/framework/dmai.h"

struct StreamQueue;
struct ProducerState;

// Fixed for the life of the firmware: parameter values and control-protocol
// requests refer to streams by these numbers.
enum StreamId : uint32_t {
  STREAM_ID_NONE = 0,
  VIDEO_STREAM1 = 1,
  VIDEO_STREAM2 = 2,
  OUTPUT_STREAM = 3,      // file playback; run state only
  PCM_STREAM = 4,
  AAC_STREAM = 5,
  CAPTURE_STREAM1 = 6,
  CAPTURE_STREAM2 = 7,
  UDP_STREAM1 = 8,        // ids 8 to 15 are run states only
  UDP_STREAM2 = 9,
  RTMP_STREAM1 = 10,
  RTMP_STREAM2 = 11,
  AUDIO_OUT_STREAM = 12,  // legacy audio playback, never started
  RECORD_STREAM = 13,
  SNAPSHOT_STREAM = 14,
  SERIAL_STREAM = 15,
  STREAM_ID_COUNT = 16
};

// The values stored in the parameter block (Video[n].StreamMode...).
enum StreamMode : uint8_t {
  StreamMode_H264_AAC_TS = 0,
  StreamMode_H264_TS = 1,
  StreamMode_H264_ES = 2,
  StreamMode_JPEG = 3,
  StreamMode_G711 = 4,
  StreamMode_UYVY = 5,
  StreamMode_NV12 = 6,
  StreamMode_Y8 = 7,
  StreamMode_MPEG4_AAC_TS = 8,
  StreamMode_MPEG4_TS = 9,
  StreamMode_MPEG4_ES = 10,
  StreamMode_MPEG4_AAC_MP4 = 11,
  StreamMode_MPEG4_MP4 = 12,
  StreamMode_H264_AAC_MP4 = 13,
  StreamMode_H264_MP4 = 14,
  StreamMode_H264_AAC_FLV = 15,
  StreamMode_Audio_AAC = 17,
  StreamMode_Audio_PCM = 18,
  StreamMode_MPEG4_PCM_TS = 19,
  StreamMode_H264_PCM_TS = 20,
  StreamMode_None = 255
};

enum MuxType : uint8_t { MUX_NONE = 0, MUX_TS = 1, MUX_FLV = 2, MUX_MP4 = 3 };

// Video types: the encoded ones; every other mode classifies as itself.
enum { VIDEO_TYPE_H264 = 2, VIDEO_TYPE_MPEG4 = 10, VIDEO_TYPE_NONE = 255 };
enum { AUDIO_TYPE_NONE = 0, AUDIO_TYPE_AAC = 1, AUDIO_TYPE_PCM = 3 };

MuxType stream_mode_mux_type(uint8_t mode);
uint8_t stream_mode_video_es(uint8_t mode);
uint8_t stream_mode_audio_type(uint8_t mode);
const char *stream_mode_name(uint8_t mode);
// The mode made of a video type, an audio type and a mux type;
// StreamMode_None when no mode has that combination.
uint8_t stream_mode_compose(uint8_t video_type, uint8_t audio_type, uint8_t mux_type);

// Written only by stream_register, read without a lock: a reader that finds
// a queue (or state) finds it whole, its producer state included. A queue is
// never cleared while the process runs, so readers still at work during
// shutdown read live memory; a state may be (the recorder frees its own), so
// a state looked up by id is used only under stream_register_mutex.
extern std::atomic<StreamQueue *> stream_queues[STREAM_ID_COUNT];
extern std::atomic<ProducerState *> stream_run_states[STREAM_ID_COUNT];
// Held while the tables change and while a state found by id is used: a
// thread that registers NULL over its own state before freeing it waits for
// any such use to end. Taken before a ProducerState mutex, never after one.
extern pthread_mutex_t stream_register_mutex;

// Called once by each producer thread during its set-up, before the start
// rendezvous, once its ring is set up (ringbuffer_init): the registration
// makes the queue known to consumers at once. Either pointer may be NULL;
// id is 0 to 15.
void stream_register(ProducerState *state, StreamQueue *queue, StreamId id);
// Forgets every registration. The process never unregisters; tests that
// build their producers anew do.
void stream_register_clear(void);
StreamQueue *get_stream_queue(uint32_t id);
const char *stream_name(const StreamQueue *queue);

// Ring geometry of the ids that carry a queue (bytes 0 where none).
struct StreamRing {
  uint32_t bytes;
  uint32_t entries;
};
extern const StreamRing stream_rings[STREAM_ID_COUNT];
enum { STREAM_RING_ALIGN = 32 };
// Creates the contiguous data buffer of id's ring and sets the queue's ring
// up over it (before stream_register). No memory for a ring is a start-up
// fault: the message, then abort.
Buffer_Handle stream_ring_create(StreamQueue *queue, StreamId id);

// Keeps the two channels from running H.264 and MPEG-4 at once: rewrites the
// other channel's stream_mode. video points at the two channel records.
void check_h264_mpeg4_conflict(VideoChannelParams *video, int channel);
