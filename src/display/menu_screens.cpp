// Stand-ins for the screens still to come: each logs that it was asked for
// and returns as "back" would. A screen's own file replaces its line here.
#include "display/menu_screens.h"

#include "core/log.h"

namespace {
int absent(const char *name) {
  log_printf("%s: screen not available\n", name);
  return 0;
}
}  // namespace

// main menu, Setup and the choosers
void main_menu(GuiContext *, int) { absent("main_menu"); }
void setup_menu(GuiContext *) { absent("setup_menu"); }
void firmware_update_screen(GuiContext *) { absent("firmware_update_screen"); }

// advanced configuration and service
void advanced_options_menu(GuiContext *) { absent("advanced_options_menu"); }
void advanced_video_menu(GuiContext *) { absent("advanced_video_menu"); }
void keypad_config_menu(GuiContext *) { absent("keypad_config_menu"); }
void display_output_menu(GuiContext *) { absent("display_output_menu"); }
void system_info_menu(GuiContext *) { absent("system_info_menu"); }
void encoder_setup_menu(GuiContext *) { absent("encoder_setup_menu"); }
void serial_setup_menu(GuiContext *) { absent("serial_setup_menu"); }
