// Overlay text templates: '^' tokens expanded for the current frame.
#pragma once
#include <cstdint>
#include <sys/time.h>

// Telemetry texts and distance counters shown by the tokens. Written by the
// serial services and the control protocol; read on the Worker per frame
// (texts are read up to their field size, NUL or not).
struct OverlayFields {
  char l[17];               // ^l
  char h[16];               // ^h
  char a[16];               // ^a
  char p[16];               // ^p
  char s[16];               // ^s
  int32_t count[4];         // ^e ^f ^q ^w: distance counts of encoders 0 to 3
  char u[16];               // ^u
  float scale[4];           // distance per count of encoders 0 to 3
  char m[16];               // ^m
};
extern OverlayFields overlay_fields;
// The unit text of each encoder's distance (" ft", " m"); NULL for none.
extern const char *overlay_units[4];

// Expands tmpl into out: at most max characters and a NUL (out holds max + 1
// bytes). Counter, date and time formats are the channel's. Returns the
// length written.
int osdFormatText(int channel, const char *tmpl, char *out, int max);
// The same at a given wall-clock moment.
int osd_format_text_at(int channel, const char *tmpl, char *out, int max, const struct timeval *now);
