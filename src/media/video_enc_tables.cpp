// The encoder's pure tables: capture geometry from the settings, the H.264
// level by Table A-1, rate-control limits, VUI timing, the pixel aspect
// ratio and the codecs' error names.
#include <cstdio>

#include "core/log.h"
#include "media/stream_ids.h"
#include "media/video_enc.h"
#include "platform/capture_ioctl.h"

namespace {

uint32_t round_up(uint32_t v, uint32_t step) { return (v + step - 1) / step * step; }

// The field order of interlaced input by the Interlaced setting.
uint32_t interlaced_field(int setting, uint32_t height) {
  switch (setting) {
    case 0:
      return height <= 576 ? V4L2_FIELD_INTERLACED : V4L2_FIELD_TOP;
    case 1:
      return V4L2_FIELD_INTERLACED;
    case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9:
      return (uint32_t)setting;
    default:
      log_printf("Unknown param->Interlaced=%d\n", setting);
      return interlaced_field(0, height);
  }
}

// H.264 Table A-1: MaxMBPS, MaxFS, MaxBR (kbit/s, Baseline and Main; High
// allows 1.25 times the rate).
struct LevelLimit {
  int idc;
  uint32_t max_mbps, max_fs, max_br;
};
const LevelLimit kLevels[] = {
    {10, 1485, 99, 64},        {9, 1485, 99, 128},         {11, 3000, 396, 192},
    {12, 6000, 396, 384},      {13, 11880, 396, 768},      {20, 11880, 396, 2000},
    {21, 19800, 792, 4000},    {22, 20250, 1620, 4000},    {30, 40500, 1620, 10000},
    {31, 108000, 3600, 14000}, {32, 216000, 5120, 20000},  {40, 245760, 8192, 20000},
    {41, 245760, 8192, 50000}, {42, 522240, 8704, 50000},  {50, 589824, 22080, 135000},
    {51, 983040, 36864, 240000},
};
const int kLevelCount = (int)(sizeof kLevels / sizeof kLevels[0]);

// Position in the table; level 1b (idc 9) ranks between 1 and 1.1.
int level_rank(int idc) {
  for (int i = 0; i < kLevelCount; i++)
    if (kLevels[i].idc == idc) return i;
  return -1;
}

}  // namespace

uint32_t video_flip_used(const VideoChannelParams *s, uint32_t width, uint32_t height) {
  uint8_t type = stream_mode_video_es(s->stream_mode);
  if (type == StreamMode_JPEG) return s->flip & 4u;
  if (width > 720 || height > 576 || type == StreamMode_UYVY) return 0;
  return s->flip;
}

void video_derive_geometry(const VideoChannelParams *s, const VideoInput *in, VideoGeometry *g) {
  *g = VideoGeometry{};
  g->video_type = stream_mode_video_es(s->stream_mode);
  g->width = s->width;
  g->height = s->height;
  if (!g->width || !g->height) {
    g->width = in->width;
    g->height = in->height;
  }
  g->flip = (uint16_t)video_flip_used(s, g->width, g->height);

  bool uyvy = g->video_type == StreamMode_UYVY;
  g->fourcc = uyvy ? V4L2_PIX_FMT_UYVY : V4L2_PIX_FMT_NV12;
  g->pitch = (g->width * (uyvy ? 2 : 1) + 31) & ~31u;

  // Slice lines are counted in the lines of one capture buffer, so the
  // field order (which halves them for one field per buffer) comes first.
  uint32_t slice_setting = s->slice_mode;
  if (in->interlaced) {
    g->field = interlaced_field(s->interlaced, g->height);
    if (slice_setting && (g->field == V4L2_FIELD_INTERLACED || g->field == V4L2_FIELD_INTERLACED_TB ||
                          g->field == V4L2_FIELD_INTERLACED_BT))
      g->field = V4L2_FIELD_ALTERNATE;
  } else {
    g->field = V4L2_FIELD_NONE;
  }
  g->alternate = g->field == V4L2_FIELD_ALTERNATE;
  g->capture_height = g->alternate ? g->height / 2 : g->height;

  uint32_t fps = in->fps;
  if (in->interlaced && !g->alternate) fps /= 2;
  g->min_decimation = fps > 30500 && g->width >= 1920 && g->height >= 1080 ? 2 : 1;
  g->decimation = s->frame_rate ? s->frame_rate : 1;
  if (g->decimation < g->min_decimation) g->decimation = g->min_decimation;
  g->fps = fps / g->decimation;

  uint32_t lines = slice_setting == 1 ? g->capture_height / 5 : slice_setting;
  lines = round_up(lines, 16);
  // A slice as tall as the picture is the whole picture: the resizer would
  // never report the first slice of the next one.
  if (lines >= g->capture_height) lines = 0;
  g->slice_lines = lines;
}

int h264_level_select(uint32_t width, uint32_t height, int alternate, uint32_t fps,
                      uint32_t bit_rate, int profile, int configured) {
  uint32_t mbs = ((width + 15) / 16) * (alternate ? (height + 31) / 32 : (height + 15) / 16);
  uint64_t mbps = (uint64_t)mbs * fps / 1000;
  uint64_t kbps = bit_rate / 1000;
  int found = 51;
  for (int i = 0; i < kLevelCount; i++) {
    const LevelLimit &l = kLevels[i];
    uint64_t max_br = profile == 100 ? (uint64_t)l.max_br * 5 / 4 : l.max_br;
    if (mbps <= l.max_mbps && mbs <= l.max_fs && kbps <= max_br) {
      found = l.idc;
      break;
    }
  }
  int level = configured;
  // Level 1 satisfies a configured 1b only when the table picks it; any
  // other configured level stands unless the table needs more.
  if (level_rank(found) > level_rank(configured) || (configured == 9 && found == 10)) {
    level = found;
    log_printf("h264Params.levelIdc set to %u\n", (unsigned)level);
  }
  if (alternate) {
    if (level < 21) level = 21;
    if (level > 41) level = 41;
  }
  return level;
}

H264RateLimits h264_rate_limits(int rate_mode) {
  static const H264RateLimits kLimits[7] = {
      {0, 51, 0, 51, H264ENC_RCALGO_CBR},       {0, 45, 0, 42, H264ENC_RCALGO_VBR},
      {0, 51, 0, 51, H264ENC_RCALGO_FIXED_QP},  {10, 45, 8, 42, H264ENC_RCALGO_VBR},
      {20, 45, 15, 42, H264ENC_RCALGO_VBR},     {30, 51, 23, 51, H264ENC_RCALGO_VBR},
      {40, 51, 30, 51, H264ENC_RCALGO_VBR},
  };
  return kLimits[rate_mode >= 0 && rate_mode <= 6 ? rate_mode : 0];
}

void h264_vui_timing(uint32_t fps, uint32_t decimation, int alternate, H264Timing *t) {
  if (!decimation) decimation = 1;
  uint32_t full = fps * decimation;
  // H.264 counts two ticks a frame: the NTSC rates need 1001 units against
  // twice the nominal rate.
  if (full == 29970) {
    t->time_scale = (int)(60000 / decimation);
    t->units_per_tick = 1001;
  } else if (full == 59940) {
    t->time_scale = (int)(120000 / decimation);
    t->units_per_tick = 1001;
  } else {
    t->time_scale = (int)fps;
    t->units_per_tick = 500;
  }
  uint32_t target = fps;
  if (alternate) {
    t->units_per_tick *= 2;
    target /= 2;
  }
  target = round_up(target, 500);
  t->target_fps = (int)(target > 60000 ? 60000 : target);
}

bool h264_pixel_aspect(int code, uint32_t width, uint32_t height, int *x, int *y) {
  *x = *y = 1;
  if ((code != 1 && code != 2) || !width || !height) return false;
  uint32_t dw = code == 1 ? 4 : 16, dh = code == 1 ? 3 : 9;
  uint32_t ax = height * dw, ay = width * dh;
  for (uint32_t f = 2; f <= ax && f <= ay;) {
    if (ax % f == 0 && ay % f == 0) {
      ax /= f;
      ay /= f;
    } else {
      f++;
    }
  }
  *x = (int)ax;
  *y = (int)ay;
  return true;
}

const char *h264_error_name(uint32_t ext) {
  static const char *const kNames[H264ENC_ERR_COUNT] = {
      "H264ENC_ERR_NONE",           "H264ENC_ERR_MAXSIZE",        "H264ENC_ERR_INPUTSIZE",
      "H264ENC_ERR_CAPTUREWIDTH",   "H264ENC_ERR_CHROMAFORMAT",   "H264ENC_ERR_CONTENTTYPE",
      "H264ENC_ERR_PROFILE",        "H264ENC_ERR_LEVEL",          "H264ENC_ERR_FRAMERATE",
      "H264ENC_ERR_BITRATE",        "H264ENC_ERR_RATECONTROL",    "H264ENC_ERR_QP",
      "H264ENC_ERR_INTERVAL",       "H264ENC_ERR_SLICE",          "H264ENC_ERR_ASPECTRATIO",
      "H264ENC_ERR_VUI",            "H264ENC_ERR_GENERATEHEADER", "H264ENC_ERR_NOTCONFIGURED",
      "H264ENC_ERR_INPUTBUF",       "H264ENC_ERR_OUTPUTBUF",      "H264ENC_ERR_PUTDATA",
      "H264ENC_ERR_ENCODE",
  };
  if (ext < H264ENC_ERR_COUNT) return kNames[ext];
  static thread_local char other[32];
  snprintf(other, sizeof other, "H264_ERR_0x%08x", ext);
  return other;
}

const char *jpeg_error_name(uint32_t ext) {
  static const char *const kNames[] = {
      "DM365_JPEGENC_INVALID_MAXWIDTH",         "DM365_JPEGENC_INVALID_MAXHEIGHT",
      "DM365_JPEGENC_INVALID_MAXSCANS",         "DM365_JPEGENC_INVALID_DATAENDIANNESS",
      "DM365_JPEGENC_INVALID_FORCECHROMAFORMAT", "DM365_JPEGENC_INVALID_NUMAU",
      "DM365_JPEGENC_INVALID_INPUTCHROMAFORMAT", "DM365_JPEGENC_INVALID_INPUTHEIGHT",
      "DM365_JPEGENC_INVALID_INPUTWIDTH",       "DM365_JPEGENC_INVALID_CAPTUREWIDTH",
      "DM365_JPEGENC_INVALID_GENERATEHEADER",   "DM365_JPEGENC_INVALID_QVALUE",
      "DM365_JPEGENC_INVALID_RSTINTERVAL",      "DM365_JPEGENC_INVALID_ROTATION",
      "DM365_JPEGENC_INVALID_DISABLEEOI",
  };
  if (ext >= 1 && ext <= 15) return kNames[ext - 1];
  static thread_local char other[32];
  snprintf(other, sizeof other, "JPEG_ERR_0x%08x", ext);
  return other;
}

void snapshot_reduce_size(int *width, int *height) {
  if (*width <= 768 && *height <= 576) return;
  if (*width <= 1536) {
    *width /= 2;
    *height /= 2;
  } else if (*height <= 2304) {
    *width /= 3;
    *height /= 3;
  } else {
    *width = 640;
    *height = 480;
  }
}
