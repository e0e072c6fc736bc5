#include "core/firmware.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/crc32.h"
#include "core/global.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/process_util.h"
#include "core/startup.h"
#include "platform/host_root.h"
#include "platform/sched.h"
#include "platform/wallclock.h"

void (*firmware_led_blink)(int on);

namespace {

constexpr size_t kTarBlock = 512;
constexpr size_t kWritePiece = 4096;

int board_read(void *buf, uint32_t offset, size_t len) {
  return mtd_read(buf, offset, len) == (ssize_t)len ? 0 : -1;
}
int board_write(const void *buf, uint32_t offset, size_t len) {
  return mtd_write(buf, offset, len) == (ssize_t)len ? 0 : -1;
}
int board_erase(uint32_t offset) { return mtd_erase_block(offset, MTD_ERASE_BLOCK); }
const FirmwareFlash kBoardFlash = {board_read, board_write, board_erase};

// The update state, under fw_mutex.
pthread_mutex_t fw_mutex = PTHREAD_MUTEX_INITIALIZER;
struct UpdateState {
  uint8_t *image;          // NULL when none
  uint64_t received;
  uint64_t size;
  const void *owner;       // the request that began the upload
  const void *handed;      // the request whose image went to the flash thread
  const void *refused;     // the request whose whole image was refused
  int thread_started;
  bool stop_streams;       // set for each image the flash thread takes: an upload's
                           // streams stop before its first write
  bool rescue;             // a file is being read, checked or flashed in its caller
  const char *status;      // for the update page, cleared as it is read
  const char *last;        // the same, kept
  int wifi_tools;
} g;

void status_locked(const char *text) {
  g.status = text;
  g.last = text;
}

void status(const char *text) {
  pthread_mutex_lock(&fw_mutex);
  status_locked(text);
  pthread_mutex_unlock(&fw_mutex);
}

void clear_locked(void) {
  free(g.image);
  g.image = nullptr;
  g.received = g.size = 0;
  g.owner = nullptr;
  g.thread_started = 0;
}

uint32_t be32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void blink(int on) {
  if (firmware_led_blink) firmware_led_blink(on);
}

void yield_progress(size_t) { sched_yield(); }

// An uploaded image keeps the streams (a recording among them) running
// while it arrives and is checked: they stop only once it is about to be
// written, so a refused or needless image changes nothing.
void before_write(void) {
  pthread_mutex_lock(&fw_mutex);
  bool stop = g.stop_streams;
  g.stop_streams = false;
  pthread_mutex_unlock(&fw_mutex);
  if (stop && core_hooks.stream_stop_all) core_hooks.stream_stop_all(0);
}

// The header's own CRC: over the 64 bytes with the CRC field zeroed.
bool header_valid(const uint8_t *h) {
  if (be32(h) != UIMAGE_MAGIC) return false;
  uint8_t copy[UIMAGE_HEADER_SIZE];
  memcpy(copy, h, sizeof copy);
  memset(copy + 4, 0, 4);
  return crc32_progress(copy, sizeof copy, nullptr) == be32(h + 4);
}

// An entry of a ustar archive: its name is NUL-padded in 100 bytes, its size
// octal at 124. false when the header or its data lies beyond the end.
struct TarEntry {
  const uint8_t *data;
  uint64_t size;
  uint64_t next;           // offset of the following header
};

bool tar_entry(const uint8_t *buf, uint64_t length, uint64_t at, const char *name, TarEntry *e) {
  if (at > length || length - at < kTarBlock) return false;
  const uint8_t *h = buf + at;
  size_t n = strlen(name);
  if (memcmp(h, name, n) != 0 || h[n] != 0 || !tar_header_sum_ok(h)) return false;
  uint64_t size = 0;
  for (int i = 124; i < 136 && h[i] >= '0' && h[i] <= '7'; i++) size = size * 8 + (h[i] - '0');
  uint64_t start = at + kTarBlock;
  if (size > length - start) return false;
  e->data = h + kTarBlock;
  e->size = size;
  uint64_t padded = (size + kTarBlock - 1) / kTarBlock * kTarBlock;
  e->next = start + padded;
  return true;
}

int erase_range(uint32_t base, uint64_t length) {
  for (uint64_t off = 0; off < length; off += MTD_ERASE_BLOCK)
    if (firmware_flash->erase(base + (uint32_t)off) != 0) return -1;
  return 0;
}

// Writes and reads every piece back: a flash that takes a write without
// keeping it is caught here, before the kernel header makes the image valid.
int write_range(uint32_t base, const uint8_t *data, uint64_t length) {
  uint8_t back[kWritePiece];
  for (uint64_t off = 0; off < length; off += kWritePiece) {
    size_t n = length - off < kWritePiece ? (size_t)(length - off) : kWritePiece;
    uint32_t at = base + (uint32_t)off;
    if (firmware_flash->write(data + off, at, n) != 0) return -1;
    if (firmware_flash->read(back, at, n) != 0 || memcmp(back, data + off, n) != 0) {
      log_printf("%s: read back differs at 0x%x\n", "flash_write", (unsigned)at);
      return -1;
    }
  }
  return 0;
}

int flash_wifi_archive(const uint8_t *data, uint64_t size) {
  if (size >= WIFI_ARCHIVE_MAX) {
    status("WiFi archive too large");
    return -1;
  }
  before_write();
  blink(1);
  status("Writing WiFi tools to flash");
  log_printf("%s: erasing %d bytes\n", "flash_wifi_archive", (int)size);
  int rc = 0;
  if (erase_range(MTD_WIFI_ARCHIVE_OFF, size) != 0) {
    status("error erasing block");
    rc = -1;
  } else {
    log_printf("%s: writing %d bytes\n", "flash_wifi_archive", (int)size);
    if (write_range(MTD_WIFI_ARCHIVE_OFF, data, size) != 0) {
      status("error writing block");
      rc = -1;
    }
  }
  blink(0);
  return rc;
}

}  // namespace

int wifi_tools_present(void) {
  pthread_mutex_lock(&fw_mutex);
  int present = g.wifi_tools;
  pthread_mutex_unlock(&fw_mutex);
  return present;
}

namespace {

// After a successful update: the update page gets up to 5 s to read the
// final status, then the device restarts.
void restart_after_update(void) {
  int safe = board_identity.safe_boot;
  pthread_mutex_lock(&fw_mutex);
  status_locked(safe ? "Update complete, cycle power to restart" : "Restarting");
  log_printf("%s: waiting for web page to see message\n", "flash_thread");
  for (int i = 0; i < 50 && g.status; i++) {
    pthread_mutex_unlock(&fw_mutex);
    sleep_ms(100);
    pthread_mutex_lock(&fw_mutex);
  }
  log_printf("%s: done\n", "flash_thread");
  pthread_mutex_unlock(&fw_mutex);
  set_exit_code(safe ? EXIT_HALT : EXIT_REBOOT);
  if (serial_event_fd >= 0) {
    uint64_t one = 1;
    (void)!write(serial_event_fd, &one, sizeof one);
  }
}

void *flash_thread(void *) {
  pthread_mutex_lock(&fw_mutex);
  log_printf("%s: fw total=%u fw_size=%u\n", "flash_thread", (unsigned)g.received, (unsigned)g.size);
  uint8_t *image = g.image;
  uint64_t length = g.size;
  bool whole = image && g.received == g.size;
  pthread_mutex_unlock(&fw_mutex);
  // The buffer stays held (and other uploads refused) until the end.
  if (whole && firmware_flash_image(image, length) == 0) restart_after_update();
  pthread_mutex_lock(&fw_mutex);
  clear_locked();
  pthread_mutex_unlock(&fw_mutex);
  return nullptr;
}

// Called with fw_mutex held and an image complete, once per image.
void flash_thread_start_locked(void) {
  g.thread_started = 1;
  g.handed = g.owner;
  g.stop_streams = g.owner != nullptr;
  status_locked("Verifying image");
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int prio = 0;
  sched_attr_fifo(&attr, sched_fifo_max() - sched_fifo_min(), &prio);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int rc = pthread_create(&t, &attr, flash_thread, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    perror("pthread_create");
    status_locked("failed to start update");
    clear_locked();
    return;
  }
  thread_name_register(t, "flash");
}

// A file read, checked or flashed in its caller holds the update for the
// web and the other paths meanwhile: 0 when held, -1 when another update
// holds it.
int file_hold(void) {
  pthread_mutex_lock(&fw_mutex);
  bool busy = g.image || g.rescue;
  if (!busy) g.rescue = true;
  pthread_mutex_unlock(&fw_mutex);
  return busy ? -1 : 0;
}

}  // namespace

const FirmwareFlash *firmware_flash = &kBoardFlash;

namespace {

// The stated header and data bytes of a uImage (its header read).
uint64_t image_length(const uint8_t *image) { return UIMAGE_HEADER_SIZE + (uint64_t)be32(image + 12); }

// The checks an image passes before anything is erased: it fits the kernel
// region, its header and data are whole with their CRCs, and it is a Linux
// kernel for this board's processor. 0, or -1 with the status set.
int kernel_image_check(const uint8_t *image, uint64_t length) {
  if (length > MTD_KERNEL_MAX) {
    status("Firmware file too large");
    return -1;
  }
  status("Verifying firmware image");
  if (length < UIMAGE_HEADER_SIZE || !header_valid(image) ||
      be32(image + 12) > length - UIMAGE_HEADER_SIZE ||
      crc32_progress(image + UIMAGE_HEADER_SIZE, be32(image + 12), yield_progress) != be32(image + 24)) {
    status("not a valid firmware file");
    return -1;
  }
  if (image[28] != UIMAGE_OS_LINUX || image[29] != UIMAGE_ARCH_ARM || image[30] != UIMAGE_TYPE_KERNEL) {
    log_printf("%s: not an ARM Linux kernel: os=%u arch=%u type=%u\n", "flash_kernel_image", image[28],
               image[29], image[30]);
    status("not a valid firmware file");
    return -1;
  }
  return 0;
}

// Writes a checked image: 0 written, 1 the same image is already there.
int kernel_image_write(const uint8_t *image, uint64_t length) {
  uint8_t current[UIMAGE_HEADER_SIZE];
  if (firmware_flash->read(current, MTD_KERNEL_OFF, sizeof current) == 0 &&
      memcmp(current, image, sizeof current) == 0) {
    status("No update needed");
    return 1;
  }
  before_write();
  status("Writing firmware to flash");
  int fd = sys_open("/proc/sys/vm/drop_caches", O_WRONLY);
  if (fd >= 0) {
    (void)!write(fd, "1", 1);
    close(fd);
  }
  blink(1);
  int rc = 0;
  log_printf("%s: erasing %d bytes\n", "flash_kernel_image", (int)length);
  if (erase_range(MTD_KERNEL_OFF, length) != 0) {
    status("error erasing block");
    rc = -1;
  } else {
    log_printf("%s: writing %d bytes\n", "flash_kernel_image", (int)length);
    // The header last: an interrupted update leaves no valid image. A header
    // that does not read back as written is erased again.
    if (write_range(MTD_KERNEL_OFF + UIMAGE_HEADER_SIZE, image + UIMAGE_HEADER_SIZE,
                    length - UIMAGE_HEADER_SIZE) != 0) {
      status("error writing block");
      rc = -1;
    } else if (write_range(MTD_KERNEL_OFF, image, UIMAGE_HEADER_SIZE) != 0) {
      firmware_flash->erase(MTD_KERNEL_OFF);
      status("error writing block");
      rc = -1;
    }
  }
  blink(0);
  return rc;
}

}  // namespace

int flash_kernel_image(const uint8_t *image, uint64_t length) {
  if (kernel_image_check(image, length) != 0) return -1;
  return kernel_image_write(image, image_length(image));
}

int firmware_image_check(const uint8_t *image, uint64_t length) {
  TarEntry fw;
  if (!tar_entry(image, length, 0, "m7391.fw", &fw)) return kernel_image_check(image, length);
  // Every entry of a combined file is checked before the first erase: a
  // cut or damaged file leaves both regions as they were.
  TarEntry archive;
  if (!tar_entry(image, length, fw.next, "wifi_archive.tar", &archive)) {
    if (kernel_image_check(fw.data, fw.size) != 0) return -1;
    status("not a valid firmware file");
    log_printf("NOTE: wifi_archive.tar not found in combined fw\n");
    return -1;
  }
  if (kernel_image_check(fw.data, fw.size) != 0) return -1;
  if (archive.size >= WIFI_ARCHIVE_MAX) {
    status("WiFi archive too large");
    return -1;
  }
  if (wifi_archive_check(archive.data, archive.size) != 0) {
    status("not a valid firmware file");
    return -1;
  }
  return 0;
}

int firmware_flash_image(const uint8_t *image, uint64_t length) {
  if (firmware_image_check(image, length) != 0) return -1;
  int wifi = wifi_tools_present();
  TarEntry fw, archive;
  if (tar_entry(image, length, 0, "m7391.fw", &fw)) {
    tar_entry(image, length, fw.next, "wifi_archive.tar", &archive);
    int rc = kernel_image_write(fw.data, image_length(fw.data));
    if (rc == 0 || (rc == 1 && !wifi)) return flash_wifi_archive(archive.data, archive.size);
    return -1;
  }
  int rc = kernel_image_write(image, image_length(image));
  if (rc == 1 && !wifi) return -1;
  if (rc < 0) return -1;
  // A plain kernel image leaves the Wi-Fi tools out: the old ones go.
  if (wifi && firmware_flash->erase(MTD_WIFI_ARCHIVE_OFF) != 0) {
    status("error erasing block");
    return -1;
  }
  return 0;
}

int firmware_image_kind(const uint8_t *data, uint64_t length) {
  if (length >= UIMAGE_HEADER_SIZE && be32(data) == UIMAGE_MAGIC &&
      (uint64_t)be32(data + 12) + UIMAGE_HEADER_SIZE == length)
    return 1;
  TarEntry fw, archive;
  if (tar_entry(data, length, 0, "m7391.fw", &fw) &&
      tar_entry(data, length, fw.next, "wifi_archive.tar", &archive))
    return 2;
  return 0;
}

int firmware_upload_init(const void *owner, const void *chunk, size_t length) {
  const uint8_t *p = (const uint8_t *)chunk;
  pthread_mutex_lock(&fw_mutex);
  int rc = -1;
  if (g.image || g.rescue) {
    // Another upload holds the state: its status stays as it is.
    rc = -2;
  } else if (length < UIMAGE_HEADER_SIZE) {
    if (length) status_locked("firmware file too small");
  } else if (be32(p) != UIMAGE_MAGIC) {
    status_locked("not a valid firmware file");
  } else {
    uint64_t size = (uint64_t)be32(p + 12) + UIMAGE_HEADER_SIZE;
    char name[33];
    memcpy(name, p + 32, 32);
    name[32] = 0;
    log_printf("%s: initial size=%u fw_size=%u name=%s\n", "firmware_upload_init", (unsigned)length,
               (unsigned)size, name);
    if (size > FIRMWARE_MAX_SIZE) {
      status_locked("firmware file too large");
    } else if (!(g.image = (uint8_t *)malloc(size))) {
      status_locked("out of memory");
    } else {
      g.size = size;
      g.received = 0;
      g.owner = owner;
      g.thread_started = 0;
      status_locked("uploading");
      rc = 0;
    }
  }
  pthread_mutex_unlock(&fw_mutex);
  return rc;
}

int firmware_upload_append(const void *owner, const void *chunk, size_t length) {
  pthread_mutex_lock(&fw_mutex);
  if (!g.image || g.owner != owner || g.thread_started) {
    // Pieces after the image was taken are dropped.
    int taken = g.handed == owner;
    pthread_mutex_unlock(&fw_mutex);
    return taken ? 0 : -1;
  }
  const uint8_t *p = (const uint8_t *)chunk;
  if (length > g.size - g.received) {
    unsigned at = (unsigned)(g.size - g.received);
    log_printf("oversized packet: fw_len=%u fw_size=%u size=%u  %x=%02x%02x%02x%02x\n",
               (unsigned)g.received, (unsigned)g.size, (unsigned)length, at,
               at < length ? p[at] : 0, at + 1 < length ? p[at + 1] : 0,
               at + 2 < length ? p[at + 2] : 0, at + 3 < length ? p[at + 3] : 0);
    length = (size_t)(g.size - g.received);
  }
  memcpy(g.image + g.received, p, length);
  g.received += length;
  if (!length || g.received != g.size) {
    pthread_mutex_unlock(&fw_mutex);
    return 0;
  }
  log_printf("upload_finish: fw_len=%u fw_size=%u size=%u\n", (unsigned)g.received, (unsigned)g.size,
             (unsigned)length);
  // Checked here, in the request, so that its answer can say why an image
  // is refused; the flash thread checks it again before it erases. The
  // image stays held meanwhile, and no piece is taken after this one.
  g.thread_started = 1;
  const uint8_t *image = g.image;
  uint64_t size = g.size;
  pthread_mutex_unlock(&fw_mutex);
  bool accepted = firmware_image_check(image, size) == 0;
  pthread_mutex_lock(&fw_mutex);
  if (accepted) {
    flash_thread_start_locked();
  } else {
    g.refused = owner;
    clear_locked();
  }
  int rc = g.image ? 0 : -1;
  pthread_mutex_unlock(&fw_mutex);
  return rc;
}

int firmware_upload_finish(const void *owner) {
  int rc = 0;
  pthread_mutex_lock(&fw_mutex);
  if (!g.image) {
    if (g.handed != owner && g.refused != owner && (!g.status || strcmp(g.status, "uploading") == 0)) {
      status_locked("Firmware upload failed");
      rc = -1;
    }
  } else if (g.owner == owner && g.received < g.size) {
    log_printf("upload_finish: fw_len=%u fw_size=%u\n", (unsigned)g.received, (unsigned)g.size);
    status_locked("Firmware image truncated");
    clear_locked();
    rc = -1;
  }
  pthread_mutex_unlock(&fw_mutex);
  return rc;
}

int firmware_update_in_progress(void) {
  pthread_mutex_lock(&fw_mutex);
  int busy = g.image != nullptr || g.rescue;
  pthread_mutex_unlock(&fw_mutex);
  return busy;
}

const char *firmware_status_take(void) {
  pthread_mutex_lock(&fw_mutex);
  const char *text = g.status;
  g.status = nullptr;
  pthread_mutex_unlock(&fw_mutex);
  return text;
}

int firmware_status_pending(void) {
  pthread_mutex_lock(&fw_mutex);
  int pending = g.status != nullptr;
  pthread_mutex_unlock(&fw_mutex);
  return pending;
}

const char *firmware_status_peek(void) {
  pthread_mutex_lock(&fw_mutex);
  const char *text = g.last;
  pthread_mutex_unlock(&fw_mutex);
  return text;
}

void firmware_status_set(const char *text) { status(text); }

void firmware_set_wifi_tools_present(int present) {
  pthread_mutex_lock(&fw_mutex);
  g.wifi_tools = present;
  pthread_mutex_unlock(&fw_mutex);
}

int firmware_file_read(int fd, uint64_t max, uint8_t **data, uint64_t *size) {
  *data = nullptr;
  *size = 0;
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  *size = (uint64_t)st.st_size;
  if (*size > max) return 1;
  uint8_t *buf = (uint8_t *)malloc(*size ? *size : 1);
  if (!buf) return -1;
  // Read from the start whatever the offset; the file must still hold the
  // bytes it had when opened.
  uint64_t got = 0;
  while (got < *size) {
    if (lseek(fd, (off_t)got, SEEK_SET) < 0) break;
    ssize_t n = sys_fd_read(fd, buf + got, *size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += (uint64_t)n;
  }
  if (got < *size) {
    log_printf("%s: the file gave %llu of %llu bytes\n", "firmware_file_read", (unsigned long long)got,
               (unsigned long long)*size);
    free(buf);
    return -1;
  }
  *data = buf;
  return 0;
}

int firmware_load_file(int fd) {
  // Held while the file is read and checked: no other update's status is
  // overwritten by this one's.
  if (file_hold() != 0) return -1;
  uint8_t *image;
  uint64_t size;
  int rc = firmware_file_read(fd, FIRMWARE_MAX_SIZE, &image, &size);
  if (rc > 0) {
    status("firmware file too large");
    rc = -2;
  } else if (rc < 0) {
    status("Firmware upload failed");
  } else if (firmware_image_check(image, size) != 0) {
    // Checked here, so that whoever asked learns at once why an image is
    // refused; the flash thread checks it again before it erases.
    rc = -2;
  }
  pthread_mutex_lock(&fw_mutex);
  g.rescue = false;
  if (rc == 0) {
    g.image = image;
    image = nullptr;
    g.size = g.received = size;   // no owner, no thread yet: clear_locked left them so
    flash_thread_start_locked();
    rc = g.image ? 0 : -1;
  }
  pthread_mutex_unlock(&fw_mutex);
  free(image);
  return rc;
}

int firmware_upload_file(int fd, const char *name) {
  if (fd < 0) {
    log_printf("%s: could not open %s\n", "firmware_upload_file", name);
    return -1;
  }
  struct stat st;
  uint64_t size = fstat(fd, &st) == 0 ? (uint64_t)st.st_size : 0;
  log_printf("%s %s size %d\n", "firmware_upload_file", name, (int)size);
  if (file_hold() != 0) {
    log_printf("%s: an update is already in progress\n", "firmware_upload_file");
    return 0;
  }
  // Read into memory, never mapped: a file that shrinks or a disk pulled
  // meanwhile is a short read, refused here.
  uint8_t *image;
  int rc = firmware_file_read(fd, FIRMWARE_MAX_SIZE, &image, &size);
  if (rc > 0) {
    status("firmware file too large");
  } else if (rc < 0) {
    status("Firmware upload failed");
  } else if (size <= UIMAGE_HEADER_SIZE) {
    status("firmware file too small");
  } else {
    mtd_open();
    if (firmware_flash_image(image, size) == 0) restart_after_update();
    log_printf("%s\n", firmware_status_peek() ? firmware_status_peek() : "");
  }
  free(image);
  pthread_mutex_lock(&fw_mutex);
  g.rescue = false;
  pthread_mutex_unlock(&fw_mutex);
  return 0;
}

uint32_t read_firmware_date(void) {
  uint8_t h[UIMAGE_HEADER_SIZE];
  uint32_t date = 0xFFFFFFFFu;
  if (!board_identity.safe_boot && firmware_flash->read(h, MTD_KERNEL_OFF, sizeof h) == 0)
    date = be32(h + 8);
  if ((date == 0xFFFFFFFFu || board_identity.safe_boot) &&
      firmware_flash->read(h, MTD_WIFI_ARCHIVE_OFF, sizeof h) == 0)
    date = be32(h + 8);
  return date;
}

int firmware_version_text(char *buf, size_t size) {
  uint32_t date = read_firmware_date();
  time_t t = (time_t)date;
  struct tm tm;
  if (date == 0xFFFFFFFFu) return snprintf(buf, size, "Firmware invalid");
  wallclock_localtime(t, &tm);
  return snprintf(buf, size, "%04d %02d%02d %02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min);
}
