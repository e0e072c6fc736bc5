// The three fonts of the on-screen menu, one-bit glyphs from code 32 up in
// the menu's code page (ASCII, then the PC's code page 437 with Á, ã and õ at
// 157, 158 and 159). Cells: 9x13 (bits 8 to 0 of a byte, the left column
// empty), 12x16 (bits 14 to 3 of a u16), 15x26 (bits 21 to 7 of a 24-bit
// big-endian row; 26 of the 32 rows are drawn).
#pragma once
#include <cstdint>

enum { OSD_MENU_GLYPHS9 = 256 - 32, OSD_MENU_GLYPHS = 169 - 32 };

// The 9x13 font is the overlay's 8x13 font 1 for ASCII (codes 32 to 126)
// and its own table above (codes 127 to 255).
enum { OSD_MENU_HIGH9 = 256 - 127 };
extern const uint8_t osd_menu_font9_high[OSD_MENU_HIGH9][13];
// The 13 rows of glyph g (code g + 32, below OSD_MENU_GLYPHS9).
const uint8_t *osd_menu_font9(int g);
extern const uint16_t osd_menu_font12[OSD_MENU_GLYPHS][16];
extern const uint8_t osd_menu_font15[OSD_MENU_GLYPHS][32][3];
