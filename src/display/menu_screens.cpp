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
