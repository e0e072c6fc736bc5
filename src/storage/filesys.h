// The storage manager: the SD card and up to two USB disks, mounted
// read-only while nobody writes and read-write for the span of each write.
// Callers name volumes by StorageSource; slots are internal.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>

enum StorageSource { STORAGE_INT = 0, STORAGE_EXT = 1, STORAGE_MMC = 2 };
enum { FILESYS_SLOTS = 3 };

struct StorageSlot {
  char device[20];
  const char *mnt;        // mount point while mounted, NULL otherwise
  uint8_t rw;             // 0 read-only or unmounted, 1 read-write, 2 mounting
  uint8_t failures;
  uint8_t port;
  uint8_t refusal_logged;
  uint8_t fat;
  uint64_t avail_blocks;  // ~0: unknown
  uint64_t total_blocks;  // ~0: unknown
  uint32_t block_size;
  int32_t writers;
};

struct ParamBlock;
struct StreamQueue;
struct StreamState;

// What the storage manager asks of the subsystems above it. NULL entries
// are skipped.
struct StorageHooks {
  void (*dvr_post_key)(uint32_t key);
  void (*dvr_post_message)(const char *text);
  void (*filesys_event)(int source, int kind);   // 0 mounted, 1 unmounted, 2 mount failed, 3 problem
  void (*overlay_files_load)(int source);
  // Progress in tenths of a percent; -1 back means the user cancelled.
  int (*show_progress)(void *context, int permille);
  void (*file_list_stale)(void);
  int (*firmware_busy)(void);
  // The rescue files and the Wi-Fi archive, each opened by the volume walk:
  // the hook reads the descriptor it is given, which the caller closes.
  int (*rescue_custom_zip)(int fd);                    // 0 loaded, 1 cleared, other failed
  const char *(*rescue_firmware)(int fd);              // status text
  int (*wifi_active)(void);
  void (*wifi_archive_install)(int fd);
  void (*usb_check_id)(void);
  // On the record thread: a recording ended of itself (a fault, its last
  // segment), before the record stream reads as stopped.
  void (*record_ended)(void);
  // The idle recorder's status text in the menu language (NULL: English).
  const char *(*record_stopped_text)(void);
};
extern StorageHooks storage_hooks;

struct FilesysState {
  int storage_device;       // 0 both, 1 int, 2 ext, 3 ask, 4 mmc
  int mounted;
  const char *lock_func;
  int lock_line;
  pthread_mutex_t filesys_mutex;
  // The record thread hands file names over here (see the recorder).
  pthread_mutex_t record_name_mutex;
  pthread_cond_t record_name_cond;
  int record_name_waiting;
  int record_name_ready;
  // A run ended without a file: a caller waiting for the name is told at
  // once rather than when its wait runs out.
  int record_name_failed;
  char record_name[256];   // the path of the recorder's file
  // Written by the record thread, read by getRecordingStatus.
  StreamState *record_state;   // published once its first unit is in
  const char *record_status;    // through filesys_set_record_status only
  int record_running;           // from the start of a run to its end
  uint8_t storage_problem;
  int record_countdown;
  int sync_pending;
};
extern FilesysState filesys_state;

// The recorder's status text: a constant string, or NULL while a run goes
// on. The record thread sets it with and without the lock held, so it is
// stored and read atomically.
void filesys_set_record_status(const char *text);
const char *filesys_record_status(void);
// The idle recorder's status: shown as the menu language's "Stopped".
extern const char filesys_record_stopped[];
extern StorageSlot fs[FILESYS_SLOTS];

int filesys_slot_to_source(int slot);
int filesys_source_to_slot(int source);
bool filesys_is_mounted(int source);
bool filesys_usb_mount_failed(int n);
bool filesys_all_read_only(void);
int filesys_count_devices(void);
void filesys_set_storage_device(int choice);
void filesys_lock_at(pthread_mutex_t *m, int line, const char *func);
#define filesys_lock() filesys_lock_at(&filesys_state.filesys_mutex, __LINE__, __func__)
void filesys_unlock(void);
int64_t filesys_total_space(int source);
int64_t filesys_free_space(int source);
void filesys_recalculate_free_space(int source);
void calculate_free_space(int slot);
int getRecordingStorage(char *buf, size_t size);
int getRecordingStatus(char *buf, size_t size);
// The recording as Recording.Status and the OSD show it, published by the
// record thread outside filesys_mutex, so that readers never wait behind a
// mount or a format that holds the lock.
void filesys_publish_record_run(bool running);
// The first unit of a file is in: elapsed time counts from start_ts on the
// queue's clock; NULL queue: no file.
void filesys_publish_record_start(StreamQueue *queue, uint32_t start_ts);
// Whether a run goes on, and its elapsed 90 kHz ticks (0 before its first unit).
bool filesys_record_snapshot(uint32_t *elapsed);
void filesys_add_writer(int source);      // caller holds filesys_mutex
void filesys_remove_writer(int source);   // caller holds filesys_mutex
void filesys_remount(int slot, const char *mode);
void filesys_unmount_slot(int slot);
void unmount_all(void);
void fileSysDone(void);
void fileSysTick(ParamBlock *params);
uint64_t file_size(const char *path);
bool file_exists(const char *path);
int write_string_to_file(const char *path, const char *text);
// The recording directory under each mount point ("DCIM" at start).
void filesys_set_subdir(const char *dir);
const char *filesys_get_subdir(void);
// Forgets every slot (tests; the program starts with a fresh table).
void filesys_reset(void);

// The files the record and snapshot threads are writing, known by device
// and inode, so that a name spelled otherwise (another case on FAT, a
// second link) still finds them. Caller holds filesys_mutex.
// filesys_writing_add: a handle for filesys_writing_remove, or -1 when the
// file cannot be known (its writer then goes on unguarded).
enum { FILESYS_WRITING_MAX = 4 };
int filesys_writing_add(int fd);
void filesys_writing_remove(int handle);
// Whether rel below the mount point is such a file.
bool filesys_writing_holds(const char *mnt, const char *rel);

// File operations.
enum { ERR_FILE_WRITE = -1, ERR_FILE_EXISTS = -2, ERR_NO_SPACE = -3, ERR_CANCELLED = -4,
       ERR_FILE_READ = -5 };
const char *filesys_copy_result_name(int result);
// The longest name from outside (control protocol, web, menu) in bytes.
// Every holder of such a name has room for FILESYS_NAME_MAX + 1 bytes, and
// every list offered to a user leaves longer names out: a longer name is
// refused before use, never cut to another file's name.
enum { FILESYS_NAME_MAX = 127 };
// A name from outside: a plain relative name (see volume_name_ok) of at most
// FILESYS_NAME_MAX bytes. 1 when acceptable. Every file operation below
// walks it from the volume's root without following a link (storage/volume.h).
int filesys_name_ok(const char *name);
// A mode "w" (without '+') writes the file whole as a replacement
// (volume_replace_open): the old file stays until filesys_fclose_w.
FILE *filesys_fopen(int source, const char *name, const char *mode);
void filesys_fclose(int source, FILE *f);
// Closes a file opened for writing and ends its writer: 0, or -1 when the
// flush, the sync, the close or the rename failed (the data is not all on
// the volume; a file written whole keeps its old content).
int filesys_fclose_w(int source, FILE *f);
// Reads a file whole, at most max bytes (a longer file is cut, and logged);
// malloc'd with a zero after the data.
uint8_t *filesys_readfile(int source, const char *name, size_t max, size_t *size);
int filesys_writefile(int source, const char *name, const void *data, size_t n);
int filesys_unlink(int source, const char *name);
bool file_exists_on(int source, const char *name);
char *filesys_get_file_on(int source, const char *name);   // malloc'd; free()
// The same file opened for reading (a regular file reached without a link):
// the descriptor to read it by, or -1.
int filesys_open_file_on(int source, const char *name);
char *filesys_getdir(int source);                          // malloc'd; free()
// The recording directory's file name (or the directory itself for ""),
// opened from the volume's root without following a link.
int filesys_open_recording(int source, const char *name, int flags);
// Its listing (leave out what volume_entry_is_file refuses), and lstat.
DIR *filesys_opendir_recording(int source);
int filesys_stat_recording(int source, const char *name, struct stat *st);
// First volume (slots 2, 1, 0) holding the file; copies the path into buf.
// NULL when none has it.
char *filesys_get_file(const char *name, char *buf, size_t size);
// The same file opened for reading, or -1.
int filesys_open_file(const char *name);
char *filesys_get_config_file(const char *name, char *buf, size_t size);
// A file a recording or snapshot is writing is neither renamed nor deleted:
// both then return -EBUSY.
int filesys_rename(int source, const char *old_name, const char *new_name);
int filesys_delete(int source, const char *name, void *progress);
void filesys_multi_start(int source, int unused, int64_t total);
void filesys_multi_finish(int source);
int filesys_copy(int source, const char *name, int overwrite, void *progress);
int filesys_format(int source);
// Imports "config.txt" of the volume's root. A last line without its line
// end (a file cut short) is not set, and is counted as skipped.
int filesys_load_config_params(int source);
struct ParamImportCount;
// Sets every "name = value" line of a file opened by a volume walk (read
// from fd, never by its name again), a last line as above: 0, or -1 when
// it cannot be read or holds more than 256 KB (then nothing is set). The
// lines set and skipped in *count when given.
int filesys_import_params_fd(int fd, ParamImportCount *count = nullptr);
int filesys_save_config_params(int source);
int filesys_save_log_to(int source, int kind);
int filesys_save_log(void);
int filesys_save_dmesg(void);
