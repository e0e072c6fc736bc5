// A Wi-Fi tools archive as a USB disk may carry it, read from its file and
// walked from memory: whether the whole-archive check takes it or not, the
// walk writes nothing outside <root>/Wifi, follows no link and reads
// nothing outside the bytes it was given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/firmware.h"
#include "fuzz_root.h"

int fuzz_one(const uint8_t *data, size_t size) {
  const std::string &root = fuzz_root();
  std::string file = root + "/wifi_archive.tar";
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data, size) != (ssize_t)size) abort();
  uint64_t n = 0;
  uint8_t *checked = wifi_archive_read(fd, &n);
  close(fd);
  unlink(file.c_str());
  if (checked && n != size) abort();
  free(checked);
  // An exact copy, so that a read past its end is caught.
  uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
  if (size) memcpy(copy, data, size);
  wifi_archive_unpack(copy, size);
  free(copy);
  DIR *d = opendir(root.c_str());
  while (dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && strcmp(e->d_name, "Wifi")) {
      fprintf(stderr, "the archive wrote %s outside /Wifi\n", e->d_name);
      abort();
    }
  }
  closedir(d);
  return 0;
}
