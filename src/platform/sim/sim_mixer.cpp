// The simple-mixer seam on the host: the board's audio codec has no mixer
// device here, so the seam is served by a table of the codec's named
// controls. Every mixer handle sees the same controls, as every handle on
// card "hw:0" does on the board.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "platform/framework/audio_engine.h"
#include "platform/sim/sim_control.h"

namespace {

enum : unsigned { PVOL = 1, PSW = 2, CVOL = 4, CSW = 8, ENUM = 16 };
enum { kMaxChannels = 2, kEnumItems = 2 };

struct ElemDef {
  const char *name;
  unsigned caps;
  int channels;        // of every capability the element has
  long vmax;           // volumes run 0..vmax
};

// The codec's controls as the simple mixer names them: output, capture and
// AGC gains, the input multiplexers and PGA mixer switches, and the output
// routing (power, line mixers, bypasses, headphone mixers).
const ElemDef kElems[] = {
    {"PCM", PVOL | PSW, 2, 127},
    {"Line DAC", PVOL, 2, 127},
    {"LINE1", PVOL | PSW, 2, 9},
    {"PGA", CVOL | CSW, 2, 119},
    {"AGC", PVOL | PSW, 2, 7},
    {"Left Line1L Mux", ENUM, 1, 0},
    {"Right Line1R Mux", ENUM, 1, 0},
    {"Right Line1L Mux", ENUM, 1, 0},
    {"Left Line1R Mux", ENUM, 1, 0},
    {"Left PGA Mixer Line1L", PSW, 1, 0},
    {"Left PGA Mixer Line1R", PSW, 1, 0},
    {"Left PGA Mixer Line2L", PSW, 1, 0},
    {"Left PGA Mixer Mic3L", PSW, 1, 0},
    {"Left PGA Mixer Mic3R", PSW, 1, 0},
    {"Right PGA Mixer Line1R", PSW, 1, 0},
    {"Right PGA Mixer Line1L", PSW, 1, 0},
    {"Right PGA Mixer Line2R", PSW, 1, 0},
    {"Right PGA Mixer Mic3R", PSW, 1, 0},
    {"Right PGA Mixer Mic3L", PSW, 1, 0},
    {"HP_Pwr", PSW, 2, 0},
    {"HPCOM_Pwr", PSW, 2, 0},
    {"Mono_Pwr", PSW, 2, 0},
    {"Line_Pwr", PSW, 2, 0},
    {"Line", PSW, 2, 0},
    {"Left Line Mixer DACL1", PVOL | PSW, 1, 118},
    {"Right Line Mixer DACR1", PVOL | PSW, 1, 118},
    {"Left Line Mixer DACR1", PVOL | PSW, 1, 118},
    {"Right Line Mixer DACL1", PVOL | PSW, 1, 118},
    {"Left Line Mixer Line2L Bypass", PVOL | PSW, 1, 118},
    {"Left Line Mixer PGAL Bypass", PVOL | PSW, 1, 118},
    {"Right Line Mixer Line2R Bypass", PVOL | PSW, 1, 118},
    {"Right Line Mixer PGAR Bypass", PVOL | PSW, 1, 118},
    {"Left Line Mixer Line2R Bypass", PVOL | PSW, 1, 118},
    {"Left Line Mixer PGAR Bypass", PVOL | PSW, 1, 118},
    {"Right Line Mixer Line2L Bypass", PVOL | PSW, 1, 118},
    {"Right Line Mixer PGAL Bypass", PVOL | PSW, 1, 118},
    {"Left HP Mixer DACL1", PSW, 1, 0},
    {"Right HP Mixer DACR1", PSW, 1, 0},
    {"Left HPCOM Mixer DACL1", PSW, 1, 0},
    {"Right HPCOM Mixer DACR1", PSW, 1, 0},
};
constexpr int kNumElems = (int)(sizeof kElems / sizeof kElems[0]);

struct ElemState {
  long pvol[kMaxChannels], cvol[kMaxChannels];
  int psw[kMaxChannels], csw[kMaxChannels];
  unsigned item[kMaxChannels];
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
ElemState g_state[kNumElems];
bool g_initialised;
int g_fail[4];

void reset_locked(void) {
  for (ElemState &s : g_state) {
    memset(&s, 0, sizeof s);
    for (int c = 0; c < kMaxChannels; c++) s.psw[c] = s.csw[c] = 1;
  }
  g_initialised = true;
}

void lock(void) {
  pthread_mutex_lock(&g_lock);
  if (!g_initialised) reset_locked();
}

int find(const char *name) {
  for (int i = 0; name && i < kNumElems; i++)
    if (strcmp(kElems[i].name, name) == 0) return i;
  return -1;
}

int take_failure(int step) {
  lock();
  int rc = 0;
  if (g_fail[step] > 0) {
    g_fail[step]--;
    rc = -ENODEV;
  }
  pthread_mutex_unlock(&g_lock);
  return rc;
}

}  // namespace

struct MixerElem_Object {
  Mixer_Object *mixer;
  int index;
};

struct Mixer_Object {
  bool attached, registered, loaded;
  MixerElem_Object elems[kNumElems];
};

int Mixer_open(Mixer_Handle *mixer) {
  if (!mixer) return -EINVAL;
  *mixer = nullptr;
  if (int rc = take_failure(0)) return rc;
  Mixer_Object *m = (Mixer_Object *)calloc(1, sizeof *m);
  if (!m) return -ENOMEM;
  for (int i = 0; i < kNumElems; i++) m->elems[i] = {m, i};
  *mixer = m;
  return 0;
}

int Mixer_attach(Mixer_Handle mixer, const char *card) {
  if (!mixer || !card) return -EINVAL;
  if (int rc = take_failure(1)) return rc;
  if (strcmp(card, "hw:0") != 0 && strcmp(card, "default") != 0) return -ENOENT;
  mixer->attached = true;
  return 0;
}

int Mixer_register(Mixer_Handle mixer) {
  if (!mixer) return -EINVAL;
  if (int rc = take_failure(2)) return rc;
  mixer->registered = true;
  return 0;
}

int Mixer_load(Mixer_Handle mixer) {
  if (!mixer || !mixer->attached || !mixer->registered) return -EINVAL;
  if (int rc = take_failure(3)) return rc;
  mixer->loaded = true;
  return 0;
}

void Mixer_close(Mixer_Handle mixer) { free(mixer); }

MixerElem_Handle Mixer_firstElem(Mixer_Handle mixer) {
  return mixer && mixer->loaded ? &mixer->elems[0] : nullptr;
}

MixerElem_Handle Mixer_nextElem(MixerElem_Handle elem) {
  if (!elem || elem->index + 1 >= kNumElems) return nullptr;
  return &elem->mixer->elems[elem->index + 1];
}

const char *MixerElem_getName(MixerElem_Handle elem) { return elem ? kElems[elem->index].name : ""; }
bool MixerElem_isActive(MixerElem_Handle elem) { return elem != nullptr; }

static unsigned caps(MixerElem_Handle elem) { return elem ? kElems[elem->index].caps : 0; }

bool MixerElem_hasVolume(MixerElem_Handle elem, int dir) {
  return caps(elem) & (dir == Mixer_CAPTURE ? CVOL : PVOL);
}
bool MixerElem_hasSwitch(MixerElem_Handle elem, int dir) {
  return caps(elem) & (dir == Mixer_CAPTURE ? CSW : PSW);
}
// The codec's controls are all of one direction.
bool MixerElem_hasCommonVolume(MixerElem_Handle) { return false; }
bool MixerElem_hasCommonSwitch(MixerElem_Handle) { return false; }
bool MixerElem_isEnumerated(MixerElem_Handle elem) { return caps(elem) & ENUM; }

bool MixerElem_hasChannel(MixerElem_Handle elem, int dir, int channel) {
  unsigned need = dir == Mixer_CAPTURE ? (CVOL | CSW) : (PVOL | PSW);
  return (caps(elem) & need) && channel >= 0 && channel < kElems[elem->index].channels;
}

// Checks a request against the element; the element's index, or a negative
// errno value.
static int check(MixerElem_Handle elem, unsigned cap, int channel) {
  if (!elem || !(caps(elem) & cap)) return -EINVAL;
  if (channel < 0 || channel >= kElems[elem->index].channels) return -EINVAL;
  return elem->index;
}

int MixerElem_getVolume(MixerElem_Handle elem, int dir, int channel, long *value) {
  int i = check(elem, dir == Mixer_CAPTURE ? CVOL : PVOL, channel);
  if (i < 0 || !value) return i < 0 ? i : -EINVAL;
  lock();
  *value = dir == Mixer_CAPTURE ? g_state[i].cvol[channel] : g_state[i].pvol[channel];
  pthread_mutex_unlock(&g_lock);
  return 0;
}

int MixerElem_setVolume(MixerElem_Handle elem, int dir, int channel, long value) {
  int i = check(elem, dir == Mixer_CAPTURE ? CVOL : PVOL, channel);
  if (i < 0) return i;
  long vmax = kElems[i].vmax;
  value = value < 0 ? 0 : value > vmax ? vmax : value;
  lock();
  (dir == Mixer_CAPTURE ? g_state[i].cvol : g_state[i].pvol)[channel] = value;
  pthread_mutex_unlock(&g_lock);
  return 0;
}

int MixerElem_getSwitch(MixerElem_Handle elem, int dir, int channel, int *value) {
  int i = check(elem, dir == Mixer_CAPTURE ? CSW : PSW, channel);
  if (i < 0 || !value) return i < 0 ? i : -EINVAL;
  lock();
  *value = dir == Mixer_CAPTURE ? g_state[i].csw[channel] : g_state[i].psw[channel];
  pthread_mutex_unlock(&g_lock);
  return 0;
}

int MixerElem_setSwitch(MixerElem_Handle elem, int dir, int channel, int value) {
  int i = check(elem, dir == Mixer_CAPTURE ? CSW : PSW, channel);
  if (i < 0) return i;
  lock();
  (dir == Mixer_CAPTURE ? g_state[i].csw : g_state[i].psw)[channel] = value ? 1 : 0;
  pthread_mutex_unlock(&g_lock);
  return 0;
}

int MixerElem_getEnumItem(MixerElem_Handle elem, int channel, unsigned *item) {
  int i = check(elem, ENUM, channel);
  if (i < 0 || !item) return i < 0 ? i : -EINVAL;
  lock();
  *item = g_state[i].item[channel];
  pthread_mutex_unlock(&g_lock);
  return 0;
}

int MixerElem_setEnumItem(MixerElem_Handle elem, int channel, unsigned item) {
  int i = check(elem, ENUM, channel);
  if (i < 0) return i;
  if (item >= kEnumItems) return -EINVAL;
  lock();
  g_state[i].item[channel] = item;
  pthread_mutex_unlock(&g_lock);
  return 0;
}

// ---- Controls ----

int sim_mixer_get_volume(const char *elem, int dir, int channel, long *value) {
  int i = find(elem);
  if (i < 0) return -1;
  MixerElem_Object e = {nullptr, i};
  return MixerElem_getVolume(&e, dir, channel, value) == 0 ? 0 : -1;
}

int sim_mixer_get_switch(const char *elem, int dir, int channel, int *value) {
  int i = find(elem);
  if (i < 0) return -1;
  MixerElem_Object e = {nullptr, i};
  return MixerElem_getSwitch(&e, dir, channel, value) == 0 ? 0 : -1;
}

int sim_mixer_get_enum(const char *elem, int channel, unsigned *item) {
  int i = find(elem);
  if (i < 0) return -1;
  MixerElem_Object e = {nullptr, i};
  return MixerElem_getEnumItem(&e, channel, item) == 0 ? 0 : -1;
}

void sim_mixer_reset(void) {
  pthread_mutex_lock(&g_lock);
  reset_locked();
  memset(g_fail, 0, sizeof g_fail);
  pthread_mutex_unlock(&g_lock);
}

void sim_mixer_fail(int step, int count) {
  if (step < 0 || step > 3) return;
  lock();
  g_fail[step] = count;
  pthread_mutex_unlock(&g_lock);
}
