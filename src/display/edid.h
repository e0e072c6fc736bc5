// The monitor's EDID (base block and one CEA-861 extension, 256 bytes):
// the decoder that prints every field to an optional stream and fills the
// table of the video modes the monitor declares, and the lookups the display
// side asks. The EDID is outside input: every read stays inside the 256
// bytes whatever offsets and lengths the data claims.
#pragma once
#include <cstdint>
#include <cstdio>

enum { EDID_SIZE = 256, EDID_MODES = 64 };

struct EdidMode {
  uint16_t width;   // 0: empty entry
  uint16_t height;  // lines of one field for an interlaced timing
  uint8_t rate;     // vertical rate in Hz
  uint8_t flags;    // bit 0 interlaced
  uint8_t unused[2];
};
static_assert(sizeof(EdidMode) == 8, "EdidMode is 8 bytes");

struct EdidModeTable {
  EdidMode modes[EDID_MODES];
  uint8_t valid;          // the last decoded block began with the EDID header
  uint32_t pos;           // bit reader position, in bits from the block start
  const uint8_t *data;    // bit reader data (EDID_SIZE bytes)
};

// The one table of the monitor.
EdidModeTable *edid_table(void);
// Where the decoder prints its description; NULL (the default) discards it.
void edid_set_output(FILE *out);

// Bit reader over the table's block: the next n bits (n <= 32), most
// significant first; bits beyond the block's end read as 0.
uint32_t edid_read_bits(int n);
// Reads n bits and reports when they differ from expected.
uint32_t edid_read_reserved(int n, uint32_t expected);
// "correct", or "incorrect, should be 0x%02x"; buf holds the text.
const char *edid_checksum_text(const uint8_t *block, int len, char *buf, int size);

// Zeroes the table and decodes block (EDID_SIZE bytes) into it.
void edid_decode(const uint8_t *block);
// Index of the first entry that matches (a field of 0, or interlaced < 0,
// matches anything), or -1.
int edid_mode_lookup(int width, int height, int rate, int interlaced);
void edid_mode_add(int width, int height, int rate, int interlaced, int preferred);
// The table lookup of display_edid_lookup (rate in thousandths of Hz): at the
// rate, then at twice the rate for sizes up to 1280 x 1024.
int edid_lookup_rate(int width, int height, int rate_milli, int interlaced);

// One row of the CEA-861 short video descriptor table (VIC 1 to 64).
struct EdidVic {
  uint16_t width, height;
  uint8_t rate;   // field rate for interlaced rows
  uint8_t flags;  // bit 0 interlaced, bit 1 16:9
};
extern const EdidVic edid_vics[65];  // indexed by VIC; row 0 empty
// The printed line of a VIC, e.g. " 1 DMT0659   4:3  640x480p @ 60Hz".
const char *edid_vic_text(int vic, char *buf, int size);
