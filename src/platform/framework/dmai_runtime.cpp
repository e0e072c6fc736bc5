// Framework run-time, trace, CPU load and video standards.
#include "platform/framework/dmai.h"

#include <atomic>
#include <pthread.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/host_root.h"

namespace {
// Errors are traced unless DMAI_DEBUG says otherwise.
std::atomic<int> g_trace_mask{GT_7CLASS};
}  // namespace

// The codec engine and its run-time arrive with the codec issues; until then
// the run-time is only the contiguous memory pool.
void CERuntime_init(void) { CMEM_init(); }
void CERuntime_exit(void) {}

void Dmai_init(void) {
  const char *s = getenv("DMAI_DEBUG");
  if (s && *s) g_trace_mask.store((int)strtol(s, nullptr, 0));
}

bool Dmai_traceEnabled(int level) { return (g_trace_mask.load() & level) != 0; }

void _GT_trace(int level, const char *fmt, ...) {
  if (!Dmai_traceEnabled(level)) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
}

// ---- CPU load ----
// The load is the host's: the root path of /proc/stat is the host's own.
struct Cpu_Object {
  pthread_mutex_t lock;   // callers may be on several threads
  unsigned long long busy, total;
};

static int cpu_read(unsigned long long *busy, unsigned long long *total) {
  FILE *f = sys_fopen("/proc/stat", "r");
  if (!f) return -1;
  unsigned long long v[8] = {};
  int n = fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                 &v[4], &v[5], &v[6], &v[7]);
  fclose(f);
  if (n < 4) return -1;
  unsigned long long idle = v[3] + v[4];
  *total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
  *busy = *total - idle;
  return 0;
}

Cpu_Handle Cpu_create(void) {
  Cpu_Object *c = (Cpu_Object *)calloc(1, sizeof *c);
  if (!c) return nullptr;
  if (cpu_read(&c->busy, &c->total) != 0) {
    free(c);
    return nullptr;
  }
  pthread_mutex_init(&c->lock, nullptr);
  return c;
}

int Cpu_delete(Cpu_Handle c) {
  if (!c) return -1;
  pthread_mutex_destroy(&c->lock);
  free(c);
  return 0;
}

int Cpu_getLoad(Cpu_Handle c, int *load) {
  if (!c || !load) return -1;
  unsigned long long busy, total;
  pthread_mutex_lock(&c->lock);
  if (cpu_read(&busy, &total) != 0) {
    pthread_mutex_unlock(&c->lock);
    return -1;
  }
  unsigned long long db = busy - c->busy, dt = total - c->total;
  *load = dt ? (int)(db * 100 / dt) : 0;
  c->busy = busy;
  c->total = total;
  pthread_mutex_unlock(&c->lock);
  return 0;
}

// ---- Video standards ----
int VideoStd_getResolution(VideoStd_Type std, int *width, int *height) {
  static const struct { VideoStd_Type std; int w, h; } table[] = {
      {VideoStd_CIF, 352, 288},        {VideoStd_SIF_NTSC, 352, 240},
      {VideoStd_SIF_PAL, 352, 288},    {VideoStd_VGA, 640, 480},
      {VideoStd_D1_NTSC, 720, 480},    {VideoStd_D1_PAL, 720, 576},
      {VideoStd_480P, 720, 480},       {VideoStd_576P, 720, 576},
      {VideoStd_720P_60, 1280, 720},   {VideoStd_720P_50, 1280, 720},
      {VideoStd_1080I_30, 1920, 1080}, {VideoStd_1080I_25, 1920, 1080},
      {VideoStd_1080P_30, 1920, 1080}, {VideoStd_1080P_25, 1920, 1080},
      {VideoStd_1080P_24, 1920, 1080}, {VideoStd_1080P_60, 1920, 1080},
      {VideoStd_1080P_50, 1920, 1080},
  };
  for (const auto &e : table) {
    if (e.std != std) continue;
    if (width) *width = e.w;
    if (height) *height = e.h;
    return 0;
  }
  return -1;
}
