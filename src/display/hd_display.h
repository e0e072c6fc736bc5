// The video output "/dev/video6": creating it for a standard (SD standard,
// DV preset, custom timing, or the capture's own timing), its user-pointer
// buffer queue, and the transmitter-side standard cycling of the F12 key.
#pragma once
#include <cstdint>

#include "platform/framework/dmai.h"

struct DisplayAttrs {
  const char *device;
  int32_t color_space;  // DisplayColorSpace: 0 NV12, 2 UYVY
  int32_t std;          // VideoStd
  int32_t output;       // 0 composite, 1 HDMI, 2 DVI
  int32_t num_bufs;
  int32_t width, height, line_length;  // 0: derive
};

struct HdDisplay {
  int fd;
  BufTab_Handle bufs;
  int32_t queued;      // buffers queued so far, up to count
  int32_t count;       // queued before the output starts
  int32_t image_size;
  int32_t std;
  int32_t color_space;
};

// The output as created last.
struct DisplayInfo {
  int32_t width, height, interlaced;
  int32_t fps;  // thousandths of Hz
};
extern DisplayInfo display_info;

// The output of the display thread, shared with the playback decoding that
// runs on it (NULL while there is none).
extern HdDisplay *hd_display;

HdDisplay *Display_create(BufTab_Handle bufs, DisplayAttrs *attrs);
int Display_delete(HdDisplay *hd);
// A buffer to fill: one never queued yet, else the next the output releases
// (blocking). 0 or -1 with errno set; nothing is logged.
int display_dequeue(HdDisplay *hd, Buffer_Handle *buf);
// Queues buf showing the picture at userptr; the queue of the last initial
// buffer starts the output. 0 or -1.
int display_queue_buffer(HdDisplay *hd, Buffer_Handle buf, void *userptr);
int display_put_buffer(HdDisplay *hd, Buffer_Handle buf);
// Frame rate of the current output's standard in Hz; 0 without an output.
int display_get_fps(void);
// Steps Display.Standard to the next one of the output's kind.
void Display_standard_cycle(void);
// Shows a short status text (the custom status message); NULL: not shown.
extern void (*display_status_message_hook)(const char *text);
