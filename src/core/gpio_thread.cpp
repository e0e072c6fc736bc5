// The keypads, the counter controller and the "gpio" thread's pass.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <new>
#include <pthread.h>

#include "core/board_io.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/log_episode.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/startup.h"
#include "platform/device.h"
#include "platform/host_root.h"

namespace {

// GPIO keypad lines 8 down to 0: line j is entry 8 - j.
const int kDefaultKeypadLines[9] = {30, 29, 28, 64, 63, 62, 61, 27, 26};

// The keypad controller's configuration registers and the values they need.
struct KeypadReg { uint8_t reg, value; };
const KeypadReg *keypad_config(int *n) {
  static KeypadReg regs[29];
  static int count;
  if (!count) {
    const uint8_t fixed[][2] = {{0x06, 0x1F}, {0x07, 0x1F}, {0x0E, 0x1F}, {0x0F, 0x1F},
                                {0x4E, 0x28}, {0x4F, 0x64}, {0x52, 0x1E}, {0x51, 0x40}};
    for (auto &f : fixed) regs[count++] = {f[0], f[1]};
    for (uint8_t r = 0x61; r <= 0x6A; r++) regs[count++] = {r, 0x37};
    for (uint8_t r = 0x6B; r <= 0x74; r++) regs[count++] = {r, 0x0E};
    regs[count++] = {0x7F, 0x20};
  }
  *n = count;
  return regs;
}

// The I2C keypad's bits and the keys they post, in posting order.
const struct { uint32_t mask; uint32_t key; } kI2cKeys[] = {
    {0x1000, 0x100}, {0x800, 0x2}, {0x400, 0x201}, {0x200, 0x808}, {0x100, 0x1},
    {0x10, 0x1020},  {0x8, 0x10},  {0x4, 0x80},    {0x2, 0x4},     {0x1, 0x40},
};

enum { ACTION_LED_ON = 17, ACTION_LED_OFF = 18 };
enum { kMaxPendingAlarms = 16 };

struct GpioState {
  pthread_mutex_t keypad_mutex = PTHREAD_MUTEX_INITIALIZER;
  bool keypad_ctl, pic;
  int keypad_fd = -1, pic_fd = -1;
  const int *lines = kDefaultKeypadLines;
  uint32_t sample, stable;
  int countdown;
  int32_t pending[4];
  bool changed[4];
  int32_t count[2];
  float scale[2];
  volatile int blink;
  volatile int suspend;
  unsigned passes;
  int button = -1;
  int lock_state;
  int lock_countdown = -1;
  // Controllers that stop answering fail on every pass.
  LogEpisode keypad_failures = {}, pic_failures = {};
};
GpioState g;

const int kOne = 1;

void post_key(uint32_t key) {
  if (param_apply_hooks.dvr_post_key) param_apply_hooks.dvr_post_key(key);
}

int line_gpio(int j) { return g.lines[8 - j]; }

// One combined transfer on the counter controller; false on failure (errno
// set, nothing logged).
bool pic_transfer(i2c_msg *msgs, unsigned n) {
  i2c_rdwr_ioctl_data d = {msgs, n};
  return dev_ioctl(g.pic_fd, I2C_RDWR, &d) >= 0;
}

int32_t le32(const uint8_t *b) { return (int32_t)(b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24); }

void counter_poll(void) {
  int failed = 0;
  pthread_mutex_lock(&g.keypad_mutex);
  for (int n = 0; n < 2; n++) {
    if (!g.changed[n]) continue;
    uint32_t v = (uint32_t)g.pending[n];
    uint8_t value[5] = {0x04, (uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    uint8_t latch[2] = {0x03, (uint8_t)(n == 0 ? 5 : 7)};
    i2c_msg m[2] = {{0x51, 0, 5, value}, {0x51, 0, 2, latch}};
    if (!pic_transfer(m, 2)) failed = errno;
    g.changed[n] = false;
  }
  uint8_t ask0[2] = {0x03, 0x06}, ask1[2] = {0x03, 0x08}, c0[4], c1[4];
  i2c_msg m[4] = {{0x51, 0, 2, ask0}, {0x51, I2C_M_RD, 4, c0}, {0x51, 0, 2, ask1}, {0x51, I2C_M_RD, 4, c1}};
  if (pic_transfer(m, 4)) {
    g.count[0] = le32(c0);
    g.count[1] = le32(c1);
  } else {
    failed = errno;
  }
  pthread_mutex_unlock(&g.keypad_mutex);
  if (failed) {
    if (log_episode_fail(&g.pic_failures)) log_printf("%s: I2C_RDWR: %s\n", "counter_poll", strerror(failed));
  } else if (uint32_t n = log_episode_ok(&g.pic_failures, 0)) {
    log_printf("%s: the counter controller answers again after %u failed exchanges\n", "counter_poll", n);
  }
}

// Debounce: a new word waits two passes without change. True when a stable
// change is due now (the old stable word is in *old).
bool debounce(uint32_t word, uint32_t *old) {
  if (word != g.sample) {
    g.sample = word;
    g.countdown = 2;
    return false;
  }
  if (g.countdown <= 0 || --g.countdown > 0) return false;
  *old = g.stable;
  g.stable = word;
  return true;
}

void video_lock_alarm(GpioEnv *env, const ParamBlock *b) {
  if (!b->vlock_alarm_enabled || !param_apply_hooks.capture_lock_state) return;
  int state = param_apply_hooks.capture_lock_state();
  if (state != g.lock_state) {
    g.lock_state = state;
    g.lock_countdown = state ? b->vlock_threshold : -1;
  } else if (g.lock_countdown > 0) {
    g.lock_countdown--;
  }
  if (g.lock_countdown != 0) return;
  g.lock_countdown = -1;
  // Nobody may be reading the FIFO: the alarm never waits for a reader.
  if (env->fifo && Fifo_getNumEntries(env->fifo) < kMaxPendingAlarms)
    Fifo_put(env->fifo, (void *)&kOne);
}

void suspend_board(void) {
  ParamApplyHooks &h = param_apply_hooks;
  int ran = h.stream_running ? h.stream_running(15) : 0;
  log_printf("getting ready to sleep\n");
  if (core_hooks.stream_stop_all) core_hooks.stream_stop_all(0);
  if (h.stream_set_state) h.stream_set_state(15, 0);
  if (core_hooks.storage_unmount) core_hooks.storage_unmount();
  if (h.capture_apply_settings) h.capture_apply_settings();
  board_clock.sleep_ms(100);
  log_printf("going to sleep\n");
  gpio_set(35, 1);
  // The write returns once the board has woken up.
  int fd = dev_open("/sys/power/state", O_WRONLY | O_CLOEXEC);
  if (fd < 0 || dev_write(fd, "mem", 3) != 3) perror("/sys/power/state");
  if (fd >= 0) dev_close(fd);
  gpio_set(35, 0);
  log_printf("woke up\n");
  g.suspend = 0;
  log_printf("gpio thread resuming\n");
  if (ran && h.stream_set_state) h.stream_set_state(15, 1);
  board_set_power(1);
  usb_phy_pulse();
  log_printf("hdvicp and usb phy reset\n");
}

}  // namespace

void gpio_blink_xled(int enable) {
  g.blink = enable ? 1 : 0;
  gpio_set(22, enable);
  log_printf("%s: enable=%d\n", "gpio_blink_xled", enable);
}

int gpio_get_blink_xled(void) { return g.blink; }

void request_suspend(void) { g.suspend = 1; }

void encoder_count_set(int counter, int32_t count) {
  if (counter < 0 || counter > 3) return;
  pthread_mutex_lock(&g.keypad_mutex);
  g.pending[counter] = count;
  g.changed[counter] = true;
  pthread_mutex_unlock(&g.keypad_mutex);
}

int32_t encoder_count_get(int counter) {
  if (counter < 0 || counter > 3) return 0;
  pthread_mutex_lock(&g.keypad_mutex);
  int32_t v = counter < 2 && g.pic ? g.count[counter] : g.pending[counter];
  pthread_mutex_unlock(&g.keypad_mutex);
  return v;
}

int counter_controller_present(void) {
  pthread_mutex_lock(&g.keypad_mutex);
  int present = g.pic ? 1 : 0;
  pthread_mutex_unlock(&g.keypad_mutex);
  return present;
}

void keypad_set_leds(ParamBlock *block, int on) {
  if (g.keypad_ctl) {
    gpio_set(30, !on);
    return;
  }
  for (int j = 0; j < 9; j++) {
    if (block->keys_map[j] == ACTION_LED_ON) gpio_set(line_gpio(j), on);
    if (block->keys_map[j] == ACTION_LED_OFF) gpio_set(line_gpio(j), !on);
  }
}

int keypad_init(ParamBlock *block) {
  g.lines = kDefaultKeypadLines;
  if (g.keypad_fd < 0) g.keypad_fd = i2c_open_slave(0);
  int rc = -1;
  int id = g.keypad_fd >= 0 ? i2c_read_byte(g.keypad_fd, 0x7A) : -1;
  if (id >= 0) {
    log_printf("csdata=%02x\n", id);
    rc = id == 0x10 ? 0 : -4;
  }
  if (rc == 0) {
    int fd = g.keypad_fd, n;
    const KeypadReg *regs = keypad_config(&n);
    if (i2c_write_byte(fd, 0xA0, 8) != 0) rc = -2;
    board_clock.sleep_ms(10);
    bool differ = false;
    for (int i = 0; rc == 0 && i < n; i++) differ |= i2c_read_byte(fd, regs[i].reg) != regs[i].value;
    if (rc == 0 && differ) {
      for (int i = 0; i < n; i++)
        if (i2c_write_byte(fd, regs[i].reg, regs[i].value) != 0) rc = -2;
      if (i2c_write_byte(fd, 0xA0, 1) != 0) rc = -2;
      board_clock.sleep_ms(300);
    }
    if (rc == 0 && i2c_write_byte(fd, 0xA0, 7) != 0) rc = -2;
    board_clock.sleep_ms(10);
  }
  g.keypad_ctl = rc == 0;
  if (g.keypad_ctl) gpio_set(29, 1);
  keypad_set_leds(block, 0);

  if (g.pic_fd < 0) g.pic_fd = i2c_open_slave(0x51);
  uint8_t ask[2] = {0x03, 0x01}, v[4] = {};
  i2c_msg m[2] = {{0x51, 0, 2, ask}, {0x51, I2C_M_RD, 4, v}};
  g.pic = g.pic_fd >= 0 && pic_transfer(m, 2);
  if (g.pic) log_printf("PIC VERSION = %08x\n", (uint32_t)le32(v));
  for (int n = 0; n < 2; n++) {
    const EncoderParams &e = block->encoder[n];
    g.scale[n] = e.scale_factor[e.scale_select < 2 ? e.scale_select : 0];
  }
  log_printf("%s: I2C_keypad=%d PIC=%d\n", "keypad_init", (int)g.keypad_ctl, (int)g.pic);
  return rc;
}

void keypad_poll(ParamBlock *block) {
  uint32_t old;
  if (!g.keypad_ctl) {
    uint32_t word = 0;
    for (int j = 0; j < 9; j++) {
      uint8_t a = block->keys_map[j];
      if (a == ACTION_LED_ON || a == ACTION_LED_OFF) continue;
      if (gpio_get(line_gpio(j))) word |= 1u << j;
    }
    if (!debounce(word, &old)) return;
    uint32_t pressed = old & ~word, key = 0;
    for (int j = 0; j < 9; j++) {
      if (!(pressed & (1u << j))) continue;
      uint8_t a = block->keys_map[j];
      log_printf("line %d action=%d\n", j, a);
      if (a < 32) key |= 1u << a;
    }
    if (key) post_key(key);
    return;
  }
  int r0 = i2c_read_byte(g.keypad_fd, 0), r1 = r0 < 0 ? -1 : i2c_read_byte(g.keypad_fd, 1);
  if (r0 < 0 || r1 < 0) {
    if (log_episode_fail(&g.keypad_failures)) log_printf("failed to read i2c keypad\n");
    return;
  }
  if (uint32_t n = log_episode_ok(&g.keypad_failures, 0))
    log_printf("%s: the i2c keypad answers again after %u failed reads\n", "keypad_poll", n);
  uint32_t word = ((uint32_t)r0 | (uint32_t)r1 << 8) & 0x1F1F;
  if (!debounce(word, &old)) return;
  uint32_t fresh = word & ~old;
  if (!fresh) return;
  for (const auto &k : kI2cKeys)
    if (fresh & k.mask) post_key(k.key);
  // The key click.
  gpio_set(27, 0);
  board_clock.sleep_ms(75);
  gpio_set(27, 1);
}

void gpio_state_reset(void) {
  if (g.keypad_fd >= 0) dev_close(g.keypad_fd);
  if (g.pic_fd >= 0) dev_close(g.pic_fd);
  g.~GpioState();
  new (&g) GpioState();
}

int gpio_pass(GpioEnv *env) {
  if (get_exit_code()) return -1;
  ParamBlock *b = (ParamBlock *)env->env.params;
  keypad_poll(b);
  if (core_hooks.keyboard_scan) core_hooks.keyboard_scan();
  video_lock_alarm(env, b);
  int button = gpio_get(0);
  if (g.button == 0 && button == 1) {
    param_set_default_mac();
    button_reset_hook(b);
  }
  g.button = button;
  if (g.blink == 1) {
    g.blink = 2;
    gpio_set(22, 1);
    board_clock.sleep_ms(300);
  } else if (g.blink == 2) {
    g.blink = 1;
    gpio_set(22, 0);
    board_clock.sleep_ms(100);
  } else {
    board_clock.sleep_ms(10);
  }
  watchdog_kick();
  if (++g.passes >= 3 && g.pic) counter_poll();
  if (g.suspend) suspend_board();
  return 0;
}

int gpio_prepare(ThreadEnv *env) {
  GpioEnv *e = (GpioEnv *)env;
  if (!e->fifo) e->fifo = Fifo_create();
  return e->fifo ? 0 : -1;
}

void *gpioThrFxn(void *arg) {
  GpioEnv *env = (GpioEnv *)arg;
  cpu_load_register_thread(env->env.name);
  keypad_init((ParamBlock *)env->env.params);
  myRendezvousInit(env->env.start_rendezvous, env->env.name);
  while (gpio_pass(env) == 0) {
  }
  // Wakes the menu thread so that it sees the quit too.
  post_key(0);
  myRendezvousCleanup(env->env.cleanup_rendezvous, env->env.name);
  if (g.keypad_fd >= 0) dev_close(g.keypad_fd);
  if (g.pic_fd >= 0) dev_close(g.pic_fd);
  g.keypad_fd = g.pic_fd = -1;
  return nullptr;
}
