// The request dispatcher, and the system, recording, playback and snapshot
// requests.
#include "control/cmd_exec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <sys/time.h>

#include "control/cmd_internal.h"
#include "control/status_events.h"
#include "core/global.h"
#include "core/log.h"
#include "core/log_episode.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/param_table.h"
#include "core/process_util.h"
#include "core/startup.h"
#include "media/capture.h"
#include "media/stream_producer.h"
#include "media/video_enc.h"
#include "platform/wallclock.h"
#include "storage/filesys.h"
#include "storage/playback.h"
#include "storage/recorder.h"

CmdHooks cmd_hooks;

namespace {

// DVR keys (the menu thread's words; the key mailbox lives above us).
enum : uint32_t {
  KEY_RECORD_PAUSE = 0x1,
  KEY_STOP_BACK = 0x2,
  KEY_SNAPSHOT = 0x4,
  KEY_FF_OK = 0x800,
  KEY_REW_BACK = 0x1000,
  KEY_PLAY_FILE = 13u << 26,
  KEY_VIEW_SNAPSHOT = 14u << 26,
};

// Guards on the status word.
enum CmdGuard : uint8_t {
  GUARD_NONE,
  GUARD_IDLE,          // no recording, playback, menu or snapshot view
  GUARD_RECORDING,     // recording, no menu
  GUARD_REC_RUNNING,   // recording, no menu, not paused
  GUARD_REC_PAUSED,    // recording, no menu, paused
  GUARD_PLAYING,       // playback, no menu or snapshot view
  GUARD_PLAY_RUNNING,
  GUARD_PLAY_PAUSED,
  GUARD_NO_PLAYBACK,   // no playback, menu or snapshot view
  GUARD_VIEWING,       // snapshot view, no menu
};

bool guard_ok(uint8_t guard, uint32_t s) {
  switch (guard) {
    case GUARD_IDLE: return (s & 0x303) == 0;
    case GUARD_RECORDING: return (s & 0x101) == 1;
    case GUARD_REC_RUNNING: return (s & 0x101) == 1 && !(s & STATUS_REC_PAUSED);
    case GUARD_REC_PAUSED: return (s & 0x101) == 1 && (s & STATUS_REC_PAUSED);
    case GUARD_PLAYING: return (s & 0x302) == 2;
    case GUARD_PLAY_RUNNING: return (s & 0x302) == 2 && !(s & STATUS_PLAY_PAUSED);
    case GUARD_PLAY_PAUSED: return (s & 0x302) == 2 && (s & STATUS_PLAY_PAUSED);
    case GUARD_NO_PLAYBACK: return (s & 0x302) == 0;
    case GUARD_VIEWING: return (s & 0x300) == 0x200;
    default: return true;
  }
}

struct CmdRange {
  int64_t lo, hi;
  bool on;
};
#define R(lo, hi) {lo, hi, true}

struct CmdRow {
  uint8_t opcode;
  const char *name;
  // b u8, h u16, i i16, w u32, q u64, s string, r raw bytes to the end.
  const char *fields;
  CmdRange range[4];   // the numeric fields in order
  uint8_t guard;
  uint32_t set, clear; // status bits a success changes
  bool word_always;    // the status word ends a failed reply too
  CmdHandler fn;
};

const int64_t kMaxName = 79;

CtlStatus name_status(const char *name) { return filesys_name_ok(name) ? CTL_OK : CTL_ERR_RANGE; }

// ---- System ----

CMD_HANDLER(cmd_get_version) {
  ctl_put_u32(a->reply, 0x01050000u + (M7391_BUILD & 0xFFFF));
  return CTL_OK;
}

CMD_HANDLER(cmd_get_identity) {
  char id[16];
  snprintf(id, sizeof id, "S%d", M7391_MODEL);
  ctl_put_u32(a->reply, 0x01000000u);
  ctl_put_string(a->reply, id);
  return CTL_OK;
}

CMD_HANDLER(cmd_get_status) {
  (void)a;
  return CTL_OK;
}

CMD_HANDLER(cmd_subscribe) {
  uint32_t word;
  return status_subscribe((uint8_t)a->n[0], (uint32_t)a->n[1], (uint16_t)a->n[2], &word);
}

int display_run_mode(void) {
  return param_apply_hooks.display_get_run_mode ? param_apply_hooks.display_get_run_mode() : 0;
}

CMD_HANDLER(cmd_set_display_mode) {
  static const int run_modes[5] = {1, 6, 0, 2, 8};
  int mode = (int)a->n[0];
  log_printf("%s: %d\n", "set_display_mode", mode);
  if (display_run_mode() == 4) return CTL_ERR_STATE;
  if (param_apply_hooks.display_set_run_mode) param_apply_hooks.display_set_run_mode(run_modes[mode]);
  if (core_hooks.display_wakeup) core_hooks.display_wakeup();
  return CTL_OK;
}

CMD_HANDLER(cmd_get_display_mode) {
  int mode;
  switch (display_run_mode()) {
    case 6: mode = 1; break;
    case 0: mode = 2; break;
    case 2: mode = 3; break;
    case 8: mode = 4; break;
    default: mode = 0; break;
  }
  ctl_put_u8(a->reply, (uint8_t)mode);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_low_power) {
  int level = (int)a->n[0];
  log_printf("%s: %d\n", "set_low_power", level);
  if (cmd_hooks.board_set_power) cmd_hooks.board_set_power(level == 0);
  if (level == 2 && cmd_hooks.request_suspend) cmd_hooks.request_suspend();
  return CTL_OK;
}

CMD_HANDLER(cmd_unsupported) {
  (void)a;
  return CTL_ERR_UNSUPPORTED;
}

CMD_HANDLER(cmd_unavailable) {
  (void)a;
  return CTL_ERR_STATE;
}

CMD_HANDLER(cmd_set_time) {
  (void)set_system_time((time_t)a->n[0]);
  return CTL_OK;
}

CMD_HANDLER(cmd_get_time) {
  struct timeval tv;
  wallclock_now(&tv);
  ctl_put_u32(a->reply, (uint32_t)tv.tv_sec);
  return CTL_OK;
}

// ---- Recording ----

// The settings a recording or snapshot request stores before the DVR logic
// takes or refuses the start; 0 keeps a setting as it is.
struct StartSettings {
  uint32_t bit_rate;        // Video[0].BitRate
  uint8_t stream_mode;      // Video[0].StreamMode
  uint8_t storage_device;   // 1 int, 2 ext
  uint8_t jpeg_quality;     // Video[1].JPEGQuality
};

// The storage selector of recordings and snapshots: 1 int, 2 ext; 3 names
// no single device and leaves the choice as it is (an SD card, "ask").
uint8_t record_storage(int64_t selector) { return selector == 1 || selector == 2 ? (uint8_t)selector : 0; }

// Stores what the request asks for under the write lock and returns what
// the settings held. The lock is not held past the stores: the DVR logic
// takes it while it starts.
StartSettings start_settings_store(const StartSettings &ask) {
  ParamBlock *pb = cmd_params();
  param_write_begin();
  StartSettings was = {pb->video[0].bit_rate, pb->video[0].stream_mode, pb->recording.storage_device,
                       pb->video[1].jpeg_quality};
  if (ask.bit_rate) pb->video[0].bit_rate = ask.bit_rate;
  if (ask.stream_mode) pb->video[0].stream_mode = ask.stream_mode;
  if (ask.storage_device) pb->recording.storage_device = ask.storage_device;
  if (ask.jpeg_quality) pb->video[1].jpeg_quality = ask.jpeg_quality;
  param_write_end();
  return was;
}

// A refused start changes no setting: each one it stored goes back to what
// it held, under the write lock, unless another writer has changed it since.
void start_settings_undo(const StartSettings &ask, const StartSettings &was) {
  ParamBlock *pb = cmd_params();
  param_write_begin();
  if (ask.bit_rate && pb->video[0].bit_rate == ask.bit_rate) pb->video[0].bit_rate = was.bit_rate;
  if (ask.stream_mode && pb->video[0].stream_mode == ask.stream_mode) pb->video[0].stream_mode = was.stream_mode;
  if (ask.storage_device && pb->recording.storage_device == ask.storage_device)
    pb->recording.storage_device = was.storage_device;
  if (ask.jpeg_quality && pb->video[1].jpeg_quality == ask.jpeg_quality)
    pb->video[1].jpeg_quality = was.jpeg_quality;
  param_write_end();
}

// The DVR logic answers for a start key within this (a serial bridge's
// channel waits 2 s for the whole reply).
const int kStartWaitMs = 1500;

// Posts the key that starts a recording or takes a snapshot: CTL_OK when
// it began, else why not. A name the recorder left in its hand-off before
// (a segment's, nobody asked) is dropped first: the reply names only the
// file this start opens.
CtlStatus start_key(uint32_t key) {
  if (!cmd_hooks.record_filename) {
    char stale[100];
    getRecordFilename(stale, sizeof stale, 0);
  }
  if (cmd_hooks.dvr_start) return cmd_hooks.dvr_start(key, kStartWaitMs);
  cmd_post_key(key);
  return CTL_OK;
}

// Waits at most ms for the name of the file the recorder opened, and puts
// it into the reply and the reason ("unknown" when none came): 0 when one
// came.
int reply_record_name(CmdArgs *a, int ms) {
  int rc = (cmd_hooks.record_filename ? cmd_hooks.record_filename : getRecordFilename)(a->text, sizeof a->text, ms);
  ctl_put_string(a->reply, a->text);
  a->reason = a->text;
  return rc;
}

// A recording that began opens its first file within what is left of the
// serial bridge's 2 s once the start was taken, and never less than
// kRecordNameWaitMs: a busy box may take a while. One that opens none (no
// descriptor, a failing volume) names none.
const int kRecordNameWaitMs = 400;
const int kRecordReplyBudgetMs = 1900;

CMD_HANDLER(cmd_record_start) {
  StartSettings ask = {};
  uint32_t kbits = (uint32_t)a->n[2];
  if (kbits) {
    const ParamDesc *d = param_find("Video[0].BitRate");
    int64_t bps = (int64_t)kbits * 1000;
    if (d && (bps < d->min || bps > d->max)) return CTL_ERR_RANGE;
    ask.bit_rate = (uint32_t)bps;
  }
  if (a->n[1] == 0) ask.stream_mode = 14;
  if (a->n[1] == 1) ask.stream_mode = 1;
  ask.storage_device = record_storage(a->n[0]);
  const StartSettings was = start_settings_store(ask);
  const int64_t began = monotonic_ms();
  CtlStatus st = start_key(KEY_RECORD_PAUSE);
  int64_t left = kRecordReplyBudgetMs - (monotonic_ms() - began);
  if (left < kRecordNameWaitMs) left = kRecordNameWaitMs;
  if (st == CTL_OK && reply_record_name(a, (int)left) != 0) {
    // Begun without a file: the recording is ended rather than left to
    // run under a failed answer.
    log_printf("%s: the recorder opened no file\n", "record_start");
    cmd_post_key(KEY_STOP_BACK);
    st = CTL_ERR_FILE_OP;
  }
  if (st != CTL_OK) start_settings_undo(ask, was);
  return st;
}

CMD_HANDLER(cmd_record_stop) {
  (void)a;
  cmd_post_key(KEY_STOP_BACK);
  return CTL_OK;
}

void recording_pause(int paused) {
  if (cmd_hooks.dvr_set_recording_state)
    cmd_hooks.dvr_set_recording_state(1, paused);
  else
    setVideoPause(0, paused);
}

CMD_HANDLER(cmd_record_pause) {
  (void)a;
  recording_pause(1);
  return CTL_OK;
}

CMD_HANDLER(cmd_record_resume) {
  (void)a;
  recording_pause(0);
  return CTL_OK;
}

CMD_HANDLER(cmd_set_record_filename) {
  if ((int64_t)strlen(a->s[0]) > kMaxName) return CTL_ERR_RANGE;
  ParamBlock *pb = cmd_params();
  param_write_begin();
  snprintf(pb->recording.filename, sizeof pb->recording.filename, "%s", a->s[0]);
  param_write_end();
  return CTL_OK;
}

// ---- Playback and snapshots ----

CMD_HANDLER(cmd_play_seek) {
  int seconds = (int)a->n[0];
  if (seconds == 0) return CTL_OK;
  cmd_params()->recording.seek_amount = (uint8_t)(abs(seconds) > 255 ? 255 : abs(seconds));
  cmd_post_key(seconds < 0 ? KEY_REW_BACK : KEY_FF_OK);
  return CTL_OK;
}

// Without the DVR logic: whether the recording directory holds the file.
int recording_exists(int source, const char *name) {
  struct stat st;
  return filesys_stat_recording(source, name, &st) == 0 && S_ISREG(st.st_mode) ? 0 : -1;
}

// Whether the file begins as a JPEG picture does (FF D8 FF): anything else
// under a picture's name would only blank the monitor.
bool is_picture(int source, const char *name) {
  int fd = filesys_open_recording(source, name, O_RDONLY);
  if (fd < 0) return false;
  uint8_t head[3] = {0, 0, 0};
  bool ok = read(fd, head, sizeof head) == (ssize_t)sizeof head && head[0] == 0xFF && head[1] == 0xD8 &&
            head[2] == 0xFF;
  close(fd);
  return ok;
}

// Whether the player can open the file: a file it would refuse is
// refused here, with its reason in the reply, so that no playback begins
// (and no playback bit is left) for it. A file that does not open is left
// to the name check that follows.
CtlStatus playable(CmdArgs *a, int source, const char *name) {
  int fd = filesys_open_recording(source, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CTL_OK;
  FILE *f = fdopen(fd, "rb");
  if (!f) {
    close(fd);
    return CTL_OK;
  }
  int rc = playback_check_file(f, fd, name, a->text, sizeof a->text);
  fclose(f);
  if (rc == 0) return CTL_OK;
  log_printf("%s: %s: %s\n", "play_file", name, a->text);
  ctl_set_status(a->reply, CTL_ERR_FILE_OP);
  ctl_put_string(a->reply, a->text);
  return CTL_ERR_FILE_OP;
}

// Names the file for the DVR logic and posts the key that shows it.
CtlStatus show_file(CmdArgs *a, uint32_t key) {
  const char *name = a->s[0];
  if (name_status(name)) return CTL_ERR_RANGE;
  int source = cmd_source(a->n[0]);
  if (key == KEY_PLAY_FILE) {
    CtlStatus st = playable(a, source, name);
    if (st) return st;
  }
  int rc = cmd_hooks.dvr_set_filename ? cmd_hooks.dvr_set_filename(source, name) : recording_exists(source, name);
  if (rc != 0) return CTL_ERR_NO_FILE;
  // A picture that cannot be shown is refused before the monitor changes.
  if (key == KEY_VIEW_SNAPSHOT &&
      (cmd_hooks.snapshot_check ? cmd_hooks.snapshot_check(source, name) != 0 : !is_picture(source, name))) {
    log_printf("%s: %s cannot be shown\n", "view_snapshot", name);
    return CTL_ERR_FILE_OP;
  }
  cmd_post_key(key);
  snprintf(a->text, sizeof a->text, "%s", name);
  a->reason = a->text;
  return CTL_OK;
}

CMD_HANDLER(cmd_play_file) { return show_file(a, KEY_PLAY_FILE); }
CMD_HANDLER(cmd_view_snapshot) { return show_file(a, KEY_VIEW_SNAPSHOT); }

CMD_HANDLER(cmd_play_stop) {
  (void)a;
  cmd_post_key(KEY_STOP_BACK);
  return CTL_OK;
}

void playback_pause(int paused) {
  if (cmd_hooks.dvr_set_playback_state)
    cmd_hooks.dvr_set_playback_state(1, paused);
  else
    PlaybackState = paused ? PLAYBACK_PAUSED : PLAYBACK_PLAYING;
}

CMD_HANDLER(cmd_play_pause) {
  (void)a;
  playback_pause(1);
  return CTL_OK;
}

CMD_HANDLER(cmd_play_resume) {
  (void)a;
  playback_pause(0);
  return CTL_OK;
}

int trick_mode(void) { return TrickMode.load(); }

CMD_HANDLER(cmd_play_trick) {
  int t = trick_mode();
  switch (a->n[0]) {
    case 1:
      if (t == 1) break;
      cmd_params()->recording.seek_amount = 0;
      cmd_post_key(KEY_FF_OK);
      break;
    case 2:
      if (t == -1 || t == -2) break;
      cmd_params()->recording.seek_amount = 0;
      cmd_post_key(KEY_REW_BACK);
      break;
    default:
      if (t == 1) cmd_post_key(KEY_FF_OK);
      if (t == -1) cmd_post_key(KEY_REW_BACK);
      break;
  }
  return CTL_OK;
}

CMD_HANDLER(cmd_get_trick) {
  int t = trick_mode();
  ctl_put_u8(a->reply, t == 1 ? 1 : t == -1 ? 2 : 0);
  return CTL_OK;
}

CMD_HANDLER(cmd_snapshot_take) {
  int quality = (int)a->n[1];
  if (quality == 1) return CTL_ERR_RANGE;
  if (!capture_video_lock()) return CTL_ERR_NO_VIDEO;
  StartSettings ask = {};
  ask.jpeg_quality = (uint8_t)quality;
  ask.storage_device = record_storage(a->n[0]);
  const StartSettings was = start_settings_store(ask);
  const int64_t began = monotonic_ms();
  CtlStatus st = start_key(KEY_SNAPSHOT);
  // The name comes once the picture is in its file: it is waited for as a
  // recording's is.
  int64_t left = kRecordReplyBudgetMs - (monotonic_ms() - began);
  if (left < kRecordNameWaitMs) left = kRecordNameWaitMs;
  if (st == CTL_OK && reply_record_name(a, (int)left) != 0) {
    // A picture still to come would make a file the reply denies.
    log_printf("%s: no snapshot file\n", "snapshot_take");
    stream_set_state_by_id(SNAPSHOT_STREAM, 0);
    st = CTL_ERR_FILE_OP;
  }
  if (st != CTL_OK) start_settings_undo(ask, was);
  return st;
}

CMD_HANDLER(cmd_snapshot_stop) {
  (void)a;
  log_printf("%s: *****\n", "snapshot_stop");
  cmd_post_key(KEY_STOP_BACK);
  return CTL_OK;
}

const uint32_t REC = STATUS_RECORDING, REC_P = STATUS_REC_PAUSED, PLAY = STATUS_PLAYBACK,
               PLAY_P = STATUS_PLAY_PAUSED, VIEW = STATUS_SNAPSHOT_VIEW;

const CmdRow cmd_table[] = {
    {1, "get_version", "", {}, GUARD_NONE, 0, 0, false, cmd_get_version},
    {2, "get_identity", "", {}, GUARD_NONE, 0, 0, false, cmd_get_identity},
    {3, "get_status", "", {}, GUARD_NONE, 0, 0, false, cmd_get_status},
    {4, "subscribe", "bwh", {R(0, 3)}, GUARD_NONE, 0, 0, false, cmd_subscribe},
    {5, "set_display_mode", "b", {R(0, 4)}, GUARD_NONE, 0, 0, false, cmd_set_display_mode},
    {6, "set_low_power", "b", {R(0, 2)}, GUARD_NONE, 0, 0, false, cmd_set_low_power},
    {7, "reserved_7", "ww", {}, GUARD_IDLE, 0, 0, false, cmd_unsupported},
    {9, "get_display_mode", "", {}, GUARD_NONE, 0, 0, false, cmd_get_display_mode},
    {10, "set_time", "w", {}, GUARD_NONE, 0, 0, false, cmd_set_time},
    {11, "get_time", "", {}, GUARD_NONE, 0, 0, false, cmd_get_time},
    {20, "record_start", "bbh", {R(1, 3)}, GUARD_IDLE, REC, 0, false, cmd_record_start},
    {21, "record_stop", "", {}, GUARD_RECORDING, 0, REC | REC_P, false, cmd_record_stop},
    {22, "record_pause", "", {}, GUARD_REC_RUNNING, REC_P, 0, false, cmd_record_pause},
    {23, "record_resume", "", {}, GUARD_REC_PAUSED, 0, REC_P, false, cmd_record_resume},
    {24, "set_record_filename", "s", {}, GUARD_NONE, 0, 0, false, cmd_set_record_filename},
    {25, "append_record_metadata", "r", {}, GUARD_NONE, 0, 0, false, cmd_append_record_metadata},
    {26, "enable_record_metadata", "b", {R(0, 1)}, GUARD_NONE, 0, 0, false, cmd_enable_record_metadata},
    {31, "play_seek", "i", {}, GUARD_PLAYING, 0, 0, false, cmd_play_seek},
    {32, "play_file", "bs", {R(1, 2)}, GUARD_IDLE, PLAY, PLAY_P, false, cmd_play_file},
    {33, "play_stop", "", {}, GUARD_PLAYING, 0, PLAY | PLAY_P, false, cmd_play_stop},
    {34, "play_pause", "", {}, GUARD_PLAY_RUNNING, PLAY_P, 0, false, cmd_play_pause},
    {35, "play_resume", "", {}, GUARD_PLAY_PAUSED, 0, PLAY_P, false, cmd_play_resume},
    {36, "play_trick", "b", {R(0, 2)}, GUARD_PLAYING, 0, 0, false, cmd_play_trick},
    {39, "get_trick", "", {}, GUARD_NONE, 0, 0, false, cmd_get_trick},
    {40, "view_snapshot", "bs", {R(1, 2)}, GUARD_IDLE, VIEW, 0, false, cmd_view_snapshot},
    {41, "snapshot_take", "bb", {R(1, 3), R(0, 97)}, GUARD_NO_PLAYBACK, 0, 0, false, cmd_snapshot_take},
    {43, "snapshot_stop", "", {}, GUARD_VIEWING, 0, VIEW, false, cmd_snapshot_stop},
    {44, "reserved_44", "s", {}, GUARD_NONE, 0, 0, false, cmd_unavailable},
    {45, "append_snapshot_metadata", "r", {}, GUARD_NONE, 0, 0, false, cmd_append_snapshot_metadata},
    {46, "enable_snapshot_metadata", "b", {R(0, 1)}, GUARD_NONE, 0, 0, false, cmd_enable_snapshot_metadata},
    {48, "update_firmware", "bs", {R(1, 2)}, GUARD_NONE, 0, 0, true, cmd_update_firmware},
    {49, "save_log", "bb", {R(1, 2), R(0, 1)}, GUARD_NONE, 0, 0, true, cmd_save_log},
    {50, "file_count", "b", {R(1, 2)}, GUARD_NONE, 0, 0, false, cmd_file_count},
    {51, "storage_space", "b", {R(1, 2)}, GUARD_NONE, 0, 0, true, cmd_storage_space},
    {52, "file_name", "bw", {R(1, 2)}, GUARD_NONE, 0, 0, false, cmd_file_name},
    {53, "file_delete", "bs", {R(1, 2)}, GUARD_NONE, 0, 0, true, cmd_file_delete},
    {54, "file_rename", "bss", {R(1, 2)}, GUARD_NONE, 0, 0, true, cmd_file_rename},
    {55, "file_info", "bw", {R(1, 2)}, GUARD_NONE, 0, 0, false, cmd_file_info},
    {56, "file_open", "bbs", {R(1, 2), R(0, 1)}, GUARD_NONE, 0, 0, true, cmd_open_file},
    {57, "file_close", "", {}, GUARD_NONE, 0, 0, true, cmd_close_file},
    {58, "file_read", "", {}, GUARD_NONE, 0, 0, false, cmd_read_file},
    {59, "file_write", "r", {}, GUARD_NONE, 0, 0, false, cmd_write_file},
    {60, "set_osd_text", "bs", {R(0, 16)}, GUARD_NONE, 0, 0, true, cmd_set_osd_text},
    {61, "set_osd_position", "bhh", {R(0, 16), R(0, 1080), R(0, 1920)}, GUARD_NONE, 0, 0, true,
     cmd_set_osd_position},
    {62, "set_osd_enable", "bb", {R(0, 16), R(0, 4)}, GUARD_NONE, 0, 0, true, cmd_set_osd_enable},
    {63, "set_osd_background", "bb", {R(0, 16), R(0, 7)}, GUARD_NONE, 0, 0, true, cmd_set_osd_background},
    {64, "set_osd_datetime_format", "bb", {R(0, 13), R(0, 6)}, GUARD_NONE, 0, 0, true,
     cmd_set_osd_datetime_format},
    {65, "get_osd_datetime_format", "", {}, GUARD_NONE, 0, 0, false, cmd_get_osd_datetime_format},
    {69, "get_osd", "b", {R(0, 16)}, GUARD_NONE, 0, 0, false, cmd_get_osd},
    {70, "image_alloc", "bh", {R(0, 15), R(1, 0xFFFF)}, GUARD_NONE, 0, 0, true, cmd_image_alloc},
    {71, "image_chunk", "bhr", {R(0, 15)}, GUARD_NONE, 0, 0, true, cmd_image_chunk},
    {72, "image_commit", "bb", {R(0, 15), R(0, 1)}, GUARD_NONE, 0, 0, true, cmd_image_commit},
    {80, "set_capture_adjust", "bb", {}, GUARD_NONE, 0, 0, true, cmd_set_capture_adjust},
    {81, "get_capture_adjust", "b", {}, GUARD_NONE, 0, 0, false, cmd_get_capture_adjust},
    {82, "set_capture_input", "b", {R(0, 1)}, GUARD_NONE, 0, 0, true, cmd_set_capture_input},
    {83, "get_capture_input", "", {}, GUARD_NONE, 0, 0, false, cmd_get_capture_input},
    {100, "set_capture_mode", "bbb", {R(0, 1), R(0, 1), R(0, 4)}, GUARD_NONE, 0, 0, true,
     cmd_set_capture_mode},
    {101, "get_capture_mode", "", {}, GUARD_NONE, 0, 0, false, cmd_get_capture_mode},
    {110, "set_audio_input", "b", {R(0, 1)}, GUARD_NONE, 0, 0, true, cmd_set_audio_input},
    {111, "set_volume", "bb", {R(1, 3), R(0, 119)}, GUARD_NONE, 0, 0, true, cmd_set_volume},
    {112, "set_mute", "bb", {R(1, 3), R(0, 1)}, GUARD_NONE, 0, 0, true, cmd_set_mute},
    {113, "set_agc", "bb", {R(1, 3), R(0, 1)}, GUARD_NONE, 0, 0, true, cmd_set_agc},
    {119, "get_audio", "", {}, GUARD_NONE, 0, 0, false, cmd_get_audio},
    {120, "set_encoder_count", "bw", {R(0, 3)}, GUARD_NONE, 0, 0, false, cmd_set_encoder_count},
    {121, "get_encoder_count", "b", {R(0, 3)}, GUARD_NONE, 0, 0, false, cmd_get_encoder_count},
    {122, "set_encoder_scalar", "bq", {R(0, 3)}, GUARD_NONE, 0, 0, false, cmd_set_encoder_scalar},
    {123, "set_offboard_encoder", "bb", {R(0, 3)}, GUARD_NONE, 0, 0, false, cmd_set_offboard_encoder},
    {129, "get_encoder_scalar", "b", {R(0, 3)}, GUARD_NONE, 0, 0, false, cmd_get_encoder_scalar},
    {140, "menu_reset", "b", {}, GUARD_NONE, 0, 0, false, cmd_menu_reset},
    {141, "menu_up_down", "b", {}, GUARD_NONE, 0, 0, false, cmd_menu_up_down},
    {142, "menu_select", "", {}, GUARD_NONE, 0, 0, false, cmd_menu_select},
    {143, "menu_escape", "", {}, GUARD_NONE, 0, 0, false, cmd_menu_escape},
};
const CmdRow *row_of(uint8_t opcode) {
  for (const CmdRow &r : cmd_table)
    if (r.opcode == opcode) return &r;
  return nullptr;
}

// Reads the row's fields into a; false when a range check fails (status 2
// set) or the request ran short (cmd_check_args set the status).
bool read_fields(const CmdRow *row, CtlExchange *ex, CmdArgs *a) {
  CtlPacket *req = &ex->request;
  int n = 0, s = 0;
  for (const char *f = row->fields; *f; f++) {
    switch (*f) {
      case 'b': a->n[n++] = ctl_get_u8(req); break;
      case 'h': a->n[n++] = ctl_get_u16(req); break;
      case 'i': a->n[n++] = (int16_t)ctl_get_u16(req); break;
      case 'w': a->n[n++] = ctl_get_u32(req); break;
      case 'q': a->n[n++] = (int64_t)ctl_get_u64(req); break;
      case 's': a->s[s++] = ctl_get_string(req); break;
      case 'r':
        a->raw_len = ctl_get_remaining(req);
        a->raw = req->read;
        ctl_get_bytes(req, nullptr, a->raw_len);
        break;
    }
  }
  if (!cmd_check_args(ex)) return false;
  for (int i = 0; i < n; i++) {
    const CmdRange &r = row->range[i];
    if (r.on && (a->n[i] < r.lo || a->n[i] > r.hi)) {
      ctl_set_status(&ex->reply, CTL_ERR_RANGE);
      return false;
    }
  }
  return true;
}

pthread_mutex_t cmd_mutex = PTHREAD_MUTEX_INITIALIZER;

void exec_locked(CtlExchange *ex) {
  CtlPacket *rep = &ex->reply;
  uint8_t opcode = ctl_get_u8(&ex->request);
  if (!cmd_check_args(ex)) return;
  const CmdRow *row = row_of(opcode);
  if (!row) {
    log_printf("%s: invalid opcode %d (%x)\n", "cmd_exec", opcode, opcode);
    ctl_set_status(rep, CTL_ERR_UNSUPPORTED);
    return;
  }
  CmdArgs a = {};
  a.reply = rep;
  a.reason = row->name;
  if (!read_fields(row, ex, &a)) return;
  if (row->guard != GUARD_NONE) {
    pthread_mutex_lock(&status_lock);
    bool ok = guard_ok(row->guard, status_get_locked());
    pthread_mutex_unlock(&status_lock);
    if (!ok) {
      ctl_set_status(rep, CTL_ERR_STATE);
      return;
    }
    CtlStatus st = cmd_set_result(row->fn(&a), ex);
    if (st) return;
    pthread_mutex_lock(&status_lock);
    uint32_t mask = row->set | row->clear;
    if (mask) status_broadcast(row->set, mask, a.reason);
    ctl_put_u32(rep, status_get_locked());
    pthread_mutex_unlock(&status_lock);
    return;
  }
  CtlStatus st = cmd_set_result(row->fn(&a), ex);
  if (st == CTL_OK || row->word_always) ctl_put_u32(rep, status_get());
}

}  // namespace

ParamBlock *cmd_params(void) {
  ParamBlock *pb = status_params();
  return pb ? pb : get_param_block();
}

void cmd_post_key(uint32_t key) {
  if (param_apply_hooks.dvr_post_key) param_apply_hooks.dvr_post_key(key);
}

int cmd_source(int64_t selector) { return selector == 2 ? STORAGE_EXT : STORAGE_INT; }

bool cmd_check_args(CtlExchange *ex) {
  uint8_t err = ex->request.error;
  if (err == CTL_OK || err == CTL_ERR_TOO_LARGE) return true;
  ctl_set_status(&ex->reply, err == CTL_ERR_MISSING_DATA ? (CtlStatus)CTL_ERR_MISSING_ARG : err);
  return false;
}

CtlStatus cmd_set_result(CtlStatus result, CtlExchange *ex) {
  // A handler that set its failure status itself keeps the fields it put
  // after it (the reason of a refusal); any other failure has none.
  if (result && ex->reply.frame[2] != result) ctl_set_status(&ex->reply, result);
  return result;
}

void cmd_exec(CtlExchange *ex) {
  pthread_mutex_lock(&cmd_mutex);
  exec_locked(ex);
  pthread_mutex_unlock(&cmd_mutex);
}

size_t cmd_exec_frame(CtlExchange *ex, size_t n) {
  if (n > CTL_FRAME_MAX) {
    if (ex->request.frame[0] != 1) return 0;
    // A request (its kind byte 0 is the first code's run) longer than a
    // frame cannot be read, but its sender waits for an answer: it gets
    // the status of a frame too long, with no fields. Other broken frames
    // (a bad checksum, a 0 inside) get none.
    static LogEpisode refusals;
    pthread_mutex_lock(&cmd_mutex);
    log_episode_ok(&refusals, 10000);   // a quiet spell ends the last episode
    if (log_episode_fail(&refusals))
      log_printf("%s: request of %zu bytes refused, longer than a frame\n", "cmd_exec_frame", n);
    pthread_mutex_unlock(&cmd_mutex);
    ctl_init_reply(&ex->reply);
    ctl_set_status(&ex->reply, CTL_ERR_LONG);
    ctl_put_checksum(&ex->reply);
    return cobs_encode(&ex->reply);
  }
  if (ctl_decode_frame(&ex->request, n) != CTL_OK || ctl_get_u8(&ex->request) != CTL_KIND_REQUEST) return 0;
  ctl_init_reply(&ex->reply);
  cmd_exec(ex);
  ctl_put_checksum(&ex->reply);
  if (ex->reply.error) {
    // The reply did not fit one packet: it goes as the codec's status
    // alone, never as a frame cut short.
    log_printf("%s: reply to opcode %d too large\n", "cmd_exec_frame", ex->request.frame[2]);
    ex->reply.error = 0;
    ctl_set_status(&ex->reply, CTL_ERR_TOO_LARGE);
    ctl_put_checksum(&ex->reply);
  }
  return cobs_encode(&ex->reply);
}

void set_recording_state(int recording, int paused) {
  setVideoPause(0, paused);
  status_update((recording ? REC : 0) | (paused ? REC_P : 0), REC | REC_P, "set_recording_state");
}
