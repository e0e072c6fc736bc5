// The SoC's video output (/dev/video6): standards, DV presets and timings,
// the output format and a queue of user-pointer buffers shown by a frame
// clock at the programmed rate. As on the board, each vsync shows the oldest
// queued buffer for one refresh period and releases the one shown before for
// DQBUF; with nothing queued the shown picture stays. A released buffer
// makes the descriptor poll ready for POLLOUT (dev_poll). Tests and scripts observe it in process, through the state
// file <root>/run/sim/display.txt, and drive it through the command file
// <root>/run/sim_display.cmd.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <openssl/evp.h>
#include <pthread.h>
#include <string>
#include <thread>

#include "platform/device.h"
#include "platform/display_ioctl.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

enum { kMaxBufs = 8, kOutputs = 3, kFailures = 8 };
constexpr uint32_t kVencMode = 0x01C71E00u;  // bit 0: encoder enable
constexpr uint32_t kVencClock = 0x01C71F40u;

struct OutBuf {
  bool queued;
  unsigned long userptr;
  uint32_t length, bytesused;
  uint64_t seq;  // queue order
};

struct Failure {
  unsigned long request;
  int count;
  int err;
};

struct VideoOut {
  std::mutex lock;
  std::condition_variable cond;
  int opens;
  int output;
  int signal_kind;  // 0 none, 1 SD standard, 2 preset, 3 timings
  v4l2_std_id std;
  uint32_t preset;
  v4l2_bt_timings bt;
  uint32_t rate_milli;
  v4l2_pix_format fmt;
  uint32_t nbufs;
  OutBuf bufs[kMaxBufs];
  int shown;
  uint32_t done[kMaxBufs];
  uint32_t nd;
  uint64_t seq;
  bool streaming;
  int32_t chroma_offset;
  uint64_t frames_shown, queued_total;
  uint64_t refreshes;  // vsyncs while streaming
  unsigned long queued_log[16];
  uint32_t s_output_calls, reqbufs_calls, streamon_calls;
  Failure failures[kFailures];
  bool refuse_timings;
  bool clock_paused;
  bool clock_started;
  FILE *record;
  FILE *record_frames;
  int record_left;
};

VideoOut &vo(void) {
  static VideoOut *v = [] {
    VideoOut *n = new VideoOut();
    n->shown = -1;
    n->rate_milli = 60000;
    return n;
  }();
  return *v;
}

int take_failure_locked(VideoOut &v, unsigned long request) {
  for (Failure &f : v.failures)
    if (f.request == request && f.count > 0) {
      if (--f.count == 0) f.request = 0;
      return -f.err;
    }
  return 0;
}

uint32_t preset_rate_milli(uint32_t preset) {
  switch (preset) {
    case 1: return 59940;
    case 3: case 14: return 24000;
    case 4: case 11: case 15: return 25000;
    case 5: case 10: case 16: return 30000;
    case 2: case 6: case 12: case 17: return 50000;
    default: return 60000;
  }
}

void set_ready_locked(VideoOut &v) {
  bool ready = v.nd > 0;
  sim_for_each_file(&v, [](SimFile *f, void *arg) { sim_file_set_readable(f, *(bool *)arg); },
                    &ready);
}

const char *fourcc_text(uint32_t f, char *buf) {
  for (int i = 0; i < 4; i++) buf[i] = (char)(f >> (8 * i));
  buf[4] = 0;
  return buf;
}

// The picture of a buffer without line padding, as ffmpeg's rawvideo reads
// it: each line handed to put.
template <typename F> void tight_lines_locked(const VideoOut &v, unsigned long userptr, F put) {
  const uint8_t *p = (const uint8_t *)userptr;
  uint32_t w = v.fmt.width, h = v.fmt.height, pitch = v.fmt.bytesperline;
  if (v.fmt.pixelformat == V4L2_PIX_FMT_NV12) {
    for (uint32_t y = 0; y < h; y++) put(p + (size_t)y * pitch, (size_t)w);
    const uint8_t *c = p + (v.chroma_offset > 0 ? (size_t)v.chroma_offset : (size_t)pitch * h);
    for (uint32_t y = 0; y < h / 2; y++) put(c + (size_t)y * pitch, (size_t)w);
  } else {
    for (uint32_t y = 0; y < h; y++) put(p + (size_t)y * pitch, (size_t)w * 2);
  }
}

void write_tight_locked(const VideoOut &v, unsigned long userptr, FILE *f) {
  tight_lines_locked(v, userptr, [f](const uint8_t *line, size_t n) { fwrite(line, 1, n, f); });
}

// MD5 of the tight picture (what ffmpeg's framemd5 of the same frame says).
void tight_md5_locked(const VideoOut &v, unsigned long userptr, unsigned char *md, unsigned int *len) {
  EVP_MD_CTX *c = EVP_MD_CTX_new();
  EVP_DigestInit_ex(c, EVP_md5(), nullptr);
  tight_lines_locked(v, userptr, [c](const uint8_t *line, size_t n) { EVP_DigestUpdate(c, line, n); });
  EVP_DigestFinal_ex(c, md, len);
  EVP_MD_CTX_free(c);
}

void write_state_locked(VideoOut &v) {
  if (!root_dir()[0]) return;
  char text[1400], fcc[5];
  int n = snprintf(text, sizeof text, "streaming %d\noutput %d\n", v.streaming ? 1 : 0, v.output);
  if (v.signal_kind == 1)
    n += snprintf(text + n, sizeof text - (size_t)n, "standard 0x%llx\n", (unsigned long long)v.std);
  else if (v.signal_kind == 2)
    n += snprintf(text + n, sizeof text - (size_t)n, "preset %u\n", v.preset);
  if (v.signal_kind == 3 || (v.signal_kind == 2 && v.preset == 0 && v.bt.width))
    n += snprintf(text + n, sizeof text - (size_t)n,
                  "timings %ux%u%c htotal %u vtotal %u pixelclock %llu\n", v.bt.width, v.bt.height,
                  v.bt.interlaced ? 'i' : 'p',
                  v.bt.width + v.bt.hfrontporch + v.bt.hsync + v.bt.hbackporch,
                  v.bt.height + v.bt.vfrontporch + v.bt.vsync + v.bt.vbackporch,
                  (unsigned long long)v.bt.pixelclock);
  volatile uint32_t *mode = sim_mem_reg(kVencMode), *clock = sim_mem_reg(kVencClock);
  n += snprintf(text + n, sizeof text - (size_t)n,
                "rate %u\nformat %s\nwidth %u\nheight %u\nbytesperline %u\nsizeimage %u\n"
                "field %u\nchroma_offset %d\nbuffers %u\nframes_shown %llu\nqueued %llu\n"
                "encoder_enable %u\nclock 0x%x\n",
                v.rate_milli, v.fmt.pixelformat ? fourcc_text(v.fmt.pixelformat, fcc) : "-",
                v.fmt.width, v.fmt.height, v.fmt.bytesperline, v.fmt.sizeimage, v.fmt.field,
                v.chroma_offset, v.nbufs, (unsigned long long)v.frames_shown,
                (unsigned long long)v.queued_total, mode ? (*mode & 1) : 0, clock ? *clock : 0);
  n += sim_fb_state_text(text + n, sizeof text - (size_t)n);
  if (n >= (int)sizeof text) n = (int)sizeof text - 1;
  sys_mkdirs("/run/sim", 0755);
  FILE *f = sys_fopen("/run/sim/display.txt.tmp", "w");
  if (!f) return;
  fwrite(text, 1, (size_t)n, f);
  fclose(f);
  sys_rename("/run/sim/display.txt.tmp", "/run/sim/display.txt");
}

void record_locked(VideoOut &v, const OutBuf &b) {
  if (!v.record || v.record_left <= 0) return;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdlen = 0;
  EVP_Digest((const void *)b.userptr, b.bytesused, md, &mdlen, EVP_md5(), nullptr);
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  fprintf(v.record, "%lld.%06ld %u ", (long long)ts.tv_sec, ts.tv_nsec / 1000, b.bytesused);
  for (unsigned i = 0; i < mdlen; i++) fprintf(v.record, "%02x", md[i]);
  fprintf(v.record, " %#x %llu ", CMEM_getPhys((const void *)b.userptr), (unsigned long long)v.refreshes);
  tight_md5_locked(v, b.userptr, md, &mdlen);
  for (unsigned i = 0; i < mdlen; i++) fprintf(v.record, "%02x", md[i]);
  fputc('\n', v.record);
  fflush(v.record);
  if (v.record_frames) write_tight_locked(v, b.userptr, v.record_frames);
  if (--v.record_left == 0) {
    fclose(v.record);
    v.record = nullptr;
    if (v.record_frames) fclose(v.record_frames);
    v.record_frames = nullptr;
  }
}

void vsync_locked(VideoOut &v) {
  if (!v.streaming) return;
  v.refreshes++;
  int next = -1;
  for (uint32_t i = 0; i < v.nbufs; i++)
    if (v.bufs[i].queued && (next < 0 || v.bufs[i].seq < v.bufs[next].seq)) next = (int)i;
  if (next < 0) {
    v.cond.notify_all();
    return;
  }
  if (v.shown >= 0 && v.shown != next && v.nd < kMaxBufs) v.done[v.nd++] = (uint32_t)v.shown;
  v.bufs[next].queued = false;
  v.shown = next;
  v.frames_shown++;
  record_locked(v, v.bufs[next]);
  set_ready_locked(v);
  v.cond.notify_all();
  write_state_locked(v);
}

void clock_main(void) {
  VideoOut &v = vo();
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    uint32_t rate;
    {
      std::lock_guard<std::mutex> l(v.lock);
      rate = v.rate_milli ? v.rate_milli : 60000;
    }
    next += std::chrono::microseconds(1000000000ull / rate);
    auto now = std::chrono::steady_clock::now();
    if (next < now - std::chrono::milliseconds(100)) next = now;  // a stalled host
    std::this_thread::sleep_until(next);
    std::lock_guard<std::mutex> l(v.lock);
    if (!v.clock_paused) vsync_locked(v);
  }
}

void stream_off_locked(VideoOut &v) {
  v.streaming = false;
  for (uint32_t i = 0; i < kMaxBufs; i++) v.bufs[i].queued = false;
  v.nd = 0;
  v.shown = -1;
  set_ready_locked(v);
  v.cond.notify_all();
}

int out_ioctl(SimFile *f, unsigned long request, void *arg) {
  VideoOut &v = vo();
  std::unique_lock<std::mutex> lk(v.lock);
  if (!arg) return -EFAULT;
  int rc = take_failure_locked(v, request);
  if (request == VIDIOC_S_OUTPUT) v.s_output_calls++;
  if (request == VIDIOC_REQBUFS) v.reqbufs_calls++;
  if (rc) return rc;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      v4l2_capability *c = (v4l2_capability *)arg;
      memset(c, 0, sizeof *c);
      snprintf((char *)c->driver, sizeof c->driver, "vpbe_display");
      snprintf((char *)c->card, sizeof c->card, "vpbe display");
      c->capabilities = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
      return 0;
    }
    case VIDIOC_ENUMOUTPUT: {
      v4l2_output *o = (v4l2_output *)arg;
      static const char *const kNames[kOutputs] = {"Composite", "Component", "DVI"};
      if (o->index >= kOutputs) return -EINVAL;
      uint32_t index = o->index;
      memset(o, 0, sizeof *o);
      o->index = index;
      snprintf((char *)o->name, sizeof o->name, "%s", kNames[index]);
      o->type = V4L2_OUTPUT_TYPE_ANALOG;
      o->capabilities = index == 0 ? V4L2_OUT_CAP_STD : V4L2_OUT_CAP_DV_TIMINGS;
      return 0;
    }
    case VIDIOC_S_OUTPUT: {
      int index = *(int *)arg;
      if (index < 0 || index >= kOutputs) return -EINVAL;
      if (v.streaming) return -EBUSY;
      v.output = index;
      return 0;
    }
    case VIDIOC_G_OUTPUT: *(int *)arg = v.output; return 0;
    case VIDIOC_S_STD:
      v.std = *(v4l2_std_id *)arg;
      v.signal_kind = 1;
      v.rate_milli = (v.std & V4L2_STD_525_60) ? 29970 : 25000;
      write_state_locked(v);
      return 0;
    case VIDIOC_G_STD: *(v4l2_std_id *)arg = v.std; return 0;
    case VIDIOC_S_DV_PRESET: {
      uint32_t p = ((v4l2_dv_preset *)arg)->preset;
      if (p > 18) return -EINVAL;
      v.preset = p;
      v.signal_kind = 2;
      if (p) v.rate_milli = preset_rate_milli(p);
      write_state_locked(v);
      return 0;
    }
    case VIDIOC_G_DV_PRESET: ((v4l2_dv_preset *)arg)->preset = v.preset; return 0;
    case VIDIOC_S_DV_TIMINGS: {
      const v4l2_dv_timings *t = (const v4l2_dv_timings *)arg;
      const v4l2_bt_timings &bt = t->bt;
      if (v.refuse_timings || t->type != V4L2_DV_BT_656_1120 || !bt.width || !bt.height)
        return -EINVAL;
      uint64_t total = (uint64_t)(bt.width + bt.hfrontporch + bt.hsync + bt.hbackporch) *
                       (bt.height + bt.vfrontporch + bt.vsync + bt.vbackporch);
      if (!total || !bt.pixelclock) return -EINVAL;
      v.bt = bt;
      v.signal_kind = 3;
      v.rate_milli = (uint32_t)(bt.pixelclock * 1000 / total);
      if (!v.rate_milli) v.rate_milli = 1000;
      write_state_locked(v);
      return 0;
    }
    case VIDIOC_G_DV_TIMINGS: {
      v4l2_dv_timings *t = (v4l2_dv_timings *)arg;
      memset(t, 0, sizeof *t);
      t->type = V4L2_DV_BT_656_1120;
      t->bt = v.bt;
      return 0;
    }
    case VIDIOC_G_FMT: {
      v4l2_format *fm = (v4l2_format *)arg;
      if (fm->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
      fm->fmt.pix = v.fmt;
      return 0;
    }
    case VIDIOC_S_FMT: {
      v4l2_format *fm = (v4l2_format *)arg;
      v4l2_pix_format &p = fm->fmt.pix;
      if (fm->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || v.nbufs) return -EINVAL;
      if (p.pixelformat != V4L2_PIX_FMT_UYVY && p.pixelformat != V4L2_PIX_FMT_NV12) return -EINVAL;
      if (!p.width || !p.height || p.width > 4096 || p.height > 4096) return -EINVAL;
      uint32_t min = p.pixelformat == V4L2_PIX_FMT_UYVY ? p.width * 2 : p.width;
      if (p.bytesperline < min) p.bytesperline = (min + 31) & ~31u;
      p.sizeimage = p.pixelformat == V4L2_PIX_FMT_UYVY ? p.bytesperline * p.height
                                                        : p.bytesperline * p.height * 3 / 2;
      v.fmt = p;
      v.chroma_offset = 0;
      write_state_locked(v);
      return 0;
    }
    case VIDIOC_REQBUFS: {
      v4l2_requestbuffers *r = (v4l2_requestbuffers *)arg;
      if (r->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || r->memory != V4L2_MEMORY_USERPTR) return -EINVAL;
      if (v.streaming) return -EBUSY;
      if (r->count > kMaxBufs) r->count = kMaxBufs;
      v.nbufs = r->count;
      for (OutBuf &b : v.bufs) b = {};
      v.nd = 0;
      v.shown = -1;
      write_state_locked(v);
      return 0;
    }
    case VIDIOC_QBUF: {
      v4l2_buffer *b = (v4l2_buffer *)arg;
      if (b->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || b->memory != V4L2_MEMORY_USERPTR ||
          b->index >= v.nbufs || v.bufs[b->index].queued)
        return -EINVAL;
      if (!CMEM_physValid(CMEM_getPhys((const void *)b->m.userptr), b->length) || !b->length)
        return -EFAULT;
      if (b->bytesused > b->length) return -EINVAL;
      OutBuf &o = v.bufs[b->index];
      o.queued = true;
      o.userptr = b->m.userptr;
      o.length = b->length;
      o.bytesused = b->bytesused;
      o.seq = ++v.seq;
      if ((int)b->index == v.shown) v.shown = -1;  // given back while shown
      for (uint32_t i = 0; i < v.nd; i++)
        if (v.done[i] == b->index) {
          memmove(&v.done[i], &v.done[i + 1], sizeof(uint32_t) * (v.nd - i - 1));
          v.nd--;
          break;
        }
      v.queued_log[v.queued_total % 16] = o.userptr;
      v.queued_total++;
      set_ready_locked(v);
      return 0;
    }
    case VIDIOC_DQBUF: {
      v4l2_buffer *b = (v4l2_buffer *)arg;
      if (b->type != V4L2_BUF_TYPE_VIDEO_OUTPUT) return -EINVAL;
      while (v.nd == 0) {
        if (!v.streaming) return -EINVAL;
        if (f->flags & O_NONBLOCK) return -EAGAIN;
        v.cond.wait(lk);
      }
      uint32_t i = v.done[0];
      memmove(&v.done[0], &v.done[1], sizeof(uint32_t) * (v.nd - 1));
      v.nd--;
      set_ready_locked(v);
      memset(b, 0, sizeof *b);
      b->type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
      b->memory = V4L2_MEMORY_USERPTR;
      b->index = i;
      b->m.userptr = v.bufs[i].userptr;
      b->length = v.bufs[i].length;
      b->bytesused = v.bufs[i].bytesused;
      return 0;
    }
    case VIDIOC_STREAMON:
      if (*(int *)arg != V4L2_BUF_TYPE_VIDEO_OUTPUT || !v.nbufs) return -EINVAL;
      v.streaming = true;
      v.streamon_calls++;
      if (volatile uint32_t *r = sim_mem_reg(kVencMode)) *r |= 1;
      if (!v.clock_started) {
        v.clock_started = true;
        std::thread(clock_main).detach();
      }
      write_state_locked(v);
      return 0;
    case VIDIOC_STREAMOFF:
      stream_off_locked(v);
      write_state_locked(v);
      return 0;
    case VIDIOC_S_COFST:
      v.chroma_offset = *(int *)arg;
      write_state_locked(v);
      return 0;
    default:
      return -ENOTTY;
  }
}

int out_open(SimFile *) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  v.opens++;
  return 0;
}

// Closing the output ends its streaming and frees its buffers.
void out_release(SimFile *) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  if (--v.opens > 0) return;
  stream_off_locked(v);
  v.nbufs = 0;
  write_state_locked(v);
}

const SimDriverOps kOutOps = {out_open, out_release, nullptr, nullptr, out_ioctl, nullptr, nullptr};

}  // namespace

void sim_video_out_register(void) {
  VideoOut &v = vo();
  sim_register("/dev/video6", &kOutOps, &v);
  sim_follow_commands("/run/sim_display.cmd", sim_video_out_command, "sim_display");
}

void sim_video_out_reset(void) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  stream_off_locked(v);
  v.nbufs = 0;
  v.output = 0;
  v.signal_kind = 0;
  v.std = 0;
  v.preset = 0;
  v.bt = {};
  v.rate_milli = 60000;
  v.fmt = {};
  v.chroma_offset = 0;
  v.frames_shown = v.queued_total = v.refreshes = 0;
  v.s_output_calls = v.reqbufs_calls = v.streamon_calls = 0;
  for (Failure &f : v.failures) f = {};
  v.refuse_timings = false;
  v.clock_paused = false;
  if (v.record) fclose(v.record);
  if (v.record_frames) fclose(v.record_frames);
  v.record = v.record_frames = nullptr;
  v.record_left = 0;
  if (volatile uint32_t *r = sim_mem_reg(kVencMode)) *r &= ~1u;
}

void sim_video_out_info(SimVideoOutInfo *info) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  memset(info, 0, sizeof *info);
  info->opens = v.opens;
  info->streaming = v.streaming;
  info->output = v.output;
  info->signal_kind = v.signal_kind;
  info->std = v.std;
  info->preset = v.preset;
  info->bt = v.bt;
  info->rate_milli = v.rate_milli;
  info->fmt = v.fmt;
  info->chroma_offset = v.chroma_offset;
  info->buffers = v.nbufs;
  info->frames_shown = v.frames_shown;
  info->queued = v.queued_total;
  info->refreshes = v.refreshes;
  for (uint32_t i = 0; i < v.nbufs; i++) info->pending += v.bufs[i].queued ? 1u : 0u;
  info->shown_userptr = v.shown >= 0 ? v.bufs[v.shown].userptr : 0;
  for (int i = 0; i < 16; i++) info->queued_log[i] = v.queued_log[i];
  info->s_output_calls = v.s_output_calls;
  info->reqbufs_calls = v.reqbufs_calls;
  info->streamon_calls = v.streamon_calls;
}

void sim_video_out_clock(int running) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  v.clock_paused = !running;
}

void sim_video_out_vsync(void) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  vsync_locked(v);
}

void sim_video_out_fail_request(unsigned long request, int count, int err) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  for (Failure &f : v.failures)
    if (f.request == request || f.request == 0) {
      f.request = count > 0 ? request : 0;
      f.count = count;
      f.err = err ? err : EIO;
      return;
    }
}

void sim_video_out_refuse_timings(int refuse) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  v.refuse_timings = refuse != 0;
}

int sim_video_out_dump(const char *path) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  if (v.shown < 0) return -1;
  FILE *f = sys_fopen(path, "wb");
  if (!f) return -1;
  write_tight_locked(v, v.bufs[v.shown].userptr, f);
  return fclose(f) == 0 ? 0 : -1;
}

int sim_video_out_record(const char *path, int count, const char *frames_path) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  if (v.record) fclose(v.record);
  if (v.record_frames) fclose(v.record_frames);
  v.record_frames = nullptr;
  v.record = sys_fopen(path, "w");
  if (frames_path && *frames_path) v.record_frames = sys_fopen(frames_path, "wb");
  v.record_left = count;
  return v.record ? 0 : -1;
}

int sim_video_out_command(const char *line) {
  char buf[512];
  snprintf(buf, sizeof buf, "%s", line ? line : "");
  char *tok[5] = {};
  int n = 0;
  for (char *s = strtok(buf, " \t\r"); s && n < 5; s = strtok(nullptr, " \t\r")) tok[n++] = s;
  if (n == 0) return 0;
  if (!strcmp(tok[0], "dump") && n == 2) return sim_video_out_dump(tok[1]);
  if (!strcmp(tok[0], "record") && (n == 3 || n == 4)) {
    int count = atoi(tok[2]);
    if (count <= 0) return -1;
    return sim_video_out_record(tok[1], count, n == 4 ? tok[3] : nullptr);
  }
  if (!strcmp(tok[0], "osd") && n == 2) return sim_fb_dump_osd(tok[1]);
  if (!strcmp(tok[0], "screen") && n == 2) return sim_fb_dump_screen(tok[1]);
  if (!strcmp(tok[0], "edid") && n == 2) return sim_hdmi_tx_set_edid_file(tok[1]);
  if (!strcmp(tok[0], "refuse-timings") && n == 2) {
    sim_video_out_refuse_timings(atoi(tok[1]));
    return 0;
  }
  if (!strcmp(tok[0], "fail") && (n == 3 || n == 4)) {
    char *end;
    unsigned long req = strtoul(tok[1], &end, 16);
    if (*end) return -1;
    sim_video_out_fail_request(req, atoi(tok[2]), n == 4 ? atoi(tok[3]) : EIO);
    return 0;
  }
  return -1;
}

void sim_video_out_wait_vsync(void) {
  VideoOut &v = vo();
  std::unique_lock<std::mutex> lk(v.lock);
  if (!v.streaming || v.clock_paused) {
    lk.unlock();
    struct timespec ts = {0, 1000000000 / 60};
    nanosleep(&ts, nullptr);
    return;
  }
  uint64_t seen = v.refreshes;
  v.cond.wait_for(lk, std::chrono::milliseconds(100),
                  [&] { return v.refreshes != seen || !v.streaming; });
}

void sim_video_out_write_state(void) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  write_state_locked(v);
}

namespace {
uint8_t clamp255(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }
}  // namespace

int sim_video_out_shown_rgb(std::vector<uint8_t> *rgb, uint32_t *width, uint32_t *height) {
  VideoOut &v = vo();
  std::lock_guard<std::mutex> l(v.lock);
  if (v.shown < 0) return -1;
  const uint8_t *p = (const uint8_t *)v.bufs[v.shown].userptr;
  uint32_t w = v.fmt.width, h = v.fmt.height, pitch = v.fmt.bytesperline;
  bool nv12 = v.fmt.pixelformat == V4L2_PIX_FMT_NV12;
  const uint8_t *c = p + (v.chroma_offset > 0 ? (size_t)v.chroma_offset : (size_t)pitch * h);
  rgb->assign((size_t)w * h * 3, 0);
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t x = 0; x < w; x++) {
      int Y, U, V;
      if (nv12) {
        Y = p[(size_t)y * pitch + x];
        const uint8_t *uv = c + (size_t)(y / 2) * pitch + (x & ~1u);
        U = uv[0];
        V = uv[1];
      } else {
        const uint8_t *q = p + (size_t)y * pitch + (x & ~1u) * 2;
        U = q[0];
        Y = q[1 + (x & 1) * 2];
        V = q[2];
      }
      // BT.601, limited range.
      int C = Y - 16, D = U - 128, E = V - 128;
      uint8_t *o = &(*rgb)[((size_t)y * w + x) * 3];
      o[0] = clamp255((298 * C + 409 * E + 128) >> 8);
      o[1] = clamp255((298 * C - 100 * D - 208 * E + 128) >> 8);
      o[2] = clamp255((298 * C + 516 * D + 128) >> 8);
    }
  *width = w;
  *height = h;
  return 0;
}
