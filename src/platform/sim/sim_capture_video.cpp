// The resizer outputs A and B of the simulated capture chain: formats,
// buffers (user pointers into contiguous memory, or the driver's own
// memory-mapped ones), streaming, and the frame clock that fills the queued
// buffers at the input's rate and stamps them with the 90 kHz media clock.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "platform/framework/dmai.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_control.h"

namespace simcap {

namespace {

constexpr uint32_t kTimerReg = 0x01C20810u;
constexpr uint32_t kMmapStride = 1u << 26;  // offset of buffer i is i << 26

uint64_t mono_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

uint32_t clock_90k(void) {
  volatile uint32_t *t = sim_mem_reg(kTimerReg);
  return t ? __atomic_load_n(t, __ATOMIC_ACQUIRE) : (uint32_t)(mono_ns() * 9 / 100000);
}

int output_of(const Board &b, int ent) {
  for (int k = 0; k < 2; k++)
    if (b.out[k].ent == ent && ent >= 0) return k;
  return -1;
}

void set_output_readable(Board &b, const Output &o, bool readable) {
  for (FileState *fs : b.files)
    if (fs && fs->ent == o.ent) sim_file_set_readable(fs->file, readable);
}

void free_buffers(Output &o) {
  for (uint32_t i = 0; i < o.nbufs; i++)
    if (o.bufs[i].mem) CMEM_free(o.bufs[i].mem);
  memset(o.bufs, 0, sizeof o.bufs);
  o.nbufs = 0;
  o.nq = o.nd = 0;
}

void stream_off(Board &b, Output &o) {
  o.streaming = false;
  for (uint32_t i = 0; i < o.nbufs; i++) o.bufs[i].queued = o.bufs[i].done = false;
  o.nq = o.nd = 0;
  set_output_readable(b, o, false);
  b.cond.notify_all();
}

void fill_format(v4l2_pix_format &f) {
  bool nv12 = f.pixelformat == V4L2_PIX_FMT_NV12;
  uint32_t min_bpl = (f.width * (nv12 ? 1 : 2) + 31) & ~31u;
  if (f.bytesperline < min_bpl) f.bytesperline = min_bpl;
  f.sizeimage = nv12 ? f.bytesperline * f.height * 3 / 2 : f.bytesperline * f.height;
  if (f.field == V4L2_FIELD_ANY) f.field = V4L2_FIELD_NONE;
  f.colorspace = V4L2_COLORSPACE_SMPTE170M;
}

int check_format(v4l2_pix_format &f) {
  if (f.pixelformat != V4L2_PIX_FMT_UYVY && f.pixelformat != V4L2_PIX_FMT_NV12) return -EINVAL;
  if (f.width < 16 || f.height < 8 || f.width > 4096 || f.height > 4096) return -EINVAL;
  if (f.pixelformat == V4L2_PIX_FMT_NV12) f.height &= ~1u;
  if (f.field > V4L2_FIELD_INTERLACED_BT) return -EINVAL;
  fill_format(f);
  return 0;
}

void buffer_info(const Output &o, uint32_t i, v4l2_buffer *out) {
  const Buf &buf = o.bufs[i];
  *out = buf.info;
  out->index = i;
  out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  out->memory = o.memory;
  out->length = buf.length;
  if (o.memory == V4L2_MEMORY_MMAP)
    out->m.offset = i * kMmapStride;
  else
    out->m.userptr = buf.userptr;
  out->flags = (buf.queued ? V4L2_BUF_FLAG_QUEUED : 0) | (buf.done ? V4L2_BUF_FLAG_DONE : 0) |
               V4L2_BUF_FLAG_TIMESTAMP_COPY;
}

bool pipeline_enabled(const Board &b, int k) {
  Role chain[][2] = {{ROLE_DECODER, ROLE_CCDC}, {ROLE_CCDC, ROLE_PREVIEWER},
                     {ROLE_PREVIEWER, ROLE_RESIZER},
                     {ROLE_RESIZER, k == 0 ? ROLE_OUT_A : ROLE_OUT_B}};
  for (auto &c : chain) {
    int s = entity_of_role(b, c[0]), d = entity_of_role(b, c[1]);
    bool on = false;
    for (int i = 0; i < b.nlinks; i++)
      on |= b.links[i].src == s && b.links[i].sink == d && (b.links[i].flags & MEDIA_LNK_FL_ENABLED);
    if (!on) return false;
  }
  return true;
}

int output_ioctl(Board &b, FileState *fs, Output &o, unsigned long request, void *arg,
                 std::unique_lock<std::mutex> &lk) {
  switch (request) {
    case VIDIOC_G_FMT: {
      v4l2_format *f = (v4l2_format *)arg;
      if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      f->fmt.pix = o.fmt;
      return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
      v4l2_format *f = (v4l2_format *)arg;
      if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      int rc = check_format(f->fmt.pix);
      if (rc) return rc;
      if (request == VIDIOC_TRY_FMT) return 0;
      if (o.streaming || o.nbufs) return -EBUSY;
      o.fmt = f->fmt.pix;
      return 0;
    }
    case VIDIOC_REQBUFS: {
      v4l2_requestbuffers *r = (v4l2_requestbuffers *)arg;
      if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      if (r->memory != V4L2_MEMORY_MMAP && r->memory != V4L2_MEMORY_USERPTR) return -EINVAL;
      // Freeing the buffers ends the streaming, as closing the node does.
      if (o.streaming) stream_off(b, o);
      free_buffers(o);
      if (r->count == 0) return 0;
      if (!o.fmt.sizeimage) return -EINVAL;
      uint32_t n = r->count > kMaxBufs ? (uint32_t)kMaxBufs : r->count;
      o.memory = r->memory;
      for (uint32_t i = 0; i < n; i++) {
        Buf &buf = o.bufs[i];
        memset(&buf, 0, sizeof buf);
        buf.length = o.fmt.sizeimage;
        if (o.memory == V4L2_MEMORY_MMAP) {
          buf.mem = CMEM_alloc((buf.length + 4095) & ~4095u, 4096);
          if (!buf.mem) {
            free_buffers(o);
            return -ENOMEM;
          }
        }
      }
      o.nbufs = n;
      r->count = n;
      return 0;
    }
    case VIDIOC_QUERYBUF: {
      v4l2_buffer *vb = (v4l2_buffer *)arg;
      if (vb->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || vb->index >= o.nbufs) return -EINVAL;
      buffer_info(o, vb->index, vb);
      return 0;
    }
    case VIDIOC_QBUF: {
      v4l2_buffer *vb = (v4l2_buffer *)arg;
      if (vb->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || vb->index >= o.nbufs) return -EINVAL;
      if (vb->memory != o.memory) return -EINVAL;
      Buf &buf = o.bufs[vb->index];
      if (buf.queued || buf.done) return -EINVAL;
      if (o.memory == V4L2_MEMORY_USERPTR) {
        if (!vb->m.userptr || vb->length < o.fmt.sizeimage) return -EINVAL;
        // The resizer writes by physical address: the memory must be contiguous.
        uint32_t phys = CMEM_getPhys((const void *)vb->m.userptr);
        if (!phys || !CMEM_physValid(phys, o.fmt.sizeimage)) return -EFAULT;
        buf.userptr = vb->m.userptr;
        buf.length = vb->length;
      }
      buf.queued = true;
      o.qorder[o.nq++] = vb->index;
      buffer_info(o, vb->index, vb);
      return 0;
    }
    case VIDIOC_DQBUF: {
      v4l2_buffer *vb = (v4l2_buffer *)arg;
      if (vb->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      if (!o.nd) {
        if (fs->file->flags & O_NONBLOCK) return -EAGAIN;
        if (!o.streaming) return -EINVAL;
        // A real driver sleeps until a frame ends; two seconds without one
        // is a dead input.
        b.cond.wait_for(lk, std::chrono::seconds(2), [&] { return o.nd || !o.streaming; });
        if (!o.streaming) return -EINVAL;
        if (!o.nd) return -EIO;
      }
      uint32_t i = o.dorder[0];
      memmove(&o.dorder[0], &o.dorder[1], sizeof o.dorder[0] * --o.nd);
      o.bufs[i].done = false;
      buffer_info(o, i, vb);
      if (!o.nd) set_output_readable(b, o, false);
      return 0;
    }
    case VIDIOC_STREAMON: {
      if (*(const int *)arg != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      if (o.streaming) return 0;
      if (!o.nbufs) return -EINVAL;
      if (!pipeline_enabled(b, o.index)) return -EPIPE;
      o.streaming = true;
      o.sequence = 0;
      clock_kick_locked(b);
      return 0;
    }
    case VIDIOC_STREAMOFF:
      if (*(const int *)arg != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
      stream_off(b, o);
      return 0;
    default:
      return decoder_ioctl_locked(b, request, arg);
  }
}

// ---- The frame clock ----

void post_slices(Board &b, const Output &o, uint32_t index, uint32_t stamp) {
  int rsz = entity_of_role(b, ROLE_RESIZER);
  uint32_t type = o.index == 0 ? RSZ_INT_CYC_RZA_EVENT : RSZ_INT_CYC_RZB_EVENT;
  uint32_t h = o.fmt.height;
  for (uint32_t lines = o.slice_lines; rsz >= 0; lines += o.slice_lines) {
    RszSliceEvent ev = {index, lines < h ? lines : h, lines >= h ? 1u : 0u, stamp};
    post_event_locked(b, rsz, type, &ev, sizeof ev);
    if (lines >= h) break;
  }
}

void deliver_frame(Board &b, uint32_t in_w, uint32_t in_h, uint32_t stamp) {
  uint64_t n = b.frame_no++;
  for (int k = 0; k < 2; k++) {
    Output &o = b.out[k];
    if (!o.streaming) continue;
    if (!o.nq) {
      o.dropped++;
      continue;
    }
    uint32_t i = o.qorder[0];
    memmove(&o.qorder[0], &o.qorder[1], sizeof o.qorder[0] * --o.nq);
    Buf &buf = o.bufs[i];
    uint8_t *dst = (uint8_t *)(buf.mem ? buf.mem : (void *)buf.userptr);
    const RszOutputSpec *spec = nullptr;
    if (b.rsz_mode == RSZ_MODE_CONTINUOUS)
      spec = k == 0 ? &b.rsz_cont.output1 : &b.rsz_cont.output2;
    pattern_render(b.y4m_path, n, in_w, in_h, spec, &o.fmt, dst);
    buf.queued = false;
    buf.done = true;
    memset(&buf.info, 0, sizeof buf.info);
    buf.info.bytesused = o.fmt.sizeimage;
    buf.info.field = o.fmt.field;
    buf.info.timestamp.tv_sec = stamp;
    buf.info.sequence = o.sequence++;
    o.dorder[o.nd++] = i;
    o.frames++;
    if (o.slice_lines) post_slices(b, o, i, stamp);
  }
  // Both outputs' frames end at the same moment: announce them together.
  for (Output &o : b.out)
    if (o.streaming && o.nd) set_output_readable(b, o, true);
  b.cond.notify_all();
}

bool clock_active(const Board &b, uint32_t *w, uint32_t *h, bool *il, uint32_t *rate) {
  if (b.stalled || !(b.out[0].streaming || b.out[1].streaming)) return false;
  return decoder_active_locked(b, w, h, il, rate);
}

void *clock_main(void *) {
  Board &b = board();
  std::unique_lock<std::mutex> lk(b.lock);
  bool anchored = false;
  uint64_t t0 = 0, n = 0;
  uint32_t stamp0 = 0, anchor_rate = 0;
  for (;;) {
    uint32_t w, h, rate;
    bool il;
    if (!clock_active(b, &w, &h, &il, &rate)) {
      anchored = false;
      b.cond.wait(lk);
      continue;
    }
    // Frames fall on a fixed grid from the moment the input started, so
    // their stamps are exact multiples of the frame time.
    if (!anchored || rate != anchor_rate) {
      t0 = mono_ns();
      stamp0 = clock_90k();
      n = 0;
      anchor_rate = rate;
      anchored = true;
    }
    uint64_t period = 1000000000000ull / rate;
    uint64_t due = t0 + n * period;
    lk.unlock();
    struct timespec ts = {(time_t)(due / 1000000000ull), (long)(due % 1000000000ull)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    lk.lock();
    if (!clock_active(b, &w, &h, &il, &rate) || rate != anchor_rate) continue;
    uint64_t now = mono_ns();
    if (now > due + period) n = (now - t0) / period;  // missed frame times are lost
    uint32_t stamp = stamp0 + (uint32_t)(n * 90000000ull / rate);
    deliver_frame(b, w, il ? h / 2 : h, stamp);
    n++;
  }
  return nullptr;
}

}  // namespace

void clock_kick_locked(Board &b) {
  if (!b.clock_running) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    if (pthread_create(&t, &attr, clock_main, nullptr) == 0) b.clock_running = true;
    pthread_attr_destroy(&attr);
  }
  b.cond.notify_all();
}

void outputs_reset_locked(Board &b) {
  for (int k = 0; k < 2; k++) {
    Output &o = b.out[k];
    if (o.streaming) stream_off(b, o);
    free_buffers(o);
    int ent = o.ent;
    memset(&o, 0, sizeof o);
    o.index = k;
    o.ent = ent;
    o.memory = V4L2_MEMORY_USERPTR;
    o.fmt.width = k == 0 ? 1920 : 640;
    o.fmt.height = k == 0 ? 1080 : 480;
    o.fmt.pixelformat = V4L2_PIX_FMT_UYVY;
    o.fmt.field = V4L2_FIELD_NONE;
    fill_format(o.fmt);
  }
}

void output_release_locked(Board &b, FileState *closing) {
  int k = output_of(b, closing->ent);
  if (k < 0) return;
  for (FileState *fs : b.files)
    if (fs && fs != closing && fs->ent == closing->ent) return;
  if (b.out[k].streaming) stream_off(b, b.out[k]);
  free_buffers(b.out[k]);
}

void *video_mmap_locked(Board &b, int ent, size_t len, off_t off) {
  int k = output_of(b, ent);
  if (k < 0 || off < 0 || off % kMmapStride) return nullptr;
  Output &o = b.out[k];
  uint32_t i = (uint32_t)(off / kMmapStride);
  if (o.memory != V4L2_MEMORY_MMAP || i >= o.nbufs || len > o.bufs[i].length) return nullptr;
  return o.bufs[i].mem;
}

int video_ioctl_locked(Board &b, FileState *fs, unsigned long request, void *arg,
                       std::unique_lock<std::mutex> &lk) {
  const Entity &e = b.ents[fs->ent];
  switch (request) {
    case VIDIOC_QUERYCAP: {
      v4l2_capability *cap = (v4l2_capability *)arg;
      memset(cap, 0, sizeof *cap);
      snprintf((char *)cap->driver, sizeof cap->driver, "davinci-vpfe");
      snprintf((char *)cap->card, sizeof cap->card, "%s", e.name);
      snprintf((char *)cap->bus_info, sizeof cap->bus_info, "platform:vpfe-capture");
      cap->version = 0x020626;
      cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
      cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      v4l2_fmtdesc *d = (v4l2_fmtdesc *)arg;
      static const struct { uint32_t fourcc; const char *name; } kFmts[] = {
          {V4L2_PIX_FMT_UYVY, "YUV 4:2:2 packed, CbYCrY"}, {V4L2_PIX_FMT_NV12, "Y/CbCr 4:2:0"}};
      if (d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || d->index >= 2) return -EINVAL;
      uint32_t index = d->index;
      memset(d, 0, sizeof *d);
      d->index = index;
      d->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      d->pixelformat = kFmts[index].fourcc;
      snprintf((char *)d->description, sizeof d->description, "%s", kFmts[index].name);
      return 0;
    }
    default:
      break;
  }
  int k = output_of(b, fs->ent);
  if (k < 0) return -ENOTTY;
  return output_ioctl(b, fs, b.out[k], request, arg, lk);
}

}  // namespace simcap
