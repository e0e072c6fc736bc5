// The board's lines, watchdog, power, RTC block and I2C helpers.
#include "core/board_io.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sched.h>
#include <unistd.h>

#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_apply.h"
#include "core/process_util.h"
#include "platform/device.h"

namespace {

constexpr uint32_t kGpioDir = 0x01C67010u;
constexpr uint32_t kUsbDevCtl = 0x01C64460u;
constexpr uint32_t kPrtcCtl = 0x01C69004u, kPrtcData = 0x01C69008u;

uint64_t mono_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

uint32_t bank_reg(int n, uint32_t off) { return kGpioDir + 40u * (uint32_t)(n / 32) + off; }

int g_watchdog_fd = -1;
bool g_watchdog_tried, g_watchdog_stop;
uint64_t g_watchdog_last;
volatile int g_low_power;

}  // namespace

BoardClock board_clock = {mono_ms, sleep_ms};

int gpio_drive(int n, int value) {
  uint32_t bit = 1u << (n % 32);
  uint32_t out = hwreg_read(bank_reg(n, 4));
  hwreg_write(bank_reg(n, 4), value ? out | bit : out & ~bit);
  uint32_t dir = hwreg_read(bank_reg(n, 0));
  if (!(dir & bit)) return 0;
  hwreg_write(bank_reg(n, 0), dir & ~bit);
  return 1;
}

void gpio_set(int n, int value) {
  if (gpio_drive(n, value)) log_printf("reconfiguring gpio %d as an output\n", n);
}

int gpio_get(int n) {
  uint32_t bit = 1u << (n % 32);
  uint32_t dir = hwreg_read(bank_reg(n, 0));
  if (!(dir & bit)) {
    hwreg_write(bank_reg(n, 0), dir | bit);
    log_printf("reconfiguring gpio %d as an input\n", n);
    board_clock.sleep_ms(1);
  }
  return (hwreg_read(bank_reg(n, 16)) & bit) ? 1 : 0;
}

void board_init_model(void) {
  board_identity.safe_boot = gpio_get(25);
  gpio_set(37, 0);
  gpio_set(35, 0);
  gpio_set(22, board_identity.safe_boot);
}

void board_error_led(int on) { gpio_set(37, on); }

void watchdog_kick(void) {
  if (!g_watchdog_tried) {
    g_watchdog_tried = true;
    g_watchdog_fd = dev_open("/dev/watchdog", O_WRONLY | O_CLOEXEC);
    if (g_watchdog_fd < 0) {
      perror("/dev/watchdog");
      return;
    }
    g_watchdog_last = board_clock.now_ms();
    log_printf("watchdog is enabled\n");
    return;
  }
  if (g_watchdog_fd < 0) return;
  if (g_watchdog_stop) {
    dev_close(g_watchdog_fd);
    g_watchdog_fd = -1;
    return;
  }
  uint64_t now = board_clock.now_ms();
  if (now - g_watchdog_last < 4000) return;
  g_watchdog_last = now;
  if (dev_write(g_watchdog_fd, "V", 1) != 1) perror("/dev/watchdog");
}

void watchdog_stop(void) { g_watchdog_stop = true; }

void usb_check_id(void) {
  if ((hwreg_read(kUsbDevCtl) & 0x9C) == 0x1C) return;
  log_printf("USB_ID is wrong, resetting hub\n");
  gpio_set(31, 0);
  board_clock.sleep_ms(10);
  gpio_set(31, 1);
}

void board_set_power(int on) {
  psc_display_power(on);
  if (on)
    updateDisplayFromParams();
  else
    setDisplayPowerOff();
  g_low_power = !on;
}

int board_low_power(void) { return g_low_power; }

void button_reset_hook(ParamBlock *) {}

// The RTC block's interface: wait while busy (bit 31), then one request.
static void prtc_wait(void) {
  while (hwreg_read(kPrtcCtl) & 0x80000000u) sched_yield();
}

uint8_t prtc_read(uint32_t reg) {
  prtc_wait();
  hwreg_write(kPrtcCtl, (reg & 0xFFFF) | 0x1010000u);
  prtc_wait();
  return (uint8_t)hwreg_read(kPrtcData);
}

void prtc_write(uint32_t reg, uint8_t value) {
  prtc_wait();
  hwreg_write(kPrtcCtl, (reg & 0xFFFF) | 0x10000u);
  hwreg_write(kPrtcData, value);
}

int prtc_bit(int n) { return (prtc_read(3) >> n) & 1; }

int i2c_open_slave(int addr) {
  int fd = dev_open("/dev/i2c-1", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror("open /dev/i2c-1");
    return -1;
  }
  if (dev_ioctl(fd, I2C_SLAVE, (void *)(uintptr_t)addr) < 0) {
    perror("I2C_SLAVE");
    log_printf("slave_addr = 0x%02x\n", addr);
    dev_close(fd);
    return -1;
  }
  return fd;
}

static int smbus(int fd, int rw, uint8_t reg, int size, i2c_smbus_data *data) {
  i2c_smbus_ioctl_data args = {(uint8_t)rw, reg, (uint32_t)size, data};
  return dev_ioctl(fd, I2C_SMBUS, &args);
}

int i2c_read_byte(int fd, uint8_t reg) {
  i2c_smbus_data d = {};
  if (smbus(fd, I2C_SMBUS_READ, reg, I2C_SMBUS_BYTE_DATA, &d) < 0) return -1;
  return d.byte;
}

int i2c_write_byte(int fd, uint8_t reg, uint8_t value) {
  i2c_smbus_data d = {};
  d.byte = value;
  return smbus(fd, I2C_SMBUS_WRITE, reg, I2C_SMBUS_BYTE_DATA, &d) < 0 ? -1 : 0;
}

int read_temperature_sensor(void) {
  int fd = i2c_open_slave(0x48);
  if (fd < 0) return -1;
  i2c_smbus_data d = {};
  int ret = smbus(fd, I2C_SMBUS_READ, 0, I2C_SMBUS_WORD_DATA, &d);
  dev_close(fd);
  if (ret < 0) {
    perror("I2C_SMBUS_READ I2C_SMBUS_WORD_DATA");
    log_printf("%s: ret=%d\n", "read_temperature_sensor", ret);
    return -1;
  }
  // The sensor sends its most significant byte first.
  uint16_t be = (uint16_t)((d.word & 0xFF) << 8 | d.word >> 8);
  return be >> 4;
}
