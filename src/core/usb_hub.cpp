#include "core/usb_hub.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include "core/log.h"
#include "platform/device.h"

namespace {

constexpr unsigned kTimeoutMs = 5000;

int control(int fd, uint8_t type, uint8_t request, uint16_t value, uint16_t index, void *data,
            uint16_t length) {
  usbdevfs_ctrltransfer c = {};
  c.bRequestType = type;
  c.bRequest = request;
  c.wValue = value;
  c.wIndex = index;
  c.wLength = length;
  c.timeout = kTimeoutMs;
  c.data = data;
  return dev_ioctl(fd, USBDEVFS_CONTROL, &c);
}

void print_status(int fd, int port, uint16_t bcd_usb) {
  uint8_t st[4] = {0};
  if (control(fd, 0xA3, 0 /* GET_STATUS */, 0, (uint16_t)port, st, 4) < 0) {
    fprintf(stderr, "Error in ioctl (get port %d status): %s\n", port, strerror(errno));
    return;
  }
  unsigned s = st[0] | (st[1] << 8);
  char line[160];
  int n = snprintf(line, sizeof line, "Port %2d status: %04x ", port, s);
  struct Bit { unsigned mask; const char *name; };
  if (bcd_usb <= 0x0201) {
    const Bit old_bits[] = {{0x1000, " Indicator"}, {0x800, " Test-Mode"}, {0x400, " High-Speed"},
                            {0x200, " Low-Speed"}};
    for (const Bit &b : old_bits)
      if (s & b.mask) n += snprintf(line + n, sizeof line - n, "%s", b.name);
    n += snprintf(line + n, sizeof line - n, "%s", (s & 0x100) ? " Power-On" : " Power-Off");
  }
  const Bit bits[] = {{0x10, " Resetting"}, {0x8, " Overcurrent"}, {0x4, " Suspended"},
                      {0x2, " Enabled"}, {0x1, " Connected"}};
  for (const Bit &b : bits)
    if (s & b.mask) n += snprintf(line + n, sizeof line - n, "%s", b.name);
  log_printf("%s\n", line);
}

}  // namespace

int usb_hub_port_power(const char *path, int port, int on) {
  int fd = dev_open(path, O_RDWR);
  if (fd < 0) {
    int e = errno;
    perror(path);
    return -e;
  }
  uint8_t desc[18];
  if (dev_read(fd, desc, sizeof desc) != (ssize_t)sizeof desc) {
    perror("Error reading device descriptor");
    dev_close(fd);
    return 1;
  }
  if (desc[4] != 9) {
    log_printf("%s is not a hub\n", path);
    dev_close(fd);
    return 1;
  }
  uint16_t bcd_usb = (uint16_t)(desc[2] | (desc[3] << 8));
  uint8_t hub[7];
  if (control(fd, 0xA0, 6 /* GET_DESCRIPTOR */, 0x2900, 0, hub, sizeof hub) < 0) {
    perror("Error in ioctl (read hub descriptor)");
    dev_close(fd);
    return 1;
  }
  if (control(fd, 0x23, on ? 3 : 1, 8 /* PORT_POWER */, (uint16_t)port, nullptr, 0) < 0)
    fprintf(stderr, "Error in ioctl (set/clear port %d feature): %s\n", port, strerror(errno));
  print_status(fd, port, bcd_usb);
  dev_close(fd);
  return 0;
}
