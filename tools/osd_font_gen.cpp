// Generates src/osd/osd_fonts_data.cpp, the glyph tables of the overlay
// fonts, from three console fonts in PC Screen Font form (PSF 1 or 2, not
// compressed, with a Unicode table):
//   osd_font_gen FIXED_8x13.psf BOLD_8x16.psf BOLD_16x32.psf > osd_fonts_data.cpp
//   osd_font_gen --menu FIXED_8x13.psf BOLD_8x16.psf BOLD_12x24.psf > osd_menu_fonts_data.cpp
// Font 1 is the 8x13 font as it is; font 2 is the 8x16 font with every column
// doubled (16x16); font 3 is the 16x32 font in a 19-pixel cell, one blank
// column on the left and two on the right. tools/osd_fonts.sh fetches the
// fonts and runs this.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace {

struct Psf {
  unsigned width = 0, height = 0, bytes_per_row = 0, glyph_size = 0, count = 0;
  std::vector<uint8_t> data;
  size_t glyphs = 0;       // offset of glyph 0
  int map[128];            // glyph index of each ASCII code point, -1 none
  std::map<uint32_t, int> uni;  // glyph index of every code point listed
};

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

int read_file(const char *path, std::vector<uint8_t> *out) {
  FILE *f = fopen(path, "rb");
  if (!f) return -1;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  fclose(f);
  return 0;
}

// Decodes one UTF-8 sequence; returns its length (0 at a malformed byte).
size_t utf8(const uint8_t *p, size_t left, uint32_t *cp) {
  if (p[0] < 0x80) return *cp = p[0], 1;
  size_t len = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 0;
  if (!len || len > left) return 0;
  uint32_t v = p[0] & (0x7F >> len);
  for (size_t i = 1; i < len; i++) v = v << 6 | (p[i] & 0x3F);
  *cp = v;
  return len;
}

int load_psf(const char *path, Psf *f) {
  if (read_file(path, &f->data) != 0) {
    fprintf(stderr, "%s: cannot read\n", path);
    return -1;
  }
  const std::vector<uint8_t> &d = f->data;
  for (int &m : f->map) m = -1;
  size_t table = 0;
  bool psf2 = false;
  if (d.size() >= 4 && d[0] == 0x36 && d[1] == 0x04) {
    f->count = (d[2] & 1) ? 512 : 256;
    f->width = 8;
    f->height = f->glyph_size = d[3];
    f->bytes_per_row = 1;
    f->glyphs = 4;
    if (!(d[2] & 6)) table = 0;
    else table = f->glyphs + (size_t)f->count * f->glyph_size;
  } else if (d.size() >= 32 && le32(&d[0]) == 0x864AB572u) {
    psf2 = true;
    f->glyphs = le32(&d[8]);
    f->count = le32(&d[16]);
    f->glyph_size = le32(&d[20]);
    f->height = le32(&d[24]);
    f->width = le32(&d[28]);
    f->bytes_per_row = (f->width + 7) / 8;
    if (le32(&d[12]) & 1) table = f->glyphs + (size_t)f->count * f->glyph_size;
  } else {
    fprintf(stderr, "%s: not a PSF font\n", path);
    return -1;
  }
  if (f->glyph_size < f->height * f->bytes_per_row ||
      f->glyphs + (uint64_t)f->count * f->glyph_size > d.size()) {
    fprintf(stderr, "%s: truncated\n", path);
    return -1;
  }
  if (!table) {
    for (unsigned c = 0; c < 128 && c < f->count; c++) f->map[c] = (int)c;
    return 0;
  }
  // The Unicode table lists, glyph by glyph, the code points it shows,
  // ended by 0xFFFF (PSF 1, u16) or 0xFF (PSF 2, UTF-8); sequences of
  // combining characters start with 0xFFFE or 0xFE and are skipped.
  unsigned g = 0;
  size_t i = table;
  bool in_seq = false;
  while (g < f->count && i < d.size()) {
    uint32_t cp;
    if (!psf2) {
      if (i + 2 > d.size()) break;
      cp = d[i] | d[i + 1] << 8;
      i += 2;
      if (cp == 0xFFFF) { g++, in_seq = false; continue; }
      if (cp == 0xFFFE) { in_seq = true; continue; }
    } else {
      if (d[i] == 0xFF) { g++, i++, in_seq = false; continue; }
      if (d[i] == 0xFE) { in_seq = true, i++; continue; }
      size_t n = utf8(&d[i], d.size() - i, &cp);
      if (!n) {
        fprintf(stderr, "%s: bad Unicode table\n", path);
        return -1;
      }
      i += n;
    }
    if (!in_seq && cp < 128 && f->map[cp] < 0) f->map[cp] = (int)g;
    if (!in_seq && !f->uni.count(cp)) f->uni[cp] = (int)g;
  }
  return 0;
}

// Row r of glyph g, left-aligned in 32 bits (bit 31 = leftmost).
uint32_t glyph_index_row(const Psf &f, int g, unsigned r) {
  const uint8_t *p = &f.data[f.glyphs + (size_t)g * f.glyph_size + r * f.bytes_per_row];
  uint32_t v = 0;
  for (unsigned b = 0; b < f.bytes_per_row && b < 4; b++) v |= (uint32_t)p[b] << (24 - 8 * b);
  return v & (f.width >= 32 ? ~0u : ~(~0u >> f.width));
}

uint32_t glyph_row(const Psf &f, int c, unsigned r) { return glyph_index_row(f, f.map[c], r); }

int check(const Psf &f, const char *path, unsigned w, unsigned h) {
  if (f.width != w || f.height != h) {
    fprintf(stderr, "%s: %ux%u, expected %ux%u\n", path, f.width, f.height, w, h);
    return -1;
  }
  for (int c = 32; c <= 126; c++) {
    if (f.map[c] < 0) {
      fprintf(stderr, "%s: no glyph for '%c'\n", path, c);
      return -1;
    }
  }
  return 0;
}

uint32_t doubled(uint32_t v8) {
  uint32_t out = 0;
  for (int b = 0; b < 8; b++)
    if (v8 & (0x80u >> b)) out |= 0xC000u >> (2 * b);
  return out;
}

void glyph_comment(int c) {
  if (c == '\\') printf("  // '\\\\'\n");
  else printf("  // '%c'\n", c);
}

// The menu fonts' code page: ASCII, then codes 127 to 255 as the PC's code
// page 437, except that 157, 158 and 159 hold the letters Portuguese needs.
uint32_t menu_code_point(int c) {
  static const uint16_t kHigh[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00C1, 0x00E3, 0x00F5,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
  };
  if (c < 127) return (uint32_t)c;
  if (c == 127) return 0x2302;
  return kHigh[c - 128];
}

// Row r of the menu glyph for code c, left-aligned; 0 when the font lacks it.
uint32_t menu_row(const Psf &f, int c, unsigned r) {
  auto it = f.uni.find(menu_code_point(c));
  if (it == f.uni.end() || r >= f.height) return 0;
  return glyph_index_row(f, it->second, r);
}

void menu_comment(int c) {
  if (c < 127 && c != '\\') printf("  // %d '%c'\n", c, c);
  else printf("  // %d U+%04X\n", c, menu_code_point(c));
}

// The on-screen menu fonts (src/display/osd_menu_fonts_data.cpp): 9x13 from
// the 8x13 font (codes 127 to 255, the left column empty; below, the
// overlay's font 1 of the same font serves), 12x16 from the
// 8x16 font and 15x26 from the 12x24 font (codes 32 to 168), each glyph
// centred in its cell.
int menu_fonts(const char *p13, const char *p16, const char *p24) {
  Psf f1, f2, f3;
  if (load_psf(p13, &f1) || check(f1, p13, 8, 13)) return 1;
  if (load_psf(p16, &f2) || check(f2, p16, 8, 16)) return 1;
  if (load_psf(p24, &f3) || check(f3, p24, 12, 24)) return 1;
  printf(
      "// Generated by tools/osd_font_gen --menu (tools/osd_fonts.sh); do not edit.\n"
      "//\n"
      "// 9x13: the misc-fixed 8x13 font of the X Window System, as the console\n"
      "// font Fixed13 of console-setup; public domain. Codes 32 to 126 are the\n"
      "// overlay's font 1 (src/osd/osd_fonts_data.cpp), generated from the same font.\n"
      "// 12x16 and 15x26: the bold 8x16 and 12x24 sizes of Terminus Font, as\n"
      "// console-setup's TerminusBold16 and TerminusBold24x12.\n"
      "//   Copyright (c) 2010 Dimitar Toshkov Zhekov, with Reserved Font Name\n"
      "//   \"Terminus Font\". Licensed under the SIL Open Font License, Version 1.1;\n"
      "//   the licence text is in src/osd/osd_fonts_OFL.txt. The tables below are\n"
      "//   a modified version of the font and carry the same licence.\n"
      "#include \"display/osd_fonts.h\"\n\n#include \"osd/osd_font.h\"\n\n");
  // ASCII is the overlay's font 1, made from the same font by this program.
  printf("const uint8_t osd_menu_font9_high[OSD_MENU_HIGH9][13] = {\n");
  for (int c = 127; c <= 255; c++) {
    menu_comment(c);
    printf("  {");
    for (unsigned r = 0; r < 13; r++) printf("%s0x%02x", r ? ", " : "", menu_row(f1, c, r) >> 24);
    printf("},\n");
  }
  printf("};\n\n");
  printf("const uint8_t *osd_menu_font9(int g) {\n"
         "  return g < OSD_GLYPHS ? osd_font1_glyphs[g] : osd_menu_font9_high[g - OSD_GLYPHS];\n"
         "}\n\n");
  printf("const uint16_t osd_menu_font12[OSD_MENU_GLYPHS][16] = {\n");
  for (int c = 32; c <= 168; c++) {
    menu_comment(c);
    printf("  {");
    for (unsigned r = 0; r < 16; r++)  // columns 2 to 9 of 12: bits 12 to 5
      printf("%s%s0x%04x", r ? "," : "", r == 8 ? "\n   " : r ? " " : "", (menu_row(f2, c, r) >> 24) << 5);
    printf("},\n");
  }
  printf("};\n\n");
  printf("const uint8_t osd_menu_font15[OSD_MENU_GLYPHS][32][3] = {\n");
  for (int c = 32; c <= 168; c++) {
    menu_comment(c);
    printf("  {");
    for (unsigned r = 0; r < 32; r++) {
      // Rows 1 to 24 of 26, columns 1 to 12 of 15: bits 20 to 9.
      uint32_t v = r >= 1 && r <= 24 ? (menu_row(f3, c, r - 1) >> 20) << 9 : 0;
      printf("%s{0x%02x, 0x%02x, 0x%02x}", r == 0 ? "" : r % 4 ? ", " : ",\n   ", (v >> 16) & 0xFF,
             (v >> 8) & 0xFF, v & 0xFF);
    }
    printf("},\n");
  }
  printf("};\n");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 5 && !strcmp(argv[1], "--menu")) return menu_fonts(argv[2], argv[3], argv[4]);
  if (argc != 4) {
    fprintf(stderr, "usage: %s FIXED_8x13.psf BOLD_8x16.psf BOLD_16x32.psf\n", argv[0]);
    return 2;
  }
  Psf f1, f2, f3;
  if (load_psf(argv[1], &f1) || check(f1, argv[1], 8, 13)) return 1;
  if (load_psf(argv[2], &f2) || check(f2, argv[2], 8, 16)) return 1;
  if (load_psf(argv[3], &f3) || check(f3, argv[3], 16, 32)) return 1;

  printf(
      "// Generated by tools/osd_font_gen (tools/osd_fonts.sh); do not edit.\n"
      "//\n"
      "// Font 1 (8x13): the misc-fixed 8x13 font of the X Window System, as the\n"
      "// console font Fixed13 of console-setup; public domain.\n"
      "// Font 2 (16x16, each column doubled) and font 3 (16x32 in a 19x32 cell):\n"
      "// the bold 8x16 and 16x32 sizes of Terminus Font, as console-setup's\n"
      "// TerminusBold16 and TerminusBold32x16.\n"
      "//   Copyright (c) 2010 Dimitar Toshkov Zhekov, with Reserved Font Name\n"
      "//   \"Terminus Font\". Licensed under the SIL Open Font License, Version 1.1;\n"
      "//   the licence text is in src/osd/osd_fonts_OFL.txt. The tables below are\n"
      "//   a modified version of the font and carry the same licence.\n"
      "#include \"osd/osd_font.h\"\n\n");

  printf("const uint8_t osd_font1_glyphs[OSD_GLYPHS][13] = {\n");
  for (int c = 32; c <= 126; c++) {
    glyph_comment(c);
    printf("  {");
    for (unsigned r = 0; r < 13; r++) printf("%s0x%02x", r ? ", " : "", glyph_row(f1, c, r) >> 24);
    printf("},\n");
  }
  printf("};\n\n");

  printf("const uint16_t osd_font2_glyphs[OSD_GLYPHS][16] = {\n");
  for (int c = 32; c <= 126; c++) {
    glyph_comment(c);
    printf("  {");
    for (unsigned r = 0; r < 16; r++)
      printf("%s%s0x%04x", r ? "," : "", r == 8 ? "\n   " : r ? " " : "", doubled(glyph_row(f2, c, r) >> 24));
    printf("},\n");
  }
  printf("};\n\n");

  printf("const uint8_t osd_font3_glyphs[OSD_GLYPHS][32][3] = {\n");
  for (int c = 32; c <= 126; c++) {
    glyph_comment(c);
    printf("  {");
    for (unsigned r = 0; r < 32; r++) {
      uint32_t v = glyph_row(f3, c, r) >> 1;  // one blank column on the left
      printf("%s{0x%02x, 0x%02x, 0x%02x}", r == 0 ? "" : r % 4 ? ", " : ",\n   ", v >> 24, (v >> 16) & 0xFF,
             (v >> 8) & 0xFF);
    }
    printf("},\n");
  }
  printf("};\n");
  return 0;
}
