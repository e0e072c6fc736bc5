// JPEG pictures: the image encoder's set-up, coding one picture with the
// quality lowered until it fits, the snapshot metadata block, and the JPEG
// loop of a channel in JPEG mode.
#include <cstring>

#include "core/framecopy.h"
#include "core/log.h"
#include "core/process_util.h"
#include "media/video_enc.h"
#include "platform/capture_ioctl.h"

void (*video_snapshot_metadata)(SnapshotMetaFn fn, void *arg);

namespace {

// Each try codes the whole picture once more under codec_mutex; quality
// falls by 3 a try, so this reaches 2 from anywhere in the range.
const int kMaxJpegTries = 34;

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }

int clamp_quality(int q) { return q < 2 ? 2 : q > 97 ? 97 : q; }

void jpeg_dyn_for(const VideoEncParams *p, uint32_t width, uint32_t height, uint32_t pitch,
                  uint32_t fourcc, IMGENC1_DynamicParams *d) {
  bool nv12 = fourcc != V4L2_PIX_FMT_UYVY;
  *d = IMGENC1_DYNAMICPARAMS_DEFAULT;
  d->size = (int32_t)sizeof *d;
  d->numAU = 0;
  d->inputChromaFormat = nv12 ? CODEC_CHROMA_YUV420SP : CODEC_CHROMA_YUV422ILE;
  d->inputHeight = (int32_t)height;
  d->inputWidth = (int32_t)width;
  d->captureWidth = (int32_t)(nv12 ? pitch : pitch / 2);
  d->generateHeader = 0;
  d->qValue = clamp_quality(p->jpeg_quality);
  d->rotation = (p->flip & 4) ? 90 : 0;
}

bool jpeg_markers_ok(const uint8_t *j, uint32_t n) {
  return n >= 4 && j[0] == 0xFF && j[1] == 0xD8 && j[n - 2] == 0xFF && j[n - 1] == 0xD9;
}

struct MetaInsert {
  uint8_t *jpeg;
  uint32_t bytes;
  uint32_t room;
};

// The metadata seen last, so that a motion JPEG stream without any logs it
// once, not for every picture. Called under the metadata's own lock.
struct MetaSeen {
  bool logged;
  const uint8_t *data;
  uint32_t length;
  int enabled;
};
MetaSeen meta_seen;

// The image encoder of snapshots taken while channel B codes H.264: its
// own, so that channel B's thread never finds its codecs changed under it.
VideoEncParams g_still;

void insert_meta(const uint8_t *data, uint32_t length, int enabled, void *arg) {
  MetaInsert *m = (MetaInsert *)arg;
  bool present = data && length;
  bool changed = !meta_seen.logged || data != meta_seen.data || length != meta_seen.length ||
                 enabled != meta_seen.enabled;
  if (present || changed)
    log_printf("snapshot metadata ptr=%p len=%d en=%d\n", (const void *)data, (int)length, enabled);
  meta_seen = {true, data, length, enabled};
  m->bytes = jpeg_insert_metadata(m->jpeg, m->bytes, m->room, data, length, enabled);
}

}  // namespace

int setup_jpeg_encoder(VideoEncParams *p, Engine_Handle engine) {
  IMGENC1_DynamicParams d;
  jpeg_dyn_for(p, p->width, p->height, p->pitch, p->fourcc, &d);
  log_printf("JPEG quality = %ld\n", (long)d.qValue);
  log_printf("creating JPEG image encoder max %dx%d %dx%d (%d), q %d, rot %d\n", (int)p->max_width,
             (int)p->max_height, (int)p->width, (int)p->height, (int)p->pitch, (int)d.qValue,
             (int)d.rotation);
  CodecStatus st = {};
  st.size = (int32_t)sizeof st;
  if (p->ienc) {
    log_printf("reusing existing IMGENC1_Handle\n");
    IMGENC1_control(p->ienc, XDM_RESET, &p->jpeg_dyn, &st);
  } else {
    IMGENC1_Params ip = IMGENC1_PARAMS_DEFAULT;
    ip.maxWidth = (int32_t)p->max_width;
    ip.maxHeight = (int32_t)p->max_height;
    pthread_mutex_lock(&framecopy_mutex);
    p->ienc = IMGENC1_create(engine, "jpegenc", &ip);
    pthread_mutex_unlock(&framecopy_mutex);
    if (!p->ienc) {
      log_printf("%s %d: Can't open imaging encode algorithm\n", __func__, __LINE__);
      return -1;
    }
  }
  int32_t rc = IMGENC1_control(p->ienc, XDM_SETPARAMS, &d, &st);
  if (rc != IMGENC1_EOK) {
    log_printf("%s %d: XDM_SETPARAMS failed, status=%d extendedError=%x (%s)\n", __func__, __LINE__,
               (int)rc, st.extendedError, jpeg_error_name(st.extendedError));
    return -1;
  }
  p->jpeg_dyn = d;
  rc = IMGENC1_control(p->ienc, XDM_GETBUFINFO, &p->jpeg_dyn, &st);
  if (rc != IMGENC1_EOK) {
    log_printf("%s %d: XDM_GETBUFINFO failed, status=%d\n", __func__, __LINE__, (int)rc);
    return -1;
  }
  p->in_size[0] = (uint32_t)st.bufInfo.minInBufSize[0];
  p->in_size[1] = st.bufInfo.minNumInBufs > 1 ? (uint32_t)st.bufInfo.minInBufSize[1] : 0;
  uint32_t out = (uint32_t)st.bufInfo.minOutBufSize[0];
  p->max_output = out > (uint32_t)VIDEO_MAX_OUTPUT ? (uint32_t)VIDEO_MAX_OUTPUT : out;
  log_printf("%s: jpeg in %ld %ld out %ld\n", p->env.name, (long)p->in_size[0], (long)p->in_size[1],
             (long)p->max_output);
  return 0;
}

uint32_t jpeg_insert_metadata(uint8_t *jpeg, uint32_t bytes, uint32_t room, const uint8_t *meta,
                              uint32_t meta_len, int enabled) {
  if (!enabled || !meta || !meta_len || !jpeg_markers_ok(jpeg, bytes)) return bytes;
  if ((uint64_t)bytes + meta_len > room) return bytes;
  // The block takes the place of the closing marker, which follows it.
  memcpy(jpeg + bytes - 2, meta, meta_len);
  jpeg[bytes - 2 + meta_len] = 0xFF;
  jpeg[bytes - 1 + meta_len] = 0xD9;
  return bytes + meta_len;
}

int video_jpeg_encode(VideoEncParams *p, const JpegPicture *pic, uint8_t *out, uint32_t room) {
  if (!p->ienc) return -1;
  bool nv12 = pic->fourcc != V4L2_PIX_FMT_UYVY;
  CodecBufDesc in = {};
  in.numBufs = nv12 ? 2 : 1;
  in.bufs[0] = (uint8_t *)pic->luma;
  in.bufSizes[0] = (int32_t)pic->luma_size;
  if (nv12) {
    in.bufs[1] = (uint8_t *)pic->chroma;
    in.bufSizes[1] = (int32_t)pic->chroma_size;
  }
  CodecBufDesc outb = {};
  outb.numBufs = 1;
  outb.bufs[0] = out;
  outb.bufSizes[0] = (int32_t)room;
  int bytes = -1;
  pthread_mutex_lock(&codec_mutex);
  pthread_mutex_lock(&framecopy_mutex);
  for (int tries = 0;; tries++) {
    if (tries >= kMaxJpegTries) {
      log_printf("%s: jpeg dropped after %d tries\n", p->env.name, tries);
      break;
    }
    // Set for every picture: the quality may have fallen since.
    IMGENC1_DynamicParams d;
    jpeg_dyn_for(p, pic->width, pic->height, pic->pitch, pic->fourcc, &d);
    CodecStatus st = {};
    st.size = (int32_t)sizeof st;
    int32_t rc = IMGENC1_control(p->ienc, XDM_SETPARAMS, &d, &st);
    if (rc != IMGENC1_EOK) {
      log_printf("%s %d: XDM_SETPARAMS failed, status=%d extendedError=%x (%s)\n", __func__, __LINE__,
                 (int)rc, st.extendedError, jpeg_error_name(st.extendedError));
      break;
    }
    p->jpeg_dyn = d;
    IMGENC1_InArgs ia = {(int32_t)sizeof ia};
    IMGENC1_OutArgs oa = {};
    oa.size = (int32_t)sizeof oa;
    rc = IMGENC1_process(p->ienc, &in, &outb, &ia, &oa);
    if (rc == IMGENC1_EOK) {
      uint32_t n = (uint32_t)oa.bytesGenerated;
      if (jpeg_markers_ok(out, n)) {
        bytes = (int)n;
        break;
      }
      log_printf("%s: bad jpeg %02x %02x ... %02x %02x (%u bytes)\n", p->env.name, n > 0 ? out[0] : 0,
                 n > 1 ? out[1] : 0, n > 1 ? out[n - 2] : 0, n > 0 ? out[n - 1] : 0, n);
      continue;
    }
    if (oa.extendedError != JPEGENC_ERR_OUTPUTBUF) {
      log_printf("IMGENC1_process() failed with error (%d ext: 0x%x)\n", (int)rc, oa.extendedError);
      break;
    }
    if (p->jpeg_quality <= 2) {
      log_printf("%s: jpeg of %d bytes exceeds %u at quality 2, dropped\n", p->env.name,
                 (int)oa.bytesGenerated, room);
      break;
    }
    p->jpeg_quality = (uint8_t)clamp_quality(p->jpeg_quality - 3);
    log_printf("%s: jpeg bytesGenerated=%d new JPEGQuality=%d ext=0x%x\n", p->env.name,
               (int)oa.bytesGenerated, (int)p->jpeg_quality, oa.extendedError);
  }
  pthread_mutex_unlock(&framecopy_mutex);
  pthread_mutex_unlock(&codec_mutex);
  if (bytes > 0 && video_snapshot_metadata) {
    MetaInsert m = {out, (uint32_t)bytes, room};
    video_snapshot_metadata(insert_meta, &m);
    bytes = (int)m.bytes;
  }
  return bytes;
}

int video_snapshot_jpeg(StreamQueue *capture, const FrameDesc *f, uint8_t *out, uint32_t room) {
  const VideoEncParams *b = getVideoEncParams(1);
  if (!b || !b->settings || !capture || !f) return -1;
  // The frame must be of the layout channel B set for its run: one of
  // another (the capture not yet reconfigured) is waited past.
  bool nv12 = b->fourcc != V4L2_PIX_FMT_UYVY;
  uint32_t lines = b->alternate ? b->height / 2 : b->height;
  uint32_t luma = b->pitch * lines;
  uint32_t expected = nv12 ? luma * 3 / 2 : luma;
  uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
  if (!(f->flags & FRAME_WHOLE) || !len || len != expected) return 0;
  VideoEncParams *s = &g_still;
  if (!s->engine) {
    s->env.name = "snapshot";
    s->max_width = 1920;
    s->max_height = 1080;
    s->engine = Engine_open("encode", nullptr, nullptr);
    if (!s->engine) {
      log_printf("%s %d: Failed to open codec engine %s\n", __func__, __LINE__, "encode");
      return -1;
    }
  }
  s->width = b->width;
  s->height = lines;
  s->pitch = b->pitch;
  s->fourcc = b->fourcc;
  s->jpeg_quality = b->settings->jpeg_quality;
  s->flip = b->settings->flip & 4;
  pthread_mutex_lock(&codec_mutex);
  int rc = setup_jpeg_encoder(s, s->engine);
  pthread_mutex_unlock(&codec_mutex);
  if (rc != 0) return -1;
  // Held while it is coded: the capture does not write over it meanwhile.
  StreamHold hold;
  if (ringbuffer_hold(capture, &hold, f->seq, len) != 0) return 0;
  const uint8_t *frame = (const uint8_t *)Buffer_getUserPtr(f->buf);
  JpegPicture pic = {frame, nv12 ? luma : len, nv12 ? frame + luma : nullptr, nv12 ? luma / 2 : 0,
                     s->width, lines, s->pitch, s->fourcc};
  int bytes = video_jpeg_encode(s, &pic, out, room);
  ringbuffer_release(capture, &hold);
  return bytes > 0 ? bytes : -1;
}

void video_jpeg_loop(VideoEncParams *p) {
  log_printf("%s: start idx=%d %s\n", p->env.name, p->index, p->codec ? p->codec : "none");
  bool nv12 = p->fourcc != V4L2_PIX_FMT_UYVY;
  uint32_t lines = p->alternate ? p->height / 2 : p->height;
  uint32_t luma = p->pitch * lines;
  uint32_t expected = nv12 ? luma * 3 / 2 : luma;
  uint32_t taken = 0;
  p->bad_size = 0;
  while (!quitting() && !stream_state_stopping(&p->state)) {
    FrameDesc *f = stream_state_dequeue_timeout(&p->capture, 500);
    if (!f) continue;
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
    if (!len || !(f->flags & FRAME_WHOLE)) continue;
    if (!video_frame_size_ok(p, len, expected)) continue;
    uint32_t dec = __atomic_load_n(&p->decimation, __ATOMIC_RELAXED);
    if (!dec) dec = 1;
    if (taken++ % dec) continue;
    int off = ringbuffer_preallocate(&p->queue, p->max_output);
    if (off < 0) continue;
    // Held while it is coded: the capture does not write over it meanwhile.
    StreamHold hold;
    if (ringbuffer_hold(p->capture.streamq, &hold, f->seq, len) != 0) continue;
    const uint8_t *frame = (const uint8_t *)Buffer_getUserPtr(f->buf);
    JpegPicture pic = {frame,    nv12 ? luma : len, nv12 ? frame + luma : nullptr,
                       nv12 ? luma / 2 : 0,         p->width, lines,     p->pitch, p->fourcc};
    int bytes = video_jpeg_encode(p, &pic, p->ring_base + off, p->max_output);
    ringbuffer_release(p->capture.streamq, &hold);
    if (bytes <= 0) continue;
    ringbuffer_put(&p->queue, (uint32_t)bytes, f->timestamp, STREAM_FLAG_KEY);
    p->bytes += (uint32_t)bytes;
    p->frames++;
  }
  log_printf("%s: exiting\n", p->env.name);
}
