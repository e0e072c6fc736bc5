// "h264enc" on libx264. The board encoder is synchronous (one frame in, its
// access unit out) and never reorders, so x264 runs with zero latency, no B
// frames and no lookahead; IDR and I pictures are placed by this file, not by
// scene cuts. Every NAL unit leaves with a 4-byte start code because the
// RTSP source splits the stream on 00 00 00 01. x264's own SEI (its version
// banner) is dropped: the board encoder writes none with these settings.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <x264.h>
#include "platform/framework/codec_engine.h"
#include "platform/framework/codec_engine_internal.h"
#include "platform/framework/dmai.h"

const H264VENC_Params H264VENC_PARAMS_DEFAULT = {
  { (int32_t)sizeof(H264VENC_Params), 3, H264ENC_RC_PRESET_USER, 1088, 1920, 60000, 50000000, 1, 1,
    CODEC_CHROMA_YUV420SP, IVIDEO_PROGRESSIVE, CODEC_CHROMA_YUV420SP },
  100, 40, 0, 0, 1, 1, 1, 0, 0, 0, 3, H264ENC_SLICEMODE_NONE, H264ENC_OUTPUT_FRAME, 1,
};

const H264VENC_DynamicParams H264VENC_DYNAMICPARAMS_DEFAULT = {
  { (int32_t)sizeof(H264VENC_DynamicParams), 1080, 1920, 30000, 30000, 2000000, 30, 0, 0, -1, 0, 0 },
  0, 0, 28, 28, -1, 51, 0, 51, 0, H264ENC_RCALGO_VBR, 1000, 1, 1,
  0, 0, 0, 0, 30, 0, 0, 0, 0, 0, 0, 0, 5, 30, 0,
  { 0, 0, 0, 0 }, NULL, NULL,
};

struct VIDENC1_Object {
  H264VENC_Params params;
  H264VENC_DynamicParams dyn;
  bool configured;
  x264_t *enc;
  x264_param_t xp;          // as built from the parameters, before x264 validates it
  int width, height;        // of one coded picture
  int64_t pts;
  uint32_t sinceIdr;        // pictures since the last IDR
  bool forceIdr, forceI;
  uint8_t *conv;            // UYVY input converted to NV12
  size_t convSize;
};

static const uint8_t START_CODE[4] = { 0, 0, 0, 1 };

static void x264_trace(void *, int level, const char *fmt, va_list ap) {
  char line[256];
  vsnprintf(line, sizeof line, fmt, ap);
  _GT_trace(level <= X264_LOG_ERROR ? GT_7CLASS : GT_6CLASS, "[h264enc] %s", line);
}

static bool level_valid(int level) {
  static const int levels[] = { 9, 10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51 };
  for (int l : levels)
    if (l == level) return true;
  return false;
}

static bool static_params_valid(const H264VENC_Params *p, uint32_t *ext) {
  const VIDENC1_Params *b = &p->videncParams;
  uint32_t e = H264ENC_ERR_NONE;
  if (b->maxWidth < 16 || b->maxWidth > 4096 || b->maxHeight < 16 || b->maxHeight > 4096)
    e = H264ENC_ERR_MAXSIZE;
  else if (b->inputChromaFormat != CODEC_CHROMA_YUV420SP && b->inputChromaFormat != CODEC_CHROMA_YUV422ILE)
    e = H264ENC_ERR_CHROMAFORMAT;
  else if (b->inputContentType != IVIDEO_PROGRESSIVE && b->inputContentType != IVIDEO_INTERLACED)
    e = H264ENC_ERR_CONTENTTYPE;
  else if (b->rateControlPreset != H264ENC_RC_PRESET_NONE && b->rateControlPreset != H264ENC_RC_PRESET_USER)
    e = H264ENC_ERR_RATECONTROL;
  else if (b->maxInterFrameInterval > 1)
    e = H264ENC_ERR_INTERVAL;
  else if (p->profileIdc != 66 && p->profileIdc != 77 && p->profileIdc != 100)
    e = H264ENC_ERR_PROFILE;
  else if (!level_valid(p->levelIdc))
    e = H264ENC_ERR_LEVEL;
  else if ((p->sliceMode != H264ENC_SLICEMODE_NONE && p->sliceMode != H264ENC_SLICEMODE_ROWS) ||
           (p->outputDataMode != H264ENC_OUTPUT_SLICES && p->outputDataMode != H264ENC_OUTPUT_FRAME))
    e = H264ENC_ERR_SLICE;
  *ext = e;
  return e == H264ENC_ERR_NONE;
}

static uint32_t gcd_u32(uint32_t a, uint32_t b) {
  while (b) { uint32_t t = a % b; a = b; b = t; }
  return a;
}

static bool qp_pair_valid(int lo, int hi) { return lo >= 0 && lo <= hi && hi <= 51; }

// Builds x264's parameters from the static and dynamic records. Returns the
// extended error, H264ENC_ERR_NONE when the set is usable.
static uint32_t build_x264_param(const H264VENC_Params *p, const H264VENC_DynamicParams *d,
                                 x264_param_t *xp, int *pic_w, int *pic_h) {
  const VIDENC1_Params *b = &p->videncParams;
  const VIDENC1_DynamicParams *db = &d->videncDynamicParams;
  bool fields = b->inputContentType == IVIDEO_INTERLACED;
  int w = db->inputWidth, h = db->inputHeight;
  int pitch = db->captureWidth ? db->captureWidth : w;

  if (w < 16 || h < 16 || (w & 1) || (h & (fields ? 3 : 1)))
    return H264ENC_ERR_INPUTSIZE;
  if (w > b->maxWidth || h > b->maxHeight)
    return H264ENC_ERR_INPUTSIZE;
  if (pitch < w)
    return H264ENC_ERR_CAPTUREWIDTH;
  if (db->targetFrameRate <= 0 || (b->maxFrameRate > 0 && db->targetFrameRate > b->maxFrameRate))
    return H264ENC_ERR_FRAMERATE;
  if (db->interFrameInterval > 1)
    return H264ENC_ERR_INTERVAL;
  if (db->generateHeader != 0)
    return H264ENC_ERR_GENERATEHEADER;
  if (db->intraFrameInterval < 0 || d->idrFrameInterval < 0)
    return H264ENC_ERR_INTERVAL;
  if (p->sliceMode == H264ENC_SLICEMODE_ROWS && d->sliceSize < 1)
    return H264ENC_ERR_SLICE;
  if (p->outputDataMode == H264ENC_OUTPUT_SLICES && !d->putDataGetSpaceFxn)
    return H264ENC_ERR_SLICE;
  if (d->aspectRatioX < 0 || d->aspectRatioY < 0 || (!d->aspectRatioX != !d->aspectRatioY) ||
      d->aspectRatioX > 65535 || d->aspectRatioY > 65535)
    return H264ENC_ERR_ASPECTRATIO;
  bool timing = p->enableVUIparams && d->vui.timingInfoPresentFlag;
  if (timing && (d->vui.numUnitsInTicks <= 0 || d->vui.timeScale <= 0))
    return H264ENC_ERR_VUI;

  x264_param_default_preset(xp, "veryfast", "zerolatency");
  xp->pf_log = x264_trace;
  xp->i_log_level = X264_LOG_WARNING;
  xp->i_width = w;
  xp->i_height = fields ? h / 2 : h;
  xp->i_csp = X264_CSP_NV12;
  bool slices = p->sliceMode == H264ENC_SLICEMODE_ROWS;
  if (slices) {
    // Slice boundaries must follow the rows exactly, one chunk per slice.
    xp->i_threads = 1;
    xp->b_sliced_threads = 0;
    xp->i_slice_max_mbs = d->sliceSize * ((w + 15) / 16);
  } else {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    xp->i_threads = n > 4 ? 4 : (n < 1 ? 1 : (int)n);
    xp->b_sliced_threads = 1;
  }
  xp->i_bframe = 0;
  xp->b_open_gop = 0;
  xp->i_scenecut_threshold = 0;
  xp->i_keyint_max = X264_KEYINT_MAX_INFINITE;
  xp->b_repeat_headers = 1;
  xp->b_annexb = 1;
  xp->b_aud = 0;
  xp->i_level_idc = p->levelIdc;
  xp->b_cabac = p->profileIdc != 66 && p->entropyMode == 1;
  xp->analyse.b_transform_8x8 =
      p->profileIdc == 100 && (p->transform8x8FlagIntraFrame || p->transform8x8FlagInterFrame);
  xp->i_cqm_preset = p->profileIdc == 100 && p->seqScalingFlag ? X264_CQM_JVT : X264_CQM_FLAT;

  uint32_t num, den;
  if (timing) {
    num = (uint32_t)d->vui.timeScale;
    den = 2u * (uint32_t)d->vui.numUnitsInTicks;
  } else {
    num = (uint32_t)db->targetFrameRate;
    den = 1000;
  }
  uint32_t g = gcd_u32(num, den);
  xp->i_fps_num = num / g;
  xp->i_fps_den = den / g;
  xp->b_vfr_input = 0;
  if (p->enableVUIparams && d->vui.aspectRatioInfoPresentFlag) {
    xp->vui.i_sar_width = d->aspectRatioX ? d->aspectRatioX : 1;
    xp->vui.i_sar_height = d->aspectRatioY ? d->aspectRatioY : 1;
  }

  int algo = b->rateControlPreset == H264ENC_RC_PRESET_NONE ? H264ENC_RCALGO_FIXED_QP : d->rcAlgo;
  if (algo != H264ENC_RCALGO_FIXED_QP && algo != H264ENC_RCALGO_VBR && algo != H264ENC_RCALGO_CBR)
    return H264ENC_ERR_RATECONTROL;
  if (!qp_pair_valid(d->rcQMin, d->rcQMax) || !qp_pair_valid(d->rcQMinI, d->rcQMaxI))
    return H264ENC_ERR_QP;
  if (algo == H264ENC_RCALGO_FIXED_QP) {
    int qp = d->interPFrameQP < 0 ? 28 : d->interPFrameQP;
    int qpi = d->intraFrameQP < 0 ? qp : d->intraFrameQP;
    if (qp > 51 || qpi > 51)
      return H264ENC_ERR_QP;
    if (b->rateControlPreset == H264ENC_RC_PRESET_USER) {
      qp = qp < d->rcQMin ? d->rcQMin : (qp > d->rcQMax ? d->rcQMax : qp);
      qpi = qpi < d->rcQMinI ? d->rcQMinI : (qpi > d->rcQMaxI ? d->rcQMaxI : qpi);
    }
    if (qp < 1 || qpi < 1)   // QP 0 would be lossless coding, outside these profiles
      return H264ENC_ERR_QP;
    xp->rc.i_rc_method = X264_RC_CQP;
    xp->rc.i_qp_constant = qp;
    xp->rc.f_ip_factor = (float)pow(2.0, (qp - qpi) / 6.0);
  } else {
    if (db->targetBitRate < 1000 || (b->maxBitRate > 0 && db->targetBitRate > b->maxBitRate))
      return H264ENC_ERR_BITRATE;
    int kbps = db->targetBitRate / 1000;
    xp->rc.i_rc_method = X264_RC_ABR;
    xp->rc.i_bitrate = kbps;
    // x264 has one QP range for every picture type; the P range governs and
    // I pictures follow it through the I/P offset.
    xp->rc.i_qp_min = d->rcQMin;
    xp->rc.i_qp_max = d->rcQMax;
    if (algo == H264ENC_RCALGO_CBR) {
      int delay = d->maxDelay > 0 ? d->maxDelay : 1000;
      xp->rc.i_vbv_max_bitrate = kbps;
      xp->rc.i_vbv_buffer_size = (int)((int64_t)kbps * delay / 1000);
      if (xp->rc.i_vbv_buffer_size < 1) xp->rc.i_vbv_buffer_size = 1;
    }
  }
  static const char *const names[] = { "baseline", "main", "high" };
  const char *profile = names[p->profileIdc == 66 ? 0 : p->profileIdc == 77 ? 1 : 2];
  if (x264_param_apply_profile(xp, profile) < 0)
    return H264ENC_ERR_PROFILE;
  *pic_w = w;
  *pic_h = xp->i_height;
  return H264ENC_ERR_NONE;
}

static void close_encoder(VIDENC1_Object *h) {
  if (h->enc) x264_encoder_close(h->enc);
  h->enc = NULL;
}

VIDENC1_Handle VIDENC1_create(Engine_Handle engine, const char *name, const VIDENC1_Params *params) {
  if (!engine_valid(engine) || !name || strcmp(name, "h264enc") != 0 || !params)
    return NULL;
  H264VENC_Params p = H264VENC_PARAMS_DEFAULT;
  if (params->size == (int32_t)sizeof(H264VENC_Params))
    p = *(const H264VENC_Params *)params;
  else if (params->size == (int32_t)sizeof(VIDENC1_Params))
    p.videncParams = *params;
  else
    return NULL;
  uint32_t ext;
  if (!static_params_valid(&p, &ext)) {
    _GT_trace(GT_7CLASS, "[h264enc] create: invalid parameters (0x%x)\n", ext);
    return NULL;
  }
  VIDENC1_Object *h = (VIDENC1_Object *)calloc(1, sizeof *h);
  if (!h) return NULL;
  h->params = p;
  h->dyn = H264VENC_DYNAMICPARAMS_DEFAULT;
  return h;
}

void VIDENC1_delete(VIDENC1_Handle h) {
  if (!h) return;
  close_encoder(h);
  free(h->conv);
  free(h);
}

// Applies a new dynamic parameter set: a change of the bit rate alone under
// a VBV is made in place; anything else opens a new encoder, which starts
// with an IDR picture.
static int32_t set_params(VIDENC1_Object *h, const VIDENC1_DynamicParams *dyn, uint32_t *ext) {
  H264VENC_DynamicParams d = h->dyn;
  if (dyn->size == (int32_t)sizeof(H264VENC_DynamicParams))
    d = *(const H264VENC_DynamicParams *)dyn;
  else if (dyn->size == (int32_t)sizeof(VIDENC1_DynamicParams))
    d.videncDynamicParams = *dyn;
  else {
    *ext = H264ENC_ERR_NONE;
    return VIDENC1_EUNSUPPORTED;
  }
  x264_param_t xp;
  int w = 0, ht = 0;
  *ext = build_x264_param(&h->params, &d, &xp, &w, &ht);
  if (*ext != H264ENC_ERR_NONE)
    return VIDENC1_EFAIL;

  bool reopen = true;
  if (h->enc && h->xp.rc.i_vbv_max_bitrate > 0 && xp.rc.i_vbv_max_bitrate > 0) {
    x264_param_t same = xp;
    same.rc.i_bitrate = h->xp.rc.i_bitrate;
    same.rc.i_vbv_max_bitrate = h->xp.rc.i_vbv_max_bitrate;
    same.rc.i_vbv_buffer_size = h->xp.rc.i_vbv_buffer_size;
    if (memcmp(&same, &h->xp, sizeof same) == 0) {
      x264_param_t cur;
      x264_encoder_parameters(h->enc, &cur);
      cur.rc.i_bitrate = xp.rc.i_bitrate;
      cur.rc.i_vbv_max_bitrate = xp.rc.i_vbv_max_bitrate;
      cur.rc.i_vbv_buffer_size = xp.rc.i_vbv_buffer_size;
      reopen = x264_encoder_reconfig(h->enc, &cur) < 0;
    }
  }
  if (reopen) {
    close_encoder(h);
    h->enc = x264_encoder_open(&xp);
    if (!h->enc) {
      h->configured = false;
      *ext = H264ENC_ERR_ENCODE;
      return VIDENC1_EFAIL;
    }
    h->sinceIdr = 0;
    h->forceIdr = true;
  }
  h->xp = xp;
  h->dyn = d;
  h->width = w;
  h->height = ht;
  h->configured = true;
  int ff = d.videncDynamicParams.forceFrame;
  if (ff == IVIDEO_IDR_FRAME) h->forceIdr = true;
  else if (ff == IVIDEO_I_FRAME) h->forceI = true;
  return VIDENC1_EOK;
}

static void get_buf_info(const VIDENC1_Object *h, CodecBufInfo *bi) {
  const VIDENC1_DynamicParams *db = &h->dyn.videncDynamicParams;
  int w = h->configured ? db->inputWidth : h->params.videncParams.maxWidth;
  int ht = h->configured ? h->height : h->params.videncParams.maxHeight;
  int pitch = h->configured && db->captureWidth ? db->captureWidth : w;
  memset(bi, 0, sizeof *bi);
  if (h->params.videncParams.inputChromaFormat == CODEC_CHROMA_YUV422ILE) {
    bi->minNumInBufs = 1;
    bi->minInBufSize[0] = pitch * 2 * ht;
  } else {
    bi->minNumInBufs = 2;
    bi->minInBufSize[0] = pitch * ht;
    bi->minInBufSize[1] = pitch * ht / 2;
  }
  bi->minNumOutBufs = 1;
  // The raw picture size is a bound no sane coded picture reaches.
  bi->minOutBufSize[0] = w * ht * 3 / 2 + 4096;
}

int32_t VIDENC1_control(VIDENC1_Handle h, int cmd, VIDENC1_DynamicParams *dyn, CodecStatus *status) {
  if (!h || !status) return VIDENC1_EFAIL;
  status->extendedError = H264ENC_ERR_NONE;
  switch (cmd) {
  case XDM_SETPARAMS:
    if (!dyn) return VIDENC1_EFAIL;
    return set_params(h, dyn, &status->extendedError);
  case XDM_RESET:
    // The parameters stay; the next picture opens a fresh stream.
    if (h->configured) {
      close_encoder(h);
      h->enc = x264_encoder_open(&h->xp);
      if (!h->enc) {
        h->configured = false;
        status->extendedError = H264ENC_ERR_ENCODE;
        return VIDENC1_EFAIL;
      }
    }
    h->sinceIdr = 0;
    h->forceIdr = true;
    h->forceI = false;
    return VIDENC1_EOK;
  case XDM_GETBUFINFO:
    get_buf_info(h, &status->bufInfo);
    return VIDENC1_EOK;
  default:
    return VIDENC1_EUNSUPPORTED;
  }
}

// Averages each pair of UYVY chroma rows into one NV12 chroma row.
static void uyvy_to_nv12(const uint8_t *src, int pitch_bytes, int w, int h, uint8_t *y, uint8_t *uv) {
  for (int r = 0; r < h; r++) {
    const uint8_t *s = src + (size_t)r * pitch_bytes;
    uint8_t *yd = y + (size_t)r * w;
    for (int x = 0; x < w; x++) yd[x] = s[2 * x + 1];
  }
  for (int r = 0; r < h / 2; r++) {
    const uint8_t *s0 = src + (size_t)(2 * r) * pitch_bytes;
    const uint8_t *s1 = s0 + pitch_bytes;
    uint8_t *d = uv + (size_t)r * w;
    for (int x = 0; x < w; x += 2) {
      d[x] = (uint8_t)((s0[2 * x] + s1[2 * x] + 1) >> 1);
      d[x + 1] = (uint8_t)((s0[2 * x + 2] + s1[2 * x + 2] + 1) >> 1);
    }
  }
}

// Points pic at the input planes (or at the converted copy of UYVY input).
static uint32_t prepare_input(VIDENC1_Object *h, const CodecBufDesc *in, x264_picture_t *pic) {
  const VIDENC1_DynamicParams *db = &h->dyn.videncDynamicParams;
  int w = h->width, ht = h->height;
  int pitch = db->captureWidth ? db->captureWidth : w;
  x264_picture_init(pic);
  pic->img.i_csp = X264_CSP_NV12;
  pic->img.i_plane = 2;
  if (h->params.videncParams.inputChromaFormat == CODEC_CHROMA_YUV422ILE) {
    if (!in || !codec_buf_ok(in, 0, (int64_t)pitch * 2 * (ht - 1) + 2 * w))
      return H264ENC_ERR_INPUTBUF;
    size_t need = (size_t)w * ht * 3 / 2;
    if (h->convSize < need) {
      uint8_t *c = (uint8_t *)realloc(h->conv, need);
      if (!c) return H264ENC_ERR_ENCODE;
      h->conv = c;
      h->convSize = need;
    }
    uyvy_to_nv12(in->bufs[0], pitch * 2, w, ht, h->conv, h->conv + (size_t)w * ht);
    pic->img.plane[0] = h->conv;
    pic->img.plane[1] = h->conv + (size_t)w * ht;
    pic->img.i_stride[0] = pic->img.i_stride[1] = w;
  } else {
    if (!in || !codec_buf_ok(in, 0, (int64_t)pitch * (ht - 1) + w) ||
        !codec_buf_ok(in, 1, (int64_t)pitch * (ht / 2 - 1) + w))
      return H264ENC_ERR_INPUTBUF;
    pic->img.plane[0] = in->bufs[0];
    pic->img.plane[1] = in->bufs[1];
    pic->img.i_stride[0] = pic->img.i_stride[1] = pitch;
  }
  return H264ENC_ERR_NONE;
}

static bool is_output_nal(const x264_nal_t *n) {
  return n->i_type != NAL_SEI && n->i_type != NAL_AUD && n->i_type != NAL_FILLER;
}

static bool is_slice_nal(const x264_nal_t *n) {
  return n->i_type == NAL_SLICE || n->i_type == NAL_SLICE_IDR;
}

// Bytes of the NAL unit with a 4-byte start code.
static int nal_out_size(const x264_nal_t *n) { return n->i_payload + (n->b_long_startcode ? 0 : 1); }

static uint8_t *nal_write(uint8_t *dst, const x264_nal_t *n) {
  int skip = n->b_long_startcode ? 4 : 3;
  memcpy(dst, START_CODE, 4);
  memcpy(dst + 4, n->p_payload + skip, (size_t)(n->i_payload - skip));
  return dst + 4 + (n->i_payload - skip);
}

// Whole access unit into the output buffer.
static uint32_t write_frame(const x264_nal_t *nals, int n, const CodecBufDesc *out, int32_t *bytes) {
  int64_t total = 0;
  for (int i = 0; i < n; i++)
    if (is_output_nal(&nals[i])) total += nal_out_size(&nals[i]);
  if (!codec_buf_ok(out, 0, total))
    return H264ENC_ERR_OUTPUTBUF;
  uint8_t *p = out->bufs[0];
  for (int i = 0; i < n; i++)
    if (is_output_nal(&nals[i])) p = nal_write(p, &nals[i]);
  *bytes = (int32_t)total;
  return H264ENC_ERR_NONE;
}

// One chunk per slice, the parameter sets ahead of a slice forming a chunk of
// their own, each handed over as soon as it is written.
static uint32_t write_slices(const VIDENC1_Object *h, const x264_nal_t *nals, int n,
                             const CodecBufDesc *out, int32_t *bytes) {
  if (out->numBufs < 1 || !out->bufs[0])
    return H264ENC_ERR_OUTPUTBUF;
  uint8_t *space = out->bufs[0];
  int64_t room = out->bufSizes[0];
  int64_t total = 0;
  int i = 0;
  while (i < n) {
    if (!is_output_nal(&nals[i])) { i++; continue; }
    int end = i + 1;
    if (!is_slice_nal(&nals[i]))
      while (end < n && !is_slice_nal(&nals[end])) end++;
    int64_t len = 0;
    for (int k = i; k < end; k++)
      if (is_output_nal(&nals[k])) len += nal_out_size(&nals[k]);
    if (!space || len > room)
      return H264ENC_ERR_OUTPUTBUF;
    uint8_t *p = space;
    for (int k = i; k < end; k++)
      if (is_output_nal(&nals[k])) p = nal_write(p, &nals[k]);
    total += len;
    H264ENC_DataSyncDesc desc = { space, (int32_t)len };
    if (h->dyn.putDataGetSpaceFxn(h->dyn.dataSyncHandle, &desc) < 0) {
      *bytes = (int32_t)total;
      return end < n ? H264ENC_ERR_PUTDATA : H264ENC_ERR_NONE;
    }
    space = desc.buf;
    room = desc.bufSize;
    i = end;
  }
  *bytes = (int32_t)total;
  return H264ENC_ERR_NONE;
}

int32_t VIDENC1_process(VIDENC1_Handle h, const CodecBufDesc *inBufs, const CodecBufDesc *outBufs,
                        const VIDENC1_InArgs *inArgs, VIDENC1_OutArgs *outArgs) {
  if (!h || !outArgs) return VIDENC1_EFAIL;
  outArgs->extendedError = H264ENC_ERR_NONE;
  outArgs->bytesGenerated = 0;
  outArgs->encodedFrameType = IVIDEO_P_FRAME;
  outArgs->inputFrameSkip = 0;
  outArgs->outputID = inArgs ? inArgs->inputID : 0;
  if (!h->configured || !h->enc) {
    outArgs->extendedError = H264ENC_ERR_NOTCONFIGURED;
    return VIDENC1_EFAIL;
  }
  x264_picture_t pic, pic_out;
  uint32_t ext = prepare_input(h, inBufs, &pic);
  if (ext != H264ENC_ERR_NONE) {
    outArgs->extendedError = ext;
    return VIDENC1_EFAIL;
  }
  uint32_t idr = (uint32_t)h->dyn.idrFrameInterval;
  uint32_t intra = (uint32_t)h->dyn.videncDynamicParams.intraFrameInterval;
  if (h->forceIdr || (idr > 0 && h->sinceIdr >= idr)) {
    pic.i_type = X264_TYPE_IDR;
    h->sinceIdr = 0;
  } else if (h->forceI || (intra > 0 && h->sinceIdr % intra == 0)) {
    pic.i_type = X264_TYPE_I;
  }
  h->forceIdr = h->forceI = false;
  h->sinceIdr++;
  pic.i_pts = h->pts++;

  x264_nal_t *nals = NULL;
  int n = 0;
  int size = x264_encoder_encode(h->enc, &nals, &n, &pic, &pic_out);
  if (size <= 0 || n <= 0) {
    // The stream lost a picture that later ones may refer to.
    h->forceIdr = true;
    outArgs->extendedError = H264ENC_ERR_ENCODE;
    return VIDENC1_EFAIL;
  }
  switch (pic_out.i_type) {
  case X264_TYPE_IDR: outArgs->encodedFrameType = IVIDEO_IDR_FRAME; break;
  case X264_TYPE_I: outArgs->encodedFrameType = IVIDEO_I_FRAME; break;
  case X264_TYPE_P: outArgs->encodedFrameType = IVIDEO_P_FRAME; break;
  default: outArgs->encodedFrameType = IVIDEO_B_FRAME; break;
  }
  if (!outBufs) {
    ext = H264ENC_ERR_OUTPUTBUF;
  } else if (h->params.outputDataMode == H264ENC_OUTPUT_SLICES) {
    ext = write_slices(h, nals, n, outBufs, &outArgs->bytesGenerated);
  } else {
    ext = write_frame(nals, n, outBufs, &outArgs->bytesGenerated);
  }
  if (ext != H264ENC_ERR_NONE) {
    h->forceIdr = true;
    outArgs->extendedError = ext;
    return VIDENC1_EFAIL;
  }
  return VIDENC1_EOK;
}
