#include "storage/volume.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/host_root.h"

namespace {

constexpr size_t kComponentMax = 256;

// A change below base is asked of the platform first, by the board path it
// would have (a simulated volume mounted read-only refuses it).
bool change_refused(const char *base, const char *rel, size_t rel_len) {
  char path[1024];
  snprintf(path, sizeof path, "%s/%.*s", base, (int)rel_len, rel);
  int e = sys_write_allowed(path);
  if (!e) return false;
  errno = e;
  return true;
}

int open_base(const char *base) {
  HostPath hp(base);
  return open(hp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool wants_change(int flags) { return flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC); }

int mode_flags(const char *mode) {
  int flags;
  switch (mode[0]) {
    case 'r': flags = 0; break;
    case 'w': flags = O_CREAT | O_TRUNC; break;
    case 'a': flags = O_CREAT | O_APPEND; break;
    default: return -1;
  }
  bool plus = strchr(mode, '+') != nullptr;
  flags |= plus ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
  if (strchr(mode, 'x')) flags |= O_EXCL;
  return flags;
}

// A stream over a descriptor whose reads and writes go through the
// platform's volume I/O; a written file is synced when closed, and a
// failure there is the close's result. A replacement (dfd set) is written
// under a temporary name beside the file and renamed over it at the close,
// only when every write, the flush, the sync and the close succeeded;
// otherwise the temporary goes.
struct Cookie {
  int fd;
  bool written;
  bool failed;
  int dfd;
  char tmp[VOLUME_NAME_MAX + 1];
  char leaf[VOLUME_NAME_MAX + 1];
};

// Set around the fclose of volume_replace_close: the close runs on the
// caller's thread, inside fclose.
thread_local bool t_discard;

// The temporary of a replacement: hidden beside the file, on the same
// volume so that the rename cannot copy.
void replace_tmp_name(const char *leaf, char *tmp, size_t size) {
  snprintf(tmp, size, ".%.*s.new", (int)(VOLUME_NAME_MAX - 5), leaf);
}

// Ends a replacement whose data is written: the temporary takes the file's
// name when ok, else it goes. 0 when the file now holds the new content.
int replace_finish(int dfd, const char *tmp, const char *leaf, bool ok) {
  int e = errno;
  struct stat st;
  if (ok && fstatat(dfd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    e = ELOOP;
    ok = false;
  }
  if (ok && renameat(dfd, tmp, dfd, leaf) != 0) {
    e = errno;
    ok = false;
  }
  if (!ok) unlinkat(dfd, tmp, 0);
  close(dfd);
  errno = e;
  return ok ? 0 : -1;
}

ssize_t cookie_read(void *c, char *buf, size_t n) {
  ssize_t r;
  do r = sys_fd_read(static_cast<Cookie *>(c)->fd, buf, n);
  while (r < 0 && errno == EINTR);
  return r;
}

ssize_t cookie_write(void *c, const char *buf, size_t n) {
  Cookie *k = static_cast<Cookie *>(c);
  k->written = true;
  size_t done = 0;
  while (done < n) {
    ssize_t w = sys_fd_write(k->fd, buf + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      k->failed = true;
      // stdio takes a short count without errno as a failure only when
      // nothing was written.
      return done ? (ssize_t)done : -1;
    }
    done += (size_t)w;
  }
  return (ssize_t)done;
}

int cookie_seek(void *c, off64_t *pos, int whence) {
  off_t r = lseek(static_cast<Cookie *>(c)->fd, (off_t)*pos, whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}

int cookie_close(void *c) {
  Cookie *k = static_cast<Cookie *>(c);
  int rc;
  if (k->dfd >= 0) {
    bool ok = !k->failed && !t_discard;
    // Even an empty replacement is synced: it takes the old file's place.
    if (volume_close_written(k->fd) != 0) ok = false;
    rc = replace_finish(k->dfd, k->tmp, k->leaf, ok);
  } else {
    rc = k->written ? volume_close_written(k->fd) : close(k->fd);
  }
  free(k);
  return rc;
}

// A stream over fd; dfd, tmp and leaf make it a replacement (dfd -1: none).
// fd (and dfd) are closed when it cannot be made.
FILE *stream_of(int fd, const char *mode, int dfd, const char *tmp, const char *leaf) {
  Cookie *k = static_cast<Cookie *>(calloc(1, sizeof(Cookie)));
  FILE *f = nullptr;
  if (k) {
    k->fd = fd;
    k->dfd = dfd;
    if (dfd >= 0) {
      snprintf(k->tmp, sizeof k->tmp, "%s", tmp);
      snprintf(k->leaf, sizeof k->leaf, "%s", leaf);
    }
    cookie_io_functions_t io = {cookie_read, cookie_write, cookie_seek, cookie_close};
    f = fopencookie(k, mode, io);
  }
  if (!f) {
    free(k);
    close(fd);
    if (dfd >= 0) {
      unlinkat(dfd, tmp, 0);
      close(dfd);
    }
    errno = ENOMEM;
  }
  return f;
}

}  // namespace

int volume_name_ok(const char *rel) {
  if (!rel || !rel[0] || rel[0] == '/' || strlen(rel) >= VOLUME_PATH_MAX) return 0;
  for (const char *p = rel;;) {
    const char *e = strchr(p, '/');
    size_t n = e ? (size_t)(e - p) : strlen(p);
    if (n == 0 || n >= kComponentMax) return 0;
    if (p[0] == '.' && (n == 1 || (n == 2 && p[1] == '.'))) return 0;
    if (!e) return 1;
    p = e + 1;
  }
}

int volume_open_parent(const char *base, const char *rel, int create, const char **leaf) {
  if (!volume_name_ok(rel)) {
    errno = EINVAL;
    return -1;
  }
  int dfd = open_base(base);
  const char *p = rel;
  while (dfd >= 0) {
    const char *slash = strchr(p, '/');
    if (!slash) {
      *leaf = p;
      return dfd;
    }
    char part[kComponentMax];
    memcpy(part, p, (size_t)(slash - p));
    part[slash - p] = 0;
    int fd = openat(dfd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
      if (change_refused(base, rel, (size_t)(slash - rel)) ||
          (mkdirat(dfd, part, 0755) != 0 && errno != EEXIST)) {
        int e = errno;
        close(dfd);
        errno = e;
        return -1;
      }
      fd = openat(dfd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    // A link where a folder should be reads as ELOOP whatever it points at.
    if (fd < 0 && errno == ENOTDIR) {
      struct stat st;
      if (fstatat(dfd, part, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) errno = ELOOP;
    }
    int e = errno;
    close(dfd);
    errno = e;
    dfd = fd;
    p = slash + 1;
  }
  return -1;
}

int volume_open(const char *base, const char *rel, int flags, int mode) {
  if (rel && !rel[0]) return open_base(base);
  if (wants_change(flags) && volume_name_ok(rel) && change_refused(base, rel, strlen(rel))) return -1;
  const char *leaf;
  int dfd = volume_open_parent(base, rel, 0, &leaf);
  if (dfd < 0) return -1;
  // A FIFO or a device on a volume must not block the opener: the file is
  // opened without waiting and set back to blocking.
  bool path_only = (flags & O_PATH) != 0;
  int fd = openat(dfd, leaf, flags | O_NOFOLLOW | O_CLOEXEC | (path_only ? 0 : O_NONBLOCK), mode);
  int e = errno;
  close(dfd);
  if (fd >= 0 && !path_only && !(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  errno = e;
  return fd;
}

FILE *volume_fopen(const char *base, const char *rel, const char *mode, int *fd_out) {
  int flags = mode ? mode_flags(mode) : -1;
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  int fd = volume_open(base, rel, flags, 0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return nullptr;
  }
  FILE *f = stream_of(fd, mode, -1, nullptr, nullptr);
  if (!f) return nullptr;
  if (flags & O_APPEND) fseeko(f, 0, SEEK_END);
  if (fd_out) *fd_out = fd;
  return f;
}

// The temporary of rel's replacement, created empty (an old one from a cut
// run is emptied): its descriptor, with the parent's in *dfd and the names
// in tmp and *leaf.
static int replace_open_tmp(const char *base, const char *rel, int *dfd, char *tmp, size_t size,
                            const char **leaf) {
  if (volume_name_ok(rel) && change_refused(base, rel, strlen(rel))) return -1;
  *dfd = volume_open_parent(base, rel, 0, leaf);
  if (*dfd < 0) return -1;
  // What stands under the name now must be a file the new one may replace.
  struct stat st;
  if (fstatat(*dfd, *leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
    close(*dfd);
    errno = S_ISLNK(st.st_mode) ? ELOOP : EISDIR;
    return -1;
  }
  replace_tmp_name(*leaf, tmp, size);
  int fd = openat(*dfd, tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    int e = errno;
    close(*dfd);
    errno = e;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

FILE *volume_replace_open(const char *base, const char *rel, int *fd_out) {
  int dfd;
  char tmp[VOLUME_NAME_MAX + 1];
  const char *leaf;
  int fd = replace_open_tmp(base, rel, &dfd, tmp, sizeof tmp, &leaf);
  if (fd < 0) return nullptr;
  FILE *f = stream_of(fd, "w", dfd, tmp, leaf);
  if (f && fd_out) *fd_out = fd;
  return f;
}

int volume_replace_close(FILE *f, int keep) {
  if (!f) return -1;
  t_discard = !keep || ferror(f);
  int rc = fclose(f);
  bool discarded = t_discard;
  t_discard = false;
  return rc == 0 && !discarded ? 0 : -1;
}

DIR *volume_opendir(const char *base, const char *rel) {
  int fd = volume_open(base, rel, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return nullptr;
  DIR *d = fdopendir(fd);
  if (!d) close(fd);
  return d;
}

int volume_lstat(const char *base, const char *rel, struct stat *st) {
  const char *leaf;
  int dfd = volume_open_parent(base, rel, 0, &leaf);
  if (dfd < 0) return -1;
  int rc = fstatat(dfd, leaf, st, AT_SYMLINK_NOFOLLOW);
  int e = errno;
  close(dfd);
  errno = e;
  return rc;
}

int volume_is_file(const char *base, const char *rel) {
  struct stat st;
  return volume_lstat(base, rel, &st) == 0 && S_ISREG(st.st_mode);
}

int volume_open_file(const char *base, const char *rel) {
  int fd = volume_open(base, rel, O_RDONLY);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}

int volume_unlink(const char *base, const char *rel) {
  if (volume_name_ok(rel) && change_refused(base, rel, strlen(rel))) return -1;
  const char *leaf;
  int dfd = volume_open_parent(base, rel, 0, &leaf);
  if (dfd < 0) return -1;
  int rc = unlinkat(dfd, leaf, 0);
  int e = errno;
  close(dfd);
  errno = e;
  return rc;
}

int volume_rename(const char *base, const char *from, const char *to) {
  if (volume_name_ok(from) && volume_name_ok(to) &&
      (change_refused(base, from, strlen(from)) || change_refused(base, to, strlen(to))))
    return -1;
  const char *a, *b;
  int da = volume_open_parent(base, from, 0, &a);
  if (da < 0) return -1;
  int db = volume_open_parent(base, to, 0, &b);
  int rc = -1, e = errno;
  if (db >= 0) {
    struct stat st;
    if (fstatat(da, a, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      e = ELOOP;
    } else if (fstatat(db, b, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      e = ELOOP;
    } else {
      rc = renameat(da, a, db, b);
      e = errno;
    }
    close(db);
  }
  close(da);
  errno = e;
  return rc;
}

int volume_mkdirs(const char *base, const char *rel) {
  if (!volume_name_ok(rel)) {
    errno = EINVAL;
    return -1;
  }
  // The parent walk makes every folder but the last.
  char path[VOLUME_PATH_MAX + 2];
  snprintf(path, sizeof path, "%s/x", rel);
  const char *leaf;
  int dfd = volume_open_parent(base, path, 1, &leaf);
  if (dfd < 0) return -1;
  close(dfd);
  return 0;
}

int volume_entry_is_file(DIR *dir, const struct dirent *e, struct stat *st) {
  if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) return 0;
  if (!st && e->d_type == DT_REG) return 1;
  struct stat local;
  struct stat *s = st ? st : &local;
  return fstatat(dirfd(dir), e->d_name, s, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(s->st_mode);
}

uint8_t *volume_read_fd(int fd, size_t max, size_t *size, int *cut) {
  *size = 0;
  if (cut) *cut = 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EISDIR;
    return nullptr;
  }
  // The size is only a hint: the file may change while it is read, and is
  // never allowed more than max.
  size_t want = (uint64_t)st.st_size < max ? (size_t)st.st_size : max;
  uint8_t *buf = static_cast<uint8_t *>(malloc(want + 1));
  if (!buf) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t n = 0;
  while (n < want) {
    ssize_t r = sys_fd_read(fd, buf + n, want - n);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      int e = errno;
      free(buf);
      errno = e;
      return nullptr;
    }
    if (r == 0) break;
    n += (size_t)r;
  }
  if (cut && n == max) {
    char more;
    *cut = (uint64_t)st.st_size > max || sys_fd_read(fd, &more, 1) == 1;
  }
  buf[n] = 0;
  *size = n;
  return buf;
}

uint8_t *volume_read_all(const char *base, const char *rel, size_t max, size_t *size, int *cut) {
  *size = 0;
  if (cut) *cut = 0;
  int fd = volume_open(base, rel, O_RDONLY);
  if (fd < 0) return nullptr;
  uint8_t *buf = volume_read_fd(fd, max, size, cut);
  int e = errno;
  close(fd);
  errno = e;
  return buf;
}

int volume_write_all(const char *base, const char *rel, const void *data, size_t n) {
  int dfd;
  char tmp[VOLUME_NAME_MAX + 1];
  const char *leaf;
  int fd = replace_open_tmp(base, rel, &dfd, tmp, sizeof tmp, &leaf);
  if (fd < 0) return -1;
  const char *p = static_cast<const char *>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t w = sys_fd_write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      errno = w < 0 ? errno : ENOSPC;
      close(fd);
      return replace_finish(dfd, tmp, leaf, false);
    }
    done += (size_t)w;
  }
  bool ok = volume_close_written(fd) == 0;
  return replace_finish(dfd, tmp, leaf, ok);
}

int volume_fclose_written(FILE *f) { return fclose(f) == 0 ? 0 : -1; }

int volume_close_written(int fd) {
  int rc = sys_fd_sync(fd);
  int e = errno;
  // A volume that cannot sync (EINVAL: no such thing on it) is not failing.
  if (rc != 0 && (e == EINVAL || e == EROFS)) rc = 0;
  if (close(fd) != 0) {
    e = errno;
    rc = -1;
  }
  errno = e;
  return rc;
}
