// The board around the SoC: the pins of the GPIO banks, the devices on the
// I2C bus /dev/i2c-1 (keypad controller, counter controller, temperature
// sensor), the watchdog /dev/watchdog and suspend through /sys/power/state.
//
// GPIO: the program reads and writes the bank registers in /dev/mem. Every
// millisecond the 90 kHz ticker refreshes each bank pair's input word: an
// input line reads its pin, an output line its own output bit. Output levels
// that changed since the last refresh are recorded as edges with the time.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <malloc.h>
#include <mutex>
#include <strings.h>
#include <unistd.h>

#include "platform/device.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

constexpr int kPins = 128;
constexpr uint32_t kGpioBase = 0x01C67010u;   // bank pair k: + 40k
constexpr int kEdges = 512;
// GPIO keypad lines 0 to 8, as the board wires them (pulled up).
const int kKeypadLines[9] = {26, 27, 61, 62, 63, 64, 28, 29, 30};

uint64_t mono_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

struct Board {
  std::mutex lock;
  uint64_t (*now_ms)(void) = mono_ms;
  bool set_up;
  uint8_t pin[kPins];
  int8_t driven[kPins];         // last output level seen, -1 while an input
  SimGpioEdge edges[kEdges];
  uint64_t nedges;
  // I2C
  int keypad_mode = SIM_KEYPAD_I2C;
  uint8_t keypad_reg[256];
  uint8_t keypad_ptr;           // register pointer
  uint32_t keypad_writes;
  // Presses that let go by themselves ("press W"), one after the other: a
  // press is held, then let go, each for as many reads of the I2C keypad's
  // second register (one per scan), or for a time on the lines.
  uint32_t press_queue[16];
  int press_queued;
  int press_phase;              // 0 none, 1 held, 2 let go
  int press_reads;
  uint64_t press_until;
  int32_t counter[2];
  int32_t counter_pending;
  uint8_t counter_cmd;
  int temp_milli = 25000;
  int i2c_fail;
  // Watchdog
  int wd_opens;
  uint64_t wd_last;
  bool wd_expired;
};

Board &bd() {
  static Board b;
  return b;
}

volatile uint32_t *gpio_reg(int pair, int off) { return sim_mem_reg(kGpioBase + 40u * (uint32_t)pair + (uint32_t)off); }

// The program reads and writes these words from its own threads while the
// board's ticker updates them: single 32-bit loads and stores, as on the bus.
uint32_t gpio_load(int pair, int off) { return __atomic_load_n(gpio_reg(pair, off), __ATOMIC_RELAXED); }
void gpio_store(int pair, int off, uint32_t v) { __atomic_store_n(gpio_reg(pair, off), v, __ATOMIC_RELAXED); }

void power_on_locked(Board &b) {
  for (int i = 0; i < kPins; i++) {
    b.pin[i] = 0;
    b.driven[i] = -1;
  }
  for (int l : kKeypadLines) b.pin[l] = 1;   // keypad lines idle high
  b.pin[31] = 1;                              // the hub reset is pulled up
  b.nedges = 0;
  b.keypad_mode = SIM_KEYPAD_I2C;
  memset(b.keypad_reg, 0, sizeof b.keypad_reg);
  b.keypad_reg[0x7A] = 0x10;
  b.keypad_writes = 0;
  b.press_queued = 0;
  b.press_phase = 0;
  b.counter[0] = b.counter[1] = 0;
  b.counter_pending = 0;
  b.counter_cmd = 0;
  b.temp_milli = 25000;
  b.i2c_fail = 0;
  if (!gpio_reg(0, 0)) return;
  for (int k = 0; k < 4; k++) gpio_store(k, 4, 0);
  sim_mem_board_regs_power_on();
  b.set_up = true;
}

void refresh_locked(Board &b) {
  if (!b.set_up) power_on_locked(b);
  if (!b.set_up) return;
  uint64_t now = b.now_ms();
  for (int k = 0; k < 4; k++) {
    uint32_t dir = gpio_load(k, 0), out = gpio_load(k, 4), in = 0;
    for (int i = 0; i < 32; i++) {
      int n = 32 * k + i;
      uint32_t m = 1u << i;
      if (dir & m) {
        if (b.pin[n]) in |= m;
        b.driven[n] = -1;
        continue;
      }
      int level = (out & m) ? 1 : 0;
      if (level) in |= m;
      // A line that becomes an output counts as an edge when it leaves its
      // pin's level.
      int before = b.driven[n] >= 0 ? b.driven[n] : b.pin[n];
      if (level != before) {
        b.edges[b.nedges % kEdges] = {now, n, level};
        b.nedges++;
      }
      b.driven[n] = (int8_t)level;
    }
    gpio_store(k, 16, in);
  }
}

void set_keys_locked(Board &b, uint32_t word) {
  if (b.keypad_mode == SIM_KEYPAD_I2C) {
    b.keypad_reg[0] = (uint8_t)word;
    b.keypad_reg[1] = (uint8_t)(word >> 8);
  } else if (b.keypad_mode == SIM_KEYPAD_GPIO) {
    // A pressed line is pulled low.
    for (int j = 0; j < 9; j++) b.pin[kKeypadLines[j]] = (word >> j) & 1 ? 0 : 1;
    refresh_locked(b);
  }
}

// The next step of the presses: the one held is let go, the one let go is
// done and the next queued one is pressed. The keypad is scanned every
// 10 ms and a change counts once it held for two more scans: six scans are
// plenty, 300 ms for lines the scan reads without the board seeing it.
void press_step_locked(Board &b) {
  if (b.press_phase == 1) {
    set_keys_locked(b, 0);
    b.press_phase = 2;
  } else if (b.press_queued > 0) {
    set_keys_locked(b, b.press_queue[0]);
    b.press_queued--;
    memmove(b.press_queue, b.press_queue + 1, size_t(b.press_queued) * sizeof b.press_queue[0]);
    b.press_phase = 1;
  } else {
    b.press_phase = 0;
    return;
  }
  b.press_reads = 6;
  b.press_until = b.now_ms() + 300;
}

// ---- I2C ----

struct I2cOpen { int addr; };

bool keypad_answers(const Board &b) { return b.keypad_mode == SIM_KEYPAD_I2C; }

// One message to a device; -errno on failure. Called with the lock held.
int i2c_message_locked(Board &b, int addr, bool read, uint8_t *buf, size_t len) {
  if (addr == 0) {
    if (!keypad_answers(b)) return -ENXIO;
    if (read) {
      // The register pointer was written by the previous message.
      for (size_t i = 0; i < len; i++) buf[i] = b.keypad_reg[(b.keypad_ptr + i) & 0xFF];
      if (b.press_phase && ((b.keypad_ptr + len - 1) & 0xFF) >= 1 && --b.press_reads == 0)
        press_step_locked(b);
      return 0;
    }
    if (len >= 1) b.keypad_ptr = buf[0];
    if (len >= 2) {
      b.keypad_reg[buf[0]] = buf[1];
      b.keypad_writes++;
    }
    return 0;
  }
  if (addr == 0x51) {
    if (read) {
      uint32_t v = 0;
      if (b.counter_cmd == 0x01) v = 0x01020304u;
      else if (b.counter_cmd == 0x06) v = (uint32_t)b.counter[0];
      else if (b.counter_cmd == 0x08) v = (uint32_t)b.counter[1];
      for (size_t i = 0; i < len; i++) buf[i] = i < 4 ? (uint8_t)(v >> (8 * i)) : 0;
      return 0;
    }
    if (len == 5 && buf[0] == 0x04) {
      b.counter_pending = (int32_t)(buf[1] | buf[2] << 8 | buf[3] << 16 | (uint32_t)buf[4] << 24);
    } else if (len == 2 && buf[0] == 0x03) {
      b.counter_cmd = buf[1];
      if (buf[1] == 5) b.counter[0] = b.counter_pending;
      if (buf[1] == 7) b.counter[1] = b.counter_pending;
    } else {
      return -EIO;
    }
    return 0;
  }
  if (addr == 0x48) {
    // Register 0: the temperature in 1/16 degree, 12 bits, MSB first.
    if (!read) return 0;
    int raw = b.temp_milli * 16 / 1000;
    uint8_t t[2] = {(uint8_t)((raw >> 4) & 0xFF), (uint8_t)((raw & 0xF) << 4)};
    for (size_t i = 0; i < len; i++) buf[i] = i < 2 ? t[i] : 0;
    return 0;
  }
  return -ENXIO;
}

bool take_failure_locked(Board &b) {
  if (b.i2c_fail <= 0) return false;
  b.i2c_fail--;
  return true;
}

int i2c_open(SimFile *f) {
  f->priv = new I2cOpen{-1};
  return 0;
}

void i2c_release(SimFile *f) { delete (I2cOpen *)f->priv; }

int i2c_ioctl(SimFile *f, unsigned long request, void *arg) {
  I2cOpen *o = (I2cOpen *)f->priv;
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  // The bus may be the first of the board the program reaches (before the
  // ticker's first pass, or any command): its devices are powered on too.
  if (!b.set_up) power_on_locked(b);
  if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
    unsigned long a = (unsigned long)arg;
    if (a > 0x7F) return -EINVAL;
    o->addr = (int)a;
    return 0;
  }
  if (request == I2C_SMBUS) {
    i2c_smbus_ioctl_data *d = (i2c_smbus_ioctl_data *)arg;
    if (o->addr < 0) return -EINVAL;
    if (take_failure_locked(b)) return -EIO;
    uint8_t cmd = d->command;
    int rc = i2c_message_locked(b, o->addr, false, &cmd, 1);
    if (rc < 0) return rc;
    bool rd = d->read_write == I2C_SMBUS_READ;
    if (d->size == I2C_SMBUS_BYTE_DATA) {
      uint8_t m[2] = {d->command, rd ? (uint8_t)0 : d->data->byte};
      return rd ? i2c_message_locked(b, o->addr, true, &d->data->byte, 1)
                : i2c_message_locked(b, o->addr, false, m, 2);
    }
    if (d->size == I2C_SMBUS_WORD_DATA && rd) {
      uint8_t w[2];
      rc = i2c_message_locked(b, o->addr, true, w, 2);
      if (rc == 0) d->data->word = (uint16_t)(w[0] | w[1] << 8);
      return rc;
    }
    return -EOPNOTSUPP;
  }
  if (request == I2C_RDWR) {
    i2c_rdwr_ioctl_data *d = (i2c_rdwr_ioctl_data *)arg;
    if (!d || d->nmsgs > 42) return -EINVAL;
    if (take_failure_locked(b)) return -EIO;
    for (unsigned i = 0; i < d->nmsgs; i++) {
      i2c_msg &m = d->msgs[i];
      int rc = i2c_message_locked(b, m.addr, m.flags & I2C_M_RD, m.buf, m.len);
      if (rc < 0) return rc;
    }
    return (int)d->nmsgs;
  }
  return -ENOTTY;
}

const SimDriverOps kI2cOps = {i2c_open, i2c_release, nullptr, nullptr, i2c_ioctl, nullptr, nullptr};

// ---- Watchdog: kicks and the expiry go to <root>/run/sim/watchdog ----

// <root>/run/sim/memory, written anew: the contiguous blocks in use with
// their resident bytes, then "malloc <heap bytes> <mmapped bytes> <in use>"
// (mallinfo2's arena, hblkhd and uordblks); written whole and renamed into place.
int memory_report(void) {
  sys_mkdirs("/run/sim", 0755);
  FILE *f = sys_fopen("/run/sim/memory.new", "w");
  if (!f) return -1;
  CMEM_report(f);
  struct mallinfo2 m = mallinfo2();
  fprintf(f, "malloc %zu %zu %zu\n", m.arena, m.hblkhd, m.uordblks);
  fclose(f);
  return sys_rename("/run/sim/memory.new", "/run/sim/memory");
}

void watchdog_note(const char *text, uint64_t ms) {
  char line[64];
  snprintf(line, sizeof line, "%s %llu\n", text, (unsigned long long)ms);
  int fd = sys_open("/run/sim/watchdog", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!write(fd, line, strlen(line));
  close(fd);
}

int wd_open(SimFile *) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.wd_opens++;
  b.wd_last = b.now_ms();
  b.wd_expired = false;
  sys_mkdirs("/run/sim", 0755);
  watchdog_note("open", b.wd_last);
  return 0;
}

void wd_release(SimFile *) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.wd_opens--;
}

ssize_t wd_write(SimFile *, const void *, size_t n) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.wd_last = b.now_ms();
  watchdog_note("kick", b.wd_last);
  return (ssize_t)n;
}

const SimDriverOps kWatchdogOps = {wd_open, wd_release, nullptr, wd_write, nullptr, nullptr, nullptr};

// /sys/power/state: the board sleeps while the write lasts; what was written
// stays in the file under the root, and the lines are seen as they were
// during the sleep.
ssize_t power_write(SimFile *, const void *buf, size_t n) {
  Board &b = bd();
  {
    std::lock_guard<std::mutex> l(b.lock);
    refresh_locked(b);
  }
  int fd = sys_open("/sys/power/state", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  ssize_t w = write(fd, buf, n);
  close(fd);
  return w < 0 ? -EIO : w;
}

const SimDriverOps kPowerOps = {nullptr, nullptr, nullptr, power_write, nullptr, nullptr, nullptr};

bool parse_long(const char *s, long lo, long hi, long *out) {
  if (!s || !*s) return false;
  char *end;
  errno = 0;
  long v = strtol(s, &end, 0);
  if (*end || errno || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

void sim_board_register(void) {
  sim_register("/dev/i2c-1", &kI2cOps, nullptr);
  sim_register("/dev/watchdog", &kWatchdogOps, nullptr);
  sim_register("/sys/power/state", &kPowerOps, nullptr);
  sim_follow_commands("/run/sim_board.cmd", sim_board_command, "sim_board");
}

void sim_board_tick(void) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  if (b.press_phase && b.keypad_mode != SIM_KEYPAD_I2C && b.now_ms() >= b.press_until)
    press_step_locked(b);
  refresh_locked(b);
  if (b.wd_opens > 0 && !b.wd_expired && b.now_ms() - b.wd_last >= 60000) {
    b.wd_expired = true;
    watchdog_note("expired", b.now_ms());
  }
}

void sim_board_power_on_once(void) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  if (!b.set_up) power_on_locked(b);
}

void sim_board_reset(void) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  power_on_locked(b);
}

void sim_board_set_clock(uint64_t (*now_ms)(void)) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.now_ms = now_ms ? now_ms : mono_ms;
}

void sim_board_set_pin(int n, int level) {
  if (n < 0 || n >= kPins) return;
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  if (!b.set_up) power_on_locked(b);
  b.pin[n] = level ? 1 : 0;
  refresh_locked(b);
}

int sim_board_edges(SimGpioEdge *out, int max) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  uint64_t first = b.nedges > (uint64_t)kEdges ? b.nedges - kEdges : 0;
  int n = 0;
  for (uint64_t i = first; i < b.nedges && n < max; i++) out[n++] = b.edges[i % kEdges];
  return n;
}

void sim_board_clear_edges(void) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.nedges = 0;
}

void sim_board_set_keypad(int mode) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  if (!b.set_up) power_on_locked(b);
  b.keypad_mode = mode;
}

void sim_board_set_keys(uint32_t word) { sim_board_press_keys(word, false); }

void sim_board_press_keys(uint32_t word, bool let_go) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  if (!b.set_up) power_on_locked(b);
  if (!let_go) {
    b.press_queued = 0;
    b.press_phase = 0;
    set_keys_locked(b, word);
    return;
  }
  if (b.press_queued == int(sizeof b.press_queue / sizeof b.press_queue[0])) return;
  b.press_queue[b.press_queued++] = word;
  if (!b.press_phase) press_step_locked(b);
}

uint8_t sim_board_keypad_reg(unsigned reg) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  return b.keypad_reg[reg & 0xFF];
}

void sim_board_set_keypad_reg(unsigned reg, uint8_t value) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  if (!b.set_up) power_on_locked(b);
  b.keypad_reg[reg & 0xFF] = value;
}

uint32_t sim_board_keypad_writes(void) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  return b.keypad_writes;
}

void sim_board_set_counter(int n, int32_t value) {
  if (n < 0 || n > 1) return;
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.counter[n] = value;
}

int32_t sim_board_counter(int n) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  return n >= 0 && n <= 1 ? b.counter[n] : 0;
}

void sim_board_set_temperature(int millidegrees) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.temp_milli = millidegrees;
}

void sim_board_i2c_fail(int count) {
  Board &b = bd();
  std::lock_guard<std::mutex> l(b.lock);
  b.i2c_fail = count;
}

int sim_board_command(const char *line) {
  char buf[256];
  char *tok[4];
  int n = sim_command_words(line, buf, sizeof buf, tok, 4);
  if (n <= 0) return n;
  long a, v;
  if (!strcmp(tok[0], "pin") && n == 3 && parse_long(tok[1], 0, kPins - 1, &a) &&
      parse_long(tok[2], 0, 1, &v)) {
    sim_board_set_pin((int)a, (int)v);
    return 0;
  }
  if (!strcmp(tok[0], "keypad") && n == 2) {
    const char *modes[] = {"gpio", "i2c", "absent"};
    for (int m = 0; m < 3; m++)
      if (!strcasecmp(tok[1], modes[m])) {
        sim_board_set_keypad(m);
        return 0;
      }
    return -1;
  }
  if (!strcmp(tok[0], "keys") && n == 2 && parse_long(tok[1], 0, 0xFFFF, &v)) {
    sim_board_set_keys((uint32_t)v);
    return 0;
  }
  if (!strcmp(tok[0], "press") && n == 2 && parse_long(tok[1], 1, 0xFFFF, &v)) {
    sim_board_press_keys((uint32_t)v, true);
    return 0;
  }
  if (!strcmp(tok[0], "counter") && n == 3 && parse_long(tok[1], 0, 1, &a) &&
      parse_long(tok[2], INT32_MIN, INT32_MAX, &v)) {
    sim_board_set_counter((int)a, (int32_t)v);
    return 0;
  }
  if (!strcmp(tok[0], "temp") && n == 2) {
    char *end;
    double c = strtod(tok[1], &end);
    if (*end || c < -55 || c > 150) return -1;
    sim_board_set_temperature((int)(c * 1000));
    return 0;
  }
  if (!strcmp(tok[0], "i2cfail") && n == 2 && parse_long(tok[1], 0, 1000000, &v)) {
    sim_board_i2c_fail((int)v);
    return 0;
  }
  if (!strcmp(tok[0], "memory") && n == 1) return memory_report();
  return -1;
}
