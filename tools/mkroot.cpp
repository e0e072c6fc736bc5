// mkroot <root> <www dir> [serial] [--no-sd] [--usb DEV:PORT]...: lays out a
// simulated board root. A fresh root gets an SD card in its slot, so
// recording works out of the box; each --usb plugs a 1 GiB disk ("sda1")
// into a hub port (3 is the internal disk).
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include "platform/host_root.h"
#include "platform/root_layout.h"
#include "platform/sim/sim_control.h"
#include <cstring>

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: mkroot <root> <www dir> [serial]\n");
    return 2;
  }
  root_set(argv[1]);
  unsigned serial = 100001u;
  bool sd = true;
  const char *usb[4];
  int nusb = 0;
  for (int i = 3; i < argc; i++) {
    if (strcmp(argv[i], "--no-sd") == 0) sd = false;
    else if (strcmp(argv[i], "--usb") == 0 && i + 1 < argc && nusb < 4) usb[nusb++] = argv[++i];
    else serial = (unsigned)strtoul(argv[i], nullptr, 10);
  }
  if (root_layout(argv[1], argv[2], serial) != 0) {
    fprintf(stderr, "mkroot: cannot lay out %s\n", argv[1]);
    return 1;
  }
  char marker[512];
  snprintf(marker, sizeof marker, "%s/run/sim/storage/mmcblk0p1.conf", argv[1]);
  if (sd && access(marker, F_OK) != 0 && sim_storage_insert("mmcblk0p1", 0, 4ULL << 30, "vfat") != 0) {
    fprintf(stderr, "mkroot: cannot insert the SD card\n");
    return 1;
  }
  for (int i = 0; i < nusb; i++) {
    char dev[32];
    snprintf(dev, sizeof dev, "%s", usb[i]);
    char *colon = strchr(dev, ':');
    int port = colon ? atoi(colon + 1) : 1;
    if (colon) *colon = 0;
    if (sim_storage_insert(dev, port, 1ULL << 30, "vfat") != 0) {
      fprintf(stderr, "mkroot: cannot insert %s\n", dev);
      return 1;
    }
  }
  return 0;
}
