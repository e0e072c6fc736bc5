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

namespace {
// An ordinary 1080p television: 1080p60 preferred, 720p60; a CEA-861
// extension lists 1080p at 60, 50, 24, 25 and 30 Hz, 720p at 60 and 50,
// 480p and 576p in both aspects, 1080i at 60 and 50 and 640x480; LPCM
// stereo, an HDMI vendor block at 1.0.0.0 and a video capability block.
const uint8_t kTvEdid[256] = {
    0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x52, 0xd3, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x1e, 0x01, 0x03, 0x80, 0x50, 0x2d, 0x78, 0x0a, 0x0d, 0xc9, 0xa0, 0x57, 0x47, 0x98, 0x27,
    0x12, 0x48, 0x4c, 0x21, 0x08, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x02, 0x3a, 0x80, 0x18, 0x71, 0x38, 0x2d, 0x40, 0x58, 0x2c,
    0x45, 0x00, 0x20, 0xc2, 0x31, 0x00, 0x00, 0x1e, 0x01, 0x1d, 0x00, 0x72, 0x51, 0xd0, 0x1e, 0x20,
    0x6e, 0x28, 0x55, 0x00, 0x20, 0xc2, 0x31, 0x00, 0x00, 0x1e, 0x00, 0x00, 0x00, 0xfc, 0x00, 0x54,
    0x56, 0x0a, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x00, 0x00, 0x00, 0xfd,
    0x00, 0x18, 0x4b, 0x0f, 0x51, 0x11, 0x00, 0x0a, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x01, 0x11,
    0x02, 0x03, 0x24, 0xc1, 0x4e, 0x10, 0x1f, 0x20, 0x21, 0x22, 0x04, 0x13, 0x03, 0x12, 0x02, 0x11,
    0x05, 0x14, 0x01, 0x23, 0x09, 0x07, 0x07, 0x83, 0x01, 0x00, 0x00, 0x65, 0x03, 0x0c, 0x00, 0x10,
    0x00, 0xe2, 0x00, 0x4a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x6f,
};
}  // namespace

int sim_hdmi_tx_plug_tv(void) { return sim_hdmi_tx_set_edid(kTvEdid, sizeof kTvEdid); }
