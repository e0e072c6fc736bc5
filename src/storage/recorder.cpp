#include "storage/recorder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/log.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "media/capture.h"
#include "media/stream_mux.h"
#include "media/stream_producer.h"
#include "media/stream_state.h"
#include "media/video_enc.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "storage/volume.h"
#include "storage/recorder_mp4.h"

RecorderHooks recorder_hooks;
uint64_t recorder_test_initial_bytes;

namespace {

const char *const kChoiceNames[] = {"both", "int", "ext", "ask", "mmc"};
// Recording.Format -> StreamMode: H.264+AAC MP4, H.264+AAC TS, H.264 MP4, H.264 TS.
const uint8_t kFormatMode[4] = {13, 0, 14, 1};
constexpr uint64_t kFatLimit = 1ULL << 32;
constexpr uint32_t kDequeueWaitMs = 1000;
// Room a unit may take beyond its own bytes once muxed: TS packets and
// tables, the audio that goes with it, the growth of an MP4 index.
constexpr uint64_t kUnitSlack = 16 << 10;
// Free space never given to a recording: the volume's own needs.
constexpr uint64_t kKeepFreeMin = 128 << 10;
// A new file is not begun with less room than this.
constexpr uint64_t kStartRoomMin = 512 << 10;

// Unit ends remembered per file: a buffer's worth of small units.
constexpr unsigned kUnitEnds = 4096;

// TS and JPEG files are written from our own page-aligned buffer in whole
// blocks, so O_DIRECT holds and, once a second, the whole blocks gathered so
// far reach the medium: a power cut loses at most a second. MP4 files go
// through a stdio stream over the volume's I/O (the writer seeks), with the
// same buffer as its buffer, flushed once a second as well.
struct OutFile {
  FILE *file;
  int fd;            // the descriptor under file (volume I/O, fstat, fcntl)
  char *buffer;      // page-aligned, RECORD_BUFFER_SIZE
  size_t fill;       // bytes waiting in buffer (own buffering)
  bool own;          // written through buffer by us, not by stdio
  uint64_t bytes;
  bool direct;
  int slot;          // storage slot of the file
  bool failed;       // a write failed; err is its errno
  int err;
  bool carry;        // too big for its volume: the unwritten rest goes on
  // Where the units taken end (in bytes counted as o.bytes), oldest first,
  // until the file holds them; whole is the last end the file holds. A
  // file that fails is cut back to whole, so that it ends with a whole
  // unit (a TS file with whole packets and frames).
  uint64_t ends[kUnitEnds];
  unsigned ends_first, ends_count;
  uint64_t whole;
  char path[256];
  char rel[192];     // the file's name on its volume
  int writing;       // its handle among the files being written; -1 none
};

constexpr size_t kBlock = 4096;

struct Recorder {
  RecordEnv *re;
  bool snapshot;
  ProducerState ps;
  OutFile out[2];
  bool writer_added[FILESYS_SLOTS];
  StreamState st;
  bool attached;
  uint64_t size_limit;      // bytes, 0: none
  uint64_t segment_ticks;   // 90 kHz, 0: none
  uint32_t file_counter;
  int decimation;
  int format;               // 0 MP4, 1 TS (after mapping); 2 JPEG
  uint8_t mode;
  uint64_t units;           // units written to the current file
  uint64_t base_bytes;      // what each file counts as written when it opens
  uint64_t room;            // bytes the file may reach on its volumes; 0: unknown
  time_t last_room_check;
  uint64_t file_elapsed;    // 90 kHz ticks from the file's first unit to its last
  uint32_t last_ts;
  bool have_ts;
  uint64_t key_used;        // file bytes after its last key frame
  bool key_seen;
  uint64_t gop_max;         // largest key-frame interval of the run, in bytes
  uint64_t max_file;        // largest file the volume took (EFBIG); 0: none seen
  FrameDesc *pending;       // a unit muxed for a file that could not take it
  bool named;               // a file name of this run was handed out
  char name_tail[64];
};

char g_filter_prefix[16];
char g_filter_ext[8];

// Adds or removes file status flags: a negative value is ANDed in.
int fcntl_set_flags(int fd, long flags) {
  long cur = fcntl(fd, F_GETFL);
  if (cur < 0) {
    perror("F_GETFL");
    return -1;
  }
  long next = flags >= 0 ? (cur | flags) : (cur & flags);
  if (fcntl(fd, F_SETFL, next) < 0) {
    perror("F_SETFL");
    return -1;
  }
  return 0;
}

// A recording's failure: its status text, and the status word told at once.
void set_status(Recorder *r, const char *text) {
  if (r->snapshot) return;
  if (storage_hooks.record_ended) storage_hooks.record_ended();
  filesys_set_record_status(text);
}

void stop_own(Recorder *r) { stream_set_state(&r->ps, 0); }

bool stopping(Recorder *r) {
  return get_exit_code() != 0 || stream_state_stopping(&r->ps) ||
         (!r->snapshot && filesys_record_status() != nullptr);
}

void publish_name(Recorder *r, const char *path) {
  r->named = true;
  pthread_mutex_lock(&filesys_state.record_name_mutex);
  // The name stays in the hand-off until a caller has read it, also when
  // nobody waits yet.
  snprintf(filesys_state.record_name, sizeof filesys_state.record_name, "%s", path);
  filesys_state.record_name_ready = 1;
  if (filesys_state.record_name_waiting) pthread_cond_broadcast(&filesys_state.record_name_cond);
  pthread_mutex_unlock(&filesys_state.record_name_mutex);
}

}  // namespace

// The first number of the day that no volume has for this extension.
int get_unused_number(const char *prefix, const char *ext) {
  recorder_set_name_filter(prefix, ext);
  // Listed from each volume's root without following a link; links are
  // not recordings and are left out.
  bool taken[1000] = {false};
  int counts[FILESYS_SLOTS] = {0, 0, 0};
  for (int i = 0; i < FILESYS_SLOTS; i++) {
    if (!fs[i].mnt) continue;
    DIR *d = volume_opendir(fs[i].mnt, filesys_get_subdir());
    if (!d) continue;
    while (dirent *e = readdir(d)) {
      if (!recorder_name_filter(e) || !volume_entry_is_file(d, e, nullptr)) continue;
      int n = atoi(e->d_name + 9);
      if (n >= 0 && n < 1000) taken[n] = true;
      counts[i]++;
    }
    closedir(d);
  }
  log_printf("%s: str=%s ext=%s counts=%d,%d\n", "get_unused_filename", prefix, ext, counts[0], counts[1]);
  int found = -1;
  for (int n = 0; n < 1000 && found < 0; n++)
    if (!taken[n]) found = n;
  return found;
}

namespace {

bool storage_ok(int choice) {
  switch (choice) {
    case 4: return filesys_is_mounted(STORAGE_MMC);
    case 1: return fs[1].mnt != nullptr;
    case 2: return fs[2].mnt != nullptr;
    case 0: return fs[1].mnt || fs[2].mnt;
    default: return true;
  }
}

void clear_direct(OutFile &o, int index) {
  if (!o.direct) return;
  log_printf("clearing O_DIRECT on %d\n", index);
  fcntl_set_flags(o.fd, ~(long)O_DIRECT);
  o.direct = false;
}

// Writes n bytes; *done tells how many reached the file, also on failure.
bool write_all(OutFile &o, int index, const char *p, size_t n, size_t *done) {
  *done = 0;
  while (n) {
    ssize_t w = sys_fd_write(o.fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EINVAL && o.direct) {
      // The volume refuses direct writes after all: go through the cache.
      clear_direct(o, index);
      continue;
    }
    if (w < 0) return false;
    if (w == 0) {
      errno = ENOSPC;
      return false;
    }
    p += w;
    n -= (size_t)w;
    *done += (size_t)w;
  }
  return true;
}

// Writes the whole blocks gathered so far (all of it when final) and keeps
// the rest, and whatever a failed write left, for later.
bool own_drain(OutFile &o, int index, bool final) {
  if (final) clear_direct(o, index);
  size_t n = final ? o.fill : o.fill / kBlock * kBlock;
  if (!n) return true;
  size_t done = 0;
  bool ok = write_all(o, index, o.buffer, n, &done);
  int e = errno;
  memmove(o.buffer, o.buffer + done, o.fill - done);
  o.fill -= done;
  uint64_t held = o.bytes - o.fill;
  while (o.ends_count && o.ends[o.ends_first] <= held) {
    o.whole = o.ends[o.ends_first];
    o.ends_first = (o.ends_first + 1) % kUnitEnds;
    o.ends_count--;
  }
  errno = e;
  return ok;
}

// A unit taken whole into the buffer ends at o.bytes. When more units wait
// than are remembered, the oldest end is dropped (a failure then cuts back
// further than it needs to).
void note_unit_end(OutFile &o) {
  if (o.ends_count == kUnitEnds) {
    o.ends_first = (o.ends_first + 1) % kUnitEnds;
    o.ends_count--;
  }
  o.ends[(o.ends_first + o.ends_count) % kUnitEnds] = o.bytes;
  o.ends_count++;
}

void forget_unit_ends(OutFile &o, uint64_t whole) {
  o.ends_first = o.ends_count = 0;
  o.whole = whole;
}

// A file whose writing failed ends with the last unit it holds whole: the
// part of a unit after it goes (a cut packet or frame would not play).
void cut_to_whole_units(const Recorder *r, OutFile &o, int index) {
  if (!o.own || o.whole < r->base_bytes) return;
  uint64_t keep = o.whole - r->base_bytes;
  struct stat st;
  if (fstat(o.fd, &st) != 0 || (uint64_t)st.st_size <= keep) return;
  log_printf("file %d cut back from %llu to %llu bytes (whole units)\n", index, (unsigned long long)st.st_size,
             (unsigned long long)keep);
  if (ftruncate(o.fd, (off_t)keep) != 0) log_printf("ftruncate: %s\n", strerror(errno));
}

// Takes the whole unit into the buffer or, when the blocks before it
// cannot be written, none of it.
bool own_write(OutFile &o, int index, const uint8_t *data, size_t n) {
  if (o.fill + n > RECORD_BUFFER_SIZE && !own_drain(o, index, false)) return false;
  while (o.fill + n > RECORD_BUFFER_SIZE) {
    // Larger than a buffer: straight through what is left.
    size_t part = RECORD_BUFFER_SIZE - o.fill;
    memcpy(o.buffer + o.fill, data, part);
    o.fill += part;
    data += part;
    n -= part;
    if (!own_drain(o, index, false)) return false;
  }
  memcpy(o.buffer + o.fill, data, n);
  o.fill += n;
  return true;
}

// O_DIRECT goes first: the buffer's tail is not a whole block, and a
// direct write of it would fail and lose the end of the file. The errno of
// a failure (taken where it failed), else 0; -1 when nothing is open.
int close_record(OutFile &o, int index) {
  if (!o.file) return -1;
  if (o.own) {
    if (!own_drain(o, index, true)) {
      int e = errno;
      log_printf("fflush %d %s\n", index, strerror(e));
      return e ? e : EIO;
    }
    return 0;
  }
  clear_direct(o, index);
  if (!ferror(o.file) && fflush(o.file) != 0) {
    int e = errno;
    log_printf("fflush %d %s\n", index, strerror(e));
    return e ? e : EIO;
  }
  return 0;
}

// What the next file of the run counts as already written (tests), and
// how full the current file may grow.
uint64_t file_bytes(Recorder *r) {
  if (r->format == 0) return r->base_bytes + recorder_mp4_projected_size(&r->st);
  uint64_t n = 0;
  for (const OutFile &o : r->out)
    if (o.file && o.bytes > n) n = o.bytes;
  return n;
}

uint64_t file_limit(const Recorder *r) {
  uint64_t limit = r->size_limit;
  if (r->max_file && (!limit || r->max_file < limit)) limit = r->max_file;
  if (r->room && (!limit || r->base_bytes + r->room < limit)) limit = r->base_bytes + r->room;
  return limit;
}

uint64_t keep_free(uint32_t block_size) {
  uint64_t keep = 4ULL * block_size;
  return keep < kKeepFreeMin ? kKeepFreeMin : keep;
}

// The bytes each open file may reach before its volume is full, less a
// margin: what it holds on the volume now plus the free space. The
// smallest over the open files; unchanged when no volume answers.
void measure_room(Recorder *r) {
  uint64_t room = 0;
  bool known = false;
  for (const OutFile &o : r->out) {
    if (!o.file || o.slot < 0 || !fs[o.slot].mnt) continue;
    char dir[64];
    snprintf(dir, sizeof dir, "%s/.", fs[o.slot].mnt);
    struct statfs sf;
    struct stat st;
    if (sys_statfs(dir, &sf) != 0 || fstat(o.fd, &st) != 0 || !sf.f_bsize) continue;
    uint64_t bs = (uint64_t)sf.f_bsize;
    uint64_t held = ((uint64_t)st.st_size + bs - 1) / bs * bs;
    uint64_t total = held + (uint64_t)sf.f_bavail * bs;
    uint64_t keep = keep_free((uint32_t)bs);
    uint64_t mine = total > keep ? total - keep : 1;
    if (!known || mine < room) room = mine;
    known = true;
  }
  if (known) r->room = room;
}

// The room a new file needs to hold at least a couple of key-frame
// intervals with its index.
uint64_t room_to_start(const Recorder *r) {
  uint64_t need = 2 * r->gop_max + kUnitSlack;
  return need < kStartRoomMin ? kStartRoomMin : need;
}

// Whether the closed file holds nothing but headers: no byte of a TS or
// JPEG unit, no MP4 sample past the mdat header.
bool holds_no_media(const Recorder *r, const OutFile &o) {
  if (o.slot < 0 || !fs[o.slot].mnt) return false;
  int fd = volume_open(fs[o.slot].mnt, o.rel, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  bool none = st.st_size == 0 || (r->format == 0 && !recorder_mp4_file_has_media(fd));
  close(fd);
  return none;
}

// A closed file stopped before its first frame holds no recording: it
// would only take a number and show up as an empty clip. So does one of a
// recording that failed before any of its media reached the volume. A
// snapshot whose picture did not all reach the volume is no picture
// either.
void drop_if_empty(const Recorder *r, const OutFile &o) {
  bool failed = o.failed || (!r->snapshot && filesys_record_status() != nullptr);
  bool empty = !r->units || (failed && holds_no_media(r, o));
  if ((empty || (r->snapshot && o.failed)) && o.slot >= 0 && fs[o.slot].mnt &&
      volume_unlink(fs[o.slot].mnt, o.rel) == 0)
    log_printf("removed %s %s\n", empty ? "empty" : "partial", o.path);
}

void finish_files(Recorder *r) {
  for (int i = 0; i < 2; i++) {
    OutFile &o = r->out[i];
    if (!o.file) continue;
    // What the flush, the sync or the close says is the file's last word:
    // data they lost is a failed write like any other.
    int e = 0;
    if (!ferror(o.file) && !o.carry) {
      if (fflush(o.file) != 0) e = errno;
      if (sys_fd_sync(o.fd) != 0 && errno != EINVAL && errno != EROFS && !e) e = errno;
    }
    log_printf("fclose %d\n", i);
    if (fclose(o.file) != 0 && !e) e = errno;
    o.file = nullptr;
    if (e && !o.carry && !o.failed) {
      o.failed = true;
      o.err = e;
      log_printf("error: file write failed: %s (%d) (mp4 %d)\n", strerror(e), e, 0);
      set_status(r, "Storage full or write error");
    }
    drop_if_empty(r, o);
  }
  filesys_lock();
  for (OutFile &o : r->out) {
    filesys_writing_remove(o.writing);
    o.writing = -1;
  }
  filesys_unlock();
  if (storage_hooks.file_list_stale) storage_hooks.file_list_stale();
  log_printf("record files closed\n");
}

// Flushes each open record's tail; a failure is logged with the error
// taken where it happened, and the record is marked failed.
void close_records(Recorder *r) {
  for (int i = 0; i < 2; i++) {
    OutFile &o = r->out[i];
    if (!o.file || o.carry) continue;
    int err = close_record(o, i);
    if (err < 0) continue;
    if (err > 0 || o.failed) {
      o.failed = true;
      if (err) o.err = err;
      cut_to_whole_units(r, o, i);
      log_printf("error: file write failed: %s (%d) (mp4 %d)\n", strerror(o.err), o.err, 0);
      if (!r->snapshot) set_status(r, "Storage full or write error");
    }
  }
}

// End of the last file of a run: detach, flush, finish the muxer, close.
// A run that ended at a key frame (a split that stopped it) finishes its
// muxer first, so the file ends where the split was.
void end_file(Recorder *r, bool at_split) {
  log_printf("%s %d: recording done\n", r->re->env.name, (int)r->re->stream_id);
  if (r->attached) {
    if (at_split) muxer_finish(&r->st);
    log_printf("detaching state\n");
    filesys_lock();
    filesys_state.record_state = nullptr;
    filesys_unlock();
    filesys_publish_record_start(nullptr, 0);
    stream_state_detach(&r->st);
  }
  close_records(r);
  if (r->attached) {
    // An MP4 muxer completes its file (the moov) here.
    log_printf("finish mux %d\n", r->format);
    muxer_free(&r->st);
    r->attached = false;
  }
  finish_files(r);
}

// A split: the file ends before the unit the next one starts with; the
// consumer stays attached.
void split_file(Recorder *r) {
  log_printf("%s %d: recording done\n", r->re->env.name, (int)r->re->stream_id);
  if (r->format == 0) muxer_finish(&r->st);
  close_records(r);
  finish_files(r);
}

void end_run(Recorder *r) {
  log_printf("doing sync\n");
  sync();
  filesys_lock();
  for (int i = 0; i < FILESYS_SLOTS; i++) {
    if (!r->writer_added[i]) continue;
    log_printf("filesys_remove_writer %d\n", i);
    filesys_remove_writer(filesys_slot_to_source(i));
    r->writer_added[i] = false;
  }
  log_printf("rw %d %d %d\n", fs[0].rw, fs[1].rw, fs[2].rw);
  if (!fs[0].rw && !fs[1].rw && !fs[2].rw) log_printf("safe to remove\n");
  if (!r->named) {
    pthread_mutex_lock(&filesys_state.record_name_mutex);
    filesys_state.record_name_failed = 1;
    if (filesys_state.record_name_waiting) pthread_cond_broadcast(&filesys_state.record_name_cond);
    pthread_mutex_unlock(&filesys_state.record_name_mutex);
  }
  if (!r->snapshot) {
    filesys_state.record_state = nullptr;
    filesys_state.record_running = 0;
    filesys_publish_record_run(false);
  }
  filesys_unlock();
}

// Opens one file of the run on a slot. false when it could not be opened.
bool open_on_slot(Recorder *r, int slot, int record, const char *name_tail) {
  OutFile &o = r->out[record];
  snprintf(o.path, sizeof o.path, "%s/%s/%s", fs[slot].mnt, filesys_get_subdir(), name_tail);
  if (fs[slot].fat) r->size_limit = kFatLimit;
  int source = filesys_slot_to_source(slot);
  if (!r->writer_added[slot]) {
    filesys_add_writer(source);
    r->writer_added[slot] = true;
  }
  // Walked from the volume's root: a link on the volume (a recording
  // folder replaced by one) leads nowhere.
  snprintf(o.rel, sizeof o.rel, "%s/%s", filesys_get_subdir(), name_tail);
  if (volume_mkdirs(fs[slot].mnt, filesys_get_subdir()) != 0)
    log_printf("creating %s/%s: %s\n", fs[slot].mnt, filesys_get_subdir(), strerror(errno));
  // Every write, the MP4 writer's through the stream and our own through
  // o.fd, goes through the platform's volume I/O: a full or failing volume
  // fails them. The MP4 writer reads back and cuts the file through o.fd.
  o.fd = -1;
  o.file = volume_fopen(fs[slot].mnt, o.rel, "w+b", &o.fd);
  if (!o.file) {
    int e = errno;
    set_status(r, "File open failed");
    log_printf("error: file open failed: %s: %s\n", o.path, strerror(e));
    o.carry = false;
    return false;
  }
  o.slot = slot;
  o.failed = false;
  o.err = 0;
  o.writing = filesys_writing_add(o.fd);
  // Only plain appends go direct: the MP4 writer seeks, reads back for its
  // mirror and flushes at box boundaries, all of which O_DIRECT refuses
  // unless aligned. Volumes that refuse O_DIRECT use the page cache.
  o.own = r->format != 0;
  // A file that ended too big for its volume hands what it could not write
  // on to this one.
  if (!o.carry) o.fill = 0;
  if (o.own) setvbuf(o.file, nullptr, _IONBF, 0);
  else setbuffer(o.file, o.buffer, RECORD_BUFFER_SIZE);
  o.direct = o.own && fcntl(o.fd, F_SETFL, fcntl(o.fd, F_GETFL) | O_DIRECT) == 0;
  uint64_t old_bytes = o.bytes;
  o.bytes = r->base_bytes + o.fill;
  // The units carried over keep their ends, counted from this file's start.
  if (o.carry) {
    for (unsigned k = 0; k < o.ends_count; k++) o.ends[(o.ends_first + k) % kUnitEnds] += o.bytes - old_bytes;
    o.whole = r->base_bytes;
  } else {
    forget_unit_ends(o, r->base_bytes);
  }
  log_printf("recording to %s, format=%d sizelimit=%llu\n", o.path, r->format,
             (unsigned long long)r->size_limit);
  // A snapshot's name is handed out once its picture is in the file.
  if (!r->snapshot) publish_name(r, o.path);
  return true;
}

uint32_t video_sample_duration(const ParamBlock *p) {
  if (p->capture.standard == 6) return 3600;
  if (p->capture.standard == 5) return 3003;
  // The capture counts fields when interlaced; a sample is a frame.
  uint32_t milli, interlaced;
  capture_input_get(nullptr, nullptr, &interlaced, &milli);
  if (interlaced) milli /= 2;
  return milli ? 90000000u / milli : 3003;
}

// Steps 1 to 4 of a file: volumes, name, files. false: stop the run. Called
// with filesys_mutex held.
bool open_files(Recorder *r) {
  ParamBlock *p = get_param_block();
  r->units = 0;
  r->file_elapsed = 0;
  r->have_ts = false;
  r->key_seen = false;
  if (!r->snapshot && recorder_hooks.set_decimate) recorder_hooks.set_decimate(1);
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  // The live setting wins over the one the storage manager last saw.
  if (p->recording.storage_device != filesys_state.storage_device)
    filesys_set_storage_device(p->recording.storage_device);
  int choice = filesys_state.storage_device;
  if (!storage_ok(choice)) {
    set_status(r, "Storage not present");
    log_printf("error: can't start recording, no storage device: %s\n", kChoiceNames[choice % 5]);
    return false;
  }
  char prefix[16];
  snprintf(prefix, sizeof prefix, "%04d%02d%02d-", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday);
  const char *ext = r->snapshot ? "jpg" : (r->format == 0 ? "mp4" : "ts");
  int number = get_unused_number(prefix, ext);
  if (number < 0) {
    set_status(r, "Too many recordings for today");
    log_printf("error: can't start recording, daily limit reached\n");
    return false;
  }
  snprintf(r->name_tail, sizeof r->name_tail, "%s%03d.%s", prefix, number, ext);
  bool any = false, failed = false;
  struct Choice { int slot; int record; };
  Choice picks[2];
  int npicks = 0;
  if (choice == 4) picks[npicks++] = {0, 0};
  else if (choice == 1) picks[npicks++] = {1, 0};
  else if (choice == 2) picks[npicks++] = {2, 1};
  else {
    picks[npicks++] = {1, 0};
    picks[npicks++] = {2, 1};
  }
  for (int k = 0; k < npicks && !failed; k++) {
    if (!fs[picks[k].slot].mnt) continue;
    if (open_on_slot(r, picks[k].slot, picks[k].record, r->name_tail)) any = true;
    else failed = true;
  }
  if (!any || failed) {
    if (!failed) {
      set_status(r, "File open failed");
      log_printf("error: file open failed: %s: %s\n", r->name_tail, "no volume");
    }
    return false;
  }
  if (!r->snapshot) {
    r->room = 0;
    measure_room(r);
    if (r->room && r->room < room_to_start(r)) {
      set_status(r, "Storage full or write error");
      log_printf("error: can't start recording, storage full: %llu bytes of room\n",
                 (unsigned long long)(r->room > 1 ? r->room : 0));
      return false;
    }
  }
  return true;
}

// The MP4 writer of the files just opened.
bool setup_mp4(Recorder *r) {
  const OutFile &first = r->out[0].file ? r->out[0] : r->out[1];
  bool both = r->out[0].file && r->out[1].file;
  uint64_t limit = file_limit(r);
  uint64_t writer_limit = limit > r->base_bytes ? limit - r->base_bytes : 0;
  return recorder_mp4_setup(&r->st, r->mode, first.file, first.fd, both ? r->out[1].file : nullptr,
                            both ? r->out[1].fd : -1, writer_limit, r->st.video_duration,
                            r->st.audio_duration) == 0;
}

void stream_failed(Recorder *r) {
  set_status(r, "File open failed");
  log_printf("error: file open failed: %s: %s\n", r->name_tail, "stream not available");
}

// The first file of a run: files, then the consumer. false: stop the run.
bool start_run_file(Recorder *r) {
  ParamBlock *p = get_param_block();
  filesys_lock();
  bool ok = open_files(r);
  if (ok) {
    memset(&r->st, 0, sizeof r->st);
    uint32_t rate = p->audio.sample_rate;
    r->st.audio_duration = rate ? 92160000u / rate : 1920;
    r->st.video_duration = video_sample_duration(p);
    int rc = stream_state_attach(VIDEO_STREAM1, r->mode, &r->st);
    if (rc == 0 && r->format == 0 && !setup_mp4(r)) {
      stream_state_detach(&r->st);
      rc = -1;
    }
    r->attached = rc == 0;
    if (!r->attached) stream_failed(r);
    ok = r->attached;
  }
  r->segment_ticks = 0;
  uint64_t d = p->recording.duration;
  switch (p->recording.duration_mode) {
    case 1: r->segment_ticks = d * 90000ULL; break;
    case 2: r->segment_ticks = d * 5400000ULL; break;
    case 3: r->segment_ticks = d * 324000000ULL; break;
    default: break;
  }
  filesys_unlock();
  if (!ok) {
    stop_own(r);
    return false;
  }
  log_printf("record starting main loop format=%d source=%d filename=%s\n", r->format, 1, r->name_tail);
  return true;
}

// The next file after a split: the consumer is still attached and its muxer
// starts again on the new files. false: stop the run.
bool next_file(Recorder *r) {
  filesys_lock();
  bool ok = open_files(r);
  if (ok && muxer_restart(&r->st, r->mode) != 0) ok = false;
  if (ok && r->format == 0 && !setup_mp4(r)) ok = false;
  if (!ok && !filesys_record_status()) stream_failed(r);
  filesys_unlock();
  if (!ok) {
    stop_own(r);
    return false;
  }
  log_printf("record starting main loop format=%d source=%d filename=%s\n", r->format, 1, r->name_tail);
  return true;
}

enum FileEnd { END_STOP, END_SPLIT, END_FAIL };

FileEnd write_failure(Recorder *r, int code, int e) {
  log_printf("error: file write failed: %s (%d) (mp4 %d)\n", strerror(e), e, code);
  if (r->format == 1 && e == EFBIG) return END_SPLIT;
  set_status(r, code == 11 ? "== USB Storage cannot record ==" : "Storage full or write error");
  stop_own(r);
  return END_FAIL;
}

// Whether the file ends before the unit e: at a key frame once the segment
// time is reached or the room left would not hold another key-frame
// interval; before any unit that would not fit at all.
bool split_due(Recorder *r, const StreamEntry &e) {
  uint64_t used = file_bytes(r);
  uint64_t limit = file_limit(r);
  uint64_t unit = (uint64_t)e.length + e.length / 8 + kUnitSlack;
  if (limit && used + unit >= limit) {
    log_printf("max-size reached i=%d off=%llu\n", 0, (unsigned long long)used);
    return true;
  }
  if (!(e.flags & STREAM_FLAG_KEY)) return false;
  if (r->segment_ticks && r->have_ts) {
    uint32_t step = e.timestamp - r->last_ts;
    uint64_t elapsed = r->file_elapsed + (step < 0x80000000u ? step : 0);
    if (elapsed >= r->segment_ticks) {
      log_printf("segment done duration=%u\n", (unsigned)(elapsed / 90));
      return true;
    }
  }
  if (limit && used + r->gop_max + unit >= limit) {
    log_printf("max-size reached i=%d off=%llu\n", 0, (unsigned long long)used);
    return true;
  }
  return false;
}

void publish_state(Recorder *r) {
  // The muxer may move its start (a restart at a key frame).
  filesys_publish_record_start(r->st.streamq, r->st.startTS);
  if (filesys_state.record_state == &r->st) return;
  filesys_lock();
  filesys_state.record_state = &r->st;
  filesys_unlock();
}

// A write that failed with EFBIG: the file is as big as its volume allows.
// What it could not take goes to the next file, and later files split at a
// key frame before that size.
void too_big(Recorder *r, OutFile &o) {
  o.carry = true;
  // The file ends with the last unit it holds whole: the part of a unit
  // after it is read back and goes on at the start of the next file, so
  // that no packet is cut in two.
  uint64_t held = o.bytes - o.fill;
  // A file that holds no whole unit keeps what it has: the unit is larger
  // than any file the volume takes.
  if (o.own && o.whole > r->base_bytes && o.whole < held && o.fill + (held - o.whole) <= RECORD_BUFFER_SIZE) {
    size_t back = (size_t)(held - o.whole);
    off_t at = (off_t)(o.whole - r->base_bytes);
    clear_direct(o, 0);
    memmove(o.buffer + back, o.buffer, o.fill);
    if (pread(o.fd, o.buffer, back, at) == (ssize_t)back && ftruncate(o.fd, at) == 0) {
      o.fill += back;
    } else {
      log_printf("cannot take back %zu bytes: %s\n", back, strerror(errno));
      memmove(o.buffer, o.buffer + back, o.fill);
    }
  }
  uint64_t written = o.bytes - o.fill;
  if (!r->max_file || written < r->max_file) r->max_file = written;
  log_printf("file size limit of the volume: %llu\n", (unsigned long long)(written - r->base_bytes));
}

// Writes a muxed unit to every open record (only to those carrying on
// from a file too big when carried_only). false: no record is left, or one
// must go on in the next file (*efbig).
bool write_unit(Recorder *r, const uint8_t *data, size_t n, bool carried_only, int *err, bool *efbig) {
  int open_records = 0;
  *efbig = false;
  for (int i = 0; i < 2; i++) {
    OutFile &o = r->out[i];
    if (!o.file) continue;
    if (carried_only && !o.carry) {
      open_records++;
      continue;
    }
    o.carry = false;
    if (!own_write(o, i, data, n)) {
      int e = errno;
      *err = e;
      log_printf("f[%d].file err\n", i);
      if (e == EFBIG && r->format == 1) {
        too_big(r, o);
        *efbig = true;
        open_records++;
        continue;
      }
      o.failed = true;
      o.err = e;
      close_record(o, i);
      cut_to_whole_units(r, o, i);
      fclose(o.file);
      o.file = nullptr;
      drop_if_empty(r, o);
      continue;
    }
    o.bytes += n;
    note_unit_end(o);
    open_records++;
  }
  return open_records > 0 && !*efbig;
}

// The main loop of one file.
FileEnd record_loop(Recorder *r) {
  time_t last_tick = time(nullptr);
  if (r->pending) {
    int err = 0;
    bool efbig = false;
    const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(r->pending->buf);
    size_t n = Buffer_getNumBytesUsed(r->pending->buf);
    r->pending = nullptr;
    r->units++;
    if (!write_unit(r, data, n, true, &err, &efbig)) return write_failure(r, 0, err);
  }
  while (!stopping(r)) {
    sched_yield();
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    StreamEntry e;
    // Nothing for a whole wait: the producer is quiet, keep waiting.
    if (stream_state_peek(&r->st, kDequeueWaitMs, &e) != 0) continue;
    if (r->units && e.length && split_due(r, e)) return END_SPLIT;
    // The capture may have started only with this consumer: its frame rate
    // is known once frames come, in time for the first one's duration.
    if (!r->st.startTS) r->st.video_duration = video_sample_duration(get_param_block());
    FrameDesc *fd = stream_state_dequeue_timeout(&r->st, kDequeueWaitMs);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (r->format == 0) {
      // Once a second what the writer holds goes to the volume, as for
      // TS: a volume that fails stops the recording within a second.
      time_t now = time(nullptr);
      if (now != last_tick) {
        last_tick = now;
        recorder_mp4_flush(&r->st);
      }
      int err = recorder_mp4_error(&r->st);
      if (err) {
        log_printf("mp4 error: %s\n", recorder_mp4_error_text(err));
        if (err == RECORDER_MP4_MAX_SIZE) return END_SPLIT;
        return write_failure(r, err, errno);
      }
    }
    if (!fd) continue;
    double took = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    if (took > 1.0) log_printf("dequeue %d took %gs (seq rel %d)\n", (int)fd->seq, took, 0);
    r->units++;
    publish_state(r);
    if (r->have_ts) {
      uint32_t step = fd->timestamp - r->last_ts;
      if (step < 0x80000000u) r->file_elapsed += step;
    }
    r->last_ts = fd->timestamp;
    r->have_ts = true;
    if ((r->st.flags & STREAM_STATE_KEYFRAME) && recorder_hooks.set_decimate) {
      int fill = stream_state_fill_percent(&r->st);
      if (r->decimation != 2 && fill > 75) {
        recorder_hooks.set_decimate(3);
        r->decimation = 2;
      } else if (r->decimation == 0 && fill > 60) {
        recorder_hooks.set_decimate(2);
        r->decimation = 1;
      } else if (r->decimation != 0 && fill < 40) {
        recorder_hooks.set_decimate(1);
        r->decimation = 0;
      }
    }
    if (r->format != 0) {
      const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(fd->buf);
      size_t n = Buffer_getNumBytesUsed(fd->buf);
      int err = 0;
      bool efbig = false;
      if (!write_unit(r, data, n, false, &err, &efbig)) {
        if (efbig) r->pending = fd;
        return write_failure(r, err ? 0 : 11, err);
      }
      time_t now = time(nullptr);
      if (now != last_tick) {
        last_tick = now;
        for (int i = 0; i < 2; i++) {
          OutFile &o = r->out[i];
          if (o.file && !own_drain(o, i, false)) {
            int e2 = errno;
            if (e2 == EFBIG && r->format == 1) too_big(r, o);
            return write_failure(r, 0, e2);
          }
        }
      }
    }
    if (fd->flags & FRAME_KEY) {
      uint64_t used = file_bytes(r);
      if (r->key_seen && used - r->key_used > r->gop_max) r->gop_max = used - r->key_used;
      r->key_used = used;
      r->key_seen = true;
    }
    time_t now = time(nullptr);
    if (now != r->last_room_check) {
      r->last_room_check = now;
      measure_room(r);
    }
  }
  return END_STOP;
}

// Flushes each TS file's tail; true when one met its volume's file size
// limit and carries the rest.
bool tail_too_big(Recorder *r) {
  bool any = false;
  for (int i = 0; i < 2; i++) {
    OutFile &o = r->out[i];
    if (!o.file || o.carry || o.failed || !o.own) continue;
    if (!own_drain(o, i, true) && errno == EFBIG) {
      too_big(r, o);
      any = true;
    }
  }
  return any;
}

void record_run(Recorder *r) {
  ParamBlock *p = get_param_block();
  int fmt = p->recording.format & 3;
  r->mode = kFormatMode[fmt];
  r->format = fmt == 0 || fmt == 2 ? 0 : 1;
  r->size_limit = 0;
  if (p->recording.duration_mode == 4) r->size_limit = (uint64_t)p->recording.duration << 10;
  if (p->recording.duration_mode == 5) r->size_limit = (uint64_t)p->recording.duration << 20;
  r->base_bytes = recorder_test_initial_bytes;
  r->file_counter = 0;
  r->gop_max = 0;
  r->max_file = 0;
  r->pending = nullptr;
  for (OutFile &o : r->out) o.carry = false;
  uint32_t segments = p->recording.segments ? p->recording.segments : 1;
  bool started = start_run_file(r);
  FileEnd end = END_FAIL;
  while (started) {
    end = record_loop(r);
    r->file_counter++;
    if (p->recording.duration_mode != 0 && r->file_counter >= segments) {
      if (storage_hooks.record_ended) storage_hooks.record_ended();
      stop_own(r);
      break;
    }
    if (end != END_SPLIT || stopping(r)) break;
    split_file(r);
    if (!next_file(r)) {
      end = END_FAIL;
      break;
    }
  }
  // The tail a file cannot take at its last flush (its volume's file size
  // limit) goes on in one more file rather than being lost.
  if (started && end != END_FAIL && r->format == 1 && tail_too_big(r)) {
    split_file(r);
    if (next_file(r)) r->units = 1;   // it holds the tail: not an empty file
    else end = END_FAIL;
  }
  for (OutFile &o : r->out) o.carry = false;
  r->pending = nullptr;
  end_file(r, end == END_SPLIT);
  end_run(r);
}

// A snapshot's picture, copied out of the stream: stream B's own when it
// makes JPEG, else one coded from output B's capture frames while channel
// B runs (in H.264 it makes no pictures). A picture must be a whole JPEG
// (FF D8 ... FF D9): whatever else comes is no snapshot. Its size, or 0
// when none came before the stop.
uint32_t snapshot_picture(Recorder *r, uint8_t *out, uint32_t room) {
  uint8_t mode = get_param_block()->video[1].stream_mode;
  bool own = mode == StreamMode_JPEG;
  if (!own && mode != StreamMode_H264_ES) {
    log_printf("%s: stream B makes no pictures in mode %d\n", "snapshot", (int)mode);
    return 0;
  }
  memset(&r->st, 0, sizeof r->st);
  // Channel B runs while the snapshot reads it, in the mode it is set to.
  if (stream_state_attach(VIDEO_STREAM2, own ? StreamMode_JPEG : StreamMode_H264_ES, &r->st) != 0) {
    log_printf("%s: stream B not available\n", "snapshot");
    return 0;
  }
  StreamState capture;
  memset(&capture, 0, sizeof capture);
  if (!own && stream_state_attach(CAPTURE_STREAM2, StreamMode_NV12, &capture) != 0) {
    log_printf("%s: output B not available\n", "snapshot");
    stream_state_detach(&r->st);
    return 0;
  }
  uint32_t bytes = 0;
  while (!bytes && !stopping(r)) {
    FrameDesc *f = stream_state_dequeue_timeout(own ? &r->st : &capture, kDequeueWaitMs);
    if (!f) continue;
    if (!own) {
      int n = video_snapshot_jpeg(capture.streamq, f, out, room);
      if (n < 0) break;
      bytes = (uint32_t)n;
      continue;
    }
    const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(f->buf);
    size_t n = Buffer_getNumBytesUsed(f->buf);
    if (n < 4 || n > room || data[0] != 0xFF || data[1] != 0xD8 || data[n - 2] != 0xFF || data[n - 1] != 0xD9) {
      log_printf("%s: stream B sent no JPEG picture (%zu bytes, %02x %02x)\n", "snapshot", n,
                 n > 0 ? data[0] : 0, n > 1 ? data[1] : 0);
      break;
    }
    memcpy(out, data, n);
    bytes = (uint32_t)n;
  }
  if (!own) stream_state_detach(&capture);
  stream_state_detach(&r->st);
  return bytes;
}

// A snapshot: the picture first, then its file, so that a name is handed
// out only for a file that holds a whole picture.
void snapshot_run(Recorder *r) {
  r->format = 2;
  r->mode = StreamMode_JPEG;
  r->size_limit = 0;
  r->base_bytes = 0;
  r->pending = nullptr;
  for (OutFile &o : r->out) o.carry = false;
  uint8_t *picture = (uint8_t *)malloc(VIDEO_MAX_OUTPUT);
  uint32_t bytes = picture ? snapshot_picture(r, picture, VIDEO_MAX_OUTPUT) : 0;
  // Stopped meanwhile (the request gave up waiting): no file.
  if (stopping(r)) bytes = 0;
  if (bytes) {
    filesys_lock();
    bool opened = open_files(r);
    filesys_unlock();
    int err = 0;
    bool efbig = false;
    if (opened) {
      r->units = 1;
      write_unit(r, picture, bytes, false, &err, &efbig);
    }
    log_printf("%s %d: recording done\n", r->re->env.name, (int)r->re->stream_id);
    close_records(r);
    bool kept[2];
    for (int i = 0; i < 2; i++) kept[i] = opened && r->out[i].file && !r->out[i].failed;
    finish_files(r);
    for (int i = 0; i < 2; i++)
      if (kept[i] && !r->out[i].failed) {
        log_printf("snapshot %s, %u bytes\n", r->out[i].path, bytes);
        publish_name(r, r->out[i].path);
      }
  }
  // The DVR logic reads the name once the stream has stopped.
  log_printf("stopping jpeg stream\n");
  stop_own(r);
  free(picture);
  end_run(r);
}

}  // namespace

void recorder_set_name_filter(const char *prefix, const char *ext) {
  snprintf(g_filter_prefix, sizeof g_filter_prefix, "%s", prefix);
  snprintf(g_filter_ext, sizeof g_filter_ext, "%s", ext);
}

int recorder_name_filter(const struct dirent *e) {
  const char *n = e->d_name;
  if (e->d_type != DT_REG || strlen(n) < 13) return 0;
  if (strncmp(n, g_filter_prefix, 9) != 0) return 0;
  for (int i = 9; i < 12; i++)
    if (n[i] < '0' || n[i] > '9') return 0;
  return n[12] == '.' && strcmp(n + 13, g_filter_ext) == 0;
}

int getRecordFilename(char *buf, size_t size, int ms) {
  if (size > 100) size = 100;
  pthread_mutex_lock(&filesys_state.record_name_mutex);
  filesys_state.record_name_waiting = 1;
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct timespec deadline;
  deadline.tv_sec = now.tv_sec + ms / 1000;
  deadline.tv_nsec = now.tv_usec * 1000L + (long)(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec++;
    deadline.tv_nsec -= 1000000000L;
  }
  int rc = 0;
  while (!filesys_state.record_name_ready && !filesys_state.record_name_failed && rc == 0)
    rc = pthread_cond_timedwait(&filesys_state.record_name_cond, &filesys_state.record_name_mutex, &deadline);
  if (filesys_state.record_name_ready) {
    const char *slash = strrchr(filesys_state.record_name, '/');
    snprintf(buf, size, "%s", slash ? slash + 1 : filesys_state.record_name);
    rc = 0;
  } else {
    snprintf(buf, size, "unknown");
    if (filesys_state.record_name_failed) rc = -1;
  }
  filesys_state.record_name_waiting = 0;
  filesys_state.record_name_ready = 0;
  filesys_state.record_name_failed = 0;
  pthread_mutex_unlock(&filesys_state.record_name_mutex);
  return rc;
}

void *recordThrFxn(void *arg) {
  RecordEnv *re = (RecordEnv *)arg;
  Recorder *r = new Recorder();
  r->re = re;
  r->snapshot = re->stream_id == 14;
  stream_register(&r->ps, nullptr, (StreamId)re->stream_id);
  for (auto &o : r->out) {
    o.writing = -1;
    if (posix_memalign((void **)&o.buffer, 4096, RECORD_BUFFER_SIZE) != 0) o.buffer = nullptr;
  }
  filesys_state.record_name_waiting = 0;
  filesys_state.record_name_ready = 0;
  filesys_state.record_name_failed = 0;
  myRendezvousInit(re->env.start_rendezvous, re->env.name);
  const char *dir = get_param_block()->recording.directory;
  if (dir[0]) filesys_set_subdir(dir);
  while (!get_exit_code()) {
    if (!r->snapshot && !filesys_record_status()) filesys_set_record_status(filesys_record_stopped);
    if (!stream_state_wait_start(&r->ps)) {
      sleep_ms(100);
      continue;
    }
    if (get_exit_code()) break;
    if (!r->snapshot) {
      filesys_lock();
      filesys_set_record_status(nullptr);
      filesys_state.record_running = 1;
      filesys_publish_record_run(true);
      filesys_unlock();
    }
    pthread_mutex_lock(&filesys_state.record_name_mutex);
    filesys_state.record_name_ready = 0;
    filesys_state.record_name_failed = 0;
    pthread_mutex_unlock(&filesys_state.record_name_mutex);
    r->named = false;
    if (!r->out[0].buffer || !r->out[1].buffer) {
      set_status(r, "File open failed");
      stop_own(r);
      end_run(r);
      continue;
    }
    if (r->snapshot) snapshot_run(r);
    else record_run(r);
  }
  myRendezvousCleanup(re->env.cleanup_rendezvous, re->env.name);
  // The id must not go on naming the state freed below.
  stream_register(nullptr, nullptr, (StreamId)re->stream_id);
  for (auto &o : r->out) free(o.buffer);
  print_thread_cpu_time(pthread_self(), re->env.name);
  delete r;
  return nullptr;
}
