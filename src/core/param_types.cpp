// Converted rows (addresses, codes) and the virtual rows that read or act on
// state outside the block.
#include "core/param_types.h"
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <time.h>
#include "core/global.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_table.h"
#include "core/process_util.h"
#include "platform/wallclock.h"

LatencyStats latency_records[LATENCY_COUNT];

namespace {

thread_local int quiet;

#define HOOK(name) param_apply_hooks.name

intptr_t index_of(void *arg) { return reinterpret_cast<intptr_t>(arg); }

// Copies a parse function's text into a NUL-terminated buffer; false when it
// does not fit.
bool text_copy(char *dst, size_t size, const char *text, size_t len) {
  if (len >= size) return false;
  memcpy(dst, text, len);
  dst[len] = 0;
  return true;
}

int out_text(char *buf, size_t size, const char *text) {
  return snprintf(buf, size, "%s", text);
}

struct StandardName { const char *name; uint8_t code; };
// Parse order: the first name that the text begins ("1080" is 1080p24).
const StandardName standard_parse_order[] = {
  {"NTSC", 5}, {"PAL", 6}, {"480p60", 7}, {"576p50", 8}, {"720p30", 11}, {"720p50", 10},
  {"720p60", 9}, {"1080p24", 16}, {"1080p25", 15}, {"1080p30", 14}, {"1080i25", 13},
  {"1080i30", 12}, {"1080i50", 13}, {"1080i60", 12}, {"1080p50", 19}, {"1080p60", 18},
  {"AUTO", 0},
};

const char *parse_standard(const char *text, size_t len, void *arg) {
  int code = param_standard_code(text, len);
  if (code < 0) return PARAM_INVALID_VALUE;
  *static_cast<uint8_t *>(arg) = uint8_t(code);
  return NULL;
}

int configured_size(int channel, int want_height) {
  const VideoChannelParams *v = &get_param_block()->video[channel];
  int value = want_height ? v->height : v->width;
  if (value == 0 && HOOK(capture_size)) {
    int w = 0, h = 0;
    HOOK(capture_size)(channel, &w, &h);
    value = want_height ? h : w;
  }
  return value;
}

const char *parse_size(const char *text, size_t len, int channel, int want_height) {
  static const int limits[2][2] = {{1920, 1080}, {768, 576}};
  static const int minimum[2] = {160, 120};
  long long v;
  if (channel < 0 || channel > 1 || !param_parse_number(text, len, &v, false)) return PARAM_INVALID_VALUE;
  if (v != 0 && (v < minimum[want_height] || v > limits[channel][want_height]))
    return PARAM_INVALID_VALUE;
  VideoChannelParams *c = &get_param_block()->video[channel];
  if (want_height)
    c->height = uint16_t(v);
  else
    c->width = uint16_t(v);
  return NULL;
}

}  // namespace

bool param_parse_number(const char *text, size_t len, long long *out, bool hex) {
  char buf[32];
  if (!text_copy(buf, sizeof buf, text, len)) return false;
  const char *p = buf;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  int base = 10;
  if (hex && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (!*p) return false;
  char *end;
  errno = 0;
  long long v = strtoll(p, &end, base);
  if (end == p || errno) return false;
  while (isspace(static_cast<unsigned char>(*end))) end++;
  if (*end) return false;
  *out = v;
  return true;
}

void param_set_quiet(int q) { quiet = q; }
int param_is_quiet(void) { return quiet; }

const char *param_standard_name(unsigned code) {
  switch (code) {
  case 0: return "AUTO";
  case 5: return "NTSC";
  case 6: return "PAL";
  case 7: return "480p60";
  case 8: return "576p50";
  case 9: return "720p60";
  case 10: return "720p50";
  case 11: return "720p30";
  case 12: case 20: return "1080i60";
  case 13: return "1080i50";
  case 14: return "1080p30";
  case 15: return "1080p25";
  case 16: return "1080p24";
  case 18: return "1080p60";
  case 19: return "1080p50";
  default: return "NONE";
  }
}

int param_standard_code(const char *text, size_t len) {
  // An empty text would match the first name.
  if (len == 0) return -1;
  for (const StandardName &s : standard_parse_order)
    if (len <= strlen(s.name) && strncasecmp(text, s.name, len) == 0) return s.code;
  return -1;
}

// --- names ---

const char *param_parse_dir_name(const char *text, size_t len, void *arg) {
  (void)arg;
  if (len == 0) return NULL;
  if (text[0] == '.') return "Directory name must not begin with '.'";
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '/' || c == '\\') return "Directory must be a single name without '/'";
    if (c < 0x20 || c == 0x7f) return "Directory name contains a control character";
  }
  return NULL;
}

// --- addresses ---

int param_format_mac(char *buf, size_t size, void *arg) {
  const uint8_t *m = static_cast<const uint8_t *>(arg);
  return snprintf(buf, size, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

const char *param_parse_mac(const char *text, size_t len, void *arg) {
  uint8_t mac[6];
  size_t i = 0;
  for (int c = 0; c < 6; c++) {
    if (i >= len) return "MAC address is formed incorrectly";
    unsigned v = 0;
    int digits = 0;
    while (i < len && isxdigit(static_cast<unsigned char>(text[i]))) {
      char ch = char(tolower(static_cast<unsigned char>(text[i++])));
      v = v * 16 + unsigned(ch <= '9' ? ch - '0' : ch - 'a' + 10);
      if (v > 0xff) return "MAC address component out of range 0-ff";
      digits++;
    }
    if (!digits) return "MAC address contains invalid character";
    mac[c] = uint8_t(v);
    while (i < len && (text[i] == ' ' || text[i] == '\t')) i++;
    if (c < 5) {
      if (i >= len) return "MAC address is formed incorrectly";
      if (isxdigit(static_cast<unsigned char>(text[i]))) return "MAC address missing ':'";
      if (text[i] != ':') return "MAC address contains invalid character";
      i++;
      while (i < len && (text[i] == ' ' || text[i] == '\t')) i++;
    }
  }
  if (i != len) return "MAC address contains invalid character";
  memcpy(arg, mac, sizeof mac);
  return NULL;
}

int param_format_ip(char *buf, size_t size, void *arg) {
  const uint8_t *a = static_cast<const uint8_t *>(arg);
  return snprintf(buf, size, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
}

const char *param_parse_ip(const char *text, size_t len, void *arg) {
  char buf[64];
  struct in_addr addr;
  if (len == 0) {
    memset(arg, 0, 4);
    return NULL;
  }
  if (!text_copy(buf, sizeof buf, text, len) || !inet_aton(buf, &addr))
    return "IP address is invalid";
  memcpy(arg, &addr.s_addr, 4);
  return NULL;
}

const char *param_parse_netmask(const char *text, size_t len, void *arg) {
  uint8_t bytes[4];
  const char *err = param_parse_ip(text, len, bytes);
  if (err) return err;
  uint32_t mask = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  uint32_t host = ~mask;
  // Ones from the top, then zeros; all ones leaves no host part.
  if (mask == 0xFFFFFFFFu || (host & (host + 1)) != 0) return "Netmask is formed incorrectly";
  memcpy(arg, bytes, 4);
  return NULL;
}

// --- codes ---

int param_format_u8(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", *static_cast<const uint8_t *>(arg));
}

int param_format_frame_rate(char *buf, size_t size, void *arg) {
  int rate = HOOK(capture_frame_rate) ? HOOK(capture_frame_rate)() : 0;
  if (rate <= 0) return -1;   // no capture rate yet: nothing to show
  int code = *static_cast<const uint8_t *>(arg);
  if (code == 0) code = 1;
  if (rate % (1000 * code) == 0) return snprintf(buf, size, "%d", rate / (1000 * code));
  char tmp[32];
  int n = snprintf(tmp, sizeof tmp, "%.1f", rate / 1000.0 / code);
  if (n > 2 && strcmp(tmp + n - 2, ".0") == 0) tmp[n - 2] = 0;
  return out_text(buf, size, tmp);
}

const char *param_parse_frame_rate(const char *text, size_t len, void *arg) {
  char buf[32];
  int capture = HOOK(capture_frame_rate) ? HOOK(capture_frame_rate)() : 0;
  if (!text_copy(buf, sizeof buf, text, len)) return PARAM_INVALID_VALUE;
  double fps = atof(buf);
  if (!std::isfinite(fps) || fps * 1000.0 > 1e9) return PARAM_INVALID_VALUE;
  long rate = lround(fps * 1000.0);
  if (rate < 1 || rate > capture + rate / 2) return PARAM_INVALID_VALUE;
  long code = (capture + rate / 2) / rate;
  if (code < 1 || code > 255) return PARAM_INVALID_VALUE;
  *static_cast<uint8_t *>(arg) = uint8_t(code);
  return NULL;
}

int param_format_aspect(char *buf, size_t size, void *arg) {
  switch (*static_cast<const uint8_t *>(arg)) {
  case 0: return out_text(buf, size, "None");
  case 1: return out_text(buf, size, "4:3");
  case 2: return out_text(buf, size, "16:9");
  default: return out_text(buf, size, "");
  }
}

const char *param_parse_aspect(const char *text, size_t len, void *arg) {
  uint8_t *v = static_cast<uint8_t *>(arg);
  if (len == 4 && strncasecmp(text, "none", 4) == 0)
    *v = 0;
  else if (len == 3 && memcmp(text, "4:3", 3) == 0)
    *v = 1;
  else if (len == 4 && memcmp(text, "16:9", 4) == 0)
    *v = 2;
  else
    return PARAM_INVALID_VALUE;
  return NULL;
}

const char *param_parse_h264_level(const char *text, size_t len, void *arg) {
  long long v;
  if (!param_parse_number(text, len, &v, false)) return PARAM_INVALID_VALUE;
  bool ok = (v >= 9 && v <= 13) || (v >= 20 && v <= 22) || (v >= 30 && v <= 32) ||
            (v >= 40 && v <= 42) || v == 50;
  if (!ok) return PARAM_INVALID_VALUE;
  *static_cast<uint8_t *>(arg) = uint8_t(v);
  return NULL;
}

const char *param_parse_h264_profile(const char *text, size_t len, void *arg) {
  long long v;
  if (!param_parse_number(text, len, &v, false) || (v != 66 && v != 77 && v != 100))
    return PARAM_INVALID_VALUE;
  *static_cast<uint8_t *>(arg) = uint8_t(v);
  return NULL;
}

int param_format_standard(char *buf, size_t size, void *arg) {
  return out_text(buf, size, param_standard_name(*static_cast<const uint8_t *>(arg)));
}

const char *param_parse_capture_standard(const char *text, size_t len, void *arg) {
  return parse_standard(text, len, arg);
}

const char *param_parse_display_standard(const char *text, size_t len, void *arg) {
  const char *err = parse_standard(text, len, arg);
  if (!err && !quiet) setDisplayStd(*static_cast<uint8_t *>(arg));
  return err;
}

// --- picture sizes ---

int param_format_width(char *buf, size_t size, void *arg) {
  int ch = int(index_of(arg));
  if (ch < 0 || ch > 1) return -1;
  return snprintf(buf, size, "%d", configured_size(ch, 0));
}

const char *param_parse_width(const char *text, size_t len, void *arg) {
  return parse_size(text, len, int(index_of(arg)), 0);
}

int param_format_height(char *buf, size_t size, void *arg) {
  int ch = int(index_of(arg));
  if (ch < 0 || ch > 1) return -1;
  return snprintf(buf, size, "%d", configured_size(ch, 1));
}

const char *param_parse_height(const char *text, size_t len, void *arg) {
  return parse_size(text, len, int(index_of(arg)), 1);
}

int param_format_scaled_width(char *buf, size_t size, void *arg) {
  int ch = int(index_of(arg));
  if (ch < 0 || ch > 1) return -1;
  int height = configured_size(ch, 1);
  switch (get_param_block()->video[ch].aspect_ratio) {
  case 1: return snprintf(buf, size, "%d", height * 4 / 3);
  case 2: return snprintf(buf, size, "%d", height * 16 / 9);
  default: return snprintf(buf, size, "%d", configured_size(ch, 0));
  }
}

int param_format_resolution(char *buf, size_t size, void *arg) {
  int ch = int(index_of(arg)) - 1;
  if (ch < 0 || ch > 1) return -1;
  const VideoChannelParams *v = &get_param_block()->video[ch];
  if (v->width == 0 || v->height == 0) return out_text(buf, size, "auto");
  return snprintf(buf, size, "%dx%d", v->width, v->height);
}

namespace {

// The size a resolution text names: NULL, or why it is refused.
const char *resolution_size(int ch, const char *text, size_t len, unsigned long *width, unsigned long *height) {
  unsigned long w = 0, h = 0;
  if (len > 0 && len <= 4 && strncasecmp(text, "auto", len) == 0) {
    w = h = 0;
  } else {
    size_t i = 0;
    while (i < len && isdigit(static_cast<unsigned char>(text[i])) && w <= 100000) w = w * 10 + unsigned(text[i++] - '0');
    if (i == 0 || i >= len || (text[i] != 'x' && text[i] != 'X')) return "Invalid resolution";
    size_t start = ++i;
    while (i < len && isdigit(static_cast<unsigned char>(text[i])) && h <= 100000) h = h * 10 + unsigned(text[i++] - '0');
    if (i == start || i != len) return "Invalid resolution";
    if (w > (ch == 0 ? 1920u : 768u)) return "Invalid width";
    if (h > (ch == 0 ? 1080u : 576u)) return "Invalid height";
  }
  *width = w;
  *height = h;
  return NULL;
}

}  // namespace

bool resolution_text_ok(int stream, const char *text, size_t len) {
  unsigned long w, h;
  return (stream == 0 || stream == 1) && text && !resolution_size(stream, text, len, &w, &h);
}

const char *param_parse_resolution(const char *text, size_t len, void *arg) {
  int ch = int(index_of(arg)) - 1;
  if (ch < 0 || ch > 1) return PARAM_INVALID_VALUE;
  unsigned long w = 0, h = 0;
  if (const char *err = resolution_size(ch, text, len, &w, &h)) return err;
  VideoChannelParams *v = &get_param_block()->video[ch];
  v->width = uint16_t(w);
  v->height = uint16_t(h);
  log_printf("%s: %d %dx%d\n", "setResolution", ch + 1, int(w), int(h));
  return NULL;
}

const char *const *get_resolution_list(int stream) {
  static const char *const list_a[] = {
    "Auto", "720x480", "704x480", "640x480", "360x240", "352x240", "320x240", "180x120",
    "176x120", "160x120", "720x576", "704x576", "360x288", "352x288", "180x144", "176x144",
    "1280x720", "1920x1080", "640x360", "720x576", "512x384", "512x288", "320x180",
    "800x600", "1024x768", "1280x1024", "1600x1200", "752x576", NULL,
  };
  static const char *const list_pal[] = {
    "Auto", "720x576", "704x576", "640x480", "360x288", "352x288", "320x240", "180x144",
    "176x144", "160x120", NULL,
  };
  static const char *const list_ntsc[] = {
    "Auto", "720x480", "704x480", "640x480", "360x240", "352x240", "320x240", "180x120",
    "176x120", "160x120", NULL,
  };
  if (stream == 0) return list_a;
  return get_param_block()->capture.standard == 6 ? list_pal : list_ntsc;
}

int getStreamResolution(int stream, int *width, int *height) {
  if (stream != 0 && stream != 1) {
    log_printf("%s: invalid stream_idx %d\n", "getStreamResolution", stream);
    return -1;
  }
  const VideoChannelParams *v = &get_param_block()->video[stream];
  int w = v->width, h = v->height;
  if (w == 0 || h == 0) {
    if (!HOOK(capture_size)) return -1;
    for (;;) {
      w = h = 0;
      HOOK(capture_size)(stream, &w, &h);
      if ((w && h) || get_exit_code()) break;
      sleep_ms(100);
    }
  }
  if (width) *width = w;
  if (height) *height = h;
  return 0;
}

void setStreamResolution(int stream, int width, int height) {
  if (stream != 0 && stream != 1) {
    log_printf("%s: invalid stream_idx %d\n", "getStreamResolution", stream);
    return;
  }
  get_param_block()->video[stream].width = uint16_t(width);
  get_param_block()->video[stream].height = uint16_t(height);
}

// --- capture, streams ---

int param_format_capture_resolution(char *buf, size_t size, void *arg) {
  int lock = HOOK(capture_lock_state) ? HOOK(capture_lock_state)() : 0;
  if (!lock || !HOOK(capture_resolution_text)) return out_text(buf, size, "No video lock");
  return HOOK(capture_resolution_text)(buf, size);
}

int param_format_video_lock(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", HOOK(capture_lock_state) ? HOOK(capture_lock_state)() : 0);
}

const char *param_parse_video_counter(const char *text, size_t len, void *arg) {
  long long v;
  if (!param_parse_number(text, len, &v, false) || v < 0 || v > UINT32_MAX) return PARAM_INVALID_VALUE;
  if (!HOOK(overlay_set_frame_counter)) return PARAM_NOT_AVAILABLE;
  HOOK(overlay_set_frame_counter)(uint32_t(v));
  return NULL;
}

int param_format_status(char *buf, size_t size, void *arg) {
  int id = int(index_of(arg));
  if (id == CG_RECORDING && HOOK(recording_status_text)) return HOOK(recording_status_text)(buf, size);
  if (HOOK(stream_status_copy)) {
    int n = HOOK(stream_status_copy)(id, buf, size);
    if (n >= 0) return n;
  }
  if (!HOOK(stream_running) || !HOOK(stream_running)(id)) return out_text(buf, size, "Stopped");
  return out_text(buf, size, "Streaming");
}

const char *param_parse_state(const char *text, size_t len, void *arg) {
  int run;
  if (len > 0 && len <= 5 && strncasecmp(text, "start", len) == 0)
    run = 1;
  else if (len > 0 && len <= 4 && strncasecmp(text, "stop", len) == 0)
    run = 0;
  else
    return "Invalid state";
  // The row's index is the stream's id and its change group.
  uint32_t id = uint32_t(index_of(arg));
  if (!HOOK(stream_set_state) && !(id == CG_RECORDING && HOOK(record_set_state)))
    return PARAM_NOT_AVAILABLE;
  if (id == CG_RECORDING) {
    // A recording starts on another thread, which reads its settings as it
    // begins: it is asked for once the settings set with it are applied, so
    // that the apply's restart never meets the run it starts (a second file,
    // or the old settings).
    param_request_recording(run);
    return NULL;
  }
  // A stopped stream's start begins a run with the settings as they are
  // now: the settings set before it in the same form must not restart that
  // run once the form is applied (a receiver that takes one connection
  // would lose it). Their marks are dropped before the start: a setting
  // marked after that, by this form or another, restarts the run to be
  // taken.
  if (run == 1 && HOOK(stream_running) && !HOOK(stream_running)(int(id))) param_drop_change(id);
  HOOK(stream_set_state)(int(id), run);
  return NULL;
}

int param_format_recording_storage(char *buf, size_t size, void *arg) {
  if (HOOK(recording_storage_text)) return HOOK(recording_storage_text)(buf, size);
  return out_text(buf, size, "");
}

// --- users ---

const char *param_parse_user_delete(const char *text, size_t len, void *arg) {
  int id = int(index_of(arg));
  if (id < 0 || id >= PARAM_USER_COUNT) return PARAM_INVALID_VALUE;
  log_printf("%s: value=%.*s len=%d id=%d\n", "deleteUser", int(len), text, int(len), id);
  if (len > 0) {
    UserRecord *u = &get_param_block()->users[id];
    memset(u->name, 0, sizeof u->name);
    memset(u->password, 0, sizeof u->password);
  }
  return NULL;
}

const char *param_parse_user_password(const char *text, size_t len, void *arg) {
  int id = int(index_of(arg));
  if (id < 0 || id >= PARAM_USER_COUNT) return PARAM_INVALID_VALUE;
  // "password" is what the form shows in place of the stored one.
  if (len == 0 || (len == 8 && memcmp(text, "password", 8) == 0)) return NULL;
  UserRecord *u = &get_param_block()->users[id];
  if (len >= sizeof u->password) return "String value too long";
  memset(u->password, 0, sizeof u->password);
  memcpy(u->password, text, len);
  return NULL;
}

// --- board, processes, clock ---

const char *param_parse_telnet(const char *text, size_t len, void *arg) {
  char buf[16];
  if (!text_copy(buf, sizeof buf, text, len)) return PARAM_INVALID_VALUE;
  if (!HOOK(telnet_enable)) return PARAM_NOT_AVAILABLE;
  HOOK(telnet_enable)(buf);
  return NULL;
}

namespace {
int gpio_out_state;
}

int param_format_gpio_in(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", HOOK(gpio_get) ? HOOK(gpio_get)(27) : 0);
}

int param_format_gpio_out(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", gpio_out_state);
}

const char *param_parse_gpio_out(const char *text, size_t len, void *arg) {
  if (len != 1 || (text[0] != '0' && text[0] != '1')) return PARAM_INVALID_VALUE;
  if (!HOOK(gpio_set)) return PARAM_NOT_AVAILABLE;
  gpio_out_state = text[0] - '0';
  HOOK(gpio_set)(26, gpio_out_state);
  return NULL;
}

int param_format_clock(char *buf, size_t size, void *arg) {
  struct timeval now;
  wallclock_now(&now);
  struct tm tm;
  wallclock_localtime(now.tv_sec, &tm);
  return snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

const char *param_parse_clock(const char *text, size_t len, void *arg) {
  static const char layout[] = "dddd-dd-dd dd:dd:dd";
  if (len != 19 && len != 16) return "Invalid date format";
  for (size_t i = 0; i < len; i++) {
    if (layout[i] == 'd' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != layout[i])
      return "Invalid date format";
  }
  auto num = [&](size_t at, size_t n) {
    int v = 0;
    for (size_t i = 0; i < n; i++) v = v * 10 + (text[at + i] - '0');
    return v;
  };
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  tm.tm_year = num(0, 4) - 1900;
  tm.tm_mon = num(5, 2) - 1;
  tm.tm_mday = num(8, 2);
  tm.tm_hour = num(11, 2);
  tm.tm_min = num(14, 2);
  tm.tm_sec = len == 19 ? num(17, 2) : 0;
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 59)
    return "Invalid date format";
  time_t t = mktime(&tm);
  if (t == time_t(-1)) return "Invalid date format";
  if (set_system_time(t) != 0) return "Cannot set the clock";
  return NULL;
}

int param_format_firmware_version(char *buf, size_t size, void *arg) {
  if (HOOK(firmware_version_text)) return HOOK(firmware_version_text)(buf, size);
  return out_text(buf, size, "Firmware invalid");
}

int param_format_firmware_build(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", M7391_BUILD);
}

int param_format_bootloader_version(char *buf, size_t size, void *arg) {
  uint32_t v = mtd_bootloader_version();
  return snprintf(buf, size, "%d.%d.%d", int(v >> 16 & 0xff), int(v >> 8 & 0xff), int(v & 0xff));
}

int param_format_firmware_status(char *buf, size_t size, void *arg) {
  const char *text = HOOK(firmware_status_take) ? HOOK(firmware_status_take)() : NULL;
  return out_text(buf, size, text ? text : "");
}

int param_format_serial_number(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", int(board_identity.serial));
}

const char *param_parse_serial_number(const char *text, size_t len, void *arg) {
  uint32_t current = board_identity.serial;
  if (current != 0 && current != 0xFFFFFFFFu) return "Cannot change serial number";
  long long v;
  if (!param_parse_number(text, len, &v, false) || v < 0 || v > 999999) return "Invalid serial number";
  uint32_t serial = uint32_t(v);
  // Flash only clears bits: a word that is not erased cannot take a new
  // value, whatever the write returns. What the chip holds afterwards decides.
  const uint32_t off = MTD_BOARDINFO_OFF + offsetof(BoardInfo, serial);
  uint32_t stored = 0;
  if (mtd_read(&stored, off, sizeof stored) != ssize_t(sizeof stored) || stored != 0xFFFFFFFFu)
    return "Cannot change serial number";
  if (mtd_write(&serial, off, sizeof serial) != ssize_t(sizeof serial) ||
      mtd_read(&stored, off, sizeof stored) != ssize_t(sizeof stored) || stored != serial) {
    log_printf("%s: cannot write the serial number to flash\n", "setSerialNumber");
    return "Cannot change serial number";
  }
  board_identity.serial = serial;
  return NULL;
}

int param_format_cpu_load(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", get_cpu_load());
}

// --- registers ---

namespace {
uint32_t debug_addr;

// Below 0x10000 the capture decoder, then the display transmitter, then the
// board registers (low 16 bits of the address each), then SoC physical space.
uint32_t debug_read(uint32_t addr) {
  if (addr == 0) return 0;
  if (addr < 0x10000) return HOOK(decoder_reg_read) ? HOOK(decoder_reg_read)(addr) : 0;
  if (addr < 0x20000) return HOOK(hdmi_reg_read) ? HOOK(hdmi_reg_read)(addr & 0xffff) : 0;
  if (addr < 0x30000) return HOOK(board_reg_read) ? HOOK(board_reg_read)(addr & 0xffff) : 0;
  return hwreg_read(addr);
}

// -1 when the device behind the address is not part of this build.
int debug_write(uint32_t addr, uint32_t value) {
  if (addr == 0) return 0;
  if (addr < 0x10000) {
    if (!HOOK(decoder_reg_write)) return -1;
    HOOK(decoder_reg_write)(addr, value);
  } else if (addr < 0x20000) {
    if (!HOOK(hdmi_reg_write)) return -1;
    HOOK(hdmi_reg_write)(addr & 0xffff, value);
  } else if (addr < 0x30000) {
    if (!HOOK(board_reg_write)) return -1;
    HOOK(board_reg_write)(addr & 0xffff, value);
  } else {
    hwreg_write(addr, value);
  }
  return 0;
}

const char *parse_u32(const char *text, size_t len, uint32_t *out) {
  long long v;
  if (!param_parse_number(text, len, &v, true) || v < 0 || v > UINT32_MAX) return PARAM_INVALID_VALUE;
  *out = uint32_t(v);
  return NULL;
}
}  // namespace

int param_format_debug_addr(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "0x%08x", debug_addr);
}

const char *param_parse_debug_addr(const char *text, size_t len, void *arg) {
  return parse_u32(text, len, &debug_addr);
}

int param_format_debug_data(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "0x%08x", debug_read(debug_addr));
}

const char *param_parse_debug_data(const char *text, size_t len, void *arg) {
  uint32_t value;
  const char *err = parse_u32(text, len, &value);
  if (!err && debug_write(debug_addr, value) != 0) err = PARAM_NOT_AVAILABLE;
  return err;
}

int param_format_timestamp(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%lu", static_cast<unsigned long>(timestamp_now()));
}

const char *param_parse_timestamp(const char *text, size_t len, void *arg) {
  uint32_t v;
  const char *err = parse_u32(text, len, &v);
  if (!err) timestamp_set(v);
  return err;
}

// --- actions ---

const char *param_parse_reboot(const char *text, size_t len, void *arg) {
  if (len == 1 && text[0] == '1') set_exit_code(EXIT_REBOOT);
  return NULL;
}

const char *param_parse_custom_clear(const char *text, size_t len, void *arg) {
  if (!HOOK(customzip_clear)) return PARAM_NOT_AVAILABLE;
  HOOK(customzip_clear)();
  return NULL;
}

const char *param_parse_key_press(const char *text, size_t len, void *arg) {
  long long n;
  if (!param_parse_number(text, len, &n, false) || n < 0) return PARAM_INVALID_VALUE;
  if (!HOOK(dvr_post_key)) return PARAM_NOT_AVAILABLE;
  HOOK(dvr_post_key)(n < 32 ? 1u << n : 0);
  return NULL;
}

int param_format_encoder_count(char *buf, size_t size, void *arg) {
  int n = int(index_of(arg));
  return snprintf(buf, size, "%d", HOOK(encoder_count_get) ? int(HOOK(encoder_count_get)(n)) : 0);
}

const char *param_parse_encoder_count(const char *text, size_t len, void *arg) {
  long long v;
  if (!param_parse_number(text, len, &v, false) || v < INT32_MIN || v > INT32_MAX)
    return PARAM_INVALID_VALUE;
  if (!HOOK(encoder_count_set)) return PARAM_NOT_AVAILABLE;
  HOOK(encoder_count_set)(int(index_of(arg)), int32_t(v));
  return NULL;
}

int param_format_board_model(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", M7391_MODEL);
}

int param_format_latency(char *buf, size_t size, void *arg) {
  int n = int(index_of(arg));
  if (n < 0 || n >= LATENCY_COUNT) return -1;
  LatencyStats *r = &latency_records[n];
  int64_t count = r->count ? r->count : 1;
  int len = snprintf(buf, size, "min:%d max:%d avg:%d (ms)", int(r->min / 90), int(r->max / 90),
                     int(r->sum / count / 90));
  *r = LatencyStats{9000000, 0, 0, 0};
  return len;
}

int param_format_custom_zip_size(char *buf, size_t size, void *arg) {
  return snprintf(buf, size, "%d", HOOK(customzip_size) ? HOOK(customzip_size)() : -1);
}
