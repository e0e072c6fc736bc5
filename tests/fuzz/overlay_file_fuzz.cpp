// Overlay text files as a USB disk may bring them: whatever the bytes, the
// settings are ones the slots accept, every line fits a row, and the file
// written from the result reads back to the same overlay.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "display/screens/overlay_editor.h"

static bool same_text(const TextOverlayConf &a, const TextOverlayConf &b) {
  return a.text_size == b.text_size && (!a.text_size || !memcmp(a.text, b.text, a.text_size));
}

int fuzz_one(const uint8_t *data, size_t size) {
  TextOverlayConf conf = {2, 150, 100, 0, "fuzz.txt", -1, nullptr, 0};
  if (overlay_text_parse(&conf, (const char *)data, size) != 0) abort();
  if (conf.font < 1 || conf.font > 4) abort();
  if (conf.background < 0 || conf.background > 6 || conf.background == 2 || conf.background == 3) abort();
  if (conf.x < 0 || conf.x > 0xFFFF || conf.y < 0 || conf.y > 0xFFFF) abort();
  if (conf.text_size && (!conf.text || conf.text[conf.text_size - 1])) abort();
  for (uint32_t at = 0; at < conf.text_size;) {
    size_t n = strlen(conf.text + at);
    if (n > OVERLAY_LINE_CHARS || (n && conf.text[at + n - 1] == '\r')) abort();
    at += uint32_t(n) + 1;
  }
  size_t n = 0;
  char *file = overlay_text_build(&conf, &n);
  if (!file) abort();
  TextOverlayConf again = {1, 0, 0, 1, "fuzz.txt", -1, nullptr, 0};
  if (overlay_text_parse(&again, file, n) != 0) abort();
  if (again.font != conf.font || again.background != conf.background || again.x != conf.x ||
      again.y != conf.y || !same_text(conf, again))
    abort();
  free(file);
  free(conf.text);
  free(again.text);
  return 0;
}
