// The advanced configuration screens and the service screens Setup opens:
// options of the menu itself, forced camera and display modes, the keypad
// lines, the display output with its confirmation countdown, system
// information with reset, save and load of the parameters, the rotary
// encoders and the serial port. Each screen changes the live parameters and
// saves and applies them when the user goes back.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "control/serial_port.h"
#include "core/firmware.h"
#include "core/global.h"
#include "core/log.h"
#include "core/process_util.h"
#include "core/mtd.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/param_table.h"
#include "display/display_hd.h"
#include "display/display_std.h"
#include "display/display_tx.h"
#include "display/dvr_keys.h"
#include "display/edid.h"
#include "display/gui_toolkit.h"
#include "display/screens/menu_screens.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "osd/osd_channel.h"
#include "platform/host_root.h"
#include "storage/filesys.h"

namespace {

// Language rows these screens show.
enum {
  T_KEYPAD_TITLE = 18, T_KEYPAD_ACTION_TITLE = 19, T_ACTION_FIRST = 20, T_UNUSED = 35,
  T_BACK_OPTION = 36, T_ON_BOTTOM = 37, T_ON_TOP = 38, T_OFF = 39, T_EXT_PORTS = 40,
  T_ENABLED = 41, T_DISABLED = 42, T_SET_OFFSET = 63, T_UNITS_TITLE = 70, T_UNITS_LINE = 71,
  T_CALIBRATE_TITLE = 72, T_CALIBRATED = 73, T_SET_ZERO = 74, T_SET_CALIBRATION = 75,
  T_SET_OFFSET_ROW = 76, T_SETUP_ENCODER = 77, T_UNITS = 78, T_ZERO_SET = 79,
  T_SELECT_ENCODER = 80, T_ENCODER_1 = 81, T_ENCODER_2 = 82, T_MOVE_UP = 104,
  T_MOVE_RIGHT = 107, T_CHOOSE_STORAGE = 122, T_INTERNAL = 123, T_EXTERNAL = 124,
  T_USB = 127, T_SYSINFO_TITLE = 128, T_RESET_PARAMS = 129, T_SAVE_PARAMS = 130,
  T_LOAD_PARAMS = 131, T_SERIAL_NUMBER = 132, T_FIRMWARE_VER = 133, T_BOOTLOADER_VER = 134,
  T_NOT_PRESENT = 135, T_NOT_READY = 136, T_FREE = 137, T_RESET_DONE = 138, T_SAVED_TO = 139,
  T_SAVE_FAILED = 140, T_LOADED_FROM = 141, T_LOAD_FAILED = 142, T_PRESS_OK = 151,
  T_STD_RESET = 152, T_NO = 188, T_PARAMS_MENU = 252, T_FAILED_SAVE = 280,
  T_UP_SNAPSHOT = 302, T_REC_LED = 310, T_UNSUPPORTED_FORMAT = 326, T_FORMAT_CONFIRM = 334,
  T_FORMAT_YES = 335, T_FORMATTING = 336, T_SERIAL_TITLE = 353, T_PROTOCOL = 354,
  T_BAUDRATE = 355, T_BAUDRATE_TITLE = 359, T_CALIBRATION_ZERO = 371, T_PROTOCOL_TITLE = 372,
  T_TCP_SERVER = 373, T_TCP_CLIENT = 374, T_UDP_PEER = 375, T_NONE = 376, T_REC_LED_TITLE = 384,
  T_ACTIVE_HIGH = 385, T_ACTIVE_LOW = 386, T_ADVANCED = 402, T_ADV_OPTIONS = 403,
  T_ADV_VIDEO = 404, T_KEYPAD_GPIO = 405, T_DISPLAY_OUTPUT_TITLE = 407, T_AUTO = 408,
  T_SD_CARD = 425,
};

ParamBlock *params(void) { return get_param_block(); }

// Takes the key a message box left in the mailbox (0: none came).
DvrKey take_key(void) {
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey k = key_mailbox.key_word;
  key_mailbox.key_word = 0;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  return k;
}

// The display thread's record, through the hooks core fills in.
void display_handover(int standard, int output, int mode) {
  if (param_apply_hooks.display_set_std) param_apply_hooks.display_set_std(standard);
  if (output >= 0 && param_apply_hooks.display_set_output) param_apply_hooks.display_set_output(output);
  if (param_apply_hooks.display_set_run_mode) param_apply_hooks.display_set_run_mode(mode);
  displayWakeup();
}

const char *on_off(bool on) { return T(on ? T_ENABLED : T_DISABLED); }

// The action name of a keypad line's value (0 .. 18).
const char *keypad_action_text(int v, char *buf, size_t size) {
  if (v == 17 || v == 18) {
    snprintf(buf, size, "%s %s", T(T_REC_LED), T(v == 17 ? T_ACTIVE_HIGH : T_ACTIVE_LOW));
    return buf;
  }
  if (v < 0 || v > 16) return T(T_UNUSED);
  // Bits 13 to 16: "Unused", the two encoder resets, "Up/Snapshot".
  static const int tail[] = {T_UNUSED, T_UNUSED - 2, T_UNUSED - 1, T_UP_SNAPSHOT};
  return T(v < 13 ? T_ACTION_FIRST + v : tail[v - 13]);
}

// The volume the parameter file goes to or comes from: the user's choice
// when both USB volumes are there; -1 when none is.
int choose_volume(GuiContext *ctx) {
  bool in = filesys_is_mounted(STORAGE_INT), ex = filesys_is_mounted(STORAGE_EXT);
  if (in && ex) {
    const char *items[] = {T(T_CHOOSE_STORAGE), T(T_INTERNAL), T(T_EXTERNAL)};
    int row = show_menu(ctx, 3, items, 1);
    return row == 1 ? STORAGE_INT : row == 2 ? STORAGE_EXT : -1;
  }
  if (in) return STORAGE_INT;
  if (ex && !params()->dvr_disable_ext_config) return STORAGE_EXT;
  return filesys_is_mounted(STORAGE_MMC) ? STORAGE_MMC : -1;
}

void params_file_menu(GuiContext *ctx) {
  const char *items[] = {"== Reset/Save/Load Params ==", T(T_RESET_PARAMS), T(T_SAVE_PARAMS),
                         T(T_LOAD_PARAMS)};
  int row = show_menu(ctx, 4, items, 1);
  if (row == 1) reset_params(ctx);
  else if (row == 2) save_params_to_storage(ctx);
  else if (row == 3) load_params_from_storage(ctx);
}

// Moves the status line's position with the "STATUS MSG" label drawn there.
void status_position_menu(GuiContext *ctx) {
  const char *label = "STATUS MSG";
  int x = osd_layout.status_x, y = osd_layout.status_y, step = 5;
  int w = osd_layout.screen_width, h = osd_layout.screen_height;
  char movement[48];
  const char *items[] = {"== Status Message Position ==", T(T_MOVE_UP), T(T_MOVE_UP + 1),
                         T(T_MOVE_UP + 2), T(T_MOVE_RIGHT), movement, "Reset to default"};
  int row = 1;
  for (;;) {
    osd_draw_label(ctx, x, y, label);
    snprintf(movement, sizeof movement, "Movement : %s", step == 1 ? "Fine (1 px)" : "Coarse (5 px)");
    row = show_menu(ctx, 7, items, row);
    osd_erase_text(ctx, x, y, label);
    if (row <= 0) break;
    if (row == 1) y -= step;
    else if (row == 2) y += step;
    else if (row == 3) x -= step;
    else if (row == 4) x += step;
    else if (row == 5) step = step == 1 ? 5 : 1;
    else x = y = 20;
    if (y < 5) y = 5;
    if (y >= h - 18) y = h - 19;
    if (x < 5) x = 5;
    if (x > w) x = w;
  }
  osd_flush(ctx);
  param_write_begin();
  params()->dvr_status_x = (uint16_t)x;
  params()->dvr_status_y = (uint16_t)y;
  param_write_end();
  osd_layout.status_x = x;
  osd_layout.status_y = y;
  save_and_apply_params();
}

// A chooser whose rows 1 .. n stand for the values 0 .. n - 1.
void value_menu(GuiContext *ctx, const char *const *items, int n, uint8_t *value) {
  int row = show_menu(ctx, n + 1, const_cast<const char **>(items), *value < n ? *value + 1 : 1);
  if (row > 0) *value = (uint8_t)(row - 1);
}

// Every built-in text a line, a line break inside a text written as "\n"
// (the language loader's escape), so line n is text n again on reload.
void create_english(GuiContext *ctx) {
  int source = choose_volume(ctx);
  FILE *f = source >= 0 ? filesys_fopen(source, "English.txt", "wb") : nullptr;
  bool ok = f != nullptr;
  for (int i = 0; ok && i < LANG_COUNT; i++) {
    for (const char *s = lang_english[i]; *s && ok; s++)
      ok = (*s == '\n' ? fputs("\\n", f) : fputc(*s, f)) >= 0;
    ok = ok && fputs("\r\n", f) >= 0;
  }
  if (f && filesys_fclose_w(source, f) != 0) ok = false;
  show_message(ctx, ok ? "English.txt saved" : T(T_FAILED_SAVE));
}

}  // namespace

void advanced_config_menu(GuiContext *ctx) {
  const char *items[] = {T(T_ADVANCED), T(T_ADV_OPTIONS), T(T_ADV_VIDEO), T(T_KEYPAD_GPIO), nullptr};
  for (int row = 1; row && !get_exit_code();) {
    row = show_menu(ctx, 4, items, row);
    if (row == 1) advanced_options_menu(ctx);
    else if (row == 2) advanced_video_menu(ctx);
    else if (row == 3) keypad_config_menu(ctx);
  }
  osd_flush(ctx);
}

void advanced_options_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  enum { ROWS = 17 };
  char text[ROWS][96];
  const char *items[ROWS] = {"== Advanced Options =="};
  for (int row = 1; row > 0 && !get_exit_code();) {
    static const int back[] = {T_OFF, T_ON_BOTTOM, T_ON_TOP};
    static const char *const sizes[] = {"default", "8x13", "16x16", "19x32", "38x64"};
    int rec = p->dvr_recording_show & 3;
    const char *rec_text = rec & 1 ? T(T_DISABLED) : rec & 2 ? "Hide 5sec" : T(T_ENABLED);
    snprintf(text[1], 96, "%s : %s", T(T_BACK_OPTION), T(back[p->keys_menu_back_option % 3]));
    snprintf(text[2], 96, "%s : %s", T(T_EXT_PORTS), on_off(!p->dvr_disable_ext_ports));
    snprintf(text[3], 96, "%s : %s", T(T_PARAMS_MENU), on_off(!p->dvr_hide_params_menu));
    snprintf(text[4], 96, "Reset/Save/Load Params...");
    snprintf(text[5], 96, "REC Status : %s", rec_text);
    snprintf(text[6], 96, "Show Status Red Dot : %s", on_off(p->dvr_recording_show & 4));
    snprintf(text[7], 96, "Status Message Position...");
    snprintf(text[8], 96, "Status Icons : %s", on_off(p->dvr_status_icons));
    snprintf(text[9], 96, "Esc stops recording : %s", on_off(!p->dvr_esc_disabled));
    snprintf(text[10], 96, "Menu Alpha...");
    snprintf(text[11], 96, "Create English.txt");
    snprintf(text[12], 96, "Audio Configuration...");
    snprintf(text[13], 96, "Keyboard layout");
    snprintf(text[14], 96, "Menu Text Size: %s", sizes[p->dvr_menu_text_size % 5]);
    snprintf(text[15], 96, "Splash Screen Time");
    for (int i = 1; i < 16; i++) items[i] = text[i];
    items[16] = nullptr;
    row = show_menu(ctx, 16, items, row);
    switch (row) {
      case 1: p->keys_menu_back_option = (uint8_t)((p->keys_menu_back_option + 1) % 3); break;
      case 2: p->dvr_disable_ext_ports ^= 1; break;
      case 3: p->dvr_hide_params_menu ^= 1; break;
      case 4: params_file_menu(ctx); break;
      case 5: {
        // Enabled -> Hide 5sec -> Disabled.
        int next = rec == 0 ? 2 : rec == 2 ? 1 : 0;
        p->dvr_recording_show = (uint8_t)((p->dvr_recording_show & ~3) | next);
        break;
      }
      case 6: p->dvr_recording_show ^= 4; break;
      case 7: status_position_menu(ctx); break;
      case 8: p->dvr_status_icons ^= 1; break;
      case 9: p->dvr_esc_disabled ^= 1; break;
      case 10: {
        const char *rows[] = {"== Menu Alpha ==", "0 - Transparent", "1", "2", "3", "4", "5", "6",
                              "7 - Opaque"};
        value_menu(ctx, rows, 8, &p->dvr_menu_alpha);
        osd_layout.menu_alpha = p->dvr_menu_alpha;
        break;
      }
      case 11: create_english(ctx); break;
      case 12: {
        const char *rows[] = {"== Audio Configuration ==", "Unknown", "7361", "7362", "7356", "7366"};
        value_menu(ctx, rows, 5, &p->dvr_audio_cfg);
        break;
      }
      case 13: {
        const char *rows[] = {"== Keyboard Layout ==", "US", "UK"};
        value_menu(ctx, rows, 2, &p->dvr_keyboard_layout);
        break;
      }
      case 14: {
        // The chooser counts from "8x13", the setting from "default".
        int cur = p->dvr_menu_text_size > 0 ? p->dvr_menu_text_size - 1 : 0;
        int size = text_size_menu(ctx, cur, 0);
        if (size != cur || p->dvr_menu_text_size > 0) {
          p->dvr_menu_text_size = (uint8_t)(size + 1);
          osd_set_font(p->dvr_menu_text_size);
        }
        break;
      }
      case 15: {
        const char *rows[] = {"== Splash Screen Time ==", "Disabled", "1", "2", "3", "4", "5",
                              "6", "7", "8", "9", "10"};
        value_menu(ctx, rows, 11, &p->dvr_splash_screen_time);
        break;
      }
    }
  }
  save_and_apply_params();
}

void advanced_video_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  // Forced camera modes: the mode in bits 0 to 5, the analog-HD format in
  // bits 6 and 7.
  static const struct { int mode; const char *name; } modes[] = {
      {0, "Auto"}, {16, "1080p30"}, {15, "1080p25"}, {8, "720p60"}, {6, "720p50"},
      {5, "720p30"}, {4, "720p25"}, {1, "NTSC"}, {2, "PAL"}};
  enum { MODES = sizeof modes / sizeof modes[0] };
  struct Adjust { const char *name, *title; uint8_t *value; int min, max, def; };
  const Adjust adjust[] = {
      {"Brightness", "== Brightness : %d ==", &p->capture.brightness, 0, 255, 128},
      {"Contrast", "== Contrast : %d ==", &p->capture.contrast, 0, 255, 128},
      {"Hue", "== Hue : %d ==", (uint8_t *)&p->capture.hue, -128, 127, 0},
      {"Saturation", "== Saturation : %d ==", &p->capture.saturation, 0, 255, 128}};
  char text[11][64];
  const char *items[11] = {"== Advanced Video =="};
  for (int row = 1; row > 0 && !get_exit_code();) {
    for (int cam = 0; cam < 2; cam++) {
      uint8_t v = cam ? p->capture_force_input_mode2 : p->capture_force_input_mode;
      int mode = v & 0x3F;
      const char *name = "error";
      for (const auto &m : modes)
        if (m.mode == mode) name = m.name;
      const char *fmt = (mode == 0 || mode == 1 || mode == 2) ? "" : (v & 0xC0) == 64 ? " AHD"
                        : (v & 0xC0) == 128 ? " CVI" : " TVI";
      snprintf(text[1 + cam], 64, "Force camera %d mode: %s%s", cam + 1, name, fmt);
    }
    snprintf(text[3], 64, "Force display mode: %s", display_standard_name(p));
    snprintf(text[4], 64, "Allow display modes...");
    snprintf(text[5], 64, "Save EDID to internal");
    snprintf(text[6], 64, "Colorbars Test...");
    for (int i = 0; i < 4; i++) {
      int v = i == 2 ? (int)p->capture.hue : (int)*adjust[i].value;
      snprintf(text[7 + i], 64, "%-10s : %d", adjust[i].name, v);
    }
    for (int i = 1; i < 11; i++) items[i] = text[i];
    row = show_menu(ctx, 11, items, row);
    if (row == 1 || row == 2) {
      const char *list[MODES + 1] = {"== Force Camera Mode =="};
      for (int i = 0; i < MODES; i++) list[i + 1] = modes[i].name;
      int r = show_menu(ctx, MODES + 1, list, 1);
      if (r <= 0) continue;
      int mode = modes[r - 1].mode, format = 0;
      if (mode != 0 && mode != 1 && mode != 2) {
        const char *std[] = {"== Select AHD standard ==", "TVI", "AHD", "CVI"};
        int s = show_menu(ctx, 4, std, 1);
        if (s <= 0) continue;
        format = (s - 1) * 64;
      }
      (row == 1 ? p->capture_force_input_mode : p->capture_force_input_mode2) = (uint8_t)(mode | format);
      param_mark_changed(CG_CAPTURE);
    } else if (row == 3) {
      display_output_menu(ctx);
    } else if (row == 4) {
      static const struct { const char *name; int bit; } allow[] = {
          {"1080p30", 14}, {"1080p25", 15}, {"720p60", 9}, {"720p50", 10}, {"576p50", 8}, {"480p60", 7}};
      char rows[6][32];
      const char *list[7] = {"== Allow display modes not in EDID =="};
      for (int r = 1; r > 0 && !get_exit_code();) {
        for (int i = 0; i < 6; i++) {
          snprintf(rows[i], sizeof rows[i], "%s %s", allow[i].name,
                   on_off(p->dvr_allow_modes >> allow[i].bit & 1));
          list[i + 1] = rows[i];
        }
        r = show_menu(ctx, 7, list, r);
        if (r > 0) {
          toggle_allowed_mode(ctx, allow[r - 1].bit);
          param_mark_changed(CG_DISPLAY_MODE);
        }
      }
    } else if (row == 5) {
      const uint8_t *edid = display_read_edid();
      bool ok = edid && filesys_writefile(STORAGE_INT, "edid.dat", edid, EDID_SIZE) == 0;
      show_message(ctx, ok ? "EDID saved" : T(T_FAILED_SAVE));
    } else if (row == 6) {
      static const struct { const char *name; int std; } outs[] = {
          {"1080p30", VSTD_1080P_30}, {"1080p25", VSTD_1080P_25}, {"720p60", VSTD_720P_60},
          {"720p50", VSTD_720P_50}, {"480p60", VSTD_480P}, {"576p50", VSTD_576P},
          {"800x600p60", VSTD_800x600P_60}, {"1024x768p60", VSTD_1024x768P_60},
          {"1152x864p60", VSTD_1152x864P_60}, {"1280x768p60", VSTD_1280x768P_60},
          {"1280x800p60", VSTD_1280x800P_60}};
      enum { OUTS = sizeof outs / sizeof outs[0] };
      OsdTextConfig bars = p->display_osd;
      bars.enabled = bars.enabled ? bars.enabled : 1;
      snprintf(bars.message, sizeof bars.message, "Colorbars Test Mode ^d ^t");
      if (param_apply_hooks.osd_set_config) param_apply_hooks.osd_set_config(2, &bars);
      display_handover(p->display.standard, -1, DISPLAY_COLORBARS);
      const char *list[OUTS + 1] = {"Colorbars Test Mode"};
      for (int i = 0; i < OUTS; i++) list[i + 1] = outs[i].name;
      for (int r = 1; (r = show_menu(ctx, OUTS + 1, list, r)) > 0;) setDisplayStd(outs[r - 1].std);
      if (param_apply_hooks.osd_set_config) param_apply_hooks.osd_set_config(2, &p->display_osd);
      setDisplayStd(p->display.standard);
      startDisplayPassthru();
    } else if (row >= 7 && row <= 10) {
      const Adjust &a = adjust[row - 7];
      number_adjust_menu(ctx, a.title, a.value, 1, a.min, a.max, a.def);
      param_mark_changed(CG_CAPTURE);
    }
  }
  save_and_apply_params();
}

void keypad_config_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  char text[9][96], action[48];
  const char *items[11] = {T(T_KEYPAD_TITLE)};
  for (int row = 1; row > 0 && !get_exit_code();) {
    for (int i = 0; i < 9; i++) {
      snprintf(text[i], sizeof text[i], "DIO33V%d = %s", i, keypad_action_text(p->keys_map[i], action, sizeof action));
      items[i + 1] = text[i];
    }
    items[10] = "Load default keypad config";
    row = show_menu(ctx, 11, items, row);
    if (row == 10) {
      static const uint8_t defaults[9] = {0, 1, 2, 3, 4, 13, 5, 13, 13};
      param_write_begin();
      memcpy(p->keys_map, defaults, sizeof defaults);
      p->keys_menu_back_option = 0;
      param_write_end();
    } else if (row > 0) {
      const char *list[19] = {T(T_KEYPAD_ACTION_TITLE)};
      char names[17][48];
      for (int v = 0; v < 17; v++) list[v + 1] = keypad_action_text(v, names[v], sizeof names[v]);
      list[18] = T(T_REC_LED);
      int current = p->keys_map[row - 1];
      int r = show_menu(ctx, 19, list, current < 17 ? current + 1 : 18);
      if (r == 18) {
        const char *led[] = {T(T_REC_LED_TITLE), T(T_ACTIVE_HIGH), T(T_ACTIVE_LOW)};
        int l = show_menu(ctx, 3, led, current == 18 ? 2 : 1);
        if (l > 0) p->keys_map[row - 1] = (uint8_t)(16 + l);
      } else if (r > 0) {
        p->keys_map[row - 1] = (uint8_t)(r - 1);
      }
    }
  }
  save_and_apply_params();
  updateRecordingStatus(ctx);
}

void display_output_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  static const struct { const char *name; int std, width, height, output; } modes[] = {
      {nullptr, VSTD_AUTO, 0, 0, 2},         {"1080p60", VSTD_1080P_60, 0, 0, 2},
      {"1080p30", VSTD_1080P_30, 1920, 1080, 2}, {"1080p25", VSTD_1080P_25, 1920, 1080, 2},
      {"720p60", VSTD_720P_60, 1280, 720, 2}, {"720p50", VSTD_720P_50, 1280, 720, 2},
      {"576p50", VSTD_576P, 720, 576, 2},    {"~480p60", VSTD_480P, 720, 480, 2},
      {"NTSC-CVideo", VSTD_D1_NTSC, 720, 480, 0}, {"PAL-CVideo", VSTD_D1_PAL, 720, 576, 0}};
  enum { N = sizeof modes / sizeof modes[0] };
  const char *items[N + 1] = {T(T_DISPLAY_OUTPUT_TITLE)};
  int initial = 1;
  for (int i = 0; i < N; i++) {
    items[i + 1] = modes[i].name ? modes[i].name : T(T_AUTO);
    if (modes[i].std == p->display.standard) initial = i + 1;
  }
  // The 1080p60 output needs the transmitter that has it.
  if (!display_is_ch7038b()) items[2] = "~1080p60";
  int row = show_menu(ctx, N + 1, items, initial);
  if (row <= 0 || modes[row - 1].std == p->display.standard) return;

  const auto &m = modes[row - 1];
  uint8_t old_std = p->display.standard, old_output = p->display.output;
  uint16_t old_w = p->video[0].width, old_h = p->video[0].height;
  param_write_begin();
  p->display.standard = (uint8_t)m.std;
  p->display.output = (uint8_t)m.output;
  p->video[0].width = (uint16_t)m.width;
  p->video[0].height = (uint16_t)m.height;
  param_write_end();
  display_handover(m.std, m.output, DISPLAY_RESET);

  // One-second boxes counting down until a key comes.
  int saved_timeout = osd_layout.message_timeout;
  osd_layout.message_timeout = 1;
  DvrKey key = 0;
  char text[96];
  for (int n = 14; n >= 1 && !key && !get_exit_code(); n--) {
    snprintf(text, sizeof text, "%s %d", T(T_PRESS_OK), n);
    show_message(ctx, text);
    key = take_key();
  }
  osd_layout.message_timeout = saved_timeout;
  if (key & DVR_KEY_MENU_OK) {
    osd_layout_init(ctx);
  } else {
    param_write_begin();
    p->display.standard = old_std;
    p->display.output = old_output;
    p->video[0].width = old_w;
    p->video[0].height = old_h;
    param_write_end();
    display_handover(old_std, old_output, DISPLAY_RESET);
    sleep_ms(1000);
    show_message(ctx, T(T_STD_RESET));
  }
  take_key();
  corner_note_update(ctx);
  osd_flush(ctx);
  save_and_apply_params();
}

// The built-in defaults and the rows a reset keeps are stored under the write
// lock together: a save copies the old block or the reset one, never the
// defaults with the keypad or the serial line lost. (Loading the defaults
// neither saves nor sets by name, so it runs under the lock.) The box's own
// file is read through param_set, which takes the lock per row.
void reset_params(GuiContext *ctx) {
  ParamBlock *p = params();
  param_write_begin();
  SerialParams serial = p->serial;
  if (sys_access("/usr/html/config.txt", F_OK) == 0) {
    param_write_end();
    param_import_file("/usr/html/config.txt");
    param_write_begin();
  } else {
    uint8_t map[sizeof p->keys_map];
    memcpy(map, p->keys_map, sizeof map);
    uint8_t back = p->keys_menu_back_option;
    param_load_defaults();
    memcpy(p->keys_map, map, sizeof map);
    p->keys_menu_back_option = back;
  }
  p->serial = serial;
  param_write_end();
  osdCopyChannel(0, 3);
  save_and_apply_params();
  show_message(ctx, T(T_RESET_DONE));
}

void save_params_to_storage(GuiContext *ctx) {
  int source = choose_volume(ctx);
  char text[128];
  if (source >= 0 && filesys_save_config_params(source) == 0) {
    snprintf(text, sizeof text, T(T_SAVED_TO), storage_device_name(ctx, source));
    show_message(ctx, text);
  } else {
    show_message(ctx, T(T_SAVE_FAILED));
  }
}

void load_params_from_storage(GuiContext *ctx) {
  int source = choose_volume(ctx);
  char text[128];
  if (source >= 0 && filesys_load_config_params(source) == 0) {
    save_and_apply_params();
    snprintf(text, sizeof text, T(T_LOADED_FROM), storage_device_name(ctx, source));
    show_message(ctx, text);
  } else {
    show_message(ctx, T(T_LOAD_FAILED));
  }
}

void system_info_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  for (int row = 1; row > 0 && !get_exit_code();) {
    char text[8][96];
    const char *items[12] = {T(T_SYSINFO_TITLE)};
    int n = 1, volume_row[3] = {-1, -1, -1};
    snprintf(text[0], 96, "%s: %d", T(T_SERIAL_NUMBER), (int)board_identity.serial);
    snprintf(text[1], 96, "%s: %d%s", T(T_FIRMWARE_VER), M7391_BUILD, wifi_tools_present() ? "/Wifi" : "");
    uint32_t boot = mtd_bootloader_version();
    snprintf(text[2], 96, "%s: %d.%d.%d", T(T_BOOTLOADER_VER), (int)(boot >> 16 & 0xFF),
             (int)(boot >> 8 & 0xFF), (int)(boot & 0xFF));
    for (int i = 0; i < 3; i++) items[n++] = text[i];
    // Internal, external (unless its ports are off), SD when present.
    const int sources[3] = {STORAGE_INT, STORAGE_EXT, STORAGE_MMC};
    const char *names[3] = {T(p->dvr_disable_ext_ports ? T_USB : T_INTERNAL), T(T_EXTERNAL), T(T_SD_CARD)};
    for (int i = 0; i < 3; i++) {
      int s = sources[i];
      if (s == STORAGE_EXT && p->dvr_disable_ext_ports) continue;
      if (s == STORAGE_MMC && !filesys_is_mounted(STORAGE_MMC) && !fs[0].device[0]) continue;
      char *t = text[3 + i];
      if (filesys_is_mounted(s)) {
        char free_text[32], total_text[32];
        format_size(free_text, sizeof free_text, (uint64_t)filesys_free_space(s));
        format_size(total_text, sizeof total_text, (uint64_t)filesys_total_space(s));
        snprintf(t, 96, "%s: %s / %s %s", names[i], free_text, total_text, T(T_FREE));
      } else if (s != STORAGE_MMC && filesys_usb_mount_failed(s)) {
        snprintf(t, 96, "%s: %s", names[i], T(T_UNSUPPORTED_FORMAT));
        volume_row[i] = n;
      } else {
        int slot = s == STORAGE_MMC ? 0 : s + 1;
        snprintf(t, 96, "%s: %s", names[i], T(fs[slot].device[0] ? T_NOT_READY : T_NOT_PRESENT));
      }
      items[n++] = t;
    }
    int reset_row = -1, save_row = -1, load_row = -1;
    if (!p->dvr_hide_params_menu) {
      items[n++] = "========================";
      reset_row = n;
      items[n++] = T(T_RESET_PARAMS);
      if (filesys_is_mounted(STORAGE_INT) || filesys_is_mounted(STORAGE_EXT) || filesys_is_mounted(STORAGE_MMC)) {
        save_row = n;
        items[n++] = T(T_SAVE_PARAMS);
        load_row = n;
        items[n++] = T(T_LOAD_PARAMS);
      }
    }
    row = show_menu(ctx, n, items, row);
    if (row <= 0) break;
    if (row == reset_row) reset_params(ctx);
    else if (row == save_row) save_params_to_storage(ctx);
    else if (row == load_row) load_params_from_storage(ctx);
    for (int i = 0; i < 2; i++) {
      if (row != volume_row[i]) continue;
      char q[96], yes[96], wait[96];
      snprintf(q, sizeof q, T(T_FORMAT_CONFIRM), names[i]);
      snprintf(yes, sizeof yes, T(T_FORMAT_YES), names[i]);
      const char *confirm[] = {q, yes, T(T_NO)};
      if (show_menu(ctx, 3, confirm, 2) != 1) break;
      snprintf(wait, sizeof wait, T(T_FORMATTING), names[i]);
      show_status_text(ctx, wait);
      filesys_format(sources[i]);
      clear_status_text(ctx);
    }
  }
}

void encoder_setup_menu(GuiContext *ctx) {
  const char *pick[] = {T(T_SELECT_ENCODER), T(T_ENCODER_1), T(T_ENCODER_2)};
  int which = show_menu(ctx, 3, pick, 1);
  if (which <= 0) return;
  int n = which - 1;
  EncoderParams &e = params()->encoder[n];
  auto count_get = [n] { return param_apply_hooks.encoder_count_get ? param_apply_hooks.encoder_count_get(n) : 0; };
  auto count_set = [n](int32_t c) {
    if (param_apply_hooks.encoder_count_set) param_apply_hooks.encoder_count_set(n, c);
  };
  char title[64], units[96];
  snprintf(title, sizeof title, T(T_SETUP_ENCODER), which);
  const char *items[] = {title, units, T(T_SET_ZERO), T(T_SET_CALIBRATION), T(T_SET_OFFSET_ROW)};
  for (int row = 1; row > 0 && !get_exit_code();) {
    int sel = e.scale_select ? 1 : 0;
    snprintf(units, sizeof units, "%s : %s", T(T_UNITS), e.scale_label[sel]);
    row = show_menu(ctx, 5, items, row);
    if (row == 1) {
      char line[128];
      snprintf(line, sizeof line, T(T_UNITS_LINE), e.scale_label[0], e.scale_label[1], e.scale_conversion_factor);
      const char *list[] = {T(T_UNITS_TITLE), e.scale_label[0], e.scale_label[1], line};
      int r = show_menu(ctx, 4, list, sel + 1);
      if (r == 1 || r == 2) e.scale_select = (uint8_t)(r - 1);
    } else if (row == 2) {
      count_set(0);
      show_message(ctx, T(T_ZERO_SET));
    } else if (row == 3) {
      static const int distances[] = {10, 25, 50, 100, 150, 200, 500, 1000};
      char head[96], rows[8][8];
      snprintf(head, sizeof head, T(T_CALIBRATE_TITLE), e.scale_label[sel]);
      const char *list[9] = {head};
      for (int i = 0; i < 8; i++) {
        snprintf(rows[i], sizeof rows[i], "%d", distances[i]);
        list[i + 1] = rows[i];
      }
      int r = show_menu(ctx, 9, list, 1);
      if (r <= 0) continue;
      int32_t count = count_get();
      if (count == 0) {
        show_message(ctx, T(T_CALIBRATION_ZERO));
        continue;
      }
      float factor = (float)distances[r - 1] / (float)count;
      param_write_begin();
      e.scale_factor[sel] = factor;
      if (e.scale_conversion_factor != 0)
        e.scale_factor[1 - sel] = sel == 0 ? factor * e.scale_conversion_factor : factor / e.scale_conversion_factor;
      param_write_end();
      save_and_apply_params();
      show_message(ctx, T(T_CALIBRATED));
    } else if (row == 4) {
      float factor = e.scale_factor[sel];
      // Uncalibrated: a count cannot be made from a distance.
      if (factor == 0 || !std::isfinite(factor)) {
        show_message(ctx, "Encoder not calibrated");
        continue;
      }
      double value = count_get() * (double)factor;
      static const double steps[] = {100, 10, 1, 0.1, -0.1, -1, -10, -100};
      char head[64];
      const char *list[] = {head, "+100", "+ 10", "+  1", "+  .1", "-  .1", "-  1", "- 10", "-100"};
      for (int r = 1; r > 0 && !get_exit_code();) {
        snprintf(head, sizeof head, T(T_SET_OFFSET), value);
        r = show_menu(ctx, 9, list, r);
        if (r > 0) value += steps[r - 1];
        count_set((int32_t)(value / factor));
      }
    }
  }
  save_and_apply_params();
}

void serial_setup_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  static const struct { const char *name; int text; int id; } services[] = {
      {nullptr, T_NONE, 0},       {"TORVA", 0, 6},          {"Marovant", 0, 7},
      {nullptr, T_TCP_SERVER, 3}, {nullptr, T_TCP_CLIENT, 4}, {nullptr, T_UDP_PEER, 5},
      {"~Console", 0, 8},         {"~$TRIS", 0, 9}};
  enum { SERVICES = sizeof services / sizeof services[0] };
  auto service_name = [&](int i) { return services[i].name ? services[i].name : T(services[i].text); };
  for (int row = 1; row > 0 && !get_exit_code();) {
    char baud[64], proto[96];
    const char *current = T(T_UNUSED);
    if (!p->serial.start_mode) current = T(T_NONE);
    else
      for (int i = 1; i < SERVICES; i++)
        if (services[i].id == p->serial.stream_id) current = service_name(i) + (service_name(i)[0] == '~');
    snprintf(baud, sizeof baud, "%s: %d", T(T_BAUDRATE), (int)p->serial.baud_rate);
    snprintf(proto, sizeof proto, "%s: %s", T(T_PROTOCOL), current);
    SerialStatus st;
    serial_status_get(&st);
    const char *items[] = {T(T_SERIAL_TITLE), baud, proto, st.line[0], st.line[1], st.line[2],
                           st.line[3], "===Status===", "Reset Counts"};
    row = show_menu(ctx, 9, items, row);
    if (row == 1) {
      static const int rates[] = {9600, 19200, 38400, 57600, 115200};
      const char *list[] = {T(T_BAUDRATE_TITLE), "9600", "19200", "38400", "57600", "115200"};
      int cur = 5;
      for (int i = 0; i < 5; i++)
        if ((int)p->serial.baud_rate == rates[i]) cur = i + 1;
      int r = show_menu(ctx, 6, list, cur);
      if (r > 0 && rates[r - 1] != (int)p->serial.baud_rate) {
        serial_set_line(SERIAL_LINE_SERVICE, "baudrate changed");
        serial_change_baudrate(p, rates[r - 1]);
        save_and_apply_params();
      }
    } else if (row == 2) {
      const char *list[SERVICES + 1] = {T(T_PROTOCOL_TITLE)};
      int cur = 1;
      for (int i = 0; i < SERVICES; i++) {
        list[i + 1] = service_name(i);
        if (p->serial.start_mode && i && services[i].id == p->serial.stream_id) cur = i + 1;
      }
      int r = show_menu(ctx, SERVICES + 1, list, cur);
      if (r <= 0) continue;
      int start = r > 1, id = services[r - 1].id;
      param_write_begin();
      if (start && id != p->serial.stream_id) serial_change_protocol(p, id);
      bool turned = start != p->serial.start_mode;
      p->serial.start_mode = (uint8_t)start;
      param_write_end();
      if (turned) stream_set_state_by_id(SERIAL_STREAM, start);
      save_and_apply_params();
    }
  }
}
