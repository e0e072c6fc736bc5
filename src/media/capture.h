// The capture thread ("capture_hd") and the CaptureBlock it shares with the
// encoders and the display: two CaptureMode rows (resizer outputs A and B),
// the detected input and the VideoLock word. Captured frames, with their
// overlays drawn on the Worker, go to CAPTURE_STREAM1 (A) and
// CAPTURE_STREAM2 (B).
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>

#include "core/global.h"
#include "platform/capture_ioctl.h"
#include "platform/framework/dmai.h"

struct StreamQueue;
struct Worker;

enum { MAX_CAPTURE_BUFS = 16 };

// Output B's size at power-up: channel B's when its parameters set none.
enum { CAPTURE_B_DEFAULT_WIDTH = 640, CAPTURE_B_DEFAULT_HEIGHT = 480 };

// One resizer output's frames, seven words in this order.
struct CaptureMode {
  uint32_t width;
  uint32_t height;
  uint32_t pitch;        // bytes per line
  uint32_t fourcc;       // "UYVY" or "NV12"
  uint32_t slice_lines;  // 0: whole frames; else a multiple of 16
  uint32_t field;        // V4L2 field order
  uint32_t fps;          // thousandths of a frame per second
};
static_assert(sizeof(CaptureMode) == 28, "seven words");

// VideoLock word: bit 0 signal, bits 1-2 the analog-HD format (1 AHD,
// 2 TVI, 3 CVI); 0 no input.
struct CaptureBlock {
  CaptureMode mode[2];         // 0 output A, 1 output B; under lock[index]
  uint32_t input_width;        // detected; 0 until known
  uint32_t input_height;
  uint32_t fps;                // capture rate in thousandths (fields when interlaced)
  uint32_t interlaced;
  uint32_t video_lock;
  uint32_t mode_changed;       // set by captureSetMode
  uint32_t settings_changed;   // set by capture_settings_changed
  uint32_t change_lock;        // nothing sets it: decoder events always count
  pthread_mutex_t lock[2];     // always A before B
  Fifo_Handle capture_control_fifo;
  v4l2_input input;            // the decoder's current input
  v4l2_dv_timings timings;     // last read
  pthread_mutex_t capture_osd_mutex;  // the streams' counts of frames pending on the Worker
};
extern CaptureBlock capture_block;

// The capture thread's record.
struct CaptureEnv {
  ThreadEnv env;               // first: the thread table hands this out
  Worker *worker;              // NULL: the process's Worker
  int status;                  // -1 once a set-up failure ended the thread
};

void *captureThrFxn(void *env);
// Creates capture_control_fifo (the thread table's prepare step). 0 or -1.
int capture_prepare(ThreadEnv *env);
// Shutdown: every later wait of the thread on its FIFO ends at once.
void capture_flush_fifo(void);

// Each pointer may be NULL.
void captureGetMode(uint32_t index, uint32_t *width, uint32_t *height, uint32_t *pitch,
                    uint32_t *fourcc, uint32_t *slice_lines, uint32_t *field, uint32_t *fps);
void captureSetMode(uint32_t index, uint32_t width, uint32_t height, uint32_t pitch,
                    uint32_t fourcc, uint32_t slice_lines, uint32_t field, uint32_t fps);
// The detected input: set by the capture thread, read by the encoders and
// the parameter rows, as one consistent record.
void capture_input_set(uint32_t width, uint32_t height, uint32_t interlaced, uint32_t fps);
void capture_input_get(uint32_t *width, uint32_t *height, uint32_t *interlaced, uint32_t *fps);
// The decoder's timings last read, under the same lock as the input.
void capture_timings_set(const v4l2_dv_timings *t);
void capture_timings_get(v4l2_dv_timings *t);
void capture_lock(void);
void capture_unlock(void);
void capture_lock_one(int index);
void capture_unlock_one(int index);

uint32_t capture_video_lock(void);
// Capture parameters changed: the thread reconfigures.
void capture_settings_changed(void);
// The hook of both capture queues: every attach and detach wakes the thread.
void capture_fifo_notify(StreamQueue *queue);

// One byte register of the decoder chip (web diagnostics); 0 without one.
uint32_t decoder_reg_read(uint32_t reg);
void decoder_reg_write(uint32_t reg, uint32_t value);

// For the parameter rows: the capture rate in thousandths (0 unknown), the
// capture size of a channel (A: the input, B: output B's size at power-up,
// whatever the monitor's picture made of the row since), the VideoLock word,
// and the "Capture.Resolution" text.
int capture_frame_rate(void);
void capture_size(int channel, int *width, int *height);
int capture_lock_state(void);
int capture_resolution_text(char *buf, size_t size);

// The device status word (bit 0 of VideoLock), filled by the control layer.
extern void (*capture_video_status_hook)(int locked);

// Names used in log lines.
const char *capture_field_name(uint32_t field);
const char *capture_fourcc_name(uint32_t fourcc);
