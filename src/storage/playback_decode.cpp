// Playback decoding on the display thread: the compressed frames the reader
// puts into the full FIFO become pictures queued on the HD output. H.264 goes
// through the codec engine's "h264dec" straight into the buffers the output
// shows; JPEG through TurboJPEG to planar YUV and one conversion to NV12
// (4:2:0) or UYVY (4:2:2).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>
#include <turbojpeg.h>

#include "core/framecopy.h"
#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/log_episode.h"
#include "core/process_util.h"
#include "platform/framework/codec_engine.h"
#include "storage/playback.h"
#include "storage/playback_internal.h"

namespace {

enum { USE_DECODER = 1, USE_DISPLAY = 2 };

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }
bool in_playback_mode(void) { return playback_display_ops.get_mode() == PLAYBACK_DISPLAY_MODE; }

// The generation of the file this decoding serves.
uint32_t g_serving;
bool superseded(void) { return playback_generation() != g_serving; }

// Whether the decoding loop goes on: not at quit, not once another file
// started, and while the display plays or the reader still runs.
bool serving(void) { return !quitting() && !superseded() && (in_playback_mode() || playback_playing()); }

double now_s(void) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + t.tv_nsec / 1e9;
}

void frame_return(PlaybackFrame *fr) {
  if (fr) Fifo_put(playback_display_ops.free_fifo, fr);
}

// A frame of the full FIFO: 1 with *out set, 0 when none came within the
// output's wait, -1 to leave (flushed or failed).
int frame_take(PlaybackFrame **out) {
  PlaybackDisplayOps &d = playback_display_ops;
  int rc = d.poll_wait(d.full_fifo);
  if (rc <= 0) return rc < 0 ? -1 : 0;
  void *ptr = nullptr;
  if (Fifo_get(d.full_fifo, &ptr) != 0) {
    log_printf("Fifo_get failed\n");
    return -1;
  }
  *out = (PlaybackFrame *)ptr;
  return 1;
}

void end_state(void) {
  if (in_playback_mode() && !superseded() && PlaybackState != PLAYBACK_UNSUPPORTED) PlaybackState = PLAYBACK_ERROR;
}

}  // namespace

// A free output buffer; while none is free the output is given time to
// release one. NULL at quit or when the display leaves the playback mode.
Buffer_Handle wait_free_display_buffer(BufTab_Handle tab) {
  for (;;) {
    Buffer_Handle b = BufTab_getFreeBuf(tab);
    if (b || quitting() || !in_playback_mode() || superseded()) return b;
    sleep_ms(33);
    playback_display_ops.poll_wait(playback_display_ops.full_fifo);
  }
}

namespace {

struct VideoDecode {
  VIDDEC2_Handle dec;
  BufTab_Handle tab;
  int width, height, line;
  bool twice;
  int pictures;
  LogEpisode failures;   // pictures the decoder reported damaged
};

// A damaged stretch of a file fails picture after picture: its first failure
// is logged, and the count once it is over (no failure for this long, or
// the decoding ends).
constexpr uint32_t kFailureQuietMs = 5000;

void failures_end(VideoDecode *v, uint32_t quiet_ms) {
  if (uint32_t n = log_episode_ok(&v->failures, quiet_ms))
    log_printf("%s: %u pictures failed to decode\n", "decodeVideoThread", n);
}

// Queues the pictures a process call lists; false to leave the loop.
bool show_pictures(VideoDecode *v, const VIDDEC2_OutArgs &out, uint64_t ts) {
  PlaybackDisplayOps &d = playback_display_ops;
  for (int i = 0; i < VIDDEC2_MAX_IO_BUFFERS && out.outputID[i]; i++) {
    const VIDDEC2_DisplayBuf &p = out.displayBufs[i];
    Buffer_Handle b = BufTab_getBuf(v->tab, p.id - 1);
    if (!b) continue;
    if (p.width != v->width || p.height != v->height || p.lineLength != v->line) {
      int fps = playback_fps();
      if (d.set_resolution(p.width, p.height, p.lineLength, fps, v->tab,
                           VIDDEC2_CHROMA_OFFSET - VIDDEC2_LUMA_OFFSET) < 0) {
        log_printf("display doesn't support video resolution %ldx%ldp%d (%ld)\n", (long)p.width,
                   (long)p.height, fps, (long)p.lineLength);
        PlaybackState = PLAYBACK_UNSUPPORTED;
        Buffer_freeUseMask(b, USE_DISPLAY);
        return false;
      }
      v->width = p.width;
      v->height = p.height;
      v->line = p.lineLength;
      v->twice = d.get_fps() >= 2 * fps;
    }
    v->pictures++;
    uint8_t *picture = (uint8_t *)Buffer_getUserPtr(b) + VIDDEC2_LUMA_OFFSET;
    size_t used = (size_t)p.lineLength * (size_t)(p.height / 2) + VIDDEC2_CHROMA_OFFSET - VIDDEC2_LUMA_OFFSET;
    Buffer_setNumBytesUsed(b, used);
    if (v->twice) {
      Buffer_Handle b2 = wait_free_display_buffer(v->tab);
      if (b2) {
        Buffer_setUseMask(b2, USE_DISPLAY);
        Buffer_setNumBytesUsed(b2, used);
        if (d.queue_buffer(b2, picture, ts) < 0) {
          log_printf("display_hd_put failed (double_fps)\n");
          Buffer_freeUseMask(b2, USE_DISPLAY);
        }
      }
    }
    if (d.queue_buffer(b, picture, ts) < 0) {
      log_printf("display_hd_put failed\n");
      Buffer_freeUseMask(b, USE_DISPLAY);
    }
  }
  return true;
}

// One process call into a free buffer (input NULL: a picture held back for
// display order). -1 to leave the loop, else the number of pictures shown.
int decode_into(VideoDecode *v, const uint8_t *in, uint32_t len, uint64_t ts) {
  Buffer_Handle dst = wait_free_display_buffer(v->tab);
  if (!dst) {
    log_printf("hDstBuf null\n");
    return -1;
  }
  Buffer_setUseMask(dst, USE_DECODER | USE_DISPLAY);
  CodecBufDesc ib = {1, {(uint8_t *)in}, {(int32_t)len}};
  CodecBufDesc ob = {1, {(uint8_t *)Buffer_getUserPtr(dst)}, {(int32_t)Buffer_getSize(dst)}};
  VIDDEC2_InArgs ia = {sizeof ia, (int32_t)len, Buffer_getId(dst) + 1};
  VIDDEC2_OutArgs oa = {};
  oa.size = sizeof oa;
  pthread_mutex_lock(&codec_mutex);
  int32_t rc = VIDDEC2_process(v->dec, &ib, &ob, &ia, &oa);
  pthread_mutex_unlock(&codec_mutex);
  bool shown_dst = false;
  for (int i = 0; i < VIDDEC2_MAX_IO_BUFFERS && oa.outputID[i]; i++)
    if (oa.outputID[i] == ia.inputID) shown_dst = true;
  for (int i = 0; i < VIDDEC2_MAX_IO_BUFFERS && oa.freeBufID[i]; i++)
    Buffer_freeUseMask(BufTab_getBuf(v->tab, oa.freeBufID[i] - 1), USE_DECODER);
  if (!shown_dst) Buffer_freeUseMask(dst, USE_DISPLAY);
  if (rc != VIDDEC2_EOK) {
    bool fatal = oa.extendedError >> VIDDEC2_FATAL_BIT & 1;
    if (log_episode_fail(&v->failures) || fatal)
      log_printf("decode failed %lx, %s fatal=%ld\n", (unsigned long)oa.extendedError,
                 h264dec_error_name(oa.extendedError), (long)fatal);
    if (fatal) return -1;
  } else {
    failures_end(v, kFailureQuietMs);
  }
  int before = v->pictures;
  if (!show_pictures(v, oa, ts)) return -1;
  return v->pictures - before;
}

VIDDEC2_Handle open_decoder(size_t *out_size) {
  IH264VDEC_Params p = {};
  p.viddecParams = {56, 1088, 1920, 0, 50000000, 0, CODEC_CHROMA_YUV420SP};
  p.presetLevelIdc = 42;
  p.temporalDirModePred = p.seiVuiParseFlag = p.displayOrder = p.errorConcealment = 1;
  VIDDEC2_Handle h = VIDDEC2_create(playback_engine, "h264dec", &p.viddecParams);
  if (!h) {
    _GT_trace(GT_7CLASS, "[output_hd] Failed to open video decode algorithm\n");
    return nullptr;
  }
  char version[256] = "";
  VIDDEC2_Status st = {};
  st.size = sizeof st;
  st.version = version;
  st.versionSize = sizeof version;
  VIDDEC2_control(h, XDM_GETVERSION, nullptr, &st);
  log_printf("decoder library version: %s\n", version);
  VIDDEC2_DynamicParams dyn = {sizeof dyn, 0, 0, 0, 0, 0, 0};
  if (VIDDEC2_control(h, XDM_SETPARAMS, &dyn, &st) != VIDDEC2_EOK) {
    _GT_trace(GT_7CLASS, "[output_hd] XDM_SETPARAMS control failed\n");
  } else if (VIDDEC2_control(h, XDM_GETBUFINFO, &dyn, &st) != VIDDEC2_EOK) {
    _GT_trace(GT_7CLASS, "[output_hd] XDM_GETBUFINFO control failed\n");
  } else {
    _GT_trace(GT_1CLASS, "[output_hd] Video decoder instance created\n");
    *out_size = (size_t)st.bufInfo.minOutBufSize[0];
    return h;
  }
  VIDDEC2_delete(h);
  return nullptr;
}

}  // namespace

void decodeVideoThread(void) {
  PlaybackDisplayOps &d = playback_display_ops;
  VideoDecode v = {};
  v.width = v.height = v.line = -1;
  size_t out_size = 0;
  PlaybackFrame *fr = nullptr;
  int frames = 0;
  bool drained = true;
  double start = now_s();
  v.dec = open_decoder(&out_size);
  if (v.dec && !(v.tab = playback_buftab_create(out_size))) log_error("Failed to create output buftab\n");
  if (v.dec && v.tab) {
    log_printf("%s started, buffer sizes: in %ld size %ld, out %ld sizes %ld %ld\n", "decodeVideoThread",
               1L, (long)(1 << 20), (long)BufTab_getNumBufs(v.tab), (long)out_size, 0L);
    log_printf("Fifos out=%d in=%d cap=%d \n", Fifo_getNumEntries(d.free_fifo),
               Fifo_getNumEntries(d.full_fifo), 3);
    for (;;) {
      if (!serving()) break;
      int rc = frame_take(&fr);
      if (rc < 0) break;
      if (rc == 0) {
        // The file ended: the pictures held back for display order follow.
        if (!drained && PlaybackState == PLAYBACK_END && Fifo_getNumEntries(d.full_fifo) == 0) {
          VIDDEC2_Status st = {};
          st.size = sizeof st;
          VIDDEC2_control(v.dec, XDM_FLUSH, nullptr, &st);
          int n;
          while ((n = decode_into(&v, nullptr, 0, playback_position())) > 0) {}
          drained = true;
          if (n < 0) break;
        }
        continue;
      }
      if (!fr->buf) {
        log_printf("tsBuf empty\n");
        frame_return(fr);
        fr = nullptr;
        continue;
      }
      if (frames == 0 && !(fr->flags & PLAYBACK_FRAME_KEY)) {
        log_printf("decode missing keyframe\n");
        frame_return(fr);
        fr = nullptr;
        continue;
      }
      int n = decode_into(&v, (const uint8_t *)Buffer_getUserPtr(fr->buf),
                          (uint32_t)Buffer_getNumBytesUsed(fr->buf), fr->timestamp);
      drained = false;
      frame_return(fr);
      fr = nullptr;
      frames++;
      if (n < 0) break;
    }
  }
  failures_end(&v, 0);
  end_state();
  if (v.pictures) log_printf("%s: %f fps\n", "decodeVideoThread", v.pictures / (now_s() - start + 1e-9));
  frame_return(fr);
  if (d.close_output) d.close_output();
  if (v.dec) {
    pthread_mutex_lock(&codec_mutex);
    VIDDEC2_delete(v.dec);
    pthread_mutex_unlock(&codec_mutex);
  }
  if (v.tab) BufTab_delete(v.tab);
}

namespace {

// The JPEG pictures being shown: their layout and the output pictures.
struct JpegShow {
  BufTab_Handle tab;
  JpegLayout l;
};

// Sets up the output for a picture of that geometry; false to leave.
bool jpeg_geometry(JpegShow *s, int jw, int jh, int ss) {
  JpegLayout l;
  int rc = jpeg_layout(jw, jh, ss, &l);
  if (rc == JPEG_LAYOUT_SUBSAMPLING) {
    log_printf("unsupported chroma format %d %dx%d(%d)\n", ss, l.even_w, l.even_h, 0);
    PlaybackState = PLAYBACK_ERROR;
    return false;
  }
  log_printf("JPEG chroma format %d, %dx%d (%ld) %d\n", ss == TJSAMP_422 ? 422 : 420, jw, jh, (long)l.line,
             (int)l.planar_size);
  // One planar picture and the three the output starts with.
  BufTab_Handle tab = rc == JPEG_LAYOUT_OK ? playback_buftab_create(l.picture_size) : nullptr;
  if (!tab || BufTab_getNumBufs(tab) < 4) {
    log_printf("JPEG picture of %zu bytes does not fit the playback memory\n", l.picture_size);
    if (tab) BufTab_delete(tab);
    PlaybackState = PLAYBACK_UNSUPPORTED;
    return false;
  }
  for (int i = 0; i < BufTab_getNumBufs(tab); i++) Buffer_setUseMask(BufTab_getBuf(tab, i), 0);
  if (playback_display_ops.set_resolution(l.even_w, l.even_h, l.line, 0, tab, l.chroma_offset) < 0) {
    log_printf("display doesn't support video resolution %ldx%ldp (%ld)\n", (long)l.even_w, (long)l.even_h,
               (long)l.line);
    PlaybackState = PLAYBACK_UNSUPPORTED;
    BufTab_delete(tab);
    return false;
  }
  if (s->tab) BufTab_delete(s->tab);
  *s = {tab, l};
  return true;
}

// The output picture of b: its geometry for the conversion.
void set_out_geometry(const JpegLayout *l, Buffer_Handle b) {
  BufferGfx_setColorSpace(b, l->subsamp == TJSAMP_422 ? ColorSpace_UYVY : ColorSpace_YUV420PSEMI);
  BufferGfx_Dimensions dim = {0, 0, l->even_w, l->even_h, l->line};
  BufferGfx_setDimensions(b, &dim);
}

}  // namespace

int jpeg_layout(int jw, int jh, int ss, JpegLayout *l) {
  *l = {};
  l->width = jw;
  l->height = jh;
  l->subsamp = ss;
  l->even_w = (jw + 1) & ~1;
  l->even_h = (jh + 1) & ~1;
  int w = l->even_w, h = l->even_h;
  if (jw <= 0 || jh <= 0) return JPEG_LAYOUT_TOO_BIG;
  if (ss == TJSAMP_422) {
    l->line = (2 * w + 31) & ~31;
    l->chroma_offset = 0;
    l->out_size = (size_t)l->line * h;
  } else if (ss == TJSAMP_420) {
    l->line = (w + 31) & ~31;
    l->chroma_offset = h * l->line;
    l->out_size = (size_t)l->line * h * 3 / 2;
  } else {
    return JPEG_LAYOUT_SUBSAMPLING;
  }
  l->planar_size = tjBufSizeYUV2(w, 16, h, ss);
  size_t larger = l->planar_size > l->out_size ? l->planar_size : l->out_size;
  l->picture_size = (larger + 31) & ~(size_t)31;
  if (l->picture_size > playback_picture_space() / 4) return JPEG_LAYOUT_TOO_BIG;
  return JPEG_LAYOUT_OK;
}

int jpeg_to_planes(void *tj, const uint8_t *data, unsigned long len, const JpegLayout *s, uint8_t *base) {
  int ew = s->even_w, eh = s->even_h;
  int cw = ew / 2, ch = s->subsamp == TJSAMP_420 ? eh / 2 : eh;
  int ys = (ew + 15) & ~15, cs = (cw + 15) & ~15;
  unsigned char *planes[3] = {base, base + (size_t)ys * eh, base + (size_t)ys * eh + (size_t)cs * ch};
  int strides[3] = {ys, cs, cs};
  if (tjDecompressToYUVPlanes((tjhandle)tj, data, len, planes, s->width, strides, s->height, 0) != 0) return -1;
  if (s->width != ew)
    for (int r = 0; r < s->height; r++) planes[0][(size_t)r * ys + ew - 1] = planes[0][(size_t)r * ys + ew - 2];
  if (s->height != eh) {
    memcpy(planes[0] + (size_t)(eh - 1) * ys, planes[0] + (size_t)(eh - 2) * ys, (size_t)ys);
    int jch = tjPlaneHeight(1, s->height, s->subsamp);
    for (int p = 1; p < 3 && jch < ch; p++)
      memcpy(planes[p] + (size_t)(ch - 1) * cs, planes[p] + (size_t)(ch - 2) * cs, (size_t)cs);
  }
  return 0;
}

int playback_jpeg_check(int fd, int *width, int *height) {
  // The reader hands the decoder frames of at most one 1 MiB descriptor.
  constexpr size_t kFrameMax = 1 << 20;
  std::vector<uint8_t> data(kFrameMax);
  size_t len = 0;
  while (len < data.size()) {
    ssize_t n = read(fd, data.data() + len, data.size() - len);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log_printf("%s: read failed: %s\n", "playback_jpeg_check", strerror(errno));
      return PLAYBACK_ERROR;
    }
    len += (size_t)n;
  }
  if (len < 3 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) return PLAYBACK_ERROR;
  tjhandle tj = tjInitDecompress();
  if (!tj) return PLAYBACK_ERROR;
  int w, h, ss, cs;
  int rc = tjDecompressHeader3(tj, data.data(), (unsigned long)len, &w, &h, &ss, &cs);
  tjDestroy(tj);
  if (rc != 0) return PLAYBACK_ERROR;
  JpegLayout l;
  rc = jpeg_layout(w, h, ss, &l);
  if (rc == JPEG_LAYOUT_SUBSAMPLING) return PLAYBACK_ERROR;
  if (rc != JPEG_LAYOUT_OK) return PLAYBACK_UNSUPPORTED;
  *width = l.even_w;
  *height = l.even_h;
  return 0;
}

void decodeImageThread(void) {
  PlaybackDisplayOps &d = playback_display_ops;
  JpegShow s = {};
  PlaybackFrame *fr = nullptr;
  int frames = 0;
  tjhandle tj = tjInitDecompress();
  if (!tj) log_printf("Failed to tjInitDecompress: %s\n", tjGetErrorStr2(nullptr));
  log_printf("%s: main loop\n", "decodeImageThread");
  while (tj && serving()) {
    int rc = frame_take(&fr);
    if (rc < 0) break;
    if (rc == 0) continue;
    const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(fr->buf);
    unsigned long len = (unsigned long)Buffer_getNumBytesUsed(fr->buf);
    int w, h, ss, cs;
    if (tjDecompressHeader3(tj, data, len, &w, &h, &ss, &cs) != 0) {
      log_printf("tjDecompressHeader3: %s\n", tjGetErrorStr2(tj));
      break;
    }
    if ((w != s.l.width || h != s.l.height || ss != s.l.subsamp) && !jpeg_geometry(&s, w, h, ss)) break;
    bool first = frames == 0;
    if (first) playback_note_first_picture(timestamp_now());
    Buffer_Handle planar = wait_free_display_buffer(s.tab);
    if (!planar) break;
    Buffer_setUseMask(planar, USE_DISPLAY);
    if (jpeg_to_planes(tj, data, len, &s.l, (uint8_t *)Buffer_getUserPtr(planar)) != 0) {
      log_printf("tjDecompressToYUV2: %s\n", tjGetErrorStr2(tj));
      Buffer_freeUseMask(planar, USE_DISPLAY);
      break;
    }
    Buffer_Handle out = wait_free_display_buffer(s.tab);
    if (!out) {
      log_printf("%s: BufTab_getDisplayBuf NULL\n", "decodeImageThread");
      Buffer_freeUseMask(planar, USE_DISPLAY);
      break;
    }
    Buffer_setUseMask(out, USE_DISPLAY);
    set_out_geometry(&s.l, out);
    pthread_mutex_lock(&codec_mutex);
    int crc = ss == TJSAMP_422 ? Framecopy_yuv422p_to_uyvy(out, planar, s.l.even_w, s.l.even_h, 16)
                               : Framecopy_yuv420p_to_nv12(out, planar, s.l.even_w, s.l.even_h, 16);
    pthread_mutex_unlock(&codec_mutex);
    Buffer_freeUseMask(planar, USE_DISPLAY);
    if (crc != 0) {
      // Nothing was copied: the buffer is not shown, and the file is one
      // that cannot be viewed.
      log_printf("%s: conversion failed\n", "decodeImageThread");
      Buffer_freeUseMask(out, USE_DISPLAY);
      PlaybackState = PLAYBACK_ERROR;
      break;
    }
    Buffer_setNumBytesUsed(out, s.l.out_size);
    void *picture = Buffer_getUserPtr(out);
    if (d.queue_buffer(out, picture, 0) < 0) {
      log_printf("%s: display_hd_put failed\n", "decodeImageThread");
      Buffer_freeUseMask(out, USE_DISPLAY);
    }
    // The output starts once it holds three buffers.
    for (int i = 0; first && i < 2; i++) {
      Buffer_Handle more = wait_free_display_buffer(s.tab);
      if (!more) {
        log_printf("%s: i=%d BufTab_getDisplayBuf NULL\n", "decodeImageThread", i);
        break;
      }
      Buffer_setUseMask(more, USE_DISPLAY);
      Buffer_setNumBytesUsed(more, s.l.out_size);
      if (d.queue_buffer(more, picture, 0) < 0) Buffer_freeUseMask(more, USE_DISPLAY);
    }
    frame_return(fr);
    fr = nullptr;
    frames++;
  }
  log_printf("%s: display->mode=%d output_playing=%d frames=%d\n", "decodeImageThread", d.get_mode(),
             playback_playing(), frames);
  end_state();
  frame_return(fr);
  if (tj) tjDestroy(tj);
  if (d.close_output) d.close_output();
  if (s.tab) BufTab_delete(s.tab);
}

int decodeMain(void) {
  PlaybackDisplayOps &d = playback_display_ops;
  g_serving = playback_generation();
  playback_set_decoder_generation(g_serving);
  bool jpeg = playback_output && playback_output->stream_mode == 3;
  log_printf("%s: out=%d in=%d format=%s mode=%d\n", "decodeMain", Fifo_getNumEntries(d.free_fifo),
             Fifo_getNumEntries(d.full_fifo), jpeg ? "JPEG" : "H264", d.get_mode());
  if (jpeg)
    decodeImageThread();
  else
    decodeVideoThread();
  log_printf("%s: shutting down  mode=%d\n", "decodeMain", d.get_mode());
  while (in_playback_mode() && !quitting() && !superseded()) sleep_ms(100);
  // The reader must never block on a full FIFO while it winds down.
  while (playback_playing() && !quitting() && !superseded()) {
    void *ptr = nullptr;
    if (Fifo_getNumEntries(d.full_fifo) > 0 && Fifo_get(d.full_fifo, &ptr) == 0) {
      log_printf("moving buf to output fifo, display state=%d mode=%d output_playing=%d\n",
                 (int)PlaybackState, d.get_mode(), playback_playing());
      Fifo_put(d.free_fifo, ptr);
    } else {
      sleep_ms(100);
    }
  }
  log_printf("%s: exit\n", "decodeMain");
  playback_set_decoder_generation(0);
  return 0;
}
