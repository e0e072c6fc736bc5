// Restarting the video processing front end: the capture thread calls it
// when the capture chain stopped delivering or delivers only black.
#pragma once

// What the reset tells the subsystems above core; NULL hooks are skipped.
// The display's run mode and wake-up go through param_apply_hooks and
// core_hooks.
struct VpssResetHooks {
  void (*gui_redraw)(void);          // marks the OSD/menu thread for a redraw
  void (*encoder_reset)(int channel);  // raises a video encoder channel's reset flag
};
extern VpssResetHooks vpss_reset_hooks;

// Takes codec_mutex, then framecopy_mutex, around the HDVICP reset.
void resetVPSS(const char *caller);
