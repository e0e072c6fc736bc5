// The audio threads. "sound" captures PCM from the codec, publishes it in
// 4096-byte chunks to PCM_STREAM and, while AAC_STREAM has consumers, encodes
// each chunk into AAC_STREAM. "playback" plays AAC handed over by file
// playback, or the live PCM_STREAM in pass-through, on the codec's output.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/global.h"
#include "platform/framework/audio_engine.h"

enum { SOUND_PERIOD_FRAMES = 1024, SOUND_CHUNK_BYTES = 4096 };

// The "sound" thread's record.
struct SoundEnv {
  ThreadEnv env;                  // first: the thread table hands this out
  const char *engine;             // codec engine to open ("encode")
  int channels;                   // capture channel count (2)
  const volatile int *suspend;    // the board's suspend flag; NULL: never set
  volatile int status;            // -1 after any failure
};

// One buffer handed between file playback and the playback thread. File
// playback takes a free one from free_fifo, fills it (bytes used, time
// stamp), and puts it into in_fifo; the playback thread plays it and puts it
// back into owner.
enum : uint32_t { AUDIO_BUF_PCM = 1 };   // raw S16 stereo, not AAC
struct AudioBufDesc {
  Buffer_Handle buf;              // AUDIO_BUF_BYTES of contiguous memory
  Fifo_Handle owner;
  uint32_t flags;
  uint32_t timestamp;             // 90 kHz
};
enum { AUDIO_PLAYBACK_BUFS = 12, AUDIO_BUF_BYTES = 4096 };

// The "playback" thread's record.
struct PlaybackEnv {
  ThreadEnv env;
  const char *engine;
  Fifo_Handle in_fifo;            // filled buffers from file playback
  Fifo_Handle free_fifo;          // this thread's buffers, free for file playback
  Pause_Handle pause;             // gate for buffers of other tables
  std::atomic<int> passthru;      // play the live PCM_STREAM instead
  const volatile int *suspend;
  volatile int status;
};

void *soundCaptureThrFxn(void *env);
void *soundPlaybackThrFxn(void *env);
// The thread table's prepare step for "playback": creates both FIFOs and the
// pause gate. 0, or -1 with nothing left behind.
int sound_playback_prepare(ThreadEnv *env);
// Shutdown: every later wait on the playback FIFOs ends at once.
void sound_playback_flush(PlaybackEnv *env);
// Hands the pass-through setting (DVR_AudioPassthru) to the running
// playback thread; nothing before it runs.
void playback_set_audio_passthru(int on);

// Opens the capture device (mode 1 or 2) for the input: "hw:0,1" as S32_LE
// for the digital input, else "hw:0,0" as S16_LE; and playback "hw:0,0"
// (mode 0 or 2). NULL when any part fails; a partly opened device is closed.
Sound_Handle Sound_alsa_create(const SoundAttrs *attrs);

// 1 while the playback thread holds no output device.
extern std::atomic<uint32_t> playback_idle;

// Converts frames S32_LE stereo frames in place to S16_LE stereo, taking the
// upper 16 bits and swapping the channels (the digital input's order).
void sound_s32_to_s16_swap(void *data, size_t frames);
// Builds mono from frames S16 stereo frames: mode 0 the average of left and
// right rounded down, 1 the right channel, 2 the left.
void sound_downmix(const int16_t *stereo, int16_t *mono, size_t frames, int mode);

// One frame of an ADTS buffer.
struct AdtsFrame {
  size_t offset;        // of the header in the buffer
  size_t length;        // header included
  size_t header;        // 7, or 9 with CRC
  int rate_index;       // 0 to 12
  int rate;             // Hz
  int channels;         // channel configuration, 0 to 7
};
// The frame at *pos, moving *pos past it: 1 with frame filled, 0 at the end
// of the buffer, -1 when the bytes at *pos are not a whole valid frame
// (*pos is left alone).
int adts_next_frame(const uint8_t *buf, size_t len, size_t *pos, AdtsFrame *frame);
