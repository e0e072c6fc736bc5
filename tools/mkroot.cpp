// mkroot <root> <www dir> [serial]: lays out a simulated board root.
#include <cstdio>
#include <cstdlib>
#include "platform/host_root.h"
#include "platform/root_layout.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: mkroot <root> <www dir> [serial]\n");
    return 2;
  }
  root_set(argv[1]);
  unsigned serial = argc > 3 ? (unsigned)strtoul(argv[3], nullptr, 10) : 100001u;
  if (root_layout(argv[1], argv[2], serial) != 0) {
    fprintf(stderr, "mkroot: cannot lay out %s\n", argv[1]);
    return 1;
  }
  return 0;
}
