// The capture thread: detects the decoder's input, programs the capture
// chain for the two CaptureMode rows, and publishes every frame (or, with
// no usable input, black frames carrying a message) to the capture streams
// while they have consumers.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_block.h"
#include "core/startup.h"
#include "core/vpss_reset.h"
#include "media/capture_internal.h"
#include "media/stream_ids.h"
#include "media/video_enc.h"
#include "osd/osd_composite.h"
#include "platform/device.h"

namespace {

const char kThreadName[] = "capture_hd";
constexpr uint32_t kOsdBufferSize = 4147200;
constexpr uint64_t kMaxPixelClock = 120000000;

enum PassResult { PASS_RUNNING, PASS_RETRY, PASS_QUIT, PASS_FATAL };

struct CaptureThread {
  CaptureEnv *env;
  CaptureStream streams[2];
  MediaNode dec, ccdc, prv, rsz, out[2];
  Buffer_Handle osd;
  bool ahd;
  uint32_t i2c_addr;
  // What the last pass applied.
  int input;                 // Capture.Input; -1 forces the input selection
  int standard;              // Capture.Standard
  int standard_seen;         // last value logged as changed
  v4l2_std_id std;           // standard set on the decoder
  v4l2_std_id std_detected;  // composite: what the decoder reported
  bool composite;
  uint32_t width, height, fps;
  bool interlaced;
  CaptureCrop crop[2];
  uint32_t hw_width;         // pixels per line the decoder sends, when not width
  bool have_timings;
  v4l2_dv_timings timings;
  int32_t ctrl_set[5];
  bool ctrl_valid[5];
  uint32_t audio_rate;
  int reset;                 // -2: the next pass resets the video processing
  int timeouts;
  int misses[2];             // passes in which only the other output delivered
};

CaptureThread g_ct;
pthread_mutex_t g_dec_lock = PTHREAD_MUTEX_INITIALIZER;  // the decoder's descriptor
Buffer_Handle g_rings[2];

bool quitting(void) { return get_exit_code() != EXIT_RUNNING; }

ParamBlock *params(void) { return get_param_block(); }

bool gpio_out_held(void) {
  char buf[8];
  return param_get("GPIO.out", buf, sizeof buf) > 0 && buf[0] == '1';
}

uint64_t mono_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

char stream_letter(int k) { return k ? 'B' : 'A'; }

const char *input_name(const CaptureThread *t, int input) {
  static const char *const kAhd[] = {"AHD1", "AHD2"};
  static const char *const kOther[] = {"DVI", "CVideo", "SVideo", "Comp", "VGA", "DVI"};
  if (input < 0) return "?";
  if (t->ahd) return input < 2 ? kAhd[input] : "?";
  return input < 6 ? kOther[input] : "?";
}

v4l2_std_id std_of_code(int code) {
  return code == 5 ? V4L2_STD_NTSC : code == 6 ? V4L2_STD_PAL : 0;
}

const char *std_label(const CaptureThread *t) {
  if (!t->composite) return "";
  if (t->std & V4L2_STD_625_50) return ", PAL";
  if (t->std & V4L2_STD_525_60) return ", NTSC";
  return ", other";
}

const char *ahd_label(uint32_t lock) {
  static const char *const kFmt[] = {"", " AHD", " TVI", " CVI"};
  return kFmt[(lock >> 1) & 3];
}

void publish_lock(uint32_t word) {
  __atomic_store_n(&capture_block.video_lock, word, __ATOMIC_RELAXED);
  if (capture_video_status_hook) capture_video_status_hook((int)(word & 1));
}

uint32_t lock_word(const v4l2_input &in) {
  if (in.status & V4L2_IN_ST_NO_SIGNAL) return 0;
  return 1u | (((in.status & DECODER_IN_ST_AHD_MASK) >> DECODER_IN_ST_AHD_SHIFT) << 1);
}

int read_input(CaptureThread *t, v4l2_input *in) {
  memset(in, 0, sizeof *in);
  in->index = (uint32_t)(t->input < 0 ? 0 : t->input);
  if (dev_ioctl(t->out[0].fd, VIDIOC_ENUMINPUT, in) != 0) {
    capture_perror("VIDIOC_ENUMINPUT");
    return -1;
  }
  capture_block.input = *in;
  return 0;
}

bool same_timings(const v4l2_dv_timings &a, const v4l2_dv_timings &b) {
  return a.bt.width == b.bt.width && a.bt.height == b.bt.height &&
         a.bt.interlaced == b.bt.interlaced && a.bt.pixelclock == b.bt.pixelclock;
}

// 0 with the timings, -1 when the decoder has none.
int query_timings(CaptureThread *t, v4l2_dv_timings *tm) {
  memset(tm, 0, sizeof *tm);
  return dev_ioctl(t->dec.fd, VIDIOC_QUERY_DV_TIMINGS, tm) == 0 ? 0 : -1;
}

void wait_for_worker(CaptureThread *t) {
  // Tasks in flight use the buffers and descriptors the pass is about to
  // close. A Worker that no longer runs (shutdown) is not waited for long.
  for (int i = 0; capture_pending(&t->streams[0]) || capture_pending(&t->streams[1]); i++) {
    if (quitting() && i > 100) break;
    usleep(10000);
  }
}

void close_nodes(CaptureThread *t) {
  wait_for_worker(t);
  buffer_release(&t->out[0]);
  buffer_release(&t->out[1]);
  buffer_release(&t->rsz);
  buffer_release(&t->prv);
}

// ---- The rows ----

bool row_valid(const CaptureStream *s, const CaptureMode &m) {
  bool nv12 = m.fourcc == V4L2_PIX_FMT_NV12;
  if (m.fourcc != V4L2_PIX_FMT_UYVY && !nv12) return false;
  if (!m.width || !m.height || m.pitch < m.width * (nv12 ? 1 : 2)) return false;
  if (m.field < V4L2_FIELD_NONE || m.field > V4L2_FIELD_INTERLACED_BT) return false;
  uint64_t size = (uint64_t)m.pitch * m.height * (nv12 ? 3 : 2) / 2;
  return size <= s->ring_size;
}

void capture_stream_set_format(CaptureStream *s, const CaptureMode &m) {
  const CaptureMode &a = s->applied;
  if (a.width != m.width || a.height != m.height || a.pitch != m.pitch || a.fourcc != m.fourcc ||
      a.field != m.field || a.slice_lines != m.slice_lines) {
    osdSetFormat(s->index, m.width, m.height, m.fourcc == V4L2_PIX_FMT_UYVY ? 2 : 0, m.pitch);
    capture_publish_mark(s);
  }
  s->applied = m;
  s->pitch = m.pitch;
  s->height = m.height;
  s->fourcc = m.fourcc;
  s->field = m.field;
  s->slice_lines = m.slice_lines;
  s->lines_published = 0;
  uint64_t size = (uint64_t)m.pitch * m.height;
  if (m.fourcc == V4L2_PIX_FMT_NV12) size = size * 3 / 2;
  s->frame_size = size <= s->ring_size ? (uint32_t)size : 0;
  uint32_t n = s->frame_size ? s->ring_size / s->frame_size : 0;
  s->nbufs = n > MAX_CAPTURE_BUFS ? (uint32_t)MAX_CAPTURE_BUFS : n;
}

// ---- Colour controls ----

void apply_color_controls(CaptureThread *t) {
  const ParamBlock *pb = params();
  const CaptureParams &c = pb->capture;
  struct {
    uint32_t id;
    const char *name;
    int32_t value;
  } ctrls[5] = {
      {V4L2_CID_BRIGHTNESS, "brightness", t->ahd ? c.brightness / 2 - 64 : c.brightness - 128},
      {V4L2_CID_SATURATION, "saturation", t->ahd ? c.saturation / 2 : c.saturation},
      {V4L2_CID_HUE, "hue", c.hue},
      {V4L2_CID_CONTRAST, "contrast", t->ahd ? c.contrast / 2 : c.contrast},
      {V4L2_CID_COLOR_KILLER, "color killer", pb->capture_color_killer != 1},
  };
  for (int i = 0; i < 5; i++) {
    if (t->ctrl_valid[i] && t->ctrl_set[i] == ctrls[i].value) continue;
    v4l2_control ctl = {ctrls[i].id, ctrls[i].value};
    if (dev_ioctl(t->dec.fd, VIDIOC_S_CTRL, &ctl) != 0) capture_perror("VIDIOC_S_CTRL");
    t->ctrl_set[i] = ctrls[i].value;
    t->ctrl_valid[i] = true;
    v4l2_control back = {ctrls[i].id, 0};
    if (dev_ioctl(t->dec.fd, VIDIOC_G_CTRL, &back) != 0) {
      capture_perror("VIDIOC_G_CTRL");
      continue;
    }
    if (back.value != ctrls[i].value)
      log_printf("Failed to change %s to %d, currently %d\n", ctrls[i].name, ctrls[i].value, back.value);
  }
}

// ---- Blank frames ----

// Waits on the control FIFO until the next frame time; 1 when the FIFO has
// something. Otherwise every enabled stream gets a black frame with the
// message.
int capture_blank_frame(CaptureThread *t, const char *msg, uint64_t *next_ns, uint64_t interval_ns,
                        uint32_t fps) {
  uint64_t now = mono_ns();
  if (*next_ns > now) {
    uint64_t wait = *next_ns - now;
    struct timespec ts = {(time_t)(wait / 1000000000ull), (long)(wait % 1000000000ull)};
    pollfd p = {Fifo_getFd(capture_block.capture_control_fifo), POLLIN, 0};
    int r = ppoll(&p, 1, &ts, nullptr);
    if (r > 0) return 1;
  } else if (Fifo_getNumEntries(capture_block.capture_control_fifo) != 0) {
    return 1;
  }
  for (CaptureStream &s : t->streams) {
    if (!s.enabled) continue;
    check_stream_fps(&s, fps);
    uint32_t index;
    uint8_t *frame = capture_alloc_frame(&s, &index);
    if (!frame) continue;
    ringbuffer_claim(&s.queue, (uint32_t)(frame - s.base), s.frame_size);
    capture_fill_black(frame, s.frame_size, s.pitch, s.height, s.fourcc);
    osdDrawText(s.index, frame, msg);
    if (stream_queue_buf(&s, frame, s.frame_size, timestamp_now(), index, 1) != 0 &&
        stream_queue_consumers(&s.queue) <= 0)
      s.enabled = 0;
  }
  *next_ns += interval_ns;
  now = mono_ns();
  if (*next_ns + interval_ns < now) *next_ns = now + interval_ns;  // no burst after a stall
  return 0;
}

// Any control event ends the blank frames: the next pass sees what changed.
PassResult drain_fifo(void) {
  while (Fifo_getNumEntries(capture_block.capture_control_fifo) != 0) {
    void *p;
    int rc = Fifo_get(capture_block.capture_control_fifo, &p);
    if (rc == 1) return PASS_QUIT;
    if (rc < 0) break;
  }
  return quitting() ? PASS_QUIT : PASS_RETRY;
}

enum BlankReason { BLANK_NO_SIGNAL, BLANK_OUT_OF_RANGE };

// Publishes black frames until the reason goes away, the input parameter
// changes, a control event arrives or the process quits.
PassResult blank_loop(CaptureThread *t, BlankReason why, uint32_t rate, bool interlaced) {
  const char *msg = why == BLANK_NO_SIGNAL ? "No video lock" : "Out of range";
  // The blank frames are whole frames: a field rate becomes a frame rate.
  uint32_t fps = rate > 30000 ? rate / 2 : rate;
  if (!fps) fps = why == BLANK_NO_SIGNAL ? 29970 : 30000;
  uint64_t interval = 1000000000000ull / fps;
  log_printf("fake capture %dx%d @ %d, interval %d, interlace=%d\n", (int)t->width, (int)t->height,
             (int)fps, (int)interval, interlaced ? 1 : 0);
  uint64_t next = mono_ns() + interval, last_check = mono_ns();
  for (;;) {
    if (quitting()) return PASS_QUIT;
    if (capture_blank_frame(t, msg, &next, interval, fps)) return drain_fifo();
    if (mono_ns() - last_check < 500000000ull) continue;
    last_check = mono_ns();
    if (params()->capture.input != t->input) return PASS_RETRY;
    v4l2_input in;
    if (read_input(t, &in) != 0) continue;
    bool signal = !(in.status & V4L2_IN_ST_NO_SIGNAL);
    if (why == BLANK_NO_SIGNAL && signal) {
      log_printf("%s input has signal lock\n", input_name(t, t->input));
      return PASS_RETRY;
    }
    if (why == BLANK_OUT_OF_RANGE) {
      v4l2_dv_timings tm;
      if (!signal || query_timings(t, &tm) != 0 || !same_timings(tm, t->timings)) return PASS_RETRY;
    }
  }
}

// ---- The configuration pass ----

// A crop of 0 x 0 is the whole input. A rectangle that runs past the right
// or bottom edge is moved back inside, its size limited to the input's.
void clamp_crop(CaptureCrop *c, uint32_t in_w, uint32_t in_h, bool interlaced) {
  if (!c->width || c->width > in_w) c->width = in_w;
  if (!c->height || c->height > in_h) c->height = in_h;
  if (c->x + c->width > in_w) c->x = in_w - c->width;
  if (c->y + c->height > in_h) c->y = in_h - c->height;
  if (interlaced) {
    c->y /= 2;
    c->height /= 2;
  }
}

v4l2_mbus_framefmt mbus(uint32_t w, uint32_t h, uint32_t code, bool interlaced) {
  v4l2_mbus_framefmt f = {};
  f.width = w;
  f.height = h;
  f.code = code;
  f.field = interlaced ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE;
  f.colorspace = V4L2_COLORSPACE_SMPTE170M;
  return f;
}

PassResult subdev_setup(CaptureThread *t, const CaptureMode rows[2], const bool valid[2]) {
  uint32_t w = t->width, h = t->height;
  v4l2_mbus_framefmt in = mbus(w, h, MBUS_YUYV8_1X16, t->interlaced);
  v4l2_mbus_framefmt yuyv = mbus(w, h, MBUS_YUYV8_2X8, t->interlaced);
  if (subdev_format_setup(&t->ccdc, &in, &in) != 0) {
    log_printf("subdev setup ccdc failed\n");
    return PASS_FATAL;
  }
  if (subdev_format_setup(&t->prv, &yuyv, &in) != 0) {
    log_printf("subdev setup prev failed\n");
    return PASS_FATAL;
  }
  if (subdev_format_setup(&t->rsz, &yuyv, &yuyv) != 0) {
    log_printf("subdev setup rsz failed\n");
    return PASS_FATAL;
  }
  for (int k = 0; k < 2; k++) {
    if (!valid[k]) continue;
    uint32_t code = rows[k].fourcc == V4L2_PIX_FMT_NV12 ? MBUS_NV12_1X20 : MBUS_YUYV8_2X8;
    v4l2_mbus_framefmt o = mbus(rows[k].width, rows[k].height, code, false);
    if (subdev_format_setup(&t->out[k], nullptr, &o) != 0) {
      log_printf("subdev setup rsz%c failed\n", stream_letter(k) + 32);
      return PASS_FATAL;
    }
  }
  return PASS_RUNNING;
}

// Formats, buffers and streaming of the outputs.
PassResult outputs_setup(CaptureThread *t, const CaptureMode rows[2], const bool valid[2]) {
  for (int k = 0; k < 2; k++) {
    CaptureStream &s = t->streams[k];
    char c = (char)(stream_letter(k) + 32);
    if (!valid[k]) {
      log_printf("invalid settings for rsz%c: width=%u height=%u field=%s\n", c, rows[k].width,
                 rows[k].height, capture_field_name(rows[k].field));
      s.enabled = 0;
      continue;
    }
    MediaNode &n = t->out[k];
    if (format_setup(&n, rows[k].width, rows[k].height, rows[k].fourcc, rows[k].pitch,
                     rows[k].field) != 0) {
      log_printf("format setup rsz%c failed\n", c);
      return PASS_FATAL;
    }
    if (n.frame_size && n.frame_size != s.frame_size && n.frame_size <= s.ring_size) {
      s.frame_size = n.frame_size;
      s.pitch = n.fmt.fmt.pix.bytesperline;
    }
    uint32_t bufs = s.frame_size ? s.ring_size / s.frame_size : 0;
    if (bufs > MAX_CAPTURE_BUFS) {
      log_printf("capture bufs:%d set to %d\n", (int)bufs, MAX_CAPTURE_BUFS);
      bufs = MAX_CAPTURE_BUFS;
    }
    if (bufs == MAX_CAPTURE_BUFS) log_printf("capture%c buf_count=%d\n", stream_letter(k), (int)bufs);
    s.nbufs = bufs;
    n.flags &= ~MEDIA_NODE_MMAP;
    if (buffer_setup(&n, nullptr, bufs) != 0) {
      log_printf("buffer setup rsz%c failed\n", c);
      return PASS_FATAL;
    }
    s.blank_countdown = 4;
  }
  for (int k = 0; k < 2; k++) {
    CaptureStream &s = t->streams[k];
    if (!s.enabled || !valid[k]) continue;
    // Consumers may still be coding frames of the previous set-up.
    ringbuffer_claim(&s.queue, 0, s.nbufs * s.frame_size);
    for (uint32_t i = 0; i < s.nbufs; i++) {
      uint8_t *frame = s.base + (size_t)i * s.frame_size;
      capture_fill_black(frame, s.frame_size, s.pitch, s.height, s.fourcc);
      v4l2_buffer b = {};
      b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      b.memory = V4L2_MEMORY_USERPTR;
      b.index = i;
      b.m.userptr = (unsigned long)frame;
      b.length = s.frame_size;
      if (dev_ioctl(t->out[k].fd, VIDIOC_QBUF, &b) != 0) {
        capture_perror(k ? "rszb VIDIOC_QBUF" : "rsza VIDIOC_QBUF");
        sleep(1);
        return PASS_RETRY;
      }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (dev_ioctl(t->out[k].fd, VIDIOC_STREAMON, &type) != 0) {
      capture_perror(k ? "rszb VIDIOC_STREAMON" : "rsza VIDIOC_STREAMON");
      t->input = -1;  // the next pass selects the input again
      sleep(1);
      return PASS_RETRY;
    }
    t->out[k].flags |= MEDIA_NODE_STREAMING;
    s.last_frame = nullptr;
  }
  return PASS_RUNNING;
}

// Steps 6 to 8: what the input carries. PASS_RUNNING with the geometry in
// t, or the result of a blank-frame loop.
PassResult detect_input(CaptureThread *t) {
  v4l2_input in;
  if (read_input(t, &in) != 0) {
    sleep(1);
    return PASS_RETRY;
  }
  t->composite = in.capabilities & V4L2_IN_CAP_STD;
  bool signal = !(in.status & V4L2_IN_ST_NO_SIGNAL);
  uint32_t rate = 0;
  t->interlaced = false;
  t->have_timings = false;
  t->hw_width = 0;
  if (!signal) {
    log_printf("%s input has no signal lock %d %d\n", input_name(t, t->input), t->input,
               (int)in.status);
    // What the frames would be: the standard's, or the usual 480-line picture.
    t->width = 720;
    t->height = t->composite && (t->std & V4L2_STD_625_50) ? 576 : 480;
    t->interlaced = t->composite;
    rate = t->composite ? (t->height == 576 ? 50000 : 59940) : 59940;
    capture_input_set(t->width, t->height, t->interlaced, rate);
    publish_lock(0);
    return blank_loop(t, BLANK_NO_SIGNAL, rate, t->interlaced);
  }
  if (t->ahd) {
    v4l2_dv_preset p = {};
    if (dev_ioctl(t->dec.fd, VIDIOC_QUERY_DV_PRESET, &p) != 0) capture_perror("VIDIOC_QUERY_DV_PRESET");
    uint32_t code = p.preset & 63;
    bool i1080 = code >= 9 && code <= 13;
    t->width = code == 1 || code == 2 ? 720 : (i1080 || (code >= 14 && code <= 18)) ? 1920 : 1280;
    t->height = code == 1 ? 480 : code == 2 ? 576 : (i1080 || (code >= 14 && code <= 18)) ? 1080 : 720;
    t->interlaced = i1080;
    switch (code) {
      case 1: rate = 59940; break;
      case 2: rate = 50000; break;
      case 3: case 14: rate = 24000; break;
      case 4: case 11: case 15: rate = 25000; break;
      case 5: case 10: case 16: rate = 30000; break;
      case 6: case 12: case 17: rate = 50000; break;
      case 7: rate = 59940; break;
      case 9: rate = 29970; break;
      default: rate = 50000; break;
    }
    // The decoder's own line length for the 480/576-line standards.
    v4l2_dv_timings tm;
    if (query_timings(t, &tm) == 0 && tm.bt.width == 1984 && tm.bt.interlaced &&
        (t->height == 480 || t->height == 576)) {
      t->interlaced = true;
      t->hw_width = 1984;
    }
  } else if (t->composite) {
    v4l2_std_id std = 0;
    if (dev_ioctl(t->out[0].fd, VIDIOC_QUERYSTD, &std) != 0) capture_perror("VIDIOC_QUERYSTD");
    t->height = (std & V4L2_STD_625_50) ? 576 : 480;
    log_printf("composite std = %llx, %dx%d\n", (unsigned long long)std, 720, (int)t->height);
    if (std && dev_ioctl(t->out[0].fd, VIDIOC_S_STD, &std) != 0) capture_perror("VIDIOC_S_STD");
    if (std) t->std = std;
    t->std_detected = std;
    t->width = 720;
    t->interlaced = true;
    rate = t->height == 576 ? 50000 : 59940;
    if (params()->capture.interpolate) decoder_reg_write(0x5DD, 0xB4);
  } else {
    v4l2_dv_timings tm;
    if (query_timings(t, &tm) == 0) {
      const v4l2_bt_timings &bt = tm.bt;
      uint32_t htot = bt.width + bt.hfrontporch + bt.hsync + bt.hbackporch;
      uint32_t vtot = bt.height + bt.vfrontporch + bt.vsync + bt.vbackporch;
      if (bt.interlaced) vtot += bt.il_vfrontporch + bt.il_vsync + bt.il_vbackporch;
      double fps = htot && vtot ? (double)bt.pixelclock / ((double)htot * vtot) : 0;
      log_printf("dv timings: width=%d height=%d interlaced=%d (%dx%d) fps=%g \n", (int)bt.width,
                 (int)bt.height, (int)bt.interlaced, (int)htot, (int)vtot, fps);
      log_printf("  h porches %u %u %u  v porches %u %u %u  %u %u %u\n", bt.hfrontporch, bt.hsync,
                 bt.hbackporch, bt.vfrontporch, bt.vsync, bt.vbackporch, bt.il_vfrontporch,
                 bt.il_vsync, bt.il_vbackporch);
      if (dev_ioctl(t->dec.fd, VIDIOC_S_DV_TIMINGS, &tm) != 0) capture_perror("VIDIOC_S_DV_TIMINGS");
      if (params()->audio.input == 2) log_printf("digital audio rate %d\n", (int)t->audio_rate);
      t->timings = tm;
      capture_timings_set(&tm);
      t->have_timings = true;
      t->width = bt.width;
      t->height = bt.height;
      t->interlaced = bt.interlaced;
      rate = capture_read_fps(t->out[0].fd, t->interlaced);
      if (bt.pixelclock > kMaxPixelClock) {
        log_printf("Pixel clock is out of range: %llu \n", (unsigned long long)bt.pixelclock);
        capture_input_set(t->width, t->height, t->interlaced, rate);
        publish_lock(lock_word(in));
        return blank_loop(t, BLANK_OUT_OF_RANGE, rate, t->interlaced);
      }
    } else {
      t->width = 720;
      t->height = 480;
      rate = 59940;
    }
  }
  t->fps = rate;
  capture_input_set(t->width, t->height, t->interlaced, rate);
  publish_lock(lock_word(in));
  return PASS_RUNNING;
}

// The flip output k applies: the channel's, as its encoder uses it, for the
// size of the row (a field-per-buffer row counts its frame's lines).
uint32_t stream_flip(const ParamBlock *pb, const CaptureMode &row, int k) {
  uint32_t height = row.field == V4L2_FIELD_ALTERNATE ? row.height * 2 : row.height;
  return video_flip_used(&pb->video[k], row.width, height);
}

PassResult configure(CaptureThread *t) {
  ParamBlock *pb = params();
  // 1.
  wait_for_worker(t);
  for (CaptureStream &s : t->streams) s.enabled = stream_queue_consumers(&s.queue) > 0;
  // The rows are copied under the capture locks and the locks let go at
  // once: the input selection below may retry for as long as the input is
  // missing, and the encoders must not wait on that.
  capture_lock();
  __atomic_store_n(&capture_block.mode_changed, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&capture_block.settings_changed, 0, __ATOMIC_RELAXED);
  CaptureMode rows[2] = {capture_block.mode[0], capture_block.mode[1]};
  capture_unlock();
  close_nodes(t);
  // 2.
  if (quitting()) return PASS_QUIT;
  if (t->reset == -2) {
    resetVPSS(kThreadName);
    t->reset = 0;
    usleep(20000);
  }
  if (gpio_out_held()) {
    sleep(1);
    return PASS_RETRY;
  }
  // 3.
  if (media_open_pipeline(&t->out[0]) != 0) {
    log_printf("media setup resize A failed\n");
    return PASS_FATAL;
  }
  int input = pb->capture.input;
  if (t->ahd) {
    v4l2_dv_preset p = {};
    p.preset = input == 1 ? pb->capture_force_input_mode2 : pb->capture_force_input_mode;
    if (dev_ioctl(t->dec.fd, VIDIOC_S_DV_PRESET, &p) != 0) capture_perror("viddec VIDIOC_S_DV_PRESET");
  } else {
    for (uint32_t type = DECODER_EVENT_VSYNC; type <= DECODER_EVENT_HOTPLUG; type++) {
      v4l2_event_subscription sub = {};
      sub.type = type;
      if (dev_ioctl(t->dec.fd, VIDIOC_SUBSCRIBE_EVENT, &sub) != 0) capture_perror("VIDIOC_SUBSCRIBE_EVENT");
    }
  }
  if (media_open_pipeline(&t->out[1]) != 0) {
    log_printf("media setup resize B failed\n");
    return PASS_FATAL;
  }
  // 4.
  int standard = pb->capture.standard;
  if (input != t->input || standard != t->standard) {
    log_printf("input %d -> %d, standard %d -> %d\n", t->input, input, t->standard, standard);
    for (;;) {
      v4l2_std_id std = std_of_code(standard);
      if (input_setup(t->out[0].fd, input, &std) == 0) {
        t->std = std;
        break;
      }
      log_printf("video setup failed\n");
      if (quitting()) return PASS_QUIT;
      usleep(100000);
      input = pb->capture.input;
      standard = pb->capture.standard;
    }
    t->input = input;
    t->standard = standard;
    t->standard_seen = standard;
    if (!t->ahd) decoder_reg_write(0x5DD, input == 7 ? 0xBF : 0xBC);
  }
  // 5.
  bool valid[2];
  for (int k = 0; k < 2; k++) {
    capture_stream_set_format(&t->streams[k], rows[k]);
    valid[k] = row_valid(&t->streams[k], rows[k]);
    t->streams[k].flip = stream_flip(pb, rows[k], k);
    t->crop[k] = CaptureCrop{0, 0, 0, 0};
  }
  // 6 to 8.
  PassResult r = detect_input(t);
  if (r != PASS_RUNNING) return r;
  for (CaptureStream &s : t->streams) s.interlaced = t->interlaced;
  // 9.
  CaptureCrop crop[2];
  v4l2_pix_format fmt[2] = {};
  uint32_t hw_width = t->hw_width ? t->hw_width : t->width;
  for (int k = 0; k < 2; k++) {
    crop[k] = t->crop[k];
    clamp_crop(&crop[k], t->width, t->height, t->interlaced);
    if (hw_width != t->width) {
      crop[k].x = crop[k].x * hw_width / t->width;
      crop[k].width = crop[k].width * hw_width / t->width;
    }
    fmt[k].width = rows[k].width;
    fmt[k].height = rows[k].height;
    fmt[k].pixelformat = rows[k].fourcc;
    fmt[k].bytesperline = rows[k].pitch;
    fmt[k].field = rows[k].field;
  }
  if (rsz_setup(t->rsz.fd, 1, hw_width, t->height, valid[0] ? &fmt[0] : nullptr,
                valid[1] ? &fmt[1] : nullptr, t->streams[0].flip, t->streams[1].flip, t->interlaced,
                &crop[0], &crop[1]) != 0) {
    log_printf("rsz setup failed\n");
    return PASS_FATAL;
  }
  if (prv_setup(t->prv.fd) != 0) {
    log_printf("prv setup failed\n");
    return PASS_FATAL;
  }
  uint32_t rsz_input = RSZ_INPUT_PREVIEWER;
  if (dev_ioctl(t->rsz.fd, RSZ_S_INPUT, &rsz_input) != 0) capture_perror("RSZ_S_INPUT");
  for (int k = 0; k < 2; k++) {
    CaptureStream &s = t->streams[k];
    if (!s.enabled || !valid[k] || !s.slice_lines) continue;
    v4l2_event_subscription sub = {};
    sub.type = k ? RSZ_INT_CYC_RZB_EVENT : RSZ_INT_CYC_RZA_EVENT;
    sub.id = s.slice_lines;
    if (dev_ioctl(t->rsz.fd, VIDIOC_SUBSCRIBE_EVENT, &sub) != 0) capture_perror("VIDIOC_SUBSCRIBE_EVENT");
  }
  // 10.
  uint32_t lock = capture_video_lock();
  log_printf("%s%s, %dx%d%c%d%s lock=%d A:%dx%d(%d) %s %d B:%dx%d(%d) %s %d\n", input_name(t, t->input),
             std_label(t), (int)t->width, (int)t->height, t->interlaced ? 'i' : 'p',
             (int)(t->fps / 1000), ahd_label(lock), (int)lock, (int)rows[0].width,
             (int)rows[0].height, (int)rows[0].pitch, capture_fourcc_name(rows[0].fourcc),
             (int)rows[0].fps, (int)rows[1].width, (int)rows[1].height, (int)rows[1].pitch,
             capture_fourcc_name(rows[1].fourcc), (int)rows[1].fps);
  // 11.
  r = subdev_setup(t, rows, valid);
  if (r == PASS_RUNNING) r = outputs_setup(t, rows, valid);
  if (r != PASS_RUNNING) return r;
  for (CaptureStream &s : t->streams)
    if (s.enabled) check_stream_fps(&s, t->fps);
  // 12.
  apply_color_controls(t);
  log_printf("main capture loop running: %d %d, changelock=%d\n", (int)t->streams[0].enabled,
             (int)t->streams[1].enabled, (int)capture_block.change_lock);
  return PASS_RUNNING;
}

// ---- The main loop ----

void stop_stream(CaptureThread *t, int k) {
  CaptureStream &s = t->streams[k];
  s.enabled = 0;
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (t->out[k].fd > 0 && dev_ioctl(t->out[k].fd, VIDIOC_STREAMOFF, &type) != 0)
    capture_perror(k ? "stream B VIDIOC_STREAMOFF" : "stream A VIDIOC_STREAMOFF");
  t->out[k].flags &= ~MEDIA_NODE_STREAMING;
}

// PASS_RETRY asks for a reconfiguration.
PassResult handle_fifo(CaptureThread *t) {
  while (Fifo_getNumEntries(capture_block.capture_control_fifo) != 0) {
    void *p = nullptr;
    int rc = Fifo_get(capture_block.capture_control_fifo, &p);
    if (rc == 1) return PASS_QUIT;
    if (rc != 0) return PASS_RETRY;
    if (p == (void *)&capture_settings_changed) {
      log_printf("capture settings changed\n");
      return PASS_RETRY;
    }
    int k = p == &t->streams[0].queue ? 0 : p == &t->streams[1].queue ? 1 : -1;
    if (k < 0) {
      log_printf("Capture event fifo: unexpected %p\n", p);
      continue;
    }
    CaptureStream &s = t->streams[k];
    int consumers = stream_queue_consumers(&s.queue);
    log_printf("stream%c attached %d, enabled=%d\n", stream_letter(k), consumers, (int)s.enabled);
    bool changed = __atomic_load_n(&capture_block.mode_changed, __ATOMIC_RELAXED);
    if ((!s.enabled || changed) && consumers > 0) return PASS_RETRY;
    if (s.enabled && consumers <= 0) stop_stream(t, k);
  }
  return PASS_RUNNING;
}

PassResult handle_decoder_events(CaptureThread *t) {
  PassResult r = PASS_RUNNING;
  v4l2_event ev;
  while (memset(&ev, 0, sizeof ev), dev_ioctl(t->dec.fd, VIDIOC_DQEVENT, &ev) == 0) {
    switch (ev.type) {
      case DECODER_EVENT_SIGNAL: {
        if (capture_block.change_lock) break;
        v4l2_input in;
        v4l2_dv_timings tm;
        bool have = read_input(t, &in) == 0 && !(in.status & V4L2_IN_ST_NO_SIGNAL) &&
                    (t->composite || query_timings(t, &tm) == 0);
        bool same = have && (t->composite || (t->have_timings && same_timings(tm, t->timings)));
        if (have && same)
          log_printf("timings didn't change\n");
        else
          r = PASS_RETRY;
        break;
      }
      case DECODER_EVENT_AUDIO_RATE:
        t->audio_rate = (uint32_t)ev.u.data[0] | (uint32_t)ev.u.data[1] << 8 |
                        (uint32_t)ev.u.data[2] << 16 | (uint32_t)ev.u.data[3] << 24;
        break;
      case DECODER_EVENT_VSYNC:
        break;
      default:
        log_printf("event type=%x pending=%u\n", ev.type, ev.pending);
        break;
    }
  }
  return r;
}

void handle_resizer_events(CaptureThread *t) {
  v4l2_event ev;
  while (memset(&ev, 0, sizeof ev), dev_ioctl(t->rsz.fd, VIDIOC_DQEVENT, &ev) == 0) {
    RszSliceEvent se;
    memcpy(&se, ev.u.data, sizeof se);
    if (ev.type == RSZ_INT_CYC_RZA_EVENT) capture_put_slice(&t->streams[0], &se);
    if (ev.type == RSZ_INT_CYC_RZB_EVENT) capture_put_slice(&t->streams[1], &se);
  }
}

PassResult handle_timeout(CaptureThread *t) {
  if (gpio_out_held()) return PASS_RETRY;
  CaptureStream *a = &t->streams[0], *b = &t->streams[1];
  if (!a->enabled && !b->enabled) return PASS_RUNNING;
  t->timeouts++;
  log_printf("capture timeout %d, streams enabled %d %d, changelock=%d input_changed=%d, cap_status=%d, tc=%d\n",
             t->timeouts, (int)a->enabled, (int)b->enabled, (int)capture_block.change_lock,
             params()->capture.input != t->input, (int)capture_video_lock(), t->timeouts);
  if (t->composite) return PASS_RETRY;
  for (CaptureStream *s = a; s <= b; s++)
    if (s->enabled && s->last_frame)
      stream_queue_buf(s, s->last_frame, s->frame_size, timestamp_now(), s->last_index, 1);
  if (t->ahd && t->timeouts >= 4) {
    log_printf("Capture appears stuck, reinit\n");
    if (t->height <= 576 && a->enabled && a->height >= 1080) t->reset = -2;
    return PASS_RETRY;
  }
  if ((capture_video_lock() & 1) && t->timeouts >= 8) return PASS_RETRY;
  return PASS_RUNNING;
}

// Once a second: the input's status and the parameters the capture follows.
PassResult refresh_status(CaptureThread *t) {
  const ParamBlock *pb = params();
  v4l2_input in;
  if (read_input(t, &in) == 0) {
    uint32_t lock = lock_word(in);
    if (t->ahd && (in.status & V4L2_IN_ST_NO_SIGNAL)) {
      log_printf("AHD reported no signal  force=%d\n",
                 (int)(t->input == 1 ? pb->capture_force_input_mode2 : pb->capture_force_input_mode));
      lock = 0;
    }
    if (t->composite) {
      v4l2_std_id std = 0;
      if (dev_ioctl(t->out[0].fd, VIDIOC_QUERYSTD, &std) == 0 && std != t->std_detected) return PASS_RETRY;
    }
    publish_lock(lock);
  }
  if (pb->capture.input != t->input) {
    log_printf("video input changed from %d to %d\n", t->input, pb->capture.input);
    return PASS_RETRY;
  }
  uint32_t flip[2] = {stream_flip(pb, t->streams[0].applied, 0),
                      stream_flip(pb, t->streams[1].applied, 1)};
  if (flip[0] != t->streams[0].flip || flip[1] != t->streams[1].flip) {
    const CaptureCrop &a = t->crop[0], &b = t->crop[1];
    log_printf("  flipA %d->%d  cropA %d,%d %dx%d  %d,%d %dx%d\n", (int)t->streams[0].flip,
               (int)flip[0], (int)a.x, (int)a.y, (int)a.width, (int)a.height, (int)b.x,
               (int)b.y, (int)b.width, (int)b.height);
    return PASS_RETRY;
  }
  if (pb->capture.standard != t->standard_seen) {
    char name[32];
    if (param_get("Capture.Standard", name, sizeof name) < 0) snprintf(name, sizeof name, "%d", pb->capture.standard);
    log_printf("standard changed to %s\n", name);
    t->standard_seen = pb->capture.standard;
  }
  return PASS_RUNNING;
}

PassResult main_loop(CaptureThread *t) {
  uint32_t last_status = timestamp_now(), started = last_status;
  t->timeouts = 0;
  t->misses[0] = t->misses[1] = 0;
  for (;;) {
    if (quitting()) return PASS_QUIT;
    pollfd fds[5];
    int idx[5], n = 0;
    for (int k = 0; k < 2; k++)
      if (t->streams[k].enabled && t->out[k].fd > 0) fds[n] = {t->out[k].fd, POLLIN | POLLPRI, 0}, idx[n++] = k;
    fds[n] = {Fifo_getFd(capture_block.capture_control_fifo), POLLIN, 0}, idx[n++] = 2;
    if (t->rsz.fd > 0) fds[n] = {t->rsz.fd, POLLIN | POLLPRI, 0}, idx[n++] = 3;
    if (!t->ahd && t->dec.fd > 0) fds[n] = {t->dec.fd, POLLIN | POLLPRI, 0}, idx[n++] = 4;
    int r = poll(fds, (nfds_t)n, 250);
    if (r < 0 && errno != EINTR) capture_perror("poll");
    bool got[2] = {false, false};
    for (int i = 0; i < n && r > 0; i++) {
      short ev = fds[i].revents;
      if (!ev) continue;
      switch (idx[i]) {
        case 0:
        case 1: {
          int k = idx[i];
          CaptureStream &s = t->streams[k];
          if (ev & (POLLIN | POLLPRI)) {
            if (capture_dequeue(&s) != 0) {
              log_printf("disable stream%c POLLIN\n", stream_letter(k));
              s.enabled = 0;
            } else {
              got[k] = true;
            }
          } else if (ev & POLLERR) {
            if (capture_pending(&s) >= 2) {
              usleep(10000);
            } else {
              log_printf("disable Stream%c POLLERR\n", stream_letter(k));
              s.enabled = 0;
            }
          }
          if (s.reset_request) {
            s.reset_request = 0;
            t->reset = -2;
            return PASS_RETRY;
          }
          break;
        }
        case 2: {
          PassResult fr = handle_fifo(t);
          if (fr != PASS_RUNNING) return fr;
          break;
        }
        case 3:
          handle_resizer_events(t);
          break;
        case 4:
          if (handle_decoder_events(t) != PASS_RUNNING) return PASS_RETRY;
          break;
      }
    }
    // The two outputs' frames end together but are announced one after the
    // other: look once more at the output that seemed to miss.
    for (int k = 0; k < 2; k++) {
      CaptureStream &s = t->streams[k];
      if (got[k] || !got[1 - k] || !s.enabled || t->out[k].fd <= 0) continue;
      pollfd p = {t->out[k].fd, POLLIN | POLLPRI, 0};
      if (poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLPRI)) && capture_dequeue(&s) == 0)
        got[k] = true;
    }
    for (int k = 0; k < 2; k++) {
      if (got[k]) t->misses[k] = 0;
      if (!t->streams[0].enabled || !t->streams[1].enabled || got[k] || !got[1 - k]) continue;
      // A frame the other output finished before this pass began (queued up
      // while a slow set-up ran) is not one this output missed.
      if (timestamp_diff(started, t->streams[1 - k].last_ts) & 0x80000000u) continue;
      t->misses[k]++;
      log_printf("capture miss stream%c, count=%d\n", stream_letter(k), t->misses[k]);
      if (t->misses[k] >= 3) return PASS_RETRY;
    }
    if (got[0] || got[1]) t->timeouts = 0;
    if (r == 0 && handle_timeout(t) != PASS_RUNNING) return PASS_RETRY;
    uint32_t now = timestamp_now();
    if (timestamp_diff(last_status, now) >= 90000) {
      last_status = now;
      if (refresh_status(t) != PASS_RUNNING) return PASS_RETRY;
    }
  }
}

// ---- Start and end ----

void node_init(MediaNode *n, const char *name, MediaNode *source) {
  memset(n, 0, sizeof *n);
  n->name = name;
  n->fd = -1;
  n->source = source;
}

bool start(CaptureThread *t) {
  CaptureStream *s = t->streams;
  capture_lock();
  capture_block.mode[0] = {1920, 1080, 3840, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 0};
  capture_block.mode[1] = {640, 480, 1280, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE, 0};
  capture_unlock();
  const StreamId ids[2] = {CAPTURE_STREAM1, CAPTURE_STREAM2};
  for (int k = 0; k < 2; k++) {
    s[k].index = k;
    s[k].worker = t->env->worker ? t->env->worker : getWorker();
  }
  if (capture_prepare(&t->env->env) != 0) log_printf("%s: cannot create the control fifo\n", kThreadName);
  for (int k = 0; k < 2; k++) {
    uint32_t size = stream_rings[ids[k]].bytes;
    if (!g_rings[k]) {
      Buffer_Attrs a = Buffer_Attrs_DEFAULT;
      a.memAlign = STREAM_RING_ALIGN;
      g_rings[k] = Buffer_create(size, &a);
    }
    if (!g_rings[k]) {
      log_printf(k ? "%s %d: Failed to allocate capture stream B ring buffer\n"
                   : "%s %d: Failed to allocate capture stream A ring buffer\n",
                 kThreadName, __LINE__);
      log_printf("size %d\n", (int)size);
      return false;
    }
    s[k].ring = g_rings[k];
    s[k].base = (uint8_t *)Buffer_getUserPtr(g_rings[k]);
    s[k].phys = Buffer_getPhysicalPtr(g_rings[k]);
    s[k].ring_size = size;
    // A thread run again (tests) keeps its rings, their registration and
    // their consumers; the first run sets them up and then makes them known.
    if (!s[k].queue.entries) {
      ringbuffer_init(&s[k].queue, g_rings[k], stream_rings[ids[k]].entries, STREAM_RING_ALIGN);
      s[k].queue.hook = capture_fifo_notify;
    }
    if (stream_queues[ids[k]] != &s[k].queue) stream_register(&s[k].state, &s[k].queue, ids[k]);
  }
  Buffer_Attrs a = Buffer_Attrs_DEFAULT;
  a.memAlign = STREAM_RING_ALIGN;
  t->osd = Buffer_create(kOsdBufferSize, &a);
  if (!t->osd) {
    log_printf("%s %d: Failed to allocate capture stream A OSD buffer\n", kThreadName, __LINE__);
    log_printf("size %d\n", (int)kOsdBufferSize);
    return false;
  }
  osdSetDMA(0, (uint8_t *)Buffer_getUserPtr(t->osd), Buffer_getPhysicalPtr(t->osd), kOsdBufferSize);
  return true;
}

void run(CaptureThread *t) {
  t->ahd = board_identity.ahd != 0;
  t->i2c_addr = t->ahd ? 0x44 : 0x20;
  pthread_mutex_lock(&g_dec_lock);
  node_init(&t->dec, t->ahd ? "tp2825 1-0044" : "adv7842 1-0020", nullptr);
  pthread_mutex_unlock(&g_dec_lock);
  node_init(&t->ccdc, "DAVINCI CCDC", &t->dec);
  node_init(&t->prv, "DAVINCI PREVIEWER", &t->ccdc);
  node_init(&t->rsz, "DAVINCI RESIZER", &t->prv);
  node_init(&t->out[0], "DAVINCI VIDEO RSZ output", &t->rsz);
  node_init(&t->out[1], "DAVINCI VIDEO RSZB output", &t->rsz);
  for (int k = 0; k < 2; k++) t->streams[k].node = &t->out[k];
  t->input = -1;
  t->standard = -1;
  for (;;) {
    PassResult r = configure(t);
    if (r == PASS_RETRY) continue;
    if (r == PASS_FATAL) t->env->status = -1;
    if (r != PASS_RUNNING) break;
    if (main_loop(t) == PASS_QUIT) break;
  }
}

void finish(CaptureThread *t) {
  close_nodes(t);
  buffer_release(&t->ccdc);
  pthread_mutex_lock(&g_dec_lock);
  buffer_release(&t->dec);
  pthread_mutex_unlock(&g_dec_lock);
  for (CaptureStream &s : t->streams) s.enabled = 0;
  capture_delete_fifo();
  if (t->osd) {
    osdSetDMA(0, nullptr, 0, 0);
    Buffer_delete(t->osd);
    t->osd = nullptr;
  }
}

}  // namespace

void *captureThrFxn(void *arg) {
  CaptureEnv *env = (CaptureEnv *)arg;
  CaptureThread *t = &g_ct;
  // The record is reused when the thread runs again (tests); its streams
  // keep their registration.
  for (CaptureStream &s : t->streams) {
    memset(s.tasks, 0, sizeof s.tasks);
    s.pending = 0;
    s.applied = CaptureMode{};
    s.fps_announced = 0;
    s.last_frame = nullptr;
    s.blank_countdown = 0;
    s.reset_request = 0;
  }
  memset(t->ctrl_valid, 0, sizeof t->ctrl_valid);
  t->reset = 0;
  t->env = env;
  env->status = 0;
  bool ok = start(t);
  if (!ok) env->status = -1;
  // Both rendezvous are met on every path, so start-up and shutdown never
  // wait for a capture thread that gave up.
  myRendezvousInit(env->env.start_rendezvous, kThreadName);
  if (ok) run(t);
  finish(t);
  myRendezvousCleanup(env->env.cleanup_rendezvous, kThreadName);
  return nullptr;
}

uint32_t decoder_reg_read(uint32_t reg) {
  pthread_mutex_lock(&g_dec_lock);
  uint32_t v = g_ct.dec.fd > 0 ? subdev_reg_read(g_ct.dec.fd, g_ct.i2c_addr, reg) : 0;
  pthread_mutex_unlock(&g_dec_lock);
  return v;
}

void decoder_reg_write(uint32_t reg, uint32_t value) {
  pthread_mutex_lock(&g_dec_lock);
  if (g_ct.dec.fd > 0) subdev_reg_write(g_ct.dec.fd, g_ct.i2c_addr, reg, value);
  pthread_mutex_unlock(&g_dec_lock);
}
