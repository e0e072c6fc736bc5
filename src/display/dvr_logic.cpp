// The DVR logic on the menu thread: keys to recording, snapshots, playback
// and screens.
#include "display/dvr_logic.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "control/cmd_exec.h"
#include "control/status_events.h"
#include "core/board_io.h"
#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/process_util.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_flash.h"
#include "display/display_hd.h"
#include "display/display_std.h"
#include "display/dvr_keys.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/text_entry.h"
#include "display/screens/menu_screens.h"
#include "display/screens/overlay_editor.h"
#include "media/capture.h"
#include "media/video_enc.h"
#include "media/stream_producer.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "storage/playback.h"

GuiState gui_state = {0, 0, 0, -1, 0, {}, 1, 0, 0};

namespace {

// Language rows the logic shows.
enum {
  T_STOP = 9, T_BACK_LABEL = 16, T_SNAPSHOT = 22, T_INTERNAL = 123, T_EXTERNAL = 124,
  T_EXTERNAL_LC = 125, T_INTERNAL_LC = 126, T_USB = 127, T_BOTH = 169, T_STORAGE_TITLE = 226,
  T_NO_STORAGE = 227, T_NO_NAMED_STORAGE = 228, T_STORAGE_FULL = 229, T_REC_BOTH = 230,
  T_REC_TO = 231, T_REMAINING_UNKNOWN = 232, T_REMAINING = 233, T_NO_VIDEO = 236,
  T_WAIT_SAFE = 237, T_UNMUTE = 238, T_MUTE_TEXT = 239, T_OPEN_FAILED = 242,
  T_NO_OVERLAY = 295, T_POSITION_TITLE = 296, T_POSITION_HELP = 297, T_NOT_PLAYABLE = 327,
  T_NOT_VIEWABLE = 351, T_USB_PROBLEM = 361, T_SET_LENGTH = 378, T_ENTER_CONFIRM = 379,
  T_ESC_CANCEL = 380, T_OUT_OF_RANGE = 381, T_STOPPED = 387, T_UNSUPPORTED = 388,
  T_PLAYBACK_MENU = 389, T_ADVANCED = 402, T_ADV_OPTIONS = 403, T_ADV_VIDEO = 404,
  T_KEYPAD_GPIO = 405, T_PRESS_R = 406, T_SNAPSHOT_LIMIT = 410, T_USB_CANNOT = 416,
  T_REPLACE_USB = 417, T_SINGLE_DEVICE = 418, T_AUDIO_OFF = 419, T_MONO = 420,
  T_BITRATE = 421, T_WORN_USB = 422, T_SECONDARY_BG = 423, T_SD_CARD = 425,
};

ParamBlock *params(void) { return get_param_block(); }
bool running(int id) { return stream_get_state_by_id((uint32_t)id) == 1; }
void stream_start(int id) { stream_set_state_by_id((uint32_t)id, 1); }
void stream_stop(int id) { stream_set_state_by_id((uint32_t)id, 0); }
bool video_locked(void) { return capture_video_lock() != 0; }

void status_bit(uint32_t bit, bool on, const char *reason) { status_update(on ? bit : 0, bit, reason); }

// What became of the last start key (a recording or a snapshot), for the
// control protocol's requests that post one and answer for it.
struct StartOutcome {
  pthread_mutex_t mutex;
  uint32_t asked, done;
  CtlStatus result;
} g_start = {PTHREAD_MUTEX_INITIALIZER, 0, 0, CTL_OK};

void start_outcome(CtlStatus result) {
  pthread_mutex_lock(&g_start.mutex);
  g_start.done = g_start.asked;
  g_start.result = result;
  pthread_mutex_unlock(&g_start.mutex);
}

// A screen bracketed by the "menu open" status bit.
template <typename F>
void with_menu_bit(const char *reason, F body) {
  status_bit(STATUS_MENU, true, reason);
  body();
  status_bit(STATUS_MENU, false, reason);
}

void notice(GuiContext *ctx, const char *text) {
  with_menu_bit("show_notice", [&] { show_notice(ctx, text); });
}

// Why a file was not shown once playback has ended, or why a recording
// ended: a message box, which any key closes and leaves to be acted on,
// with no menu bit to hold the control protocol off meanwhile. The next
// file it names, or a recording, replaces the message at once; otherwise
// it stays long enough to be read.
void refusal_message(GuiContext *ctx, const char *text) {
  int saved = osd_layout.message_timeout;
  osd_layout.message_timeout = 30;
  show_message(ctx, text);
  osd_layout.message_timeout = saved;
}

void save_and_apply(void) { save_and_apply_params(); }

// The player's own limit on a file's path.
constexpr size_t kPlayPathMax = 512;

// The recording's directory path of a source and a name ("%s/%s"), or ""
// when it does not fit: the player refuses an empty name, where a cut path
// would name another file.
bool source_path(int source, const char *name, char *out, size_t size) {
  char *dir = filesys_getdir(source);
  if (!dir) return false;
  int n = snprintf(out, size, "%s/%s", dir, name);
  if (n < 0 || (size_t)n >= size) out[0] = 0;
  free(dir);
  return true;
}

void mute_set(GuiContext *ctx, int value, int text) {
  params()->audio.mute = (uint8_t)value;
  save_and_apply();
  if (gui_state.recording) recording_status_update(ctx);
  else show_message(ctx, T(text));
}

void storage_problem_dialog(GuiContext *ctx) {
  with_menu_bit("filesys_storage_problem", [&] {
    const char *items[] = {T(T_USB_PROBLEM), T(LANG_CLOSE), nullptr};
    if (show_menu(ctx, 2, items, 1) == 1) request_reboot();
  });
  filesys_state.storage_problem = 0;
}

void overlay_position(GuiContext *ctx) {
  int n = osd_layout.current_overlay;
  TextOverlayConf *conf = overlay_conf(n);
  if (!conf) {
    show_message(ctx, T(T_NO_OVERLAY));
    return;
  }
  char help[160];
  snprintf(help, sizeof help, "%s\n%s", T(T_POSITION_TITLE), T(T_POSITION_HELP));
  OsdRect r = {osd_layout.text_x, osd_layout.text_y, 0, 0};
  osd_draw_text(&r, T(T_POSITION_TITLE), utf8_strlen(T(T_POSITION_TITLE)), 0xFFFFFFFF);
  OsdRect r2 = {osd_layout.text_x, osd_layout.text_y + osd_font_height + 2, 0, 0};
  osd_draw_text(&r2, T(T_POSITION_HELP), utf8_strlen(T(T_POSITION_HELP)), 0xFFFFFFFF);
  osd_flush(ctx);
  bool help_shown = true;
  while (!get_exit_code()) {
    DvrKey k = dvr_wait_key(ctx, 2);
    if (!k) continue;
    if (help_shown) {
      OsdRect e = {r.x, r.y, r.width > r2.width ? r.width : r2.width, r2.y + r2.height - r.y};
      fillSquare(&e, 0, 0);
      osd_flush(ctx);
      help_shown = false;
    }
    if (k == DVR_KEY_OVERLAY_POSITION) break;
    int dx = 0, dy = 0;
    if (k & DVR_MASK_UP) dy = -10;
    else if (k & DVR_MASK_DOWN) dy = 10;
    else if (k & DVR_KEY_ESCAPE) dx = -10;
    else if (k & DVR_MASK_SELECT) dx = 10;
    else continue;
    move_clamped(&conf->x, &conf->y, osd_layout.screen_width, osd_layout.screen_height, dx, dy);
    overlay_apply(ctx, n);
  }
}

void encoder_distance(GuiContext *ctx) {
  int w = (9 * osd_font_width + 5) * 2, h = (3 * (osd_font_height + 2) + 5) * 2;
  OsdRect box = {osd_layout.text_x, osd_layout.text_y, w, h};
  for (;;) {
    fillSquare(&box, 0, osd_layout.menu_alpha);
    const char *lines[3] = {"-999.99 ... 999.99", T(T_ENTER_CONFIRM), T(T_ESC_CANCEL)};
    for (int i = 0; i < 3; i++) {
      OsdRect r = {box.x + 5, box.y + 5 + (i + 2) * (osd_font_height + 2), 0, 0};
      osd_draw_text(&r, lines[i], utf8_strlen(lines[i]), 0xFFFFFFFF);
    }
    char text[16] = "";
    if (text_entry_dialog(ctx, T(T_SET_LENGTH), text, 10) != 0) break;
    double v = strtod(text, nullptr);
    if (!(v > -999.99 && v < 999.99)) {
      show_message(ctx, T(T_OUT_OF_RANGE));
      continue;
    }
    const EncoderParams &e = params()->encoder[0];
    double scale = e.scale_factor[e.scale_select ? 1 : 0];
    int count = (int)lround(scale != 0 ? v / scale : v);
    gui_state.distance_set = 1;
    gui_state.distance = count;
    if (param_apply_hooks.encoder_count_set) param_apply_hooks.encoder_count_set(0, count);
    log_printf("%s: entered %g rounded %d\n", "encoder_set_distance", v, count);
    break;
  }
  fillSquare(&box, 0, 0);
  osd_flush(ctx);
}

void encoder_reset(GuiContext *ctx, int counter, const char *text) {
  if (param_apply_hooks.encoder_count_set) param_apply_hooks.encoder_count_set(counter, 0);
  show_message(ctx, text);
}

// The command words, compared whole.
void command_key(GuiContext *ctx, DvrKey key) {
  const char *name = nullptr;
  switch (key) {
    case DVR_KEY_ADVANCED_CFG: name = "DVR_KEY_ADVANCED_CFG"; break;
    case DVR_KEY_TITLE_OVERLAY: name = "DVR_KEY_TITLE_OVERLAY"; break;
    case DVR_KEY_CODED_OVERLAY: name = "DVR_KEY_CODED_OVERLAY"; break;
    case DVR_KEY_EXTRA_OVERLAY: name = "DVR_KEY_EXTRA_OVERLAY"; break;
    case DVR_KEY_ADDTL_OVERLAY: name = "DVR_KEY_ADDTL_OVERLAY"; break;
    case DVR_KEY_DIAG_MENU: name = "DVR_KEY_DIAG_MENU"; break;
    case DVR_KEY_OVERLAY_MENU: name = "DVR_KEY_OVERLAY_MENU"; break;
    case DVR_KEY_OVERLAY_POSITION: name = "DVR_KEY_OVERLAY_POSITION"; break;
    case DVR_KEY_PLAY_FILE: name = "DVR_KEY_PLAY_FILE"; break;
    case DVR_KEY_VIEW_SNAPSHOT: name = "DVR_KEY_VIEW_SNAPSHOT"; break;
    case DVR_KEY_FIRMWARE_UPDATE: name = "DVR_KEY_FIRMWARE_UPDATE"; break;
    default: return;
  }
  // Files named by the control protocol play without the "menu open" bit:
  // its playback requests (pause, resume, stop) are refused while a menu is
  // open.
  if (key == DVR_KEY_PLAY_FILE || key == DVR_KEY_VIEW_SNAPSHOT) {
    osd_layout.browse_source = gui_state.playback_source;
    if (key == DVR_KEY_PLAY_FILE) play_video_action(ctx, gui_state.playback_name);
    else view_snapshot_action(ctx, gui_state.playback_name);
    osd_flush(ctx);
    return;
  }
  with_menu_bit(name, [&] {
    switch (key) {
      case DVR_KEY_ADVANCED_CFG: advanced_config_menu(ctx); break;
      case DVR_KEY_TITLE_OVERLAY: overlay_key_action(ctx, 1); break;
      case DVR_KEY_CODED_OVERLAY: overlay_key_action(ctx, 2); break;
      case DVR_KEY_EXTRA_OVERLAY: overlay_key_action(ctx, 3); break;
      case DVR_KEY_ADDTL_OVERLAY: overlay_key_action(ctx, 4); break;
      case DVR_KEY_DIAG_MENU:
        diagnostics_menu(ctx);
        osd_flush(ctx);
        break;
      case DVR_KEY_OVERLAY_MENU:
        overlay_menu(ctx);
        osd_flush(ctx);
        break;
      case DVR_KEY_OVERLAY_POSITION: overlay_position(ctx); break;
      case DVR_KEY_FIRMWARE_UPDATE: {
        char path[256];
        if (filesys_get_file("m7391.fw", path, sizeof path)) firmware_update_screen(ctx);
        else show_message(ctx, T(T_OPEN_FAILED));
        break;
      }
      default: break;
    }
  });
}

// The recording's status text (at most 60 bytes) after a stop.
void after_stop(GuiContext *ctx) {
  char status[64] = "";
  getRecordingStatus(status, 61);
  ParamBlock *p = params();
  if (!strcmp(status, T(T_USB_CANNOT)) || !strcmp(status, "== USB Storage cannot record ==")) {
    with_menu_bit("stop_recording", [&] {
      for (;;) {
        const char *items[8] = {status};
        int codes[8] = {0};
        int n = 1;
        auto add = [&](int text, int code) {
          items[n] = T(text);
          codes[n++] = code;
        };
        add(T_REPLACE_USB, 1);
        if (p->recording.storage_device == 0) add(T_SINGLE_DEVICE, 2);
        if (p->recording.format < 2) add(T_AUDIO_OFF, 3);
        if (p->recording.format < 2 && p->audio.channels == 2) add(T_MONO, 4);
        add(T_BITRATE, 5);
        TextOverlayConf *c = overlay_conf(osd_layout.current_overlay);
        if (c && (c->background == 1 || c->background == 4)) add(T_SECONDARY_BG, 6);
        items[n] = nullptr;
        int row = show_menu(ctx, n, items, 1);
        if (row <= 0 || get_exit_code()) break;
        int code = codes[row];
        if (code == 1) {
          show_notice(ctx, T(T_WORN_USB));
          break;
        }
        if (code == 2) recording_storage_menu(ctx);
        else if (code == 3) recording_format_menu(ctx);
        else if (code == 4) audio_input_menu(ctx);
        else if (code == 5) bitrate_menu(ctx);
        else if (code == 6) secondary_overlay_menu(ctx, osd_layout.current_overlay);
        if (code >= 2 && code <= 5) save_and_apply();
      }
      save_and_apply();
    });
  } else if (!strcmp(status, T(T_STOPPED)) || !strcmp(status, "Stopped")) {
    show_message(ctx, T(T_STOP));
  } else if (status[0]) {
    refusal_message(ctx, status);
  }
}

// The recorder ended a recording of its own (a fault, its last segment):
// the status word follows at once, so that the control protocol's guards
// see no recording, and the menu thread wakes to clean up after it.
void record_ended(void) {
  status_update(0, STATUS_RECORDING | STATUS_REC_PAUSED, "record_ended");
  dvr_post_key(0);
}

}  // namespace

void dvr_set_recording_state(int recording, int paused) {
  gui_state.recording = recording ? 1 : 0;
  gui_state.paused = paused;
  setVideoPause(0, paused);
  status_update((recording ? STATUS_RECORDING : 0) | (paused ? STATUS_REC_PAUSED : 0),
                STATUS_RECORDING | STATUS_REC_PAUSED, "dvr_set_recording_state");
  dvr_post_key(0);
}

void dvr_set_playback_state(int playing, int state) {
  PlaybackState = state;
  status_update((playing ? STATUS_PLAYBACK : 0) | (state ? STATUS_PLAY_PAUSED : 0),
                STATUS_PLAYBACK | STATUS_PLAY_PAUSED, "dvr_set_playback_state");
  dvr_post_key(0);
}

int dvr_set_filename(int device, const char *name) {
  log_printf("%s: devid=%d filename=%s\n", "dvr_set_filename", device, name ? name : "(null)");
  if (device < 0 || device > 2 || !filesys_name_ok(name)) return 5;
  struct stat st;
  if (filesys_stat_recording(device, name, &st) != 0 || !S_ISREG(st.st_mode)) return 5;
  gui_state.playback_source = device;
  snprintf(gui_state.playback_name, sizeof gui_state.playback_name, "%s", name);
  return 0;
}

void request_reboot(void) { set_exit_code(EXIT_REBOOT); }

CtlStatus dvr_start(uint32_t key, int ms) {
  pthread_mutex_lock(&g_start.mutex);
  uint32_t ticket = ++g_start.asked;
  pthread_mutex_unlock(&g_start.mutex);
  dvr_post_key(key);
  for (int waited = 0;; waited += 10) {
    pthread_mutex_lock(&g_start.mutex);
    bool done = (int32_t)(g_start.done - ticket) >= 0;
    CtlStatus result = g_start.result;
    pthread_mutex_unlock(&g_start.mutex);
    if (done) return result;
    if (waited >= ms || get_exit_code()) break;
    sleep_ms(10);
  }
  log_printf("%s: key 0x%x not acted on within %d ms\n", "dvr_start", key, ms);
  // Withdrawn while it waits: a start refused now must not begin later.
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  if (key_mailbox.key_word == key) key_mailbox.key_word = 0;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  return CTL_ERR_STATE;
}

void dvr_request_recording(int run) {
  // Through the keys, as the keypad would: the logic's own state, the status
  // word and the REC line follow.
  if (run && !gui_state.recording) dvr_post_key(DVR_KEY_REC_STOP);
  else if (!run && gui_state.recording) dvr_post_key(DVR_KEY_STOP_BACK);
}

int set_recording_storage_device(GuiContext *ctx, int64_t *free_bytes) {
  ParamBlock *p = params();
  bool have[3] = {filesys_is_mounted(STORAGE_INT), filesys_is_mounted(STORAGE_EXT),
                  filesys_is_mounted(STORAGE_MMC)};
  log_printf("%s: int=%s ext=%s sdc=%s\n", "set_recording_storage_device", have[0] ? "yes" : "no",
             have[1] ? "yes" : "no", have[2] ? "yes" : "no");
  bool usb_only = p->dvr_disable_ext_ports != 0;
  int want = usb_only ? 1 : p->recording.storage_device;
  if (want == 3) {
    if (!have[0] && !have[1]) {
      start_outcome(CTL_ERR_FILE_OP);  // told before the message, which waits
      show_message(ctx, T(T_NO_STORAGE));
      return -1;
    }
    const char *items[6] = {T(T_STORAGE_TITLE)};
    int codes[6] = {-1};
    int n = 1, initial = 1;
    auto add = [&](int text, int code) {
      if (code == gui_state.storage_row) initial = n;
      items[n] = T(text);
      codes[n++] = code;
    };
    if (have[1]) add(T_EXTERNAL, 2);
    if (have[0]) add(T_INTERNAL, 1);
    if (have[0] && have[1]) add(T_BOTH, 0);
    if (have[2]) add(T_SD_CARD, 4);
    items[n] = nullptr;
    int row = show_menu(ctx, n, items, initial);
    if (row <= 0) return -1;
    want = codes[row];
    gui_state.storage_row = want;
  }
  char text[96];
  const char *missing = nullptr;
  if (want == 2 && !have[1]) missing = T(T_EXTERNAL);
  if (want == 1 && !have[0]) missing = usb_only ? T(T_USB) : T(T_INTERNAL_LC);
  if (want == 4 && !have[2]) missing = T(T_SD_CARD);
  if (missing) {
    snprintf(text, sizeof text, T(T_NO_NAMED_STORAGE), missing);
    start_outcome(CTL_ERR_FILE_OP);
    show_message(ctx, text);
    return -1;
  }
  if (want == 0 && !have[0] && !have[1]) {
    start_outcome(CTL_ERR_FILE_OP);
    show_message(ctx, T(T_NO_STORAGE));
    return -1;
  }
  int64_t room[3] = {-1, -1, -1};
  const int names[3] = {T_INTERNAL, T_EXTERNAL, T_SD_CARD};
  for (int s = 0; s < 3; s++) {
    bool wanted = (s == 0 && (want == 1 || (want == 0 && have[0]))) ||
                  (s == 1 && (want == 2 || (want == 0 && have[1]))) || (s == 2 && want == 4);
    if (!wanted) continue;
    filesys_recalculate_free_space(s);
    room[s] = filesys_free_space(s);
    if (room[s] == 0) {
      snprintf(text, sizeof text, T(T_STORAGE_FULL), T(names[s]));
      start_outcome(CTL_ERR_FILE_OP);
      show_message(ctx, text);
      return -1;
    }
  }
  if (free_bytes) {
    log_printf("free_int=%lld free_ext=%lld free_mmc=%lld\n", (long long)room[0], (long long)room[1],
               (long long)room[2]);
    int64_t f = want == 1 ? room[0] : want == 2 ? room[1] : want == 4 ? room[2] : -1;
    if (want == 0) {
      f = room[0] < 0 ? room[1] : room[1] < 0 ? room[0] : (room[0] < room[1] ? room[0] : room[1]);
      if (!have[0] || !have[1]) f = have[0] ? room[0] : room[1];
    }
    *free_bytes = f;
  }
  filesys_set_storage_device(want);
  return want;
}

int start_recording(GuiContext *ctx) {
  ParamBlock *p = params();
  int64_t room = -1;
  int device = set_recording_storage_device(ctx, &room);
  if (device < 0) {
    start_outcome(CTL_ERR_FILE_OP);  // also when the storage menu was left
    return 0;
  }
  if (p->recording.mute_at_start == 1) p->audio.mute = 3;
  else if (p->recording.mute_at_start == 2) p->audio.mute = 0;
  if (p->display.standard && p->display.output) {
    log_printf("%s: %dx%d %s %dx%d %s\n", "start_recording", p->video[0].width, p->video[0].height,
               video_std_name(p->display.standard), display_info.width, display_info.height,
               video_std_name(displayEnv ? displayEnv->std.load() : 0));
    param_write_begin();
    p->video[0].width = (uint16_t)display_info.width;
    p->video[0].height = (uint16_t)display_info.height;
    param_write_end();
  }
  int cw = 0, ch = 0;
  capture_size(0, &cw, &ch);
  p->video[0].aspect_ratio = ch < 577 ? 1 : 2;
  // The message first: the device is settled before the stream starts.
  char text[192];
  bool have_int = filesys_is_mounted(STORAGE_INT), have_ext = filesys_is_mounted(STORAGE_EXT);
  bool both = have_int && have_ext && device == 0;
  if (both) {
    snprintf(text, sizeof text, "%s", T(T_REC_BOTH));
  } else {
    // "Both USB disks" with one of them there records to that one, as the
    // storage choice above and the recorder take it.
    if (device == 0) device = have_int ? 1 : have_ext ? 2 : 0;
    const char *where = device == 1 ? (p->dvr_disable_ext_ports ? T(T_USB) : T(T_INTERNAL_LC))
                        : device == 2 ? T(T_EXTERNAL_LC)
                        : device == 4 ? T(T_SD_CARD)
                                      : nullptr;
    if (!where) {
      start_outcome(CTL_ERR_FILE_OP);
      show_message(ctx, T(T_NO_STORAGE));
      return 0;
    }
    snprintf(text, sizeof text, T(T_REC_TO), where);
  }
  uint64_t rate = (uint64_t)p->video[0].bit_rate + p->audio.bit_rate;
  int secs = room >= 0 && rate ? (int)((uint64_t)room * 8 / rate) : -1;
  log_printf("free space %lld bytes  rec time %d sec\n", (long long)room, secs);
  size_t n = strlen(text);
  if (secs < 0)
    snprintf(text + n, sizeof text - n, "\n%s", T(T_REMAINING_UNKNOWN));
  else
    snprintf(text + n, sizeof text - n, "\n%s %d:%02d:%02d", T(T_REMAINING), secs / 3600, secs / 60 % 60,
             secs % 60);
  gui_state.record_start = timestamp_now();
  dvr_set_recording_state(1, 0);
  stream_start(RECORD_STREAM);
  if (!running(RECORD_STREAM)) {
    log_printf("%s: record stream did not start\n", "start_recording");
    dvr_set_recording_state(0, 0);
    updateRecordingStatus(ctx);
    start_outcome(CTL_ERR_FILE_OP);
    return 0;
  }
  start_outcome(CTL_OK);
  updateRecordingStatus(ctx);
  int saved = osd_layout.message_timeout;
  osd_layout.message_timeout = 5;
  show_message(ctx, text);
  osd_layout.message_timeout = saved;
  return 1;
}

void stop_recording(GuiContext *ctx) {
  dvr_set_recording_state(0, 0);
  show_status_text(ctx, T(T_WAIT_SAFE));
  if (running(RECORD_STREAM)) {
    log_printf("stopping record stream\n");
    stream_stop(RECORD_STREAM);
    log_printf("stopped record stream\n");
  }
  // The recorder closes its files and the volumes go back to read-only;
  // a recorder that never lets go is given 60 s. Keys pressed while it
  // still writes are dropped, a start asked by the control protocol
  // answered as refused; one that comes once it has let go waits for the
  // tick after the stop. A file the control protocol named is kept: its
  // request was answered and the status word already says it plays.
  DvrKey named = 0;
  for (int i = 0; !get_exit_code() && !filesys_all_read_only(); i++) {
    if (i == 600) {
      log_printf("%s: volumes still writable after 60 s\n", "stop_recording");
      break;
    }
    DvrKey k = dvr_wait_key(ctx, 0);
    if (k == DVR_KEY_DIAG_MENU)
      diagnostics_menu(ctx);
    else if (k == DVR_KEY_PLAY_FILE || k == DVR_KEY_VIEW_SNAPSHOT)
      named = k;
    else if (k < (1u << 26) && (k & (0x401 | DVR_KEY_SNAPSHOT | DVR_KEY_UP_SNAPSHOT)))
      start_outcome(CTL_ERR_STATE);
    sleep_ms(100);
  }
  gui_state.recording = 0;
  status_update(0, STATUS_RECORDING, "stop_recording");
  clear_status_text(ctx);
  updateRecordingStatus(ctx);
  if (named) dvr_post_key(named);   // closes a message after_stop shows
  after_stop(ctx);
}

void take_snapshot(GuiContext *ctx) {
  if (!video_locked()) {
    start_outcome(CTL_ERR_NO_VIDEO);
    show_message(ctx, T(T_NO_VIDEO));
    return;
  }
  if (set_recording_storage_device(ctx, nullptr) < 0) {
    start_outcome(CTL_ERR_FILE_OP);
    log_printf("%s: no recording device\n", "take_snapshot");
    return;
  }
  // The snapshot is taken at stream A's size, as far as output B goes: a
  // size B's own settings take, and B's settings are its own again once
  // the picture is taken (unless changed meanwhile), so that neither B's
  // stream nor B's page keeps what the snapshot asked for.
  ParamBlock *p = params();
  int w = p->video[0].width, h = p->video[0].height;
  int ch = h;
  snapshot_reduce_size(&w, &h);
  if (!ch) {
    int cw = 0;
    capture_size(0, &cw, &ch);
  }
  param_write_begin();
  const VideoChannelParams was = p->video[1];
  p->video[1].width = (uint16_t)w;
  p->video[1].height = (uint16_t)h;
  p->video[1].aspect_ratio = ch < 577 ? 1 : 0;
  const VideoChannelParams asked = p->video[1];
  param_write_end();
  // The recorder reports the snapshot through the file-name hand-off.
  char before[sizeof filesys_state.record_name];
  pthread_mutex_lock(&filesys_state.record_name_mutex);
  snprintf(before, sizeof before, "%s", filesys_state.record_name);
  pthread_mutex_unlock(&filesys_state.record_name_mutex);
  int count = -1;
  stream_start(SNAPSHOT_STREAM);
  start_outcome(running(SNAPSHOT_STREAM) ? CTL_OK : CTL_ERR_FILE_OP);
  char text[64];
  static const char kSpin[] = "-\\|/";
  for (int pass = 0; running(SNAPSHOT_STREAM) && !get_exit_code() && pass < 800; pass++) {
    pthread_mutex_lock(&filesys_state.record_name_mutex);
    const char *name = filesys_state.record_name;
    size_t len = strlen(name);
    if (len > 16 && strcmp(name, before) != 0 && !strcmp(name + len - 4, ".jpg"))
      count = atoi(name + len - 7);
    pthread_mutex_unlock(&filesys_state.record_name_mutex);
    char spin = kSpin[(pass / 4) % 4];
    if (count >= 0) snprintf(text, sizeof text, "%s %d %c", T(T_SNAPSHOT), count, spin);
    else snprintf(text, sizeof text, "%s %c", T(T_SNAPSHOT), spin);
    show_status_text(ctx, text);
    sleep_ms(125);
  }
  if (running(SNAPSHOT_STREAM)) {
    log_printf("%s: snapshot stream still running, stopped\n", "take_snapshot");
    stream_stop(SNAPSHOT_STREAM);
  }
  param_write_begin();
  VideoChannelParams &b = p->video[1];
  if (b.width == asked.width && b.height == asked.height) {
    b.width = was.width;
    b.height = was.height;
  }
  if (b.aspect_ratio == asked.aspect_ratio) b.aspect_ratio = was.aspect_ratio;
  param_write_end();
  pthread_mutex_lock(&filesys_state.record_name_mutex);
  size_t len = strlen(filesys_state.record_name);
  if (len > 16 && strcmp(filesys_state.record_name, before) != 0 &&
      !strcmp(filesys_state.record_name + len - 4, ".jpg"))
    count = atoi(filesys_state.record_name + len - 7);
  pthread_mutex_unlock(&filesys_state.record_name_mutex);
  clear_status_text(ctx);
  if (count >= 0) {
    snprintf(text, sizeof text, "%s %d", T(T_SNAPSHOT), count);
    show_status_text(ctx, text);
  } else {
    show_status_text(ctx, T(T_SNAPSHOT_LIMIT));
  }
  osd_flush(ctx);
}

int play_video_action(GuiContext *ctx, const char *name) {
  ParamBlock *p = params();
  char path[kPlayPathMax];
  if (!source_path(osd_layout.browse_source, name, path, sizeof path)) snprintf(path, sizeof path, "%s", name);
  // The control protocol answers a file's request before this starts it: a
  // pause asked for in between is in the word already and holds the file at
  // its first picture.
  dvr_set_playback_state(1, (status_get() & STATUS_PLAY_PAUSED) ? 1 : 0);
  TrickMode = TRICK_NONE;
  playback_loading = 1;
  log_printf("%s: filename=%s\n", "play_video_action", path);
  updateRecordingStatus(ctx);
  OsdRect all = {0, 0, OSD_WIDTH, OSD_HEIGHT};
  fillSquare(&all, 0, 0);
  drawTimeStatus(ctx, 0, LangTable[LANG_LOAD]);
  p->display.stream_format = 2;
  startDisplayPassthru();
  playback_set_filename(path);
  stream_start(OUTPUT_STREAM);
  log_printf("%s: main loop\n", "play_video_action");
  bool paused = false, ended = false, back_shown = false;
  DvrKey next = 0;  // another file asked for meanwhile
  const char *refused = nullptr;
  char started[sizeof gui_state.playback_name];
  snprintf(started, sizeof started, "%s", gui_state.playback_name);
  auto show_back = [&](bool on) {
    if (!p->keys_menu_back_option || on == back_shown) return;
    if (on) osd_draw_label(ctx, 100, 100, T(T_BACK_LABEL));
    else osd_erase_text(ctx, 100, 100, T(T_BACK_LABEL));
    back_shown = on;
  };
  auto set_pause = [&](bool on) {
    paused = on;
    PlaybackState = on ? PLAYBACK_PAUSED : PLAYBACK_PLAYING;
    if (!on) ended = false;
    show_back(on);
  };
  while (running(OUTPUT_STREAM) && !get_exit_code()) {
    int state = PlaybackState;
    if (state == PLAYBACK_ERROR || state == PLAYBACK_UNSUPPORTED) {
      PlaybackState = PLAYBACK_PAUSED;
      stream_stop(OUTPUT_STREAM);
      osd_erase_text(ctx, osd_layout.status_x, osd_layout.status_y, osd_layout.status_text);
      refused = T(state == PLAYBACK_ERROR ? T_NOT_PLAYABLE : T_UNSUPPORTED);
      break;
    }
    if (state == PLAYBACK_END && !ended) {
      ended = true;
      paused = true;
      show_back(true);
    }
    // The control protocol holds and releases playback through the state
    // word (dvr_set_playback_state): the label follows it.
    if (!ended && (state == PLAYBACK_PAUSED || state == PLAYBACK_PLAYING) &&
        (state == PLAYBACK_PAUSED) != paused) {
      paused = state == PLAYBACK_PAUSED;
      show_back(paused);
    }
    const char *label = playback_loading ? LangTable[LANG_LOAD]
                        : ended                  ? LangTable[LANG_END]
                        : paused                 ? LangTable[LANG_PAUSE]
                        : TrickMode == TRICK_REWIND || TrickMode < -1 ? LangTable[LANG_REW]
                        : TrickMode == TRICK_FAST_FORWARD            ? LangTable[LANG_FF]
                                                                     : LangTable[LANG_PLAY];
    drawTimeStatus(ctx, (uint32_t)playback_position(), label);
    DvrKey k = dvr_wait_key(ctx, 1);
    if (!k) continue;
    log_printf("%s: key=%d\n", "play_video_action", (int)k);
    if (k == DVR_KEY_MOUSE_EVENT && gui_input.click_pending) {
      gui_input.click_pending = 0;
      bool was = paused;
      set_pause(true);
      int row = 0;
      with_menu_bit("DVR_KEY_MOUSE_EVENT", [&] {
        const char *items[] = {T(T_PLAYBACK_MENU), was ? LangTable[LANG_PLAY] : LangTable[LANG_PAUSE],
                               T(T_STOP), LangTable[LANG_REW], LangTable[LANG_FF], nullptr};
        row = show_menu(ctx, 5, items, 1);
      });
      if (row == 1) {
        set_pause(!was);
        continue;
      }
      set_pause(was);
      if (row == 2) k = DVR_KEY_REC_STOP | DVR_KEY_STOP_BACK;
      else if (row == 3) k = DVR_KEY_REW_BACK;
      else if (row == 4) k = DVR_KEY_FF_OK;
      else continue;
    }
    if (k == DVR_KEY_DIAG_MENU) {
      diagnostics_menu(ctx);
      continue;
    }
    if (k == DVR_KEY_PLAY_FILE || k == DVR_KEY_VIEW_SNAPSHOT) {
      // A stop and another file asked for at once leave only the file's
      // key: this file ends and the other is shown.
      next = k;
      stream_stop(OUTPUT_STREAM);
      break;
    }
    if (k >= (1u << 26)) continue;
    if (k & (DVR_KEY_STOP_BACK | DVR_KEY_REC_STOP)) {
      stream_stop(OUTPUT_STREAM);
      break;
    }
    if (k & DVR_KEY_MENU_OK) {
      if (paused) {
        stream_stop(OUTPUT_STREAM);
        break;
      }
      if (TrickMode != TRICK_NONE) TrickMode = TRICK_NONE;
      continue;
    }
    bool rew = k & (DVR_KEY_REW_BACK | DVR_KEY_UP | DVR_KEY_UP_UNMUTE_REW);
    bool ff = k & (DVR_KEY_FF_OK | DVR_KEY_DOWN | DVR_KEY_DOWN_MUTE_FF);
    if (rew || ff) {
      if (ended) set_pause(false);
      // The amount as it is now: the control protocol sets it with its key.
      int n = p->recording.seek_amount;
      if (n > 0) {
        log_printf("%s: seek %d s\n", "play_video_action", rew ? -n : n);
        TrickMode = (rew ? -1 : 1) * n * 90000;
        for (int i = 0; i < 500 && TrickMode != TRICK_NONE && running(OUTPUT_STREAM); i++) sleep_ms(10);
        if (TrickMode != TRICK_NONE) {
          log_printf("%s: seek not taken\n", "play_video_action");
          TrickMode = TRICK_NONE;
        }
      } else {
        int want = rew ? TRICK_REWIND : TRICK_FAST_FORWARD;
        TrickMode = TrickMode == want ? TRICK_NONE : want;
        if (paused) set_pause(false);
      }
      continue;
    }
    if (k & (DVR_KEY_PLAY_PAUSE | DVR_KEY_RECORD_PAUSE)) {
      TrickMode = TRICK_NONE;
      if (ended) {
        ended = false;
        set_pause(false);
      } else {
        set_pause(!paused);
      }
    }
  }
  // The player may stop the stream itself as it refuses the file, before
  // the loop has seen why.
  int last = PlaybackState;
  if (!refused && !next && (last == PLAYBACK_ERROR || last == PLAYBACK_UNSUPPORTED))
    refused = T(last == PLAYBACK_ERROR ? T_NOT_PLAYABLE : T_UNSUPPORTED);
  log_printf("%s: stopping\n", "play_video_action");
  // Handing over to another file, the status word goes on saying playback,
  // not paused: the next file starts playing.
  if (next) {
    PlaybackState = PLAYBACK_PLAYING;
    status_update(STATUS_PLAYBACK, STATUS_PLAYBACK | STATUS_PLAY_PAUSED, "play_video_action");
  } else
    dvr_set_playback_state(0, 0);
  osd_erase_text(ctx, osd_layout.status_x, osd_layout.status_y, osd_layout.status_text);
  osd_layout.status_text[0] = 0;
  show_back(false);
  playback_set_filename(nullptr);
  // A file named while this one stopped is kept for its key.
  if (next)
    dvr_post_key(next);
  else if (!strcmp(gui_state.playback_name, started))
    gui_state.playback_name[0] = 0;
  startDisplayPassthru();
  updateRecordingStatus(ctx);
  if (refused) refusal_message(ctx, refused);
  return 0;
}

int snapshot_check(int source, const char *name) {
  int fd = filesys_open_recording(source, name, O_RDONLY);
  int w = 0, h = 0;
  int state = fd < 0 ? PLAYBACK_ERROR : playback_jpeg_check(fd, &w, &h);
  if (fd >= 0) close(fd);
  if (state == 0 && display_can_show(w, h) != 0) state = PLAYBACK_UNSUPPORTED;
  if (state)
    log_printf("%s: %s cannot be shown (%s)\n", "snapshot_check", name,
               state == PLAYBACK_UNSUPPORTED ? "picture size" : "no picture the playback decodes");
  return state;
}

int view_snapshot_action(GuiContext *ctx, const char *name) {
  // A file that cannot be shown leaves the monitor and the status as they are.
  if (int state = snapshot_check(osd_layout.browse_source, name)) {
    if (!strcmp(gui_state.playback_name, name)) gui_state.playback_name[0] = 0;
    refusal_message(ctx, T(state == PLAYBACK_UNSUPPORTED ? T_UNSUPPORTED : T_NOT_VIEWABLE));
    return 0;
  }
  set_key_repeat(0);
  updateRecordingStatus(ctx);
  char path[kPlayPathMax];
  if (!source_path(osd_layout.browse_source, name, path, sizeof path)) snprintf(path, sizeof path, "%s", name);
  log_printf("%s: %s\n", "view_snapshot_action", path);
  dvr_set_playback_state(1, 0);
  status_bit(STATUS_SNAPSHOT_VIEW, true, "view_snapshot_action");
  params()->display.stream_format = 3;
  startDisplayPassthru();
  playback_set_filename(path);
  stream_start(OUTPUT_STREAM);
  for (int i = 0; i < 101 && !running(OUTPUT_STREAM) && PlaybackState == 0 && !get_exit_code(); i++)
    sleep_ms(10);
  show_message(ctx, name);
  log_printf("%s: main loop\n", "view_snapshot_action");
  set_key_repeat(1);
  int ret = 0;
  DvrKey next = 0;  // another file asked for meanwhile
  const char *error = nullptr;
  while (!get_exit_code() && running(OUTPUT_STREAM)) {
    int state = PlaybackState;
    if (state == PLAYBACK_UNSUPPORTED || state == PLAYBACK_ERROR) {
      error = T(state == PLAYBACK_UNSUPPORTED ? T_UNSUPPORTED : T_NOT_VIEWABLE);
      log_printf("view snapshot error %s\n", error);
      break;
    }
    DvrKey k = dvr_wait_key(ctx, 1);
    if (!k) continue;
    if (k == DVR_KEY_MOUSE_EVENT && gui_input.click_pending) {
      gui_input.click_pending = 0;
      k = DVR_KEY_REC_STOP | DVR_KEY_STOP_BACK;
    }
    if (k == DVR_KEY_DIAG_MENU) {
      diagnostics_menu(ctx);
      continue;
    }
    if (k == DVR_KEY_PLAY_FILE || k == DVR_KEY_VIEW_SNAPSHOT) {
      // The picture ends and the file named meanwhile is shown.
      next = k;
      break;
    }
    if (k >= (1u << 26)) continue;
    if (((k & (DVR_KEY_REW_BACK | DVR_KEY_UP_UNMUTE_REW)) && (k & DVR_KEY_ESCAPE) != DVR_KEY_ESCAPE) ||
        (k & DVR_KEY_UP)) {
      ret = 3;
      break;
    }
    if (k & (DVR_KEY_FF_OK | DVR_KEY_DOWN_MUTE_FF | DVR_KEY_DOWN)) {
      ret = 2;
      break;
    }
    if (k & (DVR_KEY_MENU_OK | DVR_KEY_STOP_BACK | DVR_KEY_REC_STOP)) break;
  }
  log_printf("%s: stopping\n", "view_snapshot_action");
  dvr_set_playback_state(0, 0);
  status_bit(STATUS_SNAPSHOT_VIEW, false, "view_snapshot_action");
  stream_stop(OUTPUT_STREAM);
  playback_set_filename(nullptr);
  if (next)
    dvr_post_key(next);
  else
    gui_state.playback_name[0] = 0;
  if (error) refusal_message(ctx, error);
  if (ret == 0) {
    startDisplayPassthru();
    updateRecordingStatus(ctx);
  }
  log_printf("view snapshot ret=%d\n", ret);
  return ret;
}

void gui_start(GuiContext *ctx) {
  ParamBlock *p = params();
  // The table holds the English texts from the start.
  osd_layout_init(ctx);
  for (int n = 1; n <= 4; n++) {
    TextOverlayConf *c = overlay_conf(n);
    if (!c) continue;
    c->font = p->dvr_secondary_overlay[n - 1].font;
    c->background = p->dvr_secondary_overlay[n - 1].background;
    c->x = p->dvr_secondary_overlay[n - 1].x;
    c->y = p->dvr_secondary_overlay[n - 1].y;
  }
  load_language_file(p->dvr_language);
  if (p->recording.start_mode) {
    gui_state.record_start = timestamp_now();
    gui_state.paused = 0;
  }
  const char *splash = "/usr/html/images/splash.jpg";
  struct stat st;
  if (p->dvr_splash_screen_time && sys_stat(splash, &st) == 0) {
    setDisplayIdle();
    playback_set_filename(splash);
    p->display.stream_format = 3;
    PlaybackState = PLAYBACK_PLAYING;
    stream_start(OUTPUT_STREAM);
    uint32_t span = p->dvr_splash_screen_time * 90000u;
    while (!get_exit_code()) {
      int state = PlaybackState;
      if (state == PLAYBACK_ERROR || state == PLAYBACK_UNSUPPORTED) break;
      uint32_t first = playback_first_picture_time();
      if (first && timestamp_diff(first, timestamp_now()) >= span) break;
      pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
      bool key = key_mailbox.key_word != 0;
      pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
      if (key) break;  // left for the first tick
      // A second's wait that leaves a key where it is.
      for (int i = 0; i < 10 && !key_mailbox.key_word && !get_exit_code(); i++) sleep_ms(100);
    }
    stream_stop(OUTPUT_STREAM);
    playback_set_filename(nullptr);
    // The splash took the display: the live picture again.
    startDisplayPassthru();
  } else if (ctx->display_env && ctx->display_env->mode == DISPLAY_IDLE) {
    // The display starts idle: the menu runs over the live picture, unless
    // a mode (colour bars, say) was asked for meanwhile.
    startDisplayPassthru();
  }
  gui_started = 1;
  updateRecordingStatus(ctx);
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  bool key_waits = key_mailbox.key_word != 0;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  if (!key_waits) osd_flush(ctx);
  uint32_t otg = hwreg_read(0x01C64460u);
  if ((otg & 0x18) != 0x18) notice(ctx, "HW fail: USB_VBUS, contact support");
  if ((otg & 0x84) != 4) notice(ctx, "HW fail: USB_ID, contact support");
}

void dvr_tick(GuiContext *ctx) {
  DvrKey key = dvr_wait_key(ctx, 1);
  bool rec = running(RECORD_STREAM);
  int std = ctx->display_env ? ctx->display_env->std.load() : 0;
  if (std != gui_state.last_std) {
    gui_state.last_std = std;
    corner_note_update(ctx);
  }
  if (filesys_state.storage_problem) {
    storage_problem_dialog(ctx);
    return;
  }
  if (!key && !gui_state.recording) {
    if (rec) log_printf("recording state out of sync. shouldn't get here\n");
    return;
  }
  if (gpio_get_blink_xled()) return;  // a firmware update is being written
  ParamBlock *p = params();
  if (key == DVR_KEY_MOUSE_EVENT && gui_input.click_pending) {
    gui_input.click_pending = 0;
    with_menu_bit("DVR_KEY_MOUSE_EVENT", [&] { main_menu(ctx, rec); });
  }
  if (key < (1u << 26) && (key & DVR_KEY_MENU_OK)) main_menu(ctx, rec);
  if (key == DVR_KEY_RECORD_TOGGLE) key = p->dvr_esc_disabled ? DVR_KEY_REC_STOP : DVR_KEY_RECORD_PAUSE;
  bool started = false;
  if (key < (1u << 26) && (key & 0x601)) {
    if (rec) {
      if (key & 0x201) {
        dvr_set_recording_state(1, gui_state.paused ? 0 : 1);
        updateRecordingStatus(ctx);
      }
    } else if (key & DVR_KEY_PLAY_PAUSE) {
      play_video_menu(ctx);
      osd_flush(ctx);
    } else if (video_locked()) {
      set_key_repeat(0);
      started = start_recording(ctx) != 0;
      set_key_repeat(1);
      key &= ~(DvrKey)DVR_KEY_REC_STOP;
    } else {
      start_outcome(CTL_ERR_NO_VIDEO);
      show_message(ctx, T(T_NO_VIDEO));
    }
  }
  if (gui_state.recording && !started) {
    if (key == DVR_KEY_ESCAPE && p->dvr_esc_disabled) {
      show_message(ctx, T(T_PRESS_R));
    } else if ((key < (1u << 26) && (key & 0x402)) || !running(RECORD_STREAM)) {
      stop_recording(ctx);
    }
  }
  if (key == DVR_KEY_ENCODER_DISTANCE) {
    encoder_distance(ctx);
    return;
  }
  if (key >= (1u << 26)) {
    command_key(ctx, key);
    return;
  }
  if (key & DVR_KEY_MUTE_TOGGLE) key |= p->audio.mute ? DVR_KEY_UP_UNMUTE_REW : DVR_KEY_DOWN_MUTE_FF;
  if (key & DVR_KEY_UP_UNMUTE_REW) mute_set(ctx, 0, T_UNMUTE);
  else if (key & DVR_KEY_DOWN_MUTE_FF) mute_set(ctx, 3, T_MUTE_TEXT);
  if (key & (DVR_KEY_SNAPSHOT | DVR_KEY_UP_SNAPSHOT)) take_snapshot(ctx);
  if (key & DVR_KEY_RESET_ENCODER1) encoder_reset(ctx, 0, "Encoder 1 reset");
  if (key & DVR_KEY_RESET_ENCODER2) encoder_reset(ctx, 1, "Encoder 2 reset");
}

void dvr_logic_install_hooks(void) {
  storage_hooks.dvr_post_key = dvr_post_key;
  storage_hooks.show_progress = show_progress;
  storage_hooks.record_ended = record_ended;
  storage_hooks.record_stopped_text = [] { return T(T_STOPPED); };
  cmd_hooks.dvr_set_recording_state = dvr_set_recording_state;
  cmd_hooks.dvr_set_playback_state = dvr_set_playback_state;
  cmd_hooks.dvr_set_filename = dvr_set_filename;
  cmd_hooks.snapshot_check = [](int source, const char *name) {
    return snapshot_check(source, name) == 0 ? 0 : -1;
  };
  cmd_hooks.dvr_start = dvr_start;
  param_apply_hooks.record_set_state = dvr_request_recording;
  dvr_key_hooks.recording = [] { return (int)gui_state.recording; };
  dvr_key_hooks.recording_paused = [] { return (int)gui_state.paused; };
  overlay_editor_install_hooks();
}
