#include "display/display_std.h"

#include <linux/videodev2.h>

#include "core/log.h"

namespace {

struct StdRow {
  const char *name;
  int16_t width, height;
  int8_t interlaced;
  int8_t fps;
  int8_t preset;
};

// Indexed by id. Presets are the V4L2 DV preset numbers.
const StdRow kStd[VSTD_COUNT] = {
    {"VideoStd_AUTO", 0, 0, 0, 0, 0},
    {"", 0, 0, 0, 0, 0},
    {"", 0, 0, 0, 0, 0},
    {"", 0, 0, 0, 0, 0},
    {"", 0, 0, 0, 0, 0},
    {"VideoStd_D1_NTSC", 720, 480, 1, 30, 0},
    {"VideoStd_D1_PAL", 720, 576, 1, 25, 0},
    {"VideoStd_480P", 720, 480, 0, 60, 1},
    {"VideoStd_576P", 720, 576, 0, 50, 2},
    {"VideoStd_720P_60", 1280, 720, 0, 60, 8},
    {"VideoStd_720P_50", 1280, 720, 0, 50, 6},
    {"VideoStd_720P_30", 1280, 720, 0, 30, 8},
    {"VideoStd_1080I_30", 1920, 1080, 1, 30, 10},
    {"VideoStd_1080I_25", 1920, 1080, 1, 25, 11},
    {"VideoStd_1080P_30", 1920, 1080, 0, 30, 16},
    {"VideoStd_1080P_25", 1920, 1080, 0, 25, 15},
    {"VideoStd_1080P_24", 1920, 1080, 0, 24, 14},
    {"", 0, 0, 0, 0, 0},
    {"VideoStd_1080P_60", 1920, 1080, 0, 60, 0},
    {"VideoStd_1080P_50", 1920, 1080, 0, 50, 17},
    {"VideoStd_1080I_60", 1920, 1080, 1, 0, 0},
    {"", 0, 0, 0, 0, 0},
    {"VideoStd_800x600p_60", 800, 600, 0, 60, 0},
    {"VideoStd_800x600p_75", 800, 600, 0, 75, 0},
    {"VideoStd_1024x768p_60", 1024, 768, 0, 60, 0},
    {"VideoStd_1024x768p_75", 1024, 768, 0, 75, 0},
    {"VideoStd_1152x864p_60", 1152, 864, 0, 60, 0},
    {"VideoStd_1280x768p_60", 1280, 768, 0, 60, 0},
    {"VideoStd_1280x800p_60", 1280, 800, 0, 60, 0},
    {"VideoStd_3064x2040p_10", 3064, 2040, 0, 0, 0},
};

bool valid(int std) { return std >= 0 && std < VSTD_COUNT; }

}  // namespace

const CustomTiming custom_timings[CUSTOM_TIMING_ROWS] = {
    {28, 1280, 800, 60, 0, 1440, 823, 48, 3, 32, 6},
    {9, 1280, 720, 60, 0, 1650, 750, 48, 3, 32, 6},
    {27, 1280, 768, 60, 0, 1500, 825, 48, 3, 32, 7},
    {26, 1152, 864, 60, 0, 1600, 900, 64, 1, 128, 3},
    {24, 1024, 768, 60, 0, 1500, 825, 24, 3, 136, 6},
    {22, 800, 600, 60, 0, 1875, 660, 40, 1, 128, 4},
    {29, 3064, 2040, 10, 0, 3375, 2200, 231, 153, 32, 3},
};

const CeaTiming cea_timings[CEA_TIMING_ROWS + 1] = {
    {858, 262, 720, 240, 19, 4, 62, 6, 13500000, 0x100, "480i29", 0, 0},
    {864, 312, 720, 288, 12, 3, 64, 5, 13500000, 0x100, "576i25", 0, 0},
    {858, 525, 720, 480, 16, 9, 62, 6, 27000000, 0, "480p59", 1, 3},
    {864, 625, 720, 576, 12, 5, 64, 5, 27000000, 0, "576p50", 2, 18},
    {3300, 750, 1280, 720, 1760, 5, 40, 5, 59400000, 3, "720p24", 3, 60},
    {3960, 750, 1280, 720, 2420, 5, 40, 5, 74250000, 3, "720p25", 4, 61},
    {3300, 750, 1280, 720, 1760, 5, 40, 5, 74250000, 3, "720p30", 5, 62},
    {1980, 750, 1280, 720, 440, 5, 40, 5, 74250000, 3, "720p50", 6, 19},
    {1650, 750, 1280, 720, 110, 5, 40, 5, 74250000, 3, "720p60", 8, 4},
    {2200, 562, 1920, 540, 88, 3, 44, 5, 74250000, 0x100, "1080i30", 10, 5},
    {2640, 562, 1920, 540, 528, 3, 44, 5, 74250000, 0x100, "1080i25", 11, 20},
    {2640, 562, 1920, 540, 528, 3, 44, 5, 74250000, 0x100, "1080i50", 12, 40},
    {2200, 562, 1920, 540, 88, 3, 44, 5, 74250000, 0x100, "1080i60", 13, 46},
    {2750, 1125, 1920, 1080, 638, 4, 44, 5, 74250000, 3, "1080p24", 14, 32},
    {2640, 1125, 1920, 1080, 528, 4, 44, 5, 74250000, 3, "1080p25", 15, 33},
    {2200, 1125, 1920, 1080, 88, 4, 44, 5, 74250000, 3, "1080p30", 16, 34},
    {2640, 1125, 1920, 1080, 528, 4, 44, 5, 148500000, 3, "1080p50", 17, 31},
    {2200, 1125, 1920, 1080, 88, 4, 44, 5, 148500000, 3, "1080p60", 18, 16},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, 0, 0},
};

const char *video_std_name(int std) { return valid(std) ? kStd[std].name : ""; }

int video_std_fps(int std) { return valid(std) ? kStd[std].fps : 0; }

int video_std_preset(int std) { return valid(std) ? kStd[std].preset : 0; }

bool video_std_size(int std, int *width, int *height, int *interlaced) {
  if (!valid(std) || kStd[std].width == 0) return false;
  if (width) *width = kStd[std].width;
  if (height) *height = kStd[std].height;
  if (interlaced) *interlaced = kStd[std].interlaced;
  return true;
}

const CustomTiming *custom_timing_of(int std) {
  for (const CustomTiming &c : custom_timings)
    if (c.id == std) return &c;
  return nullptr;
}

uint32_t dv_timings_refresh(const v4l2_bt_timings *bt) {
  int64_t htotal = (int64_t)bt->width + bt->hfrontporch + bt->hsync + bt->hbackporch;
  int64_t vtotal = (int64_t)bt->height + bt->vfrontporch + bt->vsync + bt->vbackporch;
  if (htotal <= 0 || vtotal <= 0) return 0;
  return (uint32_t)(bt->pixelclock * 1000 / (uint64_t)(htotal * vtotal));
}

uint32_t cea_rate_milli(uint32_t htotal, uint32_t vtotal) {
  uint64_t total = (uint64_t)htotal * vtotal;
  return total ? (uint32_t)(74250000000ull / total) : 0;
}

int get_std_from_mode(int width, int height, int scan, int rate) {
  bool interlaced = scan == SCAN_INTERLACED;
  if (width == 1280 && height == 1024 && !interlaced && rate > 49999) return VSTD_AUTO;
  if (width <= 720 && height <= 480) return VSTD_480P;
  if (width <= 720 && height <= 576) return VSTD_576P;
  if (width <= 1280 && height <= 720) {
    if (rate <= 25000) return VSTD_720P_50;
    if (rate <= 30000) return VSTD_720P_60;
    if (rate <= 50000) return VSTD_720P_50;
    return VSTD_720P_60;
  }
  for (const CustomTiming &c : custom_timings)
    if (c.width == width && c.height == height) return c.id;
  if (width <= 1920 && height <= 1080) {
    if (interlaced) {
      if (rate <= 50000) return VSTD_1080I_25;
      if (rate <= 60000) return VSTD_1080I_30;
      return VSTD_1080I_60;
    }
  } else if (width > 1920 && height > 1080 && !interlaced) {
    static int last_w, last_h;
    if (width != last_w || height != last_h) {
      log_printf("%s: use 1080p instead of %dx%d\n", "get_std_from_mode", width, height);
      last_w = width;
      last_h = height;
    }
  } else {
    return 4;
  }
  if (rate <= 24000) return VSTD_1080P_24;
  if (rate == 50000 || rate <= 25000) return VSTD_1080P_25;
  return VSTD_1080P_30;
}
