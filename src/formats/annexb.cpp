#include "formats/annexb.h"

#include <cstring>

size_t annexb_find_start_code(const uint8_t *d, size_t len, size_t from) {
  size_t i = from;
  while (i + 2 < len) {
    const uint8_t *one = (const uint8_t *)memchr(d + i + 2, 1, len - i - 2);
    if (!one) return len;
    size_t k = (size_t)(one - d);
    if (d[k - 1] == 0 && d[k - 2] == 0) return k - 2;
    i = k - 1;  // the next 00 00 01 ends past this 01
  }
  return len;
}

bool annexb_starts_with_start_code(const uint8_t *d, size_t len) {
  return (len >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1) ||
         (len >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1);
}

int annexb_first_nal_type(const uint8_t *d, size_t len) {
  if (len >= 5 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) return d[4] & 0x1F;
  if (len >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 1) return d[3] & 0x1F;
  return -1;
}

void annexb_walk_init(AnnexbWalk *w, const uint8_t *d, size_t len) {
  w->d = d;
  w->len = len;
  w->next = annexb_find_start_code(d, len, 0);
}

bool annexb_walk_next(AnnexbWalk *w, size_t *start, size_t *end) {
  while (w->next < w->len) {
    size_t s = w->next + 3;
    size_t nx = annexb_find_start_code(w->d, w->len, s);
    size_t e = nx;
    // A 4-byte start code's zero_byte belongs to no NAL unit.
    if (nx < w->len && e > s && w->d[e - 1] == 0) e--;
    w->next = nx;
    if (e > s) {
      *start = s;
      *end = e;
      return true;
    }
  }
  return false;
}
