// The picture of the simulated capture chain: a moving test pattern drawn
// straight at each output's size through its crop and flips, or the frames
// of a Y4M file.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/host_root.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_control.h"

namespace simcap {

namespace {

// 75% colour bars, BT.601 limited range: white, yellow, cyan, green,
// magenta, red, blue, black.
const uint8_t kBars[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                             {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

// Grain over the whole picture, fresh every frame, as a camera's sensor
// gives: without it the encoder has next to nothing to code and the stream
// stays far below its configured bit rate. Rows are read from one table of
// random values at places drawn anew for every row of every frame.
const int kGrain = 6;                 // largest deviation, in levels
const uint32_t kGrainTable = 1u << 16;

// Values 0 to 2 * kGrain, the grain plus kGrain.
const uint8_t *grain_table(void) {
  static std::vector<uint8_t> t;
  static std::once_flag once;
  std::call_once(once, [] {
    t.resize(kGrainTable + 8192);
    uint32_t x = 2463534242u;
    for (uint8_t &v : t) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      v = (uint8_t)(x % (2 * kGrain + 1));
    }
  });
  return t.data();
}

// Adds grain to n bytes of samples, within the limited range: the sample
// is first held kGrain inside it, so that byte arithmetic cannot overflow
// and sixteen samples go at a time.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

uint8_t grain_one(uint8_t v, uint8_t g) {
  v = v < 16 + kGrain ? 16 + kGrain : v;
  v = v > 235 - kGrain ? 235 - kGrain : v;
  return (uint8_t)(v + g - kGrain);
}

// Not watched by the thread sanitizer: the row's memcpy before it already
// marks every byte as written by the simulated chain, and checking each of
// the grain's reads and writes as well makes a full-size frame at 60 per
// second more than that build keeps up with.
__attribute__((no_sanitize("thread"))) void add_grain(uint8_t *p, uint32_t n, const uint8_t *g) {
  const Bytes16 lo = Bytes16{} + (uint8_t)(16 + kGrain), hi = Bytes16{} + (uint8_t)(235 - kGrain);
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Bytes16 v, d;
    memcpy(&v, p + i, 16);
    memcpy(&d, g + i, 16);
    v = v < lo ? lo : v;
    v = v > hi ? hi : v;
    v = v + d - (uint8_t)kGrain;
    memcpy(p + i, &v, 16);
  }
  for (; i < n; i++) p[i] = grain_one(p[i], g[i]);
}

// Where row y of frame n reads the grain table.
uint32_t grain_offset(uint64_t n, uint32_t y) {
  uint64_t h = (n * 0x9E3779B97F4A7C15ull) ^ ((uint64_t)y * 0xC2B2AE3D27D4EB4Full);
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return (uint32_t)(h >> 40) & (kGrainTable - 1);
}

struct Y4mFile {
  char path[256];
  SimY4mHeader hdr;
  std::vector<long> frames;   // offsets of the frame data
  long cached = -1;
  std::vector<uint8_t> data;  // the cached frame
};
Y4mFile g_y4m;

size_t y4m_frame_bytes(const SimY4mHeader &h) {
  size_t luma = (size_t)h.width * h.height;
  size_t cw = (h.width + (1u << h.hshift) - 1) >> h.hshift;
  size_t ch = (h.height + (1u << h.vshift) - 1) >> h.vshift;
  return luma + (h.mono ? 0 : 2 * cw * ch);
}

// Indexes a Y4M file; false when it is not one we can show.
bool y4m_load(const char *path, Y4mFile &y) {
  y.frames.clear();
  y.cached = -1;
  snprintf(y.path, sizeof y.path, "%s", path);
  FILE *f = sys_fopen(path, "rb");
  if (!f) return false;
  char line[512];
  bool ok = fgets(line, sizeof line, f) &&
            sim_y4m_parse_header((const uint8_t *)line, strlen(line), &y.hdr) == 0;
  size_t fb = ok ? y4m_frame_bytes(y.hdr) : 0;
  while (ok && y.frames.size() < 100000) {
    int c, n = 0;
    char tag[6] = {0};
    while (n < 5 && (c = fgetc(f)) != EOF) tag[n++] = (char)c;
    if (n < 5 || memcmp(tag, "FRAME", 5) != 0) break;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
    if (c == EOF) break;
    long off = ftell(f);
    if (fseek(f, (long)fb, SEEK_CUR) != 0) break;
    // A truncated last frame is not shown.
    if (fgetc(f) == EOF) {
      if (ftell(f) < off + (long)fb) break;
    } else {
      fseek(f, -1, SEEK_CUR);
    }
    y.frames.push_back(off);
  }
  fclose(f);
  return ok && !y.frames.empty();
}

const uint8_t *y4m_frame(Y4mFile &y, uint64_t n) {
  long i = (long)(n % y.frames.size());
  if (y.cached == i) return y.data.data();
  size_t fb = y4m_frame_bytes(y.hdr);
  y.data.resize(fb);
  FILE *f = sys_fopen(y.path, "rb");
  if (!f) return nullptr;
  bool ok = fseek(f, y.frames[(size_t)i], SEEK_SET) == 0 && fread(y.data.data(), 1, fb, f) == fb;
  fclose(f);
  if (!ok) return nullptr;
  y.cached = i;
  return y.data.data();
}

struct Geometry {
  uint32_t w, h;              // output
  uint32_t in_w, in_h;
  uint32_t cx, cy, cw, ch;    // crop in input pixels
  bool vflip, hflip;
};

uint32_t in_x(const Geometry &g, uint32_t ox) {
  uint32_t x = g.hflip ? g.w - 1 - ox : ox;
  return g.cx + (uint32_t)((uint64_t)x * g.cw / g.w);
}
uint32_t in_y(const Geometry &g, uint32_t oy) {
  uint32_t y = g.vflip ? g.h - 1 - oy : oy;
  return g.cy + (uint32_t)((uint64_t)y * g.ch / g.h);
}

// One output line as 4:4:4 samples.
struct Line {
  std::vector<uint8_t> y, u, v;
  void resize(uint32_t w) { y.resize(w), u.resize(w), v.resize(w); }
  void set(uint32_t x, uint8_t Y, uint8_t U, uint8_t V) { y[x] = Y, u[x] = U, v[x] = V; }
};

void pack_row(const Line &l, uint32_t w, bool nv12, uint8_t *luma, uint8_t *chroma) {
  if (nv12) {
    memcpy(luma, l.y.data(), w);
    if (chroma)
      for (uint32_t x = 0; x + 1 < w; x += 2) chroma[x] = l.u[x], chroma[x + 1] = l.v[x];
    return;
  }
  for (uint32_t x = 0; x + 1 < w; x += 2) {
    luma[2 * x] = l.u[x];
    luma[2 * x + 1] = l.y[x];
    luma[2 * x + 2] = l.v[x];
    luma[2 * x + 3] = l.y[x + 1];
  }
}

enum Kind { K_BARS, K_RAMP, K_BLOCK, K_COUNTER };

struct Pattern {
  uint32_t bar_end, block_top, block_bottom, counter_top;
  uint32_t block_x, block_side;
};

Pattern pattern_for(uint32_t in_w, uint32_t in_h, uint64_t n) {
  Pattern p;
  p.bar_end = in_h * 2 / 3;
  p.counter_top = in_h - in_h / 12;
  p.block_side = in_h / 6 ? in_h / 6 : 1;
  uint32_t band = p.counter_top - p.bar_end;
  p.block_top = p.bar_end + (band > p.block_side ? (band - p.block_side) / 2 : 0);
  p.block_bottom = p.block_top + p.block_side;
  uint32_t travel = in_w > p.block_side ? in_w - p.block_side : 1;
  p.block_x = (uint32_t)((n * (in_w / 64 ? in_w / 64 : 1)) % travel);
  return p;
}

Kind kind_of(const Pattern &p, uint32_t iy) {
  if (iy < p.bar_end) return K_BARS;
  if (iy >= p.counter_top) return K_COUNTER;
  return iy >= p.block_top && iy < p.block_bottom ? K_BLOCK : K_RAMP;
}

void render_pattern(const Geometry &g, uint64_t n, const v4l2_pix_format *fmt, uint8_t *dst) {
  bool nv12 = fmt->pixelformat == V4L2_PIX_FMT_NV12;
  Pattern p = pattern_for(g.in_w, g.in_h, n);
  Line lines[4];
  for (Line &l : lines) l.resize(g.w);
  for (uint32_t ox = 0; ox < g.w; ox++) {
    uint32_t ix = in_x(g, ox);
    const uint8_t *bar = kBars[(uint64_t)ix * 8 / g.in_w];
    lines[K_BARS].set(ox, bar[0], bar[1], bar[2]);
    uint8_t ramp = (uint8_t)(16 + (uint64_t)ix * 219 / g.in_w);
    lines[K_RAMP].set(ox, ramp, 128, 128);
    bool in_block = ix >= p.block_x && ix < p.block_x + p.block_side;
    lines[K_BLOCK].set(ox, in_block ? 235 : ramp, 128, 128);
    uint32_t bit = 15 - (uint32_t)((uint64_t)ix * 16 / g.in_w);
    lines[K_COUNTER].set(ox, ((n >> bit) & 1) ? 235 : 16, 128, 128);
  }
  // Each kind of line packed once; rows are copies of them.
  uint32_t bpl = fmt->bytesperline;
  std::vector<uint8_t> packed[4], packed_c[4];
  for (int k = 0; k < 4; k++) {
    packed[k].assign(bpl, 0);
    packed_c[k].assign(bpl, 0);
    pack_row(lines[k], g.w, nv12, packed[k].data(), nv12 ? packed_c[k].data() : nullptr);
  }
  // The counter strip stays clean: it is read back.
  uint32_t row_bytes = nv12 ? g.w : g.w * 2;
  const uint8_t *grain = grain_table();
  for (uint32_t oy = 0; oy < g.h; oy++) {
    Kind k = kind_of(p, in_y(g, oy));
    uint8_t *row = dst + (size_t)oy * bpl;
    memcpy(row, packed[k].data(), row_bytes);
    if (k != K_COUNTER && row_bytes <= 8192)
      add_grain(row, row_bytes, grain + grain_offset(n, oy));
  }
  if (nv12) {
    uint8_t *c = dst + (size_t)bpl * g.h;
    for (uint32_t oy = 0; oy / 2 < g.h / 2; oy += 2)
      memcpy(c + (size_t)(oy / 2) * bpl, packed_c[kind_of(p, in_y(g, oy))].data(), g.w & ~1u);
  }
}

void render_y4m(const Geometry &g, const uint8_t *src, const SimY4mHeader &h,
                const v4l2_pix_format *fmt, uint8_t *dst) {
  bool nv12 = fmt->pixelformat == V4L2_PIX_FMT_NV12;
  uint32_t bpl = fmt->bytesperline;
  uint32_t cw = (h.width + (1u << h.hshift) - 1) >> h.hshift;
  uint32_t chh = (h.height + (1u << h.vshift) - 1) >> h.vshift;
  const uint8_t *yp = src, *up = src + (size_t)h.width * h.height, *vp = up + (size_t)cw * chh;
  std::vector<uint32_t> sx(g.w);
  for (uint32_t ox = 0; ox < g.w; ox++) sx[ox] = (uint32_t)((uint64_t)in_x(g, ox) * h.width / g.in_w);
  Line l;
  l.resize(g.w);
  for (uint32_t oy = 0; oy < g.h; oy++) {
    uint32_t sy = (uint32_t)((uint64_t)in_y(g, oy) * h.height / g.in_h);
    for (uint32_t ox = 0; ox < g.w; ox++) {
      uint32_t x = sx[ox];
      uint8_t Y = yp[(size_t)sy * h.width + x];
      size_t ci = (size_t)(sy >> h.vshift) * cw + (x >> h.hshift);
      l.set(ox, Y, h.mono ? 128 : up[ci], h.mono ? 128 : vp[ci]);
    }
    uint8_t *chroma = nv12 && !(oy & 1) && oy / 2 < g.h / 2 ? dst + (size_t)bpl * g.h + (size_t)(oy / 2) * bpl : nullptr;
    pack_row(l, g.w, nv12, dst + (size_t)oy * bpl, chroma);
  }
}

}  // namespace

void pattern_render(const char *y4m_path, uint64_t n, uint32_t in_w, uint32_t in_h,
                    const RszOutputSpec *spec, const v4l2_pix_format *fmt, uint8_t *dst) {
  Geometry g;
  g.w = fmt->width;
  g.h = fmt->height;
  g.in_w = in_w ? in_w : 1;
  g.in_h = in_h ? in_h : 1;
  g.cx = g.cy = 0;
  g.cw = g.in_w;
  g.ch = g.in_h;
  g.vflip = g.hflip = false;
  if (spec) {
    g.vflip = spec->vflip;
    g.hflip = spec->hflip;
    if (spec->crop_w && spec->crop_h && spec->crop_x < g.in_w && spec->crop_y < g.in_h) {
      g.cx = spec->crop_x;
      g.cy = spec->crop_y;
      g.cw = spec->crop_w < g.in_w - g.cx ? spec->crop_w : g.in_w - g.cx;
      g.ch = spec->crop_h < g.in_h - g.cy ? spec->crop_h : g.in_h - g.cy;
    }
  }
  if (y4m_path && y4m_path[0]) {
    if (strcmp(g_y4m.path, y4m_path) != 0 && !y4m_load(y4m_path, g_y4m)) g_y4m.frames.clear();
    const uint8_t *src = g_y4m.frames.empty() ? nullptr : y4m_frame(g_y4m, n);
    if (src) {
      render_y4m(g, src, g_y4m.hdr, fmt, dst);
      return;
    }
  }
  render_pattern(g, n, fmt, dst);
}

}  // namespace simcap

using namespace simcap;

int sim_y4m_parse_header(const uint8_t *data, size_t len, SimY4mHeader *out) {
  static const char kMagic[] = "YUV4MPEG2";
  memset(out, 0, sizeof *out);
  out->hshift = out->vshift = 1;
  if (len < sizeof kMagic - 1 || memcmp(data, kMagic, sizeof kMagic - 1) != 0) return -1;
  size_t i = sizeof kMagic - 1;
  while (i < len && data[i] != '\n') {
    while (i < len && data[i] == ' ') i++;
    if (i >= len || data[i] == '\n') break;
    size_t start = i;
    while (i < len && data[i] != ' ' && data[i] != '\n') i++;
    char tok[32];
    size_t n = i - start < sizeof tok - 1 ? i - start : sizeof tok - 1;
    memcpy(tok, data + start, n);
    tok[n] = 0;
    if (tok[0] == 'W' || tok[0] == 'H') {
      char *end;
      unsigned long v = strtoul(tok + 1, &end, 10);
      if (*end || v == 0 || v > 8192) return -1;
      (tok[0] == 'W' ? out->width : out->height) = (uint32_t)v;
    } else if (tok[0] == 'C') {
      const char *c = tok + 1;
      if (!strcmp(c, "420") || !strcmp(c, "420jpeg") || !strcmp(c, "420paldv") || !strcmp(c, "420mpeg2"))
        out->hshift = out->vshift = 1;
      else if (!strcmp(c, "422")) out->hshift = 1, out->vshift = 0;
      else if (!strcmp(c, "444")) out->hshift = out->vshift = 0;
      else if (!strcmp(c, "mono")) out->mono = 1;
      else return -1;  // high bit depths and alpha are not shown
    } else if (tok[0] == 'I') {
      out->interlaced = tok[1] == 't' || tok[1] == 'b';
    }
  }
  return out->width && out->height ? 0 : -1;
}

int sim_capture_set_y4m(const char *path) {
  Board &b = board();
  std::lock_guard<std::mutex> l(b.lock);
  if (!path || !path[0] || strcmp(path, "-") == 0) {
    b.y4m_path[0] = 0;
    return 0;
  }
  if (!y4m_load(path, g_y4m)) {
    g_y4m.path[0] = 0;
    return -1;
  }
  snprintf(b.y4m_path, sizeof b.y4m_path, "%s", path);
  return 0;
}
