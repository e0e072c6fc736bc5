// mkroot <root> <www dir> [serial] [--no-sd] [--usb DEV:PORT]... [--no-usb]
//        [--no-monitor]: lays out a simulated board root the way the default
// settings expect it. A fresh root gets an SD card in its slot and a 4 GiB
// USB disk ("sda1") on hub port 3, the internal disk, so recording to the
// default "both USB disks" works out of the box; each --usb plugs a 1 GiB
// disk into a hub port instead (3 is the internal disk). The HDMI output has
// an ordinary 1080p television unless --no-monitor or an EDID is there.
// The command files of the simulated devices start empty: what a run before
// wrote there (keys held, screens asked for) does not outlive a power cycle.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include "platform/host_root.h"
#include "platform/root_layout.h"
#include "platform/sim/sim_control.h"

namespace {

// Inserts a volume unless the root has had it: a used root keeps what its
// runs wrote there, and a volume unplugged since stays out.
bool insert_new(const char *root, const char *dev, int port, unsigned long long bytes) {
  char marker[512];
  snprintf(marker, sizeof marker, "%s/run/sim/storage/%s.conf", root, dev);
  if (access(marker, F_OK) == 0) return true;
  if (sim_storage_insert(dev, port, bytes, "vfat") == 0) return true;
  fprintf(stderr, "mkroot: cannot insert %s\n", dev);
  return false;
}

const char *const kCommandFiles[] = {"sim_board.cmd", "sim_capture.cmd", "sim_display.cmd",
                                     "sim_input.cmd", "sim_storage.cmd"};

bool empty_command_files(const char *root) {
  for (const char *name : kCommandFiles) {
    char path[512];
    snprintf(path, sizeof path, "%s/run/%s", root, name);
    if (truncate(path, 0) != 0 && access(path, F_OK) == 0) {
      fprintf(stderr, "mkroot: cannot empty %s\n", path);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: mkroot <root> <www dir> [serial] [--no-sd] [--usb DEV:PORT]... [--no-usb] "
            "[--no-monitor]\n");
    return 2;
  }
  root_set(argv[1]);
  unsigned serial = 100001u;
  bool sd = true, default_usb = true, monitor = true;
  const char *usb[4];
  int nusb = 0;
  for (int i = 3; i < argc; i++) {
    if (strcmp(argv[i], "--no-sd") == 0) sd = false;
    else if (strcmp(argv[i], "--no-usb") == 0) default_usb = false;
    else if (strcmp(argv[i], "--no-monitor") == 0) monitor = false;
    else if (strcmp(argv[i], "--usb") == 0 && i + 1 < argc && nusb < 4) usb[nusb++] = argv[++i];
    else serial = (unsigned)strtoul(argv[i], nullptr, 10);
  }
  if (root_layout(argv[1], argv[2], serial) != 0) {
    fprintf(stderr, "mkroot: cannot lay out %s\n", argv[1]);
    return 1;
  }
  if (!empty_command_files(argv[1])) return 1;
  if (sd && !insert_new(argv[1], "mmcblk0p1", 0, 4ULL << 30)) return 1;
  if (nusb == 0 && default_usb && !insert_new(argv[1], "sda1", 3, 4ULL << 30)) return 1;
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
  char edid[512];
  snprintf(edid, sizeof edid, "%s/run/sim/edid.bin", argv[1]);
  if (monitor && access(edid, F_OK) != 0 && sim_hdmi_tx_plug_tv() != 0) {
    fprintf(stderr, "mkroot: cannot plug the monitor in\n");
    return 1;
  }
  return 0;
}
