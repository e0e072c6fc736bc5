// The board's on-board USB hub as its usbfs device file (/dev/usbdev1.2):
// the device descriptor on read, and hub class control requests. Switching a
// port's power off pulls the disk attached to it; switching it on plugs the
// disk back in.
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/device.h"
#include "platform/host_root.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

constexpr int kPorts = 4;
std::mutex g_lock;
bool g_powered[kPorts + 1] = {true, true, true, true, true};
// Disks pulled by a power-off: device names and their /sys/block links.
std::string g_pulled[kPorts + 1];

const uint8_t kDeviceDescriptor[18] = {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x24, 0x04,
                                       0x12, 0x25, 0xb3, 0x0b, 0, 0, 0, 1};

// The sd disks whose /sys/block link names this port.
std::string disks_on_port(int port) {
  std::string found;
  char pattern[32];
  snprintf(pattern, sizeof pattern, "usb1/1-1/1-1.%d/", port);
  for (char c = 'a'; c <= 'e'; c++) {
    std::string link = std::string("/sys/block/sd") + c;
    char target[300];
    ssize_t n = sys_readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = 0;
    if (strstr(target, pattern)) found += c;
  }
  return found;
}

void power(int port, bool on) {
  if (g_powered[port] == on) return;
  g_powered[port] = on;
  if (!on) {
    std::string letters = disks_on_port(port);
    g_pulled[port].clear();
    for (char c : letters) {
      for (const char *suffix : {"1", ""}) {
        std::string dev = std::string("sd") + c + suffix;
        if (sys_access(("/dev/" + dev).c_str(), 0) == 0) {
          g_pulled[port] += dev + " ";
          sim_storage_remove(dev.c_str());
        }
      }
    }
  } else {
    std::string list = g_pulled[port];
    size_t s = 0, e;
    while ((e = list.find(' ', s)) != std::string::npos) {
      sim_storage_insert(list.substr(s, e - s).c_str(), port, 0, nullptr);
      s = e + 1;
    }
    g_pulled[port].clear();
  }
}

ssize_t hub_read(SimFile *f, void *buf, size_t n) {
  size_t left = f->pos < (off_t)sizeof kDeviceDescriptor ? sizeof kDeviceDescriptor - f->pos : 0;
  if (n > left) n = left;
  memcpy(buf, kDeviceDescriptor + f->pos, n);
  f->pos += (off_t)n;
  return (ssize_t)n;
}

int hub_ioctl(SimFile *, unsigned long request, void *arg) {
  if (request != USBDEVFS_CONTROL) return -ENOTTY;
  usbdevfs_ctrltransfer *c = (usbdevfs_ctrltransfer *)arg;
  std::lock_guard<std::mutex> l(g_lock);
  uint8_t *data = (uint8_t *)c->data;
  if (c->bRequestType == 0xA0 && c->bRequest == 6 && c->wValue == 0x2900) {
    const uint8_t hub[9] = {9, 0x29, kPorts, 0x09, 0, 50, 100, 0, 0xFF};
    size_t n = c->wLength < sizeof hub ? c->wLength : sizeof hub;
    memcpy(data, hub, n);
    return (int)n;
  }
  int port = c->wIndex;
  if (port < 1 || port > kPorts) return -EPIPE;
  if (c->bRequestType == 0x23 && (c->bRequest == 3 || c->bRequest == 1) && c->wValue == 8) {
    power(port, c->bRequest == 3);
    return 0;
  }
  if (c->bRequestType == 0xA3 && c->bRequest == 0 && c->wLength >= 4) {
    uint16_t status = g_powered[port] ? 0x100 : 0;
    if (g_powered[port] && !disks_on_port(port).empty()) status |= 0x1 | 0x2 | 0x400;
    data[0] = (uint8_t)status;
    data[1] = (uint8_t)(status >> 8);
    data[2] = data[3] = 0;
    return 4;
  }
  return -EPIPE;
}

const SimDriverOps kHubOps = {nullptr, nullptr, hub_read, nullptr, hub_ioctl, nullptr, nullptr};

}  // namespace

void sim_usbhub_register(void) { sim_register("/dev/usbdev1.2", &kHubOps, nullptr); }

int sim_usbhub_port_powered(int port) {
  std::lock_guard<std::mutex> l(g_lock);
  return port >= 1 && port <= kPorts && g_powered[port];
}
