// mkroot <root> <www dir> [serial] [--no-sd]: lays out a simulated board
// root. A fresh root gets an SD card in its slot, so recording works out of
// the box.
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
  for (int i = 3; i < argc; i++) {
    if (strcmp(argv[i], "--no-sd") == 0) sd = false;
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
  return 0;
}
