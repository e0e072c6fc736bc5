#include "display/dvr_logic.h"

#include "display/dvr_keys.h"

void gui_start(GuiContext *) { gui_started = 1; }

void dvr_tick(GuiContext *ctx) { dvr_wait_key(ctx, 1); }
