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

namespace {

int g_multi_source = -1;
uint64_t g_multi_done, g_multi_total;
constexpr size_t kSpliceStep = 1 << 20;

bool path_on(int source, const char *name, char *buf, size_t size) {
  int slot = filesys_source_to_slot(source);
  if (slot < 0 || !fs[slot].mnt) return false;
  snprintf(buf, size, "%s/%s", fs[slot].mnt, name);
  return true;
}

bool dir_path(int source, char *buf, size_t size) {
  int slot = filesys_source_to_slot(source);
  if (slot < 0 || !fs[slot].mnt) {
    log_printf("%s: source=%d i=%d mnt=(NULL) sub=%s\n", "filesys_getdir", source, slot,
               filesys_get_subdir());
    return false;
  }
  snprintf(buf, size, "%s/%s", fs[slot].mnt, filesys_get_subdir());
  return true;
}

// A name from outside that may not be used, logged once here.
bool name_refused(const char *func, const char *name) {
  if (filesys_name_ok(name)) return false;
  log_printf("%s: refused name %s\n", func, name ? name : "(null)");
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

// One pass of the copy from offset; returns a result code and the bytes done.
// *wrote is set once the destination was opened for writing.
int copy_pass(const char *src, const char *dst, int dst_source, int overwrite, uint64_t *offset,
              void *progress_ctx, bool batch, bool *wrote) {
  // The source is looked at first: a copy that cannot read it leaves the
  // destination alone.
  uint64_t size = file_size(src);
  if (size == ~0ULL) return ERR_FILE_READ;
  if (!overwrite && file_exists(dst)) return ERR_FILE_EXISTS;
  uint64_t dsize = file_exists(dst) ? file_size(dst) : 0;
  int64_t free_bytes = filesys_free_space(dst_source);
  if (free_bytes >= 0 && size > (uint64_t)free_bytes + dsize) {
    log_printf("free %lld + dst %lld < size %lld\n", (long long)free_bytes, (long long)dsize,
               (long long)size);
    return ERR_NO_SPACE;
  }
  int in = sys_open(src, O_RDONLY);
  int out = *offset ? sys_open(dst, O_WRONLY) : sys_open(dst, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out >= 0) *wrote = true;
  if (in < 0 || out < 0) {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return ERR_FILE_WRITE;
  }
  log_printf("copy %s %lld @%lld\n", src, (long long)size, (long long)*offset);
  if (*offset) {
    if (lseek(in, (off_t)*offset, SEEK_SET) < 0) perror("failed to seek source");
    off_t d = lseek(out, (off_t)*offset, SEEK_SET);
    if (d != (off_t)*offset) log_printf("failed to seek source offset %llx\n", (unsigned long long)*offset);
  }
  if (size == 0) {
    close(in);
    close(out);
    return 0;
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
  for (;;) {
    if (get_exit_code()) {
      // Cut short: what is there is not the file.
      log_printf("copy of %s cut short by quit\n", src);
      result = ERR_CANCELLED;
      break;
    }
    ssize_t r = splice(in, nullptr, pipefd[1], nullptr, kSpliceStep, SPLICE_F_MOVE);
    if (r < 0) {
      int e = errno;
      perror("file copy read");
      log_printf("error on read: %s\n", strerror(e));
      result = ERR_FILE_READ;
      break;
    }
    if (r == 0) break;
    // The pipe is drained fully before the next read.
    ssize_t left = r;
    while (left > 0) {
      ssize_t w = splice(pipefd[0], nullptr, out, nullptr, (size_t)left, SPLICE_F_MOVE);
      if (w <= 0) {
        int e = w < 0 ? errno : EIO;
        perror("file copy write");
        log_printf("error on write: %s\n", strerror(e));
        result = e == ENOSPC ? ERR_NO_SPACE : ERR_FILE_WRITE;
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
  close(out);
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
  if (!name || !name[0] || name[0] == '/') return 0;
  for (const char *p = name; *p;) {
    const char *e = strchr(p, '/');
    size_t n = e ? (size_t)(e - p) : strlen(p);
    if (n == 2 && p[0] == '.' && p[1] == '.') return 0;
    if (!e) break;
    p = e + 1;
  }
  return 1;
}

FILE *filesys_fopen(int source, const char *name, const char *mode) {
  if (name_refused(__func__, name)) return nullptr;
  filesys_lock();
  char path[256];
  if (!path_on(source, name, path, sizeof path)) {
    filesys_unlock();
    return nullptr;
  }
  bool w = strchr(mode, 'w') != nullptr;
  if (w) filesys_add_writer(source);
  FILE *f = sys_fopen(path, mode);
  if (!f) {
    perror(path);
    if (w) filesys_remove_writer(source);
  }
  filesys_unlock();
  return f;
}

void filesys_fclose(int source, FILE *f) {
  (void)source;
  if (f) fclose(f);
}

void filesys_fclose_w(int source, FILE *f) {
  if (f) fclose(f);
  filesys_lock();
  filesys_remove_writer(source);
  filesys_unlock();
}

uint8_t *filesys_readfile(int source, const char *name, size_t *size) {
  *size = 0;
  if (name_refused(__func__, name)) return nullptr;
  filesys_lock();
  char path[256];
  bool ok = path_on(source, name, path, sizeof path);
  filesys_unlock();
  if (!ok) return nullptr;
  FILE *f = sys_fopen(path, "rb");
  if (!f) return nullptr;
  uint8_t *buf = nullptr;
  long n = -1;
  if (fseek(f, 0, SEEK_END) == 0) n = ftell(f);
  if (n > 0 && fseek(f, 0, SEEK_SET) == 0) {
    buf = (uint8_t *)malloc((size_t)n);
    if (buf && fread(buf, 1, (size_t)n, f) != (size_t)n) {
      free(buf);
      buf = nullptr;
    }
  }
  fclose(f);
  if (buf) *size = (size_t)n;
  return buf;
}

int filesys_writefile(int source, const char *name, const void *data, size_t n) {
  if (name_refused(__func__, name)) return -1;
  filesys_lock();
  char path[256];
  if (!path_on(source, name, path, sizeof path)) {
    filesys_unlock();
    return -1;
  }
  filesys_add_writer(source);
  FILE *f = sys_fopen(path, "w");
  int rc = -1;
  if (f) {
    size_t w = fwrite(data, 1, n, f);
    if (fclose(f) == 0 && w == n) rc = 0;
  } else {
    perror(path);
  }
  filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

int filesys_unlink(int source, const char *name) {
  if (name_refused(__func__, name)) return -1;
  filesys_lock();
  char path[256];
  if (!path_on(source, name, path, sizeof path)) {
    filesys_unlock();
    return -1;
  }
  int slot = filesys_source_to_slot(source);
  bool bracket = fs[slot].rw != 1;
  if (bracket) filesys_add_writer(source);
  int rc = sys_unlink(path);
  if (bracket) filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

bool file_exists_on(int source, const char *name) {
  if (name_refused(__func__, name)) return false;
  filesys_lock();
  char path[256];
  bool ok = path_on(source, name, path, sizeof path) && file_exists(path);
  filesys_unlock();
  return ok;
}

char *filesys_get_file_on(int source, const char *name) {
  if (name_refused(__func__, name)) return nullptr;
  filesys_lock();
  char path[256];
  bool ok = path_on(source, name, path, sizeof path);
  filesys_unlock();
  return ok ? strdup(path) : nullptr;
}

char *filesys_getdir(int source) {
  filesys_lock();
  char path[256];
  bool ok = dir_path(source, path, sizeof path);
  filesys_unlock();
  return ok ? strdup(path) : nullptr;
}

static char *find_on_volumes(const char *name, char *buf, size_t size, bool skip_ext) {
  if (name_refused("filesys_get_file", name)) return nullptr;
  filesys_lock();
  char *found = nullptr;
  for (int i = FILESYS_SLOTS - 1; i >= 0 && !found; i--) {
    if (!fs[i].mnt || fs[i].rw == 2 || (skip_ext && i == 2)) continue;
    char path[256];
    snprintf(path, sizeof path, "%s/%s", fs[i].mnt, name);
    if (file_exists(path)) {
      snprintf(buf, size, "%s", path);
      found = buf;
    }
  }
  filesys_unlock();
  return found;
}

char *filesys_get_file(const char *name, char *buf, size_t size) {
  return find_on_volumes(name, buf, size, false);
}

char *filesys_get_config_file(const char *name, char *buf, size_t size) {
  return find_on_volumes(name, buf, size, get_param_block()->dvr_disable_ext_config != 0);
}

int filesys_rename(int source, const char *old_name, const char *new_name) {
  if (strcmp(old_name, new_name) == 0) return 0;
  if (!filesys_name_ok(old_name) || !filesys_name_ok(new_name)) return -EINVAL;
  filesys_lock();
  char dir[256];
  if (!dir_path(source, dir, sizeof dir)) {
    filesys_unlock();
    return -1;
  }
  char from[512], to[512];
  snprintf(from, sizeof from, "%s/%s", dir, old_name);
  snprintf(to, sizeof to, "%s/%s", dir, new_name);
  if (file_exists(to)) {
    filesys_unlock();
    return -ENOENT;
  }
  filesys_add_writer(source);
  log_printf("rename %s %s\n", from, to);
  int rc = sys_rename(from, to);
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
  char dir[256];
  if (!dir_path(source, dir, sizeof dir)) {
    filesys_unlock();
    return -1;
  }
  char path[512];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  bool batch = in_batch(source);
  if (!batch) filesys_add_writer(source);
  log_printf("unlink %s\n", path);
  if (batch && g_multi_total) g_multi_done += 1000;
  int rc = sys_unlink(path);
  if (rc != 0) perror("unlink");
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
  filesys_lock();
  char sdir[256], ddir[256];
  if (!dir_path(source, sdir, sizeof sdir) || !dir_path(dst_source, ddir, sizeof ddir)) {
    filesys_unlock();
    return ERR_FILE_WRITE;
  }
  bool batch = in_batch(dst_source);
  if (!batch) filesys_add_writer(dst_source);
  if (!file_exists(ddir)) {
    log_printf("creating %s\n", ddir);
    sys_mkdirs(ddir, 0755);
  }
  filesys_unlock();

  char src[512], dst[512];
  snprintf(src, sizeof src, "%s/%s", sdir, name);
  snprintf(dst, sizeof dst, "%s/%s", ddir, name);
  uint64_t offset = 0;
  int result;
  bool wrote = false;
  for (;;) {
    result = copy_pass(src, dst, dst_source, overwrite, &offset, progress_ctx, batch, &wrote);
    if (result == 0) break;
    log_printf("%s\n", filesys_copy_result_name(result));
    if (result != ERR_FILE_READ && result != ERR_FILE_WRITE) break;
    // No such file on a volume still there: nothing to wait for.
    if (!file_exists(src) && filesys_is_mounted(source)) break;
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
    overwrite = 1;
  }
  // A destination this copy wrote and did not finish goes; one it never
  // opened is left as it was. A copy the user cancelled keeps its part.
  bool cut = result == ERR_FILE_READ || result == ERR_FILE_WRITE ||
             (result == ERR_CANCELLED && get_exit_code());
  if (cut && wrote) sys_unlink(dst);
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

int filesys_load_config_params(int source) {
  filesys_lock();
  char path[256];
  bool ok = path_on(source, "config.txt", path, sizeof path);
  filesys_unlock();
  return ok ? param_import_file(path) : -1;
}

int filesys_save_config_params(int source) {
  filesys_lock();
  char path[256];
  if (!path_on(source, "config.txt", path, sizeof path)) {
    filesys_unlock();
    return -1;
  }
  filesys_add_writer(source);
  int rc = param_export_file(path);
  filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

int filesys_save_log_to(int source, int kind) {
  if (kind != 0 && kind != 1) return -1;
  filesys_lock();
  int slot = filesys_source_to_slot(source);
  if (slot < 0 || !fs[slot].mnt) {
    log_printf("%s: src %d not mounted\n", "filesys_save_log_to", source);
    filesys_unlock();
    return -1;
  }
  char path[256];
  snprintf(path, sizeof path, "%s/%s", fs[slot].mnt, kind == 0 ? "log.txt" : "dmesg.txt");
  filesys_add_writer(source);
  int rc;
  if (kind == 0) {
    rc = log_save_file(path);
  } else {
    // dmesg's output is written by us, not by a shell redirection.
    static char out[256 * 1024];
    const char *dm[] = {"dmesg", nullptr};
    run_argv_output(dm, out, sizeof out);
    FILE *f = sys_fopen(path, "w");
    rc = f ? (fputs(out, f) < 0 ? -1 : 0) : -1;
    if (f && fclose(f) != 0) rc = -1;
  }
  filesys_remove_writer(source);
  filesys_unlock();
  return rc;
}

static int save_first(int kind) {
  const int order[] = {STORAGE_EXT, STORAGE_INT, STORAGE_MMC};
  for (int s : order)
    if (filesys_is_mounted(s)) return filesys_save_log_to(s, kind);
  return -1;
}

int filesys_save_log(void) { return save_first(0); }
int filesys_save_dmesg(void) { return save_first(1); }
