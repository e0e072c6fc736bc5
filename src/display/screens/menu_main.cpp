// The main menu, Setup with its screens, and the small choosers other
// screens share. Each screen is a show_menu list whose rows show a setting
// and change the live parameters; the caller (or the screen's back) saves
// and applies them.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "control/status_events.h"
#include "core/board_io.h"
#include "core/firmware.h"
#include "core/global.h"
#include "core/log.h"
#include "core/net_init.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/param_table.h"
#include "core/process_util.h"
#include "display/gui_toolkit.h"
#include "display/hd_display.h"
#include "display/keyboard_input.h"
#include "display/screens/menu_screens.h"
#include "media/capture.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/wallclock.h"
#include "storage/filesys.h"

namespace {

// Language rows these screens show.
enum {
  T_INTERNAL = 123, T_EXTERNAL = 124, T_VIDEO_BITRATE_TITLE = 143, T_BOTH = 169, T_PROMPT = 170,
  T_KEY_HELP_TITLE = 254, T_KEY_HELP_HEAD = 255, T_RECORDING_FORMAT = 350, T_AUDIO_INPUT_TITLE = 393,
  T_MIC = 165, T_LINE_STEREO = 394, T_LINE_MONO_BOTH = 395, T_LINE_MONO_LEFT = 396,
  T_LINE_MONO_RIGHT = 397, T_DEFAULT = 411, T_NO_AUDIO = 413, T_TEXT_SIZE_TITLE = 415,
  T_STORAGE_TITLE = 168,
  T_SNAPSHOT = 22, T_ENABLED = 41, T_DISABLED = 42, T_SET_YEAR = 43, T_SET_MONTH = 44,
  T_JANUARY = 45, T_SET_DAY = 57, T_SET_HOUR = 58, T_SET_MINUTE = 59, T_SET_AMPM = 60, T_AM = 61,
  T_PM = 62, T_ON = 109, T_OFF = 110, T_READING_FIRMWARE = 111, T_FIRMWARE_LOAD_FAILED = 112,
  T_CUSTOMZIP_SAVED = 120, T_CUSTOMZIP_CLEARED = 121, T_RESET_PARAMS = 129, T_AUDIO_VOLUME_TITLE = 144,
  T_VOLUME_MIN = 145, T_VOLUME_MAX = 146, T_SEEK_TITLE = 147, T_QUALITY_TITLE = 153,
  T_QUALITY_BEST = 154, T_SETUP_VIDEO = 155, T_VIDEO_BIT_RATE = 157, T_INTERPOLATE = 158,
  T_PLAYBACK_SEEK = 159, T_SNAPSHOT_QUALITY = 160, T_SETUP_AUDIO = 161, T_AUDIO_VOLUME = 162,
  T_MUTE_AT_START = 163, T_AUDIO_INPUT = 164, T_PLAYBACK_VOLUME = 167, T_UPDATE_FIRMWARE = 171,
  T_UPDATE_CUSTOMZIP = 172, T_ROTARY_ENCODERS = 173, T_SYSTEM_INFO = 174, T_LANGUAGE_TITLE = 175,
  T_SETUP_TITLE = 176, T_VIDEO = 177, T_AUDIO = 178, T_OVERLAYS = 179, T_SET_DATE_TIME = 180,
  T_RECORD_STORAGE = 181, T_SET_LANGUAGE = 182, T_TURN_WIFI = 183, T_YES = 187, T_NO = 188,
  T_MENU_TITLE = 220, T_PLAY_VIDEO = 221, T_VIEW_SNAPSHOTS = 222, T_FILE_MANAGEMENT = 223,
  T_SETUP = 225, T_MENU_WHILE_RECORDING = 234, T_NO_VIDEO = 236, T_UNMUTE = 238, T_MUTE = 239,
  T_REC_AT_POWER_ON = 251, T_HELP_KEYS = 253, T_STOPPING_WIFI = 256, T_STARTING_WIFI = 257,
  T_WIFI_FAILED = 258, T_AUDIO_AGC = 301, T_SNAPSHOT_OVERLAY = 303, T_AUDIO_PASSTHRU = 338,
  T_WIFI_PING = 339, T_SERIAL_SETUP = 352, T_VIDEO_INPUT = 360, T_RECORDING_LIMIT = 363,
  T_LIMIT_TITLE = 364, T_START_RECORDING = 365, T_STOP_RECORDING = 366, T_PAUSE_RECORDING = 367,
  T_DISPLAY_OUTPUT = 377, T_ENGLISH_DEFAULT = 400, T_SD_CARD = 425, T_CHANGE_DURATION_MODE = 426,
  T_DURATION_MODE_TITLE = 427, T_SECONDS = 428, T_MINUTES = 429, T_HOURS = 430,
};

ParamBlock *params(void) { return get_param_block(); }

int clamp(int64_t v, int64_t lo, int64_t hi) { return (int)(v < lo ? lo : v > hi ? hi : v); }

// The row (1 .. rows) holding a value counted from 0, or 1 when outside.
int row_of(int value, int rows) { return value >= 0 && value < rows ? value + 1 : 1; }

const char *on_off(int on) { return T(on ? T_ON : T_OFF); }

// A menu being built: row texts in their own buffers, an action per row.
struct Rows {
  enum { MAX = 24 };
  const char *items[MAX + 1] = {};
  int action[MAX + 1] = {};
  char text[MAX + 1][128];
  int n = 1;
  explicit Rows(const char *title) { items[0] = title; }
  void add(int act, const char *fmt, ...) __attribute__((format(printf, 3, 4))) {
    if (n > MAX) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text[n], sizeof text[n], fmt, ap);
    va_end(ap);
    items[n] = text[n];
    action[n++] = act;
  }
  // false for back (or quit); else *row is the chosen row.
  bool pick(GuiContext *ctx, int *row) {
    int chosen = show_menu(ctx, n, items, *row);
    if (chosen <= 0 || get_exit_code()) return false;
    *row = chosen;
    return true;
  }
  // The chosen row's action (never 0), 0 for back.
  int show(GuiContext *ctx, int *row) { return pick(ctx, row) ? action[*row] : 0; }
};

// A row written straight into the block: its change group is marked so that
// applying the changes acts on it.
void mark_changed(const char *name) {
  if (const ParamDesc *d = param_find(name)) param_mark_changed(d->group);
}

void local_now(struct tm *tm) {
  struct timeval tv;
  wallclock_now(&tv);
  wallclock_localtime(tv.tv_sec, tm);
}

bool board_file(const char *name) {
  char path[256];
  return filesys_get_file(name, path, sizeof path) != nullptr;
}

bool video_locked(void) { return (capture_video_lock() & 1) != 0; }

// The language name, NUL-ended whatever the 20 bytes hold.
void language_name(char out[sizeof(ParamBlock::dvr_language) + 1]) {
  const ParamBlock *p = params();
  memcpy(out, p->dvr_language, sizeof p->dvr_language);
  out[sizeof p->dvr_language] = 0;
}

void reload_language(void) {
  char name[sizeof(ParamBlock::dvr_language) + 1];
  language_name(name);
  load_language_english();
  load_language_file(name);
}

// ---- date and time ----

// A list of numbers first .. last ("%d" or fmt), the cursor on current.
int number_list(GuiContext *ctx, const char *title, const char *fmt, int first, int last, int current) {
  Rows r(title);
  for (int v = first; v <= last; v++) r.add(v, fmt, v);
  int row = row_of(current - first, last - first + 1);
  return r.pick(ctx, &row) ? first + row - 1 : -1;
}

int days_in_month(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 1 && year % 4 == 0 ? 29 : days[month];
}

void set_date_time(GuiContext *ctx) {
  struct tm now;
  local_now(&now);
  int year = number_list(ctx, T(T_SET_YEAR), "%d", 2026, 2039, now.tm_year + 1900);
  if (year < 0) return;
  Rows months(T(T_SET_MONTH));
  for (int m = 0; m < 12; m++) months.add(m, "%s", T(T_JANUARY + m));
  int row = row_of(now.tm_mon, 12);
  if (!months.pick(ctx, &row)) return;
  int month = row - 1, last = days_in_month(year, month);

  // Days in tens: " 1- 9", "10-19", "20-28" or "20-29", then "30" or "30-31".
  Rows ranges(T(T_SET_DAY));
  ranges.add(1, "%s", " 1- 9");
  ranges.add(10, "%s", "10-19");
  ranges.add(20, "20-%d", last < 29 ? last : 29);
  if (last == 30) ranges.add(30, "%s", "30");
  if (last == 31) ranges.add(30, "%s", "30-31");
  row = row_of(now.tm_mday / 10, ranges.n - 1);
  int first = ranges.show(ctx, &row);
  if (!first) return;
  int end = first == 1 ? 9 : first + 9 < last ? first + 9 : last;
  int day = first == end ? first : number_list(ctx, T(T_SET_DAY), "%d", first, end, now.tm_mday);
  if (day < 0) return;

  int hour12 = now.tm_hour % 12 ? now.tm_hour % 12 : 12;
  int hour = number_list(ctx, T(T_SET_HOUR), "%d", 1, 12, hour12);
  if (hour < 0) return;
  Rows tens(T(T_SET_MINUTE));
  for (int t = 0; t < 60; t += 10) tens.add(t, "%02d-%02d", t, t + 9);
  row = row_of(now.tm_min / 10, 6);
  if (!tens.pick(ctx, &row)) return;
  int ten = (row - 1) * 10;
  int minute = number_list(ctx, T(T_SET_MINUTE), "%02d", ten, ten + 9, now.tm_min);
  if (minute < 0) return;
  const char *ampm[] = {T(T_SET_AMPM), T(T_AM), T(T_PM)};
  int pm = show_menu(ctx, 3, ampm, now.tm_hour < 12 ? 1 : 2);
  if (pm <= 0 || get_exit_code()) return;

  struct tm set = {};
  set.tm_year = year - 1900;
  set.tm_mon = month;
  set.tm_mday = day;
  set.tm_hour = hour % 12 + (pm == 2 ? 12 : 0);   // 12 AM is midnight
  set.tm_min = minute;
  set.tm_isdst = -1;
  time_t t = mktime(&set);
  if (t == (time_t)-1 || set_system_time(t) != 0) log_printf("%s: the clock refused the time\n", "setup_menu");
}

// ---- Video ----

// Units of Recording.Duration by Recording.DurationMode.
const char *duration_unit(int mode) {
  switch (mode) {
    case 1: return T(T_SECONDS);
    case 2: return T(T_MINUTES);
    case 3: return T(T_HOURS);
    case 4: return "KB";
  }
  return "MB";
}

uint32_t duration_clamp(uint32_t value, int mode) {
  uint32_t lo = mode >= 1 && mode <= 3 ? 1 : 10, hi = mode == 4 ? 4194304 : 4096;
  return value < lo ? lo : value > hi ? hi : value;
}

void recording_limit_menu(GuiContext *ctx) {
  enum { L_DEFAULT = 1, L_ACCEPT, L_STEP, L_MODE };
  static const int steps[] = {100, 10, 1, -1, -10, -100};
  RecordingParams *rec = &params()->recording;
  int mode = rec->duration_mode;
  uint32_t value = rec->duration;
  int row = mode ? 2 : 1;
  for (;;) {
    Rows r(T(T_LIMIT_TITLE));
    r.add(L_DEFAULT, "%s %s", T(T_DEFAULT), T(T_RECORDING_LIMIT));
    r.add(L_ACCEPT, "%u %s", value, duration_unit(mode));
    for (int s : steps) r.add(L_STEP, "%+d", s);
    r.add(L_MODE, "%s: %s", T(T_CHANGE_DURATION_MODE), duration_unit(mode));
    switch (r.show(ctx, &row)) {
      case 0: return;
      case L_DEFAULT:
        rec->duration_mode = 0;
        return;
      case L_ACCEPT:
        param_write_begin();
        rec->duration = value;
        rec->duration_mode = (uint8_t)mode;
        param_write_end();
        return;
      case L_STEP:
        value = duration_clamp((uint32_t)clamp((int64_t)value + steps[row - 3], 0, 0xFFFFFFFFll), mode);
        break;
      case L_MODE: {
        Rows m(T(T_DURATION_MODE_TITLE));
        for (int k = 1; k <= 5; k++) m.add(k, "%s", duration_unit(k));
        int at = mode >= 1 && mode <= 5 ? mode : 5;
        if (int chosen = m.show(ctx, &at)) {
          mode = chosen;
          value = duration_clamp(value, mode);
        }
        break;
      }
    }
  }
}

void video_menu(GuiContext *ctx) {
  enum { V_INPUT = 1, V_INTERPOLATE, V_BITRATE, V_SEEK, V_QUALITY, V_SNAPSHOT_OVERLAY, V_POWER_ON,
         V_FORMAT, V_LIMIT, V_DISPLAY };
  int row = 1;
  for (;;) {
    ParamBlock *p = params();
    Rows r(T(T_SETUP_VIDEO));
    uint32_t lock = capture_video_lock();
    if (lock & 1) {
      static const char *const kinds[] = {"", " AHD", " TVI", " CVI"};
      uint32_t w, h, interlaced, fps;
      capture_input_get(&w, &h, &interlaced, &fps);
      r.add(V_INPUT, "%s : %d %ux%u%c%d%s", T(T_VIDEO_INPUT), p->capture.input + 1, w, h,
            interlaced ? 'i' : 'p', (int)(fps / 1000), kinds[(lock >> 1) & 3]);
    } else {
      r.add(V_INPUT, "%s : %d %s", T(T_VIDEO_INPUT), p->capture.input + 1, T(T_NO_VIDEO));
    }
    r.add(V_INTERPOLATE, "%s : %s", T(T_INTERPOLATE), on_off(p->capture.interpolate));
    r.add(V_BITRATE, "%s : %dkbps", T(T_VIDEO_BIT_RATE), (int)(p->video[0].bit_rate / 1000));
    r.add(V_SEEK, "%s : %d", T(T_PLAYBACK_SEEK), p->recording.seek_amount);
    r.add(V_QUALITY, "%s : %d", T(T_SNAPSHOT_QUALITY), p->video[1].jpeg_quality);
    r.add(V_SNAPSHOT_OVERLAY, "~%s : %s", T(T_SNAPSHOT_OVERLAY), on_off(!p->dvr_snapshot_overlay_disable));
    r.add(V_POWER_ON, "%s : %s", T(T_REC_AT_POWER_ON), on_off(p->recording.start_mode));
    r.add(V_FORMAT, "%s : %s %s", T(T_RECORDING_FORMAT), p->recording.format & 1 ? "TS" : "MP4",
          p->recording.format >= 2 ? T(T_NO_AUDIO) : "");
    if (p->recording.duration_mode)
      r.add(V_LIMIT, "%s: %u %s", T(T_RECORDING_LIMIT), p->recording.duration,
            duration_unit(p->recording.duration_mode));
    else
      r.add(V_LIMIT, "%s: %u %s", T(T_RECORDING_LIMIT), 4u, "GB");
    if (display_is_scaled(ctx))
      r.add(V_DISPLAY, "%s: %dx%d%c%d", T(T_DISPLAY_OUTPUT), display_info.width, display_info.height,
            display_info.interlaced ? 'i' : 'p', display_info.fps / 1000);
    else
      r.add(V_DISPLAY, "%s: %s", T(T_DISPLAY_OUTPUT), display_standard_name(p));
    switch (r.show(ctx, &row)) {
      case 0:
        save_and_apply_params();
        return;
      case V_INPUT: {
        p->capture.input = p->capture.input == 0 ? 1 : 0;
        mark_changed("Capture.Input");
        param_apply_changes();
        // The decoder needs a moment on the new input: at least 1 s, at most
        // 2.5 s until it locks.
        for (int i = 0; i < 10; i++) {
          sleep_ms(250);
          if (i >= 3 && video_locked()) break;
        }
        break;
      }
      case V_INTERPOLATE:
        p->capture.interpolate = !p->capture.interpolate;
        mark_changed("Capture.Interpolate");
        break;
      case V_BITRATE: bitrate_menu(ctx); break;
      case V_SEEK: {
        // Each row shows the seconds it sets.
        Rows s(T(T_SEEK_TITLE));
        for (int v = 0; v <= 120; v += 10) s.add(v, "%d", v);
        int at = row_of(p->recording.seek_amount / 10, s.n - 1);
        if (s.pick(ctx, &at)) p->recording.seek_amount = (uint8_t)s.action[at];
        break;
      }
      case V_QUALITY: {
        Rows q(T(T_QUALITY_TITLE));
        q.add(97, "%s", T(T_QUALITY_BEST));
        for (int v = 95; v >= 50; v -= 5) q.add(v, "%d", v);
        int at = 1;
        for (int k = 1; k < q.n; k++)
          if (q.action[k] == p->video[1].jpeg_quality) at = k;
        if (int v = q.show(ctx, &at)) p->video[1].jpeg_quality = (uint8_t)v;
        break;
      }
      case V_SNAPSHOT_OVERLAY: p->dvr_snapshot_overlay_disable = !p->dvr_snapshot_overlay_disable; break;
      case V_POWER_ON: p->recording.start_mode = !p->recording.start_mode; break;
      case V_FORMAT:
        recording_format_menu(ctx);
        mark_changed("Recording.Format");
        break;
      case V_LIMIT:
        recording_limit_menu(ctx);
        mark_changed("Recording.Duration");
        break;
      case V_DISPLAY: display_output_menu(ctx); break;
    }
  }
}

// ---- Audio ----

// "0 (min)" .. "10 (max)" for a level of full scale; the new level or -1.
int volume_list(GuiContext *ctx, int level, int full) {
  Rows r(T(T_AUDIO_VOLUME_TITLE));
  r.add(0, "%s", T(T_VOLUME_MIN));
  for (int v = 1; v <= 9; v++) r.add(v, "%d", v);
  r.add(10, "%s", T(T_VOLUME_MAX));
  int row = row_of(10 * level / full, 11);
  if (!r.pick(ctx, &row)) return -1;
  return (full * (row - 1) + 9) / 10;
}

void audio_menu(GuiContext *ctx) {
  enum { A_VOLUME = 1, A_AGC, A_MUTE_AT_START, A_INPUT, A_PLAYBACK_VOLUME, A_PASSTHRU };
  int row = 1;
  for (;;) {
    ParamBlock *p = params();
    AudioParams *a = &p->audio;
    static const int mute_texts[3] = {T_DISABLED, T_MUTE, T_UNMUTE};
    Rows r(T(T_SETUP_AUDIO));
    r.add(A_VOLUME, "%s : %d", T(T_AUDIO_VOLUME), 10 * a->volume_left / 119);
    r.add(A_AGC, "%s : %s", T(T_AUDIO_AGC), on_off(a->agc_left));
    r.add(A_MUTE_AT_START, "%s : %s", T(T_MUTE_AT_START), T(mute_texts[p->recording.mute_at_start % 3]));
    r.add(A_INPUT, "%s", T(T_AUDIO_INPUT));
    r.add(A_PLAYBACK_VOLUME, "%s : %d", T(T_PLAYBACK_VOLUME), 10 * a->out_volume_left / 100);
    r.add(A_PASSTHRU, "%s : %s", T(T_AUDIO_PASSTHRU), T(p->dvr_audio_passthru ? T_ENABLED : T_DISABLED));
    switch (r.show(ctx, &row)) {
      case 0:
        save_and_apply_params();
        return;
      case A_VOLUME: {
        int v = volume_list(ctx, a->volume_left, 119);
        param_write_begin();
        if (v >= 0) a->volume_left = a->volume_right = (uint8_t)v;
        param_write_end();
        break;
      }
      case A_AGC:
        param_write_begin();
        a->agc_left = a->agc_right = !a->agc_left;
        param_write_end();
        break;
      case A_MUTE_AT_START: p->recording.mute_at_start = (uint8_t)((p->recording.mute_at_start + 1) % 3); break;
      case A_INPUT:
        audio_input_menu(ctx);
        mark_changed("Audio.Input");
        break;
      case A_PLAYBACK_VOLUME: {
        int v = volume_list(ctx, a->out_volume_left, 100);
        param_write_begin();
        if (v >= 0) a->out_volume_left = a->out_volume_right = (uint8_t)v;
        param_write_end();
        break;
      }
      case A_PASSTHRU:
        p->dvr_audio_passthru = !p->dvr_audio_passthru;
        if (param_apply_hooks.playback_set_audio_passthru)
          param_apply_hooks.playback_set_audio_passthru(p->dvr_audio_passthru);
        break;
    }
  }
}

// ---- language, custom.zip, Wi-Fi ----

// Names a language file may have: under 20 characters (DVR_Language holds
// 20 bytes) and nothing that leaves the folder.
int language_entry(const struct dirent *e) {
  size_t n = strlen(e->d_name);
  return n > 4 && n - 4 < sizeof(ParamBlock::dvr_language) && !strcmp(e->d_name + n - 4, ".txt") &&
         !strchr(e->d_name, '/') && !strstr(e->d_name, "..");
}

void language_menu(GuiContext *ctx) {
  struct dirent **list = nullptr;
  int count = sys_scandir("/usr/html/lang", &list, language_entry, alphasort);
  char current[sizeof(ParamBlock::dvr_language) + 1];
  language_name(current);
  // English, then at most kLanguageFiles files.
  enum { kLanguageFiles = 8 };
  Rows r(T(T_LANGUAGE_TITLE));
  r.add(0, "%s", T(T_ENGLISH_DEFAULT));
  int row = 1;
  for (int i = 0; i < count; i++) {
    if (r.n - 2 < kLanguageFiles) {
      r.add(1, "%.*s", (int)strlen(list[i]->d_name) - 4, list[i]->d_name);
      if (!strcasecmp(r.text[r.n - 1], current)) row = r.n - 1;
    }
    free(list[i]);
  }
  free(list);
  int chosen = show_menu(ctx, r.n, r.items, row);
  if (chosen <= 0 || get_exit_code()) return;
  ParamBlock *p = params();
  param_write_begin();
  memset(p->dvr_language, 0, sizeof p->dvr_language);
  strncpy(p->dvr_language, r.items[chosen], sizeof p->dvr_language - 1);
  param_write_end();
  save_and_apply_params();
  load_language_english();
  if (r.action[chosen]) load_language_file(r.items[chosen]);
}

// Results inside a menu are notices: a message box would leave its key to
// the menu, which would choose the row again.
void customzip_update(GuiContext *ctx) {
  int fd = filesys_open_file("custom.zip");
  if (fd < 0) return;
  int rc = customzip_save_file(fd);
  close(fd);
  if (rc == 1) {
    show_notice(ctx, T(T_CUSTOMZIP_CLEARED));
  } else if (rc == 2) {
    show_notice(ctx, "Custom.zip limited to 128KB");
  } else if (rc != 0) {
    show_notice(ctx, "Custom.zip failed, contact support");
  } else if (sys_access("/usr/html/config.txt", F_OK) == 0) {
    const char *items[] = {T(T_RESET_PARAMS), T(T_YES), T(T_NO)};
    if (show_menu(ctx, 3, items, 1) == 1) reset_params(ctx);
  } else {
    show_notice(ctx, T(T_CUSTOMZIP_SAVED));
  }
  reload_language();
}

void run(const char *a, const char *b = nullptr) {
  const char *argv[] = {a, b, nullptr};
  run_argv(argv);
}

void wifi_toggle(GuiContext *ctx, bool running) {
  ParamBlock *p = params();
  if (running) {
    show_status_text(ctx, T(T_STOPPING_WIFI));
    for (const char *name : {"hostapd", "udhcpd", "ping", "dnsd"}) run("killall", name);
    run("/usr/wifi_deconfig.sh");
    p->wifi_enable = 0;
    save_and_apply_params();
    clear_status_text(ctx);
    status_update(0, STATUS_WIFI, "wifi_toggle");
    return;
  }
  show_status_text(ctx, T(T_STARTING_WIFI));
  p->wifi_enable = 1;
  save_and_apply_params();
  if (wifi_archive_extract()) {
    run("/Wifi/wifi_configure.sh");
    init_network(p);
    clear_status_text(ctx);
    status_update(STATUS_WIFI, STATUS_WIFI, "wifi_toggle");
  } else {
    clear_status_text(ctx);
    show_notice(ctx, T(T_WIFI_FAILED));
  }
}

void wifi_ping_toggle(void) {
  ParamBlock *p = params();
  p->wifi_ping = !p->wifi_ping;
  save_and_apply_params();
  if (p->wifi_ping) init_network(p);
  else run("killall", "ping");
}

const char *storage_choice_name(int device) {
  static const int names[5] = {T_BOTH, T_INTERNAL, T_EXTERNAL, T_PROMPT, T_SD_CARD};
  return device >= 0 && device < 5 ? T(names[device]) : "";
}

}  // namespace

void main_menu(GuiContext *ctx, int recording) {
  enum { M_NONE = 1, M_START_STOP, M_PAUSE, M_MUTE, M_SNAPSHOT, M_OVERLAYS, M_PLAY, M_VIEW, M_FILES,
         M_SETUP, M_HELP };
  bool pointer = gui_input.pointer_device != 0;
  if (recording && !pointer) {
    show_message(ctx, T(T_MENU_WHILE_RECORDING));
    return;
  }
  status_update(STATUS_MENU, STATUS_MENU, "main_menu");
  int row = 1;
  for (;;) {
    Rows r(T(T_MENU_TITLE));
    if (pointer) {
      if (recording) {
        r.add(M_START_STOP, "%s", T(T_STOP_RECORDING));
        r.add(M_PAUSE, "%s", T(T_PAUSE_RECORDING));
      } else {
        r.add(M_START_STOP, "%s", T(T_START_RECORDING));
      }
      r.add(M_MUTE, "%s", T(params()->audio.mute ? T_UNMUTE : T_MUTE));
      r.add(M_SNAPSHOT, "%s", T(T_SNAPSHOT));
      if (recording) r.add(M_OVERLAYS, "%s", T(T_OVERLAYS));
      else r.add(M_NONE, "%s", "-----------");
    }
    if (!recording) {
      r.add(M_PLAY, "%s", T(T_PLAY_VIDEO));
      r.add(M_VIEW, "%s", T(T_VIEW_SNAPSHOTS));
      r.add(M_OVERLAYS, "%s", T(T_OVERLAYS));
      r.add(M_FILES, "%s", T(T_FILE_MANAGEMENT));
      r.add(M_SETUP, "%s", T(T_SETUP));
      if (gui_input.keyboard_present) r.add(M_HELP, "%s", T(T_HELP_KEYS));
    }
    // The recording keys leave the menu: the DVR logic acts on them.
    DvrKey key = 0;
    switch (r.show(ctx, &row)) {
      case 0: osd_flush(ctx); break;
      case M_START_STOP: key = DVR_KEY_REC_STOP; break;
      case M_PAUSE: key = DVR_KEY_PLAY_PAUSE | DVR_KEY_RECORD_PAUSE; break;
      case M_MUTE: key = DVR_KEY_MUTE_TOGGLE; break;
      case M_SNAPSHOT: key = DVR_KEY_SNAPSHOT; break;
      case M_NONE: continue;
      case M_OVERLAYS: overlay_menu(ctx); continue;
      case M_PLAY: play_video_menu(ctx); continue;
      case M_VIEW: view_snapshot_menu(ctx); continue;
      case M_FILES: file_management_menu(ctx); continue;
      case M_SETUP: setup_menu(ctx); continue;
      case M_HELP: key_help(ctx); continue;
    }
    if (key) dvr_post_key(key);
    break;
  }
  status_update(0, STATUS_MENU, "main_menu");
}

void setup_menu(GuiContext *ctx) {
  enum { S_DATE = 1, S_VIDEO, S_AUDIO, S_STORAGE, S_LANGUAGE, S_ENCODERS, S_INFO, S_FIRMWARE,
         S_CUSTOMZIP, S_WIFI, S_WIFI_PING, S_SERIAL };
  int row = 1;
  for (;;) {
    ParamBlock *p = params();
    Rows r(T(T_SETUP_TITLE));
    struct tm now;
    local_now(&now);
    r.add(S_DATE, "%s  %04d-%02d-%02d %d:%02d%s", T(T_SET_DATE_TIME), now.tm_year + 1900, now.tm_mon + 1,
          now.tm_mday, now.tm_hour % 12 ? now.tm_hour % 12 : 12, now.tm_min, T(now.tm_hour < 12 ? T_AM : T_PM));
    r.add(S_VIDEO, "%s", T(T_VIDEO));
    r.add(S_AUDIO, "%s", T(T_AUDIO));
    if (!p->dvr_disable_ext_ports)
      r.add(S_STORAGE, "%s : %s", T(T_RECORD_STORAGE), storage_choice_name(p->recording.storage_device));
    struct stat st;
    if (sys_stat("/usr/html/lang", &st) == 0 && S_ISDIR(st.st_mode)) r.add(S_LANGUAGE, "%s", T(T_SET_LANGUAGE));
    if (counter_controller_present()) r.add(S_ENCODERS, "%s", T(T_ROTARY_ENCODERS));
    r.add(S_INFO, "%s", T(T_SYSTEM_INFO));
    if (board_file("m7391.fw")) r.add(S_FIRMWARE, "%s", T(T_UPDATE_FIRMWARE));
    if (board_file("custom.zip")) r.add(S_CUSTOMZIP, "%s", T(T_UPDATE_CUSTOMZIP));
    bool ap = false;
    if (wifi_tools_present()) {
      ap = hostapd_pid() > 0;
      r.add(S_WIFI, "%s %s", T(T_TURN_WIFI), on_off(!ap));
      if (ap) r.add(S_WIFI_PING, "%s %s", T(T_WIFI_PING), on_off(!p->wifi_ping));
    }
    r.add(S_SERIAL, "%s", T(T_SERIAL_SETUP));
    switch (r.show(ctx, &row)) {
      case 0: return;
      case S_DATE: set_date_time(ctx); break;
      case S_VIDEO: video_menu(ctx); break;
      case S_AUDIO: audio_menu(ctx); break;
      case S_STORAGE:
        recording_storage_menu(ctx);
        save_and_apply_params();
        break;
      case S_LANGUAGE: language_menu(ctx); break;
      case S_ENCODERS: encoder_setup_menu(ctx); break;
      case S_INFO: system_info_menu(ctx); break;
      case S_FIRMWARE: firmware_update_screen(ctx); break;
      case S_CUSTOMZIP: customzip_update(ctx); break;
      case S_WIFI: wifi_toggle(ctx, ap); break;
      case S_WIFI_PING: wifi_ping_toggle(); break;
      case S_SERIAL: serial_setup_menu(ctx); break;
    }
  }
}

void firmware_update_screen(GuiContext *ctx) {
  show_status_text(ctx, T(T_READING_FIRMWARE));
  int fd = filesys_open_file("m7391.fw");
  int rc = fd >= 0 ? firmware_load_file(fd) : -1;
  if (fd >= 0) close(fd);
  if (rc != 0) {
    clear_status_text(ctx);
    // A refused image says why; a file that could not be read, that it could not.
    const char *why = rc == -2 ? firmware_status_peek() : nullptr;
    show_notice(ctx, why ? why : T(T_FIRMWARE_LOAD_FAILED));
    return;
  }
  // Taking the status once a second also tells the flash thread that the
  // final text was seen.
  while (firmware_update_in_progress()) {
    if (const char *text = firmware_status_take()) show_status_text(ctx, text);
    sleep_ms(1000);
  }
  if (const char *text = firmware_status_take()) show_status_text(ctx, text);
  clear_status_text(ctx);
  if (const char *last = firmware_status_peek()) show_notice(ctx, last);
}

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
  param_write_begin();
  a->input = rows[row - 1].input;
  a->channels = rows[row - 1].channels;
  a->mono_mode = rows[row - 1].mono;
  param_write_end();
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
