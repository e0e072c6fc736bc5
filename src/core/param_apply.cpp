// param_apply_changes and the display helpers.
#include "core/param_apply.h"
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "core/global.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_table.h"
#include "core/param_types.h"
#include "core/startup.h"

ParamApplyHooks param_apply_hooks;

namespace {

// Serialises whole applies so that two batches never interleave their
// groups; param_set only needs the change mutex, which is not held here.
pthread_mutex_t apply_mutex = PTHREAD_MUTEX_INITIALIZER;

#define HOOK(name) param_apply_hooks.name

void display_wakeup(void) {
  if (core_hooks.display_wakeup) core_hooks.display_wakeup();
}

void set_run_mode(int mode) {
  if (HOOK(display_set_run_mode)) HOOK(display_set_run_mode)(mode);
}

int run_mode(void) {
  return HOOK(display_get_run_mode) ? HOOK(display_get_run_mode)() : 0;
}

void set_rtsp_watch(uint8_t value) {
  // The stronger request stands until the RTSP thread takes it: a reload
  // never turns a pending restart into a reload.
  pthread_mutex_lock(&quit_mutex);
  uint8_t cur = rtsp_watch;
  while (value > cur &&
         !__atomic_compare_exchange_n(&rtsp_watch, &cur, value, false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE)) {
  }
  pthread_mutex_unlock(&quit_mutex);
}

// The users as the servers that keep their own copy (the RTSP server's
// database) were last told of them. Whatever changed the block (a form, the
// defaults restored, an imported file, whose user names carry no change
// group) shows here at the next apply.
struct AppliedUsers {
  bool known;
  UserRecord users[PARAM_USER_COUNT];
  uint32_t guest_permission;
} applied_users;

// 1 when the users differ from those last applied, which are then taken as
// applied. Under the apply mutex.
bool users_changed(const ParamBlock *b) {
  param_write_begin();
  bool changed = !applied_users.known ||
                 memcmp(applied_users.users, b->users, sizeof b->users) != 0 ||
                 applied_users.guest_permission != b->guest_permission;
  applied_users.known = true;
  memcpy(applied_users.users, b->users, sizeof b->users);
  applied_users.guest_permission = b->guest_permission;
  param_write_end();
  return changed;
}

// The hook is taken when the thread is started: the table may change later.
struct NetworkJob {
  void (*fn)(ParamBlock *block);
  ParamBlock *block;
};

void *network_thread(void *arg) {
  NetworkJob *job = static_cast<NetworkJob *>(arg);
  job->fn(job->block);
  free(job);
  return NULL;
}

void start_network_thread(ParamBlock *b) {
  if (!HOOK(init_network)) return;
  NetworkJob *job = static_cast<NetworkJob *>(malloc(sizeof *job));
  if (!job) return;
  job->fn = HOOK(init_network);
  job->block = b;
  pthread_attr_t attr;
  pthread_t thread;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&thread, &attr, network_thread, job) != 0) {
    log_printf("%s: cannot start the network thread\n", "param_apply_changes");
    free(job);
  }
  pthread_attr_destroy(&attr);
}

// Display.Passthru (mode 1) and Display.Colorbars (mode 2).
const char *set_test_mode(const char *fn, int mode, const char *text, size_t len) {
  long long v;
  if (!param_parse_number(text, len, &v, false)) return PARAM_INVALID_VALUE;
  ParamBlock *b = get_param_block();
  if (v) {
    b->display.display_mode = uint8_t(mode);
    set_run_mode(mode);
  } else {
    if (b->display.display_mode == mode) b->display.display_mode = 0;
    if (run_mode() == mode) set_run_mode(0);
  }
  log_printf("%s: displayEnv.mode=%d\n", fn, run_mode());
  display_wakeup();
  return NULL;
}

}  // namespace

void param_apply_changes(void) {
  pthread_mutex_lock(&apply_mutex);
  uint32_t pending = param_take_changes();
  ParamBlock *b = get_param_block();
  // A recording that stops takes its new settings at its next start, not in
  // a restart before it stops (a run of a moment, and its file).
  const uint32_t start = 1u << CG_RECORD_START, stop = 1u << CG_RECORD_STOP;
  if (pending & stop) pending &= ~(1u << CG_RECORDING);
  for (int i = 0; i <= 14; i++) {
    if (!(pending & (1u << i))) continue;
    log_printf("i=%d\n", i);
    if ((i == CG_VIDEO_A || i == CG_VIDEO_B) && HOOK(check_h264_mpeg4_conflict))
      HOOK(check_h264_mpeg4_conflict)(b->video, i - 1);
    if (HOOK(stream_restart)) HOOK(stream_restart)(i);
  }
  if (pending & (1u << CG_NETWORK)) {
    start_network_thread(b);
    if (b->network_mode >= 1 && b->network_mode <= 2) {
      const uint8_t *a = b->net[b->network_mode - 1].addr;
      snprintf(param_state.ip_text, sizeof param_state.ip_text, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
      param_state.ip = param_state.ip_text;
    }
  }
  if (HOOK(osd_set_config)) {
    if (pending & (1u << CG_OSD_A)) HOOK(osd_set_config)(0, &b->video[0].osd);
    if (pending & (1u << CG_OSD_B)) HOOK(osd_set_config)(1, &b->video[1].osd);
    if (pending & (1u << CG_OSD_DISPLAY)) HOOK(osd_set_config)(2, &b->display_osd);
  }
  if ((pending & (1u << CG_CAPTURE)) && HOOK(capture_apply_settings)) HOOK(capture_apply_settings)();
  if (pending & (1u << CG_DISPLAY_MODE)) updateDisplayFromParams();
  if ((pending & (1u << CG_USERS)) || users_changed(b)) {
    check_user_permissions();
    users_changed(b);
    set_rtsp_watch(1);   // the RTSP server reloads its users
  }
  if (pending & (1u << CG_RTSP)) set_rtsp_watch(2);   // the RTSP server restarts
  // Last, with every setting of its batch in place: a recording that was
  // not running starts with them, once; one that was has been restarted
  // with them above.
  if (pending & (start | stop)) {
    int run = (pending & start) ? 1 : 0;
    if (HOOK(record_set_state)) HOOK(record_set_state)(run);
    else if (HOOK(stream_set_state)) HOOK(stream_set_state)(CG_RECORDING, run);
  }
  pthread_mutex_unlock(&apply_mutex);
}

const char *param_current_ip(void) { return param_state.ip; }

void updateDisplayFromParams(void) {
  ParamBlock *b = get_param_block();
  if (HOOK(display_set_std)) HOOK(display_set_std)(b->display.standard);
  set_run_mode(b->display.display_mode);
  if (HOOK(display_set_output)) HOOK(display_set_output)(b->display.output);
  display_wakeup();
  log_printf("%s: std=%d mode=%d output=%d\n", "updateDisplayFromParams", b->display.standard,
             b->display.display_mode, b->display.output);
}

void setDisplayStd(int standard) {
  if (HOOK(display_set_std)) HOOK(display_set_std)(standard);
  log_printf("set display std %d\n", standard);
  display_wakeup();
}

void setDisplayPowerOff(void) {
  set_run_mode(8);
  log_printf("%s: displayEnv.mode=%d\n", "setDisplayPowerOff", 8);
  display_wakeup();
}

void setDisplayIdle(void) {
  set_run_mode(0);
  if (HOOK(playback_set_audio_passthru)) HOOK(playback_set_audio_passthru)(0);
  log_printf("%s: displayEnv.mode=%d\n", "setDisplayIdle", 0);
  display_wakeup();
}

void startDisplayPassthru(void) {
  set_run_mode(1);
  if (HOOK(playback_set_audio_passthru))
    HOOK(playback_set_audio_passthru)(get_param_block()->dvr_audio_passthru);
  display_wakeup();
}

int param_format_colorbars(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", run_mode() == 2);
}

const char *param_parse_colorbars(const char *text, size_t len, void *arg) {
  return set_test_mode("setOutputColorbars", 2, text, len);
}

int param_format_passthru(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", run_mode() == 1);
}

const char *param_parse_passthru(const char *text, size_t len, void *arg) {
  return set_test_mode("setOutputPassthru", 1, text, len);
}
