// The display thread "display_hd": it owns the video output and runs one
// display mode at a time (idle, the live capture passed through, colour bars,
// playback, a reset of the output, power-off). Other threads store a field of
// the one DisplayEnv and call displayWakeup; the thread notices the change at
// its next wait, frame or check and re-creates the output as needed.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/global.h"
#include "display/hd_display.h"
#include "media/stream_ids.h"
#include "platform/framework/dmai.h"

struct CaptureEnv;

enum DisplayRunMode : int32_t {
  DISPLAY_IDLE = 0,
  DISPLAY_PASSTHRU = 1,
  DISPLAY_COLORBARS = 2,
  DISPLAY_FLASH = 3,       // not a mode of this thread
  DISPLAY_STREAM = 4,      // the playback decoding runs on this thread
  DISPLAY_RAW = 5,         // not a mode of this thread
  DISPLAY_PASSTHRU_SD = 6,
  DISPLAY_RESET = 7,
  DISPLAY_POWER_OFF = 8
};

// Fields written by other threads are atomics: a store followed by
// displayWakeup is never lost, whenever the thread looks.
struct DisplayEnv {
  ThreadEnv env;                          // first: the thread table hands this out
  std::atomic<int32_t> mode;              // DisplayRunMode
  std::atomic<int32_t> output;            // 0 composite, 1 HDMI, 2 DVI
  std::atomic<int32_t> std;               // VideoStd; 0 follows the capture
  std::atomic<int32_t> color_space;       // outside the pass-through: 0 NV12, 2 UYVY
  std::atomic<int32_t> forced_width, forced_height;  // picture enlarged by the scaler
  std::atomic<int32_t> scale_flags;       // bit 0 x1.5 across, bit 1 x2 across, bit 2 x2 down
  std::atomic<int32_t> capture_std;
  std::atomic<int32_t> passthru_color_space;
  Fifo_Handle frame_fifos[4];             // decoded frames between playback and this output
  std::atomic<int32_t> status;            // -1 when the thread failed to start
  CaptureEnv *capture_env;
};

// The record of the running thread (NULL before it starts).
extern DisplayEnv *displayEnv;

void *displayThrFxn(void *env);
// The thread table's prepare step: the record's four frame FIFOs. 0 or -1.
int display_prepare(ThreadEnv *env);
// Fills the display hooks of core (the record's setters, the transmitter
// registers, the wake-up) for env.
void display_install_hooks(DisplayEnv *env);
void displayWakeup(void);
const char *display_mode_name(int mode);

// Chooses the output standard for a pass-through of stream and programs the
// capture resizer output for it.
void setup_passthru(DisplayEnv *env, StreamId stream);
// 1 when the output made with attrs no longer matches the record.
int displayParamsChanged(DisplayAttrs *attrs, DisplayEnv *env, int verbose);

// For the playback decoding (mode 4), on this thread.
int display_hd_set_resolution(int width, int height, int line_length, int fps, BufTab_Handle bufs,
                              int chroma_offset);
// From any thread: whether playback could show pictures of width x height,
// as its first picture would set up the output (the output is not
// touched). 0, or -1.
int display_can_show(int width, int height);
// 1 when fifo has a frame, 0 after 250 ms, negative on error; buffers the
// output released meanwhile are given back to the decoder.
int display_poll_wait(Fifo_Handle fifo);
// The playback decode loop; NULL until playback exists (mode 4 then idles).
extern int (*decode_main_hook)(DisplayEnv *env);
