#include "media/stream_ids.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "core/global.h"
#include "core/log.h"
#include "formats/mp4_write.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"

std::atomic<StreamQueue *> stream_queues[STREAM_ID_COUNT];
std::atomic<ProducerState *> stream_run_states[STREAM_ID_COUNT];
pthread_mutex_t stream_register_mutex = PTHREAD_MUTEX_INITIALIZER;

const StreamRing stream_rings[STREAM_ID_COUNT] = {
    {0, 0},
    {19200000, 1024},   // VIDEO_STREAM1
    {0x400000, 256},    // VIDEO_STREAM2
    {0, 0},
    {0x10000, 16},      // PCM_STREAM
    {0x100000, 2048},   // AAC_STREAM
    {41472000, 16},     // CAPTURE_STREAM1
    {0x438000, 16},     // CAPTURE_STREAM2
    {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0},
};

// Classification bit sets over the modes 0 to 20 (bit n: mode n).
namespace {
constexpr uint32_t bit(int n) { return 1u << n; }
constexpr uint32_t kMuxTs = bit(0) | bit(1) | bit(8) | bit(9) | bit(19) | bit(20);
constexpr uint32_t kMuxFlv = bit(15);
constexpr uint32_t kMuxMp4 = bit(11) | bit(12) | bit(13) | bit(14);
constexpr uint32_t kVideoH264 = bit(0) | bit(1) | bit(2) | bit(13) | bit(14) | bit(15) | bit(20);
constexpr uint32_t kVideoMpeg4 = bit(8) | bit(9) | bit(10) | bit(11) | bit(12) | bit(19);
constexpr uint32_t kVideoNone = bit(17) | bit(18);
constexpr uint32_t kAudioAac = bit(0) | bit(8) | bit(11) | bit(13) | bit(17);
constexpr uint32_t kAudioPcm = bit(18) | bit(19) | bit(20);

bool in_set(uint32_t set, uint8_t mode) { return mode <= 20 && (set & bit(mode)); }

const char *const kModeNames[21] = {
    "StreamMode_H264_AAC_TS",  "StreamMode_H264_TS",       "StreamMode_H264_ES",
    "StreamMode_JPEG",         "StreamMode_G711",          "StreamMode_UYVY",
    "StreamMode_NV12",         "StreamMode_Y8",            "StreamMode_MPEG4_AAC_TS",
    "StreamMode_MPEG4_TS",     "StreamMode_MPEG4_ES",      "StreamMode_MPEG4_AAC_MP4",
    "StreamMode_MPEG4_MP4",    "StreamMode_H264_AAC_MP4",  "StreamMode_H264_MP4",
    "StreamMode_H264_AAC_FLV", nullptr,                    "StreamMode_Audio_AAC",
    "StreamMode_Audio_PCM",    "StreamMode_MPEG4_PCM_TS",  "StreamMode_H264_PCM_TS",
};

// First match wins.
struct ModeRow {
  uint8_t video, audio, mux, mode;
};
const ModeRow kComposeRows[] = {
    {2, 1, 1, 0},   {2, 0, 1, 1},   {2, 0, 0, 2},    {2, 3, 1, 20},  {10, 3, 1, 19},
    {10, 1, 1, 8},  {10, 0, 1, 9},  {10, 0, 0, 10},  {10, 1, 3, 11}, {10, 0, 3, 12},
    {2, 1, 3, 13},  {2, 0, 3, 14},  {2, 1, 2, 15},   {3, 0, 0, 3},   {5, 0, 0, 5},
    {6, 0, 0, 6},   {7, 0, 0, 7},   {16, 0, 0, 16},  {255, 1, 0, 17}, {255, 3, 0, 18},
};
}  // namespace

MuxType stream_mode_mux_type(uint8_t mode) {
  if (in_set(kMuxTs, mode)) return MUX_TS;
  if (in_set(kMuxFlv, mode)) return MUX_FLV;
  if (in_set(kMuxMp4, mode)) return MUX_MP4;
  return MUX_NONE;
}

uint8_t stream_mode_video_es(uint8_t mode) {
  if (in_set(kVideoH264, mode)) return VIDEO_TYPE_H264;
  if (in_set(kVideoMpeg4, mode)) return VIDEO_TYPE_MPEG4;
  if (in_set(kVideoNone, mode)) return VIDEO_TYPE_NONE;
  return mode;
}

uint8_t stream_mode_audio_type(uint8_t mode) {
  if (in_set(kAudioAac, mode)) return AUDIO_TYPE_AAC;
  if (in_set(kAudioPcm, mode)) return AUDIO_TYPE_PCM;
  return AUDIO_TYPE_NONE;
}

const char *stream_mode_name(uint8_t mode) {
  if (mode == StreamMode_None) return "StreamMode_None";
  if (mode <= 20 && kModeNames[mode]) return kModeNames[mode];
  return "unknown";
}

uint8_t stream_mode_compose(uint8_t video_type, uint8_t audio_type, uint8_t mux_type) {
  for (const ModeRow &r : kComposeRows)
    if (r.video == video_type && r.audio == audio_type && r.mux == mux_type) return r.mode;
  return StreamMode_None;
}

namespace {
pthread_once_t compressor_once = PTHREAD_ONCE_INIT;
void set_compressor_name(void) {
  char name[40];
  snprintf(name, sizeof name, "Marovant %d FW%d", M7391_MODEL, M7391_BUILD);
  mp4_set_compressor_name(name);
}
}  // namespace

void stream_register(ProducerState *state, StreamQueue *queue, StreamId id) {
  if (id >= STREAM_ID_COUNT) return;
  if (state) {
    pthread_mutex_init(&state->mutex, nullptr);
    pthread_cond_init(&state->cond, nullptr);
    state->flags = 0;
    stream_set_state(state, 0);
  }
  if (queue) stream_queue_init_locks(queue);
  // The state before the queue: a consumer that finds the queue counts
  // itself and starts the producer through the state.
  pthread_mutex_lock(&stream_register_mutex);
  stream_run_states[id].store(state, std::memory_order_release);
  stream_queues[id].store(queue, std::memory_order_release);
  pthread_mutex_unlock(&stream_register_mutex);
  pthread_once(&compressor_once, set_compressor_name);
}

void stream_register_clear(void) {
  pthread_mutex_lock(&stream_register_mutex);
  for (uint32_t id = 0; id < STREAM_ID_COUNT; id++) {
    stream_queues[id].store(nullptr);
    stream_run_states[id].store(nullptr);
  }
  pthread_mutex_unlock(&stream_register_mutex);
}

StreamQueue *get_stream_queue(uint32_t id) {
  StreamQueue *q = id < STREAM_ID_COUNT ? stream_queues[id].load() : nullptr;
  if (!q) log_printf("%s: invalid streamid %d\n", "get_stream_queue", (int)id);
  return q;
}

const char *stream_name(const StreamQueue *queue) {
  static const uint32_t order[] = {VIDEO_STREAM1, VIDEO_STREAM2, OUTPUT_STREAM,
                                   CAPTURE_STREAM1, CAPTURE_STREAM2, PCM_STREAM, AAC_STREAM};
  static const char *const names[] = {"VIDEO_STREAM1",   "VIDEO_STREAM2",   "OUTPUT_STREAM",
                                      "CAPTURE_STREAM1", "CAPTURE_STREAM2", "PCM_STREAM",
                                      "AAC_STREAM"};
  // An id without a queue holds NULL: never name a NULL queue after it.
  if (queue)
    for (size_t i = 0; i < sizeof order / sizeof order[0]; i++)
      if (stream_queues[order[i]] == queue) return names[i];
  return "unknown stream";
}

Buffer_Handle stream_ring_create(StreamQueue *queue, StreamId id) {
  const StreamRing &r = stream_rings[id < STREAM_ID_COUNT ? (uint32_t)id : 0u];
  Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
  attrs.memAlign = STREAM_RING_ALIGN;
  Buffer_Handle buf = r.bytes ? Buffer_create(r.bytes, &attrs) : nullptr;
  if (!buf) {
    log_printf("%s: failed to allocate %u bytes for stream %d\n", "stream_ring_create", r.bytes,
               (int)id);
    abort();
  }
  ringbuffer_init(queue, buf, r.entries, STREAM_RING_ALIGN);
  return buf;
}

void check_h264_mpeg4_conflict(VideoChannelParams *video, int channel) {
  if (channel != 0 && channel != 1) return;
  int other = 1 - channel;
  uint8_t *mine = &video[channel].stream_mode;
  uint8_t *theirs = &video[other].stream_mode;
  log_printf("%s: Video[%d].StreamMode=%s test Video[%d].StreamMode=%s\n",
             "check_h264_mpeg4_conflict", channel, stream_mode_name(*mine), other,
             stream_mode_name(*theirs));
  uint8_t v_mine = stream_mode_video_es(*mine), v_theirs = stream_mode_video_es(*theirs);
  bool conflict = (v_mine == VIDEO_TYPE_H264 && v_theirs == VIDEO_TYPE_MPEG4) ||
                  (v_mine == VIDEO_TYPE_MPEG4 && v_theirs == VIDEO_TYPE_H264);
  if (!conflict) return;
  *theirs = stream_mode_compose(v_mine, stream_mode_audio_type(*theirs),
                                stream_mode_mux_type(*theirs));
  log_printf("%s: Video[%d].StreamMode=%s override Video[%d].StreamMode=%s\n",
             "check_h264_mpeg4_conflict", channel, stream_mode_name(*mine), other,
             stream_mode_name(*theirs));
}
