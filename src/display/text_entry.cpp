#include "display/text_entry.h"

#include <cstring>

#include "core/log.h"
#include "display/dvr_keys.h"

TextEntry text_entry = {PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, {}, 0};

namespace {

size_t text_length(void) { return strnlen(text_entry.buffer, TEXT_ENTRY_MAX); }

void changed(void) { dvr_post_key(DVR_KEY_TEXT_CHANGED); }

}  // namespace

void text_entry_insert(char c) {
  TextEntry &t = text_entry;
  if (t.cursor >= t.size) {
    log_printf("keyboard pos %d >= size %d\n", t.cursor, t.size);
    return;
  }
  size_t len = text_length();
  if (t.size == 0 || len + 1 >= t.size) return;   // the last byte keeps the NUL
  memmove(t.buffer + t.cursor + 1, t.buffer + t.cursor, len - t.cursor);
  t.buffer[t.cursor++] = c;
  t.buffer[len + 1] = 0;
  changed();
}

void text_entry_backspace(void) {
  TextEntry &t = text_entry;
  if (t.cursor == 0) {
    t.edge = -1;
  } else {
    size_t len = text_length();
    memmove(t.buffer + t.cursor - 1, t.buffer + t.cursor, len - t.cursor + 1);
    t.cursor--;
  }
  changed();
}

void text_entry_left(void) {
  if (text_entry.cursor > 0)
    text_entry.cursor--;
  else
    text_entry.edge = -1;
  changed();
}

void text_entry_right(void) {
  TextEntry &t = text_entry;
  if (t.cursor < text_length() && t.cursor + 1 < t.size)
    t.cursor++;
  else
    t.edge = 1;
  changed();
}

void text_entry_home(void) {
  text_entry.cursor = 0;
  changed();
}

void text_entry_end(void) {
  text_entry.cursor = uint8_t(text_length());
  changed();
}

void text_entry_delete(void) {
  TextEntry &t = text_entry;
  size_t len = text_length();
  if (t.cursor < len)
    memmove(t.buffer + t.cursor, t.buffer + t.cursor + 1, len - t.cursor);
  else
    t.edge = 1;
  changed();
}

void text_entry_begin(const char *text, uint32_t size) {
  TextEntry &t = text_entry;
  pthread_mutex_lock(&t.mutex);
  if (size > TEXT_ENTRY_MAX) {
    log_printf("WARNING: keyboard size %u > %d sizeof\n", size, TEXT_ENTRY_MAX);
    size = TEXT_ENTRY_MAX;
  }
  size_t len = text ? strnlen(text, size) : 0;
  if (size > 0 && len >= size) {
    log_printf("WARNING: keyboard pos %zu > %u size\n", len, size);
    len = size - 1;
  }
  memset(t.buffer, 0, sizeof t.buffer);
  if (len) memcpy(t.buffer, text, len);
  t.size = uint8_t(size);
  t.cursor = uint8_t(len);
  t.edge = 0;
  t.text_mode = 1;
  pthread_mutex_unlock(&t.mutex);
}

void text_entry_finish(char *text, uint32_t size, int copy) {
  TextEntry &t = text_entry;
  pthread_mutex_lock(&t.mutex);
  t.text_mode = 0;
  if (copy && text && size > 0) {
    size_t n = strnlen(t.buffer, TEXT_ENTRY_MAX);
    if (n > size - 1) n = size - 1;
    memcpy(text, t.buffer, n);
    text[n] = 0;
  }
  pthread_mutex_unlock(&t.mutex);
}
