// The "playback" thread: AAC buffers from file playback decoded onto the
// codec's output, or the live PCM_STREAM passed through.
#include <cstdio>
#include <cstring>
#include <poll.h>

#include "core/log.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "media/mixer.h"
#include "media/sound.h"
#include "media/stream_ids.h"
#include "media/stream_state.h"

namespace {

std::atomic<PlaybackEnv *> g_playback;

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }

struct Playback {
  PlaybackEnv *env;
  ParamBlock *pb;
  Engine_Handle engine;
  BufTab_Handle tab;
  AudioBufDesc desc[AUDIO_PLAYBACK_BUFS];
  Buffer_Handle dec_out;
  Buffer_Handle dec_in;       // points at the frame being decoded
  Adec1_Handle dec;
  int dec_rate;
  int stream_rate;            // rate of the last ADTS frame walked
  Sound_Handle dev;
  SoundAttrs attrs;
  StreamState passthru;
  bool passthru_on;
};

enum DeviceEnd { DEV_QUIT, DEV_LEAVE, DEV_FLUSHED, DEV_END_THREAD };

// Waits up to ms for an entry (or the flush) on a FIFO; true when one is there.
bool fifo_wait(Fifo_Handle f, int ms) {
  struct pollfd p = {Fifo_getFd(f), POLLIN, 0};
  return p.fd >= 0 && poll(&p, 1, ms) > 0;
}

bool own_buffer(const Playback *pb, const AudioBufDesc *d) {
  for (const AudioBufDesc &mine : pb->desc)
    if (&mine == d) return true;
  return false;
}

bool suspended(const PlaybackEnv *env) { return env->suspend && *env->suspend; }

// Writes a buffer's bytes used to the device; false (after closing it) on a
// write failure.
bool play(Playback *p, Buffer_Handle buf) {
  int rc = Sound_write(p->dev, buf);
  if (rc >= 0) return true;
  log_printf("Sound_write rc=%d\n", rc);
  Sound_delete(p->dev);
  p->dev = nullptr;
  return false;
}

// Decodes and plays the ADTS frames of one buffer. DEV_LEAVE when the device
// was closed, DEV_END_THREAD when no decoder can be made, else DEV_QUIT as
// "carry on".
DeviceEnd play_aac(Playback *p, const AudioBufDesc *d) {
  const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(d->buf);
  size_t len = Buffer_getNumBytesUsed(d->buf);
  if (len > Buffer_getSize(d->buf)) len = Buffer_getSize(d->buf);
  size_t pos = 0;
  AdtsFrame f;
  int r;
  while ((r = adts_next_frame(data, len, &pos, &f)) == 1) {
    if (f.rate != p->stream_rate) {
      log_printf("AAC samplerate changed to %ld\n", (long)f.rate);
      p->stream_rate = f.rate;
      // The output device only runs at these two.
      if (f.rate == 44100 || f.rate == 48000) p->pb->audio.sample_rate = (uint32_t)f.rate;
    }
    if (!p->dec || f.rate != p->dec_rate) {
      if (p->dec) Adec1_delete(p->dec);
      p->dec = Adec1_create(p->engine, "aacdec", &Adec1_Params_DEFAULT, nullptr);
      if (!p->dec) {
        log_printf("%s %d: failed to create AAC audio decoder\n", __func__, __LINE__);
        return DEV_END_THREAD;
      }
      p->dec_rate = f.rate;
    }
    Buffer_setUserPtr(p->dec_in, (int8_t *)data + f.offset);
    Buffer_setSize(p->dec_in, f.length);
    Buffer_setNumBytesUsed(p->dec_in, f.length);
    int rc = Adec1_process(p->dec, p->dec_in, p->dec_out);
    if (rc < 0) {
      log_printf("%s %d: Failed to decode audio buffer %d\n", __func__, __LINE__, rc);
      Adec1_delete(p->dec);
      p->dec = nullptr;
      continue;
    }
    size_t consumed = Buffer_getNumBytesUsed(p->dec_in);
    if (consumed < f.length) {
      log_printf("%s: AAC process consumed %ld, size %d, output %ld\n", __func__, (long)consumed,
                 (int)f.length, (long)Buffer_getNumBytesUsed(p->dec_out));
      char hex[16 * 3 + 2] = "";
      for (size_t i = 0; i < 16 && f.offset + i < len; i++)
        snprintf(hex + 3 * i, sizeof hex - 3 * i, "%02x ", data[f.offset + i]);
      log_printf("%s\n", hex);
    }
    if (Buffer_getNumBytesUsed(p->dec_out) > 0 && !play(p, p->dec_out)) return DEV_LEAVE;
  }
  if (r < 0)
    log_printf("%s: bad ADTS frame at %lu of %lu, rest skipped\n", __func__, (unsigned long)pos,
               (unsigned long)len);
  return DEV_QUIT;
}

void passthru_stop(Playback *p) {
  if (!p->passthru_on) return;
  log_printf("Audio passthru stopped\n");
  stream_state_detach(&p->passthru);
  p->passthru_on = false;
}

// One pass of pass-through: the newest PCM chunk published, played.
DeviceEnd passthru_pass(Playback *p) {
  if (!p->passthru_on) {
    log_printf("Audio passthru starting\n");
    memset(&p->passthru, 0, sizeof p->passthru);
    if (stream_state_attach(PCM_STREAM, StreamMode_Audio_PCM, &p->passthru) < 0) {
      sleep_ms(100);
      return DEV_QUIT;
    }
    p->passthru_on = true;
  }
  FrameDesc *f = stream_state_dequeue_timeout(&p->passthru, 500);
  if (!f) return DEV_QUIT;
  while (FrameDesc *newer = stream_state_dequeue_raw(&p->passthru)) f = newer;
  if (Buffer_getNumBytesUsed(f->buf) == 0) return DEV_QUIT;
  return play(p, f->buf) ? DEV_QUIT : DEV_LEAVE;
}

// Plays buffers on the open device until it has to be closed.
DeviceEnd run_device(Playback *p) {
  PlaybackEnv *env = p->env;
  int left = p->attrs.leftGain, right = p->attrs.rightGain;
  for (;;) {
    if (quitting()) return DEV_QUIT;
    const AudioParams &a = p->pb->audio;
    if (a.input == 2 || suspended(env) || (int)a.sample_rate != p->attrs.sampleRate) {
      log_printf("Audio playback thread off\n");
      return DEV_LEAVE;
    }
    if (a.out_volume_left != left || a.out_volume_right != right) {
      left = p->attrs.leftGain = a.out_volume_left;
      right = p->attrs.rightGain = a.out_volume_right;
      setMixerVolume(&p->attrs, 0, 0);
    }
    if (env->passthru) {
      DeviceEnd e = passthru_pass(p);
      if (e != DEV_QUIT) return e;
      continue;
    }
    passthru_stop(p);

    if (!fifo_wait(env->in_fifo, 5000)) continue;
    void *ptr = nullptr;
    int rc = Fifo_get(env->in_fifo, &ptr);
    if (rc == 1) return DEV_FLUSHED;
    if (rc < 0 || !ptr) {
      log_printf("%s %d: Failed to get Audio buffer\n", __func__, __LINE__);
      return DEV_END_THREAD;
    }
    AudioBufDesc *d = (AudioBufDesc *)ptr;
    if (!own_buffer(p, d)) Pause_test(env->pause);
    DeviceEnd end = DEV_QUIT;
    if (Fifo_getNumEntries(env->in_fifo) > 0 && (d->flags & AUDIO_BUF_PCM)) {
      log_printf("dropping audio buf\n");
    } else if (d->flags & AUDIO_BUF_PCM) {
      if (!play(p, d->buf)) end = DEV_LEAVE;
    } else {
      end = play_aac(p, d);
    }
    if (Fifo_put(d->owner, d) < 0) {
      log_printf("%s %d: Failed to put Audio buffer\n", __func__, __LINE__);
      return DEV_END_THREAD;
    }
    if (end != DEV_QUIT) return end;
  }
}

bool setup(Playback *p) {
  PlaybackEnv *env = p->env;
  const char *engine = env->engine ? env->engine : "encode";
  if (!(p->engine = Engine_open(engine, nullptr, nullptr))) {
    log_printf("%s %d: Failed to open codec engine %s\n", __func__, __LINE__, engine);
    return false;
  }
  if (!(p->tab = BufTab_create(AUDIO_PLAYBACK_BUFS, AUDIO_BUF_BYTES, &Buffer_Attrs_DEFAULT))) {
    log_printf("%s %d: Failed to allocate audio output buftab.\n", __func__, __LINE__);
    return false;
  }
  for (int i = 0; i < AUDIO_PLAYBACK_BUFS; i++) {
    p->desc[i] = {BufTab_getBuf(p->tab, i), env->free_fifo, 0, 0};
    if (!env->free_fifo || Fifo_put(env->free_fifo, &p->desc[i]) < 0) {
      log_printf("%s %d: Failed to send buffer to audio thread\n", __func__, __LINE__);
      return false;
    }
  }
  if (!(p->dec_out = Buffer_create(AUDIO_BUF_BYTES, &Buffer_Attrs_DEFAULT))) {
    log_printf("%s %d: Failed to allocate AAC decoding buffer\n", __func__, __LINE__);
    return false;
  }
  Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
  ref.reference = true;
  if (!(p->dec_in = Buffer_create(AUDIO_BUF_BYTES, &ref))) {
    log_printf("%s %d: Failed to allocate AAC reference buffer\n", __func__, __LINE__);
    return false;
  }
  return true;
}

}  // namespace

int adts_next_frame(const uint8_t *buf, size_t len, size_t *pos, AdtsFrame *frame) {
  if (!buf || !pos || *pos >= len) return 0;
  size_t left = len - *pos;
  const uint8_t *p = buf + *pos;
  if (left < ADTS_HEADER_SIZE || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) return -1;
  size_t header = (p[1] & 1) ? ADTS_HEADER_SIZE : ADTS_HEADER_SIZE + ADTS_CRC_SIZE;
  int index = (p[2] >> 2) & 0xF;
  size_t length = ((size_t)(p[3] & 3) << 11) | ((size_t)p[4] << 3) | (p[5] >> 5);
  if (index >= 13 || length < header || length > left) return -1;
  frame->offset = *pos;
  frame->length = length;
  frame->header = header;
  frame->rate_index = index;
  frame->rate = aac_index_rate(index);
  frame->channels = ((p[2] & 1) << 2) | (p[3] >> 6);
  *pos += length;
  return 1;
}

int sound_playback_prepare(ThreadEnv *arg) {
  PlaybackEnv *env = (PlaybackEnv *)arg;
  env->in_fifo = Fifo_create();
  env->free_fifo = Fifo_create();
  env->pause = Pause_create();
  if (env->in_fifo && env->free_fifo && env->pause) return 0;
  if (env->in_fifo) Fifo_delete(env->in_fifo);
  if (env->free_fifo) Fifo_delete(env->free_fifo);
  if (env->pause) Pause_delete(env->pause);
  env->in_fifo = env->free_fifo = nullptr;
  env->pause = nullptr;
  return -1;
}

void sound_playback_flush(PlaybackEnv *env) {
  if (env->in_fifo) Fifo_flush(env->in_fifo);
  if (env->free_fifo) Fifo_flush(env->free_fifo);
}

void playback_set_audio_passthru(int on) {
  PlaybackEnv *env = g_playback;
  if (env) env->passthru = on ? 1 : 0;
}

void *soundPlaybackThrFxn(void *arg) {
  PlaybackEnv *env = (PlaybackEnv *)arg;
  Playback p = {};
  p.env = env;
  p.pb = (ParamBlock *)env->env.params;
  bool ok = setup(&p);
  if (!ok) env->status = -1;
  myRendezvousInit(env->env.start_rendezvous, env->env.name);
  uint32_t model = board_identity.model;
  if (ok && (model == 6275 || model == 7341)) {
    log_printf("No audio output\n");
    ok = false;
  }
  if (ok) g_playback = env;
  bool flushed = false;
  while (ok && !quitting()) {
    while (suspended(env) && !quitting()) sleep_ms(100);
    while (p.pb->audio.input == 2 && !quitting()) {
      playback_idle = 1;
      sleep_ms(1000);
    }
    if (quitting()) break;
    if (flushed) {
      // The FIFOs are done for good: nothing more will come.
      sleep_ms(100);
      continue;
    }
    playback_idle = 0;
    const AudioParams &a = p.pb->audio;
    p.attrs = {(int)a.sample_rate, 2, a.out_volume_left, a.out_volume_right,
               Sound_Mode_OUTPUT, a.input, SOUND_PERIOD_FRAMES};
    if (!(p.dev = Sound_create(&p.attrs))) {
      log_printf("%s %d: Failed to create sound playback device\n", __func__, __LINE__);
      env->status = -1;
      break;
    }
    setMixerVolume(&p.attrs, 0, 0);
    log_printf("Sound playback device started. left=%d right=%d srate=%d\n", p.attrs.leftGain,
               p.attrs.rightGain, p.attrs.sampleRate);
    DeviceEnd end = run_device(&p);
    if (p.dev) Sound_delete(p.dev);
    p.dev = nullptr;
    if (end == DEV_FLUSHED) flushed = true;
    if (end == DEV_END_THREAD) {
      env->status = -1;
      break;
    }
  }
  g_playback = nullptr;
  passthru_stop(&p);
  playback_idle = 1;
  myRendezvousCleanup(env->env.cleanup_rendezvous, env->env.name);
  if (p.dec) Adec1_delete(p.dec);
  if (p.dec_out) Buffer_delete(p.dec_out);
  if (p.dec_in) Buffer_delete(p.dec_in);
  if (p.tab) BufTab_delete(p.tab);
  if (p.engine) Engine_close(p.engine);
  return nullptr;
}
