// Connects file playback to the display thread: its output calls, mode,
// pass-through settings and frame FIFOs, and the decoding run in mode 4.
#pragma once

struct DisplayEnv;

// Fills playback_display_ops for env (whose FIFOs display_prepare made) and
// decode_main_hook. 0, or -1 without the FIFOs.
int display_connect_playback(DisplayEnv *env);
