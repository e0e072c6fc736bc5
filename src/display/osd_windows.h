// The OSD window registers of the video back end, which follow the output
// standard: the 640 x 480 menu planes are shown as they are on SD outputs and
// zoomed by two on every other.
#pragma once

// 1 for SD standards, 2 otherwise (the GUI and the pointer input place
// things with it).
extern volatile int osd_scale;

void osd_config_windows(int std);
