// The custom web bundle's zip as an upload or a USB disk may bring it, read
// by our own zip reader before anything is written: nothing is read outside
// the bytes given, and no input makes it inflate past an entry's stated
// size. What the check passes, the load writes: stored in a memory flash and
// unpacked into a scratch web root holding a page, the bundle gives exactly
// the folders and files its names make, beside that page and its listing.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/firmware.h"
#include "core/mtd.h"
#include "fuzz_root.h"

namespace {

std::vector<uint8_t> g_block(MTD_ERASE_BLOCK, 0xFF);

// The bundle's flash block alone.
bool in_block(uint32_t off, size_t len) {
  return off >= MTD_WEBBUNDLE_OFF && off - MTD_WEBBUNDLE_OFF + len <= MTD_ERASE_BLOCK;
}
int block_read(void *buf, uint32_t off, size_t len) {
  if (!in_block(off, len)) return -1;
  memcpy(buf, g_block.data() + (off - MTD_WEBBUNDLE_OFF), len);
  return 0;
}
int block_write(const void *buf, uint32_t off, size_t len) {
  if (!in_block(off, len)) return -1;
  memcpy(g_block.data() + (off - MTD_WEBBUNDLE_OFF), buf, len);
  return 0;
}
int block_erase(uint32_t off) {
  if (!in_block(off, 1)) return -1;
  memset(g_block.data(), 0xFF, g_block.size());
  return 0;
}
const FirmwareFlash kBlockFlash = {block_read, block_write, block_erase};

uint32_t le(const uint8_t *p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

void remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR *d = opendir(path.c_str())) {
      while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) remove_tree(path + "/" + e->d_name);
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// Every name below dir: a folder's with a '/' after it.
void walk(const std::string &dir, const std::string &prefix, std::set<std::string> &out) {
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  while (dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string name = prefix + e->d_name, path = dir + "/" + e->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      out.insert(name + "/");
      walk(path, name + "/", out);
    } else {
      out.insert(name);
    }
  }
  closedir(d);
}

// What a checked bundle's names make, read from its central directory as a
// plain unzip would: every folder on the way, then the file (or folder).
// Empty and "." parts on the way name no folder of their own.
std::set<std::string> names_made(const uint8_t *zip, size_t size) {
  std::set<std::string> out;
  size_t end = size - 22;
  while (le(zip + end, 4) != 0x06054b50 || end + 22 + le(zip + end + 20, 2) != size) end--;
  uint32_t count = le(zip + end + 10, 2), at = le(zip + end + 16, 4);
  for (uint32_t i = 0; i < count; i++) {
    std::string name((const char *)zip + at + 46, le(zip + at + 28, 2)), made;
    for (size_t p = 0; p < name.size();) {
      size_t slash = name.find('/', p);
      std::string part = name.substr(p, slash == std::string::npos ? std::string::npos : slash - p);
      if (slash == std::string::npos) {
        made += part;
        out.insert(made);
        break;
      }
      if (!part.empty() && part != ".") out.insert(made += part + "/");
      p = slash + 1;
    }
    at += 46 + le(zip + at + 28, 2) + le(zip + at + 30, 2) + le(zip + at + 32, 2);
  }
  return out;
}

// A fresh web root holding one page.
void web_root_reset(const std::string &html) {
  remove_tree(html);
  if (mkdir((fuzz_root() + "/usr").c_str(), 0755) != 0 && errno != EEXIST) abort();
  if (mkdir(html.c_str(), 0755) != 0) abort();
  FILE *f = fopen((html + "/index.htm").c_str(), "w");
  if (!f) abort();
  fclose(f);
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  if (size > CUSTOMZIP_BLOCK_MAX - 4) return 0;
  const std::string html = fuzz_root() + "/usr/html";
  // Kept between inputs: only a load changes it.
  static bool ready;
  if (!ready) web_root_reset(html);
  ready = true;
  // An exact copy, so that a read past its end is caught.
  uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
  if (size) memcpy(copy, data, size);
  int checked = customzip_check(copy, (uint32_t)size);
  free(copy);
  if (checked != 0) return 0;
  firmware_flash = &kBlockFlash;
  memset(g_block.data(), 0xFF, g_block.size());
  uint32_t len = (uint32_t)size;
  uint8_t field[4] = {(uint8_t)len, (uint8_t)(len >> 8), (uint8_t)(len >> 16), (uint8_t)(len >> 24)};
  block_write(data, MTD_WEBBUNDLE_OFF + 4, size);
  block_write(field, MTD_WEBBUNDLE_OFF, 4);
  if (customzip_load() != 0) {
    fprintf(stderr, "a bundle the check passed did not load\n");
    abort();
  }
  std::set<std::string> want = names_made(data, size), got;
  want.insert("index.htm");
  want.insert("customzip.txt");
  walk(html, "", got);
  web_root_reset(html);
  if (got != want) {
    for (const std::string &n : want)
      if (!got.count(n)) fprintf(stderr, "the check passed %s, the load did not write it\n", n.c_str());
    for (const std::string &n : got)
      if (!want.count(n)) fprintf(stderr, "the load wrote %s, which the check did not pass\n", n.c_str());
    abort();
  }
  return 0;
}
