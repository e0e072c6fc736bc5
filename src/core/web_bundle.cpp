// The custom web bundle: a zip of pages kept in the last flash block and
// unpacked over the web root at every start. Our own reading of the zip
// refuses anything that could land outside the web root, grow past its
// budget or be read otherwise by another zip reader; the entries it passed,
// and only those, are then written by us, never through a link.
#include <algorithm>
#include <cerrno>
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

namespace {

int g_size = -1;

uint32_t le32(const uint8_t *p) {
  return (uint32_t)p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

uint16_t le16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

// The zip format's records (PKWARE APPNOTE): end of central directory,
// central directory entry, local header.
constexpr uint32_t kEndSig = 0x06054b50, kCentralSig = 0x02014b50, kLocalSig = 0x04034b50;
// zip64's end record and its locator: a reader that finds either takes
// the central directory they point at.
constexpr uint32_t kEnd64Sig = 0x06064b50, kLocator64Sig = 0x07064b50;
// Extra fields that give an entry another name or other sizes: zip64's
// sizes, the Info-ZIP Unicode Path.
constexpr uint16_t kExtraZip64 = 0x0001, kExtraUnicodePath = 0x7075;
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

// A name that stays below the web root as it is: relative, no ".."
// component, no backslash (which other zip readers may take for a
// separator), no control byte.
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

// A header's extra fields (id, length, data) lie within it, and none of
// them names the entry anew or gives other sizes. Fewer than four bytes
// left over are padding, as some aligning tools leave.
bool extra_plain(const uint8_t *x, uint32_t n) {
  for (uint32_t i = 0; n - i >= 4;) {
    uint16_t id = le16(x + i);
    uint32_t len = le16(x + i + 2);
    if (id == kExtraZip64 || id == kExtraUnicodePath || n - i - 4 < len) return false;
    i += 4 + len;
  }
  return true;
}

int write_all(int fd, const uint8_t *p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return -1;
    }
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

// The entry's data inflates (or, stored, is) exactly usize bytes with the
// stated CRC; nothing beyond usize is ever produced. With fd >= 0 the bytes
// are written there as they come: false then too when a write fails.
bool data_sound(const uint8_t *data, uint32_t csize, uint32_t usize, uint16_t method, uint32_t crc,
                int fd = -1) {
  if (method == 0)
    return csize == usize && crc32(0L, data, usize) == crc && (fd < 0 || write_all(fd, data, usize) == 0);
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
    if (fd >= 0 && write_all(fd, out, got) != 0) break;
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END && total == usize && sum == crc;
}

struct Span {
  uint32_t start, end;     // a local header and the end of its data
};

// One entry as the check passed it, in central directory order.
struct Entry {
  uint32_t name, nlen;     // the central header's name
  uint32_t data, csize, usize, crc;
  uint16_t method, time, date;
};

int span_order(const void *a, const void *b) {
  uint32_t x = ((const Span *)a)->start, y = ((const Span *)b)->start;
  return x < y ? -1 : x > y;
}

int refuse(const char *why, uint32_t entry) {
  log_printf("%s: entry %u: %s\n", "customzip_check", entry, why);
  return -1;
}

int check_entries(const uint8_t *zip, uint32_t size, uint32_t cd, uint32_t count, Span *spans,
                  Entry *entries) {
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
    if (!extra_plain(name + nlen, le16(c + 30))) return refuse("an extra field names or sizes it anew", i);
    if (flags & 1) return refuse("encrypted", i);
    if (method != 0 && method != 8) return refuse("unknown compression", i);
    unpacked += usize;
    if (unpacked > CUSTOMZIP_UNPACKED_MAX) return refuse("the bundle unpacks past its budget", i);
    // The local header must tell the same entry (its sizes and CRC may be
    // left 0 for a data descriptor, flag bit 3), and its data must lie in
    // the zip before the central directory.
    if ((uint64_t)local + kLocalSize + nlen > cd) return refuse("local header outside the zip", i);
    const uint8_t *l = zip + local;
    uint32_t lnlen = le16(l + 26), lextra = le16(l + 28), data = local + kLocalSize + lnlen + lextra;
    bool described = (flags | le16(l + 6)) & 8;
    auto same = [&](uint32_t at, uint32_t v) { return le32(l + at) == v || (described && le32(l + at) == 0); };
    if (le32(l) != kLocalSig || lnlen != nlen || data > cd || cd - data < csize ||
        memcmp(l + kLocalSize, name, nlen) != 0 || le16(l + 8) != method || (le16(l + 6) & 1) ||
        !same(14, crc) || !same(18, csize) || !same(22, usize))
      return refuse("local header does not match", i);
    if (!extra_plain(l + kLocalSize + nlen, lextra)) return refuse("an extra field names or sizes it anew", i);
    if (!data_sound(zip + data, csize, usize, method, crc)) return refuse("data does not unpack as stated", i);
    entries[files] = {at + kCentralSize, nlen, data, csize, usize, crc, method, le16(c + 12), le16(c + 14)};
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

// Reads and checks a bundle: the number of its entries, each in entries
// (room for kEntriesMax), or -1 (logged).
int bundle_read(const uint8_t *zip, uint32_t size, Entry *entries) {
  int64_t end = find_end(zip, size);
  if (end < 0) return refuse("no end record", 0);
  const uint8_t *e = zip + end;
  uint32_t count = le16(e + 10), cd_size = le32(e + 12), cd = le32(e + 16);
  // One disk, no zip64, and the central directory right before the end
  // record: nothing in the file that two readers could take differently.
  if (le16(e + 4) || le16(e + 6) || le16(e + 8) != count || count > kEntriesMax ||
      (uint64_t)cd + cd_size != (uint64_t)end)
    return refuse("end record damaged", count);
  // A reader that looks back from the file's end for an end record, or
  // for zip64's, must find none but ours: another hidden in a comment
  // would point it at a central directory we never read.
  for (uint32_t at = cd; at + 4 <= size; at++) {
    uint32_t sig = le32(zip + at);
    if ((sig == kEndSig && at != end) || sig == kEnd64Sig || sig == kLocator64Sig)
      return refuse("another end record after the central directory", count);
  }
  Span *spans = (Span *)malloc(kEntriesMax * sizeof(Span));
  if (!spans) return -1;
  int rc = check_entries(zip, (uint32_t)end, cd, count, spans, entries);
  free(spans);
  return rc == 0 ? (int)count : -1;
}

// Creates name in the folder dir afresh, never through a link: whatever
// else stands there (a page of an older bundle, a link) is removed first.
int create_fresh(int dir, const char *name) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) unlinkat(dir, name, 0);
  return openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Opens the folder name in dir, made when missing; a link or a file
// standing there is replaced by the folder.
int folder_open(int dir, const char *name) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir, name, flags);
  if (fd >= 0 || (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)) return fd;
  if (errno != ENOENT) unlinkat(dir, name, 0);
  if (mkdirat(dir, name, 0755) != 0 && errno != EEXIST) return -1;
  return openat(dir, name, flags);
}

// Writes one checked entry below the web root (folder fd root): its
// folders, then its file with exactly the checked bytes. 0 or -1.
int entry_write(int root, const uint8_t *zip, const Entry &e) {
  char name[kNameMax + 1];
  memcpy(name, zip + e.name, e.nlen);
  name[e.nlen] = 0;
  int dir = dup(root);
  char *part = name;
  for (char *slash; dir >= 0 && (slash = strchr(part, '/')); part = slash + 1) {
    *slash = 0;
    if (*part == 0 || strcmp(part, ".") == 0) continue;
    int next = folder_open(dir, part);
    close(dir);
    dir = next;
  }
  if (dir < 0) return -1;
  int rc = 0;
  if (*part) {
    int fd = create_fresh(dir, part);
    rc = fd >= 0 && data_sound(zip + e.data, e.csize, e.usize, e.method, e.crc, fd) ? 0 : -1;
    if (fd >= 0) close(fd);
  }
  close(dir);
  return rc;
}

// The listing the web root shows of the bundle, in unzip's -l layout.
int listing_write(int root, const uint8_t *zip, const Entry *entries, int count) {
  int fd = create_fresh(root, "customzip.txt");
  FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (!f) {
    if (fd >= 0) close(fd);
    return -1;
  }
  fprintf(f, "Archive:  /custom.zip\n  Length      Date    Time    Name\n"
             "---------  ---------- -----   ----\n");
  uint64_t total = 0;
  for (int i = 0; i < count; i++) {
    const Entry &e = entries[i];
    total += e.usize;
    fprintf(f, "%9u  %04d-%02d-%02d %02d:%02d   %.*s\n", e.usize, (e.date >> 9) + 1980, e.date >> 5 & 15,
            e.date & 31, e.time >> 11, e.time >> 5 & 63, (int)e.nlen, (const char *)zip + e.name);
  }
  fprintf(f, "---------                     -------\n%9llu                     %d file%s\n",
          (unsigned long long)total, count, count == 1 ? "" : "s");
  return fclose(f) == 0 ? 0 : -1;
}

}  // namespace

int customzip_check(const uint8_t *zip, uint32_t size) {
  Entry *entries = (Entry *)malloc(kEntriesMax * sizeof(Entry));
  if (!entries) return -1;
  int count = bundle_read(zip, size, entries);
  free(entries);
  return count < 0 ? -1 : 0;
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
  Entry *entries = (Entry *)malloc(kEntriesMax * sizeof(Entry));
  int rc = entries && firmware_flash->read(zip, MTD_WEBBUNDLE_OFF + 4, (size_t)len) == 0 ? 0 : -1;
  // A bundle stored by an earlier program is read as strictly as a new one.
  int count = rc == 0 ? bundle_read(zip, (uint32_t)len, entries) : 0;
  int root = -1;
  if (count >= 0) {
    if (rc == 0) root = sys_open("/usr/html", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) rc = -1;
    log_printf("customzip size=%d rc=%d\n", len, rc);
    if (rc != 0) log_printf("customzip failed to open file\n");
  }
  if (root >= 0) {
    g_size = len;
    if (listing_write(root, zip, entries, count) != 0) {
      log_printf("%s: %s: %s\n", "customzip_load", "customzip.txt", strerror(errno));
      rc = -1;
    }
    for (int i = 0; i < count; i++) {
      if (entry_write(root, zip, entries[i]) == 0) continue;
      log_printf("%s: %.*s: %s\n", "customzip_load", (int)entries[i].nlen,
                 (const char *)zip + entries[i].name, strerror(errno));
      rc = -1;
      break;
    }
    close(root);
  }
  free(entries);
  free(zip);
  return root < 0 ? -1 : rc;
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
