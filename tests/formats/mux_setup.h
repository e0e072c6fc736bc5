// A TsMux and an FlvMux set up the way a muxed consumer's attach sets them.
#pragma once
#include <cstring>

#include "formats/flv.h"
#include "formats/tsmux.h"

enum TsAudio { TS_NO_AUDIO, TS_AAC, TS_302M, TS_PCM };

// PMT 0x100, PCR 0x1001, H.264 on 0x1011 (profile 100, level 40), audio as
// asked; the first write carries the tables.
inline TsMux *ts_setup(TsAudio audio) {
  TsMux *m = tsmux_new();
  if (!m) return nullptr;
  m->pmt_pid = 0x100;
  m->pcr_pid = 0x1001;
  m->video.pid = 0x1011;
  m->video.stream_type = 0x1B;
  m->video.profile_idc = 100;
  m->video.level_idc = 40;
  m->last_psi_time = 0x100000;
  switch (audio) {
    case TS_AAC: m->audio.pid = 0x1100; m->audio.stream_type = 0x0F; break;
    case TS_302M:
      m->audio.pid = 0x101; m->audio.stream_type = 0x06; m->audio.registration = 1;
      memcpy(m->audio.format_id, "BSSD", 4);
      break;
    case TS_PCM: m->audio.pid = 0x101; m->audio.stream_type = 0x06; break;
    case TS_NO_AUDIO: break;
  }
  return m;
}

// AAC 48 kHz stereo when audio is asked for; H.264 640x480 at 29.97.
inline FlvMux *flv_setup(bool audio) {
  FlvMux *f = flv_new();
  if (!f) return nullptr;
  if (audio) {
    f->audio_codec_id = 10;
    f->audiodatarate = 200.0;
    f->audiosamplerate = 48000.0;
    f->audio_sample_size = 16;
    f->stereo = 1;
  }
  f->aac_packet_type = 1;
  f->video_codec_id = 7;
  f->videodatarate = 2500000.0;
  f->width = 640;
  f->height = 480;
  f->framerate = 29.97;
  f->avc_packet_type = 1;
  return f;
}
