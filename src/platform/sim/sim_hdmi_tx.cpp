// The HDMI transmitter's sub-device (/dev/v4l-subdev6): 256 registers behind
// the debug register requests (I2C address 0x3B) and the EDID request, whose
// bytes are the monitor's: <root>/run/sim/edid.bin (missing: EIO). A board
// whose sysfs names the ch7038b gets that driver's module parameter files.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/device.h"
#include "platform/display_ioctl.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

struct Transmitter {
  std::mutex lock;
  uint8_t regs[256];
};

// Power-on values: the chip id and the output-disable register, which the
// display clears once the output streams.
void power_on(Transmitter &t) {
  memset(t.regs, 0, sizeof t.regs);
  t.regs[0x00] = 0x1B;
  t.regs[0x19] = 0x10;
}

Transmitter &tx(void) {
  static Transmitter *t = [] {
    Transmitter *n = new Transmitter();
    power_on(*n);
    return n;
  }();
  return *t;
}

int tx_ioctl(SimFile *, unsigned long request, void *arg) {
  Transmitter &t = tx();
  std::lock_guard<std::mutex> l(t.lock);
  if (!arg) return -EFAULT;
  switch (request) {
    case VIDIOC_DBG_G_REGISTER:
    case VIDIOC_DBG_S_REGISTER: {
      v4l2_dbg_register *r = (v4l2_dbg_register *)arg;
      if (r->match.type != V4L2_CHIP_MATCH_I2C_ADDR || r->match.addr != HDMI_TX_I2C_ADDR ||
          r->reg > 0xFF)
        return -EINVAL;
      if (request == VIDIOC_DBG_G_REGISTER) {
        r->val = t.regs[r->reg];
        r->size = 1;
      } else {
        t.regs[r->reg] = (uint8_t)r->val;
      }
      return 0;
    }
    case V4L2_G_EDID: {
      DisplayEdidRequest *e = (DisplayEdidRequest *)arg;
      FILE *f = sys_fopen("/run/sim/edid.bin", "rb");
      if (!f) return -EIO;
      memset(e->edid, 0, sizeof e->edid);
      size_t n = fread(e->edid, 1, sizeof e->edid, f);
      fclose(f);
      return n >= 128 ? 0 : -EIO;
    }
    default:
      return -ENOTTY;
  }
}

const SimDriverOps kTxOps = {nullptr, nullptr, nullptr, nullptr, tx_ioctl, nullptr, nullptr};

}  // namespace

void sim_hdmi_tx_register(void) {
  sim_register("/dev/v4l-subdev6", &kTxOps, &tx());
  if (!root_dir()[0]) return;
  char name[64];
  sys_read_text("/sys/class/video4linux/v4l-subdev6/name", name, sizeof name, true);
  if (strncmp(name, "ch7038b 1-0078", 14) == 0) {
    sys_mkdirs("/sys/module/ch7038b/parameters", 0755);
    for (const char *p : {"/sys/module/ch7038b/parameters/bypass",
                          "/sys/module/ch7038b/parameters/force"})
      if (sys_access(p, 0) != 0) sys_write_text(p, "0\n");
  }
}

void sim_hdmi_tx_reset(void) {
  Transmitter &t = tx();
  std::lock_guard<std::mutex> l(t.lock);
  power_on(t);
}

uint8_t sim_hdmi_tx_reg(unsigned reg) {
  Transmitter &t = tx();
  std::lock_guard<std::mutex> l(t.lock);
  return t.regs[reg & 0xFF];
}

// A binary EDID, or hex text as edid-decode prints it; "-" removes it.
int sim_hdmi_tx_set_edid_file(const char *path) {
  if (!strcmp(path, "-")) {
    sys_unlink("/run/sim/edid.bin");
    return 0;
  }
  FILE *f = sys_fopen(path, "rb");
  if (!f) return -1;
  uint8_t data[2048];
  size_t n = fread(data, 1, sizeof data, f);
  fclose(f);
  std::string text((const char *)data, n);
  bool hex = n && text.find_first_not_of("0123456789abcdefABCDEF \t\r\n") == std::string::npos;
  size_t len = 0;
  if (hex) {
    unsigned b;
    int used;
    const char *s = text.c_str();
    while (len < 256 && sscanf(s, "%2x%n", &b, &used) == 1) {
      data[len++] = (uint8_t)b;
      s += used;
      while (*s == ' ' || *s == '\n' || *s == '\r' || *s == '\t') s++;
    }
  } else {
    len = n < 256 ? n : 256;
  }
  return sim_hdmi_tx_set_edid(data, len);
}

int sim_hdmi_tx_set_edid(const uint8_t *data, size_t len) {
  sys_mkdirs("/run/sim", 0755);
  FILE *f = sys_fopen("/run/sim/edid.bin", "wb");
  if (!f) return -1;
  bool ok = fwrite(data, 1, len, f) == len;
  return fclose(f) == 0 && ok ? 0 : -1;
}
