// The custom web bundle: a zip of pages kept in the last flash block and
// unpacked over the web root at every start. unzip unpacks it, but only
// after our own reading of the zip has found nothing in it that could land
// outside the web root or grow past its budget.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "core/firmware.h"
#include "core/log.h"
#include "core/mtd.h"
#include "platform/host_root.h"
#include "platform/runner.h"

namespace {

int g_size = -1;

uint32_t le32(const uint8_t *p) {
  return (uint32_t)p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

uint16_t le16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

// The zip format's records (PKWARE APPNOTE): end of central directory,
// central directory entry, local header.
constexpr uint32_t kEndSig = 0x06054b50, kCentralSig = 0x02014b50, kLocalSig = 0x04034b50;
constexpr uint32_t kEndSize = 22, kCentralSize = 46, kLocalSize = 30;
constexpr uint32_t kEntriesMax = 4096;
constexpr uint32_t kNameMax = 255;

// The end record: the last one whose comment reaches exactly the end of
// the file. Its offset, or -1.
int64_t find_end(const uint8_t *zip, uint32_t size) {
  if (size < kEndSize) return -1;
  // No further back than the longest comment reaches.
  int64_t lowest = std::max<int64_t>(0, (int64_t)size - kEndSize - 0xFFFF);
  for (int64_t at = size - kEndSize; at >= lowest; at--)
    if (le32(zip + at) == kEndSig && at + kEndSize + le16(zip + at + 20) == size) return at;
  return -1;
}

// A name unzip would put below its target as it is: relative, no ".."
// component, no backslash (which unzip may take for a separator), no
// control byte.
bool name_plain(const uint8_t *name, uint32_t n) {
  if (n == 0 || n > kNameMax || name[0] == '/') return false;
  for (uint32_t i = 0; i < n; i++)
    if (name[i] < 0x20 || name[i] == 0x7F || name[i] == '\\') return false;
  for (uint32_t i = 0; i < n;) {
    uint32_t e = i;
    while (e < n && name[e] != '/') e++;
    if (e - i == 2 && name[i] == '.' && name[i + 1] == '.') return false;
    i = e + 1;
  }
  return true;
}

// The entry's data inflates (or, stored, is) exactly usize bytes with the
// stated CRC; nothing beyond usize is ever produced.
bool data_sound(const uint8_t *data, uint32_t csize, uint32_t usize, uint16_t method, uint32_t crc) {
  if (method == 0) return csize == usize && crc32(0L, data, usize) == crc;
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  uint8_t out[16384];   // the web thread and the start or menu may check at once
  z.next_in = const_cast<uint8_t *>(data);
  z.avail_in = csize;
  uLong sum = 0;   // the CRC of nothing
  uint64_t total = 0;
  // inflate answers Z_BUF_ERROR when it can make no progress: a stream
  // cut short ends the loop.
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = out;
    z.avail_out = sizeof out;
    rc = inflate(&z, Z_NO_FLUSH);
    size_t got = sizeof out - z.avail_out;
    total += got;
    if (total > usize) break;
    sum = crc32(sum, out, (uInt)got);
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END && total == usize && sum == crc;
}

struct Span {
  uint32_t start, end;     // a local header and the end of its data
};

int span_order(const void *a, const void *b) {
  uint32_t x = ((const Span *)a)->start, y = ((const Span *)b)->start;
  return x < y ? -1 : x > y;
}

int refuse(const char *why, uint32_t entry) {
  log_printf("%s: entry %u: %s\n", "customzip_check", entry, why);
  return -1;
}

int write_file(const char *path, const void *data, size_t len) {
  int fd = sys_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  bool ok = write(fd, data, len) == (ssize_t)len;
  close(fd);
  return ok ? 0 : -1;
}

int check_entries(const uint8_t *zip, uint32_t size, uint32_t cd, uint32_t count, Span *spans) {
  uint64_t unpacked = 0;
  // at never passes size: cd lies before it, and each step is checked.
  uint32_t at = cd, files = 0;
  for (uint32_t i = 0; i < count; i++) {
    if (size - at < kCentralSize || le32(zip + at) != kCentralSig)
      return refuse("central directory damaged", i);
    const uint8_t *c = zip + at;
    uint16_t flags = le16(c + 8), method = le16(c + 10);
    uint32_t crc = le32(c + 16), csize = le32(c + 20), usize = le32(c + 24);
    uint32_t nlen = le16(c + 28), rest = nlen + le16(c + 30) + le16(c + 32);
    uint32_t mode = le32(c + 38) >> 16, local = le32(c + 42);
    if (size - at - kCentralSize < rest) return refuse("central directory damaged", i);
    const uint8_t *name = c + kCentralSize;
    if (!name_plain(name, nlen)) return refuse("name is absolute, climbs out or is not plain", i);
    // The Unix file type, where the zip gives one: links, devices and
    // pipes have no place in a web root.
    if ((mode & S_IFMT) && (mode & S_IFMT) != S_IFREG && (mode & S_IFMT) != S_IFDIR)
      return refuse("a link or special file", i);
    if (flags & 1) return refuse("encrypted", i);
    if (method != 0 && method != 8) return refuse("unknown compression", i);
    unpacked += usize;
    if (unpacked > CUSTOMZIP_UNPACKED_MAX) return refuse("the bundle unpacks past its budget", i);
    // The local header must name the same entry, and its data must lie in
    // the zip before the central directory.
    if ((uint64_t)local + kLocalSize + nlen > cd) return refuse("local header outside the zip", i);
    const uint8_t *l = zip + local;
    uint32_t lnlen = le16(l + 26), data = local + kLocalSize + lnlen + le16(l + 28);
    if (le32(l) != kLocalSig || lnlen != nlen || data > cd || cd - data < csize ||
        memcmp(l + kLocalSize, name, nlen) != 0 || le16(l + 8) != method)
      return refuse("local header does not match", i);
    if (!data_sound(zip + data, csize, usize, method, crc)) return refuse("data does not unpack as stated", i);
    spans[files++] = {local, data + csize};
    at += kCentralSize + rest;
  }
  if (at != size) return refuse("central directory damaged", count);
  // No two entries share bytes: a zip whose entries overlap unpacks the
  // same data many times over.
  qsort(spans, files, sizeof *spans, span_order);
  for (uint32_t i = 1; i < files; i++)
    if (spans[i].start < spans[i - 1].end) return refuse("entries overlap", i);
  return 0;
}

}  // namespace

int customzip_check(const uint8_t *zip, uint32_t size) {
  int64_t end = find_end(zip, size);
  if (end < 0) return refuse("no end record", 0);
  const uint8_t *e = zip + end;
  uint32_t count = le16(e + 10), cd_size = le32(e + 12), cd = le32(e + 16);
  // One disk, no zip64, and the central directory right before the end
  // record: nothing in the file that two readers could take differently.
  if (le16(e + 4) || le16(e + 6) || le16(e + 8) != count || count > kEntriesMax ||
      (uint64_t)cd + cd_size != (uint64_t)end)
    return refuse("end record damaged", count);
  Span *spans = (Span *)malloc(kEntriesMax * sizeof(Span));
  if (!spans) return -1;
  int rc = check_entries(zip, (uint32_t)end, cd, count, spans);
  free(spans);
  return rc;
}

int customzip_load(void) {
  uint8_t field[4];
  if (firmware_flash->read(field, MTD_WEBBUNDLE_OFF, sizeof field) != 0) return -1;
  int32_t len = (int32_t)le32(field);
  if (len < 1) return 0;
  if ((uint32_t)len > CUSTOMZIP_BLOCK_MAX) return -1;
  uint8_t *zip = (uint8_t *)malloc((size_t)len);
  if (!zip) {
    log_printf("customzip_load failed to allocate memory size=%d\n", len);
    return -1;
  }
  int rc = firmware_flash->read(zip, MTD_WEBBUNDLE_OFF + 4, (size_t)len) == 0 ? 0 : -1;
  // A bundle stored by an earlier program is read as strictly as a new one.
  if (rc == 0 && customzip_check(zip, (uint32_t)len) != 0) {
    free(zip);
    return -1;
  }
  if (rc == 0) rc = write_file("/custom.zip", zip, (size_t)len);
  free(zip);
  log_printf("customzip size=%d rc=%d\n", len, rc);
  if (rc != 0) {
    log_printf("customzip failed to open file\n");
    return -1;
  }
  g_size = len;
  static char listing[64 * 1024];
  const char *const list[] = {"unzip", "-l", "/custom.zip", nullptr};
  int status = run_argv_output(list, listing, sizeof listing);
  write_file("/usr/html/customzip.txt", listing, strlen(listing));
  const char *const unpack[] = {"unzip", "-o", "/custom.zip", "-d", "/usr/html", nullptr};
  run_argv(unpack);
  sys_unlink("/custom.zip");
  return status;
}

int customzip_clear(void) {
  firmware_flash->erase(MTD_WEBBUNDLE_OFF);
  sys_unlink("/usr/html/customzip.txt");
  sys_unlink("/usr/html/config.txt");
  g_size = -1;
  return 0;
}

int customzip_save(const uint8_t *block, uint32_t size) {
  if (size > CUSTOMZIP_BLOCK_MAX || size < 4 || le32(block) != size - 4) {
    log_printf("%s: size is invalid %u != %u\n", "customzip_save", size >= 4 ? le32(block) : 0,
               size >= 4 ? size - 4 : 0);
    return -1;
  }
  if (customzip_check(block + 4, size - 4) != 0) return -1;
  customzip_clear();
  log_printf("%s: size=%u\n", "customzip_save", size);
  if (firmware_flash->write(block, MTD_WEBBUNDLE_OFF, size) != 0) return -1;
  return customzip_load();
}

int customzip_save_file(int fd) {
  uint8_t *zip;
  uint64_t n;
  int rc = firmware_file_read(fd, CUSTOMZIP_BLOCK_MAX - 5, &zip, &n);
  if (rc > 0) return 2;
  if (rc < 0) return 3;
  uint8_t *block = (uint8_t *)malloc(CUSTOMZIP_BLOCK_MAX);
  if (!block) {
    rc = 3;
  } else if (n == 0) {
    sys_unlink("/usr/html/config.txt");
    customzip_clear();
    rc = 1;
  } else if (customzip_check(zip, (uint32_t)n) != 0) {
    rc = 3;
  } else {
    sys_unlink("/usr/html/config.txt");
    uint32_t len = (uint32_t)n;
    block[0] = len; block[1] = len >> 8; block[2] = len >> 16; block[3] = len >> 24;
    memcpy(block + 4, zip, n);
    rc = customzip_save(block, len + 4) < 0 ? 3 : 0;
  }
  free(block);
  free(zip);
  return rc;
}

int customzip_size(void) { return g_size; }
