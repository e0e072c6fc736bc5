// The MP4 side of a recording: the tracks of the consumer's Mp4Muxer and the
// files it writes to. The muxed dequeue feeds the samples; muxer_free after
// the detach completes the file.
#include "storage/recorder_mp4.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "core/param_block.h"
#include "formats/mp4_write.h"
#include "media/stream_ids.h"
#include "media/stream_mux.h"
#include "media/video_enc.h"

void (*recorder_metadata)(SnapshotMetaFn fn, void *arg);

// 5541d8a0-6d66-4efb-abf4-b6eb7310cdc8
const uint8_t RECORDER_META_UUID[16] = {0x55, 0x41, 0xd8, 0xa0, 0x6d, 0x66, 0x4e, 0xfb,
                                        0xab, 0xf4, 0xb6, 0xeb, 0x73, 0x10, 0xcd, 0xc8};

namespace {
void put_metadata(const uint8_t *data, uint32_t length, int enabled, void *arg) {
  log_printf("%s: metadata ptr=%p len=%u en=%d\n", "setup_mp4_stream", (const void *)data, length, enabled);
  if (enabled && data && length) mp4_set_user_data((Mp4Muxer *)arg, RECORDER_META_UUID, data, length);
}
}  // namespace

int recorder_mp4_setup(StreamState *st, uint8_t mode, FILE *primary, int primary_fd, FILE *mirror,
                       int mirror_fd, uint64_t size_limit, uint32_t video_duration, uint32_t audio_duration) {
  Mp4Muxer *m = (Mp4Muxer *)st->mux;
  if (!m || !primary) return -1;
  const ParamBlock *p = get_param_block();
  int w = p->video[0].width, h = p->video[0].height;
  // Unknown until the capture has an input; players then take the size from
  // the stream's own parameter sets.
  if ((!w || !h) && getVideoSize(0, &w, &h) != 0) w = h = 0;
  bool audio = stream_mode_audio_type(mode) == AUDIO_TYPE_AAC;
  bool mpeg4 = stream_mode_video_es(mode) == VIDEO_TYPE_MPEG4;
  log_printf("%s: source=%d %dx%d mode=%d %s mux=%p muxBuf=%p muxBuf->buf=%p viddur=%d auddur=%d capstd=%d\n",
             "setup_mp4_stream", 1, w, h, mode, stream_mode_name(mode), (void *)m, (void *)st->muxBuf,
             st->muxBuf ? (void *)st->muxBuf->buf : nullptr, (int)video_duration, (int)audio_duration,
             p->capture.standard);
  uint32_t fourcc = mpeg4 ? MP4_FOURCC('m', 'p', '4', 'v') : MP4_FOURCC('a', 'v', 'c', '1');
  if (!mp4_video_track_create(m, fourcc, 90000, video_duration, 0, (uint32_t)w, (uint32_t)h,
                              p->video[0].h264_profile, p->video[0].h264_level))
    return -1;
  if (audio && !mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, audio_duration, 0,
                                       p->audio.sample_rate ? p->audio.sample_rate : 48000,
                                       p->audio.channels ? p->audio.channels : 1))
    return -1;
  if (recorder_metadata) recorder_metadata(put_metadata, m);
  // The writer goes straight to the file: the consumer's buffer is not used.
  muxer_free_buf(st);
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, primary);
  mp4_set_stream_fds(m, primary_fd, mirror_fd);
  if (mp4_write_header(m, nullptr, 0) != 0) return -1;
  if (size_limit) mp4_set_max_size(m, size_limit);
  if (mirror) mp4_set_mirror_file(m, mirror);
  return 0;
}

int recorder_mp4_flush(StreamState *st) {
  Mp4Muxer *m = (Mp4Muxer *)st->mux;
  return m ? mp4_flush(m) : 0;
}

int recorder_mp4_error(StreamState *st) {
  Mp4Muxer *m = (Mp4Muxer *)st->mux;
  return m ? mp4_get_error(m) : 0;
}

uint64_t recorder_mp4_projected_size(StreamState *st) {
  Mp4Muxer *m = (Mp4Muxer *)st->mux;
  if (!m) return 0;
  return muxer_pos(m) + (m->moov ? checkBoxSize(m->moov) : 0) + m->ilv_used + 1024;
}

bool recorder_mp4_file_has_media(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return true;
  uint64_t size = (uint64_t)st.st_size, at = 0;
  while (at + 8 <= size) {
    uint8_t h[16];
    if (pread(fd, h, sizeof h, (off_t)at) < 8) return true;
    uint64_t box = (uint64_t)h[0] << 24 | (uint64_t)h[1] << 16 | (uint64_t)h[2] << 8 | h[3];
    uint32_t header = 8;
    if (box == 1) {
      if (at + 16 > size) return true;
      box = 0;
      for (int i = 8; i < 16; i++) box = box << 8 | h[i];
      header = 16;
    } else if (box == 0) {
      box = size - at;   // to the end of the file
    }
    if (box < header) return true;
    if (!memcmp(h + 4, "mdat", 4)) return at + header < size;
    // A box past the end (a file cut inside it): no media box follows. The
    // size is compared before it is added, so a damaged one cannot wrap.
    if (box > size - at) return false;
    at += box;
  }
  return false;
}

const char *recorder_mp4_error_text(int code) { return mp4_error_text(code); }
