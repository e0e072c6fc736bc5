#include "display/edid.h"

#include <cstdarg>
#include <cstring>

#include "core/log.h"

namespace {

EdidModeTable g_table;
FILE *g_out;

void P(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void P(const char *fmt, ...) {
  if (!g_out) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(g_out, fmt, ap);
  va_end(ap);
}

void seek(uint32_t byte) { g_table.pos = byte * 8; }
uint32_t byte_pos(void) { return g_table.pos / 8; }
uint32_t u8(void) { return edid_read_bits(8); }
uint32_t u16le(void) {
  uint32_t lo = u8();
  return lo | u8() << 8;
}

// CEA-861 short names of VIC 1 to 64.
const char *const kVicNames[65] = {
    "",         "DMT0659",  "480p",     "480pH",    "720p",     "1080i",    "480i",
    "480iH",    "240p",     "240pH",    "480i4x",   "480i4xH",  "240p4x",   "240p4xH",
    "480p2x",   "480p2xH",  "1080p",    "576p",     "576pH",    "720p50",   "1080i25",
    "576i",     "576iH",    "288p",     "288pH",    "576i4x",   "576i4xH",  "288p4x",
    "288p4xH",  "576p2x",   "576p2xH",  "1080p50",  "1080p24",  "1080p25",  "1080p30",
    "480p4x",   "480p4xH",  "576p4x",   "576p4xH",  "1080i25",  "1080i50",  "720p100",
    "576p100",  "576p100H", "576i50",   "576i50H",  "1080i60",  "720p120",  "480p119",
    "480p119H", "480i59",   "480i59H",  "576p200",  "576p200H", "576i100",  "576i100H",
    "480p239",  "480p239H", "480i119",  "480i119H", "720p24",   "720p25",   "720p30",
    "1080p120", "1080p100",
};

const char *const kDepth[8] = {"undefined", "6", "8", "10", "12", "14", "16", "reserved"};
const char *const kInterface[5] = {"undefined", "HDMIa", "HDMIb", "MDDI", "DisplayPort"};
const char *const kStereo[7] = {
    "No stereo",
    "Field Sequential, sync=1 during right",
    "Field Sequential, sync=1 during left",
    "4-way interleaved stereo",
    "2-way interleaved stereo: right image on even lines",
    "2-way interleaved stereo: left image on even lines",
    "2-way interleaved stereo: side-by-side",
};
const char *const kSync[4] = {"Analog composite", "Bipolar analog composite",
                              "Digital composite (on Hsync)", "Digital separate"};
const char *const kAudioFormat[16] = {
    "reserved", "LPCM", "AC-3", "MPEG1", "MP3", "MPEG2", "AAC", "DTS",
    "ATRAC", "One Bit Audio", "Dolby Digital+", "DTS-HD", "MAT", "DST", "WMA Pro", "extension",
};

// The established timings in flag order; rate 0 adds nothing.
const struct { uint16_t w, h; uint8_t rate; } kEstablished[17] = {
    {720, 400, 70},  {720, 400, 88},  {640, 480, 60},  {640, 480, 67},  {640, 480, 72},
    {640, 480, 75},  {800, 600, 56},  {800, 600, 60},  {800, 600, 72},  {800, 600, 75},
    {832, 624, 75},  {1024, 768, 0},  {1024, 768, 60}, {1024, 768, 70}, {1024, 768, 75},
    {1280, 1024, 75}, {1152, 870, 75},
};

// The detailed timing descriptor at the reader's position (18 bytes).
void decode_dtd(int number) {
  uint32_t start = byte_pos();
  uint32_t clock = u16le();  // 10 kHz units
  if (clock == 0) return;
  uint32_t hact_lo = u8(), hblank_lo = u8(), hhi = u8();
  uint32_t vact_lo = u8(), vblank_lo = u8(), vhi = u8();
  uint32_t hso_lo = u8(), hsw_lo = u8(), vs = u8(), shi = u8();
  uint32_t hmm_lo = u8(), vmm_lo = u8(), mmhi = u8();
  uint32_t hborder = u8(), vborder = u8(), flags = u8();
  uint32_t hactive = hact_lo | (hhi >> 4) << 8, hblank = hblank_lo | (hhi & 15) << 8;
  uint32_t vactive = vact_lo | (vhi >> 4) << 8, vblank = vblank_lo | (vhi & 15) << 8;
  uint32_t hso = hso_lo | (shi >> 6 & 3) << 8, hsw = hsw_lo | (shi >> 4 & 3) << 8;
  uint32_t vso = (vs >> 4) | (shi >> 2 & 3) << 4, vsw = (vs & 15) | (shi & 3) << 4;
  uint32_t hmm = hmm_lo | (mmhi >> 4) << 8, vmm = vmm_lo | (mmhi & 15) << 8;
  uint64_t total = (uint64_t)(hactive + hblank) * (vactive + vblank);
  int interlaced = flags >> 7 & 1;

  P("%d: Detailed Timing Descriptor\n", number);
  P(" Pixel clock: %u kHz\n", clock * 10);
  P("            active blanking offset pulse border\n");
  P(" horizontal %6u %8u %6u %5u %6u\n", hactive, hblank, hso, hsw, hborder);
  P(" vertical   %6u %8u %6u %5u %6u\n", vactive, vblank, vso, vsw, vborder);
  P(" Display size: %u mm x %u mm\n", hmm, vmm);
  if (total) P(" Calculated FPS: %g\n", (double)clock * 10000 / (double)total);
  P(" %s\n", interlaced ? "Interlaced" : "Non-interlaced");
  uint32_t stereo = flags >> 5 & 3;
  P(" Stereo: %s\n", kStereo[stereo == 0 ? 0 : (flags & 1) ? stereo + 3 : stereo]);
  uint32_t sync = flags >> 3 & 3;
  P(" Sync: %s, serration %u, polarity %u%u\n", kSync[sync], flags >> 2 & 1, flags >> 1 & 1,
    flags & 1);
  if (total)
    edid_mode_add((int)hactive, (int)vactive, (int)((clock * 10000ull + total / 2) / total),
                  interlaced, number == 1);
  seek(start + 18);
}

void decode_text(int number, const char *what) {
  char text[14];
  int n = 0;
  for (int i = 0; i < 13; i++) {
    uint32_t c = u8();
    if (c == '\n') break;
    text[n++] = c >= 32 && c < 127 ? (char)c : '.';
  }
  text[n] = 0;
  P("%d: %s: %s\n", number, what, text);
}

void decode_descriptor(int number) {
  uint32_t start = byte_pos();
  uint32_t clock = u16le();
  seek(start);
  if (clock) {
    decode_dtd(number);
    return;
  }
  seek(start + 2);
  edid_read_reserved(8, 0);
  uint32_t tag = u8();
  u8();
  switch (tag) {
    case 0xFF: decode_text(number, "Monitor serial number"); break;
    case 0xFE: decode_text(number, "Unspecified text"); break;
    case 0xFC: decode_text(number, "Monitor name"); break;
    case 0xFD: {
      P("%d: EDID Monitor range limits descriptor\n", number);
      uint32_t vmin = u8(), vmax = u8(), hmin = u8(), hmax = u8(), clk = u8();
      P(" Field rate: %u-%u Hz\n Line rate: %u-%u kHz\n Max pixel clock: %u MHz\n", vmin, vmax,
        hmin, hmax, clk * 10);
      if (u8() == 2) {
        u8();
        uint32_t start_freq = u8(), c = u8(), m = u16le(), k = u8(), j = u8();
        P(" GTF secondary curve: start %u kHz, C %u, M %u, K %u, J %u\n", start_freq * 2, c / 2,
          m, k, j / 2);
      }
      break;
    }
    default: P("%d: Unknown descriptor type 0x%02x\n", number, tag); break;
  }
  seek(start + 18);
}

void decode_audio_block(uint32_t end) {
  while (byte_pos() + 3 <= end) {
    uint32_t b0 = u8(), b1 = u8(), b2 = u8();
    uint32_t format = b0 >> 3 & 15;
    P("Audio format: %s\n", kAudioFormat[format]);
    P("    Channels: %u\n", (b0 & 7) + 1);
    static const char *const kRates[7] = {"32", "44.1", "48", "88.2", "96", "176.4", "192"};
    for (int i = 6; i >= 0; i--)
      if (b1 >> i & 1) P("    %s kHz\n", kRates[i]);
    if (format == 1) {
      if (b2 & 4) P("    24-bit\n");
      if (b2 & 2) P("    20-bit\n");
      if (b2 & 1) P("    16-bit\n");
    } else {
      P("    Bit rate: %u kbps\n", b2 * 8);
    }
  }
}

void decode_video_block(uint32_t end) {
  P("Short Video Descriptors\n");
  while (byte_pos() < end) {
    uint32_t b = u8(), vic = b & 0x7F;
    char line[80];
    if (vic >= 1 && vic <= 64) {
      const EdidVic &v = edid_vics[vic];
      edid_mode_add(v.width, v.height, v.rate, v.flags & 1, 0);
      P(" %s %ux%u%c%u \n", edid_vic_text((int)vic, line, sizeof line), v.width, v.height,
        v.flags & 1 ? 'i' : 'p', v.rate);
    } else {
      P(" %u Reserved\n", vic);
    }
  }
}

void decode_vendor_block(uint32_t end) {
  P("Vendor Specific Data Block\n");
  uint32_t o0 = u8(), o1 = u8(), o2 = u8();
  P(" IEEE Registration Identifier: %02x-%02x-%02x\n", o2, o1, o0);
  P("@%02x\n", byte_pos());
  if (byte_pos() + 2 > end) return;
  uint32_t a = u8(), b = u8();
  P(" Physical address: %u.%u.%u.%u\n", a >> 4, a & 15, b >> 4, b & 15);
  if (byte_pos() >= end) return;
  P(" Supports AI: %u\n", edid_read_bits(1));
  P("    DC_48bit: %u\n", edid_read_bits(1));
  P("    DC_36bit: %u\n", edid_read_bits(1));
  P("    DC_30bit: %u\n", edid_read_bits(1));
  P("     DC_Y444: %u\n", edid_read_bits(1));
  edid_read_reserved(2, 0);
  P(" DVI Dual Link: %u\n", edid_read_bits(1));
  if (byte_pos() >= end) return;
  P(" Max TMDS Frequency: %u MHz\n", u8() * 5);
  if (byte_pos() >= end) return;
  uint32_t latency = edid_read_bits(1), ilatency = edid_read_bits(1);
  P(" Latency Fields: %u\n", latency);
  P(" Interlaced Latency Fields: %u\n", ilatency);
  edid_read_reserved(6, 0);
  if (latency && byte_pos() + 2 <= end) {
    P(" Video Latency: %d ms\n", ((int)u8() - 1) * 2);
    P(" Audio Latency: %d ms\n", ((int)u8() - 1) * 2);
    if (ilatency && byte_pos() + 2 <= end) {
      P(" Interlaced Video Latency: %d ms\n", ((int)u8() - 1) * 2);
      P(" Interlaced Audio Latency: %d ms\n", ((int)u8() - 1) * 2);
    }
  }
}

void decode_speaker_block(void) {
  uint32_t b = u8();
  P(" Rear center left/right: %u\n", b >> 6 & 1);
  P(" Front center left/right: %u\n", b >> 5 & 1);
  P(" Rear center: %u\n", b >> 4 & 1);
  P(" Rear left/right: %u\n", b >> 3 & 1);
  P(" Front center: %u\n", b >> 2 & 1);
  P(" LFE: %u\n", b >> 1 & 1);
  P(" Front left/right: %u\n", b & 1);
}

// The CEA-861 extension at byte 128.
void decode_cea(const uint8_t *block) {
  seek(128);
  P("Extension tag: %u\n", u8());
  P("Revision number: %u\n", u8());
  uint32_t d = u8();
  P("DTDs offset: %u\n", d);
  P("Underscan: %u\n", edid_read_bits(1));
  P("Audio: %u\n", edid_read_bits(1));
  P("YCbCr 4:4:4: %u\n", edid_read_bits(1));
  P("YCbCr 4:2:2: %u\n", edid_read_bits(1));
  P("Number of DTDs: %u\n", edid_read_bits(4));
  // Data blocks lie between byte 4 and the DTDs; none may run into the
  // checksum, whatever the offsets claim.
  uint32_t blocks_end = d ? 128 + d : 132;
  if (blocks_end > EDID_SIZE - 1) blocks_end = EDID_SIZE - 1;
  while (byte_pos() < blocks_end) {
    uint32_t tag = edid_read_bits(3), len = edid_read_bits(5);
    uint32_t next = byte_pos() + len;
    uint32_t end = next < blocks_end ? next : blocks_end;
    P("tag: %u size: %u\n", tag, len);
    switch (tag) {
      case 1: decode_audio_block(end); break;
      case 2: decode_video_block(end); break;
      case 3: decode_vendor_block(end); break;
      case 4: decode_speaker_block(); break;
      default:
        while (byte_pos() < end) P(" Byte 0x%02x\n", u8());
        break;
    }
    seek(next);
  }
  // Detailed timings follow while they fit before the checksum; the count in
  // byte 3 is that of the native formats, not of the descriptors.
  if (d) {
    int number = 5;
    for (uint32_t at = 128 + d; at + 18 <= EDID_SIZE - 1; at += 18) {
      if ((block[at] | block[at + 1]) == 0) break;
      P("dtd_pos=%u\n", at);
      seek(at);
      decode_dtd(number++);
    }
  }
  char verdict[40];
  P("Checksum: 0x%x, %s\n", block[255],
    edid_checksum_text(block + 128, 128, verdict, sizeof verdict));
}

}  // namespace

const EdidVic edid_vics[65] = {
    {0, 0, 0, 0},
    {640, 480, 60, 0},    {720, 480, 60, 0},    {720, 480, 60, 2},    {1280, 720, 60, 2},
    {1920, 1080, 60, 3},  {1440, 480, 60, 1},   {1440, 480, 60, 3},   {1440, 240, 60, 0},
    {1440, 240, 60, 2},   {2880, 480, 60, 1},   {2880, 480, 60, 3},   {2880, 240, 60, 0},
    {2880, 240, 60, 2},   {1440, 480, 60, 0},   {1440, 480, 60, 2},   {1920, 1080, 60, 2},
    {720, 576, 50, 0},    {720, 576, 50, 2},    {1280, 720, 50, 2},   {1920, 1080, 50, 3},
    {1440, 576, 50, 1},   {1440, 576, 50, 3},   {1440, 288, 50, 0},   {1440, 288, 50, 2},
    {2880, 576, 50, 1},   {2880, 576, 50, 3},   {2880, 288, 50, 0},   {2880, 288, 50, 2},
    {1440, 576, 50, 0},   {1440, 576, 50, 2},   {1920, 1080, 50, 2},  {1920, 1080, 24, 2},
    {1920, 1080, 25, 2},  {1920, 1080, 30, 2},  {2880, 480, 60, 0},   {2880, 480, 60, 2},
    {2880, 576, 50, 0},   {2880, 576, 50, 2},   {1920, 1080, 50, 3},  {1920, 1080, 100, 3},
    {1280, 720, 100, 2},  {720, 576, 100, 0},   {720, 576, 100, 2},   {720, 576, 100, 1},
    {720, 576, 100, 3},   {1920, 1080, 120, 3}, {1280, 720, 120, 2},  {720, 480, 120, 0},
    {720, 480, 120, 2},   {1440, 480, 120, 1},  {1440, 480, 120, 3},  {720, 576, 200, 0},
    {720, 576, 200, 2},   {720, 576, 200, 1},   {720, 576, 200, 3},   {720, 480, 240, 0},
    {720, 480, 240, 2},   {720, 480, 240, 1},   {720, 480, 240, 3},   {1280, 720, 24, 2},
    {1280, 720, 25, 2},   {1280, 720, 30, 2},   {1920, 1080, 120, 2}, {1920, 1080, 100, 2},
};

EdidModeTable *edid_table(void) { return &g_table; }

void edid_set_output(FILE *out) { g_out = out; }

uint32_t edid_read_bits(int n) {
  uint32_t v = 0;
  for (int i = 0; i < n && i < 32; i++) {
    uint32_t byte = g_table.pos >> 3, bit = 7 - (g_table.pos & 7);
    uint32_t b = g_table.data && byte < EDID_SIZE ? g_table.data[byte] >> bit & 1 : 0;
    v = v << 1 | b;
    g_table.pos++;
  }
  return v;
}

uint32_t edid_read_reserved(int n, uint32_t expected) {
  uint32_t at = g_table.pos;
  uint32_t v = edid_read_bits(n);
  if (v != expected)
    printf("reserved bits mismatch: 0x%lu != 0x%lu  @%d.%d\n", (unsigned long)v,
           (unsigned long)expected, (int)(at / 8), (int)(at % 8));
  return v;
}

const char *edid_checksum_text(const uint8_t *block, int len, char *buf, int size) {
  uint8_t sum = 0;
  for (int i = 0; i < len; i++) sum = uint8_t(sum + block[i]);
  if (sum == 0) return "correct";
  snprintf(buf, (size_t)size, "incorrect, should be 0x%02x", uint8_t(block[len - 1] - sum));
  return buf;
}

const char *edid_vic_text(int vic, char *buf, int size) {
  if (vic < 1 || vic > 64) {
    snprintf(buf, (size_t)size, "%d Reserved", vic);
    return buf;
  }
  const EdidVic &v = edid_vics[vic];
  snprintf(buf, (size_t)size, "%d %-9s %s  %ux%u%c @ %uHz", vic, kVicNames[vic],
           v.flags & 2 ? "16:9" : " 4:3", v.width, v.height, v.flags & 1 ? 'i' : 'p', v.rate);
  return buf;
}

int edid_mode_lookup(int width, int height, int rate, int interlaced) {
  for (int i = 0; i < EDID_MODES; i++) {
    const EdidMode &m = g_table.modes[i];
    if (m.width == 0) continue;
    if (width > 0 && m.width != width) continue;
    if (height > 0 && m.height != height) continue;
    if (rate > 0 && m.rate != rate) continue;
    if (interlaced >= 0 && (m.flags & 1) != (interlaced ? 1 : 0)) continue;
    return i;
  }
  return -1;
}

void edid_mode_add(int width, int height, int rate, int interlaced, int preferred) {
  if (width <= 0 || height <= 0 || rate <= 0 || width > 0xFFFF || height > 0xFFFF) return;
  if (rate > 255) rate = 255;
  EdidMode *m = g_table.modes;
  if (preferred) {
    memmove(&m[1], &m[0], sizeof(EdidMode) * (EDID_MODES - 1));
    memset(&m[0], 0, sizeof m[0]);
  }
  uint8_t flags = interlaced ? 1 : 0;
  for (int i = 0; i < EDID_MODES; i++) {
    bool same = m[i].width == width && m[i].height == height && m[i].rate == rate &&
                m[i].flags == flags;
    if (m[i].width == 0 || same) {
      m[i].width = (uint16_t)width;
      m[i].height = (uint16_t)height;
      m[i].rate = (uint8_t)rate;
      m[i].flags = flags;
      return;
    }
  }
  log_printf("edid modes list is full: %u %u %u\n", (unsigned)width, (unsigned)height,
             (unsigned)rate);
}

int edid_lookup_rate(int width, int height, int rate_milli, int interlaced) {
  int idx = edid_mode_lookup(width, height, rate_milli / 1000, interlaced);
  if (idx < 0 && width <= 1280) {
    if (height > 1024) return -1;
    idx = edid_mode_lookup(width, height, rate_milli / 500, interlaced);
  }
  return idx;
}

void edid_decode(const uint8_t *block) {
  memset(&g_table, 0, sizeof g_table);
  g_table.data = block;
  g_table.valid = 1;
  static const uint8_t kHeader[8] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  for (int i = 0; i < 8; i++)
    if (u8() != kHeader[i]) g_table.valid = 0;

  edid_read_reserved(1, 0);
  char id[4] = {0};
  for (int i = 0; i < 3; i++) id[i] = (char)('A' - 1 + edid_read_bits(5));
  P("eisa id: %c%c%c\n", id[0], id[1], id[2]);
  P("product code: %x\n", u16le());
  uint32_t serial = u16le();
  serial |= u16le() << 16;
  P("serial number: %d\n", (int)serial);
  P("week of manufacture: %d\n", (int)u8());
  P("year of manufacture: %d\n", 1990 + (int)u8());
  uint32_t version = u8();
  P("EDID version: %d", (int)version);
  P(".%d\n", (int)u8());

  if (edid_read_bits(1)) {
    P("Digital Input\n");
    uint32_t depth = edid_read_bits(3), itf = edid_read_bits(4);
    P(" Bit depth: %u = %s\n", depth, kDepth[depth]);
    P(" Video interface: %u = %s\n", itf, itf < 5 ? kInterface[itf] : "other");
  } else {
    P("Analog Input\n");
    P(" White and sync levels: %u\n", edid_read_bits(2));
    P(" Blank-to-black setup: %u\n", edid_read_bits(1));
    P(" Separate sync: %u\n", edid_read_bits(1));
    P(" Composite sync: %u\n", edid_read_bits(1));
    P(" Sync on green: %u\n", edid_read_bits(1));
    P(" Serrated VSync: %u\n", edid_read_bits(1));
  }
  uint32_t hcm = u8(), vcm = u8();
  P("Maximum image size: %u cm x %u cm\n", hcm, vcm);
  P("Display gamma %.2f\n", (u8() + 100) / 100.0);
  P("DPMS standby %u suspend %u active-off %u\n", edid_read_bits(1), edid_read_bits(1),
    edid_read_bits(1));
  P("Display type: %u\n", edid_read_bits(2));
  P("sRGB: %u\n", edid_read_bits(1));
  P("Preferred timing mode: %u\n", edid_read_bits(1));
  P("GTF: %u\n", edid_read_bits(1));
  uint32_t lsb[2] = {u8(), u8()}, chroma[8];
  for (int i = 0; i < 8; i++) {
    uint32_t low = lsb[i / 4] >> (6 - 2 * (i % 4)) & 3;
    chroma[i] = u8() << 2 | low;
  }
  static const char *const kChroma[8] = {"Red x", "Red y", "Green x", "Green y",
                                         "Blue x", "Blue y", "White x", "White y"};
  for (int i = 0; i < 8; i++) P("%s: %.4f\n", kChroma[i], chroma[i] / 1024.0);

  uint32_t established = edid_read_bits(17);
  for (int i = 0; i < 17; i++) {
    int set = established >> (16 - i) & 1;
    if (i == 11)
      P("1024x768 87Hz interlaced: %d\n", set);
    else
      P("%ux%u %uHz: %d\n", kEstablished[i].w, kEstablished[i].h, kEstablished[i].rate, set);
    if (set && kEstablished[i].rate)
      edid_mode_add(kEstablished[i].w, kEstablished[i].h, kEstablished[i].rate, 0, 0);
  }
  uint32_t others[7];
  for (uint32_t &o : others) o = edid_read_bits(1);
  P("others: %u %u %u %u %u %u %u\n", others[0], others[1], others[2], others[3], others[4],
    others[5], others[6]);

  for (int i = 0; i < 8; i++) {
    uint32_t b0 = u8(), b1 = u8();
    if (b0 == 1 && b1 == 1) continue;
    int width = ((int)b0 + 31) * 8;
    static const int kAspect[4][2] = {{16, 10}, {4, 3}, {5, 4}, {16, 9}};
    const int *a = kAspect[b1 >> 6];
    int height = width * a[1] / a[0], rate = (int)(b1 & 63) + 60;
    P("Mode %d: X resolution: %4dx%d  ", i, width, height);
    P("X:Y pixel ratio: %d:%d  ", a[0], a[1]);
    P("Vertical frequency: %d\n", rate);
    edid_mode_add(width, height, rate, 0, 0);
  }

  for (int i = 0; i < 4; i++) {
    seek(54 + 18 * (uint32_t)i);
    decode_descriptor(i + 1);
  }
  seek(126);
  uint32_t extensions = u8();
  P("Number of extensions: %u\n", extensions);
  char verdict[40];
  P("Checksum 0x%x, %s\n", block[127], edid_checksum_text(block, 128, verdict, sizeof verdict));
  // Only a CEA-861 extension (tag 2) is decoded; block maps and other
  // extension kinds carry no video modes we show.
  if (extensions && block[128] == 2) decode_cea(block);
  g_table.data = nullptr;
}
