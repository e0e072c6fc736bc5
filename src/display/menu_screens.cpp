// Stand-ins for the screens still to come: each logs that it was asked for
// and returns as "back" would.
#include "display/menu_screens.h"

#include "core/log.h"

namespace {
int absent(const char *name) {
  log_printf("%s: screen not available\n", name);
  return 0;
}
}  // namespace

void main_menu(GuiContext *) { absent("main_menu"); }
void play_video_browser(GuiContext *) { absent("play_video_browser"); }
void diagnostics_menu(GuiContext *) { absent("diagnostics_menu"); }
void overlays_menu(GuiContext *) { absent("overlays_menu"); }
void overlay_key_action(GuiContext *, int) { absent("overlay_key_action"); }
void overlay_apply(GuiContext *, int) { absent("overlay_apply"); }
int advanced_options_menu(GuiContext *) { return absent("advanced_options_menu"); }
int advanced_video_menu(GuiContext *) { return absent("advanced_video_menu"); }
int keypad_gpio_menu(GuiContext *) { return absent("keypad_gpio_menu"); }
void firmware_update_screen(GuiContext *, const char *) { absent("firmware_update_screen"); }
void recording_storage_menu(GuiContext *) { absent("recording_storage_menu"); }
void recording_format_menu(GuiContext *) { absent("recording_format_menu"); }
void audio_input_menu(GuiContext *) { absent("audio_input_menu"); }
void bitrate_menu(GuiContext *) { absent("bitrate_menu"); }
void secondary_overlay_menu(GuiContext *, int) { absent("secondary_overlay_menu"); }
