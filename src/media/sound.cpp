// The "sound" thread: capture from the codec through ALSA into PCM_STREAM,
// and AAC into AAC_STREAM while it has consumers.
//
// Chunk time stamps: the driver reports, in 90 kHz ticks, the last period
// boundary and the frames captured since; the chunk's first frame lies
// 1024 + avail frames before that boundary.
#include "media/sound.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/hwreg.h"
#include "core/log.h"
#include "core/log_episode.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "media/mixer.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"

std::atomic<uint32_t> playback_idle{1};

namespace {

// The module's state: one capture thread.
struct AudioModule {
  int bytes_per_sample;   // 2, or 4 for the digital input
  uint32_t model;         // the board model word read at start
  uint32_t last_ts;       // 90 kHz time stamp of the last chunk read
  uint32_t overruns;
  LogEpisode overrun_log;  // a device that keeps overrunning: one line a spell
};
AudioModule g_audio = {2, 0, 0, 0, {}};

// Overruns this close together belong to one spell.
constexpr uint32_t kOverrunQuietMs = 10000;

// An AAC encoder that could not be made is tried again after this long.
constexpr uint32_t kEncoderRetryTicks = 90000;

ProducerState g_pcm_state, g_aac_state;
StreamQueue g_pcm_queue, g_aac_queue;
Buffer_Handle g_pcm_ring, g_aac_ring;

const char *input_text(int input) {
  return input == 0 ? "Mic" : input == 1 ? "Line" : input == 2 ? "Digital" : "other";
}

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }

bool suspended(const SoundEnv *env) { return env->suspend && *env->suspend; }

// Waits in steps of poll_ms until Audio.Input differs from input or quit.
void wait_input_change(const ParamBlock *pb, int input, unsigned poll_ms) {
  while (!quitting() && pb->audio.input == input) sleep_ms(poll_ms);
}

bool producer_running(ProducerState *state) {
  pthread_mutex_lock(&state->mutex);
  bool running = !(state->flags & STREAM_STOPPED);
  pthread_mutex_unlock(&state->mutex);
  return running;
}

// The settings a capture device was opened with; a change of the first three
// reopens it, of the others only reaches the mixer.
struct OpenSettings {
  uint32_t rate;
  int channels;
  int input;
  int left, right, agc, mute;
};

OpenSettings current_settings(const SoundEnv *env, const ParamBlock *pb) {
  const AudioParams &a = pb->audio;
  return {a.sample_rate, env->channels, a.input, a.volume_left, a.volume_right,
          a.agc_left + 2 * a.agc_right, a.mute};
}

struct Capture {
  SoundEnv *env;
  ParamBlock *pb;
  Engine_Handle engine;
  Buffer_Handle in_ref;      // PCM input: points into PCM_STREAM's ring
  Buffer_Handle out_ref;     // AAC output: points into AAC_STREAM's ring
  Buffer_Handle mono;
  Aenc1_Handle enc;
  bool enc_failed;           // the last creation failed (and was logged)
  uint32_t enc_retry_ts;     // 90 kHz time of the next creation attempt
  int enc_channels;
  uint32_t enc_rate;
  uint32_t enc_bit_rate;
};

enum PassEnd { PASS_QUIT, PASS_REOPEN, PASS_READ_FAILED };

// (Re)creates the encoder for the current channel count and rate, and
// applies a changed bit rate. false: no encoder.
bool encoder_ready(Capture *c, uint32_t rate) {
  const AudioParams &a = c->pb->audio;
  int channels = a.channels == 1 ? 1 : 2;
  if (c->enc && (channels != c->enc_channels || rate != c->enc_rate)) {
    Aenc1_delete(c->enc);
    c->enc = nullptr;
  }
  // Creation that failed is tried again once a second, not for every chunk,
  // and the failure logged once until it succeeds.
  if (!c->enc && c->enc_failed && (int32_t)(timestamp_now() - c->enc_retry_ts) < 0) return false;
  if (!c->enc) {
    AUDENC1_Params p = Aenc1_Params_DEFAULT;
    p.sampleRate = (int32_t)rate;
    p.bitRate = (int32_t)a.bit_rate;
    p.channelMode = channels == 1 ? IAUDIO_1_0 : IAUDIO_2_0;
    p.inputFormat = IAUDIO_INTERLEAVED;
    p.inputBitsPerSample = 16;
    p.maxBitRate = 512000;
    p.adtsHeader = 1;
    AUDENC1_DynamicParams dyn = Aenc1_DynamicParams_DEFAULT;
    dyn.bitRate = p.bitRate;
    dyn.sampleRate = p.sampleRate;
    dyn.channelMode = p.channelMode;
    c->enc = Aenc1_create(c->engine, "aacenc", &p, &dyn);
    if (!c->enc) {
      if (!c->enc_failed)
        log_printf("%s %d: Failed to create audio encoder: aacenc\n", __func__, __LINE__);
      c->enc_failed = true;
      c->enc_retry_ts = timestamp_now() + kEncoderRetryTicks;
      c->env->status = -1;
      return false;
    }
    c->enc_failed = false;
    c->enc_channels = channels;
    c->enc_rate = rate;
    c->enc_bit_rate = a.bit_rate;
    log_printf("aac: ADTS=%d ch=%d in=%d out=%d rate=%d %d\n", p.adtsHeader, channels,
               Aenc1_getInBufSize(c->enc), Aenc1_getOutBufSize(c->enc), (int)rate,
               (int)a.bit_rate);
  }
  if (a.bit_rate != c->enc_bit_rate) {
    AUDENC1_DynamicParams dyn = Aenc1_DynamicParams_DEFAULT;
    dyn.bitRate = (int32_t)a.bit_rate;
    dyn.sampleRate = (int32_t)rate;
    dyn.channelMode = channels == 1 ? IAUDIO_1_0 : IAUDIO_2_0;
    AUDENC1_Status st = {sizeof st, 0, 0};
    if (AUDENC1_control(Aenc1_getVisaHandle(c->enc), XDM_SETPARAMS, &dyn, &st) != AUDENC1_EOK) {
      log_printf("%s %d: Failed to set AAC param bitRate\n", __func__, __LINE__);
    } else {
      log_printf("%s: AAC bitrate %d\n", __func__, (int)a.bit_rate);
    }
    c->enc_bit_rate = a.bit_rate;
  }
  return true;
}

// Encodes the chunk at pcm (4096 bytes S16 stereo) into AAC_STREAM.
void encode_chunk(Capture *c, int8_t *pcm, uint32_t rate, uint32_t ts) {
  if (!encoder_ready(c, rate)) return;
  int off = ringbuffer_preallocate(&g_aac_queue, SOUND_CHUNK_BYTES);
  if (off < 0) return;
  Buffer_setUserPtr(c->out_ref, (int8_t *)g_aac_queue.base + off);
  Buffer_setSize(c->out_ref, SOUND_CHUNK_BYTES);
  Buffer_Handle in = c->in_ref;
  Buffer_setUserPtr(in, pcm);
  Buffer_setNumBytesUsed(in, SOUND_CHUNK_BYTES);
  if (c->enc_channels == 1) {
    sound_downmix((const int16_t *)pcm, (int16_t *)Buffer_getUserPtr(c->mono), SOUND_PERIOD_FRAMES,
                  c->pb->audio.mono_mode);
    in = c->mono;
    Buffer_setNumBytesUsed(in, SOUND_CHUNK_BYTES / 2);
  }
  size_t in_bytes = Buffer_getNumBytesUsed(in);
  int rc = Aenc1_process(c->enc, in, c->out_ref);
  if (rc < 0) {
    log_printf("%s %d: Aenc1_process returned %d\n", __func__, __LINE__, rc);
    return;
  }
  size_t n = Buffer_getNumBytesUsed(c->out_ref);
  // The encoder's priming call yields nothing: an empty entry is never
  // published.
  if (n == 0) {
    log_printf("aac %p %u %ld\n", (void *)Buffer_getUserPtr(c->out_ref), (unsigned)in_bytes,
               (long)n);
    return;
  }
  ringbuffer_put(&g_aac_queue, (uint32_t)n, ts, STREAM_FLAG_KEY);
}

enum { READ_OK = 0, READ_FAILED = -1, READ_QUIT = 1 };

// Reads one period into ring space at data.
int read_period(Capture *c, Sound_Handle dev, int8_t *data, const char *device) {
  size_t frame_bytes = (size_t)g_audio.bytes_per_sample * 2;
  snd_pcm_uframes_t got = 0;
  while (got < SOUND_PERIOD_FRAMES) {
    if (quitting()) return READ_QUIT;
    snd_pcm_sframes_t n = snd_pcm_readi(dev->rcIn, data + got * frame_bytes, SOUND_PERIOD_FRAMES - got);
    if (n == -EPIPE) {
      // A device that cannot be made ready again would overrun for ever.
      int rc = snd_pcm_prepare(dev->rcIn);
      if (rc < 0) {
        log_printf("%s: snd_pcm_prepare: %s\n", __func__, snd_strerror(rc));
        return READ_FAILED;
      }
      if (log_episode_fail(&g_audio.overrun_log))
        log_printf("overrun!!! last capture was %d ms ago (cpu %d)\n",
                   (int)(timestamp_now() - g_audio.last_ts) / 90, get_cpu_load());
      g_audio.overruns++;
      continue;
    }
    if (n == -EAGAIN) {
      _GT_trace(GT_7CLASS, "[Sound] Device not ready %s\n", device);
      return READ_FAILED;
    }
    if (n < 0) return READ_FAILED;
    got += (snd_pcm_uframes_t)n;
  }
  if (uint32_t spell = log_episode_ok(&g_audio.overrun_log, kOverrunQuietMs))
    log_printf("%s: %u overruns, none for %u s since\n", "sound", spell, kOverrunQuietMs / 1000);
  return READ_OK;
}

PassEnd capture_loop(Capture *c, Sound_Handle dev, const OpenSettings &opened, SoundAttrs *attrs,
                     const char *device) {
  OpenSettings applied = opened;
  uint32_t rate = (uint32_t)dev->sampleRate;
  for (;;) {
    if (quitting()) return PASS_QUIT;
    if (suspended(c->env)) {
      log_printf("sound powering down\n");
      return PASS_REOPEN;
    }
    OpenSettings now = current_settings(c->env, c->pb);
    if (now.rate != opened.rate || now.channels != opened.channels) {
      log_printf("sound sample rate %ld %d or channels changed %d %d\n", (long)now.rate,
                 (int)opened.rate, now.channels, opened.channels);
      return PASS_REOPEN;
    }
    if (now.input != opened.input) {
      log_printf("set sound input: %s, left=%d right=%d agc=%d mute=%d\n",
                 now.input == 2 ? "Digital Audio" : input_text(now.input), now.left, now.right,
                 now.agc, now.mute);
      return PASS_REOPEN;
    }
    if (now.left != applied.left || now.right != applied.right || now.agc != applied.agc ||
        now.mute != applied.mute) {
      attrs->leftGain = now.left;
      attrs->rightGain = now.right;
      setMixerVolume(attrs, now.agc, now.mute);
      applied = now;
    }

    int off = ringbuffer_preallocate(&g_pcm_queue, (uint32_t)g_audio.bytes_per_sample * 2048);
    if (off < 0) return PASS_READ_FAILED;
    int8_t *data = (int8_t *)g_pcm_queue.base + off;
    int rc = read_period(c, dev, data, device);
    if (rc == READ_QUIT) return PASS_QUIT;
    if (rc != READ_OK) return PASS_READ_FAILED;

    snd_pcm_uframes_t avail = 0;
    snd_htimestamp_t hts = {};
    if (Sound_pcmHtimestamp(dev->rcIn, &avail, &hts) < 0) log_printf("error snd_pcm_htimestamp\n");
    uint32_t ts = (uint32_t)hts.tv_sec -
                  (uint32_t)(90000ull * (SOUND_PERIOD_FRAMES + avail) / rate);
    g_audio.last_ts = ts;
    if (g_audio.bytes_per_sample == 4) {
      sound_s32_to_s16_swap(data, SOUND_PERIOD_FRAMES);
      ts -= 46080000u / rate;
    }
    ringbuffer_put(&g_pcm_queue, SOUND_CHUNK_BYTES, ts, STREAM_FLAG_KEY);
    if (producer_running(&g_aac_state)) encode_chunk(c, data, rate, ts);
  }
}

bool setup(Capture *c) {
  SoundEnv *env = c->env;
  const char *engine = env->engine ? env->engine : "encode";
  if (!(c->engine = Engine_open(engine, nullptr, nullptr))) {
    log_printf("%s %d: Failed to open codec engine %s\n", __func__, __LINE__, engine);
    return false;
  }
  Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
  ref.reference = true;
  if (!(c->in_ref = Buffer_create(8192, &ref))) {
    log_printf("%s %d: Failed to allocate PCM input buffer.\n", __func__, __LINE__);
    return false;
  }
  if (!(c->out_ref = Buffer_create(SOUND_CHUNK_BYTES, &ref))) {
    log_printf("%s %d: Failed to allocate AAC output buffer.\n", __func__, __LINE__);
    return false;
  }
  if (!(c->mono = Buffer_create(SOUND_CHUNK_BYTES / 2, &Buffer_Attrs_DEFAULT))) {
    log_printf("%s %d: Failed to allocate mono conversion buffer.\n", __func__, __LINE__);
    return false;
  }
  // A ring that cannot be had is a start-up fault: stream_ring_create aborts.
  // The rings and their registration outlive the thread (readers may still
  // dequeue during shutdown); a thread run again (tests) finds them.
  if (!g_pcm_ring) g_pcm_ring = stream_ring_create(&g_pcm_queue, PCM_STREAM);
  if (!g_aac_ring) g_aac_ring = stream_ring_create(&g_aac_queue, AAC_STREAM);
  if (stream_queues[PCM_STREAM] != &g_pcm_queue) stream_register(&g_pcm_state, &g_pcm_queue, PCM_STREAM);
  if (stream_queues[AAC_STREAM] != &g_aac_queue) stream_register(&g_aac_state, &g_aac_queue, AAC_STREAM);
  return true;
}

void teardown(Capture *c) {
  if (c->enc) Aenc1_delete(c->enc);
  if (c->in_ref) Buffer_delete(c->in_ref);
  if (c->out_ref) Buffer_delete(c->out_ref);
  if (c->mono) Buffer_delete(c->mono);
  if (c->engine) Engine_close(c->engine);
}

}  // namespace

Sound_Handle Sound_alsa_create(const SoundAttrs *attrs) {
  if (!attrs) {
    log_printf("%s: no attributes\n", __func__);
    abort();
  }
  SoundDevice *s = (SoundDevice *)calloc(1, sizeof *s);
  if (!s) {
    _GT_trace(GT_7CLASS, "[Sound] Failed to allocate space for Sound Object\n");
    return nullptr;
  }
  s->sampleRate = attrs->sampleRate;
  s->channels = attrs->channels;
  bool in = attrs->mode == Sound_Mode_INPUT || attrs->mode == Sound_Mode_FULLDUPLEX;
  bool out = attrs->mode == Sound_Mode_OUTPUT || attrs->mode == Sound_Mode_FULLDUPLEX;
  g_audio.bytes_per_sample = in && attrs->soundInput == Sound_Input_DIGITAL ? 4 : 2;
  s->bytesPerSample = g_audio.bytes_per_sample;
  const char *capture = attrs->soundInput == Sound_Input_DIGITAL ? "hw:0,1" : "hw:0,0";
  if ((in && Sound_openPcm(s, capture, SND_PCM_STREAM_CAPTURE, attrs) < 0) ||
      (out && Sound_openPcm(s, "hw:0,0", SND_PCM_STREAM_PLAYBACK, attrs) < 0)) {
    Sound_delete(s);
    return nullptr;
  }
  return s;
}

void sound_s32_to_s16_swap(void *data, size_t frames) {
  const int32_t *in = (const int32_t *)data;
  int16_t *out = (int16_t *)data;
  // Front to back: output frame i overwrites only input frames already read.
  for (size_t i = 0; i < frames; i++) {
    int32_t first = in[2 * i], second = in[2 * i + 1];
    out[2 * i] = (int16_t)(second >> 16);
    out[2 * i + 1] = (int16_t)(first >> 16);
  }
}

void sound_downmix(const int16_t *stereo, int16_t *mono, size_t frames, int mode) {
  for (size_t i = 0; i < frames; i++) {
    int l = stereo[2 * i], r = stereo[2 * i + 1];
    if (mode == 1) {
      mono[i] = (int16_t)r;
    } else if (mode == 2) {
      mono[i] = (int16_t)l;
    } else {
      int sum = l + r;
      mono[i] = (int16_t)(sum >= 0 ? sum / 2 : -((1 - sum) / 2));
    }
  }
}

void *soundCaptureThrFxn(void *arg) {
  SoundEnv *env = (SoundEnv *)arg;
  ParamBlock *pb = (ParamBlock *)env->env.params;
  g_audio.model = board_identity.model;
  audio_model = g_audio.model;
  Capture c = {};
  c.env = env;
  c.pb = pb;
  bool ok = setup(&c);
  if (!ok) env->status = -1;
  myRendezvousInit(env->env.start_rendezvous, env->env.name);

  if (!ok) {
    while (!quitting()) sleep_ms(1000);
  } else {
    if ((g_audio.model == 6471 || g_audio.model == 6271) && pb->audio.input == 2)
      pb->audio.input = 1;
    sleep_ms(1000);
  }
  while (ok && !quitting()) {
    while (suspended(env) && !quitting()) sleep_ms(500);
    if (quitting()) break;
    OpenSettings opened = current_settings(env, pb);
    if (opened.input == 2) {
      while (!playback_idle && !quitting()) sleep_ms(20);
      if (quitting()) break;
    }
    SoundAttrs attrs = {(int)opened.rate, env->channels, opened.left, opened.right,
                         Sound_Mode_INPUT,  opened.input,  SOUND_PERIOD_FRAMES};
    Sound_Handle dev = Sound_alsa_create(&attrs);
    if (!dev) {
      log_printf("%s %d: Failed to create sound capture device\n", __func__, __LINE__);
      while (!quitting() && pb->audio.input == opened.input) sleep_ms(100);
      continue;
    }
    const char *device = opened.input == 2 ? "hw:0,1" : "hw:0,0";
    log_printf("%s: input=%s, left=%ld right=%ld agc=%d mute=%d passthru=%d bufsize=%ld rate=%ld "
               "AudioModel=%d\n",
               __func__, input_text(opened.input), (long)opened.left, (long)opened.right,
               opened.agc, opened.mute, pb->dvr_audio_passthru, (long)dev->bufSize,
               (long)dev->sampleRate, (int)g_audio.model);
    setMixerVolume(&attrs, opened.agc, opened.mute);
    snd_pcm_start(dev->rcIn);
    PassEnd end = capture_loop(&c, dev, opened, &attrs, device);
    if (end == PASS_READ_FAILED) {
      log_printf("%s %d: Failed to read audio buffer\n", __func__, __LINE__);
      wait_input_change(pb, opened.input, 1000);
      env->status = -1;
    }
    Sound_delete(dev);
  }

  teardown(&c);
  myRendezvousCleanup(env->env.cleanup_rendezvous, env->env.name);
  return nullptr;
}
