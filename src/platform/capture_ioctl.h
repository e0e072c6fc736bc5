// Requests of the capture chain's drivers that the host's kernel headers do
// not carry: the DV presets of the decoders, the decoder and resizer events,
// and the previewer's and resizer's private configuration requests. The
// standard media controller, V4L2 and sub-device requests come from
// <linux/media.h>, <linux/videodev2.h> and <linux/v4l2-subdev.h>.
#pragma once
#include <cstdint>
#include <sys/ioctl.h>
#include <linux/media.h>
#include <linux/videodev2.h>
#include <linux/v4l2-subdev.h>

// ---- Buffers of the resizer outputs ----
// The capture driver stamps every buffer with the 90 kHz media clock; the
// count travels in timestamp.tv_sec (tv_usec is 0).
inline uint32_t capture_buf_stamp(const struct v4l2_buffer *b) {
  return (uint32_t)b->timestamp.tv_sec;
}

// ---- DV presets (the analog-HD decoder) ----
// Preset code: bits 0-5 the mode (1 720x480i59.94, 2 720x576i50, 4 720p25,
// 5 720p30, 6 720p50, 7 720p59.94, 8 720p60, 9-13 1080i, 14 1080p24,
// 15 1080p25, 16 1080p30, 17 1080p50, 18 1080p60; 0 automatic detection),
// bits 6-7 the analog-HD format forced (0 TVI, 64 AHD, 128 CVI).
struct v4l2_dv_preset {
  uint32_t preset;
  uint32_t reserved[4];
};
#define VIDIOC_S_DV_PRESET _IOWR('V', 84, struct v4l2_dv_preset)
#define VIDIOC_G_DV_PRESET _IOWR('V', 85, struct v4l2_dv_preset)
#define VIDIOC_QUERY_DV_PRESET _IOR('V', 86, struct v4l2_dv_preset)

// Decoder input status bits 12-13: the analog-HD format the decoder locked
// to (1 AHD, 2 TVI, 3 CVI; 0 none or not an analog-HD signal).
#define DECODER_IN_ST_AHD_SHIFT 12
#define DECODER_IN_ST_AHD_MASK (3u << DECODER_IN_ST_AHD_SHIFT)

// ---- Events ----
// Decoder events. The signal event is raised when the input's signal or
// timings change; the audio event carries the digital audio sample rate in
// u.data[0..3] (little endian).
#define DECODER_EVENT_VSYNC (V4L2_EVENT_PRIVATE_START + 1)
#define DECODER_EVENT_SIGNAL (V4L2_EVENT_PRIVATE_START + 2)
#define DECODER_EVENT_HOTPLUG (V4L2_EVENT_PRIVATE_START + 3)
#define DECODER_EVENT_AUDIO_RATE (V4L2_EVENT_PRIVATE_START + 5)

// Resizer slice events of outputs A and B. Subscribed with id = the slice
// lines (a multiple of 16); each event carries a RszSliceEvent in u.data.
#define RSZ_INT_CYC_RZA_EVENT (V4L2_EVENT_PRIVATE_START + 1)
#define RSZ_INT_CYC_RZB_EVENT (V4L2_EVENT_PRIVATE_START + 2)
struct RszSliceEvent {
  uint32_t index;      // buffer being filled
  uint32_t lines;      // lines written into it so far
  uint32_t end;        // 1 on the frame's last slice
  uint32_t timestamp;  // 90 kHz
};

// ---- Resizer ----
enum { RSZ_PIX_FMT_UYVY = 5, RSZ_PIX_FMT_NV12 = 9 };
enum { RSZ_MODE_SINGLE_SHOT = 0, RSZ_MODE_CONTINUOUS = 1 };

struct RszInputSpec {
  uint32_t width, height;
  uint32_t ppln;        // pixels per line, blanking included
  uint32_t lpfr;        // lines per frame, blanking included
  uint32_t pix_fmt;     // RSZ_PIX_FMT_*
  uint32_t clk_div_n;   // the resizer clock runs at 1:n of the input clock
  uint32_t interlaced;
};
struct RszOutputSpec {
  uint32_t enable;
  uint32_t pix_fmt;
  uint32_t width, height;
  uint32_t line_length;  // bytes per line
  uint8_t vflip, hflip;
  uint8_t downscale_filter;
  uint8_t reserved0;
  uint16_t h_phase, v_phase;
  uint32_t crop_x, crop_y, crop_w, crop_h;  // in input pixels; 0 x 0: whole input
};
// Chained mode: the resizer takes its input from the previewer.
struct RszContinuousConfig {
  RszInputSpec input;
  RszOutputSpec output1, output2;
  uint32_t reserved[30];
};
// Single-shot mode: one frame from memory; output 1 may be a partial output.
struct RszSingleShotConfig {
  RszInputSpec input;
  RszOutputSpec output1, output2;
  uint8_t partial_vflip, partial_hflip, reserved0[2];
  uint32_t partial_x, partial_y, partial_w, partial_h;
  uint32_t reserved[7];
};
static_assert(sizeof(RszContinuousConfig) == 236, "chained resizer record");
static_assert(sizeof(RszSingleShotConfig) == 164, "single-shot resizer record");

// config NULL with len 0 restores the driver's defaults for that mode.
struct RszChannelConfig {
  uint32_t oper_mode;  // RSZ_MODE_*
  uint32_t chain;      // 1: input from the previewer
  uint32_t len;        // size of *config
  void *config;
};
#define RSZ_S_CONFIG _IOWR('R', 1, struct RszChannelConfig)
#define RSZ_G_CONFIG _IOWR('R', 2, struct RszChannelConfig)
// Where the resizer reads from: RSZ_INPUT_PREVIEWER or RSZ_INPUT_MEMORY.
enum { RSZ_INPUT_MEMORY = 0, RSZ_INPUT_PREVIEWER = 1 };
#define RSZ_S_INPUT _IOW('R', 3, uint32_t)

// ---- Previewer ----
struct PrvContinuousConfig {
  uint32_t input_code;     // media-bus code of the input
  uint32_t bypass;         // 1: no processing
  uint32_t gain;
  uint32_t avg_filter;
  uint32_t line_length;
  uint32_t reserved[8];
};
static_assert(sizeof(PrvContinuousConfig) == 52, "previewer record");

struct PrvChannelConfig {
  uint32_t oper_mode;  // RSZ_MODE_* values
  uint32_t len;
  void *config;        // NULL with len 0: the driver's defaults
};
#define PREV_S_CONFIG _IOWR('P', 1, struct PrvChannelConfig)
#define PREV_G_CONFIG _IOWR('P', 2, struct PrvChannelConfig)

// One processing module of the previewer, by index (EINVAL past the last).
struct PrvModuleCap {
  uint32_t index;
  uint32_t module_id;
  uint32_t param_size;
  char name[32];
};
#define PREV_ENUM_CAP _IOWR('P', 3, struct PrvModuleCap)

// flag 0 with param NULL sets the module to its default.
struct PrvModuleParam {
  uint32_t module_id;
  uint32_t flag;
  uint32_t len;
  void *param;
};
#define PREV_S_PARAM _IOWR('P', 4, struct PrvModuleParam)
#define PREV_G_PARAM _IOWR('P', 5, struct PrvModuleParam)
