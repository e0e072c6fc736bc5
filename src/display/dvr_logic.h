// The DVR logic: the one place where recording, snapshots, playback and the
// menu screens start and stop. It runs on the OSD/menu thread: gui_start
// once, then dvr_tick until quit. Other threads post keys (dvr_keys.h).
#pragma once
#include <cstdint>

#include "display/osd_display.h"

// Splash screen, language, the first status line, the USB self-test; sets
// gui_started.
void gui_start(GuiContext *ctx);
// Waits up to 1 s for a key and acts on it.
void dvr_tick(GuiContext *ctx);
