// Lays out a simulated board root: dev/mtd0 (16 MiB flash image holding a
// BoardInfo with the serial number), sys/class/video4linux names, usr/html
// (a copy of the web root www_dir when given), media/, run/, etc/, tmp/.
// Leaves what already exists alone. 0 or -1.
#pragma once
#include <cstdint>
int root_layout(const char *root, const char *www_dir, uint32_t serial);
