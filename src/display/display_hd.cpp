#include "display/display_hd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "core/framecopy.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/process_util.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/startup.h"
#include "display/display_std.h"
#include "display/display_tx.h"
#include "display/edid.h"
#include "media/capture.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "media/stream_state.h"
#include "platform/device.h"
#include "platform/display_ioctl.h"
#include "platform/host_root.h"

DisplayEnv *displayEnv;
int (*decode_main_hook)(DisplayEnv *env);

namespace {

constexpr uint32_t kVencClock = 0x01C71F40u;
constexpr uint32_t kVencMode = 0x01C71E00u;
constexpr uint32_t kVpssClkCtrl = 0x01C40044u;
constexpr uint32_t kOsdMode = 0x01C71C00u, kVidWinMode = 0x01C71C04u, kOsdExpansion = 0x01C71CE4u;
constexpr uint32_t kVidWin0Width = 0x01C71C50u, kVidWin0Height = 0x01C71C54u;
constexpr uint32_t kVidWin1Width = 0x01C71C60u, kVidWin1Height = 0x01C71C64u;

// Big enough for the largest output, 3064 x 2040 UYVY at a 32-byte line.
constexpr int kBarsLine = 6144, kBarsLines = 2040;

pthread_mutex_t display_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t display_cond = PTHREAD_COND_INITIALIZER;
uint32_t display_generation;  // under display_mutex; every wake-up raises it

// The thread's own state.
DisplayAttrs g_attrs;
BufTab_Handle g_table;
uint8_t *g_bars;
// The size of the picture the output was made for; whether the pass-through
// reads its capture output.
int g_picture_w, g_picture_h;
bool g_passthru_attached;

const char *const kModeNames[9] = {"Idle", "Passthru", "Colorbars", "Flash", "Stream",
                                   "Raw", "Passthru SD", "Reset", "Power Off"};

uint32_t generation(void) {
  pthread_mutex_lock(&display_mutex);
  uint32_t g = display_generation;
  pthread_mutex_unlock(&display_mutex);
  return g;
}

// Waits until a wake-up after seen (or the quit).
void wait_wakeup(uint32_t seen) {
  pthread_mutex_lock(&display_mutex);
  while (display_generation == seen && get_exit_code() == EXIT_RUNNING)
    pthread_cond_wait(&display_cond, &display_mutex);
  pthread_mutex_unlock(&display_mutex);
}

// Waits until a wake-up after seen, the quit, or ms milliseconds.
void wait_wakeup_ms(uint32_t seen, int ms) {
  struct timespec until = clock_after_ms(CLOCK_REALTIME, (uint32_t)ms);
  pthread_mutex_lock(&display_mutex);
  while (display_generation == seen && get_exit_code() == EXIT_RUNNING)
    if (pthread_cond_timedwait(&display_cond, &display_mutex, &until) == ETIMEDOUT) break;
  pthread_mutex_unlock(&display_mutex);
}

// A failure ends the mode the thread was running; a mode another thread
// stored meanwhile (a playback's, a new setting) stands.
void give_up_mode(DisplayEnv *env, int32_t running) {
  env->mode.compare_exchange_strong(running, DISPLAY_IDLE);
}

// An output that fails while showing the pass-through is made again after a
// pause that doubles up to kRetryMaxMs; the episode is logged when it begins
// and when the output works again.
constexpr int kRetryFirstMs = 500, kRetryMaxMs = 16000;
struct OutputFailures {
  int count;
  int pause_ms;
};
OutputFailures g_output_failures;

bool composite_only_board(void) {
  switch (board_identity.model) {
    case 6477: case 6277: case 6271: case 6471: case 6275: case 7371: return true;
    default: return false;
  }
}

int stream_index(StreamId stream) { return stream == CAPTURE_STREAM1 ? 0 : 1; }

// A resizer output's size belongs to the channel that codes it while that
// channel runs or anyone else reads the output: the monitor then shows the
// output as it is.
bool output_taken(StreamId stream, int own_consumers) {
  StreamQueue *queue = get_stream_queue(stream);
  if (queue && stream_queue_consumers(queue) > own_consumers) return true;
  return stream_get_state_by_id(stream == CAPTURE_STREAM1 ? VIDEO_STREAM1 : VIDEO_STREAM2) == 1;
}

// The picture the output shows when it is taken: that size, unscaled.
void follow_output(DisplayEnv *env, StreamId stream) {
  uint32_t w = 0, h = 0;
  captureGetMode((uint32_t)stream_index(stream), &w, &h, nullptr, nullptr, nullptr, nullptr,
                 nullptr);
  env->scale_flags = 0;
  env->forced_width = (int)w;
  env->forced_height = (int)h;
}

int round_up(int v, int to) { return (v + to - 1) / to * to; }

// Whether the pass-through can choose its output: a fixed Display.Standard,
// or a capture that has detected its input (0x0 until then, an output of
// no size).
bool capture_std_known(void) {
  int fixed = get_param_block()->display.standard;
  if (fixed && !(display_is_ch7038b() && fixed == VSTD_1080P_60)) return true;
  uint32_t w = 0, h = 0;
  capture_input_get(&w, &h, nullptr, nullptr);
  return w && h;
}

// The capture standard: Display.Standard, else the capture's own.
int derive_capture_std(DisplayEnv *env) {
  const ParamBlock *pb = get_param_block();
  int fixed = pb->display.standard;
  if (fixed && !(display_is_ch7038b() && fixed == VSTD_1080P_60)) return fixed;
  uint32_t cw, ch, cil, cfps;
  capture_input_get(&cw, &ch, &cil, &cfps);
  int std = get_std_from_mode((int)cw, (int)ch, cil ? SCAN_INTERLACED : SCAN_PROGRESSIVE, (int)cfps);
  if (env->output == 0) {
    switch (std) {
      case 8: case 10: case 15: case 19: return VSTD_576P;
      case 5: case 12: case 20: return VSTD_D1_NTSC;
      case 6: case 13: return VSTD_D1_PAL;
      default: return VSTD_480P;
    }
  }
  return std;
}

// The capture standard from the stream's capture mode row.
int passthru_capture_mode_std(DisplayEnv *env, StreamId stream) {
  uint32_t w, h, pitch, fourcc, slice, field, fps;
  captureGetMode((uint32_t)stream_index(stream), &w, &h, &pitch, &fourcc, &slice, &field, &fps);
  uint32_t rate = fps ? fps : (uint32_t)capture_frame_rate();
  bool interlaced = field != V4L2_FIELD_NONE && field != V4L2_FIELD_ANY;
  if (interlaced) rate *= 2;
  const ParamBlock *pb = get_param_block();
  int fixed = pb->display.standard, std;
  if (fixed && !(display_is_ch7038b() && fixed == VSTD_1080P_60))
    std = fixed;
  else
    std = get_std_from_mode((int)w, (int)h, interlaced ? SCAN_INTERLACED : SCAN_PROGRESSIVE,
                            (int)rate);
  env->capture_std = std;
  env->passthru_color_space = fourcc == V4L2_PIX_FMT_UYVY ? DISPLAY_CS_UYVY : DISPLAY_CS_NV12;
  return std;
}

void nominal_size(int std, int *w, int *h) {
  switch (std) {
    case 0: {
      uint32_t cw, ch;
      capture_input_get(&cw, &ch, nullptr, nullptr);
      *w = (int)cw;
      *h = (int)ch;
      break;
    }
    case 5: case 7: *w = 720; *h = 480; break;
    case 6: case 8: *w = 720; *h = 576; break;
    case 9: case 10: case 11: *w = 1280; *h = 720; break;
    case 12: case 13: case 14: case 15: case 16: case 18: case 19: case 20:
      *w = 1920; *h = 1080; break;
    default: *w = 640; *h = 480; break;
  }
}

void delete_device(HdDisplay *&hd) {
  if (!hd) return;
  Display_delete(hd);
  hd = nullptr;
  hd_display = nullptr;
}

// The video window scaler after a creation: flags as scale_flags, for a
// picture of width x height.
void program_scaler(int flags, int picture_w, int picture_h, int color_space) {
  // The window zoom of an output made before (a zoomed still's) goes.
  uint32_t win = hwreg_read(kVidWinMode) & ~0x1414u;
  if (!flags) {
    hwreg_write(kVidWinMode, win);
    hwreg_write(kOsdExpansion, 0);
    return;
  }
  hwreg_write(kOsdMode, hwreg_read(kOsdMode) & ~(1u << 12));
  if (flags & 4) win |= 0x404;
  if (flags & 2) win |= 0x1010;
  hwreg_write(kVidWinMode, win);
  uint32_t exp = hwreg_read(kOsdExpansion);
  exp = (flags & 1) ? exp | 0x40 : exp & ~0x40u;
  hwreg_write(kOsdExpansion, exp | 2);
  uint32_t width = (uint32_t)picture_w, height = (uint32_t)picture_h;
  if (flags & 1) width = width * 3 / 2;
  if (flags & 2) width *= 2;
  if (flags & 4) height *= 2;
  hwreg_write(kVidWin0Width, width);
  hwreg_write(kVidWin0Height, height);
  if (color_space == DISPLAY_CS_NV12) {
    hwreg_write(kVidWin1Width, width);
    hwreg_write(kVidWin1Height, height);
  }
}

// Creates the output for the record's mode; NULL leaves the mode idle.
HdDisplay *create_device(DisplayEnv *env, int mode) {
  g_attrs.output = env->output;
  if (mode == DISPLAY_PASSTHRU || mode == DISPLAY_PASSTHRU_SD) {
    setup_passthru(env, mode == DISPLAY_PASSTHRU ? CAPTURE_STREAM1 : CAPTURE_STREAM2);
    g_attrs.color_space = env->passthru_color_space;
    g_attrs.std = env->std ? env->std.load() : env->capture_std.load();
  } else {
    g_attrs.color_space = env->color_space;
    g_attrs.std = env->std ? env->std.load() : (env->output ? VSTD_720P_60 : VSTD_D1_NTSC);
  }
  int cs = g_attrs.color_space, std = g_attrs.std, width = 0, height = 0, line = 0;
  if (std == VSTD_AUTO || std == VSTD_CAPTURE) {
    uint32_t cw, ch;
    capture_input_get(&cw, &ch, nullptr, nullptr);
    width = (int)cw;
    height = (int)ch;
  } else if (std < VSTD_CAPTURE) {
    video_std_size(std, &width, &height, nullptr);
  } else if (const CustomTiming *row = custom_timing_of(std)) {
    width = row->width;
    height = row->height;
    line = cs == DISPLAY_CS_UYVY ? width * 2 : width;
  }
  if (env->forced_width) width = env->forced_width;
  if (env->forced_height) height = env->forced_height;
  if (!line) line = round_up(cs == DISPLAY_CS_UYVY ? width * 2 : width, 32);
  g_attrs.width = width;
  g_attrs.height = height;
  g_attrs.line_length = line;
  g_picture_w = width;
  g_picture_h = height;
  long size = cs == DISPLAY_CS_NV12 ? (long)line * height * 3 / 2 : (long)line * height;
  log_printf("display buf %ldx%ld size=%d\n", (long)width, (long)height, (int)size);
  for (int i = 0; i < BufTab_getNumBufs(g_table); i++) {
    Buffer_Handle b = BufTab_getBuf(g_table, i);
    Buffer_setSize(b, (size_t)size);
  }
  HdDisplay *hd = Display_create(g_table, &g_attrs);
  if (!hd) {
    log_error("%s %d: Failed to create display device %s\n", env->env.name, __LINE__,
              g_attrs.device);
    // The pass-through's set-up may have switched it to its other kind.
    int32_t now = env->mode;
    bool passthru = now == DISPLAY_PASSTHRU || now == DISPLAY_PASSTHRU_SD;
    give_up_mode(env, passthru && (mode == DISPLAY_PASSTHRU || mode == DISPLAY_PASSTHRU_SD) ? now : mode);
    return nullptr;
  }
  hd_display = hd;
  hwreg_write(kVencClock, 0x11);
  uint32_t clk = hwreg_read(kVpssClkCtrl);
  if (g_attrs.std == VSTD_AUTO && capture_video_lock()) {
    hwreg_write(kVpssClkCtrl, clk | 3);
    log_printf("using pclk for display clock  VPSS_CLK_CTRL=%x\n", clk | 3);
  } else {
    hwreg_write(kVpssClkCtrl, clk & ~3u);
  }
  program_scaler(env->scale_flags, env->forced_width, env->forced_height, env->color_space);
  return hd;
}

// Eight bars of width/8 pixels, white to black, in the first line; the rest
// is one 2-D copy of it. false when the output is larger than the buffer.
bool draw_bars(int width, int height, int line) {
  if (line > kBarsLine || height > kBarsLines || width < 8) {
    log_printf("colorbars: %dx%d does not fit the colour-bar buffer\n", width, height);
    return false;
  }
  static const uint32_t kBars[8] = {0xEA80EA80, 0xA78AA731, 0x8A318A9A, 0x793E794C,
                                    0x60C360B4, 0x4FCF4F66, 0x327332CE, 0x22802280};
  uint32_t *words = (uint32_t *)g_bars;
  int bar_px = width / 8;
  for (int x = 0; x < width / 2; x++) {
    int bar = (2 * x) / bar_px;
    words[x] = kBars[bar > 7 ? 7 : bar];
  }
  uint32_t phys = CMEM_getPhys(g_bars);
  if (height > 1 &&
      Framecopy_memcpy2d(phys + (uint32_t)line, phys, (uint32_t)line, line, 0, (uint32_t)height - 1) != 0)
    for (int y = 1; y < height; y++) memcpy(g_bars + (size_t)y * line, g_bars, (size_t)line);
  return true;
}

void run_colorbars(DisplayEnv *env, HdDisplay *&hd) {
  if (env->color_space != DISPLAY_CS_UYVY || (env->std && env->std != hd->std)) {
    env->color_space = DISPLAY_CS_UYVY;
    delete_device(hd);
    return;
  }
  Buffer_Handle buf;
  if (display_dequeue(hd, &buf) != 0) {
    perror("VIDIOC_DQBUF");
    give_up_mode(env, DISPLAY_COLORBARS);
    return;
  }
  int line = round_up(g_attrs.width * 2, 32);
  if (!draw_bars(g_attrs.width, g_attrs.height, line)) {
    give_up_mode(env, DISPLAY_COLORBARS);
    return;
  }
  Buffer_setUserPtr(buf, (int8_t *)g_bars);
  Buffer_setNumBytesUsed(buf, (size_t)g_attrs.height * (size_t)line);
  if (display_put_buffer(hd, buf) != 0) give_up_mode(env, DISPLAY_COLORBARS);
}

void run_passthru(DisplayEnv *env, HdDisplay *&hd) {
  int remembered_std = env->std;
  StreamId stream = env->mode == DISPLAY_PASSTHRU ? CAPTURE_STREAM1 : CAPTURE_STREAM2;
  setup_passthru(env, stream);
  int mode = env->mode;
  stream = mode == DISPLAY_PASSTHRU ? CAPTURE_STREAM1 : CAPTURE_STREAM2;
  if (displayParamsChanged(&g_attrs, env, 1)) {
    log_printf("displayParamsChanged immediately after passthru!!!\n");
    delete_device(hd);
    usleep(100000);
    return;
  }
  log_printf("passthru start, display=%p, source=STREAM%d\n", (void *)hd,
             stream == CAPTURE_STREAM1 ? 1 : 2);
  StreamState st = {};
  uint8_t smode = env->passthru_color_space == DISPLAY_CS_UYVY ? StreamMode_UYVY : StreamMode_NV12;
  if (stream_state_attach(stream, smode, &st) != 0) {
    give_up_mode(env, mode);
    return;
  }
  g_passthru_attached = true;
  uint32_t start = timestamp_now();
  Buffer_Handle buf = nullptr;
  bool failed = false, output_failed = false;
  while (get_exit_code() == EXIT_RUNNING && env->mode == mode) {
    // Only a buffer the output gave back shows that it works: the first
    // ones are the device's own.
    bool released = !buf && hd->queued >= hd->count;
    if (!buf && display_dequeue(hd, &buf) != 0) {
      int err = errno;
      if (!g_output_failures.count)
        log_printf("%s: the output fails (VIDIOC_DQBUF: %s), made again after pauses\n",
                   "run_passthru", strerror(err));
      buf = nullptr;
      output_failed = true;
      break;
    }
    if (released && g_output_failures.count) {
      log_printf("%s: the output works again after %d failures\n", "run_passthru",
                 g_output_failures.count);
      g_output_failures = {};
    }
    FrameDesc *f = stream_state_dequeue_timeout(&st, 1000);
    if (!f) continue;
    while (st.streamq && st.streamq->next_seq - f->seq > 1) {
      FrameDesc *next = stream_state_dequeue_timeout(&st, 1000);
      if (!next) break;
      f = next;
      if (capture_video_lock() && (int32_t)(f->timestamp - start) > 0) break;
    }
    if (!(f->flags & FRAME_WHOLE) || !Buffer_getNumBytesUsed(f->buf)) continue;
    Buffer_setSize(buf, (size_t)hd->image_size);
    if (Buffer_setUserPtr(buf, Buffer_getUserPtr(f->buf)) != 0) {
      log_printf("Failed to setUserPtr of display buffer\n");
      continue;
    }
    Buffer_setNumBytesUsed(buf, (size_t)hd->image_size);
    int rc = display_put_buffer(hd, buf);
    buf = nullptr;
    if (displayParamsChanged(&g_attrs, env, 1) || env->std != remembered_std) {
      log_printf("displayParamsChanged or videoStd %d != %d\n", (int)env->std, remembered_std);
      delete_device(hd);
      break;
    }
    if (rc != 0) {
      log_printf("Display_put returned %d\n", rc);
      failed = true;
      break;
    }
  }
  stream_state_detach(&st);
  g_passthru_attached = false;
  if (failed) give_up_mode(env, mode);
  if (output_failed) {
    uint32_t seen = generation();
    delete_device(hd);
    OutputFailures &f = g_output_failures;
    f.count++;
    f.pause_ms = f.pause_ms ? f.pause_ms * 2 : kRetryFirstMs;
    if (f.pause_ms > kRetryMaxMs) f.pause_ms = kRetryMaxMs;
    // A wake-up (a new setting, the quit) ends the pause early.
    wait_wakeup_ms(seen, f.pause_ms);
    return;
  }
  log_printf("passthru stopped, next mode %s\n", display_mode_name(env->mode));
}

void power_off(DisplayEnv *env, HdDisplay *&hd, uint32_t seen) {
  if (hd) {
    log_printf("display power off mode=%s\n", display_mode_name(DISPLAY_POWER_OFF));
    delete_device(hd);
  }
  hwreg_write(kVencClock, 0);
  hwreg_write(kVencMode, hwreg_read(kVencMode) & ~1u);
  wait_wakeup(seen);
  if (display_is_ch7038b()) sys_write_text("/sys/module/ch7038b/parameters/force", "1");
  log_printf("Display power on, mode=%s\n", display_mode_name(env->mode));
}

void thread_end(DisplayEnv *env, HdDisplay *&hd) {
  myRendezvousCleanup(env->env.cleanup_rendezvous, env->env.name);
  delete_device(hd);
  if (g_table) BufTab_delete(g_table);
  g_table = nullptr;
  if (g_bars) CMEM_free(g_bars);
  g_bars = nullptr;
  display_tx_close();
  struct timespec cpu;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  log_printf("%s: cpu time %ld.%03ld s\n", env->env.name, (long)cpu.tv_sec, cpu.tv_nsec / 1000000);
}

}  // namespace

const char *display_mode_name(int mode) {
  return mode >= 0 && mode <= 8 ? kModeNames[mode] : "invalid";
}

void displayWakeup(void) {
  log_printf("%s: mode=%d\n", "displayWakeup", get_param_block()->display.display_mode);
  pthread_mutex_lock(&display_mutex);
  display_generation++;
  pthread_cond_broadcast(&display_cond);
  pthread_mutex_unlock(&display_mutex);
}

int display_prepare(ThreadEnv *tenv) {
  DisplayEnv *env = (DisplayEnv *)tenv;
  for (Fifo_Handle &f : env->frame_fifos) {
    f = Fifo_create();
    if (!f) return -1;
  }
  return 0;
}

void display_install_hooks(DisplayEnv *env) {
  displayEnv = env;
  ParamApplyHooks &h = param_apply_hooks;
  h.display_set_std = [](int s) { displayEnv->std = s; };
  h.display_set_run_mode = [](int m) { displayEnv->mode = m; };
  h.display_get_run_mode = [] { return (int)displayEnv->mode; };
  h.display_set_output = [](int o) { displayEnv->output = o; };
  h.hdmi_reg_read = [](uint32_t reg) { return (uint32_t)hdmi_tx_reg_read(reg); };
  h.hdmi_reg_write = [](uint32_t reg, uint32_t value) { hdmi_tx_reg_write(reg, value); };
  core_hooks.display_wakeup = displayWakeup;
}

void setup_passthru(DisplayEnv *env, StreamId stream) {
  if (output_taken(stream, 0)) {
    passthru_capture_mode_std(env, stream);
    follow_output(env, stream);
    log_printf("%s: std=%d %s\n", "setup_passthru", (int)env->std, video_std_name(env->std));
    return;
  }
  const ParamBlock *pb = get_param_block();
  int capture_std = derive_capture_std(env);
  env->capture_std = capture_std;
  int nom_w, nom_h;
  nominal_size(capture_std, &nom_w, &nom_h);
  uint32_t cw, ch, cil, cfps;
  capture_input_get(&cw, &ch, &cil, &cfps);
  int cap_w = (int)cw, cap_h = (int)ch;
  bool interlaced = cil != 0;
  int cap_rate = (int)cfps;
  int scan = interlaced ? SCAN_INTERLACED : SCAN_PROGRESSIVE;
  int rate = interlaced ? cap_rate / 2 : cap_rate;
  bool bypass = display_is_ch7038b() && pb->display.standard != VSTD_1080P_60;
  log_printf("%s: n=%d videoStd=%s capStd=%s dpyStd=%s bypass=%d\n", "setup_passthru", 0,
             video_std_name(env->std), video_std_name(capture_std),
             video_std_name(pb->display.standard), bypass);
  int idx = display_edid_lookup(cap_w, cap_h, cap_rate, interlaced);
  char pi = interlaced ? 'i' : 'p';

  int mode = DISPLAY_PASSTHRU, cs = DISPLAY_CS_NV12, width = nom_w, height = nom_h;
  env->scale_flags = 0;
  env->forced_width = 0;
  env->forced_height = 0;
  if (pb->display.standard && !bypass) {
    log_printf("Display standard custom %dx%d (cap %dx%d%c%d)\n", nom_w, nom_h, cap_w, cap_h, pi,
               cap_rate / 1000);
    if (env->output == 0 && !(interlaced && cap_h <= 576)) {
      mode = DISPLAY_PASSTHRU_SD;
      cs = DISPLAY_CS_UYVY;
    }
    env->std = pb->display.standard;
  } else if ((capture_std < 32 && (pb->dvr_allow_modes >> capture_std & 1)) || bypass) {
    log_printf("Display standard allowed %dx%d (cap %dx%d%c%d)\n", nom_w, nom_h, cap_w, cap_h, pi,
               cap_rate / 1000);
    env->std = capture_std;
  } else if (idx >= 0) {
    const EdidMode &m = edid_table()->modes[idx];
    int mrate = m.rate * (interlaced ? 2000 : 1000);
    log_printf("edid %s match: %dx%d%c%d %d\n", mrate == cap_rate ? "exact" : "close", m.width,
               m.height, (m.flags & 1) ? 'i' : 'p', m.rate, cap_rate);
    if ((cap_w == 1920 && cap_h == 1080) || (cap_w == 1280 && cap_h == 720))
      env->std = get_std_from_mode(cap_w, cap_h, scan, m.rate * 1000);
    else
      env->std = VSTD_CAPTURE;
    width = cap_w;
    height = cap_h;
  } else {
    const EdidMode &first = edid_table()->modes[0];
    log_printf("native mode: %dx%d%c%d\n", first.width, first.height, (first.flags & 1) ? 'i' : 'p',
               first.rate);
    int std = VSTD_720P_60, tw = 1280, th = 720;
    for (const CustomTiming &row : custom_timings)
      if (edid_mode_lookup(row.width, row.height, row.hz, row.interlaced) >= 0) {
        std = row.id;
        tw = row.width;
        th = row.height;
        scan = row.interlaced ? SCAN_INTERLACED : SCAN_PROGRESSIVE;
        log_printf("edid scaled: %dx%d%c%d\n", tw, th, row.interlaced ? 'i' : 'p', row.hz);
        break;
      }
    int flags = 0;
    if (th > 576) {
      th /= 2;
      flags |= 4;
    }
    if (tw > 1280) {
      tw /= 2;
      flags |= 2;
    } else if (tw > 900) {
      tw = tw * 2 / 3;
      flags |= 1;
    }
    width = round_up(tw, 16);
    height = round_up(th, 16);
    env->std = std;
    env->scale_flags = flags;
    env->forced_width = width;
    env->forced_height = height;
    mode = DISPLAY_PASSTHRU_SD;
    cs = DISPLAY_CS_UYVY;
  }
  // The pass-through kind follows the picture; a mode another thread set
  // meanwhile (a playback's) is kept.
  int32_t was = env->mode;
  while ((was == DISPLAY_PASSTHRU || was == DISPLAY_PASSTHRU_SD) &&
         !env->mode.compare_exchange_weak(was, mode)) {
  }
  StreamId out = mode == DISPLAY_PASSTHRU ? CAPTURE_STREAM1 : CAPTURE_STREAM2;
  int line = round_up(cs == DISPLAY_CS_UYVY ? 2 * width : width, 32);
  env->passthru_color_space = cs;
  log_printf("streamid=%d %dx%d %d cs=%d\n", (int)out, width, height, line, cs);
  captureSetMode((uint32_t)stream_index(out), (uint32_t)width, (uint32_t)height, (uint32_t)line,
                 cs == DISPLAY_CS_UYVY ? V4L2_PIX_FMT_UYVY : V4L2_PIX_FMT_NV12, 0,
                 scan == SCAN_INTERLACED ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE, (uint32_t)rate);
  log_printf("%s: std=%d %s\n", "setup_passthru", (int)env->std, video_std_name(env->std));
}

int displayParamsChanged(DisplayAttrs *attrs, DisplayEnv *env, int verbose) {
  int wanted, cs;
  int mode = env->mode;
  if (mode == DISPLAY_PASSTHRU || mode == DISPLAY_PASSTHRU_SD) {
    StreamId stream = mode == DISPLAY_PASSTHRU ? CAPTURE_STREAM1 : CAPTURE_STREAM2;
    if (output_taken(stream, g_passthru_attached ? 1 : 0)) {
      // The channel that took the output gave it its own size: the output is
      // made again for pictures of that size.
      passthru_capture_mode_std(env, stream);
      uint32_t w = 0, h = 0;
      captureGetMode((uint32_t)stream_index(stream), &w, &h, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
      if ((int)w != g_picture_w || (int)h != g_picture_h) {
        if (verbose)
          log_printf("%s: picture changed from %dx%d to %ux%u\n", "displayParamsChanged",
                     g_picture_w, g_picture_h, w, h);
        return 1;
      }
    } else {
      int old = env->capture_std;
      int now = derive_capture_std(env);
      if (now != old) {
        if (verbose)
          log_printf("old_std=%s captureStd=%s\n", video_std_name(old), video_std_name(now));
        env->capture_std = now;
        return 1;
      }
      passthru_capture_mode_std(env, stream);
      env->capture_std = derive_capture_std(env);
    }
    wanted = env->std ? env->std.load() : env->capture_std.load();
    cs = env->passthru_color_space;
    if (cs != attrs->color_space) attrs->std = wanted;
  } else {
    wanted = env->std ? env->std.load() : attrs->std;
    cs = env->color_space;
  }
  if (verbose) {
    if (attrs->output != env->output)
      log_printf("%s: output changed from %d to %d\n", "displayParamsChanged", attrs->output,
                 (int)env->output);
    if (attrs->color_space != cs)
      log_printf("%s: colorspace changed from %d to %d\n", "displayParamsChanged",
                 attrs->color_space, cs);
    if (attrs->std != wanted)
      log_printf("%s: videostd changed from %s to %s (cap %s)\n", "displayParamsChanged",
                 video_std_name(attrs->std), video_std_name(wanted),
                 video_std_name(env->capture_std));
  }
  return attrs->output != env->output || attrs->color_space != cs || attrs->std != wanted;
}

namespace {

// The standard for a picture of width x height at fps when the monitor takes
// it (or need not be asked); -1 when it does not.
int accepted_std(int width, int height, int fps, int current) {
  const ParamBlock *pb = get_param_block();
  int std = get_std_from_mode(width, height, SCAN_PROGRESSIVE, fps * 1000);
  if (std == current) return std;
  if ((std < 32 && (pb->dvr_allow_modes >> std & 1)) || std == pb->display.standard ||
      display_is_ch7038b()) {
    log_printf("allowed\n");
    return std;
  }
  if (!edid_table()->valid) return std;
  // The rate, its 25/30 or 50/60 twin, its double or half, then the fourth.
  static const int kTries[4][4] = {
      {25, 30, 50, 60}, {30, 25, 60, 50}, {50, 60, 25, 30}, {60, 50, 30, 25}};
  int col = fps == 25 ? 0 : fps == 30 ? 1 : fps == 50 ? 2 : fps == 60 ? 3 : -1;
  int found = 0;
  if (col < 0) {
    found = get_edid_std(width, height, fps, 0);
  } else {
    for (int i = 0; i < 4 && !found; i++) found = get_edid_std(width, height, kTries[i][col], 0);
  }
  return found ? found : -1;
}

// The smallest composite standard that holds a picture of width x height;
// -1 when none does.
int composite_std(int width, int height) {
  if (width <= 720 && height <= 480) return VSTD_D1_NTSC;
  if (width <= 720 && height <= 576) return VSTD_D1_PAL;
  return -1;
}

struct StillOutput {
  int std;
  int zoom;   // 1, or 2: the video window shows the picture twice as wide and high
};

// The output for playback pictures of width x height: the standard of that
// size when the output takes it; else the smallest standard it takes that
// holds the picture enlarged twice by the video window, then as it is (a
// snapshot of a scaled channel is smaller than any standard). 0, or -1 when
// none will do.
int choose_still_output(int width, int height, int fps, int current, StillOutput *out) {
  bool composite = get_param_block()->display.output == 0;
  bool sd_size = width == 720 && (height == 480 || height == 576);
  int std = composite ? (sd_size ? composite_std(width, height) : -1)
                      : accepted_std(width, height, fps, current);
  int zoom = 1;
  for (int z = 2; std < 0 && z >= 1; z--) {
    int zw = width * z, zh = height * z, sw = 0, sh = 0;
    int s = composite ? composite_std(zw, zh) : get_std_from_mode(zw, zh, SCAN_PROGRESSIVE, fps * 1000);
    if (s < 0 || !video_std_size(s, &sw, &sh, nullptr) || sw < zw || sh < zh) continue;
    std = composite ? s : accepted_std(sw, sh, fps, current);
    zoom = z;
  }
  if (std < 0) {
    if (composite) log_printf("Composite output can't do %dx%d@%d\n", width, height, fps);
    return -1;
  }
  *out = {std, zoom};
  return 0;
}

// The rate of stills: the output's, halved for large pictures at more than
// 30; without an output 30 for more than 720 lines, else 60.
int still_fps(int width, int height, int output_fps) {
  int fps = output_fps;
  if (fps > 30 && width > 1280 && height > 720) fps /= 2;
  if (fps == 0) fps = height > 720 ? 30 : 60;
  if (width == 3064 && height == 2040) fps = 10;
  return fps;
}

}  // namespace

int display_hd_set_resolution(int width, int height, int line_length, int fps, BufTab_Handle bufs,
                              int chroma_offset) {
  DisplayAttrs attrs = {"/dev/video6", chroma_offset ? DISPLAY_CS_NV12 : DISPLAY_CS_UYVY, 0, 2, 3,
                        width, height, line_length};
  if (fps == 0) {
    fps = still_fps(width, height, display_get_fps());
    log_printf("snapshot using %d fps\n", fps);
  }
  const ParamBlock *pb = get_param_block();
  if (pb->display.output == 0) attrs.output = 0;
  display_edid_load();  // the monitor's modes, if nothing asked for them yet
  log_printf("%s: %dx%d(%d)@%d  videoStd=%d edid.valid=%d\n", "display_hd_set_resolution", width,
             height, line_length, fps, get_std_from_mode(width, height, SCAN_PROGRESSIVE, fps * 1000),
             edid_table()->valid);
  StillOutput o;
  int current = hd_display ? hd_display->std : VSTD_CAPTURE;
  if (choose_still_output(width, height, fps, current, &o) != 0) return -1;
  if (o.zoom > 1)
    log_printf("%s: %dx%d zoomed x%d on %s\n", "display_hd_set_resolution", width, height, o.zoom,
               video_std_name(o.std));
  attrs.std = o.std;
  delete_device(hd_display);
  HdDisplay *hd = Display_create(bufs, &attrs);
  if (!hd) {
    log_printf("%s: Failed to create display\n", "display_hd_set_resolution");
    return -1;
  }
  hd_display = hd;
  g_attrs = attrs;
  hwreg_write(kVencClock, 0x11);
  program_scaler(o.zoom > 1 ? 6 : 0, width, height, attrs.color_space);
  if (dev_ioctl(hd->fd, VIDIOC_S_COFST, &chroma_offset) < 0) log_printf("VIDIOC_S_COFST\n");
  return 0;
}

int display_can_show(int width, int height) {
  // As playback's first picture finds the output: none made yet.
  int fps = still_fps(width, height, 0);
  display_edid_load();
  StillOutput o;
  return choose_still_output(width, height, fps, VSTD_CAPTURE, &o);
}

int display_poll_wait(Fifo_Handle fifo) {
  for (;;) {
    pollfd fds[2];
    int n = 0;
    if (hd_display) fds[n++] = {hd_display->fd, POLLOUT, 0};
    fds[n++] = {Fifo_getFd(fifo), POLLIN, 0};
    int rc = dev_poll(fds, (nfds_t)n, 250);
    if (rc <= 0) return rc;
    if (hd_display && (fds[0].revents & POLLOUT)) {
      Buffer_Handle b;
      if (display_dequeue(hd_display, &b) != 0) {
        perror("VIDIOC_DQBUF");
        return -1;
      }
      Buffer_freeUseMask(b, 2);
      continue;
    }
    if (fds[n - 1].revents & POLLIN) return 1;
    return 0;
  }
}

void *displayThrFxn(void *arg) {
  DisplayEnv *env = (DisplayEnv *)arg;
  HdDisplay *hd = nullptr;
  displayEnv = env;
  g_attrs = {"/dev/video6", DISPLAY_CS_NV12, 0, -1, 3, 0, 0, 0};
  env->status = 0;
  int tx = display_tx_open();
  g_bars = (uint8_t *)CMEM_alloc((size_t)kBarsLine * kBarsLines, 32);
  if (!g_bars) {
    log_error("%s %d: Failed to allocate colorbar buffer\n", env->env.name, __LINE__);
  } else {
    Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
    ref.reference = true;
    g_table = BufTab_create(3, 0, &ref);
    if (!g_table) log_error("%s %d: Failed to allocate display buffers\n", env->env.name, __LINE__);
  }
  if (!g_bars || !g_table) {
    env->status = -1;
    // Start-up must not wait for a thread that ended.
    myRendezvousInit(env->env.start_rendezvous, env->env.name);
    thread_end(env, hd);
    return nullptr;
  }
  env->output = 2;
  env->capture_std = 0;
  env->mode = DISPLAY_IDLE;
  env->std = 0;
  // The thread starts idle whatever Display.DisplayMode holds; a mode set by
  // another thread once start-up is over is kept.
  updateDisplayFromParams();
  env->mode = DISPLAY_IDLE;
  myRendezvousInit(env->env.start_rendezvous, env->env.name);
  if (composite_only_board()) {
    env->output = 0;
  } else if (tx != 0) {
    log_printf("Display subdev failed to open - hardware misconfigured?\n");
    env->status = -1;
    thread_end(env, hd);
    return nullptr;
  }

  int previous = -1;
  int invalid_logged = -1;
  bool capture_waited = false;
  while (get_exit_code() == EXIT_RUNNING) {
    uint32_t seen = generation();
    int mode = env->mode;
    bool passthru = mode == DISPLAY_PASSTHRU || mode == DISPLAY_PASSTHRU_SD;
    if (!hd && passthru && !capture_std_known()) {
      // The capture wakes the thread once it knows its input.
      if (!capture_waited) log_printf("%s: waiting for the capture's standard\n", env->env.name);
      capture_waited = true;
      wait_wakeup(seen);
      continue;
    }
    capture_waited = false;
    if (!hd && (passthru || mode == DISPLAY_COLORBARS)) {
      hd = create_device(env, mode);
      mode = env->mode;
    }
    if (mode == DISPLAY_RESET) {
      delete_device(hd);
      usleep(10000);
      int back = previous < 0 ? DISPLAY_IDLE : previous;
      int32_t reset = DISPLAY_RESET;
      if (!env->mode.compare_exchange_strong(reset, back)) back = reset;
      log_printf("Display reset, mode=%s\n", display_mode_name(back));
      continue;
    }
    switch (mode) {
      case DISPLAY_IDLE:
        if (hd) {
          log_printf("display going idle mode=%s\n", display_mode_name(mode));
          delete_device(hd);
        }
        wait_wakeup(seen);
        log_printf("display woke up, mode=%s, std=%s\n", display_mode_name(env->mode),
                   video_std_name(env->std));
        break;
      case DISPLAY_PASSTHRU:
      case DISPLAY_PASSTHRU_SD:
        if (hd) run_passthru(env, hd);
        break;
      case DISPLAY_COLORBARS:
        if (hd) run_colorbars(env, hd);
        break;
      case DISPLAY_STREAM:
        // The playback makes, remakes and closes its own output through
        // hd_display: the one this thread made (a pass-through's) goes first,
        // so that no device has two owners to delete it.
        delete_device(hd);
        if (decode_main_hook)
          decode_main_hook(env);
        else
          give_up_mode(env, DISPLAY_STREAM);
        break;
      case DISPLAY_POWER_OFF:
        power_off(env, hd, seen);
        break;
      default:
        // Logged once, then waited out like idle.
        if (invalid_logged != mode) log_printf("invalid display mode: %d\n", mode);
        invalid_logged = mode;
        delete_device(hd);
        wait_wakeup(seen);
        break;
    }
    if (mode != invalid_logged) invalid_logged = -1;
    previous = mode;
  }
  thread_end(env, hd);
  return nullptr;
}
