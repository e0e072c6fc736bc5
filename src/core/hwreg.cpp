#include "core/hwreg.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>

#include "core/log.h"
#include "core/mtd.h"
#include "platform/device.h"

namespace {

constexpr uint32_t kWin1Phys = 0x01C00000u;
constexpr size_t kWin1Size = 4u << 20;
constexpr uint32_t kWin2Phys = 0x14000u;
constexpr size_t kWin2Size = 16u << 10;
constexpr size_t kTmpBufOff = 16376;
constexpr uint32_t kTmpBufValue = 45060;

// Power and sleep controller.
constexpr uint32_t kPscPtcmd = 0x01C41120u;
constexpr uint32_t kPscPtstat = 0x01C41128u;
constexpr uint32_t kPscMdctl = 0x01C41A00u;  // + 4 x module number
constexpr int kPscModuleHdvicp = 47;
constexpr int kPscModuleVpssMaster = 50;
constexpr int kPscModuleVpssSlave = 51;
constexpr uint32_t kMdctlEnable = 0x703, kMdctlDisable = 0x702, kMdctlReset = 1;

constexpr uint32_t kHdvicpSaved[] = {0x01C70004u, 0x01C70008u, 0x01C70010u,
                                     0x01C70014u, 0x01C70018u, 0x01C7001Cu};

pthread_once_t g_map_once = PTHREAD_ONCE_INIT;
volatile uint32_t *g_win1;
volatile uint32_t *g_win2;

void sleep_us(long us) {
  struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
  nanosleep(&ts, nullptr);
}

void do_map(void) {
  int fd = dev_open("/dev/mem", O_RDWR | O_SYNC);
  if (fd < 0) {
    log_printf("/dev/mem: %s\n", strerror(errno));
    return;
  }
  void *w1 = dev_mmap(nullptr, kWin1Size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kWin1Phys);
  void *w2 = w1 == MAP_FAILED ? MAP_FAILED
                              : dev_mmap(nullptr, kWin2Size, PROT_READ | PROT_WRITE, MAP_SHARED,
                                         fd, kWin2Phys);
  if (w1 == MAP_FAILED || w2 == MAP_FAILED) {
    log_printf("/dev/mem mmap failed: %s\n", strerror(errno));
    if (w1 != MAP_FAILED) dev_munmap(w1, kWin1Size);
    dev_close(fd);
    return;
  }
  g_win1 = (volatile uint32_t *)w1;
  g_win2 = (volatile uint32_t *)w2;
  uint32_t bl = mtd_bootloader_version();
  if (bl > 0x100FFu) {
    volatile uint32_t *tmpbuf = g_win2 + kTmpBufOff / 4;
    uint32_t old = *tmpbuf;
    *tmpbuf = kTmpBufValue;
    log_printf("previous TMPBUF = %x, BL=%x\n", old, bl);
  }
  log_printf_plain("USB_PHY_CTRL=%08x\n", hwreg_read(HWREG_USB_PHY_CTRL));
}

bool in_win1(uint32_t phys) { return phys >= kWin1Phys && phys - kWin1Phys < kWin1Size; }

// Registers are single 32-bit loads and stores; the timer word changes under
// the program's feet, so the accesses are atomic (plain moves on the CPU).
uint32_t reg_load(uint32_t phys) {
  return __atomic_load_n(&g_win1[(phys - kWin1Phys) / 4], __ATOMIC_RELAXED);
}
void reg_store(uint32_t phys, uint32_t value) {
  __atomic_store_n(&g_win1[(phys - kWin1Phys) / 4], value, __ATOMIC_RELAXED);
}

// Waits for the power-state transition to finish. Bounded, and skipped with
// the windows unmapped, where the status reads 0xDEADBEEF and never clears.
void psc_wait(void) {
  if (!g_win1) return;
  for (int i = 0; i < 100000 && (hwreg_read(kPscPtstat) & 1); i++) sleep_us(10);
}

void psc_set(int module, uint32_t state) {
  hwreg_write(kPscMdctl + 4u * (uint32_t)module, state);
}

}  // namespace

void hwreg_map(void) { pthread_once(&g_map_once, do_map); }

uint32_t hwreg_read(uint32_t phys) {
  if (!g_win1 || !in_win1(phys)) return 0xDEADBEEFu;
  return reg_load(phys);
}

void hwreg_write(uint32_t phys, uint32_t value) {
  if (!g_win1 || !in_win1(phys)) return;
  reg_store(phys, value);
}

void hwreg_write_field(uint32_t phys, int shift, int width, uint32_t value) {
  if (width <= 0 || shift < 0 || shift + width > 32) return;
  uint32_t mask = (width == 32 ? 0xFFFFFFFFu : ((1u << width) - 1)) << shift;
  uint32_t v = hwreg_read(phys);
  hwreg_write(phys, (v & ~mask) | ((value << shift) & mask));
}

uint32_t timestamp_now(void) {
  hwreg_map();
  if (!g_win1) return 0;
  return reg_load(HWREG_TIMER_COUNT);
}

void timestamp_set(uint32_t value) {
  hwreg_map();
  hwreg_write(HWREG_TIMER_COUNT, value);
}

// The media clock's arithmetic counts a wrap as one extra tick: differences
// that come out negative and sums that pass 2^32 are moved on by one.
uint32_t timestamp_diff(uint32_t a, uint32_t b) {
  uint32_t d = b - a;
  return (d & 0x80000000u) ? d + 1 : d;
}

uint32_t timestamp_add(uint32_t a, uint32_t b) {
  uint32_t s = a + b;
  return s < a ? s + 1 : s;
}

int timestamp_check(void) {
  uint32_t a = timestamp_now();
  sleep_us(10000);
  uint32_t b = timestamp_now();
  if (a != b) return 0;
  log_printf("ts=%u\n", b);
  return 1;
}

void latency_stats_add(LatencyStats *rec, uint32_t timestamp) {
  if (!rec) return;
  int32_t d = (int32_t)(timestamp_now() - timestamp);
  rec->sum += d;
  if (d < rec->min) rec->min = d;
  if (d > rec->max) rec->max = d;
  rec->count++;
}

void psc_display_power(int on) {
  psc_wait();
  uint32_t state = on ? kMdctlEnable : kMdctlDisable;
  psc_set(kPscModuleVpssMaster, state);
  psc_set(kPscModuleVpssSlave, state);
  hwreg_write(kPscPtcmd, 1);
  psc_wait();
}

void hdvicp_reset(void) {
  uint32_t saved[sizeof kHdvicpSaved / sizeof kHdvicpSaved[0]];
  for (size_t i = 0; i < sizeof saved / sizeof saved[0]; i++) saved[i] = hwreg_read(kHdvicpSaved[i]);
  psc_set(kPscModuleHdvicp, kMdctlReset);
  hwreg_write(kPscPtcmd, 1);
  psc_wait();
  sleep_us(20000);
  psc_set(kPscModuleHdvicp, kMdctlEnable);
  hwreg_write(kPscPtcmd, 1);
  psc_wait();
  for (size_t i = 0; i < sizeof saved / sizeof saved[0]; i++) hwreg_write(kHdvicpSaved[i], saved[i]);
}

void usb_phy_pulse(void) {
  hwreg_write(HWREG_USB_PHY_CTRL, hwreg_read(HWREG_USB_PHY_CTRL) | 1u);
  sleep_us(1000);
  hwreg_write(HWREG_USB_PHY_CTRL, hwreg_read(HWREG_USB_PHY_CTRL) & ~1u);
}
