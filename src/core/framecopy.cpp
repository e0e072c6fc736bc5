// Frame copies by the EDMA engine. Every copy is one or more requests of up
// to 0xFFFF lines of up to 0xFFFF bytes between physical addresses; the
// processor never touches frame data here (the UVC payload headers aside).
#include "core/framecopy.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#include "core/log.h"
#include "platform/device.h"

pthread_mutex_t framecopy_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr unsigned long kRequestCopy = 7;
constexpr uint32_t kMaxCount = 0xFFFF;
constexpr uint32_t kLinearWidth = 0x8000;  // line width for long linear copies
constexpr uint32_t kUvcSlot = 16383, kUvcHeader = 2, kUvcPayload = kUvcSlot - kUvcHeader;

int g_fd = -1;

// Called with framecopy_mutex held.
int open_locked(void) {
  if (g_fd < 0) g_fd = dev_open("/dev/dm365mmap", O_RDWR | O_SYNC);
  return g_fd < 0 ? -1 : 0;
}

// One transfer, under framecopy_mutex: lines of bpl bytes, each line's
// addresses stepping by the (signed) steps.
int request_locked(uint32_t dst, uint32_t src, uint32_t bpl, int32_t dst_step, int32_t src_step,
                   uint32_t lines) {
  if (!bpl || !lines) return 0;
  if (open_locked() != 0) return -1;
  uint32_t w[15] = {};
  w[0] = src;
  w[1] = dst;
  w[2] = 0;
  w[4] = (uint32_t)src_step;
  w[6] = 0;
  w[8] = (uint32_t)dst_step;
  w[10] = bpl;
  w[11] = lines;
  w[12] = 1;
  w[13] = lines;
  w[14] = 1;
  return dev_ioctl(g_fd, kRequestCopy, w) < 0 ? -1 : 0;
}

// As request_locked, with more lines than one request carries split up.
int request2d_locked(uint32_t dst, uint32_t src, uint32_t bpl, int32_t dst_step, int32_t src_step,
                     uint32_t lines) {
  if (bpl > kMaxCount) return -1;
  while (lines) {
    uint32_t n = lines > kMaxCount ? kMaxCount : lines;
    if (request_locked(dst, src, bpl, dst_step, src_step, n) != 0) return -1;
    dst += (uint32_t)(dst_step * (int64_t)n);
    src += (uint32_t)(src_step * (int64_t)n);
    lines -= n;
  }
  return 0;
}

// A linear copy as lines of width bytes plus the remainder. Lines no wider
// than the distance between overlapping ranges never overlap themselves, so
// walking forwards (destination below the source) or backwards from the end
// (destination above it) is safe for any overlap.
int linear_locked(uint32_t dst, uint32_t src, size_t len, uint32_t width, bool backwards) {
  size_t lines = len / width;
  uint32_t rem = (uint32_t)(len % width);
  if (!backwards) {
    if (request2d_locked(dst, src, width, (int32_t)width, (int32_t)width, (uint32_t)lines) != 0)
      return -1;
    return request_locked(dst + (uint32_t)(lines * width), src + (uint32_t)(lines * width), rem, 0,
                          0, 1);
  }
  if (lines) {
    uint32_t last = rem + (uint32_t)((lines - 1) * width);
    if (request2d_locked(dst + last, src + last, width, -(int32_t)width, -(int32_t)width,
                         (uint32_t)lines) != 0)
      return -1;
  }
  return request_locked(dst, src, rem, 0, 0, 1);
}

void trace_failure(void) { _GT_trace(GT_7CLASS, "[Framecopy] Failed to execute memcpy\n"); }

// Runs a locked body and reports a failed request.
template <typename F>
int with_lock(F body) {
  pthread_mutex_lock(&framecopy_mutex);
  int rc = body();
  pthread_mutex_unlock(&framecopy_mutex);
  if (rc != 0) trace_failure();
  return rc;
}

int assertion_failed(const char *expr) {
  log_printf("%s: Assertion `%s' failed.\n", "Framecopy2", expr);
  return -1;
}

// A graphics buffer's geometry: dimensions with the line length filled in.
struct Frame {
  uint32_t phys;
  size_t size;
  ColorSpace cs;
  int bpp;
  BufferGfx_Dimensions dim;
  uint32_t chroma;  // physical address of the chroma plane (semi-planar)
};

int frame_of(Buffer_Handle b, Frame *f) {
  if (!b || BufferGfx_getDimensions(b, &f->dim) != 0) return -1;
  f->phys = Buffer_getPhysicalPtr(b);
  f->size = Buffer_getSize(b);
  f->cs = BufferGfx_getColorSpace(b);
  f->bpp = ColorSpace_bytesPerPixel(f->cs);
  if (!f->phys || !f->bpp) return -1;
  if (f->dim.lineLength <= 0) f->dim.lineLength = f->dim.width * f->bpp;
  f->chroma = f->phys + (uint32_t)BufferGfx_getChromaOffset(b);
  return 0;
}

bool semi_planar(ColorSpace cs) {
  return cs == ColorSpace_YUV420PSEMI || cs == ColorSpace_YUV422PSEMI;
}

int pad_to(int v, int pad) { return pad > 1 ? (v + pad - 1) / pad * pad : v; }

// Line length of a conversion's destination: its graphics dimensions' when
// set, else the packed width.
int dest_line_length(Buffer_Handle dst, int packed) {
  BufferGfx_Dimensions d;
  if (BufferGfx_getDimensions(dst, &d) == 0 && d.lineLength > 0) return d.lineLength;
  return packed;
}

}  // namespace

int Framecopy_open(void) {
  pthread_mutex_lock(&framecopy_mutex);
  int rc = open_locked();
  pthread_mutex_unlock(&framecopy_mutex);
  return rc;
}

void Framecopy_close(void) {
  pthread_mutex_lock(&framecopy_mutex);
  if (g_fd >= 0) dev_close(g_fd);
  g_fd = -1;
  pthread_mutex_unlock(&framecopy_mutex);
}

int Framecopy_memcpy2d(uint32_t dst, uint32_t src, uint32_t bytes_per_line, int32_t dst_step,
                       int32_t src_step, uint32_t lines) {
  return with_lock(
      [&] { return request2d_locked(dst, src, bytes_per_line, dst_step, src_step, lines); });
}

int Framecopy_memcpy(uint32_t dst, uint32_t src, size_t len) {
  return with_lock([&] {
    if (len < 0x10000) return request_locked(dst, src, (uint32_t)len, 0, 0, 1);
    return linear_locked(dst, src, len, kLinearWidth, false);
  });
}

int Framecopy_memmove(uint32_t dst, uint32_t src, size_t len) {
  return with_lock([&] {
    if (dst > src && dst - src < len) {
      uint32_t gap = dst - src;
      return linear_locked(dst, src, len, gap < kLinearWidth ? gap : kLinearWidth, true);
    }
    if (src > dst && src - dst < len) {
      uint32_t gap = src - dst;
      return linear_locked(dst, src, len, gap < kLinearWidth ? gap : kLinearWidth, false);
    }
    return linear_locked(dst, src, len, kLinearWidth, false);
  });
}

int Framecopy_buffer_copy(Buffer_Handle dst, Buffer_Handle src, size_t len) {
  if (!dst || !src || len > Buffer_getSize(dst) || len > Buffer_getSize(src)) return -1;
  return Framecopy_memcpy(Buffer_getPhysicalPtr(dst), Buffer_getPhysicalPtr(src), len);
}

struct Framecopy_Object {
  int accel;
  size_t bytes;
};

Framecopy_Handle Framecopy_create(const Framecopy_Attrs *attrs) {
  Framecopy_Object *fc = (Framecopy_Object *)calloc(1, sizeof *fc);
  if (fc) fc->accel = attrs ? attrs->accel : 1;
  return fc;
}

int Framecopy_config(Framecopy_Handle fc, Buffer_Handle src, Buffer_Handle dst) {
  if (!fc || !src || !dst) return -1;
  size_t n = Buffer_getNumBytesUsed(src);
  if (!n || n > Buffer_getSize(src)) n = Buffer_getSize(src);
  fc->bytes = n < Buffer_getSize(dst) ? n : Buffer_getSize(dst);
  return 0;
}

int Framecopy_execute(Framecopy_Handle fc, Buffer_Handle src, Buffer_Handle dst) {
  if (!fc || !fc->bytes) return -1;
  return Framecopy_buffer_copy(dst, src, fc->bytes);
}

int Framecopy_delete(Framecopy_Handle fc) {
  free(fc);
  return 0;
}

// device names the plane's framebuffer on the board; the addresses alone
// identify the memory here.
int Framecopy_move_rect(int device, const FramecopyRect *dims, const void *src, void *dst) {
  if (!dims || dims->width <= 0 || dims->height <= 0 || dims->pitch < dims->width) return -1;
  int vs, vd;
  size_t span = (size_t)(dims->height - 1) * dims->pitch + dims->width;
  uint32_t ps = Memory_getBufferPhysicalAddress(src, dims->width, &vs);
  uint32_t pd = Memory_getBufferPhysicalAddress(dst, span, &vd);
  if (!vs || !vd) return -1;
  int32_t step = dims->pitch;
  // A source line inside the rectangle must be read before it is overwritten.
  if (ps < pd) {
    pd += (uint32_t)(dims->height - 1) * dims->pitch;
    step = -step;
  }
  return with_lock(
      [&] { return request2d_locked(pd, ps, dims->width, step, 0, dims->height); });
}

int Framecopy_move_rect_safe(int device, const FramecopyRect *dims, const void *src, void *dst) {
  if (!dims || dims->width <= 0 || dims->height <= 0 || dims->pitch < dims->width) return -1;
  int vs, vd;
  size_t span = (size_t)(dims->height - 1) * dims->pitch + dims->width;
  uint32_t ps = Memory_getBufferPhysicalAddress(src, span, &vs);
  uint32_t pd = Memory_getBufferPhysicalAddress(dst, span, &vd);
  if (!vs || !vd) return -1;
  int32_t step = dims->pitch;
  if (ps < pd) {
    uint32_t last = (uint32_t)(dims->height - 1) * dims->pitch;
    ps += last;
    pd += last;
    step = -step;
  }
  return with_lock([&] { return request2d_locked(pd, ps, dims->width, step, step, dims->height); });
}

int Framecopy_accel_execute2(Buffer_Handle src, Buffer_Handle dst) {
  Frame s, d;
  if (frame_of(src, &s) != 0 || frame_of(dst, &d) != 0) return -1;
  if ((s.dim.y & 0x1) != 0) return assertion_failed("(srcDim.y & 0x1) == 0");
  if ((d.dim.y & 0x1) != 0) return assertion_failed("(dstDim.y & 0x1) == 0");
  if (s.cs != d.cs) return -1;
  int w = s.dim.width < d.dim.width ? s.dim.width : d.dim.width;
  int h = s.dim.height < d.dim.height ? s.dim.height : d.dim.height;
  if (w <= 0 || h <= 0) return 0;
  int bpp = s.bpp;
  uint32_t so = (uint32_t)(s.dim.y * s.dim.lineLength + s.dim.x * bpp);
  uint32_t dof = (uint32_t)(d.dim.y * d.dim.lineLength + d.dim.x * bpp);
  return with_lock([&] {
    if (request2d_locked(d.phys + dof, s.phys + so, (uint32_t)(w * bpp), d.dim.lineLength,
                         s.dim.lineLength, (uint32_t)h) != 0)
      return -1;
    if (!semi_planar(s.cs)) return 0;
    // Chroma pairs start at even x; 4:2:0 has one chroma line per two.
    bool half = s.cs == ColorSpace_YUV420PSEMI;
    uint32_t sy = half ? s.dim.y / 2 : s.dim.y, dy = half ? d.dim.y / 2 : d.dim.y;
    uint32_t sc = s.chroma + sy * s.dim.lineLength + (s.dim.x & ~1);
    uint32_t dc = d.chroma + dy * d.dim.lineLength + (d.dim.x & ~1);
    return request2d_locked(dc, sc, (uint32_t)w, d.dim.lineLength, s.dim.lineLength,
                            (uint32_t)(half ? h / 2 : h));
  });
}

static int planar_to_packed(Buffer_Handle dst, Buffer_Handle src, int width, int height, int pad,
                            bool to_nv12) {
  if (!dst || !src || width <= 0 || height <= 0 || (width | height) & 1 || width > 0xFFFF)
    return -1;
  int ys = pad_to(width, pad), cw = width / 2, cs = pad_to(cw, pad);
  int ch = to_nv12 ? height / 2 : height;
  size_t need_src = (size_t)ys * height + 2 * (size_t)cs * ch;
  int ll = dest_line_length(dst, to_nv12 ? width : 2 * width);
  if (ll < (to_nv12 ? width : 2 * width)) return -1;
  size_t chroma_off = 0;
  if (to_nv12) {
    chroma_off = BufferGfx_getColorSpace(dst) == ColorSpace_YUV420PSEMI
                     ? BufferGfx_getChromaOffset(dst)
                     : (size_t)ll * height;
    if (chroma_off < (size_t)ll * height) return -1;
  }
  size_t need_dst = to_nv12 ? chroma_off + (size_t)ll * ch : (size_t)ll * height;
  if (Buffer_getSize(src) < need_src || Buffer_getSize(dst) < need_dst) return -1;
  uint32_t y = Buffer_getPhysicalPtr(src), u = y + (uint32_t)(ys * height),
           v = u + (uint32_t)(cs * ch), d = Buffer_getPhysicalPtr(dst);
  if (!y || !d) return -1;
  return with_lock([&] {
    if (to_nv12) {
      if (request2d_locked(d, y, (uint32_t)width, ll, ys, (uint32_t)height) != 0) return -1;
      uint32_t c = d + (uint32_t)chroma_off;
      for (int r = 0; r < ch; r++) {
        uint32_t row = c + (uint32_t)(r * ll);
        if (request_locked(row, u + (uint32_t)(r * cs), 1, 2, 1, (uint32_t)cw) != 0 ||
            request_locked(row + 1, v + (uint32_t)(r * cs), 1, 2, 1, (uint32_t)cw) != 0)
          return -1;
      }
      return 0;
    }
    // UYVY: U Y0 V Y1 per pixel pair.
    for (int r = 0; r < height; r++) {
      uint32_t row = d + (uint32_t)(r * ll);
      if (request_locked(row + 1, y + (uint32_t)(r * ys), 1, 2, 1, (uint32_t)width) != 0 ||
          request_locked(row, u + (uint32_t)(r * cs), 1, 4, 1, (uint32_t)cw) != 0 ||
          request_locked(row + 2, v + (uint32_t)(r * cs), 1, 4, 1, (uint32_t)cw) != 0)
        return -1;
    }
    return 0;
  });
}

int Framecopy_yuv420p_to_nv12(Buffer_Handle dst, Buffer_Handle src, int width, int height,
                              int pad) {
  return planar_to_packed(dst, src, width, height, pad, true);
}

int Framecopy_yuv422p_to_uyvy(Buffer_Handle dst, Buffer_Handle src, int width, int height,
                              int pad) {
  return planar_to_packed(dst, src, width, height, pad, false);
}

int Framecopy_rotate(Buffer_Handle src, Buffer_Handle dst) {
  Frame s, d;
  if (frame_of(src, &s) != 0 || frame_of(dst, &d) != 0) return -1;
  if ((s.cs != ColorSpace_GRAY && !semi_planar(s.cs)) || d.cs != s.cs) {
    _GT_trace(GT_7CLASS, "[Framecopy] Unsupported colorspace for rotate\n");
    return -1;
  }
  int w = s.dim.width, h = s.dim.height;
  if (w <= 0 || h <= 0 || w > (int)kMaxCount || d.dim.width < w || d.dim.height < h) return -1;
  int sll = s.dim.lineLength, dll = d.dim.lineLength;
  // Each line is written reversed (source stepping back from its last
  // sample) into the mirrored line of the destination.
  return with_lock([&] {
    for (int r = 0; r < h; r++)
      if (request_locked(d.phys + (uint32_t)((h - 1 - r) * dll),
                         s.phys + (uint32_t)(r * sll + w - 1), 1, 1, -1, (uint32_t)w) != 0)
        return -1;
    if (s.cs == ColorSpace_GRAY) return 0;
    int ch = s.cs == ColorSpace_YUV420PSEMI ? h / 2 : h;
    for (int r = 0; r < ch; r++)
      if (request_locked(d.chroma + (uint32_t)((ch - 1 - r) * dll),
                         s.chroma + (uint32_t)(r * sll + w - 2), 2, 2, -2, (uint32_t)(w / 2)) != 0)
        return -1;
    return 0;
  });
}

int Framecopy_planes(Buffer_Handle dst, Buffer_Handle src) {
  Frame s, d;
  if (frame_of(src, &s) != 0 || frame_of(dst, &d) != 0 || s.cs != d.cs) return -1;
  int w = s.dim.width < d.dim.width ? s.dim.width : d.dim.width;
  int h = s.dim.height < d.dim.height ? s.dim.height : d.dim.height;
  if (w <= 0 || h <= 0) return 0;
  int sll = s.dim.lineLength, dll = d.dim.lineLength;
  return with_lock([&] {
    if (request2d_locked(d.phys, s.phys, (uint32_t)(w * s.bpp), dll, sll, (uint32_t)h) != 0)
      return -1;
    switch (s.cs) {
      case ColorSpace_YUV420PSEMI:
        return request2d_locked(d.chroma, s.chroma, (uint32_t)w, dll, sll, (uint32_t)h / 2);
      case ColorSpace_YUV422PSEMI:
        return request2d_locked(d.chroma, s.chroma, (uint32_t)w, dll, sll, (uint32_t)h);
      case ColorSpace_YUV420P:
      case ColorSpace_YUV422P: {
        // U then V, each at half the line length; 4:2:0 at half the height.
        uint32_t ch = s.cs == ColorSpace_YUV420P ? (uint32_t)h / 2 : (uint32_t)h;
        uint32_t sv = (uint32_t)((Buffer_getSize(src) - BufferGfx_getChromaOffset(src)) / 2);
        uint32_t dv = (uint32_t)((Buffer_getSize(dst) - BufferGfx_getChromaOffset(dst)) / 2);
        for (int p = 0; p < 2; p++)
          if (request2d_locked(d.chroma + p * dv, s.chroma + p * sv, (uint32_t)w / 2, dll / 2,
                               sll / 2, ch) != 0)
            return -1;
        return 0;
      }
      default: return 0;
    }
  });
}

int uvc_memcpy(Buffer_Handle dst, Buffer_Handle src, int frame_id) {
  if (!dst) return assertion_failed("dest");
  if (!src) return assertion_failed("src");
  size_t len = Buffer_getNumBytesUsed(src);
  size_t full = len / kUvcPayload, rem = len % kUvcPayload;
  size_t slots = full + (rem || !full ? 1 : 0);
  size_t total = slots * kUvcHeader + len;
  if (Buffer_getSize(dst) < total || Buffer_getSize(src) < len) return -1;
  uint8_t *out = (uint8_t *)Buffer_getUserPtr(dst);
  uint32_t ps = Buffer_getPhysicalPtr(src), pd = Buffer_getPhysicalPtr(dst);
  if (!out || !pd || (len && !ps)) return -1;
  // Payload header: length 2; end of header, frame id bit, end of frame.
  for (size_t i = 0; i < slots; i++) {
    out[i * kUvcSlot] = kUvcHeader;
    out[i * kUvcSlot + 1] = (uint8_t)(0x80 | (frame_id & 1) | (i + 1 == slots ? 0x02 : 0));
  }
  int rc = with_lock([&] {
    if (request2d_locked(pd + kUvcHeader, ps, kUvcPayload, kUvcSlot, kUvcPayload,
                         (uint32_t)full) != 0)
      return -1;
    return request_locked(pd + (uint32_t)(full * kUvcSlot) + kUvcHeader,
                          ps + (uint32_t)(full * kUvcPayload), (uint32_t)rem, 0, 0, 1);
  });
  if (rc == 0) Buffer_setNumBytesUsed(dst, total);
  return rc;
}
