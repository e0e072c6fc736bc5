#include "osd/osd_tokens.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/process_util.h"
#include "osd/osd_channel.h"
#include "platform/wallclock.h"

OverlayFields overlay_fields;
const char *overlay_units[4];

namespace {

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Out {
  char *buf;
  int len, max;
  void put(const char *s, size_t n) {
    size_t room = (size_t)(max - len);
    if (n > room) n = room;
    memcpy(buf + len, s, n);
    len += (int)n;
  }
  void put(const char *s) { put(s, strlen(s)); }
};

// A text field read up to its size: the writer may not have ended it.
void put_field(Out *o, const char *field, size_t size) { o->put(field, strnlen(field, size)); }

void put_date(Out *o, unsigned fmt, const struct tm &tm) {
  char year[16], md[32] = "";
  int mon = tm.tm_mon < 0 || tm.tm_mon > 11 ? 0 : tm.tm_mon;
  const char *name = kMonths[mon];
  int m = mon + 1, d = tm.tm_mday, y = tm.tm_year + 1900;
  if (fmt & 2) snprintf(year, sizeof year, "%02d", y % 100);
  else snprintf(year, sizeof year, "%4d", y);
  unsigned style = (fmt & 1) + 2 * (fmt >> 2);
  switch (style) {
    case 0: snprintf(md, sizeof md, "%02d-%02d-", m, d); break;
    case 1: snprintf(md, sizeof md, "%02d-%02d-", d, m); break;
    case 2: snprintf(md, sizeof md, "%s-%02d-", name, d); break;
    case 3: snprintf(md, sizeof md, "%02d-%s-", d, name); break;
    case 4: snprintf(md, sizeof md, "%s %d, ", name, d); break;
    case 5: snprintf(md, sizeof md, "%02d%s", d, name); break;
    case 6: snprintf(md, sizeof md, "%02d%02d", m, d); break;
    case 7: snprintf(md, sizeof md, "%s%02d", name, d); break;
    case 8: snprintf(md, sizeof md, "-%02d-%02d", m, d); break;
    case 9: snprintf(md, sizeof md, "-%s-%02d", name, d); break;
    default: break;
  }
  if (style <= 5) {
    o->put(md);
    o->put(year);
  } else {
    o->put(year);
    o->put(md);
  }
}

void put_time(Out *o, unsigned fmt, const struct tm &tm, long usec) {
  char t[32];
  int h = tm.tm_hour, mi = tm.tm_min, s = tm.tm_sec;
  switch (fmt) {
    case 0: snprintf(t, sizeof t, "%02d:%02d:%02d", h, mi, s); break;
    case 1: snprintf(t, sizeof t, "%02d:%02d:%02d.%1d", h, mi, s, (int)(usec / 100000)); break;
    case 2: snprintf(t, sizeof t, "%02d:%02d:%02d.%02d", h, mi, s, (int)(usec / 10000)); break;
    case 3: snprintf(t, sizeof t, "%02d:%02d:%02d.%03d", h, mi, s, (int)(usec / 1000)); break;
    case 4: snprintf(t, sizeof t, "%02d:%02d", h, mi); break;
    case 5: snprintf(t, sizeof t, "%2d:%02d%s", (h + 11) % 12 + 1, mi, h > 11 ? "PM" : "AM"); break;
    case 6: snprintf(t, sizeof t, "%2d:%02d%s", (h + 11) % 12 + 1, mi, h > 11 ? "p" : "a"); break;
    default: return;
  }
  o->put(t);
}

void put_distance(Out *o, int encoder, bool wide) {
  char t[64];
  int32_t count = overlay_fields.count[encoder];
  float scale = overlay_fields.scale[encoder];
  if (scale == 1.0f) {
    snprintf(t, sizeof t, "%d", count);
  } else {
    float v = (float)count * scale;
    const char *unit = overlay_units[encoder];
    snprintf(t, sizeof t, wide ? "% 8.2f%s" : "%8.1f%s", (double)v, unit ? unit : "");
  }
  o->put(t);
}

}  // namespace

int osd_format_text_at(int channel, const char *tmpl, char *out, int max, const struct timeval *now) {
  if (max < 0) max = 0;
  Out o = {out, 0, max};
  OsdChannel *ch = osd_channel(channel);
  unsigned date_fmt = 0, time_fmt = 0;
  uint32_t count = 0;
  if (ch) {
    pthread_mutex_lock(&ch->lock);
    date_fmt = ch->shown.date_format;
    time_fmt = ch->shown.time_format;
    count = ch->frame_count;
    pthread_mutex_unlock(&ch->lock);
  }
  bool have_tm = false;
  struct tm tm;
  for (const char *p = tmpl; *p && o.len < o.max; p++) {
    if (*p != '^') {
      o.put(p, 1);
      continue;
    }
    char k = *++p;
    if (!k) break;
    if ((k == 'd' || k == 't') && !have_tm) {
      wallclock_localtime(now->tv_sec, &tm);
      have_tm = true;
    }
    char t[32];
    switch (k) {
      case 'n': o.put("\n"); break;
      case 'c':
        snprintf(t, sizeof t, "%07u", count);
        o.put(t);
        break;
      case 'd': put_date(&o, date_fmt, tm); break;
      case 't': put_time(&o, time_fmt, tm, (long)now->tv_usec); break;
      case 'i':
        get_wifi_ip_address(t, sizeof t);
        o.put(t);
        break;
      case 'l': put_field(&o, overlay_fields.l, sizeof overlay_fields.l); break;
      case 'h': put_field(&o, overlay_fields.h, sizeof overlay_fields.h); break;
      case 'a': put_field(&o, overlay_fields.a, sizeof overlay_fields.a); break;
      case 'p': put_field(&o, overlay_fields.p, sizeof overlay_fields.p); break;
      case 's': put_field(&o, overlay_fields.s, sizeof overlay_fields.s); break;
      case 'u': put_field(&o, overlay_fields.u, sizeof overlay_fields.u); break;
      case 'm': put_field(&o, overlay_fields.m, sizeof overlay_fields.m); break;
      case 'e': put_distance(&o, 0, true); break;
      case 'f': put_distance(&o, 1, true); break;
      case 'q': put_distance(&o, 2, false); break;
      case 'w': put_distance(&o, 3, false); break;
      default: o.put(&k, 1); break;
    }
  }
  out[o.len] = 0;
  return o.len;
}

int osdFormatText(int channel, const char *tmpl, char *out, int max) {
  struct timeval now;
  wallclock_now(&now);
  return osd_format_text_at(channel, tmpl, out, max, &now);
}
