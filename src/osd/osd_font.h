// The overlay fonts and the text renderer. Four fonts, selected by the
// configuration's Enabled value (0 = no text): 1 is 8x13, 2 is 16x16, 3 is
// 19x32 and 4 is font 3 with every pixel doubled (38x64). Each holds the
// printable characters 32 to 126, glyph n at index n - 32, rows top first,
// the most significant bit the leftmost pixel.
#pragma once
#include <cstdint>
#include "core/param_block.h"

#define OSD_FONTS 4
#define OSD_GLYPHS 95

extern const uint8_t osd_font1_glyphs[OSD_GLYPHS][13];
extern const uint16_t osd_font2_glyphs[OSD_GLYPHS][16];
extern const uint8_t osd_font3_glyphs[OSD_GLYPHS][32][3];  // the first 19 bits of each row

// Cell sizes by Enabled value; index 0 is the same as font 1.
extern const uint8_t osd_cell_width[OSD_FONTS + 1];
extern const uint8_t osd_cell_height[OSD_FONTS + 1];
// The cell table index of an Enabled value (out-of-range values count as 0).
static inline int osd_cell_index(int font) { return font >= 0 && font <= OSD_FONTS ? font : 0; }

// Where a text goes: the frame, its geometry (layout 0 or 9 NV12, 2 UYVY;
// other layouts draw no text) and the text's placement as the channel
// computed it.
struct OsdTextTarget {
  uint8_t *frame;
  uint32_t pitch;
  uint32_t lines;
  uint32_t layout;
  uint32_t text_offset;     // byte offset of the text's top-left pixel
  int32_t chars_per_line;
};

// Draws text with a font (1 to 4) and style (0 to 7, the low three bits of
// Transparent). Every write stays inside the frame's first `lines` lines and
// `pitch` bytes of each, whatever the placement says.
void osd_render(const OsdTextTarget *target, int font, int style, const char *text);

// Draws the channel's formatted text with config's font and style at the
// channel's text position.
void osdRenderText(int channel, const OsdTextConfig *config, uint8_t *frame);
