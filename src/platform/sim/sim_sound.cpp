// The board's audio codec on the host, behind the real ALSA library.
//
// The sound modules reach it through the PCM seam (Sound_pcmOpen,
// Sound_pcmHwParams, Sound_pcmHtimestamp, Sound_pcmClose); everything else
// they call is plain ALSA. The device names the board has are defined by an
// ALSA configuration that lives in the root (<root>/run/sound/asound.conf)
// and is handed to the library at every open, so the host's own sound set-up
// is never consulted:
//   "hw:0,0"  capture: a file PCM reading the FIFO capture0.fifo;
//             playback: a file PCM writing playback.wav;
//   "hw:0,1"  capture: the same over capture1.fifo (the digital input);
//   "plughw:0,0"  the plug converter over "hw:0,0".
// Both file PCMs sit on the null PCM, which neither waits nor produces
// anything. A tone thread plays the codec's analog-to-digital converter: once
// the program has set a capture device's hardware parameters it writes one
// period of a sine per channel into that device's FIFO at every period
// boundary, in the rate, format and channel count set. The FIFO holds four
// periods; a period that finds it full is dropped (an overrun). The FIFO read
// therefore paces capture in real time, as the codec's interrupts do.
//
// Time stamps: the board's driver reports the 90 kHz media clock at the last
// period boundary, and the frames captured since. Here the boundary is the
// tone thread's ideal write time on the simulated 90 kHz timer and the frames
// captured since are what waits in the FIFO.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/framework/audio_engine.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"

namespace {

constexpr uint32_t kTimerReg = 0x01C20810u;
constexpr int kDevices = 2;
constexpr int kToneChannels = 2;
constexpr int kFifoPeriods = 4;
constexpr size_t kMaxPeriodBytes = 1u << 20;

const char *const kFifoPath[kDevices] = {"/run/sound/capture0.fifo", "/run/sound/capture1.fifo"};
const char kPlaybackPath[] = "/run/sound/playback.wav";
const char kConfigPath[] = "/run/sound/asound.conf";

struct Tone {
  double freq;
  double amplitude;
  double phase;    // radians
};

struct CaptureSim {
  int fd = -1;               // the FIFO, read-write: the tone thread's end
  bool active = false;
  unsigned rate = 0;
  unsigned channels = 0;
  unsigned sample_bytes = 0; // 2 or 4; 0 for formats the tone cannot make
  unsigned period = 0;       // frames
  uint64_t periods = 0;      // written since the parameters were set
  uint64_t dropped = 0;
  struct timespec start;     // CLOCK_MONOTONIC of period 0's boundary
  uint32_t start_ticks;      // the 90 kHz clock then
  uint32_t boundary_ticks;   // 90 kHz clock of the last boundary written
  Tone tone[kToneChannels] = {{1000.0, 0.5, 0.0}, {1000.0, 0.5, 0.0}};
  uint8_t *buf = nullptr;
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond;       // CLOCK_MONOTONIC; a device was (re)configured
pthread_once_t g_once = PTHREAD_ONCE_INIT;
bool g_ready;
CaptureSim g_dev[kDevices];
snd_config_t *g_config;

uint32_t clock90k(void) {
  volatile uint32_t *w = sim_mem_reg(kTimerReg);
  return w ? __atomic_load_n(w, __ATOMIC_ACQUIRE) : 0;
}

void ts_add_ns(struct timespec *t, uint64_t ns) {
  uint64_t total = (uint64_t)t->tv_nsec + ns;
  t->tv_sec += (time_t)(total / 1000000000u);
  t->tv_nsec = (long)(total % 1000000000u);
}

bool ts_before(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Boundary k of a device, on CLOCK_MONOTONIC and on the 90 kHz clock.
struct timespec boundary_time(const CaptureSim &d, uint64_t k) {
  struct timespec t = d.start;
  ts_add_ns(&t, k * d.period * 1000000000ull / d.rate);
  return t;
}

uint32_t boundary_ticks(const CaptureSim &d, uint64_t k) {
  return d.start_ticks + (uint32_t)(k * d.period * 90000ull / d.rate);
}

void fill_period(CaptureSim &d) {
  for (unsigned c = 0; c < d.channels; c++) {
    Tone &t = d.tone[c < kToneChannels ? c : kToneChannels - 1];
    double step = 2.0 * M_PI * t.freq / d.rate;
    double phase = t.phase;
    for (unsigned i = 0; i < d.period; i++) {
      double v = t.amplitude * sin(phase);
      phase += step;
      size_t at = ((size_t)i * d.channels + c) * d.sample_bytes;
      if (d.sample_bytes == 2) {
        int16_t s = (int16_t)lrint(v * 32767.0);
        memcpy(d.buf + at, &s, 2);
      } else {
        int32_t s = (int32_t)llrint(v * 2147483647.0);
        memcpy(d.buf + at, &s, 4);
      }
    }
    // Channels beyond the tones share the last one; its phase moves once.
    if (c < kToneChannels) t.phase = fmod(phase, 2.0 * M_PI);
  }
}

// Called with g_lock held. The FIFO never takes part of a period: the reader
// asks for whole periods, and a torn one would shift every later frame.
void write_period(CaptureSim &d, uint64_t k) {
  size_t bytes = (size_t)d.period * d.channels * d.sample_bytes;
  int queued = 0;
  int capacity = fcntl(d.fd, F_GETPIPE_SZ);
  if (ioctl(d.fd, FIONREAD, &queued) != 0 || capacity < 0 ||
      (size_t)(capacity - queued) < bytes) {
    d.dropped++;
  } else {
    fill_period(d);
    size_t done = 0;
    while (done < bytes) {
      ssize_t n = write(d.fd, d.buf + done, bytes - done);
      if (n < 0 && errno != EINTR) break;
      if (n > 0) done += (size_t)n;
    }
  }
  d.boundary_ticks = boundary_ticks(d, k + 1);
}

void *tone_thread(void *) {
  pthread_mutex_lock(&g_lock);
  for (;;) {
    CaptureSim *next = nullptr;
    struct timespec due = {};
    for (CaptureSim &d : g_dev) {
      if (!d.active) continue;
      struct timespec t = boundary_time(d, d.periods + 1);
      if (!next || ts_before(t, due)) {
        next = &d;
        due = t;
      }
    }
    if (!next) {
      pthread_cond_wait(&g_cond, &g_lock);
      continue;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (ts_before(now, due)) {
      pthread_cond_timedwait(&g_cond, &g_lock, &due);
      continue;   // a device may have changed meanwhile
    }
    // Far behind (the process was stopped): the periods missed are lost.
    struct timespec late = due;
    ts_add_ns(&late, 1000000000u);
    if (ts_before(late, now)) {
      uint64_t ns = (uint64_t)(now.tv_sec - next->start.tv_sec) * 1000000000u +
                    (uint64_t)now.tv_nsec - (uint64_t)next->start.tv_nsec;
      uint64_t k = ns * next->rate / 1000000000u / next->period;
      next->dropped += k - 1 - next->periods;
      next->periods = k - 1;
    }
    write_period(*next, next->periods);
    next->periods++;
  }
  return nullptr;
}

bool config_path_safe(const char *p) { return !strpbrk(p, "\"\\\n"); }

int write_config(void) {
  char fifo0[1024], fifo1[1024], play[1024];
  root_path(kFifoPath[0], fifo0, sizeof fifo0);
  root_path(kFifoPath[1], fifo1, sizeof fifo1);
  root_path(kPlaybackPath, play, sizeof play);
  if (!config_path_safe(fifo0) || !config_path_safe(fifo1) || !config_path_safe(play)) return -1;
  FILE *f = sys_fopen(kConfigPath, "w");
  if (!f) return -1;
  fprintf(f,
          "# Written by the simulated board at start; the board's own device names.\n"
          "pcm.null { type null }\n"
          "m7391.card0.dev0 {\n"
          "  type asym\n"
          "  capture.pcm { type file slave.pcm null file \"/dev/null\" infile \"%s\" format raw }\n"
          "  playback.pcm { type file slave.pcm null file \"%s\" format wav perm 0644 }\n"
          "}\n"
          "m7391.card0.dev1 {\n"
          "  type asym\n"
          "  capture.pcm { type file slave.pcm null file \"/dev/null\" infile \"%s\" format raw }\n"
          "  playback.pcm null\n"
          "}\n"
          "pcm.hw {\n"
          "  @args [ CARD DEV SUBDEV ]\n"
          "  @args.CARD { type string }\n"
          "  @args.DEV { type integer default 0 }\n"
          "  @args.SUBDEV { type integer default -1 }\n"
          "  type empty\n"
          "  slave.pcm { @func refer name { @func concat strings [ \"m7391.card\" $CARD \".dev\" $DEV ] } }\n"
          "}\n"
          "pcm.plughw {\n"
          "  @args [ CARD DEV SUBDEV ]\n"
          "  @args.CARD { type string }\n"
          "  @args.DEV { type integer default 0 }\n"
          "  @args.SUBDEV { type integer default -1 }\n"
          "  type plug\n"
          "  slave.pcm { @func concat strings [ \"hw:\" $CARD \",\" $DEV ] }\n"
          "}\n",
          fifo0, play, fifo1);
  return fclose(f) == 0 ? 0 : -1;
}

int load_config(void) {
  HostPath hp(kConfigPath);
  snd_input_t *in = nullptr;
  if (snd_config_top(&g_config) < 0) return -1;
  if (snd_input_stdio_open(&in, hp.c_str(), "r") < 0) return -1;
  int rc = snd_config_load(g_config, in);
  snd_input_close(in);
  return rc < 0 ? -1 : 0;
}

void setup(void) {
  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  pthread_cond_init(&g_cond, &ca);
  pthread_condattr_destroy(&ca);
  if (sys_mkdirs("/run/sound", 0755) != 0) return;
  for (int i = 0; i < kDevices; i++) {
    HostPath hp(kFifoPath[i]);
    struct stat st;
    if (stat(hp.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) unlink(hp.c_str());
    if (mkfifo(hp.c_str(), 0644) != 0 && errno != EEXIST) return;
    // Read-write: the open never waits for a reader, and writes never raise
    // SIGPIPE while the program has the device closed.
    g_dev[i].fd = open(hp.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (g_dev[i].fd < 0) return;
  }
  if (write_config() != 0 || load_config() != 0) return;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  g_ready = pthread_create(&t, &attr, tone_thread, nullptr) == 0;
  pthread_attr_destroy(&attr);
}

bool ready(void) {
  pthread_once(&g_once, setup);
  return g_ready;
}

// The simulated capture device behind a PCM, or -1.
int capture_device(snd_pcm_t *pcm) {
  if (!pcm || snd_pcm_stream(pcm) != SND_PCM_STREAM_CAPTURE) return -1;
  const char *name = snd_pcm_name(pcm);
  if (!name) return -1;
  if (strcmp(name, "hw:0,0") == 0) return 0;
  if (strcmp(name, "hw:0,1") == 0) return 1;
  return -1;
}

void drain_fifo(int fd) {
  uint8_t scratch[4096];
  while (read(fd, scratch, sizeof scratch) > 0) {
  }
}

// Called with g_lock held.
void configure(CaptureSim &d, const snd_pcm_hw_params_t *params) {
  unsigned rate = 0, channels = 0;
  snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
  snd_pcm_uframes_t period = 0;
  int dir = 0;
  snd_pcm_hw_params_get_rate(params, &rate, &dir);
  snd_pcm_hw_params_get_channels(params, &channels);
  snd_pcm_hw_params_get_format(params, &format);
  snd_pcm_hw_params_get_period_size(params, &period, &dir);
  unsigned sample_bytes = format == SND_PCM_FORMAT_S16_LE ? 2 : format == SND_PCM_FORMAT_S32_LE ? 4 : 0;
  size_t bytes = (size_t)period * channels * sample_bytes;
  d.active = false;
  drain_fifo(d.fd);
  if (!rate || !channels || !sample_bytes || !period || bytes > kMaxPeriodBytes) return;
  uint8_t *buf = (uint8_t *)realloc(d.buf, bytes);
  if (!buf) return;
  d.buf = buf;
  fcntl(d.fd, F_SETPIPE_SZ, (int)(bytes * kFifoPeriods));
  d.rate = rate;
  d.channels = channels;
  d.sample_bytes = sample_bytes;
  d.period = (unsigned)period;
  d.periods = 0;
  d.dropped = 0;
  clock_gettime(CLOCK_MONOTONIC, &d.start);
  d.start_ticks = clock90k();
  d.boundary_ticks = d.start_ticks;
  d.active = true;
  pthread_cond_broadcast(&g_cond);
}

}  // namespace

int Sound_pcmOpen(snd_pcm_t **pcm, const char *name, snd_pcm_stream_t stream, int mode) {
  if (!pcm || !name) return -EINVAL;
  if (!ready()) return -ENODEV;
  // The library expands the shared configuration into copies of its own;
  // opens are still kept one at a time.
  pthread_mutex_lock(&g_lock);
  int rc = snd_pcm_open_lconf(pcm, name, stream, mode, g_config);
  pthread_mutex_unlock(&g_lock);
  return rc;
}

int Sound_pcmHwParams(snd_pcm_t *pcm, snd_pcm_hw_params_t *params) {
  int rc = snd_pcm_hw_params(pcm, params);
  int dev = capture_device(pcm);
  if (rc < 0 || dev < 0 || !ready()) return rc;
  pthread_mutex_lock(&g_lock);
  configure(g_dev[dev], params);
  pthread_mutex_unlock(&g_lock);
  return rc;
}

int Sound_pcmHtimestamp(snd_pcm_t *pcm, snd_pcm_uframes_t *avail, snd_htimestamp_t *ts) {
  int rc = snd_pcm_htimestamp(pcm, avail, ts);
  int dev = capture_device(pcm);
  if (rc < 0 || dev < 0 || !ready()) return rc;
  pthread_mutex_lock(&g_lock);
  CaptureSim &d = g_dev[dev];
  if (d.active) {
    int queued = 0;
    if (ioctl(d.fd, FIONREAD, &queued) != 0) queued = 0;
    *avail = (snd_pcm_uframes_t)queued / (d.channels * d.sample_bytes);
    ts->tv_sec = d.boundary_ticks;
    ts->tv_nsec = 0;
  }
  pthread_mutex_unlock(&g_lock);
  return rc;
}

int Sound_pcmClose(snd_pcm_t *pcm) {
  int dev = capture_device(pcm);
  if (dev >= 0 && ready()) {
    pthread_mutex_lock(&g_lock);
    g_dev[dev].active = false;
    drain_fifo(g_dev[dev].fd);
    pthread_mutex_unlock(&g_lock);
  }
  return pcm ? snd_pcm_close(pcm) : -EINVAL;
}

void sim_sound_set_tone(int device, int channel, double freq_hz, double amplitude) {
  if (device < 0 || device >= kDevices || channel < 0 || channel >= kToneChannels) return;
  pthread_mutex_lock(&g_lock);
  Tone &t = g_dev[device].tone[channel];
  t.freq = freq_hz;
  t.amplitude = amplitude < 0 ? 0 : amplitude > 1 ? 1 : amplitude;
  pthread_mutex_unlock(&g_lock);
}

void sim_sound_info(int device, SimSoundInfo *info) {
  memset(info, 0, sizeof *info);
  if (device < 0 || device >= kDevices) return;
  pthread_mutex_lock(&g_lock);
  const CaptureSim &d = g_dev[device];
  info->active = d.active;
  info->rate = d.rate;
  info->channels = d.channels;
  info->sample_bytes = d.sample_bytes;
  info->period = d.period;
  info->periods = d.periods;
  info->dropped = d.dropped;
  info->start_ticks = d.start_ticks;
  pthread_mutex_unlock(&g_lock);
}

const char *sim_sound_playback_path(void) { return kPlaybackPath; }
