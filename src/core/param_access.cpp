// param_get / param_set and the parameter text files.
#include "core/param_access.h"
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include "core/log.h"
#include "core/param_table.h"
#include "core/param_types.h"
#include "platform/host_root.h"

namespace {

ParamBlock live_block;

// Longest value text of any row (an overlay message holds 159 characters)
// with room to spare for virtual rows.
constexpr size_t VALUE_MAX = 256;
// Longest line an import reads; longer lines are refused whole.
constexpr size_t LINE_MAX_LEN = 1024;
constexpr size_t NAME_MAX_LEN = 40;

// Messages with numbers are built per thread: the web, control and menu
// threads set parameters at the same time.
thread_local char result_text[128];

uint32_t field_capacity(uint32_t size) {
  return size >= 4 ? UINT32_MAX : (1u << (8 * size)) - 1;
}

uint32_t read_uint(const void *field, uint32_t size) {
  uint32_t v = 0;
  memcpy(&v, field, size > 4 ? 4 : size);
  return v;
}

int32_t read_int(const void *field, uint32_t size) {
  uint32_t v = read_uint(field, size);
  if (size == 1) return int8_t(v);
  if (size == 2) return int16_t(v);
  return int32_t(v);
}

float bits_float(int32_t bits) {
  float f;
  memcpy(&f, &bits, sizeof f);
  return f;
}

const char *set_integer(const ParamDesc *d, void *field, const char *text) {
  uint32_t size = d->size > 4 ? 4 : d->size;
  uint32_t step = d->step > 0 ? uint32_t(d->step) : 1;
  if (d->min < 0) {
    long v = strtol(text, NULL, 10);
    if (v < d->min || v > d->max) {
      int shown = v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : int(v);
      snprintf(result_text, sizeof result_text, "Signed value out of range %d (%d-%d)",
               shown, d->min, d->max);
      return result_text;
    }
    int32_t s = int32_t(v);
    s -= int32_t(uint32_t(s - d->min) % step);
    uint32_t u = uint32_t(s);
    memcpy(field, &u, size);
    return NULL;
  }
  // A value the field cannot hold is refused, never cut to its low bytes.
  uint32_t min = uint32_t(d->min);
  uint32_t max = uint32_t(d->max);
  if (max > field_capacity(size)) max = field_capacity(size);
  unsigned long v = strtoul(text, NULL, 10);
  if (v < min || v > max) {
    snprintf(result_text, sizeof result_text, "Unsigned value out of range %u (%u-%u)",
             unsigned(v), min, max);
    return result_text;
  }
  uint32_t u = uint32_t(v);
  u -= (u - min) % step;
  memcpy(field, &u, size);
  return NULL;
}

const char *set_float(const ParamDesc *d, void *field, const char *text) {
  float v = float(atof(text));
  float min = bits_float(d->min), max = bits_float(d->max);
  if (std::isnan(v) || v < min || v > max) {
    snprintf(result_text, sizeof result_text, "Float value out of range %f (%f-%f)",
             double(v), double(min), double(max));
    return result_text;
  }
  memcpy(field, &v, sizeof v);
  return NULL;
}

const char *set_string(const ParamDesc *d, void *field, const char *text, size_t len) {
  if (len >= d->size) return "String value too long";
  // A string row's parser is a check of the text only.
  if (d->parse)
    if (const char *err = d->parse(text, len, nullptr)) return err;
  // A line break would split the row in a parameter file.
  if (memchr(text, '\n', len) || memchr(text, '\r', len)) return PARAM_INVALID_VALUE;
  memcpy(field, text, len);
  static_cast<char *>(field)[len] = 0;
  return NULL;
}

bool is_scan_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

ParamState param_state = {
  &live_block, PTHREAD_MUTEX_INITIALIZER, 0, {0}, NULL, PTHREAD_MUTEX_INITIALIZER,
  PTHREAD_MUTEX_INITIALIZER, 0,
};

ParamBlock *get_param_block(void) { return param_state.block; }

int param_get_by_index(int row, char *buf, size_t size) {
  if (row < 0 || row >= PARAM_ROW_COUNT || !buf || size == 0) return -1;
  const ParamDesc *d = &paramTable[row];
  void *field = d->type == PARAM_VIRTUAL ? NULL : param_field(get_param_block(), d);
  int n;
  switch (d->type) {
  case PARAM_STRING: {
    size_t max = d->size < size ? d->size : size;
    size_t len = strnlen(static_cast<const char *>(field), max - 1);
    memcpy(buf, field, len);
    buf[len] = 0;
    return int(len);
  }
  case PARAM_INTEGER:
    if (d->min < 0)
      n = snprintf(buf, size, "%d", read_int(field, d->size));
    else
      n = snprintf(buf, size, "%u", read_uint(field, d->size));
    break;
  case PARAM_FLOAT: {
    float f;
    memcpy(&f, field, sizeof f);
    n = snprintf(buf, size, "%f", double(f));
    break;
  }
  case PARAM_CONVERTED:
    if (!d->format) return -1;
    n = d->format(buf, size, field);
    break;
  case PARAM_VIRTUAL:
    if (!d->format) return -1;
    n = d->format(buf, size, reinterpret_cast<void *>(uintptr_t(d->offset)));
    break;
  default:
    return -1;
  }
  if (n < 0) return -1;
  return size_t(n) < size ? n : int(strlen(buf));
}

int param_get(const char *name, char *buf, size_t size) {
  int row = param_index(name);
  if (row < 0) return -1;
  return param_get_by_index(row, buf, size);
}

int param_getf(char *buf, size_t size, const char *format, ...) {
  char name[100];
  va_list ap;
  va_start(ap, format);
  vsnprintf(name, sizeof name, format, ap);
  va_end(ap);
  return param_get(name, buf, size);
}

const char *param_set(const char *name, const char *value, size_t length) {
  const ParamDesc *d = param_find(name);
  if (!d) return "No such parameter";
  if (!value) length = 0;
  if (d->type != PARAM_STRING && length > VALUE_MAX) return PARAM_INVALID_VALUE;
  // Number and converted texts are short; a string row checks the length
  // it was given before copying.
  char text[VALUE_MAX + 1];
  size_t n = length < VALUE_MAX ? length : VALUE_MAX;
  if (n) memcpy(text, value, n);
  text[n] = 0;

  uint8_t before[VALUE_MAX];
  void *field = d->type == PARAM_VIRTUAL ? NULL : param_field(get_param_block(), d);
  bool keep = d->group != CG_NONE && d->size > 0 && d->size <= sizeof before;
  // A converted row is parsed aside first, so that a refused text leaves
  // the field as it was; parsers may act (the display standard's sets the
  // output) and run outside the write lock, as do virtual rows' (which may
  // save). The stores themselves are made under it.
  uint8_t scratch[16];
  const char *err = NULL;
  if (d->type == PARAM_CONVERTED) {
    if (!d->parse || d->size > sizeof scratch) return PARAM_INVALID_VALUE;
    memcpy(scratch, field, d->size);
    if ((err = d->parse(text, n, scratch))) return err;
  }
  bool locked = d->type != PARAM_VIRTUAL;
  if (locked) pthread_mutex_lock(&param_state.write_mutex);
  if (keep) memcpy(before, field, d->size);

  switch (d->type) {
  case PARAM_INTEGER:
    err = set_integer(d, field, text);
    break;
  case PARAM_FLOAT:
    err = set_float(d, field, text);
    break;
  case PARAM_STRING:
    err = set_string(d, field, value ? value : "", length);
    break;
  case PARAM_CONVERTED:
    memcpy(field, scratch, d->size);
    break;
  case PARAM_VIRTUAL:
    if (d->parse) err = d->parse(text, n, reinterpret_cast<void *>(uintptr_t(d->offset)));
    break;
  default:
    err = PARAM_INVALID_VALUE;
  }
  bool changed = keep && !err && memcmp(before, field, d->size) != 0;
  if (locked) pthread_mutex_unlock(&param_state.write_mutex);
  if (err) return err;

  if (changed || (d->size == 0 && d->group != CG_NONE))
    param_mark_changed(d->group);
  return NULL;
}

void param_write_begin(void) { pthread_mutex_lock(&param_state.write_mutex); }
void param_write_end(void) { pthread_mutex_unlock(&param_state.write_mutex); }

const char *param_set_str(const char *name, const char *value) {
  return param_set(name, value, value ? strlen(value) : 0);
}

void param_mark_changed(uint32_t group) {
  if (group == CG_NONE || group >= 32) return;
  pthread_mutex_lock(&param_state.change_mutex);
  param_state.pending |= 1u << group;
  pthread_mutex_unlock(&param_state.change_mutex);
}

uint32_t param_pending_changes(void) {
  pthread_mutex_lock(&param_state.change_mutex);
  uint32_t pending = param_state.pending;
  pthread_mutex_unlock(&param_state.change_mutex);
  return pending;
}

void param_drop_change(uint32_t group) {
  if (group >= 32) return;
  pthread_mutex_lock(&param_state.change_mutex);
  param_state.pending &= ~(1u << group);
  pthread_mutex_unlock(&param_state.change_mutex);
}

void param_request_recording(int run) {
  uint32_t start = 1u << CG_RECORD_START, stop = 1u << CG_RECORD_STOP;
  pthread_mutex_lock(&param_state.change_mutex);
  param_state.pending = (param_state.pending & ~(start | stop)) | (run ? start : stop);
  pthread_mutex_unlock(&param_state.change_mutex);
}

uint32_t param_take_changes(void) {
  pthread_mutex_lock(&param_state.change_mutex);
  uint32_t pending = param_state.pending;
  param_state.pending = 0;
  pthread_mutex_unlock(&param_state.change_mutex);
  return pending;
}

int param_export_stream(FILE *out) {
  char value[VALUE_MAX];
  for (int i = 0; paramTable[i].name; i++) {
    const ParamDesc *d = &paramTable[i];
    if (d->type == PARAM_VIRTUAL || strcmp(d->name, "NetworkMACAddr") == 0 ||
        strcmp(d->name, "DeveloperMode") == 0)
      continue;
    if (param_get_by_index(i, value, sizeof value) < 0) continue;
    value[strcspn(value, "\r\n")] = 0;
    if (fprintf(out, "%s = %s\r\n", d->name, value) < 0) {
      perror("fprintf");
      return -1;
    }
  }
  return 0;
}

int param_export_file(const char *path) {
  FILE *f = path ? sys_fopen(path, "w") : NULL;
  if (!f) {
    perror("fopen");
    return -1;
  }
  // A write refused at once or only when the buffer is flushed (a full
  // card) fails the export: a cut file is never reported as saved.
  int rc = param_export_stream(f);
  if (fclose(f) != 0) {
    perror("fclose");
    rc = -1;
  }
  return rc;
}

int param_import_line(const char *line, size_t len) {
  // The fields of " %40[^ \t\n=] %c %[^\n]": a name, one separator
  // character and the rest of the line as the value.
  char name[NAME_MAX_LEN + 1] = "";
  char value[LINE_MAX_LEN + 1] = "";
  char sep = 0;
  int rc = -1;
  size_t i = 0;
  while (i < len && is_scan_space(line[i])) i++;
  if (i < len) {
    rc = 0;
    size_t n = 0;
    while (i < len && n < NAME_MAX_LEN && !strchr(" \t\n=", line[i]) && line[i]) name[n++] = line[i++];
    name[n] = 0;
    if (n > 0) {
      rc = 1;
      while (i < len && is_scan_space(line[i])) i++;
      if (i < len) {
        sep = line[i++];
        rc = 2;
        while (i < len && is_scan_space(line[i])) i++;
        size_t v = 0;
        while (i < len && line[i] != '\n' && line[i] && v < LINE_MAX_LEN) value[v++] = line[i++];
        while (v > 0 && is_scan_space(value[v - 1])) v--;
        value[v] = 0;
        if (v > 0) rc = 3;
      }
    }
  }
  if (rc >= 2 && sep == '=' && isalpha(static_cast<unsigned char>(name[0]))) {
    const char *err = param_set_str(name, value);
    if (!err) return 0;
    log_printf("can't set '%s' to '%s' (%s)\n", name, value, err);
    return -1;
  }
  log_printf("can't set '%s' to '%s' (rc=%d)\n", name, value, rc);
  return -1;
}

int param_import_file(const char *path) {
  // The file may come from a bundle or a disk: a link or a pipe planted in
  // its place is not read.
  int fd = path ? sys_open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
  struct stat st;
  FILE *f = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "r") : NULL;
  if (!f) {
    if (fd >= 0) close(fd);
    return -1;
  }
  param_import_stream(f);
  fclose(f);
  return 0;
}

int param_import_stream(FILE *f, ParamImportCount *count) {
  char line[LINE_MAX_LEN + 2];
  ParamImportCount c = {0, 0};
  for (;;) {
    // Read by bytes: a zero byte (UTF-16 text) must not hide the rest of
    // its line.
    size_t len = 0;
    int ch = EOF;
    bool too_long = false, zero = false;
    while ((ch = getc(f)) != EOF) {
      if (len < sizeof line - 1) line[len++] = (char)ch;
      else too_long = true;
      if (ch == '\n') break;
      if (ch == 0) zero = true;
    }
    if (len == 0 && ch == EOF) break;
    line[len] = 0;
    if (too_long) {
      // Refused whole: a cut value would be stored as if it were complete.
      log_printf("%s: line longer than %zu characters skipped\n", "param_import_file",
                 LINE_MAX_LEN);
      c.skipped++;
      continue;
    }
    if (zero) {
      log_printf("%s: line with a zero byte skipped (not plain text)\n", "param_import_file");
      c.skipped++;
      continue;
    }
    if (param_import_line(line, len) == 0) {
      c.set++;
    } else {
      // A blank line is no setting refused (text in another encoding,
      // UTF-16 with its zero bytes, is).
      size_t i = 0;
      while (i < len && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) i++;
      if (i < len) c.skipped++;
    }
  }
  if (count) *count = c;
  return 0;
}
