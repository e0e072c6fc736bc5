// Output standards of the video output: the VideoStd ids with their names,
// rates and sizes, the DV preset and custom timing rows behind them, the
// CEA-861 timing table, and the mapping of a picture size and rate to a
// standard. These ids are the display's own; the media framework's
// VideoStd_Type numbers its standards differently.
#pragma once
#include <cstdint>

struct v4l2_bt_timings;

enum VideoStd : int32_t {
  VSTD_AUTO = 0,
  VSTD_D1_NTSC = 5,
  VSTD_D1_PAL = 6,
  VSTD_480P = 7,
  VSTD_576P = 8,
  VSTD_720P_60 = 9,
  VSTD_720P_50 = 10,
  VSTD_720P_30 = 11,
  VSTD_1080I_30 = 12,
  VSTD_1080I_25 = 13,
  VSTD_1080P_30 = 14,
  VSTD_1080P_25 = 15,
  VSTD_1080P_24 = 16,
  VSTD_1080P_60 = 18,
  VSTD_1080P_50 = 19,
  VSTD_1080I_60 = 20,
  VSTD_CAPTURE = 21,  // the capture's own timing
  VSTD_800x600P_60 = 22,
  VSTD_800x600P_75 = 23,
  VSTD_1024x768P_60 = 24,
  VSTD_1024x768P_75 = 25,
  VSTD_1152x864P_60 = 26,
  VSTD_1280x768P_60 = 27,
  VSTD_1280x800P_60 = 28,
  VSTD_3064x2040P_10 = 29,
  VSTD_COUNT = 30
};

// Colour spaces of the display and its overlay planes.
enum DisplayColorSpace : int32_t {
  DISPLAY_CS_NV12 = 0,
  DISPLAY_CS_UYVY = 2,
  DISPLAY_CS_RGB565 = 4,
  DISPLAY_CS_ATTR = 9
};

enum { SCAN_PROGRESSIVE = 1, SCAN_INTERLACED = 4 };

// "VideoStd_720P_60"...; "" for the ids without a name.
const char *video_std_name(int std);
// Frame rate in Hz (0 for ids without one).
int video_std_fps(int std);
// Nominal size and scan of a standard; false for 0, 21 and ids without one.
bool video_std_size(int std, int *width, int *height, int *interlaced);
// The V4L2 DV preset a standard is programmed with (0: none).
int video_std_preset(int std);

// A custom timing row (the order is the search order of the native scaling).
struct CustomTiming {
  int32_t id, width, height, hz, interlaced, htotal, vtotal, hfp, vfp, hsync, vsync;
};
enum { CUSTOM_TIMING_ROWS = 7 };
extern const CustomTiming custom_timings[CUSTOM_TIMING_ROWS];
const CustomTiming *custom_timing_of(int std);

struct CeaTiming {
  uint16_t htotal, vtotal, width, height, hfp, vfp, hsync, vsync;
  uint32_t pixelclock;  // Hz
  uint32_t flags;       // 0x100 interlaced; 3 both syncs positive
  const char *name;
  uint32_t preset;
  uint32_t vic;
};
enum { CEA_TIMING_ROWS = 18 };
extern const CeaTiming cea_timings[CEA_TIMING_ROWS + 1];  // ended by a zero row

// Frame rate of BT timings in thousandths of Hz; 0 when a total is not positive.
uint32_t dv_timings_refresh(const v4l2_bt_timings *bt);
// 74.25 MHz over a total picture, in thousandths of Hz; 0 for a zero total.
uint32_t cea_rate_milli(uint32_t htotal, uint32_t vtotal);
// The standard for a picture; scan 1 progressive, 4 interlaced; rate in
// thousandths of Hz.
int get_std_from_mode(int width, int height, int scan, int rate);
