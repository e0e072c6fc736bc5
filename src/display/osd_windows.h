// The OSD window registers of the video back end, which follow the output
// standard: the 640 x 480 menu planes are shown as they are on SD outputs and
// zoomed by two on every other.
#pragma once
#include <cstdint>

// 1 for SD standards, 2 otherwise (the GUI and the pointer input place
// things with it).
extern volatile int osd_scale;

void osd_config_windows(int std);

// The rectangular hardware cursor of the OSD block, drawn by the back end
// over both planes: control register value (bit 0 on), position and size in
// OSD window pixels (menu pixels times osd_scale).
void osd_cursor_config(uint32_t control, int x, int y, int width, int height);
void osd_cursor_move(int x, int y);
