#include "control/serial_cmd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "control/ctl_client.h"
#include "control/serial_port.h"
#include "control/status_events.h"
#include "core/global.h"
#include "core/log.h"
#include "core/param_apply.h"
#include "core/process_util.h"
#include "osd/osd_tokens.h"
#include "platform/device.h"
#include "storage/filesys.h"

ScpState scp_state;

namespace {

constexpr uint8_t kStart = 0xAB;
constexpr uint8_t kEnd = '>';
constexpr uint8_t kStorageExt = 2;   // the external volume, as the service numbers it
constexpr float kFeet = 0.0328084f;
constexpr float kMetres = 0.01f;

void command_line(const char *text) { serial_set_line(SERIAL_LINE_COMMAND, "C: %.11s", text); }

uint8_t sum(const uint8_t *p, size_t n) {
  uint8_t s = 0;
  for (size_t i = 0; i < n; i++) s = (uint8_t)(s + p[i]);
  return s;
}

// Finishes a reply of len bytes (checksum and end byte included in len).
size_t finish(ScpState *s, size_t len) {
  s->reply[0] = kStart;
  s->reply[1] = (uint8_t)len;
  s->reply[len - 2] = sum(s->reply, len - 2);
  s->reply[len - 1] = kEnd;
  s->reply_len = len;
  return len;
}

size_t short_reply(ScpState *s, uint8_t address, uint8_t letter, uint8_t command) {
  s->reply[2] = address;
  s->reply[3] = letter;
  s->reply[4] = command;
  return finish(s, 7);
}

void set_distance_unit(bool feet) {
  overlay_fields.scale[0] = feet ? kFeet : kMetres;
  overlay_units[0] = feet ? " ft" : " m";
}

// Encoder 0's count: shown at once by the overlay, and handed to the
// board's counter when it has one.
void set_encoder_count(int32_t count) {
  overlay_fields.count[0] = count;
  if (param_apply_hooks.encoder_count_set) param_apply_hooks.encoder_count_set(0, count);
}

int32_t encoder_count(void) {
  return param_apply_hooks.encoder_count_get ? param_apply_hooks.encoder_count_get(0) : overlay_fields.count[0];
}

// ---- class 8: the recorder ----

bool is_set(uint32_t word, uint32_t bit) { return (word & bit) != 0; }

// The file at the play index, played from the external volume.
bool play_index(ScpState *s) {
  char name[256];
  if (ctl_file_name(s->channel, kStorageExt, (uint32_t)s->play_index, name, sizeof name) != CTL_OK) {
    command_line("NO FILE");
    return false;
  }
  ctl_play_file(s->channel, kStorageExt, name);
  return true;
}

// One key; returns the reply's flag bits it adds (2 for a snapshot).
uint8_t recorder_key(ScpState *s, uint8_t key, uint32_t word) {
  const bool recording = is_set(word, STATUS_RECORDING);
  const bool playing = is_set(word, STATUS_PLAYBACK);
  CtlChannel *ch = s->channel;
  switch (key) {
    case 0: command_line("KEY NONE"); break;
    case 1:
      if (!recording) {
        char name[256];
        CtlStatus st = ctl_record_start(ch, kStorageExt, 0, 0, name, sizeof name);
        command_line(st == CTL_OK ? "REC FILE" : "REC FAIL");
        if (st != CTL_OK) serial_set_line(SERIAL_LINE_RESULT, "R: status: %x", st);
      } else if (!playing && is_set(word, STATUS_REC_PAUSED)) {
        command_line(ctl_record_resume(ch) == CTL_OK ? "REC RESU" : "REC RESF");
      } else if (!playing) {
        command_line(ctl_record_pause(ch) == CTL_OK ? "REC PAUS" : "REC PAUF");
      }
      break;
    case 2:
      if (recording) break;
      ctl_play_stop(ch);
      s->play_index = s->play_index > 0 ? s->play_index - 1 : 0;
      if (play_index(s)) command_line("KEY PRV");
      break;
    case 4:
      if (playing) command_line(ctl_play_stop(ch) == CTL_OK ? "PLAYSTOP" : "PLAYSTPF");
      if (recording) command_line(ctl_record_stop(ch) == CTL_OK ? "REC STOP" : "REC STPF");
      break;
    case 8:
      if (recording) break;
      if (playing) {
        if (is_set(word, STATUS_PLAY_PAUSED)) {
          ctl_play_resume(ch);
          command_line("RESUME_P");
        } else {
          ctl_play_pause(ch);
          command_line("PAUSE_P");
        }
        break;
      }
      if (s->play_index < 0) {
        uint32_t count = 0;
        s->play_index = ctl_file_count(ch, kStorageExt, &count) == CTL_OK && count > 0 ? (int32_t)(count - 1) : 0;
      }
      if (play_index(s)) command_line("KEY PLAY");
      break;
    case 16: {
      if (recording) {
        char name[256];
        CtlStatus st = ctl_snapshot_take(ch, kStorageExt, 0, name, sizeof name);
        command_line("KEY NXT");
        return st == CTL_OK ? 2 : 0;
      }
      uint32_t count = 0;
      if (ctl_file_count(ch, kStorageExt, &count) != CTL_OK || count == 0) {
        s->play_index = 0;
      } else {
        int64_t next = (int64_t)s->play_index + 1;
        s->play_index = next >= (int64_t)count ? (int32_t)(count - 1) : (int32_t)next;
      }
      if (playing) ctl_play_stop(ch);
      if (play_index(s)) command_line("KEY NXT");
      break;
    }
    default: command_line("KEY ERR"); break;
  }
  return 0;
}

uint8_t free_percent(void) {
  int64_t total = filesys_total_space(STORAGE_EXT);
  int64_t avail = filesys_free_space(STORAGE_EXT);
  if (total <= 0 || avail < 0) return 0;
  int64_t pct = avail * 100 / total;
  return (uint8_t)(pct > 100 ? 100 : pct);
}

size_t recorder(ScpState *s, const uint8_t *f, size_t len) {
  if (f[2] != 8) {
    command_line("AdrErr");
    return 0;
  }
  if (!s->channel) return 0;   // no service: no status word
  const uint8_t cmd = f[4];
  uint32_t word = 0;
  if (cmd != 0 && ctl_get_status(s->channel, &word) != CTL_OK) return 0;
  uint8_t extra = 0;
  if (cmd == 1) {
    if (len < 8) return 0;
    uint8_t key = f[5];
    if (key > 16) {
      command_line("KEY ERR");
    } else {
      extra = recorder_key(s, key, word);
    }
  } else if (cmd == 2) {
    if (len < 11) {
      command_line("INVALID SETTIME");
    } else {
      uint32_t secs = (uint32_t)f[5] | (uint32_t)f[6] << 8 | (uint32_t)f[7] << 16 | (uint32_t)f[8] << 24;
      command_line("DVR SETTIME");
      ctl_set_time(s->channel, secs);
    }
  } else {
    command_line("cmd/DAT1 Err");
  }
  CtlStatus st = ctl_get_status(s->channel, &word);
  if (st != CTL_OK) {
    char text[16];
    snprintf(text, sizeof text, "statf: %d", st);
    command_line(text);
    return 0;
  }
  if (cmd == 2) return short_reply(s, 8, 'l', 2);
  if (cmd != 1) return 0;
  const bool recording = is_set(word, STATUS_RECORDING);
  const bool playing = is_set(word, STATUS_PLAYBACK);
  uint8_t *r = s->reply;
  r[2] = 8;
  r[3] = 'l';
  r[4] = 1;
  r[5] = recording ? 4 : playing ? 3 : 0;
  r[6] = 0;
  r[7] = 0;
  bool paused = (recording && is_set(word, STATUS_REC_PAUSED)) || (playing && is_set(word, STATUS_PLAY_PAUSED));
  r[8] = (uint8_t)((paused ? 1 : 0) | extra);
  r[9] = 0;
  r[10] = free_percent();
  return finish(s, 13);
}

// ---- class 9: the distance counter ----

int bcd(uint8_t v) { return (v >> 4) > 9 || (v & 15) > 9 ? -1 : (v >> 4) * 10 + (v & 15); }

int days_in_month(int month, int year) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// Day, month, year (2000 + yy), hour, minute, second in BCD; a date or time
// that is not one sets no clock.
void set_clock_bcd(ScpState *s, const uint8_t *b) {
  int day = bcd(b[0]), month = bcd(b[1]), yy = bcd(b[2]), hour = bcd(b[3]), minute = bcd(b[4]),
      second = bcd(b[5]);
  if (day < 1 || month < 1 || month > 12 || yy < 0 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || day > days_in_month(month, 2000 + yy)) {
    log_printf("serial: invalid date %02x.%02x.%02x %02x:%02x:%02x\n", b[0], b[1], b[2], b[3], b[4], b[5]);
    return;
  }
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  tm.tm_mday = day;
  tm.tm_mon = month - 1;
  tm.tm_year = 100 + yy;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t == (time_t)-1) return;
  set_system_time(t);
  if (s->channel) ctl_set_time(s->channel, (uint32_t)t);
}

size_t counter(ScpState *s, const uint8_t *f, size_t len) {
  if (f[2] != 9) {
    command_line("AdrErr");
    return 0;
  }
  uint8_t flags = 0;
  switch (f[4]) {
    case 0: {
      if (len < 11) return 0;
      flags = f[8];
      set_distance_unit(flags & 1);
      if (!s->hold) {
        int32_t count = (int32_t)((uint32_t)f[5] | (uint32_t)f[6] << 8 | (uint32_t)f[7] << 16);
        if (count & 0x800000) count -= 0x1000000;
        set_encoder_count(count);
        flags &= (uint8_t)~2;
      } else {
        flags |= 2;
      }
      if (!(flags & 2)) return short_reply(s, 9, 'm', 0);
      break;
    }
    case 1:
      if (len < 11) return 0;
      break;
    case 2:
      if (len < 13) return 0;
      set_clock_bcd(s, f + 5);
      return short_reply(s, 9, 'm', 2);
    default: return 0;
  }
  // The status reply.
  uint32_t count = (uint32_t)encoder_count();
  uint8_t *r = s->reply;
  r[2] = 9;
  r[3] = 'm';
  r[4] = 1;
  r[5] = (uint8_t)count;
  r[6] = (uint8_t)(count >> 8);
  r[7] = (uint8_t)(count >> 16);
  r[8] = flags;
  s->hold = 0;
  return finish(s, 11);
}

// ---- class 1: the flag word ----

size_t flag_word(ScpState *s, const uint8_t *f) {
  const uint8_t address = f[2];
  switch (f[4]) {
    case 1:
      s->flag_word = 1;
      return short_reply(s, address, 'e', 1);
    case 2:
      s->flag_word = 0;
      return short_reply(s, address, 'e', 0);
    case 0:
      s->reply[2] = address;
      s->reply[3] = 'e';
      s->reply[4] = s->flag_word;
      s->reply[5] = s->connected;
      return finish(s, 8);
    default: return 0;
  }
}

}  // namespace

void scp_init(ScpState *s) {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  if (s == &scp_state) {
    pthread_once(&once, [] {
      pthread_mutex_init(&scp_state.rx_mutex, nullptr);
      pthread_mutex_init(&scp_state.reply_mutex, nullptr);
      scp_state.play_index = -1;
    });
    return;
  }
  pthread_mutex_init(&s->rx_mutex, nullptr);
  pthread_mutex_init(&s->reply_mutex, nullptr);
  s->play_index = -1;
}

size_t scp_feed(ScpState *s, uint8_t byte) {
  pthread_mutex_lock(&s->rx_mutex);
  size_t whole = 0;
  if (s->rx_count == 0 && byte != kStart) {
    pthread_mutex_unlock(&s->rx_mutex);
    return 0;
  }
  s->rx[s->rx_count++] = byte;
  const size_t n = s->rx_count;
  if (n >= 2 && n >= s->rx[1]) {
    s->rx_count = 0;
    if (s->rx[n - 1] != kEnd) {
      // Not a frame: dropped without a word.
    } else if (s->rx[0] != kStart) {
      command_line("StartErr");
    } else if (s->rx[1] != n || n < 7) {
      command_line("LenErr");
    } else if (sum(s->rx, n - 2) != s->rx[n - 2]) {
      command_line("CksumErr");
    } else {
      whole = n;
    }
  } else if (n >= SCP_FRAME_MAX) {
    s->rx_count = 0;
  }
  pthread_mutex_unlock(&s->rx_mutex);
  return whole;
}

size_t scp_handle(ScpState *s, const uint8_t *frame, size_t len) {
  if (len < 7) return 0;
  switch (frame[3]) {
    case 8: return recorder(s, frame, len);
    case 9: return counter(s, frame, len);
    case 1: return flag_word(s, frame);
    default: return 0;
  }
}

void open_tavik(void) {
  ScpState *s = &scp_state;
  scp_init(s);
  log_printf("%s: enter\n", "open_tavik");
  pthread_mutex_lock(&s->rx_mutex);
  s->rx_count = 0;
  pthread_mutex_unlock(&s->rx_mutex);
  pthread_mutex_lock(&s->reply_mutex);
  s->reply_len = 0;
  pthread_mutex_unlock(&s->reply_mutex);
  s->connected = 1;
  ctl_init();
  CtlStatus st = ctl_open(s->unit, CTL_SERVICE_PORT, "127.0.0.1", 2000, &s->channel);
  if (st != CTL_OK) log_printf("%s: cannot open the control channel: %s\n", "open_tavik", ctl_strerror(st));
  if (s->channel) ctl_set_offboard_encoder(s->channel, 0, 1);
  set_distance_unit(true);
  log_printf("%s: exit\n", "open_tavik");
}

void close_tavik(void) {
  ScpState *s = &scp_state;
  log_printf("%s: enter\n", "close_tavik");
  ctl_close(s->channel);
  s->channel = nullptr;
  ctl_exit();
  log_printf("%s: exit\n", "close_tavik");
}

int serial_cmd_processor(int serial_fd, int event_fd) {
  ScpState *s = &scp_state;
  scp_init(s);
  serial_set_line(SERIAL_LINE_COMMAND, "C: %s", "None");
  serial_set_line(SERIAL_LINE_RESULT, "R: %s", "None");
  serial_set_line(SERIAL_LINE_PORT, "Port: Closed");
  serial_set_line(SERIAL_LINE_SERVICE, "Serial Command Processor");
  while (!get_exit_code()) {
    struct pollfd p[2] = {{serial_fd, POLLIN, 0}, {event_fd, POLLIN, 0}};
    int rc = dev_poll(p, 2, 1000);
    if (rc < 0 && errno != EINTR) return -1;
    if (rc > 0 && (p[1].revents & POLLIN)) return serial_read_event(event_fd) == SERIAL_EVENT_QUIT ? 1 : 0;
    if (rc <= 0 || !(p[0].revents & POLLIN)) continue;
    uint8_t buf[16];
    ssize_t n = dev_read(serial_fd, buf, sizeof buf);
    if (n <= 0) continue;
    for (ssize_t i = 0; i < n; i++) {
      size_t len = scp_feed(s, buf[i]);
      if (!len) continue;
      uint8_t frame[SCP_FRAME_MAX];
      pthread_mutex_lock(&s->rx_mutex);
      memcpy(frame, s->rx, len);
      pthread_mutex_unlock(&s->rx_mutex);
      pthread_mutex_lock(&s->reply_mutex);
      size_t reply = scp_handle(s, frame, len);
      if (reply) serial_send_response(serial_fd, s->reply, reply);
      pthread_mutex_unlock(&s->reply_mutex);
    }
  }
  return 1;
}
