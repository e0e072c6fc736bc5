#include "storage/recorder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/log.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "media/stream_mux.h"
#include "media/stream_producer.h"
#include "media/stream_state.h"
#include "platform/framework/dmai.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "storage/recorder_mp4.h"

RecorderHooks recorder_hooks;
uint64_t recorder_test_initial_bytes;

namespace {

const char *const kChoiceNames[] = {"both", "int", "ext", "ask", "mmc"};
// Recording.Format -> StreamMode: H.264+AAC MP4, H.264+AAC TS, H.264 MP4, H.264 TS.
const uint8_t kFormatMode[4] = {13, 0, 14, 1};
constexpr uint64_t kFatLimit = 1ULL << 32;
constexpr uint32_t kDequeueWaitMs = 1000;

// TS and JPEG files are written from our own page-aligned buffer in whole
// blocks, so O_DIRECT holds and, once a second, the whole blocks gathered so
// far reach the medium: a power cut loses at most a second. MP4 files go
// through stdio (the writer seeks), with the same buffer as its buffer.
struct OutFile {
  FILE *file;
  char *buffer;      // page-aligned, RECORD_BUFFER_SIZE
  size_t fill;       // bytes waiting in buffer (own buffering)
  bool own;          // written through buffer by us, not by stdio
  uint64_t bytes;
  bool direct;
  char path[256];
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

void set_status(Recorder *r, const char *text) {
  if (!r->snapshot) filesys_state.record_status = text;
}

void stop_own(Recorder *r) { stream_set_state(&r->ps, 0); }

bool stopping(Recorder *r) {
  return get_exit_code() != 0 || stream_state_stopping(&r->ps) ||
         (!r->snapshot && filesys_state.record_status != nullptr);
}

void publish_name(const char *path) {
  pthread_mutex_lock(&filesys_state.record_name_mutex);
  // The name stays in the hand-off until a caller has read it.
  snprintf(filesys_state.record_name, sizeof filesys_state.record_name, "%s", path);
  if (filesys_state.record_name_waiting) {
    filesys_state.record_name_ready = 1;
    pthread_cond_broadcast(&filesys_state.record_name_cond);
  }
  pthread_mutex_unlock(&filesys_state.record_name_mutex);
}

// The first number of the day that no volume has for this extension.
int get_unused_number(const char *prefix, const char *ext) {
  recorder_set_name_filter(prefix, ext);
  struct dirent **lists[FILESYS_SLOTS] = {nullptr, nullptr, nullptr};
  int counts[FILESYS_SLOTS] = {0, 0, 0};
  int cursor[FILESYS_SLOTS] = {0, 0, 0};
  for (int i = 0; i < FILESYS_SLOTS; i++) {
    if (!fs[i].mnt) continue;
    char dir[256];
    snprintf(dir, sizeof dir, "%s/%s", fs[i].mnt, filesys_get_subdir());
    int n = sys_scandir(dir, &lists[i], recorder_name_filter,
                        [](const dirent **a, const dirent **b) { return strcmp((*a)->d_name, (*b)->d_name); });
    counts[i] = n > 0 ? n : 0;
    if (n < 0) lists[i] = nullptr;
  }
  log_printf("%s: str=%s ext=%s counts=%d,%d\n", "get_unused_filename", prefix, ext, counts[0], counts[1]);
  int found = -1;
  for (int n = 0; n < 1000 && found < 0; n++) {
    bool taken = false;
    for (int i = 0; i < FILESYS_SLOTS; i++) {
      if (cursor[i] < counts[i] && atoi(lists[i][cursor[i]]->d_name + 9) == n) {
        taken = true;
        cursor[i]++;
      }
    }
    if (!taken) found = n;
  }
  for (int i = 0; i < FILESYS_SLOTS; i++) {
    for (int k = 0; k < counts[i]; k++) free(lists[i][k]);
    free(lists[i]);
  }
  return found;
}

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
  fcntl_set_flags(fileno(o.file), ~(long)O_DIRECT);
  o.direct = false;
}

bool write_all(OutFile &o, int index, const char *p, size_t n) {
  while (n) {
    ssize_t w = write(fileno(o.file), p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EINVAL && o.direct) {
      // The volume refuses direct writes after all: go through the cache.
      clear_direct(o, index);
      continue;
    }
    if (w <= 0) return false;
    p += w;
    n -= (size_t)w;
  }
  return true;
}

// Writes the whole blocks gathered so far (all of it when final) and keeps
// the rest for later.
bool own_drain(OutFile &o, int index, bool final) {
  if (final) clear_direct(o, index);
  size_t n = final ? o.fill : o.fill / kBlock * kBlock;
  if (!n) return true;
  if (!write_all(o, index, o.buffer, n)) return false;
  memmove(o.buffer, o.buffer + n, o.fill - n);
  o.fill -= n;
  return true;
}

bool own_write(OutFile &o, int index, const uint8_t *data, size_t n) {
  while (n) {
    size_t part = RECORD_BUFFER_SIZE - o.fill < n ? RECORD_BUFFER_SIZE - o.fill : n;
    memcpy(o.buffer + o.fill, data, part);
    o.fill += part;
    data += part;
    n -= part;
    if (o.fill == RECORD_BUFFER_SIZE && !own_drain(o, index, false)) return false;
  }
  return true;
}

// O_DIRECT goes first: the buffer's tail is not a whole block, and a
// direct write of it would fail and lose the end of the file.
void close_record(OutFile &o, int index) {
  if (!o.file) return;
  if (o.own) {
    if (!own_drain(o, index, true)) log_printf("fflush %d %s\n", index, strerror(errno));
    return;
  }
  clear_direct(o, index);
  if (!ferror(o.file) && fflush(o.file) != 0) log_printf("fflush %d %s\n", index, strerror(errno));
}


void finish_files(Recorder *r) {
  for (int i = 0; i < 2; i++) {
    OutFile &o = r->out[i];
    if (!o.file) continue;
    if (!ferror(o.file)) {
      fflush(o.file);
      if (fsync(fileno(o.file)) != 0) perror("fsync");
    }
    log_printf("fclose %d\n", i);
    fclose(o.file);
    o.file = nullptr;
    // A file stopped before its first frame holds no recording: it would
    // only take a number and show up as an empty clip.
    if (!r->units && sys_unlink(o.path) == 0) log_printf("removed empty %s\n", o.path);
  }
  if (storage_hooks.file_list_stale) storage_hooks.file_list_stale();
  log_printf("record files closed\n");
}

// End of one file: detach, flush, finish the muxer, close.
void end_file(Recorder *r) {
  log_printf("%s %d: recording done\n", r->re->env.name, (int)r->re->stream_id);
  if (r->attached) {
    log_printf("detaching state\n");
    filesys_state.record_state = nullptr;
    stream_state_detach(&r->st);
  }
  for (int i = 0; i < 2; i++) close_record(r->out[i], i);
  if (r->attached) {
    // An MP4 muxer completes its file (the moov) here.
    log_printf("finish mux %d\n", r->format);
    muxer_free(&r->st);
    r->attached = false;
  }
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
  filesys_unlock();
  filesys_state.record_state = nullptr;
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
  char dir[256];
  snprintf(dir, sizeof dir, "%s/%s", fs[slot].mnt, filesys_get_subdir());
  if (!file_exists(dir)) {
    log_printf("creating %s\n", dir);
    sys_mkdirs(dir, 0755);
  }
  o.file = sys_fopen(o.path, "w+b");
  if (!o.file) {
    set_status(r, "File open failed");
    log_printf("error: file open failed: %s: %s\n", o.path, strerror(errno));
    return false;
  }
  // Only plain appends go direct: the MP4 writer seeks, reads back for its
  // mirror and flushes at box boundaries, all of which O_DIRECT refuses
  // unless aligned. Volumes that refuse O_DIRECT use the page cache.
  o.own = r->format != 0;
  o.fill = 0;
  if (o.own) setvbuf(o.file, nullptr, _IONBF, 0);
  else setbuffer(o.file, o.buffer, RECORD_BUFFER_SIZE);
  o.direct = o.own && fcntl(fileno(o.file), F_SETFL, fcntl(fileno(o.file), F_GETFL) | O_DIRECT) == 0;
  o.bytes = recorder_test_initial_bytes;
  log_printf("recording to %s, format=%d sizelimit=%llu\n", o.path, r->format,
             (unsigned long long)r->size_limit);
  publish_name(o.path);
  return true;
}

uint32_t video_sample_duration(const ParamBlock *p) {
  if (p->capture.standard == 6) return 3600;
  if (p->capture.standard == 5) return 3003;
  return 3003;  // 29.97 frames per second until capture reports its rate
}

// Steps 1 to 7 of a file: volumes, name, files, attach. false: stop the run.
bool start_file(Recorder *r) {
  ParamBlock *p = get_param_block();
  r->units = 0;
  filesys_lock();
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
    filesys_unlock();
    stop_own(r);
    return false;
  }
  char prefix[16];
  snprintf(prefix, sizeof prefix, "%04d%02d%02d-", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday);
  const char *ext = r->snapshot ? "jpg" : (r->format == 0 ? "mp4" : "ts");
  int number = get_unused_number(prefix, ext);
  if (number < 0) {
    set_status(r, "Too many recordings for today");
    log_printf("error: can't start recording, daily limit reached\n");
    filesys_unlock();
    stop_own(r);
    return false;
  }
  char tail[64];
  snprintf(tail, sizeof tail, "%s%03d.%s", prefix, number, ext);
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
    if (open_on_slot(r, picks[k].slot, picks[k].record, tail)) any = true;
    else failed = true;
  }
  if (!any || failed) {
    if (!failed) {
      set_status(r, "File open failed");
      log_printf("error: file open failed: %s: %s\n", tail, "no volume");
    }
    filesys_unlock();
    stop_own(r);
    return false;
  }
  memset(&r->st, 0, sizeof r->st);
  int rc;
  if (r->snapshot) {
    rc = stream_state_attach(VIDEO_STREAM2, 3, &r->st);
  } else {
    uint32_t rate = p->audio.sample_rate;
    r->st.audio_duration = rate ? 92160000u / rate : 1920;
    r->st.video_duration = video_sample_duration(p);
    rc = stream_state_attach(VIDEO_STREAM1, r->mode, &r->st);
    if (rc == 0 && r->format == 0) {
      FILE *primary = r->out[0].file ? r->out[0].file : r->out[1].file;
      FILE *mirror = r->out[0].file && r->out[1].file ? r->out[1].file : nullptr;
      rc = recorder_mp4_setup(&r->st, r->mode, primary, mirror, r->size_limit, r->st.video_duration,
                              r->st.audio_duration);
      if (rc != 0) stream_state_detach(&r->st);
    }
  }
  r->attached = rc == 0;
  if (!r->attached) {
    set_status(r, "File open failed");
    log_printf("error: file open failed: %s: %s\n", tail, "stream not available");
    filesys_unlock();
    stop_own(r);
    return false;
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
  log_printf("record starting main loop format=%d source=%d filename=%s\n", r->format,
             r->snapshot ? 2 : 1, tail);
  return true;
}

enum FileEnd { END_STOP, END_SPLIT, END_FAIL };

FileEnd write_failure(Recorder *r, int code) {
  int e = errno;
  log_printf("error: file write failed: %s (%d) (mp4 %d)\n", strerror(e), e, code);
  if (r->format == 1 && e == EFBIG) return END_SPLIT;
  set_status(r, code == 11 ? "== USB Storage cannot record ==" : "Storage full or write error");
  stop_own(r);
  return END_FAIL;
}

// The main loop of one file.
FileEnd record_loop(Recorder *r) {
  filesys_state.record_state = r->snapshot ? filesys_state.record_state : &r->st;
  uint64_t elapsed = 0;
  uint64_t &units = r->units;
  units = 0;
  time_t last_drain = time(nullptr);
  uint32_t last_ts = 0;
  bool have_ts = false;
  while (!stopping(r)) {
    sched_yield();
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    FrameDesc *fd = stream_state_dequeue_timeout(&r->st, kDequeueWaitMs);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double took = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    if (!fd) {
      if (r->format == 0 && recorder_mp4_error(&r->st)) return write_failure(r, recorder_mp4_error(&r->st));
      if (stopping(r)) return END_STOP;
      // Nothing for a whole wait: the producer is quiet, keep waiting. An
      // empty return before the wait ran out means the stream restarted:
      // the file so far is complete and the next one begins, unless this
      // file has nothing in it yet (the producer is still starting).
      if (took < 0.9) {
        if (units) return END_SPLIT;
        sleep_ms(20);
      }
      continue;
    }
    if (took > 1.0) log_printf("dequeue %d took %gs (seq rel %d)\n", (int)fd->seq, took, 0);
    units++;
    if (!r->snapshot && (r->st.flags & STREAM_STATE_KEYFRAME) && recorder_hooks.set_decimate) {
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
    if (r->format == 0) {
      int err = recorder_mp4_error(&r->st);
      if (err) {
        log_printf("mp4 error: %s\n", recorder_mp4_error_text(err));
        if (err == RECORDER_MP4_MAX_SIZE) return END_SPLIT;
        return write_failure(r, err);
      }
    } else {
      const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(fd->buf);
      size_t n = Buffer_getNumBytesUsed(fd->buf);
      int open_records = 0;
      for (int i = 0; i < 2; i++) {
        OutFile &o = r->out[i];
        if (!o.file) continue;
        if (r->size_limit && o.bytes + n >= r->size_limit) {
          log_printf("max-size reached i=%d off=%llu\n", i, (unsigned long long)o.bytes);
          return END_SPLIT;
        }
        if (!own_write(o, i, data, n)) {
          log_printf("f[%d].file err\n", i);
          close_record(o, i);
          fclose(o.file);
          o.file = nullptr;
          continue;
        }
        o.bytes += n;
        open_records++;
      }
      time_t now = time(nullptr);
      if (now != last_drain) {
        last_drain = now;
        for (int i = 0; i < 2; i++)
          if (r->out[i].file && !own_drain(r->out[i], i, false)) return write_failure(r, 0);
      }
      if (!open_records) return write_failure(r, errno ? 0 : 11);
      if (r->snapshot) {
        log_printf("stopping jpeg stream\n");
        stop_own(r);
        return END_STOP;
      }
    }
    // Segment time is counted in 64 bits from the entries' own clock.
    if (have_ts) {
      uint32_t step = fd->timestamp - last_ts;
      if (step < 0x80000000u) elapsed += step;
    }
    last_ts = fd->timestamp;
    have_ts = true;
    if (r->segment_ticks && elapsed >= r->segment_ticks) {
      log_printf("segment done duration=%u\n", (unsigned)(elapsed / 90));
      return END_SPLIT;
    }
  }
  return END_STOP;
}

void record_run(Recorder *r) {
  ParamBlock *p = get_param_block();
  int fmt = p->recording.format & 3;
  r->mode = r->snapshot ? 3 : kFormatMode[fmt];
  r->format = r->snapshot ? 2 : (fmt == 0 || fmt == 2 ? 0 : 1);
  r->size_limit = 0;
  if (!r->snapshot && p->recording.duration_mode == 4) r->size_limit = (uint64_t)p->recording.duration << 10;
  if (!r->snapshot && p->recording.duration_mode == 5) r->size_limit = (uint64_t)p->recording.duration << 20;
  r->file_counter = 0;
  uint32_t segments = p->recording.segments ? p->recording.segments : 1;
  for (;;) {
    FileEnd end = END_FAIL;
    bool started = start_file(r);
    if (started) end = record_loop(r);
    end_file(r);
    if (!started) break;
    r->file_counter++;
    if (!r->snapshot && p->recording.duration_mode != 0 && r->file_counter >= segments) {
      stop_own(r);
      break;
    }
    if (end != END_SPLIT || stopping(r)) break;
  }
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
  filesys_state.record_name_ready = 0;
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
  while (!filesys_state.record_name_ready && rc == 0)
    rc = pthread_cond_timedwait(&filesys_state.record_name_cond, &filesys_state.record_name_mutex, &deadline);
  if (filesys_state.record_name_ready) {
    const char *slash = strrchr(filesys_state.record_name, '/');
    snprintf(buf, size, "%s", slash ? slash + 1 : filesys_state.record_name);
    rc = 0;
  } else {
    snprintf(buf, size, "unknown");
  }
  filesys_state.record_name_waiting = 0;
  filesys_state.record_name_ready = 0;
  pthread_mutex_unlock(&filesys_state.record_name_mutex);
  return rc;
}

void *recordThrFxn(void *arg) {
  RecordEnv *re = (RecordEnv *)arg;
  Recorder *r = new Recorder();
  r->re = re;
  r->snapshot = re->stream_id == 14;
  if (!r->snapshot) filesys_record_elapsed = stream_state_elapsed;
  stream_register(&r->ps, nullptr, (StreamId)re->stream_id);
  for (auto &o : r->out)
    if (posix_memalign((void **)&o.buffer, 4096, RECORD_BUFFER_SIZE) != 0) o.buffer = nullptr;
  filesys_state.record_name_waiting = 0;
  filesys_state.record_name_ready = 0;
  myRendezvousInit(re->env.start_rendezvous, re->env.name);
  const char *dir = get_param_block()->recording.directory;
  if (dir[0]) filesys_set_subdir(dir);
  while (!get_exit_code()) {
    if (!r->snapshot && !filesys_state.record_status) filesys_state.record_status = "Stopped";
    if (!stream_state_wait_start(&r->ps)) {
      sleep_ms(100);
      continue;
    }
    if (get_exit_code()) break;
    if (!r->snapshot) filesys_state.record_status = nullptr;
    pthread_mutex_lock(&filesys_state.record_name_mutex);
    filesys_state.record_name_ready = 0;
    pthread_mutex_unlock(&filesys_state.record_name_mutex);
    if (!r->out[0].buffer || !r->out[1].buffer) {
      set_status(r, "File open failed");
      stop_own(r);
      continue;
    }
    record_run(r);
  }
  myRendezvousCleanup(re->env.cleanup_rendezvous, re->env.name);
  // The id must not go on naming the state freed below.
  stream_register(nullptr, nullptr, (StreamId)re->stream_id);
  for (auto &o : r->out) free(o.buffer);
  delete r;
  return nullptr;
}
