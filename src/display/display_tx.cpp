#include "display/display_tx.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "core/log.h"
#include "core/param_block.h"
#include "display/display_std.h"
#include "display/edid.h"
#include "platform/device.h"
#include "platform/display_ioctl.h"
#include "platform/host_root.h"

namespace {

int g_fd = -1;
bool g_ch7038b;
bool g_edid_needed = true;
DisplayEdidRequest g_edid;

}  // namespace

int display_tx_open(void) {
  char name[64];
  sys_read_text("/sys/class/video4linux/v4l-subdev6/name", name, sizeof name, true);
  size_t n = strlen(name);
  while (n && (name[n - 1] == '\n' || name[n - 1] == ' ')) name[--n] = 0;
  g_ch7038b = strcmp(name, "ch7038b 1-0078") == 0;
  if (g_fd < 0) g_fd = dev_open("/dev/v4l-subdev6", O_RDWR | O_CLOEXEC);
  g_edid_needed = true;
  return g_fd >= 0 ? 0 : -1;
}

void display_tx_close(void) {
  if (g_fd >= 0) dev_close(g_fd);
  g_fd = -1;
}

int display_tx_fd(void) { return g_fd; }

bool display_is_ch7038b(void) { return g_ch7038b; }

int hdmi_tx_reg_read(uint32_t reg) {
  if (g_fd < 0 || g_ch7038b) return -1;
  v4l2_dbg_register r = {};
  r.match.type = V4L2_CHIP_MATCH_I2C_ADDR;
  r.match.addr = HDMI_TX_I2C_ADDR;
  r.reg = reg;
  // A failed request reads as 0, and the register line is printed all the
  // same.
  if (dev_ioctl(g_fd, VIDIOC_DBG_G_REGISTER, &r) < 0) {
    perror("VIDIOC_DBG_G_REGISTER");
    printf("i2c_addr=0x%02x reg=0x%x\n", 0x76, reg);
    r.val = 0;
  }
  printf("reg %02x: %02x\n", reg, (unsigned)r.val);
  return (int)(r.val & 0xFF);
}

void hdmi_tx_reg_write(uint32_t reg, uint32_t value) {
  if (g_fd < 0 || g_ch7038b) return;
  v4l2_dbg_register r = {};
  r.match.type = V4L2_CHIP_MATCH_I2C_ADDR;
  r.match.addr = HDMI_TX_I2C_ADDR;
  r.reg = reg;
  r.val = value;
  if (dev_ioctl(g_fd, VIDIOC_DBG_S_REGISTER, &r) < 0) {
    perror("VIDIOC_DBG_S_REGISTER");
    printf("i2c_addr=0x%02x reg=0x%x val=0x%x\n", 0x76, reg, value);
  }
}

static int read_edid(void) {
  if (g_fd < 0 || g_ch7038b) return -1;
  if (dev_ioctl(g_fd, V4L2_G_EDID, &g_edid) < 0) {
    perror("V4L2_G_EDID");
    return -1;
  }
  return 0;
}

const uint8_t *display_read_edid(void) {
  read_edid();
  return g_edid.edid;
}

void display_edid_forget(void) { g_edid_needed = true; }

int display_edid_load(void) {
  if (g_ch7038b || g_fd < 0) return -1;
  if (g_edid_needed) {
    if (read_edid() < 0) {
      memset(edid_table(), 0, sizeof *edid_table());
      return -1;
    }
    edid_decode(g_edid.edid);
    g_edid_needed = false;
  }
  return 0;
}

int display_edid_lookup(int width, int height, int rate, int interlaced) {
  if (display_edid_load() != 0) return -1;
  return edid_lookup_rate(width, height, rate, interlaced);
}

int get_edid_std(int width, int height, int fps, int interlaced) {
  int std = get_std_from_mode(width, height, interlaced ? SCAN_INTERLACED : SCAN_PROGRESSIVE,
                              fps * 1000);
  const ParamBlock *pb = get_param_block();
  if ((std >= 0 && std < 32 && (pb->dvr_allow_modes >> std & 1)) || std == pb->display.standard)
    return std;
  int idx = display_edid_lookup(width, height, video_std_fps(std) * 1000, interlaced);
  log_printf("%s: %dx%d%c%d idx=%d\n", "get_edid_std", width, height, interlaced ? 'i' : 'p', fps,
             idx);
  return idx >= 0 ? std : 0;
}
