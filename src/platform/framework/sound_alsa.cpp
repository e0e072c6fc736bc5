// The media framework's Sound module over ALSA, and the PCM set-up it
// shares with the capture module's own device opening.
#include <cerrno>
#include <cstdlib>

#include "platform/framework/audio_engine.h"

namespace {

constexpr unsigned kMaxBufferUs = 500000;

#define SOUND_ERR(...) _GT_trace(GT_7CLASS, __VA_ARGS__)

void dump_pcm(snd_pcm_t *pcm) {
  if (!Dmai_traceEnabled(SOUND_TRACE_DUMP)) return;
  snd_output_t *out = nullptr;
  if (snd_output_stdio_attach(&out, stderr, 0) < 0) return;
  _GT_trace(SOUND_TRACE_DUMP, "[Sound] ");
  snd_pcm_dump(pcm, out);
  snd_output_close(out);
}

int setup_hw(SoundDevice *s, snd_pcm_t *pcm, const char *name, const SoundAttrs *attrs,
             snd_pcm_hw_params_t **hwp) {
  int rc = snd_pcm_hw_params_malloc(hwp);
  if (rc < 0) {
    SOUND_ERR("[Sound] Failed to alloc hardware param structure on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  snd_pcm_hw_params_t *hw = *hwp;
  if ((rc = snd_pcm_hw_params_any(pcm, hw)) < 0) {
    SOUND_ERR("[Sound] Failed to init ALSA hardware param structure on %s (%s)\n", name,
              snd_strerror(rc));
    return rc;
  }
  if ((rc = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
    SOUND_ERR("[Sound] Failed to set ALSA access type on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  snd_pcm_format_t format = s->bytesPerSample == 2 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S32_LE;
  if ((rc = snd_pcm_hw_params_set_format(pcm, hw, format)) < 0) {
    SOUND_ERR("[Sound] Failed to set sample format on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  unsigned rate = (unsigned)s->sampleRate;
  if ((rc = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr)) < 0) {
    SOUND_ERR("[Sound] Failed to set sample rate to %d on %s (%s)\n", s->sampleRate, name,
              snd_strerror(rc));
    return rc;
  }
  if ((rc = snd_pcm_hw_params_set_channels(pcm, hw, (unsigned)s->channels)) < 0) {
    SOUND_ERR("[Sound] Failed to set channel count to %d on %s (%s)\n", s->channels, name,
              snd_strerror(rc));
    return rc;
  }
  snd_pcm_uframes_t period = (snd_pcm_uframes_t)attrs->periodSize;
  if ((rc = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr)) < 0) {
    SOUND_ERR("[Sound] Failed to set the period size to %d on %s (%s)\n", attrs->periodSize, name,
              snd_strerror(rc));
    return rc;
  }
  if (period != (snd_pcm_uframes_t)attrs->periodSize)
    SOUND_ERR("[Sound] Failed to set period size (%d) , got (%d) on %s (%s)\n", attrs->periodSize,
              (int)period, name, snd_strerror(rc));
  unsigned buffer_us = 0;
  if ((rc = snd_pcm_hw_params_get_buffer_time_max(hw, &buffer_us, nullptr)) < 0) {
    SOUND_ERR("[Sound] Failed to get maximum buffer time on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  if (buffer_us > kMaxBufferUs) buffer_us = kMaxBufferUs;
  if ((rc = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_us, nullptr)) < 0) {
    SOUND_ERR("[Sound] Failed to set maximum buffer time on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  if ((rc = Sound_pcmHwParams(pcm, hw)) < 0) {
    SOUND_ERR("[Sound] Failed to set ALSA parameters on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  snd_pcm_uframes_t buffer = 0;
  snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
  snd_pcm_hw_params_get_buffer_size(hw, &buffer);
  if (period == buffer) {
    SOUND_ERR("[Sound] Can't use period size equal to buf size (%d == %d)\n", (int)period,
              (int)buffer);
    return -EINVAL;
  }
  s->sampleRate = (int)rate;
  s->periodSize = period;
  s->bufSize = buffer;
  return 0;
}

int setup_sw(SoundDevice *s, snd_pcm_t *pcm, const char *name, bool capture,
             snd_pcm_sw_params_t **swp) {
  int rc = snd_pcm_sw_params_malloc(swp);
  if (rc < 0) {
    SOUND_ERR("[Sound] Failed to alloc software param structure on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  snd_pcm_sw_params_t *sw = *swp;
  if ((rc = snd_pcm_sw_params_current(pcm, sw)) < 0) {
    SOUND_ERR("[Sound] Failed to read the current swparams on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  if ((rc = snd_pcm_sw_params_set_avail_min(pcm, sw, s->periodSize)) < 0) {
    SOUND_ERR("[Sound] Failed to set avail min to (%d) on %s (%s)\n", (int)s->periodSize, name,
              snd_strerror(rc));
    return rc;
  }
  // Capture starts with the first frame; playback once the buffer is full.
  snd_pcm_uframes_t start = capture ? 1 : s->bufSize;
  if ((rc = snd_pcm_sw_params_set_start_threshold(pcm, sw, start)) < 0) {
    SOUND_ERR("[Sound] Failed to set start threashold to (%d) on %s (%s)\n", (int)start, name,
              snd_strerror(rc));
    return rc;
  }
  if ((rc = snd_pcm_sw_params_set_stop_threshold(pcm, sw, s->bufSize)) < 0 ||
      (rc = snd_pcm_sw_params(pcm, sw)) < 0) {
    SOUND_ERR("[Sound] Failed to set swparams on %s (%s)\n", name, snd_strerror(rc));
    return rc;
  }
  _GT_trace(SOUND_TRACE_DUMP, "current start=%lu stop=%lu bufSize=%lu periodSize=%lu\n",
            (unsigned long)start, (unsigned long)s->bufSize, (unsigned long)s->bufSize,
            (unsigned long)s->periodSize);
  return 0;
}

}  // namespace

int Sound_openPcm(Sound_Handle s, const char *name, snd_pcm_stream_t stream,
                  const SoundAttrs *attrs) {
  if (!s || !name || !attrs) return -EINVAL;
  bool capture = stream == SND_PCM_STREAM_CAPTURE;
  snd_pcm_t **pcm = capture ? &s->rcIn : &s->rcOut;
  int rc = Sound_pcmOpen(pcm, name, stream, 0);
  if (rc < 0) {
    SOUND_ERR("[Sound] Failed to open ALSA sound device for %s %s (%s)\n",
              capture ? "input" : "output", name, snd_strerror(rc));
    *pcm = nullptr;
    return rc;
  }
  rc = setup_hw(s, *pcm, name, attrs, capture ? &s->hwParamsIn : &s->hwParamsOut);
  if (rc == 0) rc = setup_sw(s, *pcm, name, capture, capture ? &s->swParamsIn : &s->swParamsOut);
  if (rc == 0) dump_pcm(*pcm);
  return rc;
}

Sound_Handle Sound_create(const SoundAttrs *attrs) {
  if (!attrs) return nullptr;
  SoundDevice *s = (SoundDevice *)calloc(1, sizeof *s);
  if (!s) {
    SOUND_ERR("[Sound] Failed to allocate space for Sound Object\n");
    return nullptr;
  }
  s->sampleRate = attrs->sampleRate;
  s->channels = attrs->channels;
  s->bytesPerSample = 2;
  bool out = attrs->mode == Sound_Mode_OUTPUT || attrs->mode == Sound_Mode_FULLDUPLEX;
  bool in = attrs->mode == Sound_Mode_INPUT || attrs->mode == Sound_Mode_FULLDUPLEX;
  if ((out && Sound_openPcm(s, "plughw:0,0", SND_PCM_STREAM_PLAYBACK, attrs) < 0) ||
      (in && Sound_openPcm(s, "hw:0,0", SND_PCM_STREAM_CAPTURE, attrs) < 0)) {
    Sound_delete(s);
    return nullptr;
  }
  return s;
}

int Sound_read(Sound_Handle s, Buffer_Handle buf) {
  if (!s || !s->rcIn || !buf) return -EINVAL;
  size_t frame = (size_t)s->channels * (size_t)s->bytesPerSample;
  int8_t *p = Buffer_getUserPtr(buf);
  snd_pcm_uframes_t want = Buffer_getSize(buf) / frame, got = 0;
  bool recovered = false;
  while (got < want) {
    snd_pcm_sframes_t n = snd_pcm_readi(s->rcIn, p + got * frame, want - got);
    if (n == -EPIPE && !recovered) {
      recovered = true;
      snd_pcm_prepare(s->rcIn);
      continue;
    }
    if (n < 0) return (int)n;
    got += (snd_pcm_uframes_t)n;
  }
  Buffer_setNumBytesUsed(buf, got * frame);
  return 0;
}

int Sound_write(Sound_Handle s, Buffer_Handle buf) {
  if (!s || !s->rcOut || !buf) return -EINVAL;
  size_t frame = (size_t)s->channels * (size_t)s->bytesPerSample;
  const int8_t *p = Buffer_getUserPtr(buf);
  snd_pcm_uframes_t want = Buffer_getNumBytesUsed(buf) / frame, done = 0;
  bool recovered = false;
  while (done < want) {
    snd_pcm_sframes_t n = snd_pcm_writei(s->rcOut, p + done * frame, want - done);
    if (n == -EPIPE && !recovered) {
      recovered = true;
      snd_pcm_prepare(s->rcOut);
      continue;
    }
    if (n < 0) return (int)n;
    done += (snd_pcm_uframes_t)n;
  }
  return 0;
}

int Sound_delete(Sound_Handle s) {
  if (!s) return -1;
  if (s->rcIn) {
    Sound_pcmClose(s->rcIn);
  }
  if (s->rcOut) {
    snd_pcm_drain(s->rcOut);
    Sound_pcmClose(s->rcOut);
  }
  if (s->hwParamsIn) snd_pcm_hw_params_free(s->hwParamsIn);
  if (s->hwParamsOut) snd_pcm_hw_params_free(s->hwParamsOut);
  if (s->swParamsIn) snd_pcm_sw_params_free(s->swParamsIn);
  if (s->swParamsOut) snd_pcm_sw_params_free(s->swParamsOut);
  free(s);
  return 0;
}
