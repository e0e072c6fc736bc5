// The main menu, Setup with its screens, and the small choosers other
// screens share. Each screen is a show_menu list whose rows show a setting
// and change the live parameters; the caller (or the screen's back) saves
// and applies them.
#include <cstdio>
#include <cstring>

#include "core/param_block.h"
#include "display/gui_toolkit.h"
#include "display/menu_screens.h"

namespace {

// Language rows these screens show.
enum {
  T_INTERNAL = 123, T_EXTERNAL = 124, T_VIDEO_BITRATE_TITLE = 143, T_BOTH = 169, T_PROMPT = 170,
  T_KEY_HELP_TITLE = 254, T_KEY_HELP_HEAD = 255, T_RECORDING_FORMAT = 350, T_AUDIO_INPUT_TITLE = 393,
  T_MIC = 165, T_LINE_STEREO = 394, T_LINE_MONO_BOTH = 395, T_LINE_MONO_LEFT = 396,
  T_LINE_MONO_RIGHT = 397, T_DEFAULT = 411, T_NO_AUDIO = 413, T_TEXT_SIZE_TITLE = 415,
  T_STORAGE_TITLE = 168,
};

const char *T(int i) { return LangTable[i] ? LangTable[i] : ""; }
ParamBlock *params(void) { return get_param_block(); }

int clamp(int64_t v, int64_t lo, int64_t hi) { return (int)(v < lo ? lo : v > hi ? hi : v); }

// The row (1 .. rows) holding a value counted from 0, or 1 when outside.
int row_of(int value, int rows) { return value >= 0 && value < rows ? value + 1 : 1; }

}  // namespace

void bitrate_menu(GuiContext *ctx) {
  char texts[9][16];
  const char *items[10] = {T(T_VIDEO_BITRATE_TITLE)};
  for (int i = 0; i < 9; i++) {
    snprintf(texts[i], sizeof texts[i], "%d Mbps", i + 2);
    items[i + 1] = texts[i];
  }
  int current = (int)(params()->video[0].bit_rate / 1000000) - 1;
  int row = show_menu(ctx, 10, items, clamp(current, 1, 9));
  if (row > 0) params()->video[0].bit_rate = (uint32_t)(row + 1) * 1000000u;
}

void audio_input_menu(GuiContext *ctx) {
  // Audio.Input, Audio.Channels, Audio.MonoMode of each row.
  static const struct { int text; uint8_t input, channels, mono; } rows[] = {
      {T_MIC, 0, 1, 0},           {T_LINE_STEREO, 1, 2, 0},     {T_LINE_MONO_BOTH, 1, 1, 0},
      {T_LINE_MONO_LEFT, 1, 1, 1}, {T_LINE_MONO_RIGHT, 1, 1, 2},
  };
  enum { N = sizeof rows / sizeof rows[0] };
  AudioParams *a = &params()->audio;
  const char *items[N + 1] = {T(T_AUDIO_INPUT_TITLE)};
  int initial = 1;
  for (int i = 0; i < N; i++) {
    items[i + 1] = T(rows[i].text);
    if (a->input == rows[i].input && a->channels == rows[i].channels && a->mono_mode == rows[i].mono)
      initial = i + 1;
  }
  int row = show_menu(ctx, N + 1, items, initial);
  if (row <= 0) return;
  a->input = rows[row - 1].input;
  a->channels = rows[row - 1].channels;
  a->mono_mode = rows[row - 1].mono;
}

void key_help(GuiContext *ctx) {
  static const struct { const char *key; int action; } keys[] = {
      {"R", 30},  {"S", 22},  {"P", 29},  {"M", 28},  {"F", 31},  {"D", 32}, {"O", 259},
      {"T", 260}, {"C", 261}, {"E", 262}, {"A", 329}, {"esc/left", 21}, {"spc/enter/right", 24},
  };
  enum { N = sizeof keys / sizeof keys[0] };
  char texts[N][96];
  const char *items[N + 2] = {T(T_KEY_HELP_TITLE), T(T_KEY_HELP_HEAD)};
  for (int i = 0; i < N; i++) {
    snprintf(texts[i], sizeof texts[i], "%-17s%s", keys[i].key, T(keys[i].action));
    items[i + 2] = texts[i];
  }
  show_menu(ctx, N + 2, items, 1);
}

int text_size_menu(GuiContext *ctx, int current, int large) {
  const char *items[] = {T(T_TEXT_SIZE_TITLE), "8x13", "16x16", "19x32", large ? "38x64" : nullptr};
  int n = large ? 5 : 4;
  int row = show_menu(ctx, n, items, row_of(current, n - 1));
  return row > 0 ? row - 1 : current;
}

void recording_storage_menu(GuiContext *ctx) {
  // Recording.StorageDevice 0 to 3.
  const char *items[] = {T(T_STORAGE_TITLE), T(T_BOTH), T(T_INTERNAL), T(T_EXTERNAL), T(T_PROMPT)};
  uint8_t *device = &params()->recording.storage_device;
  int row = show_menu(ctx, 5, items, row_of(*device, 4));
  if (row > 0) *device = (uint8_t)(row - 1);
}

void recording_format_menu(GuiContext *ctx) {
  char title[96], mp4[48], ts[48];
  snprintf(title, sizeof title, "== %s ==", T(T_RECORDING_FORMAT));
  snprintf(mp4, sizeof mp4, "MP4 %s", T(T_NO_AUDIO));
  snprintf(ts, sizeof ts, "TS %s", T(T_NO_AUDIO));
  // Recording.Format 0 to 3.
  const char *items[] = {title, "MP4", "TS", mp4, ts};
  uint8_t *format = &params()->recording.format;
  int row = show_menu(ctx, 5, items, row_of(*format, 4));
  if (row > 0) *format = (uint8_t)(row - 1);
}

void number_adjust_menu(GuiContext *ctx, const char *format, void *value, int size, int32_t min,
                        int32_t max, int32_t def) {
  static const int steps[] = {100, 10, 1, -1, -10, -100};
  bool is_signed = min < 0;
  auto get = [&]() -> int64_t {
    if (size == 1) return is_signed ? (int64_t) * (int8_t *)value : (int64_t) * (uint8_t *)value;
    int32_t v;
    memcpy(&v, value, 4);
    return is_signed ? (int64_t)v : (int64_t)(uint32_t)v;
  };
  auto put = [&](int64_t v) {
    v = clamp(v, min, max);
    if (size == 1) *(uint8_t *)value = (uint8_t)v;
    else {
      int32_t w = (int32_t)v;
      memcpy(value, &w, 4);
    }
  };
  char title[128], def_row[64];
  snprintf(def_row, sizeof def_row, "%s %d", T(T_DEFAULT), def);
  const char *items[] = {title, "+100", " +10", "  +1", "  -1", " -10", "-100", def_row};
  int row = 1;
  for (;;) {
    snprintf(title, sizeof title, format, (int)get());
    row = show_menu(ctx, 8, items, row);
    if (row <= 0) return;
    put(row == 7 ? (int64_t)def : get() + steps[row - 1]);
  }
}
