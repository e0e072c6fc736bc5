// The codec's mixer controls: routing and gains for the audio threads, and
// the raw mixer form of the web server.
//
// Lock: mixer_lock guards both mixer handles kept open here (the audio
// threads' one and the form's one) and every change made through them; the
// page print opens, uses and closes a handle of its own under it too.
#include "media/mixer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <pthread.h>

#include "core/global.h"
#include "core/log.h"

volatile uint32_t audio_model;

namespace {

const char kCard[] = "hw:0";
constexpr int kFormChannels = 31;

pthread_mutex_t mixer_lock = PTHREAD_MUTEX_INITIALIZER;

enum MuxId { LEFT_LINE1L_MUX, RIGHT_LINE1R_MUX, RIGHT_LINE1L_MUX, LEFT_LINE1R_MUX, MUX_COUNT };
const char *const kMuxNames[MUX_COUNT] = {"Left Line1L Mux", "Right Line1R Mux",
                                          "Right Line1L Mux", "Left Line1R Mux"};

enum PgaId {
  L_LINE1L, L_LINE1R, L_LINE2L, L_MIC3L, L_MIC3R,
  R_LINE1R, R_LINE1L, R_LINE2R, R_MIC3R, R_MIC3L, PGA_COUNT
};
const char *const kPgaNames[PGA_COUNT] = {
    "Left PGA Mixer Line1L",  "Left PGA Mixer Line1R",  "Left PGA Mixer Line2L",
    "Left PGA Mixer Mic3L",   "Left PGA Mixer Mic3R",   "Right PGA Mixer Line1R",
    "Right PGA Mixer Line1L", "Right PGA Mixer Line2R", "Right PGA Mixer Mic3R",
    "Right PGA Mixer Mic3L"};

// The audio threads' mixer, opened on first use and kept.
struct MixerState {
  Mixer_Handle mixer;
  MixerElem_Handle out_volume, capture_volume, agc, line_dac, line1;
  MixerElem_Handle mux[MUX_COUNT];
  MixerElem_Handle pga[PGA_COUNT];
};
MixerState g_mix;
Mixer_Handle g_form_mixer;   // mixer_form_apply's own

// Open, attach, register and load; NULL (the failure traced) or the mixer.
Mixer_Handle mixer_open_loaded(void) {
  Mixer_Handle m = nullptr;
  int rc = Mixer_open(&m);
  if (rc < 0) {
    _GT_trace(GT_7CLASS, "[Sound] Failed to open mixer on %s (%s)\n", kCard, snd_strerror(rc));
    return nullptr;
  }
  const char *fail = nullptr;
  if ((rc = Mixer_attach(m, kCard)) < 0)
    fail = "[Sound] Failed to attach mixer on %s (%s)\n";
  else if ((rc = Mixer_register(m)) < 0)
    fail = "[Sound] Failed to register mixer on %s (%s)\n";
  else if ((rc = Mixer_load(m)) < 0)
    fail = "[Sound] Failed to load mixer on %s (%s)\n";
  if (fail) {
    _GT_trace(GT_7CLASS, fail, kCard, snd_strerror(rc));
    Mixer_close(m);
    return nullptr;
  }
  return m;
}

bool name_is(MixerElem_Handle e, const char *name) { return strcmp(MixerElem_getName(e), name) == 0; }

bool starts_with(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

bool has_both(MixerElem_Handle e, int dir) {
  return MixerElem_hasChannel(e, dir, 0) && MixerElem_hasChannel(e, dir, 1);
}

void psw_both(MixerElem_Handle e, int on) {
  MixerElem_setSwitch(e, Mixer_PLAYBACK, 0, on);
  MixerElem_setSwitch(e, Mixer_PLAYBACK, 1, on);
}

// The output routing set while the elements are walked the first time.
void route(MixerElem_Handle e) {
  const char *n = MixerElem_getName(e);
  static const char *const power_off[] = {"HP_Pwr", "HPCOM_Pwr", "Mono_Pwr"};
  static const char *const power_on[] = {"Line_Pwr", "Line"};
  static const char *const dac_on[] = {"Left Line Mixer DACL1", "Right Line Mixer DACR1"};
  static const char *const dac_off[] = {"Left Line Mixer DACR1", "Right Line Mixer DACL1"};
  static const char *const bypass_off[] = {
      "Left Line Mixer Line2L Bypass", "Left Line Mixer PGAL Bypass",
      "Right Line Mixer Line2R Bypass", "Right Line Mixer PGAR Bypass"};
  static const char *const cross_off[] = {
      "Left Line Mixer Line2R Bypass", "Left Line Mixer PGAR Bypass",
      "Right Line Mixer Line2L Bypass", "Right Line Mixer PGAL Bypass"};
  static const char *const hp_prefixes[] = {"Left HP Mixer ", "Right HP Mixer ",
                                            "Left HPCOM Mixer ", "Right HPCOM Mixer "};
  for (const char *s : power_off)
    if (strcmp(n, s) == 0) psw_both(e, 0);
  for (const char *s : power_on)
    if (strcmp(n, s) == 0) psw_both(e, 1);
  for (const char *s : dac_on)
    if (strcmp(n, s) == 0) MixerElem_setSwitch(e, Mixer_PLAYBACK, 0, 1);
  for (const char *s : dac_off)
    if (strcmp(n, s) == 0) {
      MixerElem_setSwitch(e, Mixer_PLAYBACK, 0, 0);
      MixerElem_setVolume(e, Mixer_PLAYBACK, 0, 0);
    }
  for (const char *s : bypass_off)
    if (strcmp(n, s) == 0) MixerElem_setSwitch(e, Mixer_PLAYBACK, 0, 0);
  for (const char *s : cross_off)
    if (strcmp(n, s) == 0) {
      // Not every codec gives these a capture volume: set where there is one.
      if (MixerElem_hasVolume(e, Mixer_CAPTURE)) MixerElem_setVolume(e, Mixer_CAPTURE, 0, 0);
      MixerElem_setVolume(e, Mixer_PLAYBACK, 0, 0);
      MixerElem_setSwitch(e, Mixer_PLAYBACK, 0, 0);
    }
  for (const char *s : hp_prefixes)
    if (starts_with(n, s)) MixerElem_setSwitch(e, Mixer_PLAYBACK, 0, 0);
}

// Called with mixer_lock held.
int first_use(void) {
  Mixer_Handle m = mixer_open_loaded();
  if (!m) return -1;
  g_mix = MixerState{};
  g_mix.mixer = m;
  for (MixerElem_Handle e = Mixer_firstElem(m); e; e = Mixer_nextElem(e)) {
    if (!MixerElem_isActive(e)) continue;
    if ((name_is(e, "Master") || name_is(e, "PCM")) && MixerElem_hasVolume(e, Mixer_PLAYBACK) &&
        has_both(e, Mixer_PLAYBACK))
      g_mix.out_volume = e;
    if ((name_is(e, "Capture") || name_is(e, "PGA")) && MixerElem_hasVolume(e, Mixer_CAPTURE) &&
        has_both(e, Mixer_CAPTURE))
      g_mix.capture_volume = e;
    if (name_is(e, "AGC") && MixerElem_hasSwitch(e, Mixer_PLAYBACK)) g_mix.agc = e;
    if (name_is(e, "Line DAC")) g_mix.line_dac = e;
    if (name_is(e, "LINE1")) g_mix.line1 = e;
    for (int i = 0; i < MUX_COUNT; i++)
      if (name_is(e, kMuxNames[i])) g_mix.mux[i] = e;
    for (int i = 0; i < PGA_COUNT; i++)
      if (name_is(e, kPgaNames[i])) g_mix.pga[i] = e;
    route(e);
  }
  bool missing = !g_mix.out_volume || !g_mix.capture_volume || !g_mix.agc || !g_mix.line_dac ||
                 !g_mix.line1;
  for (MixerElem_Handle e : g_mix.mux) missing |= !e;
  for (MixerElem_Handle e : g_mix.pga) missing |= !e;
  if (missing) log_printf("*** Missing essential PGA Mixer or Mux element ***\n");
  return 0;
}

void set_mux(int id, unsigned item) {
  if (g_mix.mux[id]) MixerElem_setEnumItem(g_mix.mux[id], 0, item);
}

void set_pga(int id, int on) {
  if (g_mix.pga[id]) MixerElem_setSwitch(g_mix.pga[id], Mixer_PLAYBACK, 0, on);
}

void apply_output(const SoundAttrs *a) {
  if (g_mix.line_dac) {
    MixerElem_setVolume(g_mix.line_dac, Mixer_PLAYBACK, 0, 118);
    MixerElem_setVolume(g_mix.line_dac, Mixer_PLAYBACK, 1, 118);
  }
  if (g_mix.out_volume) {
    MixerElem_setVolume(g_mix.out_volume, Mixer_PLAYBACK, 0, 127L * a->leftGain / 100);
    MixerElem_setVolume(g_mix.out_volume, Mixer_PLAYBACK, 1, 127L * a->rightGain / 100);
  }
}

void apply_input(const SoundAttrs *a, int agc, int mute) {
  uint32_t model = audio_model ? audio_model : board_identity.model;
  long left = a->leftGain, right = a->rightGain;
  switch (model) {
    case 7391: case 6471: case 6477: case 7371: case 7377: {
      int mic = a->soundInput == Sound_Input_MIC, line = a->soundInput == Sound_Input_LINE;
      log_printf("%s: xx71/xx77/7391 audio mode %s mute=%d agc=%d %ld %ld\n", "setMixerVolume",
                 mic ? "MIC" : line ? "LINE" : "ERROR", mute, agc, left, right);
      set_mux(LEFT_LINE1L_MUX, mic ? 1 : 0);
      set_mux(RIGHT_LINE1L_MUX, mic ? 1 : 0);
      set_mux(LEFT_LINE1R_MUX, 0);
      set_mux(RIGHT_LINE1R_MUX, 0);
      for (int i = 0; i < PGA_COUNT; i++) {
        int on = (i == L_LINE1L || i == R_LINE1L) ? mic : (i == L_MIC3L || i == R_MIC3R) ? line : 0;
        set_pga(i, on);
      }
      break;
    }
    default: {
      log_printf("%s: UNKNOWN AudioModel %d\n", "setMixerVolume", (int)model);
      int mic = !(agc & 4) && a->soundInput == Sound_Input_MIC;
      int line = !(agc & 8) && a->soundInput == Sound_Input_LINE;
      log_printf("%s: 6459/xx73/xx74 audio mode %s mute=%d agc=%d %ld %ld\n", "setMixerVolume",
                 mic ? "MIC" : line ? "LINE" : "NONE", mute, agc, left, right);
      set_pga(L_MIC3L, mic);
      set_pga(R_MIC3R, mic);
      set_pga(L_LINE1L, line);
      set_pga(R_LINE1R, line);
      break;
    }
  }
  if (g_mix.agc) {
    MixerElem_setSwitch(g_mix.agc, Mixer_PLAYBACK, 0, agc & 1);
    MixerElem_setSwitch(g_mix.agc, Mixer_PLAYBACK, 1, (agc >> 1) & 1);
    MixerElem_setVolume(g_mix.agc, Mixer_PLAYBACK, 0, left / 15);
    MixerElem_setVolume(g_mix.agc, Mixer_PLAYBACK, 1, left / 15);
  }
  if (g_mix.capture_volume) {
    MixerElem_setVolume(g_mix.capture_volume, Mixer_CAPTURE, 0, left);
    MixerElem_setVolume(g_mix.capture_volume, Mixer_CAPTURE, 1, right);
    MixerElem_setSwitch(g_mix.capture_volume, Mixer_CAPTURE, 0, !(mute & 1));
    MixerElem_setSwitch(g_mix.capture_volume, Mixer_CAPTURE, 1, !(mute & 2));
  }
}

// ---- The form ----

struct Page {
  char *buf;
  size_t size, len;
};

void page_add(Page *p, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void page_add(Page *p, const char *fmt, ...) {
  if (p->len + 1 >= p->size) return;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(p->buf + p->len, p->size - p->len, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  p->len += (size_t)n < p->size - p->len ? (size_t)n : p->size - p->len - 1;
}

const char *kind_text(MixerElem_Handle e) {
  bool pv = MixerElem_hasVolume(e, Mixer_PLAYBACK), ps = MixerElem_hasSwitch(e, Mixer_PLAYBACK);
  if (pv && ps) return "Playback Volume/Switch</td><td>%s\n";
  if (pv) return "Playback Volume</td><td>%s\n";
  if (MixerElem_hasVolume(e, Mixer_CAPTURE)) return "Capture Volume</td><td>%s\n";
  if (MixerElem_hasCommonVolume(e)) return "Common Volume</td><td>%s\n";
  if (ps) return "Playback Switch</td><td>%s\n";
  if (MixerElem_hasSwitch(e, Mixer_CAPTURE)) return "Capture Switch</td><td>%s\n";
  if (MixerElem_hasCommonSwitch(e)) return "Common Switch</td><td>%s\n";
  return "Other mixer</td><td>%s\n";
}

void print_fields(Page *p, MixerElem_Handle e) {
  const char *name = MixerElem_getName(e);
  for (int ch = 0; ch < kFormChannels; ch++) {
    long v;
    int sw;
    for (int dir : {Mixer_CAPTURE, Mixer_PLAYBACK}) {
      if (!MixerElem_hasChannel(e, dir, ch)) continue;
      if (MixerElem_hasVolume(e, dir) && MixerElem_getVolume(e, dir, ch, &v) == 0)
        page_add(p, "<td>vol%d<input type='text' name='%s_%d_vol' value='%d' size=4></td>\n", ch,
                 name, ch, (int)v);
      if (MixerElem_hasSwitch(e, dir) && MixerElem_getSwitch(e, dir, ch, &sw) == 0)
        page_add(p, "<td>sw%d<input type='text' name='%s_%d_sw' value='%d' size=4></td>\n", ch,
                 name, ch, sw);
    }
  }
}

// The whole value as a decimal integer; false for anything else.
bool parse_int(const char *value, size_t len, long *out) {
  char text[24];
  if (len == 0 || len >= sizeof text) return false;
  memcpy(text, value, len);
  text[len] = 0;
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || end == text || *end) return false;
  *out = v;
  return true;
}

}  // namespace

int setMixerVolume(const SoundAttrs *attrs, int agc, int mute) {
  if (!attrs) return -1;
  uint32_t model = audio_model ? audio_model : board_identity.model;
  if (model == 6275) return 0;
  pthread_mutex_lock(&mixer_lock);
  if (!g_mix.mixer && first_use() < 0) {
    pthread_mutex_unlock(&mixer_lock);
    return -1;
  }
  if (attrs->mode == Sound_Mode_OUTPUT || attrs->mode == Sound_Mode_FULLDUPLEX) apply_output(attrs);
  if (attrs->mode == Sound_Mode_INPUT || attrs->mode == Sound_Mode_FULLDUPLEX)
    apply_input(attrs, agc, mute);
  pthread_mutex_unlock(&mixer_lock);
  return 0;
}

int mixer_form_print(char *buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  buffer[0] = 0;
  pthread_mutex_lock(&mixer_lock);
  Mixer_Handle m = mixer_open_loaded();
  if (!m) {
    pthread_mutex_unlock(&mixer_lock);
    return 0;
  }
  Page p = {buffer, size, 0};
  page_add(&p,
           "<html><style>table.ref {\n border: 1px solid rgb(195,195,195);\n border-collapse: "
           "collapse;\n}\ntable.ref td {\n border: 1px solid rgb(195,195,195);\n "
           "border-collapse: collapse;\n}\n</style><body><form method='POST' "
           "action='/mixer_settings'><table class='ref'>\n");
  for (MixerElem_Handle e = Mixer_firstElem(m); e; e = Mixer_nextElem(e)) {
    if (!MixerElem_isActive(e)) continue;
    page_add(&p, "<tr><td>");
    page_add(&p, kind_text(e), MixerElem_getName(e));
    page_add(&p, "</td>");
    print_fields(&p, e);
    page_add(&p, "</tr>\n");
  }
  page_add(&p, "</table><input type='submit'></form></body></html>\n");
  Mixer_close(m);
  pthread_mutex_unlock(&mixer_lock);
  return (int)p.len;
}

void mixer_form_apply(const char *key, const char *value, size_t valueLength) {
  long v;
  if (!key || !value || !parse_int(value, valueLength, &v)) return;
  pthread_mutex_lock(&mixer_lock);
  if (!g_form_mixer) g_form_mixer = mixer_open_loaded();
  if (!g_form_mixer) {
    pthread_mutex_unlock(&mixer_lock);
    return;
  }
  char name[160];
  for (MixerElem_Handle e = Mixer_firstElem(g_form_mixer); e; e = Mixer_nextElem(e)) {
    if (!MixerElem_isActive(e)) continue;
    for (int ch = 0; ch < kFormChannels; ch++) {
      snprintf(name, sizeof name, "%s_%d_vol", MixerElem_getName(e), ch);
      bool vol = strcmp(key, name) == 0;
      snprintf(name, sizeof name, "%s_%d_sw", MixerElem_getName(e), ch);
      bool sw = strcmp(key, name) == 0;
      if (!vol && !sw) continue;
      for (int dir : {Mixer_CAPTURE, Mixer_PLAYBACK}) {
        if (!MixerElem_hasChannel(e, dir, ch)) continue;
        long cur;
        int cur_sw;
        if (vol && MixerElem_hasVolume(e, dir) && MixerElem_getVolume(e, dir, ch, &cur) == 0 &&
            cur != v) {
          log_printf("setting %s to %d\n", key, (int)v);
          MixerElem_setVolume(e, dir, ch, v);
        }
        if (sw && MixerElem_hasSwitch(e, dir) && MixerElem_getSwitch(e, dir, ch, &cur_sw) == 0 &&
            cur_sw != (v != 0)) {
          log_printf("setting %s to %d\n", key, (int)v);
          MixerElem_setSwitch(e, dir, ch, v != 0);
        }
      }
    }
  }
  pthread_mutex_unlock(&mixer_lock);
}
