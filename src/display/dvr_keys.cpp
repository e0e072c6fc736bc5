#include "display/dvr_keys.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "display/hd_display.h"
#include "media/stream_producer.h"
#include "storage/filesys.h"

KeyMailbox key_mailbox = {PTHREAD_MUTEX_INITIALIZER, {}, 0, GUI_EVENT_NONE, {}};
DvrKeyHooks dvr_key_hooks;

namespace {

// The consumer's side, touched only under the mailbox mutex.
struct KeyWaitState {
  int64_t expiry_us;         // when the status message goes; 0 none
  bool internal_armed;       // the first internal insert after start is silent
  FILE *script;
  bool script_consumed;      // its next key was taken: read another line
  DvrKey script_key;
  int64_t script_at_us;
  int64_t script_start_us;
  uint32_t clock_second = ~0u;   // the media clock's second drawn last
};
KeyWaitState g_wait;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

void mailbox_init_cond(void) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&key_mailbox.key_mailbox_cond, &attr);
  pthread_condattr_destroy(&attr);
}

KeyMailbox &mailbox(void) {
  pthread_once(&g_once, mailbox_init_cond);
  return key_mailbox;
}

int64_t mono_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void wait_until(KeyMailbox &mb, int64_t at_us) {
  struct timespec ts;
  ts.tv_sec = time_t(at_us / 1000000);
  ts.tv_nsec = long(at_us % 1000000) * 1000;
  pthread_cond_timedwait(&mb.key_mailbox_cond, &mb.key_mailbox_mutex, &ts);
}

bool is_recording(void) {
  if (dvr_key_hooks.recording) return dvr_key_hooks.recording() != 0;
  return stream_get_state_by_id(13) == 1;
}

// The built-in English texts of the status messages, until a language file
// replaces them.
const struct { int index; const char *text; } builtin_texts[] = {
    {0, "Internal storage inserted"}, {1, "External storage inserted"},
    {2, "Internal storage removed"},  {3, "External storage removed"},
    {4, "USB storage inserted"},      {5, "USB storage removed"},
    {314, "Internal Storage Error"},  {315, "External Storage Error"},
    {316, "USB Storage Error"},       {412, "USB Stall Detected"},
};

const char *lang_text(int index) {
  if (dvr_key_hooks.lang_text) return dvr_key_hooks.lang_text(index);
  for (const auto &t : builtin_texts)
    if (t.index == index) return t.text;
  return "";
}

// A storage event as a text index; -1 shows nothing.
int event_text_index(int event, bool recording) {
  const ParamBlock *pb = get_param_block();
  bool usb_only = pb && pb->dvr_disable_ext_ports;
  switch (event) {
    case 0:
      if (usb_only) return 4;
      if (!g_wait.internal_armed) {
        g_wait.internal_armed = true;
        return -1;
      }
      return 0;
    case 2: return usb_only && !recording ? 5 : 2;
    case 1:
    case 3: return event;
    case 4:
      g_wait.internal_armed = true;
      return usb_only ? 316 : 314;
    case 5: return usb_only ? 316 : 315;
    case 6:
    case 7: return 412;
  }
  return -1;
}

void erase_message(void) {
  if (dvr_key_hooks.erase_message) dvr_key_hooks.erase_message();
}

void flush(void) {
  if (dvr_key_hooks.flush) dvr_key_hooks.flush();
}

void show_message(KeyMailbox &mb, bool recording, int64_t now) {
  erase_message();
  const char *text = "";
  if (mb.gui_event_word == GUI_EVENT_CUSTOM) {
    text = mb.gui_message;
  } else {
    int index = event_text_index(mb.gui_event_word, recording);
    if (index >= 0) text = lang_text(index);
  }
  if (text[0]) {
    int width = dvr_key_hooks.screen_width ? dvr_key_hooks.screen_width() : 640;
    if (width > 640) width = 640;
    int text_width = dvr_key_hooks.text_width ? dvr_key_hooks.text_width(text) : 0;
    if (dvr_key_hooks.draw_label) dvr_key_hooks.draw_label(width - 50 - text_width, 20, text);
    flush();
    g_wait.expiry_us = now + 2000000;
  } else {
    flush();
    g_wait.expiry_us = 0;
  }
  mb.gui_event_word = GUI_EVENT_NONE;
}

void script_close(void) {
  if (g_wait.script) fclose(g_wait.script);
  g_wait.script = NULL;
}

void script_read(void) {
  long sec, usec;
  int key;
  g_wait.script_consumed = false;
  if (fscanf(g_wait.script, "%ld %ld %d", &sec, &usec, &key) != 3 || sec < 0 || usec < 0 ||
      sec > 86400L * 365) {
    script_close();
    return;
  }
  g_wait.script_key = DvrKey(key);
  g_wait.script_at_us = g_wait.script_start_us + int64_t(sec) * 1000000 + usec;
}

}  // namespace

void dvr_post_key(DvrKey key) {
  KeyMailbox &mb = mailbox();
  pthread_mutex_lock(&mb.key_mailbox_mutex);
  if (key) mb.key_word = key;
  pthread_cond_signal(&mb.key_mailbox_cond);
  pthread_mutex_unlock(&mb.key_mailbox_mutex);
}

void dvr_post_message(const char *text) {
  if (!text) text = "";
  log_printf("custom event: %s\n", text);
  KeyMailbox &mb = mailbox();
  pthread_mutex_lock(&mb.key_mailbox_mutex);
  snprintf(mb.gui_message, sizeof mb.gui_message, "%s", text);
  mb.gui_event_word = GUI_EVENT_CUSTOM;
  pthread_cond_signal(&mb.key_mailbox_cond);
  pthread_mutex_unlock(&mb.key_mailbox_mutex);
}

void filesys_event(int device, int event) {
  if (device < 0 || device > 1 || event < 0 || event > 3) {
    log_printf("%s: invalid storage_device=%d event=%d\n", "filesys_event", device, event);
    return;
  }
  KeyMailbox &mb = mailbox();
  pthread_mutex_lock(&mb.key_mailbox_mutex);
  mb.gui_event_word = device | event << 1;
  pthread_cond_signal(&mb.key_mailbox_cond);
  pthread_mutex_unlock(&mb.key_mailbox_mutex);
  bool attached = false;
  for (int source = 0; source < FILESYS_SLOTS; source++)
    if (filesys_is_mounted(source)) attached = true;
  if (dvr_key_hooks.status_update)
    dvr_key_hooks.status_update(attached ? DVR_STATUS_STORAGE_ATTACHED : 0,
                                DVR_STATUS_STORAGE_ATTACHED, "filesys_event");
}

DvrKey dvr_wait_key(GuiContext *ctx, uint32_t seconds) {
  (void)ctx;
  if (get_exit_code()) return 0;
  KeyMailbox &mb = mailbox();
  if (dvr_key_hooks.feed_key) {
    pthread_mutex_lock(&mb.key_mailbox_mutex);
    DvrKey waiting = mb.key_word;
    mb.key_word = 0;
    pthread_mutex_unlock(&mb.key_mailbox_mutex);
    if (DvrKey fed = waiting ? waiting : dvr_key_hooks.feed_key()) return fed;
  }
  pthread_mutex_lock(&mb.key_mailbox_mutex);
  int64_t deadline = mono_us() + int64_t(seconds) * 1000000;
  DvrKey key = 0;
  while (!get_exit_code()) {
    int64_t now = mono_us();
    bool recording = is_recording();
    if (recording) g_wait.expiry_us = now + 1000000;
    int64_t wake = deadline;
    if (g_wait.expiry_us && g_wait.expiry_us < wake) wake = g_wait.expiry_us;
    // The recording clock on screen ticks with the whole seconds of the
    // 90 kHz media clock: drawn once in each second, a wake-up that comes a
    // little early waits again for the second to turn.
    bool clock_due = false;
    if (recording && !(dvr_key_hooks.recording_paused && dvr_key_hooks.recording_paused())) {
      uint32_t t = timestamp_now();
      int64_t at = now + int64_t(90000 - t % 90000) * 100 / 9;
      // A second that turns with another wake-up is still drawn.
      if (at <= wake) {
        wake = at;
        clock_due = true;
      }
    }
    if (g_wait.script) {
      if (mb.key_word) {
        script_close();
      } else {
        if (g_wait.script_consumed) script_read();
        if (g_wait.script && now >= g_wait.script_at_us) {
          key = g_wait.script_key;
          g_wait.script_consumed = true;
          break;
        }
        if (g_wait.script && g_wait.script_at_us < wake) wake = g_wait.script_at_us;
      }
    }
    if (!mb.key_word && mb.gui_event_word == GUI_EVENT_NONE) wait_until(mb, wake);
    key = mb.key_word;
    mb.key_word = 0;
    now = mono_us();
    if (mb.gui_event_word != GUI_EVENT_NONE) show_message(mb, recording, now);
    if (clock_due) {
      uint32_t second = timestamp_now() / 90000;
      if (second != g_wait.clock_second && dvr_key_hooks.draw_time_status)
        dvr_key_hooks.draw_time_status();
      g_wait.clock_second = second;
    }
    if (g_wait.expiry_us && now >= g_wait.expiry_us) {
      g_wait.expiry_us = 0;
      erase_message();
      flush();
    }
    if (key || now >= deadline) break;
  }
  pthread_mutex_unlock(&mb.key_mailbox_mutex);
  return key;
}

void key_mailbox_reset(void) {
  KeyMailbox &mb = mailbox();
  pthread_mutex_lock(&mb.key_mailbox_mutex);
  mb.key_word = 0;
  mb.gui_event_word = GUI_EVENT_NONE;
  mb.gui_message[0] = 0;
  script_close();
  g_wait = KeyWaitState();
  pthread_mutex_unlock(&mb.key_mailbox_mutex);
}

int dvr_key_script_open(const char *path) {
  FILE *f = fopen(path, "r");
  if (!f) {
    log_printf("%s: %s: %s\n", "dvr_key_script_open", path, strerror(errno));
    return -1;
  }
  KeyMailbox &mb = mailbox();
  pthread_mutex_lock(&mb.key_mailbox_mutex);
  script_close();
  g_wait.script = f;
  g_wait.script_start_us = mono_us();
  script_read();
  pthread_mutex_unlock(&mb.key_mailbox_mutex);
  return 0;
}

// The recording countdown's Rec/Stop stays with the storage manager, which
// starts the recording itself, until something takes keys out of the mailbox
// and acts on them.
void dvr_keys_install_hooks(void) {
  storage_hooks.filesys_event = filesys_event;
  storage_hooks.dvr_post_message = dvr_post_message;
  param_apply_hooks.dvr_post_key = dvr_post_key;
  display_status_message_hook = dvr_post_message;
}
