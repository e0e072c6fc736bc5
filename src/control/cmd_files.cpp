// Control requests on storage files, the recording and snapshot metadata,
// the log and firmware files.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "control/cmd_exec.h"
#include "control/cmd_internal.h"
#include "core/firmware.h"
#include "core/log.h"
#include "core/process_util.h"
#include "media/video_enc.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "storage/recorder_mp4.h"
#include "storage/volume.h"

namespace {

// The recording files of one storage source, sorted by name.
struct ControlFileList {
  std::vector<std::string> names;
  int source = STORAGE_EXT;
  bool built = false;
};
ControlFileList file_list;
std::atomic<bool> file_list_is_stale{true};

bool is_recording_file(const char *name) {
  return ends_with_ci(name, ".mp4") || ends_with_ci(name, ".ts") || ends_with_ci(name, ".jpg");
}

void file_list_build(void) {
  file_list.names.clear();
  file_list.built = true;
  file_list_is_stale = false;
  // Links are left out: nothing a link points at is listed.
  if (DIR *d = filesys_opendir_recording(file_list.source)) {
    while (struct dirent *e = readdir(d))
      if (is_recording_file(e->d_name) && filesys_name_ok(e->d_name) && volume_entry_is_file(d, e, nullptr))
        file_list.names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(file_list.names.begin(), file_list.names.end());
}

// The list of source, rebuilt when stale or of another source.
ControlFileList &file_list_of(int source) {
  if (source != file_list.source) {
    file_list.source = source;
    file_list_is_stale = true;
  }
  if (!file_list.built || file_list_is_stale) file_list_build();
  return file_list;
}

// The entry at index: 2 out of range, 5 empty.
CtlStatus file_list_entry(int source, int64_t index, const char **name) {
  ControlFileList &l = file_list_of(source);
  if (index < 0 || index >= (int64_t)l.names.size()) return CTL_ERR_RANGE;
  *name = l.names[(size_t)index].c_str();
  return **name ? CTL_OK : CTL_ERR_NO_FILE;
}

// The one open file of file_open ... file_close.
struct FileXfer {
  FILE *file;
  bool write;
  int source;
};
FileXfer xfer;

// Metadata kept for recordings (0) and snapshots (1).
struct MetaBuffer {
  uint8_t *data;
  uint32_t length;
  int enabled;
};
MetaBuffer meta[2];
pthread_mutex_t snapshot_meta_mutex = PTHREAD_MUTEX_INITIALIZER;
// Requests could otherwise append without end.
const uint32_t kMetaMax = 64 * 1024;

CtlStatus meta_append(int which, CmdArgs *a) {
  CtlStatus st = CTL_OK;
  pthread_mutex_lock(&snapshot_meta_mutex);
  MetaBuffer &m = meta[which];
  if (a->raw_len == 0) {
    free(m.data);
    m.data = nullptr;
    m.length = 0;
  } else if (m.length + a->raw_len > kMetaMax) {
    st = CTL_ERR_NO_MEMORY;
  } else if (uint8_t *grown = (uint8_t *)realloc(m.data, m.length + a->raw_len)) {
    memcpy(grown + m.length, a->raw, a->raw_len);
    m.data = grown;
    m.length += (uint32_t)a->raw_len;
  } else {
    st = CTL_ERR_NO_MEMORY;
  }
  m.enabled = 0;
  pthread_mutex_unlock(&snapshot_meta_mutex);
  return st;
}

CtlStatus meta_enable(int which, CmdArgs *a) {
  pthread_mutex_lock(&snapshot_meta_mutex);
  meta[which].enabled = (int)a->n[0];
  pthread_mutex_unlock(&snapshot_meta_mutex);
  return CTL_OK;
}

void snapshot_metadata(SnapshotMetaFn fn, void *arg) {
  pthread_mutex_lock(&snapshot_meta_mutex);
  fn(meta[1].data, meta[1].length, meta[1].enabled, arg);
  pthread_mutex_unlock(&snapshot_meta_mutex);
}

void record_metadata(SnapshotMetaFn fn, void *arg) {
  pthread_mutex_lock(&snapshot_meta_mutex);
  fn(meta[0].data, meta[0].length, meta[0].enabled, arg);
  pthread_mutex_unlock(&snapshot_meta_mutex);
}

// 0, or -1 when what was written did not all reach the volume (the flush,
// the sync or the close failed).
int close_xfer(void) {
  if (!xfer.file) return 0;
  log_printf("%s: %s %ld bytes\n", "cmd_close_file", xfer.write ? "wrote" : "read", ftell(xfer.file));
  int rc = 0;
  if (xfer.write) {
    rc = filesys_fclose_w(xfer.source, xfer.file);
    cmd_file_list_stale();
  } else {
    filesys_fclose(xfer.source, xfer.file);
  }
  xfer.file = nullptr;
  return rc;
}

}  // namespace

void cmd_file_list_stale(void) { file_list_is_stale = true; }

void cmd_file_list_reset(void) {
  file_list.names.clear();
  file_list.built = false;
  file_list_is_stale = true;
}

void cmd_file_list_release(void) {
  cmd_file_list_reset();
  file_list.names.shrink_to_fit();
}

void cmd_install_hooks(void) {
  video_snapshot_metadata = snapshot_metadata;
  recorder_metadata = record_metadata;
}

CMD_HANDLER(cmd_append_record_metadata) { return meta_append(0, a); }
CMD_HANDLER(cmd_enable_record_metadata) { return meta_enable(0, a); }
CMD_HANDLER(cmd_append_snapshot_metadata) { return meta_append(1, a); }
CMD_HANDLER(cmd_enable_snapshot_metadata) { return meta_enable(1, a); }

CMD_HANDLER(cmd_update_firmware) {
  const char *fn = "cmd_update_firmware";
  log_printf("%s: enter\n", fn);
  if (firmware_update_in_progress()) {
    log_printf("%s: firmware update already in progress\n", fn);
    return CTL_ERR_STATE;
  }
  if (!filesys_name_ok(a->s[0])) return CTL_ERR_RANGE;
  log_printf("%s: 1\n", fn);
  int fd = filesys_open_file_on(cmd_source(a->n[0]), a->s[0]);
  if (fd < 0) {
    log_printf("%s: storagedevice %d file %s\n", fn, (int)a->n[0], a->s[0]);
    return CTL_ERR_FILE_OP;
  }
  // The image is checked before the reply: a refused one is answered as a
  // value out of range, and the update status says why.
  int rc = firmware_load_file(fd);
  close(fd);
  if (rc == -2) {
    const char *why = firmware_status_peek();
    log_printf("%s: refused: %s\n", fn, why ? why : "");
    return CTL_ERR_RANGE;
  }
  if (rc != 0) return CTL_ERR_FILE_OP;
  log_printf("%s: returning\n", fn);
  return CTL_OK;
}

CMD_HANDLER(cmd_save_log) {
  int rc = filesys_save_log_to(cmd_source(a->n[0]), (int)a->n[1]);
  cmd_file_list_stale();
  return rc == 0 ? CTL_OK : CTL_ERR_FILE_OP;
}

CMD_HANDLER(cmd_file_count) {
  ctl_put_u32(a->reply, (uint32_t)file_list_of(cmd_source(a->n[0])).names.size());
  return CTL_OK;
}

CMD_HANDLER(cmd_storage_space) {
  int source = cmd_source(a->n[0]);
  filesys_recalculate_free_space(source);
  int64_t free_bytes = filesys_free_space(source), total = filesys_total_space(source);
  if (free_bytes < 0 || total < 0) {
    // The sizes are sent even then, as zeros.
    ctl_set_status(a->reply, CTL_ERR_FILE_OP);
    free_bytes = total = 0;
  }
  ctl_put_u32(a->reply, (uint32_t)(free_bytes / 1000));
  ctl_put_u32(a->reply, (uint32_t)(total / 1000));
  return CTL_OK;
}

CMD_HANDLER(cmd_file_name) {
  const char *name;
  CtlStatus st = file_list_entry(cmd_source(a->n[0]), a->n[1], &name);
  if (st == CTL_OK) ctl_put_string(a->reply, name);
  return st;
}

CMD_HANDLER(cmd_file_info) {
  int source = cmd_source(a->n[0]);
  const char *name;
  CtlStatus st = file_list_entry(source, a->n[1], &name);
  if (st) return st;
  struct stat sb;
  if (filesys_stat_recording(source, name, &sb) != 0 || !S_ISREG(sb.st_mode)) return CTL_ERR_NO_MEMORY;
  ctl_put_string(a->reply, name);
  ctl_put_u32(a->reply, (uint32_t)sb.st_size);
  return CTL_OK;
}

CMD_HANDLER(cmd_file_delete) {
  if (!filesys_name_ok(a->s[0])) return CTL_ERR_RANGE;
  int rc = filesys_delete(cmd_source(a->n[0]), a->s[0], nullptr);
  cmd_file_list_stale();
  if (rc == -EBUSY) return CTL_ERR_STATE;   // being recorded
  return rc == 0 ? CTL_OK : CTL_ERR_NO_FILE;
}

CMD_HANDLER(cmd_file_rename) {
  if (!filesys_name_ok(a->s[0]) || !filesys_name_ok(a->s[1])) return CTL_ERR_RANGE;
  int rc = filesys_rename(cmd_source(a->n[0]), a->s[0], a->s[1]);
  cmd_file_list_stale();
  switch (rc) {
    case 0: return CTL_OK;
    case -2: return CTL_ERR_RANGE;
    case -EBUSY: return CTL_ERR_STATE;   // being recorded
    case -1:
    case -3: return CTL_ERR_FILE_OP;
    default: return CTL_ERR_NO_FILE;
  }
}

CMD_HANDLER(cmd_open_file) {
  close_xfer();
  const char *name = a->s[0];
  if (!filesys_name_ok(name)) return CTL_ERR_RANGE;
  bool w = a->n[1] != 0;
  int source = cmd_source(a->n[0]);
  errno = 0;
  FILE *f = filesys_fopen(source, name, w ? "wb" : "rb");
  log_printf("%s: %s w=%d %s\n", "cmd_open_file", name, (int)w, f ? "" : strerror(errno ? errno : ENOENT));
  if (w) cmd_file_list_stale();
  if (!f) return CTL_ERR_NO_FILE;
  xfer = {f, w, source};
  return CTL_OK;
}

CMD_HANDLER(cmd_close_file) {
  (void)a;
  if (!xfer.file) return CTL_ERR_STATE;
  return close_xfer() == 0 ? CTL_OK : CTL_ERR_FILE_OP;
}

CMD_HANDLER(cmd_read_file) {
  if (!xfer.file || xfer.write) return CTL_ERR_STATE;
  uint8_t buf[246];
  size_t n = fread(buf, 1, sizeof buf, xfer.file);
  if (n < sizeof buf && ferror(xfer.file)) {
    clearerr(xfer.file);
    return CTL_ERR_FILE_OP;
  }
  ctl_put_bytes(a->reply, buf, n);
  return CTL_OK;
}

CMD_HANDLER(cmd_write_file) {
  if (!xfer.file || !xfer.write) return CTL_ERR_STATE;
  size_t n = fwrite(a->raw, 1, a->raw_len, xfer.file);
  CtlStatus st = n == a->raw_len ? (CtlStatus)CTL_OK : (CtlStatus)CTL_ERR_FILE_OP;
  log_printf("CMD_WRITE_FILE: ret=%d rc=%d\n", st ? -(int)EIO : (int)n, (int)st);
  cmd_file_list_stale();
  return st;
}
