// "jpegenc" on TurboJPEG. The picture is compressed from planar YUV: NV12
// chroma is de-interleaved (4:2:0), UYVY split into 4:2:2 planes; a 90 degree
// rotation turns the planes, making 4:2:2 into 4:4:0. TurboJPEG writes into
// a scratch buffer sized for the worst case; the picture is copied into the
// caller's output space only when it fits there.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <turbojpeg.h>
#include "platform/framework/codec_engine.h"
#include "platform/framework/codec_engine_internal.h"
#include "platform/framework/dmai.h"

const IMGENC1_Params IMGENC1_PARAMS_DEFAULT = {
  (int32_t)sizeof(IMGENC1_Params), 1088, 1920, 1, 1, 0,
};

const IMGENC1_DynamicParams IMGENC1_DYNAMICPARAMS_DEFAULT = {
  (int32_t)sizeof(IMGENC1_DynamicParams), 0, CODEC_CHROMA_YUV420SP, 1080, 1920, 0, 0, 75, 0,
};

enum { JPEG_MAX_SIZE = 8192 };

struct IMGENC1_Object {
  IMGENC1_Params params;
  IMGENC1_DynamicParams dyn;
  bool configured;
  tjhandle tj;
  unsigned char *jpeg;      // TurboJPEG's output, tjAlloc'd
  unsigned long jpegCap;
  uint8_t *scratch;         // de-interleaved and rotated planes
  size_t scratchSize;
};

struct Plane {
  const uint8_t *data;
  int width, height, stride;
};

IMGENC1_Handle IMGENC1_create(Engine_Handle engine, const char *name, const IMGENC1_Params *params) {
  if (!engine_valid(engine) || !name || strcmp(name, "jpegenc") != 0 || !params ||
      params->size != (int32_t)sizeof(IMGENC1_Params))
    return NULL;
  if (params->maxWidth < 2 || params->maxWidth > JPEG_MAX_SIZE ||
      params->maxHeight < 2 || params->maxHeight > JPEG_MAX_SIZE) {
    _GT_trace(GT_7CLASS, "[jpegenc] create: invalid maximum size %dx%d\n", params->maxWidth,
              params->maxHeight);
    return NULL;
  }
  IMGENC1_Object *h = (IMGENC1_Object *)calloc(1, sizeof *h);
  if (!h) return NULL;
  h->tj = tjInitCompress();
  if (!h->tj) {
    free(h);
    return NULL;
  }
  h->params = *params;
  h->dyn = IMGENC1_DYNAMICPARAMS_DEFAULT;
  return h;
}

void IMGENC1_delete(IMGENC1_Handle h) {
  if (!h) return;
  tjDestroy(h->tj);
  tjFree(h->jpeg);
  free(h->scratch);
  free(h);
}

static uint32_t check_dynamic(const IMGENC1_Params *p, const IMGENC1_DynamicParams *d) {
  bool nv12 = d->inputChromaFormat == CODEC_CHROMA_YUV420SP;
  if (d->numAU != 0)
    return JPEGENC_INVALID_NUMAU;
  if (!nv12 && d->inputChromaFormat != CODEC_CHROMA_YUV422ILE)
    return JPEGENC_INVALID_INPUTCHROMAFORMAT;
  if (d->inputHeight < 2 || d->inputHeight > p->maxHeight || (nv12 && (d->inputHeight & 1)))
    return JPEGENC_INVALID_INPUTHEIGHT;
  if (d->inputWidth < 2 || d->inputWidth > p->maxWidth || (d->inputWidth & 1))
    return JPEGENC_INVALID_INPUTWIDTH;
  if (d->captureWidth != 0 && d->captureWidth < d->inputWidth)
    return JPEGENC_INVALID_CAPTUREWIDTH;
  if (d->generateHeader != 0)
    return JPEGENC_INVALID_GENERATEHEADER;
  if (d->qValue < 1 || d->qValue > 100)
    return JPEGENC_INVALID_QVALUE;
  if (d->rotation != 0 && d->rotation != 90)
    return JPEGENC_INVALID_ROTATION;
  return JPEGENC_ERR_NONE;
}

// Subsampling and size of the coded picture.
static void coded_layout(const IMGENC1_DynamicParams *d, int *samp, int *w, int *ht) {
  bool nv12 = d->inputChromaFormat == CODEC_CHROMA_YUV420SP;
  bool rot = d->rotation == 90;
  *samp = nv12 ? TJSAMP_420 : (rot ? TJSAMP_440 : TJSAMP_422);
  *w = rot ? d->inputHeight : d->inputWidth;
  *ht = rot ? d->inputWidth : d->inputHeight;
}

int32_t IMGENC1_control(IMGENC1_Handle h, int cmd, IMGENC1_DynamicParams *dyn, CodecStatus *status) {
  if (!h || !status) return IMGENC1_EFAIL;
  status->extendedError = JPEGENC_ERR_NONE;
  switch (cmd) {
  case XDM_SETPARAMS: {
    if (!dyn) return IMGENC1_EFAIL;
    if (dyn->size != (int32_t)sizeof(IMGENC1_DynamicParams))
      return IMGENC1_EUNSUPPORTED;
    uint32_t e = check_dynamic(&h->params, dyn);
    if (e != JPEGENC_ERR_NONE) {
      status->extendedError = e;
      return IMGENC1_EFAIL;
    }
    h->dyn = *dyn;
    h->configured = true;
    return IMGENC1_EOK;
  }
  case XDM_RESET:
    return IMGENC1_EOK;
  case XDM_GETBUFINFO: {
    const IMGENC1_DynamicParams *d = &h->dyn;
    int pitch = d->captureWidth ? d->captureWidth : d->inputWidth;
    CodecBufInfo *bi = &status->bufInfo;
    memset(bi, 0, sizeof *bi);
    if (d->inputChromaFormat == CODEC_CHROMA_YUV420SP) {
      bi->minNumInBufs = 2;
      bi->minInBufSize[0] = pitch * d->inputHeight;
      bi->minInBufSize[1] = pitch * d->inputHeight / 2;
    } else {
      bi->minNumInBufs = 1;
      bi->minInBufSize[0] = pitch * 2 * d->inputHeight;
    }
    int samp, w, ht;
    coded_layout(d, &samp, &w, &ht);
    bi->minNumOutBufs = 1;
    bi->minOutBufSize[0] = (int32_t)tjBufSize(w, ht, samp);
    return IMGENC1_EOK;
  }
  default:
    return IMGENC1_EUNSUPPORTED;
  }
}

static uint8_t *scratch_get(IMGENC1_Object *h, size_t need) {
  if (h->scratchSize < need) {
    uint8_t *s = (uint8_t *)realloc(h->scratch, need);
    if (!s) return NULL;
    h->scratch = s;
    h->scratchSize = need;
  }
  return h->scratch;
}

// Turns a plane 90 degrees clockwise into dst (tightly packed).
static Plane rotate_cw(const Plane &src, uint8_t *dst) {
  int ow = src.height, oh = src.width;
  for (int r = 0; r < src.height; r++) {
    const uint8_t *s = src.data + (size_t)r * src.stride;
    uint8_t *d = dst + (ow - 1 - r);
    for (int c = 0; c < src.width; c++) d[(size_t)c * ow] = s[c];
  }
  return Plane{ dst, ow, oh, ow };
}

// Fills the three planes TurboJPEG reads; false when the input is short or
// there is no memory (*ext says which).
static bool prepare_planes(IMGENC1_Object *h, const CodecBufDesc *in, Plane pl[3], uint32_t *ext) {
  const IMGENC1_DynamicParams *d = &h->dyn;
  int w = d->inputWidth, ht = d->inputHeight;
  int pitch = d->captureWidth ? d->captureWidth : w;
  bool nv12 = d->inputChromaFormat == CODEC_CHROMA_YUV420SP;
  int cw = w / 2, ch = nv12 ? ht / 2 : ht;
  size_t csize = (size_t)cw * ch;
  size_t need = 2 * csize + (nv12 ? 0 : (size_t)w * ht);
  if (d->rotation == 90) need += (size_t)w * ht + 2 * csize;
  *ext = JPEGENC_ERR_INPUTBUF;
  if (nv12 ? !codec_buf_ok(in, 0, (int64_t)pitch * (ht - 1) + w) || !codec_buf_ok(in, 1, (int64_t)pitch * (ch - 1) + w)
           : !codec_buf_ok(in, 0, (int64_t)pitch * 2 * (ht - 1) + 2 * w))
    return false;
  *ext = JPEGENC_ERR_ENCODE;
  uint8_t *s = scratch_get(h, need);
  if (!s) return false;
  uint8_t *u = s, *v = s + csize, *next = s + 2 * csize;
  if (nv12) {
    pl[0] = Plane{ in->bufs[0], w, ht, pitch };
    for (int r = 0; r < ch; r++) {
      const uint8_t *src = in->bufs[1] + (size_t)r * pitch;
      for (int c = 0; c < cw; c++) {
        u[(size_t)r * cw + c] = src[2 * c];
        v[(size_t)r * cw + c] = src[2 * c + 1];
      }
    }
  } else {
    uint8_t *y = next;
    next += (size_t)w * ht;
    for (int r = 0; r < ht; r++) {
      const uint8_t *src = in->bufs[0] + (size_t)r * pitch * 2;
      for (int c = 0; c < cw; c++) {
        u[(size_t)r * cw + c] = src[4 * c];
        y[(size_t)r * w + 2 * c] = src[4 * c + 1];
        v[(size_t)r * cw + c] = src[4 * c + 2];
        y[(size_t)r * w + 2 * c + 1] = src[4 * c + 3];
      }
    }
    pl[0] = Plane{ y, w, ht, w };
  }
  pl[1] = Plane{ u, cw, ch, cw };
  pl[2] = Plane{ v, cw, ch, cw };
  if (d->rotation == 90) {
    pl[0] = rotate_cw(pl[0], next);
    next += (size_t)w * ht;
    pl[1] = rotate_cw(pl[1], next);
    pl[2] = rotate_cw(pl[2], next + csize);
  }
  *ext = JPEGENC_ERR_NONE;
  return true;
}

int32_t IMGENC1_process(IMGENC1_Handle h, const CodecBufDesc *inBufs, const CodecBufDesc *outBufs,
                        const IMGENC1_InArgs *inArgs, IMGENC1_OutArgs *outArgs) {
  if (!h || !outArgs) return IMGENC1_EFAIL;
  outArgs->extendedError = JPEGENC_ERR_NONE;
  outArgs->bytesGenerated = 0;
  outArgs->currentAU = 0;
  if (!h->configured) {
    outArgs->extendedError = JPEGENC_ERR_NOTCONFIGURED;
    return IMGENC1_EFAIL;
  }
  Plane pl[3];
  uint32_t ext;
  if (!prepare_planes(h, inBufs, pl, &ext)) {
    outArgs->extendedError = ext;
    return IMGENC1_EFAIL;
  }
  int samp, w, ht;
  coded_layout(&h->dyn, &samp, &w, &ht);
  unsigned long cap = tjBufSize(w, ht, samp);
  if (h->jpegCap < cap) {
    tjFree(h->jpeg);
    h->jpeg = tjAlloc((int)cap);
    h->jpegCap = h->jpeg ? cap : 0;
    if (!h->jpeg) {
      outArgs->extendedError = JPEGENC_ERR_ENCODE;
      return IMGENC1_EFAIL;
    }
  }
  const unsigned char *planes[3] = { pl[0].data, pl[1].data, pl[2].data };
  int strides[3] = { pl[0].stride, pl[1].stride, pl[2].stride };
  unsigned long size = h->jpegCap;
  if (tjCompressFromYUVPlanes(h->tj, planes, w, strides, ht, samp, &h->jpeg, &size, h->dyn.qValue,
                              TJFLAG_NOREALLOC) != 0) {
    _GT_trace(GT_7CLASS, "[jpegenc] %s\n", tjGetErrorStr2(h->tj));
    outArgs->extendedError = JPEGENC_ERR_ENCODE;
    return IMGENC1_EFAIL;
  }
  outArgs->bytesGenerated = (int32_t)size;
  if (!codec_buf_ok(outBufs, 0, (int64_t)size)) {
    outArgs->extendedError = JPEGENC_ERR_OUTPUTBUF;
    return IMGENC1_EFAIL;
  }
  memcpy(outBufs->bufs[0], h->jpeg, size);
  outArgs->currentAU = 1;
  return IMGENC1_EOK;
}
