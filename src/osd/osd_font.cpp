// The text renderer: one drawing loop per font, style and pixel format, all
// made from the templates below, so no pixel ever tests the style. Rows go
// out four pixels (NV12) or two (UYVY) per 32-bit word where the destination
// is word-aligned, with lane masks made from the glyph bits; the unaligned
// pixels at either end of a cell row are written one by one.
#include "osd/osd_font.h"

#include <cstring>

#include "osd/osd_channel.h"
#include "osd/osd_internal.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "lane masks assume the leftmost pixel in the low byte");

const uint8_t osd_cell_width[OSD_FONTS + 1] = {8, 8, 16, 19, 38};
const uint8_t osd_cell_height[OSD_FONTS + 1] = {13, 13, 16, 32, 64};

namespace {

constexpr uint32_t kWhite = 0xEFEFEFEFu;   // luma 239 in every lane
constexpr uint32_t kBlack = 0x10101010u;   // luma 16
constexpr uint32_t kNeutral = 0x80808080u; // chroma 128
constexpr uint32_t kUyvyY = 0xFF00FF00u;   // the Y bytes of a U Y0 V Y1 word

// Lane masks of four NV12 pixels from a glyph nibble (bit 3 leftmost).
struct NibbleMasks {
  uint32_t m[16];
  constexpr NibbleMasks() : m() {
    for (int n = 0; n < 16; n++)
      m[n] = (n & 8 ? 0xFFu : 0) | (n & 4 ? 0xFF00u : 0) | (n & 2 ? 0xFF0000u : 0) | (n & 1 ? 0xFF000000u : 0);
  }
};
constexpr NibbleMasks kNibble;
// The masks of one UYVY pixel pair (bit 1 the left pixel: bytes U Y0).
constexpr uint32_t kPair[4] = {0, 0xFFFF0000u, 0x0000FFFFu, 0xFFFFFFFFu};

// Each bit of a byte twice (font 4 from font 3).
struct Spread {
  uint16_t v[256];
  constexpr Spread() : v() {
    for (int b = 0; b < 256; b++)
      for (int i = 0; i < 8; i++)
        if (b & (0x80 >> i)) v[b] |= (uint16_t)(0xC000u >> (2 * i));
  }
};
constexpr Spread kSpread;

// Glyph rows, left-aligned in 64 bits (bit 63 the leftmost pixel).
template <int F> struct Font;
template <> struct Font<1> {
  static constexpr int W = 8, H = 13;
  static uint64_t row(int g, int r) { return (uint64_t)osd_font1_glyphs[g][r] << 56; }
};
template <> struct Font<2> {
  static constexpr int W = 16, H = 16;
  static uint64_t row(int g, int r) { return (uint64_t)osd_font2_glyphs[g][r] << 48; }
};
template <> struct Font<3> {
  static constexpr int W = 19, H = 32;
  static uint64_t row(int g, int r) {
    const uint8_t *p = osd_font3_glyphs[g][r];
    return ((uint64_t)p[0] << 56 | (uint64_t)p[1] << 48 | (uint64_t)p[2] << 40) & ~(~0ull >> W);
  }
};
template <> struct Font<4> {
  static constexpr int W = 38, H = 64;
  static uint64_t row(int g, int r) {
    const uint8_t *p = osd_font3_glyphs[g][r >> 1];
    return ((uint64_t)kSpread.v[p[0]] << 48 | (uint64_t)kSpread.v[p[1]] << 32 | (uint64_t)kSpread.v[p[2]] << 16) &
           ~(~0ull >> W);
  }
};

// A style as lane arithmetic: old lanes, m = glyph lanes, o = outline lanes.
template <int S> struct Style;
template <> struct Style<0> {  // white on an opaque black box
  static constexpr bool reads = false, skips_blank = false;
  static uint32_t op(uint32_t, uint32_t m, uint32_t) { return (m & kWhite) | (~m & kBlack); }
};
template <> struct Style<1> {  // white, transparent
  static constexpr bool reads = true, skips_blank = true;
  static uint32_t op(uint32_t v, uint32_t m, uint32_t) { return (v & ~m) | (m & kWhite); }
};
template <> struct Style<2> {  // white over the picture at half brightness
  static constexpr bool reads = true, skips_blank = false;
  static uint32_t op(uint32_t v, uint32_t m, uint32_t) { return (m & kWhite) | (~m & ((v >> 1) & 0x7F7F7F7Fu)); }
};
template <> struct Style<3> {  // white over the picture at a quarter
  static constexpr bool reads = true, skips_blank = false;
  static uint32_t op(uint32_t v, uint32_t m, uint32_t) { return (m & kWhite) | (~m & ((v >> 2) & 0x3F3F3F3Fu)); }
};
template <> struct Style<4> {  // black, transparent
  static constexpr bool reads = true, skips_blank = true;
  static uint32_t op(uint32_t v, uint32_t m, uint32_t) { return (v & ~m) | (m & kBlack); }
};
template <> struct Style<5> {  // black on an opaque white box
  static constexpr bool reads = false, skips_blank = false;
  static uint32_t op(uint32_t, uint32_t m, uint32_t) { return (m & kBlack) | (~m & kWhite); }
};
template <> struct Style<6> {  // white with a black outline, transparent
  static constexpr bool reads = true, skips_blank = true;
  static uint32_t op(uint32_t v, uint32_t m, uint32_t o) { return (v & ~(m | o)) | (m & kWhite) | (o & kBlack); }
};

inline uint32_t load32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
inline void store32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }

template <int S>
inline void pixel_nv12(uint8_t *p, uint64_t bits, uint64_t ob) {
  *p = (uint8_t)Style<S>::op(*p, (uint32_t)(bits >> 63) * 0xFFu, (uint32_t)(ob >> 63) * 0xFFu);
}

// One cell row of an NV12 luma plane, W pixels from p, of which the first L
// lie before the next word boundary: every count is known when compiled.
template <int S, int W, int L>
inline void row_nv12_at(uint8_t *p, uint64_t bits, uint64_t ob) {
  using St = Style<S>;
  constexpr int lead = L < W ? L : W, words = (W - lead) / 4, tail = W - lead - 4 * words;
  for (int i = 0; i < lead; i++, p++, bits <<= 1, ob <<= 1) pixel_nv12<S>(p, bits, ob);
  for (int i = 0; i < words; i++, p += 4, bits <<= 4, ob <<= 4) {
    uint32_t m = kNibble.m[bits >> 60], o = kNibble.m[ob >> 60];
    store32(p, St::op(St::reads ? load32(p) : 0, m, o));
  }
  for (int i = 0; i < tail; i++, p++, bits <<= 1, ob <<= 1) pixel_nv12<S>(p, bits, ob);
}

template <int S, int W>
inline void row_nv12(uint8_t *p, uint64_t bits, uint64_t ob) {
  switch ((uintptr_t)p & 3) {
    case 0: row_nv12_at<S, W, 0>(p, bits, ob); break;
    case 1: row_nv12_at<S, W, 3>(p, bits, ob); break;
    case 2: row_nv12_at<S, W, 2>(p, bits, ob); break;
    default: row_nv12_at<S, W, 1>(p, bits, ob); break;
  }
}

// Lanes of UYVY pixels: the Y bytes take the style; the chroma bytes stay,
// or with neutral (font 1) become 128 under set pixels, and everywhere in
// the opaque styles.
template <int S, bool N>
inline uint32_t op_uyvy(uint32_t v, uint32_t m, uint32_t o) {
  uint32_t y = Style<S>::op(v, m, o) & kUyvyY;
  if (!N) return y | (v & ~kUyvyY);
  if (!Style<S>::reads) return y | (kNeutral & ~kUyvyY);
  return y | (((v & ~m) | (m & kNeutral)) & ~kUyvyY);
}

template <int S, bool N>
inline void pixel_uyvy(uint8_t *p, uint64_t bits, uint64_t ob) {
  uint32_t m = (uint32_t)(bits >> 63) * 0xFFFFu, o = (uint32_t)(ob >> 63) * 0xFFFFu;
  uint32_t v = op_uyvy<S, N>((uint32_t)p[0] | (uint32_t)p[1] << 8, m, o);
  if (N) p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}

// One cell row of a UYVY frame, W pixels (two bytes each) from p, of which
// the first L (0 or 1) lie before the next word boundary.
template <int S, bool N, int W, int L>
inline void row_uyvy_at(uint8_t *p, uint64_t bits, uint64_t ob) {
  constexpr int pairs = (W - L) / 2, tail = W - L - 2 * pairs;
  if (L) pixel_uyvy<S, N>(p, bits, ob), p += 2, bits <<= 1, ob <<= 1;
  for (int i = 0; i < pairs; i++, p += 4, bits <<= 2, ob <<= 2) {
    uint32_t m = kPair[bits >> 62], o = kPair[ob >> 62];
    store32(p, op_uyvy<S, N>(load32(p), m, o));
  }
  if (tail) pixel_uyvy<S, N>(p, bits, ob);
}

template <int S, bool N, int W>
inline void row_uyvy(uint8_t *p, uint64_t bits, uint64_t ob) {
  switch ((uintptr_t)p & 3) {
    case 0: row_uyvy_at<S, N, W, 0>(p, bits, ob); break;
    case 2: row_uyvy_at<S, N, W, 1>(p, bits, ob); break;
    default:  // an odd address (odd pitch): no pixel pair is word-aligned
      for (int i = 0; i < W; i++, p += 2, bits <<= 1, ob <<= 1) pixel_uyvy<S, N>(p, bits, ob);
  }
}

// Pixels around the glyph, not in it, within the cell (8-neighbourhood).
inline uint64_t grow(uint64_t r) { return r | r << 1 | r >> 1; }

template <int F, int S, bool UYVY>
void draw(const OsdTextTarget *t, const char *text) {
  using Fo = Font<F>;
  constexpr int bpp = UYVY ? 2 : 1;
  constexpr bool outline = S == 6;
  constexpr uint64_t cell = ~(~0ull >> Fo::W);
  const uint32_t pitch = t->pitch, lines = t->lines;
  if (!pitch || !lines || !t->frame) return;
  const uint32_t width = pitch / bpp;
  uint32_t x0 = t->text_offset % pitch / bpp, top = t->text_offset / pitch;
  if (x0 > width) x0 = width;
  int32_t fit = (int32_t)((width - x0) / Fo::W);
  int32_t cpl = t->chars_per_line < fit ? t->chars_per_line : fit;
  int32_t col = 0;
  for (const char *c = text; *c; c++) {
    if (*c == '\n') {
      top += Fo::H;
      col = 0;
      if (top >= lines) return;
      continue;
    }
    if (top >= lines || col++ >= cpl) continue;
    int g = *c >= 32 && *c <= 126 ? *c - 32 : 0;
    uint32_t rows = lines - top < (uint32_t)Fo::H ? lines - top : (uint32_t)Fo::H;
    uint8_t *p = t->frame + (size_t)top * pitch + (size_t)(x0 + (uint32_t)(col - 1) * Fo::W) * bpp;
    uint64_t prev = 0, cur = Fo::row(g, 0), next;
    for (uint32_t r = 0; r < rows; r++, p += pitch, prev = cur, cur = next) {
      next = (int)r + 1 < Fo::H ? Fo::row(g, (int)r + 1) : 0;
      uint64_t ob = outline ? (grow(prev) | grow(cur) | grow(next)) & ~cur & cell : 0;
      if (Style<S>::skips_blank && !cur && !ob) continue;
      if (UYVY) row_uyvy<S, F == 1, Fo::W>(p, cur, ob);
      else row_nv12<S, Fo::W>(p, cur, ob);
    }
  }
}

typedef void (*DrawFn)(const OsdTextTarget *, const char *);

// Font 1 has no outlined style: its style 6 draws as style 1.
template <int F, bool U>
constexpr DrawFn kRow[8] = {draw<F, 0, U>, draw<F, 1, U>, draw<F, 2, U>, draw<F, 3, U>,
                            draw<F, 4, U>, draw<F, 5, U>, F == 1 ? draw<F, 1, U> : draw<F, 6, U>, nullptr};

// [UYVY][font - 1][style]
const DrawFn *const kDraw[2][OSD_FONTS] = {
    {kRow<1, false>, kRow<2, false>, kRow<3, false>, kRow<4, false>},
    {kRow<1, true>, kRow<2, true>, kRow<3, true>, kRow<4, true>},
};

}  // namespace

void osd_render(const OsdTextTarget *target, int font, int style, const char *text) {
  if (font < 1 || font > OSD_FONTS || !text) return;
  int uyvy;
  switch (target->layout) {
    case OSD_LAYOUT_NV12:
    case OSD_LAYOUT_NV12_LUMA: uyvy = 0; break;
    case OSD_LAYOUT_UYVY: uyvy = 1; break;
    default: return;
  }
  DrawFn fn = kDraw[uyvy][font - 1][style & 7];
  if (fn) fn(target, text);
}

void osdRenderText(int channel, const OsdTextConfig *config, uint8_t *frame) {
  OsdChannel *ch = osd_channel(channel);
  if (!ch || !config) return;
  pthread_mutex_lock(&ch->lock);
  OsdTextTarget t;
  osd_channel_target(ch, frame, &t);
  osd_render(&t, config->enabled, config->transparent, ch->text);
  pthread_mutex_unlock(&ch->lock);
}
