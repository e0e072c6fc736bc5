#include "display/display_playback.h"

#include "display/display_hd.h"
#include "storage/playback.h"

namespace {

DisplayEnv *g_env;

}  // namespace

int display_connect_playback(DisplayEnv *env) {
  g_env = env;
  PlaybackDisplayOps &o = playback_display_ops;
  o.free_fifo = env->frame_fifos[0];
  o.full_fifo = env->frame_fifos[1];
  o.get_mode = [] { return (int)g_env->mode; };
  o.set_mode = [](int m) { g_env->mode = m; };
  o.get_setting = [](int which) {
    return which == 0 ? g_env->forced_height.load() : g_env->passthru_color_space.load();
  };
  o.set_setting = [](int which, int32_t v) {
    (which == 0 ? g_env->forced_height : g_env->passthru_color_space) = v;
  };
  o.wakeup = displayWakeup;
  o.poll_wait = display_poll_wait;
  o.set_resolution = display_hd_set_resolution;
  o.queue_buffer = [](Buffer_Handle b, void *picture, uint64_t) {
    return hd_display ? display_queue_buffer(hd_display, b, picture) : -1;
  };
  o.get_fps = display_get_fps;
  o.close_output = [] {
    if (hd_display) Display_delete(hd_display);
    hd_display = nullptr;
  };
  decode_main_hook = [](DisplayEnv *) { return decodeMain(); };
  return o.free_fifo && o.full_fifo ? 0 : -1;
}
