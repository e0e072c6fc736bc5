#include "storage/filesys.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_apply.h"
#include "core/param_block.h"
#include "core/param_types.h"
#include "core/process_util.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "storage/volume.h"

StorageHooks storage_hooks;
FilesysState filesys_state = {0, 0, nullptr, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                              PTHREAD_COND_INITIALIZER, 0, 0, 0, {0}, nullptr, nullptr, 0, 0, 0, 0};
StorageSlot fs[FILESYS_SLOTS];

namespace {

const char *const kMountPoints[FILESYS_SLOTS] = {"/media/mmc", "/media/int", "/media/ext"};
const char *const kChoiceNames[] = {"both", "int", "ext", "ask", "mmc"};
constexpr uint64_t kUnknown = ~0ULL;
constexpr long kMsdosMagic = 0x4d44;

// Broadcast whenever a mount command ends: writers wait for a remount
// under way to finish before they count themselves.
pthread_cond_t g_mount_done = PTHREAD_COND_INITIALIZER;

int g_excluded = -1;
char g_subdir[64] = "DCIM";
bool g_first_run = true;
bool g_startup = true;

void slot_init(int i) {
  memset(&fs[i], 0, sizeof fs[i]);
  if (i == 0) snprintf(fs[0].device, sizeof fs[0].device, "/dev/mmcblk0p1");
  fs[i].avail_blocks = fs[i].total_blocks = kUnknown;
}

struct SlotInit {
  SlotInit() {
    for (int i = 0; i < FILESYS_SLOTS; i++) slot_init(i);
  }
} slot_init_at_start;

bool device_present(const char *dev) {
  struct stat st;
  return dev[0] && sys_stat(dev, &st) == 0;
}

bool ends_with(const char *text, const char *tail) {
  size_t a = strlen(text), b = strlen(tail);
  return a >= b && strcmp(text + a - b, tail) == 0;
}

// The event is posted without the mutex: the GUI may call back into us.
void post_event_unlocked(int source, int kind) {
  pthread_mutex_unlock(&filesys_state.filesys_mutex);
  if (storage_hooks.filesys_event) storage_hooks.filesys_event(source, kind);
  if (kind == 0 && storage_hooks.overlay_files_load) storage_hooks.overlay_files_load(source);
  filesys_lock();
}

void post_message(const char *text) {
  if (storage_hooks.dvr_post_message) storage_hooks.dvr_post_message(text);
  else log_printf("%s\n", text);
}

// The same file opened for reading from the volume it was found on: the
// hooks read this descriptor, never the name again.
int open_found(const char *name) {
  for (int i = FILESYS_SLOTS - 1; i >= 0; i--) {
    if (!fs[i].mnt || fs[i].rw == 2 || i == g_excluded) continue;
    int fd = volume_open_file(fs[i].mnt, name);
    if (fd >= 0) return fd;
  }
  return -1;
}

void rescue_files(const ParamBlock *params) {
  // Rescue files act on other subsystems: the mutex is released meanwhile.
  int fd;
  if ((fd = open_found("rescue_config.txt")) >= 0) {
    filesys_unlock();
    ParamImportCount count = {0, 0};
    int rc = filesys_import_params_fd(fd, &count);
    close(fd);
    // A file of which nothing could be read (another encoding) has failed;
    // the counts tell a partly read one.
    if (rc == 0 && count.set == 0 && count.skipped > 0) rc = -1;
    char text[96];
    if (rc == 0)
      snprintf(text, sizeof text, "Rescue config.txt loaded: %d set, %d skipped", count.set, count.skipped);
    else if (count.skipped > 0)
      snprintf(text, sizeof text, "Rescue config.txt failed: %d set, %d skipped", count.set, count.skipped);
    else
      snprintf(text, sizeof text, "Rescue config.txt failed");
    post_message(text);
    // The import only stores: what it changed (the users the servers check,
    // the streams) is applied now, as after any other import.
    if (count.set > 0) param_apply_changes();
    filesys_lock();
  }
  if (storage_hooks.rescue_custom_zip && (fd = open_found("rescue_custom.zip")) >= 0) {
    filesys_unlock();
    int rc = storage_hooks.rescue_custom_zip(fd);
    close(fd);
    post_message(rc == 0 ? "Rescue custom.zip loaded"
                 : rc == 1 ? "Rescue custom.zip cleared" : "Rescue custom.zip failed");
    filesys_lock();
  }
  if (storage_hooks.rescue_firmware && (fd = open_found("rescue_7391.fw")) >= 0) {
    filesys_unlock();
    post_message("Rescue firmware updating...");
    const char *status = storage_hooks.rescue_firmware(fd);
    close(fd);
    if (status) post_message(status);
    filesys_lock();
  }
  (void)params;
}

// Mount points stale from an earlier run are unmounted; missing ones made.
void first_run_setup(void) {
  write_string_to_file("/proc/sys/vm/dirty_writeback_centisecs", "50");
  write_string_to_file("/proc/sys/vm/dirty_expire_centisecs", "100");
  for (int i = 0; i < FILESYS_SLOTS; i++) {
    const char *mp = kMountPoints[i];
    struct stat st;
    if (sys_stat(mp, &st) == 0) {
      char needle[64];
      snprintf(needle, sizeof needle, " on %s ", mp);
      for (int tries = 0; tries < 8; tries++) {
        char out[4096];
        const char *list[] = {"mount", nullptr};
        run_argv_output(list, out, sizeof out);
        if (!strstr(out, needle)) break;
        const char *um[] = {"umount", mp, nullptr};
        if (run_argv(um) != 0) break;
      }
    } else {
      log_printf("%s: initializing mount points %d=%s dev=%s\n", "fileSysTick", i, mp, fs[i].device);
      sys_mkdirs(mp, 0755);
    }
  }
}

void arm_countdown(int slot, const ParamBlock *params) {
  int choice = filesys_state.storage_device;
  bool names_this = choice == 0 || choice == 3 || (choice == 1 && slot == 1) || (choice == 2 && slot == 2);
  if (!names_this) return;
  int m = params ? params->recording.start_mode : 0;
  if (m >= 2) filesys_state.record_countdown = m + 1;
  else if (m == 1) filesys_state.record_countdown = (choice == 0 || choice == 3) ? 2 : 1;
  g_startup = false;
}

void usb_scan(const ParamBlock *params) {
  bool seen[FILESYS_SLOTS] = {false, false, false};
  for (char c = 'a'; c <= 'e'; c++) {
    char link[32], buf[257];
    snprintf(link, sizeof link, "/sys/block/sd%c", c);
    ssize_t n = sys_readlink(link, buf, 256);
    if (n <= 0) continue;
    buf[n] = 0;
    const char *at = strstr(buf, "usb1/1-1/1-1.");
    if (!at) continue;
    char port = at[strlen("usb1/1-1/1-1.")];
    int slot = port == '3' ? 1 : 2;
    char disk[16];
    snprintf(disk, sizeof disk, "/dev/sd%c", c);
    // A second disk for a taken slot waits until the slot is free; the
    // slot keeps the port of the disk it has mounted, which a power cycle
    // must reach.
    if (fs[slot].mnt) {
      if (strncmp(fs[slot].device, disk, strlen(disk)) != 0) continue;
    } else if (seen[slot]) {
      continue;
    }
    seen[slot] = true;
    fs[slot].port = (uint8_t)(port - '0');
    if (fs[slot].mnt || fs[slot].failures >= 2) continue;
    log_printf("fs[%d].mnt is null buf=%s rc=%d port=%d startup=%d\n", slot, buf, (int)n,
               fs[slot].port, g_startup);
    char dev[20];
    snprintf(dev, sizeof dev, "/dev/sd%c1", c);
    if (!device_present(dev)) {
      snprintf(dev, sizeof dev, "/dev/sd%c", c);
      if (!device_present(dev)) continue;
    }
    snprintf(fs[slot].device, sizeof fs[slot].device, "%s", dev);
    filesys_remount(slot, "ro");
    if (!fs[slot].mnt || !g_startup) continue;
    int fd = volume_open_file(fs[slot].mnt, "wifi_archive.tar");
    if (fd >= 0) {
      log_printf("Wifi archive exists\n");
      if (storage_hooks.wifi_active && storage_hooks.wifi_active()) log_printf("Wifi already active\n");
      else if (storage_hooks.wifi_archive_install) storage_hooks.wifi_archive_install(fd);
      close(fd);
    }
    if (params && params->dvr_disable_ext_config) g_excluded = 2;
    rescue_files(params);
    g_excluded = -1;
    arm_countdown(slot, params);
  }
  for (int i = 1; i < FILESYS_SLOTS; i++)
    if (!seen[i]) fs[i].failures = 0;
}

}  // namespace

int filesys_slot_to_source(int slot) {
  static const int map[FILESYS_SLOTS] = {STORAGE_MMC, STORAGE_INT, STORAGE_EXT};
  return slot >= 0 && slot < FILESYS_SLOTS ? map[slot] : -1;
}

int filesys_source_to_slot(int source) {
  if (source == STORAGE_MMC) return fs[0].mnt ? 0 : -1;
  if (source != STORAGE_INT && source != STORAGE_EXT) return -1;
  const char *want = kMountPoints[source + 1];
  for (int i = 1; i < FILESYS_SLOTS; i++)
    if (fs[i].mnt && strcmp(fs[i].mnt, want) == 0) return i;
  return -1;
}

bool filesys_is_mounted(int source) {
  int slot = filesys_source_to_slot(source);
  return slot >= 0 && fs[slot].mnt;
}

bool filesys_usb_mount_failed(int n) { return (n == 0 || n == 1) && fs[n + 1].failures == 2; }

bool filesys_all_read_only(void) {
  filesys_lock();
  bool ro = true;
  for (auto &s : fs)
    if (s.rw == 1 || s.rw == 2) ro = false;
  filesys_unlock();
  return ro;
}

int filesys_count_devices(void) {
  filesys_lock();
  int n = filesys_state.mounted;
  filesys_unlock();
  log_printf("%s: %d\n", "filesys_count_devices", n);
  return n;
}

void filesys_set_storage_device(int choice) {
  if (choice < 0 || choice > 4) choice = 0;
  filesys_state.storage_device = choice;
  log_printf("%s: %s\n", "filesys_set_storage_device", kChoiceNames[choice]);
}

void filesys_lock_at(pthread_mutex_t *m, int line, const char *func) {
  if (pthread_mutex_trylock(m) != 0) {
    log_printf("locked line %s:%d, by %s:%d\n", func, line,
               filesys_state.lock_func ? filesys_state.lock_func : "?", filesys_state.lock_line);
    pthread_mutex_lock(m);
  }
  filesys_state.lock_func = func;
  filesys_state.lock_line = line;
}

void filesys_unlock(void) { pthread_mutex_unlock(&filesys_state.filesys_mutex); }

int64_t filesys_total_space(int source) {
  filesys_lock();
  int slot = filesys_source_to_slot(source);
  int64_t r = -1;
  if (slot >= 0 && fs[slot].total_blocks != kUnknown)
    r = (int64_t)(fs[slot].total_blocks * fs[slot].block_size);
  filesys_unlock();
  return r;
}

int64_t filesys_free_space(int source) {
  filesys_lock();
  int slot = filesys_source_to_slot(source);
  int64_t r = -1;
  if (slot >= 0 && fs[slot].avail_blocks != kUnknown) {
    if (fs[slot].avail_blocks > fs[slot].total_blocks) log_printf("filesys free space is incorrect\n");
    r = (int64_t)(fs[slot].avail_blocks * fs[slot].block_size);
  }
  filesys_unlock();
  return r;
}

void filesys_recalculate_free_space(int source) {
  filesys_lock();
  int slot = filesys_source_to_slot(source);
  if (slot >= 0) calculate_free_space(slot);
  filesys_unlock();
}

void calculate_free_space(int slot) {
  if (slot < 0 || slot >= FILESYS_SLOTS || !fs[slot].mnt) return;
  char path[64];
  snprintf(path, sizeof path, "%s/.", fs[slot].mnt);
  struct statfs st;
  filesys_unlock();
  int rc = sys_statfs(path, &st);
  filesys_lock();
  if (rc != 0) {
    perror("statfs");
    return;
  }
  fs[slot].block_size = (uint32_t)st.f_bsize;
  fs[slot].avail_blocks = st.f_bavail;
  fs[slot].total_blocks = st.f_blocks;
  fs[slot].fat = st.f_type == kMsdosMagic;
  log_printf("%s: bsize=%d bavail=%lld fstype=%x\n", "calculate_free_space", (int)st.f_bsize,
             (long long)st.f_bavail, (unsigned)st.f_type);
}

int getRecordingStorage(char *buf, size_t size) {
  filesys_lock();
  int slot = -1;
  for (int i = 0; i < FILESYS_SLOTS && slot < 0; i++)
    if (fs[i].mnt) slot = i;
  if (slot < 0) {
    filesys_unlock();
    return snprintf(buf, size, "Not present");
  }
  const char *mnt = fs[slot].mnt;
  filesys_unlock();
  char out[1024];
  const char *df[] = {"df", "-h", mnt, nullptr};
  run_argv_output(df, out, sizeof out);
  char *line = strchr(out, '\n');
  char *fields[8] = {nullptr};
  int nf = 0;
  if (line) {
    for (char *save = nullptr, *t = strtok_r(line + 1, " \t\n", &save); t && nf < 8;
         t = strtok_r(nullptr, " \t\n", &save))
      fields[nf++] = t;
  }
  if (nf < 5) return snprintf(buf, size, "Not present");
  return snprintf(buf, size, "%s: %s (%s) used, %s available", slot == 0 ? "MMC" : "USB", fields[2],
                  fields[4], fields[3]);
}

namespace {
struct RecordSnapshot {
  std::atomic<bool> running;
  std::atomic<StreamQueue *> queue;
  std::atomic<uint32_t> start;
};
RecordSnapshot g_record;
}  // namespace

void filesys_publish_record_run(bool running) {
  if (!running) filesys_publish_record_start(nullptr, 0);
  g_record.running.store(running, std::memory_order_release);
}

void filesys_publish_record_start(StreamQueue *queue, uint32_t start_ts) {
  g_record.start.store(start_ts, std::memory_order_relaxed);
  g_record.queue.store(queue, std::memory_order_release);
}

bool filesys_record_snapshot(uint32_t *elapsed) {
  bool running = g_record.running.load(std::memory_order_acquire);
  StreamQueue *q = g_record.queue.load(std::memory_order_acquire);
  uint32_t start = g_record.start.load(std::memory_order_relaxed);
  if (elapsed)
    *elapsed = running && q && start ? timestamp_now() - (uint32_t)stream_queue_ts_offset(q) - start : 0;
  return running;
}

void filesys_set_record_status(const char *text) {
  __atomic_store_n(&filesys_state.record_status, text, __ATOMIC_RELEASE);
}

const char *filesys_record_status(void) {
  return __atomic_load_n(&filesys_state.record_status, __ATOMIC_ACQUIRE);
}

const char filesys_record_stopped[] = "Stopped";

int getRecordingStatus(char *buf, size_t size) {
  const char *msg = filesys_record_status();
  // A run reads as recording from its start, before its first frame is in,
  // to the end of its last file.
  uint32_t elapsed = 0;
  bool running = filesys_record_snapshot(&elapsed) && !msg;
  if (running) {
    uint32_t s = elapsed / 90000;
    return snprintf(buf, size, "Recording %d:%02d:%02d", (int)(s / 3600), (int)(s / 60 % 60),
                    (int)(s % 60));
  }
  if (!msg || msg == filesys_record_stopped) {
    const char *t = storage_hooks.record_stopped_text ? storage_hooks.record_stopped_text() : nullptr;
    msg = t && *t ? t : filesys_record_stopped;
  }
  return snprintf(buf, size, "%s", msg);
}

// With the mutex held: until no mount command runs on the slot (it
// releases the mutex while it runs).
static void wait_mount_done(int slot) {
  while (fs[slot].rw == 2) {
    const char *func = filesys_state.lock_func;
    int line = filesys_state.lock_line;
    pthread_cond_wait(&g_mount_done, &filesys_state.filesys_mutex);
    filesys_state.lock_func = func;
    filesys_state.lock_line = line;
  }
}

void filesys_add_writer(int source) {
  int slot = filesys_source_to_slot(source);
  if (slot < 0) return;
  // A writer that came while the volume is being remounted would write to
  // a volume still read-only.
  wait_mount_done(slot);
  slot = filesys_source_to_slot(source);
  if (slot < 0) return;
  if (fs[slot].writers <= 0) filesys_remount(slot, "rw");
  fs[slot].writers++;
}

void filesys_remove_writer(int source) {
  int slot = filesys_source_to_slot(source);
  if (slot < 0) return;
  wait_mount_done(slot);
  // A stray remove never drives the count below zero.
  if (fs[slot].writers <= 0) {
    fs[slot].writers = 0;
    return;
  }
  if (--fs[slot].writers == 0) filesys_remount(slot, "ro");
}

void filesys_remount(int slot, const char *mode) {
  if (slot < 0 || slot >= FILESYS_SLOTS) return;
  StorageSlot &s = fs[slot];
  bool want_rw = strcmp(mode, "rw") == 0;
  bool was_mounted = s.mnt != nullptr;
  if ((s.mnt && s.rw == (want_rw ? 1 : 0)) || s.rw == 2) {
    log_printf("%s already mounted %s\n", kMountPoints[slot], mode);
    return;
  }
  bool remount = s.mnt != nullptr;
  char extra[16] = ",usefree";
  bool failed = false;
  bool recount = false;   // unmounted by the retry without ",usefree"

  for (;;) {
    if (!device_present(s.device)) {
      log_printf("%s was unplugged?\n", s.device);
      filesys_unmount_slot(slot);
      return;
    }
    char opts[64];
    snprintf(opts, sizeof opts, "%s%s%s", remount ? "remount," : "", mode, extra);
    log_printf("mount -o %s %s %s 2>&1 (rw=%d)\n", opts, s.device, kMountPoints[slot], s.rw);
    uint8_t old_rw = s.rw;
    s.rw = 2;
    char out[1024];
    const char *argv[] = {"mount", "-o", opts, s.device, kMountPoints[slot], nullptr};
    filesys_unlock();
    int status = run_argv_output(argv, out, sizeof out);
    filesys_lock();
    pthread_cond_broadcast(&g_mount_done);
    if (status == 0) {
      s.refusal_logged = 0;
      s.mnt = kMountPoints[slot];
      s.rw = want_rw ? 1 : 0;
      if (recount) {
        filesys_state.mounted++;
        recount = false;
      }
      if (slot != 0 && !was_mounted) {
        filesys_state.mounted++;
        was_mounted = true;
        post_event_unlocked(filesys_slot_to_source(slot), 0);
      }
      if (want_rw) return;
      s.avail_blocks = s.total_blocks = kUnknown;
      calculate_free_space(slot);
      if (s.avail_blocks != kUnknown && s.avail_blocks > s.total_blocks && extra[0]) {
        const char *um[] = {"umount", kMountPoints[slot], nullptr};
        run_argv(um);
        s.mnt = nullptr;
        // Unmounted for now: the count follows, and goes up again only
        // when the mount without ",usefree" succeeds.
        if (slot != 0 && filesys_state.mounted > 0) filesys_state.mounted--;
        recount = slot != 0;
        extra[0] = 0;
        remount = false;
        continue;
      }
      return;
    }
    s.rw = old_rw;
    char *last = out;
    for (char *p = out; *p; p++)
      if (*p == '\n' && p[1]) last = p + 1;
    log_printf("ret=%d %s\n", status, last);
    if (ends_with(out, "failed: No such device or address\n") && s.failures >= 2) {
      log_printf("Filesys storage problem detected\n");
      filesys_state.storage_problem = 1;
      failed = true;
      break;
    }
    if (ends_with(out, "failed: Invalid argument\n")) {
      if (!extra[0]) {
        log_printf("Unsupported filesystem type\n");
        failed = true;
        break;
      }
      extra[0] = 0;
      continue;
    }
    if (ends_with(out, "failed: Device or resource busy\n")) {
      log_printf("Filesystem busy, retrying...\n");
      // The mutex is released while waiting, so others are not held up.
      filesys_unlock();
      sleep_ms(1000);
      filesys_lock();
      if (get_exit_code()) {
        failed = true;
        break;
      }
      continue;
    }
    if (ends_with(out, "failed: No medium found\n")) {
      filesys_unmount_slot(slot);
      return;
    }
    failed = true;
    break;
  }
  if (failed && s.failures < 2) {
    s.failures++;
    if (s.failures == 2) post_event_unlocked(filesys_slot_to_source(slot), 2);
  }
}

void filesys_unmount_slot(int slot) {
  if (slot < 0 || slot >= FILESYS_SLOTS || !fs[slot].mnt) return;
  StorageSlot &s = fs[slot];
  if (s.writers > 0) {
    if (!s.refusal_logged) log_printf("can't unmount %s with %d writers\n", s.mnt, s.writers);
    s.refusal_logged = 1;
    return;
  }
  const char *um[] = {"umount", s.mnt, nullptr};
  run_argv(um);
  log_printf("unmounted %s (i=%d fs=%d)\n", s.mnt, slot, filesys_slot_to_source(slot));
  if (filesys_state.mounted > 0) filesys_state.mounted--;
  s.rw = 0;
  s.mnt = nullptr;
  s.avail_blocks = s.total_blocks = kUnknown;
  if (slot != 0) post_event_unlocked(filesys_slot_to_source(slot), 1);
}

void unmount_all(void) {
  filesys_lock();
  for (int i = 0; i < FILESYS_SLOTS; i++) filesys_unmount_slot(i);
  filesys_unlock();
}

void fileSysDone(void) {
  run_command("sync");
  filesys_lock();
  for (int i = 0; i < FILESYS_SLOTS; i++) {
    if (!fs[i].mnt) continue;
    const char *um[] = {"umount", fs[i].mnt, nullptr};
    run_argv(um);
    log_printf("unmounted %s\n", fs[i].mnt);
    fs[i].mnt = nullptr;
    fs[i].rw = 0;
  }
  filesys_unlock();
}

void fileSysTick(ParamBlock *params) {
  if (storage_hooks.firmware_busy && storage_hooks.firmware_busy()) return;
  filesys_lock();
  if (g_first_run) {
    if (!gui_started) {
      filesys_unlock();
      return;
    }
    filesys_set_storage_device(params ? params->recording.storage_device : 0);
    log_printf("filesys started\n");
    g_first_run = false;
    first_run_setup();
  } else if (params && params->recording.storage_device != filesys_state.storage_device) {
    // The setting changed (web form, control protocol): follow it.
    filesys_set_storage_device(params->recording.storage_device);
  }
  for (int i = 0; i < FILESYS_SLOTS; i++) {
    if (i > 0 && !fs[i].mnt) continue;
    bool present = device_present(fs[i].device);
    if (fs[i].mnt && !present) {
      filesys_unmount_slot(i);
    } else if (i == 0 && present && !fs[0].mnt) {
      filesys_remount(0, "ro");
      if (g_startup && fs[0].mnt) {
        int m = params ? params->recording.start_mode : 0;
        if (m) filesys_state.record_countdown = m >= 2 ? m + 1 : 1;
        g_startup = false;
      }
    }
  }
  usb_scan(params);
  if (filesys_state.record_countdown) {
    int was = filesys_state.record_countdown--;
    if (was == 1 && stream_get_state_by_id(13) != 1) {
      // Rec/Stop goes to the DVR logic; without it the recording is
      // started here.
      if (storage_hooks.dvr_post_key) storage_hooks.dvr_post_key(0x400);
      else stream_set_state_by_id(13, 1);
    }
  }
  filesys_unlock();
  if (filesys_state.sync_pending) {
    sync();
    filesys_state.sync_pending = 0;
    log_printf("filesys sync() complete\n");
  }
  if (storage_hooks.usb_check_id) storage_hooks.usb_check_id();
}

uint64_t file_size(const char *path) {
  struct stat st;
  return sys_stat(path, &st) == 0 ? (uint64_t)st.st_size : ~0ULL;
}

bool file_exists(const char *path) {
  struct stat st;
  return sys_stat(path, &st) == 0;
}

int write_string_to_file(const char *path, const char *text) {
  FILE *f = sys_fopen(path, "w");
  if (!f) {
    perror(path);
    return -1;
  }
  int rc = fputs(text, f);
  fclose(f);
  return rc;
}

void filesys_set_subdir(const char *dir) {
  // Checked again here: every recording path, list and download is built
  // on it, and a value stored before the check existed must not lead
  // outside the volume.
  if (dir && dir[0]) {
    if (const char *err = param_parse_dir_name(dir, strlen(dir), nullptr)) {
      log_printf("%s: %s: %s, using DCIM\n", "filesys_set_subdir", dir, err);
      dir = nullptr;
    }
  }
  filesys_lock();
  snprintf(g_subdir, sizeof g_subdir, "%s", dir && dir[0] ? dir : "DCIM");
  filesys_unlock();
}

const char *filesys_get_subdir(void) { return g_subdir; }

namespace {
struct WritingFile {
  bool used;
  dev_t dev;
  ino_t ino;
};
WritingFile g_writing[FILESYS_WRITING_MAX];
}  // namespace

int filesys_writing_add(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  for (int i = 0; i < FILESYS_WRITING_MAX; i++)
    if (!g_writing[i].used) {
      g_writing[i] = {true, st.st_dev, st.st_ino};
      return i;
    }
  return -1;
}

void filesys_writing_remove(int handle) {
  if (handle >= 0 && handle < FILESYS_WRITING_MAX) g_writing[handle].used = false;
}

bool filesys_writing_holds(const char *mnt, const char *rel) {
  struct stat st;
  if (volume_lstat(mnt, rel, &st) != 0) return false;
  for (const WritingFile &w : g_writing)
    if (w.used && w.dev == st.st_dev && w.ino == st.st_ino) return true;
  return false;
}

void filesys_reset(void) {
  filesys_lock();
  for (WritingFile &w : g_writing) w.used = false;
  for (int i = 0; i < FILESYS_SLOTS; i++) slot_init(i);
  filesys_state.mounted = 0;
  filesys_state.storage_problem = 0;
  filesys_state.record_countdown = 0;
  g_first_run = true;
  g_startup = true;
  g_excluded = -1;
  snprintf(g_subdir, sizeof g_subdir, "DCIM");
  filesys_unlock();
}
