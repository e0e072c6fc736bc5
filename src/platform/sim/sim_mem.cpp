// /dev/mem: the SoC's register windows as plain memory. Registers hold what
// was written to them, except the free-running 90 kHz timer, which a ticker
// thread keeps current from CLOCK_MONOTONIC. The power and sleep controller
// never has a transition pending, so its status reads idle. The ticker also
// refreshes the board's GPIO input words (sim_board.cpp).
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/mman.h>

#include "platform/device.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

struct Window {
  uint32_t phys;
  size_t size;
  uint8_t *mem;
};
Window g_win[2] = {{0x01C00000u, 4u << 20, nullptr}, {0x14000u, 16u << 10, nullptr}};

constexpr uint32_t kTimerReg = 0x01C20810u;
constexpr uint32_t kUsbOtgCtrl = 0x01C64460u;  // a healthy board: VBUS valid, ID as device
constexpr long kTickNs = 1000000;  // the ticker's period

pthread_once_t g_once = PTHREAD_ONCE_INIT;
bool g_ready;
pthread_mutex_t g_timer_lock = PTHREAD_MUTEX_INITIALIZER;
uint32_t g_start;       // count at g_t0_ns
uint64_t g_t0_ns;
uint32_t g_last;        // last value the ticker stored

uint64_t mono_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

uint32_t *word_at(uint32_t phys) { return (uint32_t *)(g_win[0].mem + (phys - g_win[0].phys)); }

// Registers whose power-on value is not 0: every GPIO line an input, and the
// USB controller's device-control word with its ID bits as the board has them.
void board_regs_power_on(void) {
  for (uint32_t k = 0; k < 4; k++) *word_at(0x01C67010u + 40u * k) = 0xFFFFFFFFu;
  *word_at(kUsbOtgCtrl) = 0x1C;
}

uint32_t *timer_word(void) { return (uint32_t *)(g_win[0].mem + (kTimerReg - g_win[0].phys)); }

// Called with g_timer_lock held. A value in the register other than the one
// last stored was written by the program (timestamp_set): count on from it.
void timer_update_locked(void) {
  uint64_t now = mono_ns();
  uint32_t *w = timer_word();
  uint32_t cur = __atomic_load_n(w, __ATOMIC_ACQUIRE);
  if (cur != g_last) {
    g_start = cur;
    g_t0_ns = now;
  }
  uint32_t v = g_start + (uint32_t)((unsigned __int128)(now - g_t0_ns) * 90000 / 1000000000u);
  if (__atomic_compare_exchange_n(w, &cur, v, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    g_last = v;
}

void *ticker(void *) {
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    next.tv_nsec += kTickNs;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      next.tv_sec++;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    pthread_mutex_lock(&g_timer_lock);
    timer_update_locked();
    pthread_mutex_unlock(&g_timer_lock);
    sim_board_tick();
  }
  return nullptr;
}

void mem_setup(void) {
  for (Window &w : g_win) {
    void *p = mmap(nullptr, w.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    w.mem = (uint8_t *)p;
  }
  uint32_t start = 0;
  if (const char *s = getenv("M7391_CLOCK_START")) start = (uint32_t)strtoul(s, nullptr, 0);
  g_start = start;
  g_last = start;
  g_t0_ns = mono_ns();
  *timer_word() = start;
  board_regs_power_on();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  bool ok = pthread_create(&t, &attr, ticker, nullptr) == 0;
  pthread_attr_destroy(&attr);
  if (ok) g_ready = true;
}

bool mem_ready(void) {
  pthread_once(&g_once, mem_setup);
  return g_ready;
}

int mem_open(SimFile *) { return mem_ready() ? 0 : -ENOMEM; }

void *mem_mmap(SimFile *, size_t len, int, off_t off) {
  if (!mem_ready() || off < 0) return nullptr;
  sim_board_power_on_once();
  for (Window &w : g_win) {
    uint64_t o = (uint64_t)off;
    if (o >= w.phys && o - w.phys <= w.size && len <= w.size - (o - w.phys))
      return w.mem + (o - w.phys);
  }
  return nullptr;
}

// The windows live as long as the process; unmapping only forgets them.
int mem_munmap(SimFile *, void *, size_t) { return 0; }

const SimDriverOps kMemOps = {mem_open, nullptr, nullptr, nullptr, nullptr, mem_mmap, mem_munmap};

}  // namespace

void sim_mem_register(void) { sim_register("/dev/mem", &kMemOps, nullptr); }

void sim_mem_set_timer(uint32_t value) {
  if (!mem_ready()) return;
  pthread_mutex_lock(&g_timer_lock);
  g_start = value;
  g_t0_ns = mono_ns();
  g_last = value;
  __atomic_store_n(timer_word(), value, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&g_timer_lock);
}

void sim_mem_board_regs_power_on(void) {
  if (mem_ready()) board_regs_power_on();
}

volatile uint32_t *sim_mem_reg(uint32_t phys) {
  if (!mem_ready()) return nullptr;
  for (Window &w : g_win)
    if (phys >= w.phys && phys - w.phys + 4 <= w.size)
      return (volatile uint32_t *)(w.mem + ((phys - w.phys) & ~3u));
  return nullptr;
}
