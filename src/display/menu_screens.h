// The menu screens the DVR logic opens. Those not built yet log their name
// and return "back" (0).
#pragma once
#include "display/osd_display.h"

void main_menu(GuiContext *ctx);
void play_video_browser(GuiContext *ctx);
void diagnostics_menu(GuiContext *ctx);
void overlays_menu(GuiContext *ctx);
void overlay_key_action(GuiContext *ctx, int overlay);
// Re-applies the current secondary overlay at its position.
void overlay_apply(GuiContext *ctx, int overlay);
int advanced_options_menu(GuiContext *ctx);
int advanced_video_menu(GuiContext *ctx);
int keypad_gpio_menu(GuiContext *ctx);
void firmware_update_screen(GuiContext *ctx, const char *path);
void recording_storage_menu(GuiContext *ctx);
void recording_format_menu(GuiContext *ctx);
void audio_input_menu(GuiContext *ctx);
void bitrate_menu(GuiContext *ctx);
void secondary_overlay_menu(GuiContext *ctx, int overlay);
