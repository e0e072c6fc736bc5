// File operations on the storage volumes: every write is bracketed by a
// writer so that a volume is read-write only while something writes to it.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/global.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "core/usb_hub.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "storage/filesys.h"
#include "storage/volume.h"

namespace {

int g_multi_source = -1;
uint64_t g_multi_done, g_multi_total;
constexpr size_t kSpliceStep = 1 << 20;

// The mount point of a mounted source (a constant string), or NULL.
const char *mount_of(int source) {
  int slot = filesys_source_to_slot(source);
  return slot >= 0 ? fs[slot].mnt : nullptr;
}

const char *locked_mount_of(int source) {
  filesys_lock();
  const char *mnt = mount_of(source);
  filesys_unlock();
  return mnt;
}

// name inside the recording directory, relative to the volume's root.
const char *rec_name(const char *name, char *buf, size_t size) {
  snprintf(buf, size, "%s/%s", filesys_get_subdir(), name);
  return buf;
}

constexpr size_t kConfigFileMax = 256 * 1024;
// Not a result: the copy goes on (another pass).
constexpr int kCopyOn = 1;

// A name from outside that may not be used, logged once here.
bool name_refused(const char *func, const char *name) {
  if (filesys_name_ok(name)) return false;
  log_printf("%s: refused name %s\n", func, name ? name : "(null)");
  return true;
}

// A file a recording or snapshot writes: logged, and the lock let go.
bool being_written(const char *mnt, const char *rel) {
  if (!filesys_writing_holds(mnt, rel)) return false;
  filesys_unlock();
  log_printf("%s/%s is being recorded: left as it is\n", mnt, rel);
  return true;
}

bool in_batch(int source) { return g_multi_source >= 0 && g_multi_source == source; }

int progress(void *context, uint64_t done, uint64_t total) {
  if (!context || !total || !storage_hooks.show_progress) return 0;
  return storage_hooks.show_progress(context, (int)(done / total));
}

void stale(void) {
  if (storage_hooks.file_list_stale) storage_hooks.file_list_stale();
}

// Power-cycles the hub port of a USB volume that dropped off the bus.
void cycle_power_on_usb_port(int source) {
  int slot = source + 1;
  if (slot < 1 || slot > 2) return;
  log_printf("%s: %d (i=%d fs=%d)\n", "cycle_power_on_usb_port", fs[slot].port, slot, source);
  if (!fs[slot].port) return;
  usb_hub_port_power("/dev/usbdev1.2", fs[slot].port, 0);
  sleep_ms(500);
  usb_hub_port_power("/dev/usbdev1.2", fs[slot].port, 1);
}

// The result of a failed write: a full volume is told apart.
int write_error(int e) { return e == ENOSPC ? ERR_NO_SPACE : ERR_FILE_WRITE; }

// One pass of the copy from offset into the part file beside the
// destination; returns a result code and the bytes done. *wrote is set once
// the part file was opened for writing.
int copy_pass(const char *smnt, const char *src, const char *dmnt, const char *part, uint64_t *offset,
              void *progress_ctx, bool batch, bool *wrote) {
  int in = volume_open(smnt, src, O_RDONLY);
  struct stat st;
  if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (in >= 0) close(in);
    return ERR_FILE_READ;
  }
  uint64_t size = (uint64_t)st.st_size;
  int out = *offset ? volume_open(dmnt, part, O_WRONLY) : volume_open(dmnt, part, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    int e = errno;
    close(in);
    return write_error(e);
  }
  *wrote = true;
  log_printf("copy %s %lld @%lld\n", src, (long long)size, (long long)*offset);
  if (*offset) {
    if (lseek(in, (off_t)*offset, SEEK_SET) < 0) perror("failed to seek source");
    off_t d = lseek(out, (off_t)*offset, SEEK_SET);
    if (d != (off_t)*offset) log_printf("failed to seek source offset %llx\n", (unsigned long long)*offset);
  }
  if (!batch) {
    g_multi_done = 0;
    g_multi_total = size / 1000 ? size / 1000 : 1;
  }
  int pipefd[2];
  if (pipe(pipefd) != 0) {
    close(in);
    close(out);
    return ERR_FILE_WRITE;
  }
  struct timeval t0, t1;
  gettimeofday(&t0, nullptr);
  time_t last_second = t0.tv_sec;
  uint64_t copied = 0;
  int result = 0;
  while (*offset + copied < size || size == 0) {
    if (get_exit_code()) {
      // Cut short: what is there is not the file.
      log_printf("copy of %s cut short by quit\n", src);
      result = ERR_CANCELLED;
      break;
    }
    // The volumes' I/O is asked first: splice goes around read and write.
    ssize_t r = sys_fd_check(in, 0) ? -1 : splice(in, nullptr, pipefd[1], nullptr, kSpliceStep, SPLICE_F_MOVE);
    if (r < 0) {
      int e = errno;
      log_printf("error on read: %s\n", strerror(e));
      result = ERR_FILE_READ;
      break;
    }
    if (r == 0) break;
    // The pipe is drained fully before the next read.
    ssize_t left = r;
    while (left > 0) {
      ssize_t w = sys_fd_check(out, 1) ? -1 : splice(pipefd[0], nullptr, out, nullptr, (size_t)left, SPLICE_F_MOVE);
      if (w <= 0) {
        int e = w < 0 ? errno : EIO;
        log_printf("error on write: %s\n", strerror(e));
        result = write_error(e);
        break;
      }
      if (w < left) log_printf("read %d wrote %d\n", (int)r, (int)w);
      left -= w;
    }
    if (result) break;
    copied += (uint64_t)r;
    g_multi_done += (uint64_t)r;
    time_t now = time(nullptr);
    if (now != last_second) {
      last_second = now;
      if (progress(progress_ctx, g_multi_done, g_multi_total) == -1) {
        result = ERR_CANCELLED;
        break;
      }
    }
  }
  close(pipefd[0]);
  close(pipefd[1]);
  *offset += copied;
  gettimeofday(&t1, nullptr);
  double secs = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_usec - t0.tv_usec) / 1e6;
  if (secs <= 0) secs = 1e-6;
  log_printf("Copied %lld bytes in %gs, %g MBps\n", (long long)copied, secs,
             (double)copied / secs / 1048576.0);
  close(in);
  // What did not reach the volume shows at the sync or the close.
  if (volume_close_written(out) != 0 && !result) {
    int e = errno;
    log_printf("error on close: %s\n", strerror(e));
    result = write_error(e);
  }
  return result;
}

}  // namespace

const char *filesys_copy_result_name(int result) {
  switch (result) {
    case 0: return "OK";
    case ERR_FILE_WRITE: return "ERR_FILE_WRITE";
    case ERR_FILE_EXISTS: return "ERR_FILE_EXISTS";
    case ERR_NO_SPACE: return "ERR_NO_SPACE";
    case ERR_CANCELLED: return "ERR_CANCELLED";
    case ERR_FILE_READ: return "ERR_FILE_READ";
    default: return "ERR_unexpected";
  }
}

int filesys_name_ok(const char *name) {
  return volume_name_ok(name) && strnlen(name, FILESYS_NAME_MAX + 1) <= FILESYS_NAME_MAX;
}

FILE *filesys_fopen(int source, const char *name, const char *mode) {
  if (name_refused(__func__, name)) return nullptr;
  filesys_lock();
  const char *mnt = mount_of(source);
  if (!mnt) {
    filesys_unlock();
    return nullptr;
  }
  bool w = strpbrk(mode, "wa+") != nullptr;
  if (w) filesys_add_writer(source);
  // A file written whole replaces the old one only once it is on the volume.
  bool replace = mode[0] == 'w' && !strchr(mode, '+');
  FILE *f = replace ? volume_replace_open(mnt, name) : volume_fopen(mnt, name, mode);
  if (!f) {
    log_printf("%s: %s: %s\n", __func__, name, strerror(errno));
    if (w) filesys_remove_writer(source);
  }
  filesys_unlock();
  return f;
}

void filesys_fclose(int source, FILE *f) {
  (void)source;
  if (f) fclose(f);
}

int filesys_fclose_w(int source, FILE *f) {
  int rc = 0;
  if (f && volume_replace_close(f, 1) != 0) {
    log_printf("%s: %s\n", __func__, strerror(errno));
    rc = -1;
  }
  filesys_lock();
  filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

uint8_t *filesys_readfile(int source, const char *name, size_t max, size_t *size) {
  *size = 0;
  if (name_refused(__func__, name)) return nullptr;
  const char *mnt = locked_mount_of(source);
  if (!mnt) return nullptr;
  int cut = 0;
  uint8_t *data = volume_read_all(mnt, name, max, size, &cut);
  if (cut) log_printf("%s: %s is longer than %zu bytes, the rest is ignored\n", __func__, name, max);
  return data;
}

int filesys_writefile(int source, const char *name, const void *data, size_t n) {
  if (name_refused(__func__, name)) return -1;
  filesys_lock();
  const char *mnt = mount_of(source);
  if (!mnt) {
    filesys_unlock();
    return -1;
  }
  filesys_add_writer(source);
  int rc = volume_write_all(mnt, name, data, n);
  if (rc != 0) log_printf("%s: %s: %s\n", __func__, name, strerror(errno));
  filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

int filesys_unlink(int source, const char *name) {
  if (name_refused(__func__, name)) return -1;
  filesys_lock();
  const char *mnt = mount_of(source);
  if (!mnt) {
    filesys_unlock();
    return -1;
  }
  int slot = filesys_source_to_slot(source);
  bool bracket = fs[slot].rw != 1;
  if (bracket) filesys_add_writer(source);
  int rc = volume_unlink(mnt, name);
  if (bracket) filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

bool file_exists_on(int source, const char *name) {
  if (name_refused(__func__, name)) return false;
  const char *mnt = locked_mount_of(source);
  return mnt && volume_is_file(mnt, name);
}

char *filesys_get_file_on(int source, const char *name) {
  if (name_refused(__func__, name)) return nullptr;
  const char *mnt = locked_mount_of(source);
  // Only a regular file reached without a link is named.
  if (!mnt || !volume_is_file(mnt, name)) return nullptr;
  char path[VOLUME_PATH_MAX + 32];
  snprintf(path, sizeof path, "%s/%s", mnt, name);
  return strdup(path);
}

int filesys_open_file_on(int source, const char *name) {
  if (name_refused(__func__, name)) return -1;
  const char *mnt = locked_mount_of(source);
  return mnt ? volume_open_file(mnt, name) : -1;
}

char *filesys_getdir(int source) {
  filesys_lock();
  const char *mnt = mount_of(source);
  if (!mnt)
    log_printf("%s: source=%d i=%d mnt=(NULL) sub=%s\n", "filesys_getdir", source,
               filesys_source_to_slot(source), filesys_get_subdir());
  filesys_unlock();
  if (!mnt) return nullptr;
  char path[256];
  snprintf(path, sizeof path, "%s/%s", mnt, filesys_get_subdir());
  return strdup(path);
}

int filesys_open_recording(int source, const char *name, int flags) {
  const char *mnt = locked_mount_of(source);
  if (!mnt) {
    errno = ENODEV;
    return -1;
  }
  char rel[VOLUME_PATH_MAX + 64];
  return volume_open(mnt, name[0] ? rec_name(name, rel, sizeof rel) : filesys_get_subdir(), flags);
}

DIR *filesys_opendir_recording(int source) {
  const char *mnt = locked_mount_of(source);
  return mnt ? volume_opendir(mnt, filesys_get_subdir()) : nullptr;
}

int filesys_stat_recording(int source, const char *name, struct stat *st) {
  const char *mnt = locked_mount_of(source);
  char rel[VOLUME_PATH_MAX + 64];
  if (!mnt || !filesys_name_ok(name)) {
    errno = ENOENT;
    return -1;
  }
  return volume_lstat(mnt, rec_name(name, rel, sizeof rel), st);
}

static char *find_on_volumes(const char *name, char *buf, size_t size, bool skip_ext) {
  if (name_refused("filesys_get_file", name)) return nullptr;
  filesys_lock();
  char *found = nullptr;
  for (int i = FILESYS_SLOTS - 1; i >= 0 && !found; i--) {
    if (!fs[i].mnt || fs[i].rw == 2 || (skip_ext && i == 2)) continue;
    if (volume_is_file(fs[i].mnt, name)) {
      snprintf(buf, size, "%s/%s", fs[i].mnt, name);
      found = buf;
    }
  }
  filesys_unlock();
  return found;
}

char *filesys_get_file(const char *name, char *buf, size_t size) {
  return find_on_volumes(name, buf, size, false);
}

int filesys_open_file(const char *name) {
  if (name_refused("filesys_open_file", name)) return -1;
  filesys_lock();
  int fd = -1;
  for (int i = FILESYS_SLOTS - 1; i >= 0 && fd < 0; i--)
    if (fs[i].mnt && fs[i].rw != 2) fd = volume_open_file(fs[i].mnt, name);
  filesys_unlock();
  return fd;
}

char *filesys_get_config_file(const char *name, char *buf, size_t size) {
  return find_on_volumes(name, buf, size, get_param_block()->dvr_disable_ext_config != 0);
}

int filesys_rename(int source, const char *old_name, const char *new_name) {
  if (strcmp(old_name, new_name) == 0) return 0;
  if (!filesys_name_ok(old_name) || !filesys_name_ok(new_name)) return -EINVAL;
  filesys_lock();
  const char *mnt = mount_of(source);
  if (!mnt) {
    filesys_unlock();
    return -1;
  }
  char from[VOLUME_PATH_MAX + 64], to[VOLUME_PATH_MAX + 64];
  rec_name(old_name, from, sizeof from);
  rec_name(new_name, to, sizeof to);
  struct stat st;
  if (volume_lstat(mnt, to, &st) == 0) {
    filesys_unlock();
    return -ENOENT;
  }
  if (being_written(mnt, from)) return -EBUSY;
  filesys_add_writer(source);
  log_printf("rename %s %s\n", from, to);
  int rc = volume_rename(mnt, from, to);
  filesys_remove_writer(source);
  filesys_unlock();
  stale();
  return rc;
}

int filesys_delete(int source, const char *name, void *progress_ctx) {
  log_printf("%s: source=%d multi=%d filename=%s lock=%d\n", "filesys_delete", source, g_multi_source,
             name, 0);
  if (!filesys_name_ok(name)) return -EINVAL;
  // A group's progress is shown before each unlink, with the lock free: the
  // hook may wait for the user's answer to a cancel question, and hot-plug
  // and recording must go on meanwhile.
  filesys_lock();
  int permille = in_batch(source) && g_multi_total ? (int)(g_multi_done / g_multi_total) : -1;
  filesys_unlock();
  if (permille >= 0 && progress_ctx && storage_hooks.show_progress &&
      storage_hooks.show_progress(progress_ctx, permille) == -1)
    return -EINTR;
  filesys_lock();
  const char *mnt = mount_of(source);
  if (!mnt) {
    filesys_unlock();
    return -1;
  }
  char rel[VOLUME_PATH_MAX + 64];
  rec_name(name, rel, sizeof rel);
  if (being_written(mnt, rel)) return -EBUSY;
  bool batch = in_batch(source);
  if (!batch) filesys_add_writer(source);
  log_printf("unlink %s/%s\n", mnt, rel);
  if (batch && g_multi_total) g_multi_done += 1000;
  int rc = volume_unlink(mnt, rel);
  if (rc != 0) log_printf("unlink: %s\n", strerror(errno));
  if (!batch) filesys_remove_writer(source);
  filesys_unlock();
  stale();
  return rc;
}

void filesys_multi_start(int source, int unused, int64_t total) {
  (void)unused;
  filesys_lock();
  if (g_multi_source < 0) {
    g_multi_source = source;
    g_multi_done = 0;
    g_multi_total = (uint64_t)(total / 1000);
    filesys_add_writer(source);
  } else {
    log_printf("%s: multi=%d\n", "filesys_multi_start", g_multi_source);
  }
  filesys_unlock();
}

void filesys_multi_finish(int source) {
  filesys_lock();
  if (g_multi_source == source) {
    g_multi_source = -1;
    filesys_remove_writer(source);
  } else {
    log_printf("%s: multi=%d\n", "filesys_multi_finish", g_multi_source);
  }
  filesys_unlock();
}

int filesys_copy(int source, const char *name, int overwrite, void *progress_ctx) {
  // Only between the two USB volumes: the SD card has no partner.
  if ((source != STORAGE_INT && source != STORAGE_EXT) || !filesys_name_ok(name)) return ERR_FILE_WRITE;
  int dst_source = source ^ 1;
  char src[VOLUME_PATH_MAX + 64], dst[VOLUME_PATH_MAX + 64], part[VOLUME_PATH_MAX + 80];
  rec_name(name, src, sizeof src);
  rec_name(name, dst, sizeof dst);
  // The copy is made beside the destination under a name of its own and
  // takes the destination's name only when whole: an old file of that name
  // stays as it was until then.
  const char *slash = strrchr(name, '/');
  char leaf[256];
  snprintf(leaf, sizeof leaf, ".%s.part", slash ? slash + 1 : name);
  snprintf(part, sizeof part, "%s/%.*s%s", filesys_get_subdir(), slash ? (int)(slash - name + 1) : 0, name, leaf);
  filesys_lock();
  const char *smnt = mount_of(source), *dmnt = mount_of(dst_source);
  if (!smnt || !dmnt) {
    filesys_unlock();
    return ERR_FILE_WRITE;
  }
  bool batch = in_batch(dst_source);
  if (!batch) filesys_add_writer(dst_source);
  const char *dleaf;
  int dfd = volume_open_parent(dmnt, dst, 1, &dleaf);
  if (dfd < 0) log_printf("creating %s/%s: %s\n", dmnt, dst, strerror(errno));
  else close(dfd);
  filesys_unlock();

  uint64_t offset = 0;
  int result;
  bool wrote = false;
  struct stat st;
  bool had_dst = volume_lstat(dmnt, dst, &st) == 0;
  // The source is looked at first: a copy that cannot read it leaves the
  // destination alone.
  if (volume_lstat(smnt, src, &st) != 0 || !S_ISREG(st.st_mode)) {
    result = ERR_FILE_READ;
  } else if (!overwrite && had_dst) {
    result = ERR_FILE_EXISTS;
  } else {
    int64_t free_bytes = filesys_free_space(dst_source);
    struct stat dst_st;
    int64_t dst_size = had_dst && volume_lstat(dmnt, dst, &dst_st) == 0 && S_ISREG(dst_st.st_mode)
                           ? (int64_t)dst_st.st_size : 0;
    if (free_bytes >= 0 && (uint64_t)st.st_size > (uint64_t)free_bytes + (uint64_t)dst_size) {
      log_printf("free %lld + dst %lld < size %lld\n", (long long)free_bytes, (long long)dst_size,
                 (long long)st.st_size);
      result = ERR_NO_SPACE;
    } else if (free_bytes >= 0 && (uint64_t)st.st_size > (uint64_t)free_bytes) {
      // The copy fits only in the old file's room: the old file goes first
      // (the copy otherwise waits beside it until whole).
      log_printf("free %lld < size %lld: removing %s first\n", (long long)free_bytes,
                 (long long)st.st_size, dst);
      if (volume_unlink(dmnt, dst) != 0) {
        log_printf("unlink %s: %s\n", dst, strerror(errno));
        result = ERR_FILE_WRITE;
      } else {
        filesys_recalculate_free_space(dst_source);
        result = kCopyOn;
      }
    } else {
      result = kCopyOn;
    }
  }
  while (result == kCopyOn) {
    result = copy_pass(smnt, src, dmnt, part, &offset, progress_ctx, batch, &wrote);
    if (result == 0) break;
    log_printf("%s\n", filesys_copy_result_name(result));
    if (result != ERR_FILE_READ && result != ERR_FILE_WRITE) break;
    // No such file on a volume still there: nothing to wait for.
    if (!volume_is_file(smnt, src) && filesys_is_mounted(source)) break;
    // A USB disk that dropped off the bus is power-cycled and the copy
    // resumes where it stopped.
    bool gone = false;
    for (int i = 0; i < 5 && !get_exit_code(); i++) {
      if (!filesys_is_mounted(source)) { gone = true; break; }
      sleep_ms(1000);
    }
    if (!gone) break;
    cycle_power_on_usb_port(source);
    log_printf("waiting for drive to come back\n");
    bool back = false;
    for (int i = 0; i < 300 && !get_exit_code(); i++) {
      if (filesys_is_mounted(source)) { back = true; break; }
      if (progress(progress_ctx, g_multi_done, g_multi_total) == -1) break;
      sleep_ms(1000);
    }
    if (!back) break;
    log_printf("resuming copy operation at %lld\n", (long long)offset);
    result = kCopyOn;
  }
  // A whole copy takes the destination's name. A copy the user cancelled
  // keeps its part under that name only where no file had it; anything
  // else cut short goes, and the old destination stays.
  bool keep_part = result == 0 || (result == ERR_CANCELLED && !get_exit_code() && !had_dst);
  if (wrote && keep_part && volume_rename(dmnt, part, dst) != 0) {
    log_printf("rename %s %s: %s\n", part, dst, strerror(errno));
    if (result == 0) result = ERR_FILE_WRITE;
    keep_part = false;
  }
  if (wrote && !keep_part) volume_unlink(dmnt, part);
  filesys_lock();
  if (!batch) filesys_remove_writer(dst_source);
  filesys_unlock();
  stale();
  return result;
}

int filesys_format(int source) {
  if (source != STORAGE_INT && source != STORAGE_EXT) return -1;
  int slot = source + 1;
  filesys_lock();
  struct stat st;
  if (!fs[slot].device[0] || sys_stat(fs[slot].device, &st) != 0) {
    filesys_unlock();
    return 0;
  }
  filesys_unmount_slot(slot);
  if (fs[slot].mnt) {
    // Writers keep the volume: formatting it now would destroy their files.
    filesys_unlock();
    return -1;
  }
  log_printf("/sbin/mkfs.vfat %s\n", fs[slot].device);
  const char *mkfs[] = {"/sbin/mkfs.vfat", fs[slot].device, nullptr};
  int status = run_argv(mkfs);
  if (status != 0) perror("system");
  else filesys_remount(slot, "ro");
  filesys_unlock();
  return status;
}

// Sets every "name = value" line of the text read (freed here). A last line
// without its line end may be a file cut short (a full card, a disk pulled
// while it was written): it is not set as if it were whole.
static int import_params(uint8_t *data, size_t n, ParamImportCount *count) {
  ParamImportCount c = {0, 0};
  size_t whole = n;
  while (whole > 0 && data[whole - 1] != '\n') whole--;
  bool cut = false;
  if (whole < n) {
    size_t i = whole;
    while (i < n && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == 0)) i++;
    if (i < n) {
      cut = true;
      log_printf("%s: last line has no line end, skipped: %.*s\n", "import_params",
                 (int)(n - whole > 100 ? 100 : n - whole), (const char *)data + whole);
    }
  }
  FILE *in = whole ? fmemopen(data, whole, "r") : nullptr;
  int rc = in ? param_import_stream(in, &c) : whole ? -1 : 0;
  if (in) fclose(in);
  free(data);
  if (cut) c.skipped++;
  log_printf("%s: %d lines set, %d skipped\n", "import_params", c.set, c.skipped);
  if (count) *count = c;
  return rc;
}

int filesys_load_config_params(int source) {
  size_t n;
  uint8_t *data = filesys_readfile(source, "config.txt", kConfigFileMax + 1, &n);
  if (!data) return -1;
  if (n > kConfigFileMax) {
    // A cut last line would be set as if it were whole: nothing is.
    log_printf("%s: longer than %zu bytes, refused\n", __func__, kConfigFileMax);
    free(data);
    return -1;
  }
  return import_params(data, n, nullptr);
}

int filesys_import_params_fd(int fd, ParamImportCount *count) {
  size_t n;
  int cut = 0;
  uint8_t *data = volume_read_fd(fd, kConfigFileMax, &n, &cut);
  if (!data) {
    log_printf("%s: %s\n", __func__, strerror(errno));
    return -1;
  }
  if (cut) {
    // A cut last line would be set as if it were whole: nothing is.
    log_printf("%s: longer than %zu bytes, refused\n", __func__, kConfigFileMax);
    free(data);
    return -1;
  }
  return import_params(data, n, count);
}

// Writes a file of the volume's root through fill; the writer is counted
// meanwhile. 0, or -1 when it could not be made or any write, the flush,
// the close or the rename failed, and then the old file is as it was.
static int write_on(int source, const char *name, int (*fill)(FILE *out)) {
  filesys_lock();
  const char *mnt = mount_of(source);
  if (!mnt) {
    log_printf("%s: src %d not mounted\n", "filesys_save_log_to", source);
    filesys_unlock();
    return -1;
  }
  filesys_add_writer(source);
  // The old file stays until the new one is whole on the volume.
  FILE *f = volume_replace_open(mnt, name);
  int rc = f ? fill(f) : -1;
  if (f && volume_replace_close(f, rc == 0) != 0) rc = -1;
  if (rc != 0) log_printf("%s: %s/%s: %s\n", "write_on", mnt, name, strerror(errno));
  filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

static int fill_dmesg(FILE *out) {
  // dmesg's output is written by us, not by a shell redirection.
  static char text[256 * 1024];
  const char *dm[] = {"dmesg", nullptr};
  run_argv_output(dm, text, sizeof text);
  return fputs(text, out) < 0 ? -1 : 0;
}

int filesys_save_config_params(int source) { return write_on(source, "config.txt", param_export_stream); }

int filesys_save_log_to(int source, int kind) {
  if (kind != 0 && kind != 1) return -1;
  return kind == 0 ? write_on(source, "log.txt", log_save_stream) : write_on(source, "dmesg.txt", fill_dmesg);
}

static int save_first(int kind) {
  const int order[] = {STORAGE_EXT, STORAGE_INT, STORAGE_MMC};
  for (int s : order)
    if (filesys_is_mounted(s)) return filesys_save_log_to(s, kind);
  return -1;
}

int filesys_save_log(void) { return save_first(0); }
int filesys_save_dmesg(void) { return save_first(1); }
