// The encoder threads: set-up, the run loop around the producer's starts and
// stops, the H.264 set-up and encode loop with its slice output. The JPEG
// side lives in video_enc_jpeg.cpp, the tables in video_enc_tables.cpp.
#include "media/video_enc.h"

#include <cstring>
#include <ctime>

#include "core/hwreg.h"
#include "core/log.h"
#include "core/process_util.h"
#include "core/vpss_reset.h"
#include "media/capture.h"
#include "media/stream_ids.h"

namespace {

VideoEncParams *g_channels[2];

// Output B's largest picture.
const uint16_t kChannelBMaxWidth = 768, kChannelBMaxHeight = 576;

// Capture slices of the frame being coded come within a frame time; the
// wait holds codec_mutex, so it is kept short.
const uint32_t kSliceWaitMs = 100;

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }

bool stopping(VideoEncParams *p) { return quitting() || stream_state_stopping(&p->state); }

double seconds_since(const timespec &t0) {
  timespec t1;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
}

// stream_state_wait_start, but the wait wakes every 100 ms to look at the
// quit flag: the shutdown's stop of every stream may come just before it.
bool wait_for_start(ProducerState *s) {
  pthread_mutex_lock(&s->mutex);
  bool quit = false;
  while ((s->flags & STREAM_STOPPED) && !(s->flags & STREAM_START) && !(quit = quitting())) {
    timespec until = clock_after_ms(CLOCK_REALTIME, 100);
    pthread_cond_timedwait(&s->cond, &s->mutex, &until);
  }
  pthread_mutex_unlock(&s->mutex);
  return !quit && stream_state_wait_start(s);
}

void video_enc_reset(int channel) {
  VideoEncParams *p = getVideoEncParams(channel);
  if (p) __atomic_store_n(&p->reconfigure, 1, __ATOMIC_RELAXED);
}

void copy_settings(VideoEncParams *p) {
  const VideoChannelParams *s = p->settings;
  p->profile = s->h264_profile;
  p->level = s->h264_level;
  p->jpeg_quality = s->jpeg_quality;
  p->aspect_ratio = s->aspect_ratio;
  p->gop = s->gop_size;
  p->rate_mode = s->rate_mode > 6 ? 0 : s->rate_mode;
  p->bit_rate = s->bit_rate;
  p->bitrate_changed = 0;
}

void apply_geometry(VideoEncParams *p, const VideoGeometry *g) {
  p->video_type = g->video_type;
  p->flip = g->flip;
  p->width = g->width;
  p->height = g->height;
  p->pitch = g->pitch;
  p->fourcc = g->fourcc;
  p->field = g->field;
  p->alternate = g->alternate;
  p->fps = g->fps;
  __atomic_store_n(&p->decimation, g->decimation, __ATOMIC_RELAXED);
  p->min_decimation = g->min_decimation;
  p->slice_lines = g->slice_lines;
}

// The detected input; with need set, waits (100 ms polls) until the capture
// knows it. -1 when state stops or the process quits first.
int read_input(ProducerState *state, bool need, VideoInput *in) {
  for (;;) {
    uint32_t interlaced;
    capture_input_get(&in->width, &in->height, &interlaced, &in->fps);
    in->interlaced = (int)interlaced;
    if (!need || (in->width && in->height && in->fps)) return 0;
    if (quitting() || (state && stream_state_stopping(state))) return -1;
    sleep_ms(100);
  }
}

// Channel 1 is the resizer's output B in every mode, so its pictures are
// its own at the size its parameters report: an unset size is output B's
// size at power-up, never the input's nor what the monitor's picture made
// of output B meanwhile, and no size goes past what output B's ring holds.
VideoChannelParams channel_settings(const VideoEncParams *p) {
  VideoChannelParams s = *p->settings;
  if (p->index != 1) return s;
  if (!s.width || !s.height) {
    s.width = CAPTURE_B_DEFAULT_WIDTH;
    s.height = CAPTURE_B_DEFAULT_HEIGHT;
  }
  if (s.width > kChannelBMaxWidth) s.width = kChannelBMaxWidth;
  if (s.height > kChannelBMaxHeight) s.height = kChannelBMaxHeight;
  return s;
}

void close_codec(VideoEncParams *p) {
  if (!p->codec) return;
  if (strcmp(p->codec, "jpegenc") == 0) {
    if (p->ienc) IMGENC1_delete(p->ienc);
    p->ienc = nullptr;
  } else {
    if (p->venc) VIDENC1_delete(p->venc);
    p->venc = nullptr;
  }
  p->codec = nullptr;
}

void close_all_codecs(VideoEncParams *p) {
  if (p->venc) VIDENC1_delete(p->venc);
  if (p->ienc) IMGENC1_delete(p->ienc);
  p->venc = nullptr;
  p->ienc = nullptr;
  p->codec = nullptr;
}

int32_t target_bit_rate(uint32_t bit_rate, int32_t max_bit_rate) {
  int64_t r = bit_rate < 100000 ? 100000 : bit_rate;
  if (max_bit_rate > 0 && r > max_bit_rate) r = max_bit_rate;
  return (int32_t)r;
}

void log_rate(const char *indent, const H264VENC_DynamicParams *d) {
  log_printf("%sbitrate=%ld intraFrameQP=%ld interPFrameQP=%ld rcQ=%ld:%ld I=%ld:%ld\n", indent,
             (long)d->videncDynamicParams.targetBitRate, (long)d->intraFrameQP,
             (long)d->interPFrameQP, (long)d->rcQMin, (long)d->rcQMax, (long)d->rcQMinI,
             (long)d->rcQMaxI);
}

int32_t slice_put(void *handle, H264ENC_DataSyncDesc *desc);

// With codec_mutex held.
int setup_h264(VideoEncParams *p, Engine_Handle engine) {
  H264VENC_Params sp = H264VENC_PARAMS_DEFAULT;
  VIDENC1_Params &b = sp.videncParams;
  bool fixed_qp = p->bit_rate == 0;
  b.size = (int32_t)sizeof(H264VENC_Params);
  b.encodingPreset = 3;
  b.rateControlPreset = fixed_qp ? H264ENC_RC_PRESET_NONE : H264ENC_RC_PRESET_USER;
  b.maxHeight = (int32_t)p->max_height;
  b.maxWidth = (int32_t)p->max_width;
  b.maxFrameRate = 60000;
  b.maxBitRate = fixed_qp ? 0 : 50000000;
  b.dataEndianness = 1;
  b.maxInterFrameInterval = 1;
  b.inputChromaFormat = CODEC_CHROMA_YUV420SP;
  b.reconChromaFormat = CODEC_CHROMA_YUV420SP;
  b.inputContentType = p->alternate ? IVIDEO_INTERLACED : IVIDEO_PROGRESSIVE;
  sp.profileIdc = p->profile;
  sp.levelIdc = h264_level_select(p->width, p->height, (int)p->alternate, p->fps, p->bit_rate,
                                  p->profile, p->level);
  sp.Log2MaxFrameNumMinus4 = 0;
  sp.ConstraintSetFlag = 0;
  sp.entropyMode = p->profile == 66 ? 0 : 1;
  sp.transform8x8FlagIntraFrame = 1;
  sp.transform8x8FlagInterFrame = 0;
  sp.enableVUIparams = 4;
  sp.meAlgo = 0;
  sp.seqScalingFlag = p->profile == 100 ? 1 : 0;
  sp.encQuality = 3;
  sp.sliceMode = p->slice_lines ? H264ENC_SLICEMODE_ROWS : H264ENC_SLICEMODE_NONE;
  sp.outputDataMode = p->slice_lines ? H264ENC_OUTPUT_SLICES : H264ENC_OUTPUT_FRAME;
  sp.sliceFormat = 1;

  H264VENC_DynamicParams d = H264VENC_DYNAMICPARAMS_DEFAULT;
  VIDENC1_DynamicParams &db = d.videncDynamicParams;
  H264Timing timing;
  h264_vui_timing(p->fps, __atomic_load_n(&p->decimation, __ATOMIC_RELAXED), (int)p->alternate,
                  &timing);
  db.size = (int32_t)sizeof(H264VENC_DynamicParams);
  db.inputHeight = (int32_t)p->height;
  db.inputWidth = (int32_t)p->width;
  db.captureWidth = (int32_t)p->pitch;
  db.targetFrameRate = timing.target_fps;
  db.refFrameRate = db.targetFrameRate;
  db.targetBitRate = target_bit_rate(p->bit_rate, b.maxBitRate);
  db.intraFrameInterval = p->gop;
  db.generateHeader = 0;
  db.forceFrame = -1;
  db.interFrameInterval = 0;
  db.mbDataFlag = 0;
  d.idrFrameInterval = p->gop;
  d.sliceSize = (int32_t)(p->slice_lines / 16);
  d.airRate = 0;
  d.intraFrameQP = 28;
  d.interPFrameQP = 28;
  d.initQ = -1;
  H264RateLimits lim = h264_rate_limits(p->rate_mode);
  d.rcQMin = lim.qmin;
  d.rcQMax = lim.qmax;
  d.rcQMinI = lim.qmin_i;
  d.rcQMaxI = lim.qmax_i;
  d.rcAlgo = lim.rc_algo;
  d.maxDelay = 1000;
  d.vui.aspectRatioInfoPresentFlag =
      h264_pixel_aspect(p->aspect_ratio, p->width, p->height, &d.aspectRatioX, &d.aspectRatioY);
  if (d.vui.aspectRatioInfoPresentFlag) {
    uint32_t dw = p->aspect_ratio == 1 ? 4 : 16, dh = p->aspect_ratio == 1 ? 3 : 9;
    log_printf("h264 PAR %d:%d DAR %d:%d\n", d.aspectRatioX, d.aspectRatioY, (int)dw, (int)dh);
  }
  d.lfDisableIdc = 0;
  d.enableBufSEI = 0;
  d.enablePicTimSEI = p->alternate ? 1 : 0;
  d.perceptualRC = 0;
  d.mvSADoutFlag = 0;
  d.resetHDVICPeveryFrame = 0;
  d.enableROI = 0;
  d.metaDataGenerateConsume = 0;
  d.maxBitrateCVBR = (int32_t)((int64_t)db.targetBitRate * 110 / 100);
  d.interlaceRefMode = (int32_t)p->alternate;
  d.enableGDR = 0;
  d.GDRduration = 5;
  d.GDRinterval = 30;
  d.CVBRminbitrate = 216;
  d.vui.timingInfoPresentFlag = 1;
  d.vui.timeScale = timing.time_scale;
  d.vui.numUnitsInTicks = timing.units_per_tick;
  d.putDataGetSpaceFxn = slice_put;
  d.dataSyncHandle = p;

  log_printf("h264 frameRate=%d timeScale=%d numUnitsInTicks=%d interlaced=%d fdec=%d\n",
             (int)p->fps, d.vui.timeScale, d.vui.numUnitsInTicks, (int)p->alternate,
             (int)__atomic_load_n(&p->decimation, __ATOMIC_RELAXED));
  log_rate("  ", &d);
  log_printf("h264 level=%d profile=%d quality=%d IDR=%d rcAlgo=%d interlaced=%d \n", sp.levelIdc,
             sp.profileIdc, sp.encQuality, d.idrFrameInterval, d.rcAlgo, (int)p->alternate);
  log_printf("h264 slice_lines=%u sliceMode=%u outputDataMode=%u sliceFormat=%u sliceSize=%u\n",
             p->slice_lines, (unsigned)sp.sliceMode, (unsigned)sp.outputDataMode,
             (unsigned)sp.sliceFormat, (unsigned)d.sliceSize);
  log_printf("%s %dx%d (%d) TBR=%d MBR=%d TFR=%d RFR=%d MFR=%d GOP=%d\n", p->env.name,
             (int)p->width, (int)p->height, (int)p->pitch, db.targetBitRate, b.maxBitRate,
             db.targetFrameRate, db.refFrameRate, b.maxFrameRate, db.intraFrameInterval);

  CodecStatus st = {};
  st.size = (int32_t)sizeof st;
  // The static parameters are fixed when the encoder is created: a handle
  // made with others (profile, level, slices...) is made anew.
  if (p->venc && memcmp(&p->h264, &sp, sizeof sp) == 0) {
    log_printf("reusing existing VIDENC1_Handle\n");
    if (VIDENC1_control(p->venc, XDM_RESET, (VIDENC1_DynamicParams *)&p->dyn, &st) != VIDENC1_EOK) {
      log_printf("%s %d: XDM_RESET control failed\n", __func__, __LINE__);
      return -1;
    }
  } else {
    if (p->venc) VIDENC1_delete(p->venc);
    p->venc = VIDENC1_create(engine, "h264enc", &sp.videncParams);
    if (!p->venc) {
      log_printf("%s %d: Failed to open video encode algorithm: %s (0x%x)\n", __func__, __LINE__,
                 "h264enc", 0u);
      return -1;
    }
    p->h264 = sp;
  }
  p->dyn = d;
  int32_t rc = VIDENC1_control(p->venc, XDM_SETPARAMS, (VIDENC1_DynamicParams *)&p->dyn, &st);
  if (rc != VIDENC1_EOK) {
    log_printf("%s %d: XDM_SETPARAMS failed, status=%d extendedError=%x %s\n", __func__, __LINE__,
               (int)rc, st.extendedError, h264_error_name(st.extendedError));
    return -1;
  }
  rc = VIDENC1_control(p->venc, XDM_GETBUFINFO, (VIDENC1_DynamicParams *)&p->dyn, &st);
  if (rc != VIDENC1_EOK) {
    log_printf("%s %d: XDM_GETBUFINFO control failed, status=%d, extendedError=%x\n", __func__,
               __LINE__, (int)rc, st.extendedError);
    return -1;
  }
  p->in_size[0] = (uint32_t)st.bufInfo.minInBufSize[0];
  p->in_size[1] = (uint32_t)st.bufInfo.minInBufSize[1];
  uint32_t out = (uint32_t)st.bufInfo.minOutBufSize[0];
  p->max_output = out > (uint32_t)VIDEO_MAX_OUTPUT ? (uint32_t)VIDEO_MAX_OUTPUT : out;
  return 0;
}

// A new rate takes effect in the running encoder. With codec_mutex held.
void apply_bit_rate(VideoEncParams *p) {
  H264VENC_DynamicParams *d = &p->dyn;
  d->videncDynamicParams.targetBitRate = target_bit_rate(p->bit_rate, p->h264.videncParams.maxBitRate);
  d->maxBitrateCVBR = (int32_t)((int64_t)d->videncDynamicParams.targetBitRate * 110 / 100);
  log_rate("", d);
  CodecStatus st = {};
  st.size = (int32_t)sizeof st;
  int32_t rc = VIDENC1_control(p->venc, XDM_SETPARAMS, (VIDENC1_DynamicParams *)d, &st);
  if (rc != VIDENC1_EOK)
    log_printf("%s %d: XDM_SETPARAMS failed, status=%d extendedError=%x %s\n", __func__, __LINE__,
               (int)rc, st.extendedError, h264_error_name(st.extendedError));
}

// The capture entries that follow the frame being coded: each slice coded
// moves the read on by one capture slice, so that the main loop next takes
// the first slice of a new frame.
void follow_capture_slice(VideoEncParams *p) {
  if (p->slice_frame_done) return;
  // A capture that must write over the frame (its signal lost, its set-up
  // remade) waits for this hold and publishes no slice meanwhile: rather
  // than wait for each slice in turn with codec_mutex held, the frame is
  // given up and coded from what is there.
  if (p->capture_hold && ringbuffer_claim_pending(p->capture.streamq)) {
    ringbuffer_release(p->capture.streamq, p->capture_hold);
    p->capture_hold = nullptr;
    p->slice_frame_done = 1;
    return;
  }
  for (;;) {
    FrameDesc *f = stream_state_dequeue_timeout(&p->capture, kSliceWaitMs);
    // Nothing came: the main loop finds the next frame's start itself.
    if (!f) return;
    if (!(f->flags & FRAME_SLICE) || !Buffer_getNumBytesUsed(f->buf)) continue;
    if (f->flags & FRAME_KEY) {
      p->capture.seq = f->seq;
      p->slice_frame_done = 1;
      return;
    }
    p->frame_ts = f->timestamp;
    if (f->flags & FRAME_SLICE_END) p->slice_frame_done = 1;
    return;
  }
}

// putDataGetSpaceFxn: each chunk the encoder finished lies at the ring's
// write offset, where the space handed out last was reserved.
int32_t slice_put(void *handle, H264ENC_DataSyncDesc *desc) {
  VideoEncParams *p = (VideoEncParams *)handle;
  if (desc->buf && desc->bufSize > 0) {
    const uint8_t *d = desc->buf;
    uint32_t len = (uint32_t)desc->bufSize;
    int nal = len > 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1 ? d[4] & 0x1f : -1;
    uint32_t flags = nal == 7 ? (uint32_t)STREAM_FLAG_KEY : 0u;
    if (nal == 1 || nal == 5) {
      // Slices of slice_lines rows each: the one that reaches the last
      // macroblock row ends the picture (an RTP receiver needs to know).
      uint32_t lines = p->alternate ? p->height / 2 : p->height;
      uint32_t rows = p->slice_lines / 16 ? p->slice_lines / 16 : 1;
      uint32_t per_picture = ((lines + 15) / 16 + rows - 1) / rows;
      flags |= STREAM_FLAG_SLICE;
      if (++p->slices_put >= per_picture) flags |= STREAM_FLAG_SLICE_END;
    }
    ringbuffer_put(&p->queue, len, p->frame_ts, flags);
    p->bytes += len;
    if (nal != 7 && nal != 8) follow_capture_slice(p);
  }
  int off = ringbuffer_preallocate(&p->queue, p->max_output);
  if (off < 0) return -1;
  p->slice_space = p->ring_base + off;
  desc->buf = p->slice_space;
  desc->bufSize = (int32_t)p->max_output;
  return 0;
}

void encode_frame(VideoEncParams *p, uint8_t *frame, uint32_t luma) {
  int off = ringbuffer_preallocate(&p->queue, p->max_output);
  if (off < 0) return;
  uint8_t *out = p->ring_base + off;
  // BitRate changes without a restart: the running encoder follows it.
  uint32_t rate = p->settings->bit_rate;
  if (rate != p->bit_rate) {
    p->bit_rate = rate;
    p->bitrate_changed = 1;
  }
  CodecBufDesc in = {};
  in.numBufs = 2;
  in.bufs[0] = frame;
  in.bufSizes[0] = (int32_t)luma;
  in.bufs[1] = frame + luma;
  in.bufSizes[1] = (int32_t)(luma / 2);
  CodecBufDesc outb = {};
  outb.numBufs = 1;
  outb.bufs[0] = out;
  outb.bufSizes[0] = (int32_t)p->max_output;
  VIDENC1_InArgs ia = {(int32_t)sizeof ia, (int32_t)(p->frames + 1), 1};
  VIDENC1_OutArgs oa = {};
  oa.size = (int32_t)sizeof oa;
  p->slice_space = out;
  p->slice_frame_done = 0;
  p->slices_put = 0;

  pthread_mutex_lock(&codec_mutex);
  if (p->bitrate_changed) {
    p->bitrate_changed = 0;
    apply_bit_rate(p);
  }
  int32_t rc = VIDENC1_process(p->venc, &in, &outb, &ia, &oa);
  pthread_mutex_unlock(&codec_mutex);
  if (rc != VIDENC1_EOK) {
    log_printf("VIDENC1_process() failed with error (%d ext: 0x%x %s)\n", (int)rc, oa.extendedError,
               h264_error_name(oa.extendedError));
    log_printf("  inArgs id=%d top=%d outArgs bytes=%d type=%d skip=%d id=%d\n", (int)ia.inputID,
               (int)ia.topFieldFirstFlag, (int)oa.bytesGenerated, (int)oa.encodedFrameType,
               (int)oa.inputFrameSkip, (int)oa.outputID);
    return;
  }
  if (!p->slice_lines) {
    bool key = oa.encodedFrameType == IVIDEO_I_FRAME || oa.encodedFrameType == IVIDEO_IDR_FRAME;
    ringbuffer_put(&p->queue, (uint32_t)oa.bytesGenerated, p->frame_ts, key ? (uint32_t)STREAM_FLAG_KEY : 0u);
    p->bytes += (uint32_t)oa.bytesGenerated;
  }
  p->frames++;
}

// The channel's own JPEG encoder at its largest size, so that a snapshot
// never waits for an encoder to be made.
int preload_jpeg(VideoEncParams *p) {
  uint32_t w = p->width, h = p->height, pitch = p->pitch, fourcc = p->fourcc;
  p->width = p->max_width;
  p->height = p->max_height;
  p->pitch = (p->max_width + 31) & ~31u;
  p->fourcc = V4L2_PIX_FMT_NV12;
  pthread_mutex_lock(&codec_mutex);
  int rc = setup_jpeg_encoder(p, p->engine);
  if (rc == 0) p->codec = "jpegenc";
  pthread_mutex_unlock(&codec_mutex);
  p->width = w;
  p->height = h;
  p->pitch = pitch;
  p->fourcc = fourcc;
  return rc;
}

// Sets the encoder up and runs its loop on the capture stream.
void encode_run(VideoEncParams *p) {
  pthread_mutex_lock(&codec_mutex);
  if (__atomic_exchange_n(&p->reconfigure, 0, __ATOMIC_RELAXED)) close_all_codecs(p);
  pthread_mutex_unlock(&codec_mutex);
  if (setup_encoder(p, p->engine) != 0) return;
  memset(&p->capture, 0, sizeof p->capture);
  if (p->video_type == StreamMode_H264_ES) {
    if (stream_state_attach(CAPTURE_STREAM1 + (uint32_t)p->index, StreamMode_NV12, &p->capture) == 0) {
      video_encoder_main_loop(p);
      stream_state_detach(&p->capture);
    }
  } else if (p->video_type == StreamMode_JPEG) {
    // Pictures go on while the stream has consumers: motion-JPEG viewers
    // need a stream, and a snapshot consumer takes one and leaves, which
    // stops the run. Each channel codes its own output's frames.
    uint32_t id = CAPTURE_STREAM1 + (uint32_t)p->index;
    log_printf("%s attached to %s  %dx%d\n", p->env.name, p->index ? "CAPTURE_STREAM2" : "CAPTURE_STREAM1",
               (int)p->width, (int)p->height);
    uint8_t mode = p->fourcc == V4L2_PIX_FMT_UYVY ? StreamMode_UYVY : StreamMode_NV12;
    if (stream_state_attach(id, mode, &p->capture) == 0) {
      video_jpeg_loop(p);
      stream_state_detach(&p->capture);
    }
  }
}

void run_once(VideoEncParams *p) {
  if (getVideoParameters(p) < 0) return;
  p->bytes = 0;
  p->frames = 0;
  timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  encode_run(p);
  double secs = seconds_since(t0);
  if (secs <= 0) secs = 1e-9;
  log_printf("%s: stopped %g fps, %g kbps\n", p->env.name, p->frames / secs,
             (double)p->bytes * 8 / (secs * 1024));
  ringbuffer_put(&p->queue, 0, 0, 0);
}

}  // namespace

void video_enc_init(VideoEncParams *a, VideoEncParams *b) {
  VideoEncParams *ch[2] = {a, b};
  for (int i = 0; i < 2; i++) {
    g_channels[i] = ch[i];
    if (!ch[i]) continue;
    ch[i]->index = i;
    if (!ch[i]->settings) ch[i]->settings = &get_param_block()->video[i];
  }
  vpss_reset_hooks.encoder_reset = video_enc_reset;
}

VideoEncParams *getVideoEncParams(int source) {
  return source == 0 || source == 1 ? g_channels[source] : nullptr;
}

void setVideoPause(int source, int paused) {
  VideoEncParams *p = getVideoEncParams(source);
  if (p) __atomic_store_n(&p->pause, paused ? 1 : 0, __ATOMIC_RELAXED);
}

void setVideoDecimate(int value) {
  VideoEncParams *p = getVideoEncParams(0);
  if (!p || !p->settings) return;
  int code = p->settings->frame_rate ? p->settings->frame_rate : 1;
  int v = value > code ? value : code;
  if (v < p->min_decimation) v = p->min_decimation;
  if (v > 255) v = 255;
  log_printf("%s: %d -> %d\n", "setVideoDecimate",
             (int)__atomic_load_n(&p->decimation, __ATOMIC_RELAXED), v);
  __atomic_store_n(&p->decimation, (uint8_t)v, __ATOMIC_RELAXED);
}

int getVideoParameters(VideoEncParams *p) {
  const VideoChannelParams *s = p->settings;
  log_printf("%s: idx=%d %dx%d StreamMode=%d Interlaced=%d JPEGQ=%d fdec=%d\n", "getVideoParameters",
             p->index, (int)s->width, (int)s->height, (int)s->stream_mode, (int)s->interlaced,
             (int)s->jpeg_quality, (int)s->frame_rate);
  copy_settings(p);
  VideoInput in;
  if (read_input(&p->state, true, &in) < 0) return -1;
  VideoChannelParams own = channel_settings(p);
  VideoGeometry g;
  video_derive_geometry(&own, &in, &g);
  apply_geometry(p, &g);
  captureSetMode((uint32_t)p->index, g.width, g.capture_height, g.pitch, g.fourcc, g.slice_lines,
                 g.field, g.fps);
  return 0;
}

int getVideoSize(int channel, int *width, int *height) {
  if (channel != 0 && channel != 1) return -1;
  VideoEncParams *p = getVideoEncParams(channel);
  VideoEncParams none{};
  if (!p || !p->settings) {
    none.index = channel;
    none.settings = &get_param_block()->video[channel];
    p = &none;
  }
  VideoChannelParams s = channel_settings(p);
  VideoInput in;
  // Never waits: the recorder asks while it holds the storage lock, and an
  // input that never comes must not hold up the storage manager.
  if (read_input(nullptr, false, &in) < 0 || !in.width || !in.height || !in.fps) return -1;
  VideoGeometry g;
  video_derive_geometry(&s, &in, &g);
  if (width) *width = (int)g.width;
  if (height) *height = (int)g.height;
  return 0;
}

int setup_encoder(VideoEncParams *p, Engine_Handle engine) {
  const char *name;
  switch (p->video_type) {
    case StreamMode_H264_ES: name = "h264enc"; break;
    case StreamMode_JPEG: name = "jpegenc"; break;
    case StreamMode_UYVY: case StreamMode_NV12: case StreamMode_Y8: return 0;
    default:
      log_printf("%s %d: unexpected video format 0x%x\n", __func__, __LINE__, (unsigned)p->video_type);
      return -1;
  }
  pthread_mutex_lock(&codec_mutex);
  if (p->codec && strcmp(p->codec, name) != 0) close_codec(p);
  p->codec = name;
  int rc = p->video_type == StreamMode_H264_ES ? setup_h264(p, engine) : setup_jpeg_encoder(p, engine);
  pthread_mutex_unlock(&codec_mutex);
  return rc;
}

void video_encoder_main_loop(VideoEncParams *p) {
  bool slices = p->slice_lines != 0;
  uint32_t lines = p->alternate ? p->height / 2 : p->height;
  uint32_t luma = p->pitch * lines, expected = luma * 3 / 2;
  uint32_t taken = 0;
  bool have_last = false;
  p->wrong_slices = 0;
  p->skip_ts = 0;
  p->bad_size = 0;
  while (!stopping(p)) {
    FrameDesc *f = stream_state_dequeue_timeout(&p->capture, 500);
    if (!f) {
      if (!stopping(p)) log_printf("no buf %p %p\n", (void *)&p->capture, (void *)p->capture.streamq);
      continue;
    }
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(f->buf);
    if (!len) continue;
    bool is_slice = (f->flags & FRAME_SLICE) != 0;
    if (is_slice != slices) {
      // In slice mode every whole frame the capture also publishes lands
      // here: one line in many is enough.
      if (p->wrong_slices++ % 1000 == 0) log_printf("wrong slice %d %d\n", (int)is_slice, (int)slices);
      continue;
    }
    // A frame of another layout (the capture not yet reconfigured) would be
    // coded as garbage.
    if (!slices && !video_frame_size_ok(p, len, expected)) continue;
    if (!(f->flags & FRAME_KEY)) {
      if (!(slices && f->timestamp == p->skip_ts)) log_printf("slice mode out of sync\n");
      continue;
    }
    uint8_t *frame = (uint8_t *)Buffer_getUserPtr(f->buf);
    p->frame_ts = f->timestamp;
    p->skip_ts = f->timestamp;
    if (__atomic_load_n(&p->pause, __ATOMIC_RELAXED)) {
      if (have_last) stream_queue_add_ts_offset(&p->queue, (int32_t)(f->timestamp - p->last_ts));
      p->last_ts = f->timestamp;
      have_last = true;
      continue;
    }
    p->last_ts = f->timestamp;
    have_last = true;
    uint32_t dec = __atomic_load_n(&p->decimation, __ATOMIC_RELAXED);
    if (!dec) dec = 1;
    if (taken++ % dec) continue;
    // Held while it is coded (in slice mode the whole frame, from its first
    // slice): the capture does not write over it meanwhile.
    StreamHold hold;
    if (ringbuffer_hold(p->capture.streamq, &hold, f->seq, expected) != 0) continue;
    p->capture_hold = &hold;
    encode_frame(p, frame, luma);
    if (p->capture_hold) ringbuffer_release(p->capture.streamq, &hold);
    p->capture_hold = nullptr;
  }
}

bool video_frame_size_ok(VideoEncParams *p, uint32_t len, uint32_t expected) {
  if (len == expected) {
    p->bad_size = 0;
    return true;
  }
  if (len != p->bad_size)
    log_printf("Buffer size %ld, expected %ld\n", (long)len, (long)expected);
  p->bad_size = len;
  return false;
}

void *videoThrFxn(void *arg) {
  VideoEncParams *p = (VideoEncParams *)arg;
  // A record main did not hand to video_enc_init is known by its name.
  if (g_channels[0] != p && g_channels[1] != p) {
    p->index = p->env.name && strcmp(p->env.name, "videoB") == 0 ? 1 : 0;
    if (!g_channels[p->index]) g_channels[p->index] = p;
  }
  if (!p->settings) p->settings = &get_param_block()->video[p->index];
  StreamId id = p->index ? VIDEO_STREAM2 : VIDEO_STREAM1;
  log_printf("%s: starting up\n", p->env.name);
  int err = 0;
  p->engine = Engine_open("encode", nullptr, &err);
  if (!p->engine) {
    log_printf("%s %d: Failed to open codec engine %s\n", __func__, __LINE__, "encode");
    p->status = -1;
    myRendezvousInit(p->env.start_rendezvous, p->env.name);
    myRendezvousCleanup(p->env.cleanup_rendezvous, p->env.name);
    return nullptr;
  }
  // No memory for the ring is a start-up fault: stream_ring_create aborts.
  p->ring = stream_ring_create(&p->queue, id);
  p->ring_base = p->queue.base;
  stream_register(&p->state, &p->queue, id);
  p->max_width = p->index ? 768 : 1920;
  p->max_height = p->index ? 576 : 1080;
  if (p->index == 1) {
    p->max_width = 1920;
    p->max_height = 1080;
    log_printf("preloading JPEG encoder max %dx%d\n", (int)p->max_width, (int)p->max_height);
    copy_settings(p);
    p->video_type = stream_mode_video_es(p->settings->stream_mode);
    p->flip = p->settings->flip & 4;
    if (p->video_type == StreamMode_JPEG) preload_jpeg(p);
  }
  myRendezvousInit(p->env.start_rendezvous, p->env.name);

  while (!quitting()) {
    if (!wait_for_start(&p->state)) {
      if (!quitting()) log_printf("%s not started\n", p->env.name);
      continue;
    }
    run_once(p);
    // A run that ended on its own (no encoder, a refused setting) waits for
    // the next start rather than spinning.
    while (!stopping(p)) sleep_ms(100);
  }

  pthread_mutex_lock(&codec_mutex);
  close_all_codecs(p);
  pthread_mutex_unlock(&codec_mutex);
  Engine_close(p->engine);
  p->engine = nullptr;
  myRendezvousCleanup(p->env.cleanup_rendezvous, p->env.name);
  // The ring and its registration stay until the process ends: the web
  // server, HLS and RTSP readers may still be dequeuing.
  return nullptr;
}
