// The menu's layout record: screen size in menu pixels, positions, the
// status line, the icons and the settings of the GUI toolkit. One static
// record, set from the parameters by osd_layout_init and by the settings
// screens; read by the toolkit and the input.
#pragma once
#include <cstdint>

enum { OSD_ICON_PAUSE, OSD_ICON_PLAY, OSD_ICON_FF, OSD_ICON_REWIND, OSD_ICON_LOAD,
       OSD_ICON_END, OSD_ICON_RECORD, OSD_ICON_MUTE, OSD_ICON_COUNT };

// A secondary text overlay being edited (title, coded, extra, additional).
// Its lines are packed one after the other, each NUL-ended.
struct TextOverlayConf {
  int32_t font, x, y, background;
  const char *file;            // its text file
  int32_t source;              // storage source it was loaded from, -1 none
  char *text;                  // owned (malloc), NULL when empty
  uint32_t text_size;          // bytes used in text
};

struct OsdLayout {
  int32_t key_accept;          // key event values taken: 3 presses and repeats, 1 presses
  int32_t screen_height;       // OSD height / scale, at most 480
  int32_t menu_alpha;          // attribute of menu and message boxes
  int32_t status_x, status_y;  // the status line
  int32_t screen_width;        // OSD width / scale, at most 640
  int32_t message_x;           // x of the transient message shown, -1 none
  int32_t current_overlay;     // secondary overlay being edited, 1 to 4, 0 none
  TextOverlayConf overlays[4];
  char status_text[60];        // the status-line text drawn last
  int32_t text_x, text_y;      // origin of message boxes and single texts
  uint16_t icons[OSD_ICON_COUNT][16];   // 16 rows, leftmost pixel in the top bit
  int32_t rec_countdown;       // -1 always shown, 0 hidden, N hide after N - 1 updates
  const char **lang;           // the language table
  int32_t message_timeout;     // seconds a message box waits
  int32_t browse_source;       // 0 internal, 1 external, 2 SD
  char coded_message[33];      // the coded overlay's chosen message (a copy), "" none
};
extern OsdLayout osd_layout;

// Presses and auto-repeats (on), or presses only.
void set_key_repeat(int on);
