// The CaptureBlock: the two CaptureMode rows, the detected input and the
// VideoLock word, shared by the capture thread, the encoders, the display
// and the parameter rows.
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/startup.h"
#include "media/capture.h"
#include "media/capture_internal.h"

CaptureBlock capture_block = {
    {{1920, 1080, 3840, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 0},
     {CAPTURE_B_DEFAULT_WIDTH, CAPTURE_B_DEFAULT_HEIGHT, CAPTURE_B_DEFAULT_WIDTH * 2,
      V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 0}},
    0, 0, 0, 0, 0, 0, 0, 0,
    {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER},
    nullptr, {}, {},
    PTHREAD_MUTEX_INITIALIZER,
};

void (*capture_video_status_hook)(int locked);

namespace {
pthread_mutex_t g_fifo_lock = PTHREAD_MUTEX_INITIALIZER;
}

const char *capture_field_name(uint32_t field) {
  static const char *const kNames[] = {"ANY",  "NONE", "TOP",    "BOTTOM",   "INTERLACED",
                                       "SEQ_TB", "SEQ_BT", "ALTERNATE", "INT_TB", "INT_BT"};
  return field >= 1 && field <= 9 ? kNames[field] : "???";
}

const char *capture_fourcc_name(uint32_t fourcc) {
  if (fourcc == V4L2_PIX_FMT_UYVY) return "UYVY";
  if (fourcc == V4L2_PIX_FMT_NV12) return "NV12";
  return "????";
}

void capture_lock(void) {
  pthread_mutex_lock(&capture_block.lock[0]);
  pthread_mutex_lock(&capture_block.lock[1]);
}

void capture_unlock(void) {
  pthread_mutex_unlock(&capture_block.lock[1]);
  pthread_mutex_unlock(&capture_block.lock[0]);
}

void capture_lock_one(int index) { pthread_mutex_lock(&capture_block.lock[index ? 1 : 0]); }
void capture_unlock_one(int index) { pthread_mutex_unlock(&capture_block.lock[index ? 1 : 0]); }

void captureGetMode(uint32_t index, uint32_t *width, uint32_t *height, uint32_t *pitch,
                    uint32_t *fourcc, uint32_t *slice_lines, uint32_t *field, uint32_t *fps) {
  if (index > 1) return;
  capture_lock_one((int)index);
  const CaptureMode &m = capture_block.mode[index];
  if (width) *width = m.width;
  if (height) *height = m.height;
  if (pitch) *pitch = m.pitch;
  if (fourcc) *fourcc = m.fourcc;
  if (slice_lines) *slice_lines = m.slice_lines;
  if (field) *field = m.field;
  if (fps) *fps = m.fps;
  capture_unlock_one((int)index);
}

void captureSetMode(uint32_t index, uint32_t width, uint32_t height, uint32_t pitch,
                    uint32_t fourcc, uint32_t slice_lines, uint32_t field, uint32_t fps) {
  if (index > 1) return;
  CaptureMode m = {width, height, pitch, fourcc, slice_lines, field, fps};
  log_printf("%s: index=%u %ux%u(%u) format=%s field=%s fps=%u\n", "captureSetMode", index, width,
             height, pitch, capture_fourcc_name(fourcc), capture_field_name(field), fps);
  capture_lock_one((int)index);
  if (memcmp(&capture_block.mode[index], &m, sizeof m) != 0)
    __atomic_store_n(&capture_block.mode_changed, 1, __ATOMIC_RELAXED);
  capture_block.mode[index] = m;
  capture_unlock_one((int)index);
}

uint32_t capture_video_lock(void) { return __atomic_load_n(&capture_block.video_lock, __ATOMIC_RELAXED); }

int capture_lock_state(void) { return (int)capture_video_lock(); }

void capture_settings_changed(void) {
  __atomic_store_n(&capture_block.settings_changed, 1, __ATOMIC_RELAXED);
  pthread_mutex_lock(&g_fifo_lock);
  if (capture_block.capture_control_fifo)
    Fifo_put(capture_block.capture_control_fifo, (void *)&capture_settings_changed);
  pthread_mutex_unlock(&g_fifo_lock);
}

void capture_fifo_notify(StreamQueue *queue) {
  pthread_mutex_lock(&g_fifo_lock);
  if (capture_block.capture_control_fifo) Fifo_put(capture_block.capture_control_fifo, queue);
  pthread_mutex_unlock(&g_fifo_lock);
}

int capture_prepare(ThreadEnv *) {
  pthread_mutex_lock(&g_fifo_lock);
  if (!capture_block.capture_control_fifo) capture_block.capture_control_fifo = Fifo_create();
  int rc = capture_block.capture_control_fifo ? 0 : -1;
  pthread_mutex_unlock(&g_fifo_lock);
  return rc;
}

void capture_flush_fifo(void) {
  pthread_mutex_lock(&g_fifo_lock);
  if (capture_block.capture_control_fifo) Fifo_flush(capture_block.capture_control_fifo);
  pthread_mutex_unlock(&g_fifo_lock);
}

// Called by the thread at its end.
void capture_delete_fifo(void) {
  pthread_mutex_lock(&g_fifo_lock);
  if (capture_block.capture_control_fifo) Fifo_delete(capture_block.capture_control_fifo);
  capture_block.capture_control_fifo = nullptr;
  pthread_mutex_unlock(&g_fifo_lock);
}

namespace {
pthread_mutex_t g_input_lock = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

void capture_input_set(uint32_t width, uint32_t height, uint32_t interlaced, uint32_t fps) {
  pthread_mutex_lock(&g_input_lock);
  bool changed = capture_block.input_width != width || capture_block.input_height != height ||
                 capture_block.interlaced != interlaced || capture_block.fps != fps;
  capture_block.input_width = width;
  capture_block.input_height = height;
  capture_block.interlaced = interlaced;
  capture_block.fps = fps;
  pthread_mutex_unlock(&g_input_lock);
  // The display may be waiting for the input to choose its output.
  if (changed && core_hooks.display_wakeup) core_hooks.display_wakeup();
}

void capture_timings_set(const v4l2_dv_timings *t) {
  pthread_mutex_lock(&g_input_lock);
  capture_block.timings = *t;
  pthread_mutex_unlock(&g_input_lock);
}

void capture_timings_get(v4l2_dv_timings *t) {
  pthread_mutex_lock(&g_input_lock);
  *t = capture_block.timings;
  pthread_mutex_unlock(&g_input_lock);
}

void capture_input_get(uint32_t *width, uint32_t *height, uint32_t *interlaced, uint32_t *fps) {
  pthread_mutex_lock(&g_input_lock);
  if (width) *width = capture_block.input_width;
  if (height) *height = capture_block.input_height;
  if (interlaced) *interlaced = capture_block.interlaced;
  if (fps) *fps = capture_block.fps;
  pthread_mutex_unlock(&g_input_lock);
}

int capture_frame_rate(void) {
  uint32_t fps;
  capture_input_get(nullptr, nullptr, nullptr, &fps);
  return (int)fps;
}

void capture_size(int channel, int *width, int *height) {
  if (channel == 0) {
    uint32_t w, h;
    capture_input_get(&w, &h, nullptr, nullptr);
    *width = (int)w;
    *height = (int)h;
    return;
  }
  *width = CAPTURE_B_DEFAULT_WIDTH;
  *height = CAPTURE_B_DEFAULT_HEIGHT;
}

int capture_resolution_text(char *buf, size_t size) {
  if (!(capture_video_lock() & 1)) return snprintf(buf, size, "No video lock");
  uint32_t w, h, interlaced, fps;
  capture_input_get(&w, &h, &interlaced, &fps);
  int n = snprintf(buf, size, "%dx%d%c%d", (int)w, (int)h, interlaced ? 'i' : 'p',
                   (int)(fps / 1000));
  if (fps % 1000 && n >= 0 && (size_t)n < size)
    n += snprintf(buf + n, size - (size_t)n, ".%02d", (int)(fps % 1000 / 10));
  return n;
}
