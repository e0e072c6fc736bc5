// The custom web bundle: a zip of pages kept in the last flash block and
// unpacked over the web root at every start. Our own reading of the zip
// refuses anything that could land outside the web root, grow past its
// budget, be read otherwise by another zip reader, or that the web root
// cannot take as it stands; the entries it passed, and only those, are then
// written by us, never through a link. A bundle is staged whole, moved into
// place, and stored in flash only then: whatever fails part way is undone,
// so the stored bundle is always one that unpacks.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "core/firmware.h"
#include "core/log.h"
#include "core/mtd.h"
#include "platform/host_root.h"

namespace {

int g_size = -1;
// One writer of the web root's bundle at a time (the web upload, the menu,
// a rescue file): they share the staging folder.
std::mutex g_bundle_lock;

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
// Room for one name as written (name_written): the name and its NUL.
constexpr uint32_t kNameStride = kNameMax + 1;

constexpr char kHtml[] = "/usr/html";
// The listing the box writes of the bundle, and the settings file a bundle
// may bring (a new bundle takes the old one's away).
constexpr char kListing[] = "customzip.txt";
constexpr char kSettings[] = "config.txt";
// Where a bundle is staged: below the web root, so that its files move into
// place by rename; also where what they replace is kept until the end.
constexpr char kStaging[] = ".customzip.new";
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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

// The name as the writer takes it: its empty and "." parts dropped, a
// folder's ending in '/' ("" the web root itself). Its length, or -1 when
// it names no file a folder could hold: a last part ".".
int name_written(const uint8_t *name, uint32_t n, char *out) {
  uint32_t len = 0;
  for (uint32_t i = 0; i < n;) {
    uint32_t e = i;
    while (e < n && name[e] != '/') e++;
    bool dot = e - i == 1 && name[i] == '.';
    if (dot && e == n) return -1;
    if (e > i && !dot) {
      memcpy(out + len, name + i, e - i);
      len += e - i;
      if (e < n) out[len++] = '/';
    }
    i = e + 1;
  }
  out[len] = 0;
  return (int)len;
}

bool is_folder(const char *w) { return *w == 0 || w[strlen(w) - 1] == '/'; }

// Why the web root as it stands cannot take a name as written, or NULL.
// Nothing is looked at below a link or a place that does not exist: the
// writer makes a fresh folder there.
const char *place_refused(int root, const char *w) {
  size_t n = strlen(kListing), s = strlen(kStaging);
  if (strncmp(w, kListing, n) == 0 && w[n] == '/') return "runs through the bundle's listing";
  if (strncmp(w, kStaging, s) == 0 && (w[s] == 0 || w[s] == '/')) return "names the staging folder";
  if (root < 0) return nullptr;
  char path[kNameStride];
  struct stat st;
  for (const char *slash = w; (slash = strchr(slash, '/')); slash++) {
    memcpy(path, w, (size_t)(slash - w));
    path[slash - w] = 0;
    if (fstatat(root, path, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) return nullptr;
    if (!S_ISDIR(st.st_mode)) return "runs through a page of the web root";
  }
  // The listing clears whatever stands in its place.
  if (!is_folder(w) && strcmp(w, kListing) != 0 && fstatat(root, w, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode))
    return "a file where a folder of the web root stands";
  return nullptr;
}

// Names compared with '/' before every other byte (names hold no control
// byte): a folder's names then follow it at once.
bool written_before(const char *a, const char *b) {
  for (;; a++, b++) {
    unsigned x = *a == '/' ? 1 : (uint8_t)*a, y = *b == '/' ? 1 : (uint8_t)*b;
    if (x != y || !x) return x < y;
  }
}

// An entry that names as a file what another names or holds as a folder;
// -1 when none, -2 without memory.
int file_and_folder(const char *names, uint32_t count) {
  uint16_t *order = (uint16_t *)malloc((count ? count : 1) * sizeof *order);
  if (!order) return -2;
  for (uint32_t i = 0; i < count; i++) order[i] = (uint16_t)i;
  auto name = [&](uint32_t i) { return names + (size_t)order[i] * kNameStride; };
  std::sort(order, order + count, [&](uint16_t a, uint16_t b) {
    return written_before(names + (size_t)a * kNameStride, names + (size_t)b * kNameStride);
  });
  int found = -1;
  for (uint32_t i = 0, j = 0; found < 0 && i < count; i++) {
    const char *f = name(i);
    if (is_folder(f)) continue;
    j = std::max(j, i + 1);
    while (j < count && strcmp(name(j), f) == 0) j++;
    size_t n = strlen(f);
    if (j < count && strncmp(name(j), f, n) == 0 && name(j)[n] == '/') found = order[i];
  }
  free(order);
  return found;
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
    ssize_t w = sys_fd_write(fd, p, n);
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

// A bundle as the check passed it: its entries, and entry i's name as
// written (name_written) at names + i * kNameStride.
struct Bundle {
  const uint8_t *zip;
  Entry *entries;
  char *names;
  uint32_t count;
};

int span_order(const void *a, const void *b) {
  uint32_t x = ((const Span *)a)->start, y = ((const Span *)b)->start;
  return x < y ? -1 : x > y;
}

int refuse(const char *why, uint32_t entry) {
  log_printf("%s: entry %u: %s\n", "customzip_check", entry, why);
  return -1;
}

// root: the web root, or -1 to look at the names alone.
int check_entries(const uint8_t *zip, uint32_t size, uint32_t cd, uint32_t count, Span *spans, Bundle *b,
                  int root) {
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
    char *written = b->names + (size_t)i * kNameStride;
    if (name_written(name, nlen, written) < 0) return refuse("names no file (its last part is \".\")", i);
    if (const char *why = place_refused(root, written)) return refuse(why, i);
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
    b->entries[files] = {at + kCentralSize, nlen, data, csize, usize, crc, method, le16(c + 12), le16(c + 14)};
    spans[files++] = {local, data + csize};
    at += kCentralSize + rest;
  }
  if (at != size) return refuse("central directory damaged", count);
  // No two entries share bytes: a zip whose entries overlap unpacks the
  // same data many times over.
  qsort(spans, files, sizeof *spans, span_order);
  for (uint32_t i = 1; i < files; i++)
    if (spans[i].start < spans[i - 1].end) return refuse("entries overlap", i);
  // A file cannot also be a folder: the writer would have to replace one
  // by the other.
  int both = file_and_folder(b->names, count);
  if (both == -2) return refuse("out of memory", count);
  if (both >= 0) return refuse("a file that is also a folder of the bundle", (uint32_t)both);
  return 0;
}

void bundle_free(Bundle *b) {
  free(b->entries);
  free(b->names);
  b->entries = nullptr;
  b->names = nullptr;
}

// Reads and checks a bundle against the web root as it stands: 0 with its
// entries in b (bundle_free), or -1 (logged).
int bundle_read(const uint8_t *zip, uint32_t size, Bundle *b) {
  *b = {zip, nullptr, nullptr, 0};
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
  size_t room = count ? count : 1;
  Span *spans = (Span *)malloc(room * sizeof(Span));
  b->entries = (Entry *)malloc(room * sizeof(Entry));
  b->names = (char *)malloc(room * kNameStride);
  int rc = -1;
  if (spans && b->entries && b->names) {
    int root = sys_open(kHtml, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    rc = check_entries(zip, (uint32_t)end, cd, count, spans, b, root);
    if (root >= 0) close(root);
  } else {
    log_printf("%s: out of memory for %u entries\n", "customzip_check", count);
  }
  free(spans);
  if (rc != 0) bundle_free(b);
  else b->count = count;
  return rc;
}

// Removes name from the folder dir, a folder with all it holds, never
// following a link. 0, or -1 when something stays.
int tree_remove(int dir, const char *name) {
  if (unlinkat(dir, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return -1;
  int fd = openat(dir, name, kFolderFlags);
  DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0) close(fd);
    return -1;
  }
  int rc = 0;
  while (dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 && tree_remove(dirfd(d), e->d_name) != 0)
      rc = -1;
  closedir(d);
  if (unlinkat(dir, name, AT_REMOVEDIR) != 0 && errno != ENOENT) rc = -1;
  return rc;
}

// One change an unpack made in the web root, undone in reverse order.
// What a step set aside is kept in the staging folder as "k<step>".
enum StepKind : uint8_t {
  STEP_FOLDER_MADE,   // a folder made where nothing stood
  STEP_SET_ASIDE,     // what stood there: a link where a folder goes, the settings,
                      // a folder where the listing goes
  STEP_PLACED,        // a file moved in where nothing stood
  STEP_REPLACED,      // a file moved in over another, which was kept
};

struct Step {
  StepKind kind;
  uint32_t place;     // whose name: an entry, or kListingPlace, kSettingsPlace
  uint32_t len;       // how much of that name is the place
};

constexpr uint32_t kListingPlace = kEntriesMax, kSettingsPlace = kEntriesMax + 1;

struct Unpack {
  const Bundle *b;
  int root, stage;    // the web root and the staging folder in it
  Step *steps;
  uint32_t used, room;
};

const char *place_name(const Unpack *u, uint32_t place) {
  return place == kListingPlace ? kListing : place == kSettingsPlace ? kSettings
                                                                     : u->b->names + (size_t)place * kNameStride;
}

// Room for one more step, made before the change it records.
int step_room(Unpack *u) {
  if (u->used < u->room) return 0;
  uint32_t room = u->room ? u->room * 2 : 64;
  Step *s = (Step *)realloc(u->steps, room * sizeof *s);
  if (!s) return -1;
  u->steps = s;
  u->room = room;
  return 0;
}

void step_done(Unpack *u, StepKind kind, uint32_t place, uint32_t len) {
  u->steps[u->used++] = {kind, place, len};
}

void kept_name(char *buf, size_t size, uint32_t step) { snprintf(buf, size, "k%u", step); }

// The last part of place's name up to len, into leaf.
void leaf_of(const Unpack *u, uint32_t place, uint32_t len, char *leaf) {
  const char *path = place_name(u, place);
  uint32_t i = len;
  while (i > 0 && path[i - 1] != '/') i--;
  memcpy(leaf, path + i, len - i);
  leaf[len - i] = 0;
}

// Opens the folder holding the place path[0, len) (its part after the last
// '/'), each folder on the way without following a link. With make, a
// folder missing is made and a link in a folder's place set aside first,
// each step recorded. The folder, or -1.
int parent_open(Unpack *u, uint32_t place, uint32_t len, bool make) {
  const char *path = place_name(u, place);
  int dir = dup(u->root);
  for (uint32_t i = 0; dir >= 0;) {
    const char *slash = (const char *)memchr(path + i, '/', len - i);
    if (!slash) break;
    uint32_t e = (uint32_t)(slash - path);
    char part[kNameStride];
    memcpy(part, path + i, e - i);
    part[e - i] = 0;
    int next = openat(dir, part, kFolderFlags);
    if (next < 0 && make && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)) {
      bool taken = errno != ENOENT;
      char kept[16];
      kept_name(kept, sizeof kept, u->used);
      if (step_room(u) == 0 && (!taken || renameat(dir, part, u->stage, kept) == 0)) {
        if (taken) step_done(u, STEP_SET_ASIDE, place, e);
        if (step_room(u) == 0 && mkdirat(dir, part, 0755) == 0) {
          step_done(u, STEP_FOLDER_MADE, place, e);
          next = openat(dir, part, kFolderFlags);
        }
      }
    }
    close(dir);
    dir = next;
    i = e + 1;
  }
  return dir;
}

// Moves what stands at place (a name in the web root itself) into the
// staging folder, when anything does.
int set_aside(Unpack *u, uint32_t place) {
  const char *name = place_name(u, place);
  char kept[16];
  kept_name(kept, sizeof kept, u->used);
  if (step_room(u) != 0) return -1;
  if (renameat(u->root, name, u->stage, kept) == 0) step_done(u, STEP_SET_ASIDE, place, (uint32_t)strlen(name));
  else if (errno != ENOENT) return -1;
  return 0;
}

// Moves the staged file into place; a file or link standing there is kept
// (a second name in the staging folder) until the end, so that the place
// never lacks a file.
int place_file(Unpack *u, uint32_t place, const char *staged) {
  uint32_t len = (uint32_t)strlen(place_name(u, place));
  int dir = parent_open(u, place, len, true);
  if (dir < 0) return -1;
  char leaf[kNameStride], kept[16];
  leaf_of(u, place, len, leaf);
  int rc = step_room(u);
  struct stat st;
  bool over = rc == 0 && fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode);
  kept_name(kept, sizeof kept, u->used);
  if (over && linkat(dir, leaf, u->stage, kept, 0) != 0) rc = -1;
  if (rc == 0 && renameat(u->stage, staged, dir, leaf) == 0)
    step_done(u, over ? STEP_REPLACED : STEP_PLACED, place, len);
  else
    rc = -1;
  close(dir);
  return rc;
}

// Undoes the unpack's steps, last first. 0, or -1 when one could not be
// undone (logged).
int unpack_undo(Unpack *u) {
  int rc = 0;
  while (u->used) {
    uint32_t s = --u->used;
    const Step &st = u->steps[s];
    char leaf[kNameStride], kept[16];
    leaf_of(u, st.place, st.len, leaf);
    kept_name(kept, sizeof kept, s);
    int dir = parent_open(u, st.place, st.len, false);
    int r = dir < 0                       ? -1
            : st.kind == STEP_FOLDER_MADE ? unlinkat(dir, leaf, AT_REMOVEDIR)
            : st.kind == STEP_PLACED      ? unlinkat(dir, leaf, 0)
                                          : renameat(u->stage, kept, dir, leaf);
    if (r != 0) {
      log_printf("%s: %.*s could not be put back: %s\n", "customzip_unpack", (int)st.len,
                 place_name(u, st.place), strerror(errno));
      rc = -1;
    }
    if (dir >= 0) close(dir);
  }
  return rc;
}

// The listing the web root shows of the bundle, in unzip's -l layout.
int listing_write(int fd, const Bundle *b) {
  FILE *f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    return -1;
  }
  fprintf(f, "Archive:  /custom.zip\n  Length      Date    Time    Name\n"
             "---------  ---------- -----   ----\n");
  uint64_t total = 0;
  for (uint32_t i = 0; i < b->count; i++) {
    const Entry &e = b->entries[i];
    total += e.usize;
    fprintf(f, "%9u  %04d-%02d-%02d %02d:%02d   %.*s\n", e.usize, (e.date >> 9) + 1980, e.date >> 5 & 15,
            e.date & 31, e.time >> 11, e.time >> 5 & 63, (int)e.nlen, (const char *)b->zip + e.name);
  }
  fprintf(f, "---------                     -------\n%9llu                     %u file%s\n",
          (unsigned long long)total, b->count, b->count == 1 ? "" : "s");
  return fclose(f) == 0 ? 0 : -1;
}

// Writes one staged file: the listing (kListingPlace) or an entry's data.
int stage_file(Unpack *u, uint32_t place, const char *staged) {
  int fd = openat(u->stage, staged, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (place == kListingPlace) return listing_write(fd, u->b);
  const Entry &e = u->b->entries[place];
  bool ok = data_sound(u->b->zip + e.data, e.csize, e.usize, e.method, e.crc, fd);
  int err = errno;
  if (close(fd) != 0) return -1;
  errno = err;
  return ok ? 0 : -1;
}

void unpack_end(Unpack *u) {
  if (u->stage >= 0) close(u->stage);
  if (u->root >= 0) {
    if (tree_remove(u->root, kStaging) != 0)
      log_printf("%s: %s: %s\n", "customzip_unpack", kStaging, strerror(errno));
    close(u->root);
  }
  free(u->steps);
  *u = {nullptr, -1, -1, nullptr, 0, 0};
}

// Writes a checked bundle into the web root: every file staged first, then
// moved into place, the listing first. With settings, the settings file an
// older bundle brought goes. 0 with u holding what it replaced (undone
// with unpack_undo, dropped with unpack_end); else -1 with every step
// undone and u ended, or -2 when a step could not be undone.
int unpack_begin(Unpack *u, const Bundle *b, bool settings) {
  *u = {b, -1, -1, nullptr, 0, 0};
  u->root = sys_open(kHtml, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const char *failed = kHtml;
  if (u->root >= 0) {
    failed = kStaging;
    // What an unpack cut short left behind.
    tree_remove(u->root, kStaging);
    if (mkdirat(u->root, kStaging, 0700) == 0) u->stage = openat(u->root, kStaging, kFolderFlags);
  }
  char staged[16];
  int rc = u->stage >= 0 ? 0 : -1;
  if (rc == 0 && stage_file(u, kListingPlace, "listing") != 0) failed = kListing, rc = -1;
  for (uint32_t i = 0; rc == 0 && i < b->count; i++) {
    snprintf(staged, sizeof staged, "e%u", i);
    if (!is_folder(place_name(u, i)) && stage_file(u, i, staged) != 0) failed = place_name(u, i), rc = -1;
  }
  if (rc == 0 && settings && set_aside(u, kSettingsPlace) != 0) failed = kSettings, rc = -1;
  // A folder left where the listing goes is cleared with the staging folder.
  struct stat st;
  if (rc == 0 && fstatat(u->root, kListing, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
      set_aside(u, kListingPlace) != 0)
    failed = kListing, rc = -1;
  if (rc == 0 && place_file(u, kListingPlace, "listing") != 0) failed = kListing, rc = -1;
  for (uint32_t i = 0; rc == 0 && i < b->count; i++) {
    const char *name = place_name(u, i);
    snprintf(staged, sizeof staged, "e%u", i);
    if (is_folder(name)) {
      int dir = parent_open(u, i, (uint32_t)strlen(name), true);
      if (dir >= 0) close(dir);
      else rc = -1;
    } else {
      rc = place_file(u, i, staged);
    }
    if (rc != 0) failed = name;
  }
  if (rc == 0) return 0;
  log_printf("%s: %s: %s\n", "customzip_unpack", failed, strerror(errno));
  rc = unpack_undo(u) == 0 ? -1 : -2;
  unpack_end(u);
  return rc;
}

// Stores block (length field + zip) in the bundle's flash block, the
// length last: a store cut short leaves no length and so no bundle, never
// part of one. On failure the block before is put back. 0 or -1.
int bundle_store(const uint8_t *block, uint32_t size) {
  uint8_t *old = (uint8_t *)malloc(CUSTOMZIP_BLOCK_MAX);
  uint8_t *back = (uint8_t *)malloc(CUSTOMZIP_BLOCK_MAX);
  uint32_t old_size = 0;
  if (old && back && firmware_flash->read(old, MTD_WEBBUNDLE_OFF, 4) == 0) {
    int32_t len = (int32_t)le32(old);
    if (len >= 1 && (uint32_t)len <= CUSTOMZIP_BLOCK_MAX - 4 &&
        firmware_flash->read(old + 4, MTD_WEBBUNDLE_OFF + 4, (size_t)len) == 0)
      old_size = (uint32_t)len + 4;
  }
  auto store = [&](const uint8_t *data, uint32_t n) {
    if (firmware_flash->erase(MTD_WEBBUNDLE_OFF) != 0) return -1;
    if (n == 0) return 0;
    for (uint32_t at : {4u, 0u}) {
      uint32_t len = at ? n - 4 : 4;
      if (firmware_flash->write(data + at, MTD_WEBBUNDLE_OFF + at, len) != 0 ||
          firmware_flash->read(back, MTD_WEBBUNDLE_OFF + at, len) != 0 || memcmp(back, data + at, len) != 0)
        return -1;
    }
    return 0;
  };
  int rc = old && back ? store(block, size) : -1;
  if (rc != 0) {
    log_printf("%s: the bundle could not be stored\n", "customzip_save");
    if (old && back && store(old, old_size) != 0)
      log_printf("%s: the bundle before could not be put back\n", "customzip_save");
  }
  free(old);
  free(back);
  return rc;
}

}  // namespace

int customzip_check(const uint8_t *zip, uint32_t size) {
  Bundle b;
  if (bundle_read(zip, size, &b) != 0) return -1;
  bundle_free(&b);
  return 0;
}

int customzip_load(void) {
  std::lock_guard<std::mutex> l(g_bundle_lock);
  int root = sys_open(kHtml, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root >= 0) {
    // What an unpack cut short by a power cut left behind.
    tree_remove(root, kStaging);
    close(root);
  }
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
  if (rc != 0) log_printf("customzip failed to open file\n");
  // A bundle stored by an earlier program is read as strictly as a new one.
  Bundle b = {zip, nullptr, nullptr, 0};
  if (rc == 0 && bundle_read(zip, (uint32_t)len, &b) != 0) rc = -1;
  Unpack u;
  if (rc == 0) {
    g_size = len;
    rc = unpack_begin(&u, &b, false) == 0 ? 0 : -1;
    if (rc == 0) unpack_end(&u);
  }
  log_printf("customzip size=%d rc=%d\n", len, rc);
  bundle_free(&b);
  free(zip);
  return rc;
}

int customzip_clear(void) {
  std::lock_guard<std::mutex> l(g_bundle_lock);
  firmware_flash->erase(MTD_WEBBUNDLE_OFF);
  int root = sys_open(kHtml, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root >= 0) {
    // Whatever stands there, a folder an older program let a bundle make too.
    tree_remove(root, kListing);
    close(root);
  }
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
  std::lock_guard<std::mutex> l(g_bundle_lock);
  Bundle b;
  if (bundle_read(block + 4, size - 4, &b) != 0) return -1;
  log_printf("%s: size=%u\n", "customzip_save", size);
  Unpack u;
  int rc = unpack_begin(&u, &b, true);
  if (rc == 0 && bundle_store(block, size) != 0) rc = unpack_undo(&u) == 0 ? -1 : -2;
  if (rc == 0) g_size = (int)(size - 4);
  unpack_end(&u);
  bundle_free(&b);
  return rc == 0 ? 0 : rc == -1 ? -2 : -3;
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
    customzip_clear();
    rc = 1;
  } else {
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
