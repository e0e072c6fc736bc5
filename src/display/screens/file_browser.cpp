// The file browser of the menu and the file actions it runs: play, view,
// copy or move between the two USB volumes, delete and rename, one file at a
// time or a selected group. The storage manager does the work; its progress
// comes back through show_progress, where the user may cancel.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "core/global.h"
#include "core/log.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "display/dvr_keys.h"
#include "display/dvr_logic.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/screens/menu_screens.h"
#include "display/text_entry.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "storage/volume.h"

namespace {

// Language rows of the browser and the actions.
enum {
  T_INTERNAL = 123, T_EXTERNAL = 124, T_NOT_PRESENT = 184, T_NO_FILES = 185, T_CANCEL_COPY = 186,
  T_YES = 187, T_NO = 188, T_CANCELLING = 189, T_COPYING_NAME = 190, T_COPYING_VIDEO = 191,
  T_VIDEO_COPIED = 192, T_NO_SPACE = 193, T_VIDEO_COPY_FAILED = 194, T_VIDEO_EXISTS = 195,
  T_OVERWRITE = 196, T_CANCEL = 197, T_DELETING = 198, T_DELETE_FAILED = 199,
  T_COPYING_SNAPSHOT = 200, T_SNAPSHOT_COPIED = 201, T_SNAPSHOT_COPY_FAILED = 202,
  T_SNAPSHOT_EXISTS = 203, T_DELETE_CONFIRM = 204, T_PLAY_SOURCE = 205, T_NO_STORAGE = 206,
  T_PLAY = 207, T_PLAY_FROM = 208, T_VIEW_SOURCE = 209, T_VIEW = 210, T_VIEW_FROM = 211,
  T_FILE_MANAGEMENT = 212, T_COPY_VIDEO_FROM = 213, T_COPY_SNAPSHOTS_FROM = 214,
  T_DELETE_FROM = 215, T_RENAME_ON = 246, T_ENTER_NAME = 249, T_RENAME_FAILED = 250,
  T_DELETE_FILES = 224, T_TOGGLE_COPY_MOVE = 317, T_MOVE_VIDEO_FROM = 318,
  T_MOVE_SNAPSHOTS_FROM = 319, T_MOVING_VIDEO = 322, T_VIDEO_MOVED = 323, T_MOVING_SNAPSHOT = 324,
  T_SNAPSHOT_MOVED = 325, T_SELECT_FILES = 340, T_INDIVIDUAL = 341, T_GROUP = 342,
  T_N_SELECTED = 343, T_CHANGE_SELECTION = 344, T_ALREADY_EXISTS = 345, T_SKIP = 346,
  T_OVERWRITE_ALL = 347, T_COPY_FILES = 348, T_MOVE_FILES = 349, T_ALL = 392,
};

constexpr int kRowsWanted = 18;
constexpr size_t kRenameMax = 50;

ParamBlock *params(void) { return get_param_block(); }

// What show_progress puts before the percentage; NULL: nothing.
const char *g_progress_label;
char g_progress_name[160];

void clear_mailbox(void) {
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  key_mailbox.key_word = 0;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
}

bool ends_with_nocase(const char *name, const char *end) {
  size_t n = strlen(name), e = strlen(end);
  return n >= e && strcasecmp(name + n - e, end) == 0;
}

bool filter_takes(int filter, const char *name) {
  bool video = ends_with_nocase(name, ".mp4") || ends_with_nocase(name, ".ts");
  bool snapshot = ends_with_nocase(name, ".jpg");
  switch (filter) {
    case FILE_FILTER_VIDEO: return video;
    case FILE_FILTER_SNAPSHOT: return snapshot;
    case FILE_FILTER_RECORDING: return video || snapshot;
    case FILE_FILTER_TEXT: return ends_with_nocase(name, ".txt");
    default: return false;
  }
}

// The size of name in source's recording directory; ~0 when there is no
// such entry (a link there counts as one: it is not replaced).
uint64_t recording_size(int source, const char *name) {
  struct stat st;
  if (filesys_stat_recording(source, name, &st) != 0) return ~0ULL;
  return S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
}

// The regular files of source's recording directory that the filter takes,
// newest dated names first. -1 without a directory.
int scan_files(int source, int filter, std::vector<FileEntry> *out) {
  out->clear();
  // Links are left out: nothing a link points at is shown or copied.
  DIR *d = filesys_opendir_recording(source);
  if (!d) return -1;
  while (dirent *e = readdir(d)) {
    // A name too long to be named back is not offered at all.
    if (!filesys_name_ok(e->d_name) || !filter_takes(filter, e->d_name)) continue;
    struct stat st;
    if (!volume_entry_is_file(d, e, &st)) continue;
    FileEntry f;
    snprintf(f.name, sizeof f.name, "%s", e->d_name);
    f.size = (uint64_t)st.st_size;
    out->push_back(f);
  }
  closedir(d);
  std::sort(out->begin(), out->end(),
            [](const FileEntry &a, const FileEntry &b) { return strcmp(a.name, b.name) > 0; });
  return (int)out->size();
}

// A question: the row chosen, 0 for back.
int ask(GuiContext *ctx, const char *title, const char *a, const char *b, const char *c, int initial) {
  const char *items[] = {title, a, b, c, nullptr};
  return show_menu(ctx, c ? 4 : 3, items, initial);
}

void set_progress_label(const char *text) { g_progress_label = text; }

// ---- Single-file actions ----

struct CopyTexts {
  int moving, copying, exists, copied, moved, failed;
};
constexpr CopyTexts kVideoTexts = {T_MOVING_VIDEO, T_COPYING_VIDEO, T_VIDEO_EXISTS,
                                   T_VIDEO_COPIED, T_VIDEO_MOVED, T_VIDEO_COPY_FAILED};
constexpr CopyTexts kSnapshotTexts = {T_MOVING_SNAPSHOT, T_COPYING_SNAPSHOT, T_SNAPSHOT_EXISTS,
                                      T_SNAPSHOT_COPIED, T_SNAPSHOT_MOVED, T_SNAPSHOT_COPY_FAILED};

int copy_action(GuiContext *ctx, const char *name, const CopyTexts &t) {
  bool move = params()->dvr_copy_or_move == 1;
  int source = osd_layout.browse_source, dest = source ^ 1;
  set_progress_label(T(move ? t.moving : t.copying));
  filesys_recalculate_free_space(dest);
  int result;
  // Overwriting replaces the old file only once the copy is whole (the
  // copy is made beside it): a copy cut short leaves it as it was.
  for (int overwrite = 0;; overwrite = 1) {
    result = filesys_copy(source, name, overwrite, ctx);
    clear_status_text(ctx);
    if (result != ERR_FILE_EXISTS || overwrite) break;
    if (ask(ctx, T(t.exists), T(T_OVERWRITE), T(T_CANCEL), nullptr, 2) != 1) {
      set_progress_label(nullptr);
      return 0;
    }
  }
  set_progress_label(nullptr);
  if (result == ERR_CANCELLED) return -1;
  if (result == ERR_NO_SPACE) {
    show_notice(ctx, T(T_NO_SPACE));
    return 0;
  }
  if (result != 0) {
    show_notice(ctx, T(t.failed));
    return 0;
  }
  if (!move) {
    show_message(ctx, T(t.copied));
    return 0;
  }
  // Both copies stay when the source cannot go: nothing is lost.
  if (filesys_delete(source, name, nullptr) != 0) {
    show_notice(ctx, T(T_DELETE_FAILED));
    return 0;
  }
  show_message(ctx, T(t.moved));
  return 1;
}

// ---- The screens ----

// A file management row: what it opens the browser with.
enum RowKind { ROW_COPY_VIDEO, ROW_COPY_SNAPSHOTS, ROW_DELETE, ROW_RENAME, ROW_TOGGLE, ROW_SELECT };

struct ManagementRow {
  RowKind kind;
  int source;
  char text[96];
};

void source_menu(GuiContext *ctx, int ask_title, int title_from, int title_plain, int filter,
                 FileAction action) {
  ParamBlock *p = params();
  bool ext = !p->dvr_disable_ext_ports && filesys_is_mounted(STORAGE_EXT);
  bool in = filesys_is_mounted(STORAGE_INT);
  char title[128];
  int source;
  if (ext && in) {
    const char *items[] = {T(ask_title), T(T_EXTERNAL), T(T_INTERNAL), nullptr};
    DvrKey saved = menu_return_mask;
    menu_return_mask = DVR_KEY_PLAY_PAUSE;
    int row = show_menu(ctx, 3, items, 1);
    menu_return_mask = saved;
    if (row == 0) return;
    source = row == 1 ? STORAGE_EXT : STORAGE_INT;
    snprintf(title, sizeof title, T(title_from), T(row == 1 ? T_EXTERNAL : T_INTERNAL));
  } else {
    if (ext) source = STORAGE_EXT;
    else if (in) source = STORAGE_INT;
    else if (filesys_is_mounted(STORAGE_MMC)) source = STORAGE_MMC;
    else {
      show_message(ctx, T(T_NO_STORAGE));
      return;
    }
    snprintf(title, sizeof title, "%s", T(title_plain));
  }
  osd_layout.browse_source = source;
  file_browser(ctx, title, filter, action, DVR_KEY_PLAY_PAUSE, nullptr);
}

}  // namespace

int show_progress(void *context, int tenths) {
  GuiContext *ctx = static_cast<GuiContext *>(context);
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  bool stop = (key_mailbox.key_word & (DVR_KEY_STOP_BACK | DVR_KEY_MENU_OK)) != 0;
  if (stop) key_mailbox.key_word = 0;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  if (stop && ask(ctx, T(T_CANCEL_COPY), T(T_YES), T(T_NO), nullptr, 2) == 1) {
    show_status_text(ctx, T(T_CANCELLING));
    return -1;
  }
  char text[200];
  snprintf(text, sizeof text, "%s %d.%d%%", g_progress_label ? g_progress_label : "", tenths / 10, tenths % 10);
  show_status_text(ctx, text);
  return 0;
}

void format_size(char *out, size_t size, uint64_t n) {
  if (n < 1000) {
    snprintf(out, size, "%llu B", (unsigned long long)n);
    return;
  }
  // k decades above 1000, counted so that a value that would round up to
  // the next power of ten already shows with fewer decimals or the next unit.
  static const char *const units[] = {"KB", "MB", "GB", "TB"};
  int k = 0;
  for (uint64_t threshold = 9995; k < 10 && threshold <= n; threshold *= 10) k++;
  double divisor = 1000.0;
  for (int i = 0; i < k / 3; i++) divisor *= 1000.0;
  snprintf(out, size, "%.*f %s", 2 - k % 3, (double)n / divisor, units[k / 3]);
}

void file_browser(GuiContext *ctx, const char *title, int filter, FileAction action, uint32_t extra_keys,
                  FileGroupAction group) {
  int source = osd_layout.browse_source;
  int per = menu_rows_limit(ctx, kRowsWanted) - 2;
  if (per < 1) per = 1;
  std::vector<FileEntry> files;
  std::vector<uint8_t> selected;
  int page = 0, cursor = 1;
  int run = -1;              // the entry whose action runs next without the list
  bool scan = true;
  char rows[kRowsWanted][300];
  while (!get_exit_code()) {
    if (!filesys_is_mounted(source)) {
      char text[128];
      snprintf(text, sizeof text, T(T_NOT_PRESENT), storage_device_name(ctx, source));
      show_message(ctx, text);
      return;
    }
    if (scan) {
      scan = false;
      if (scan_files(source, filter, &files) <= 0) {
        show_message(ctx, T(T_NO_FILES));
        clear_mailbox();
        return;
      }
      int count = (int)files.size();
      if (page * per >= count) page = (count - 1) / per;
      if (group && selected.size() != files.size()) {
        selected.assign(files.size(), 0);
        if (params()->dvr_group_select == 2) {
          selected.assign(files.size(), 1);
          if (group(ctx, files.data(), selected.data(), count) != 1) return;
        }
      }
    }
    int count = (int)files.size();
    if (run >= 0) {
      int entry = run;
      run = -1;
      int r = action(ctx, files[entry].name);
      page = entry / per;
      cursor = entry % per + 1;
      if (r == 1) scan = true;
      else if (r == 2 && entry + 1 < count) run = entry + 1;
      else if (r == 3 && entry > 0) run = entry - 1;
      else if (r == 2 || r == 3) scan = true;
      continue;
    }

    // One page: the title, its entries, "..." when more follow.
    const char *items[kRowsWanted + 2];
    int n = 0;
    items[n++] = title;
    int first = page * per, last = std::min(count, first + per);
    for (int i = first; i < last; i++) {
      char size_text[24];
      format_size(size_text, sizeof size_text, files[i].size);
      const char *mark = group ? (selected[i] ? "[x]" : "[ ]") : "";
      snprintf(rows[n - 1], sizeof rows[0], "%s%s %s", mark, files[i].name, size_text);
      items[n] = rows[n - 1];
      n++;
    }
    int more = last < count ? n : 0;
    if (more) items[n++] = "...";
    items[n] = nullptr;
    DvrKey saved = menu_return_mask;
    menu_return_mask = DVR_KEY_PAGE_UP | DVR_KEY_PAGE_DOWN | extra_keys;
    menu_return_key = 0;
    int row = show_menu(ctx, n, items, std::min(cursor, n - 1));
    DvrKey why = menu_return_key;
    menu_return_mask = saved;
    if (get_exit_code()) return;
    if (why == DVR_KEY_PAGE_UP || why == DVR_KEY_PAGE_DOWN) {
      if (why == DVR_KEY_PAGE_UP && page > 0) page--;
      else if (why == DVR_KEY_PAGE_DOWN && last < count) page++;
      cursor = 1;
      continue;
    }
    if (row == 0) {
      if (page > 0) {
        page--;
        cursor = per + 1;   // the "..." row
        continue;
      }
      if (group && group(ctx, files.data(), selected.data(), count) == 1) continue;
      return;
    }
    if (row == more) {
      page++;
      cursor = 1;
      continue;
    }
    int entry = first + row - 1;
    cursor = row;
    if (group) selected[entry] ^= 1;
    else run = entry;
  }
}

int copy_video_action(GuiContext *ctx, const char *name) { return copy_action(ctx, name, kVideoTexts); }

int copy_snapshot_action(GuiContext *ctx, const char *name) { return copy_action(ctx, name, kSnapshotTexts); }

int delete_file_action(GuiContext *ctx, const char *name) {
  char title[300];
  snprintf(title, sizeof title, T(T_DELETE_CONFIRM), name);
  if (ask(ctx, title, T(T_YES), T(T_NO), nullptr, 1) != 1) return 0;
  show_status_text(ctx, T(T_DELETING));
  int rc = filesys_delete(osd_layout.browse_source, name, nullptr);
  clear_status_text(ctx);
  if (rc != 0) {
    show_notice(ctx, T(T_DELETE_FAILED));
    return 0;
  }
  return 1;
}

int rename_file_action(GuiContext *ctx, const char *name) {
  const char *dot = strrchr(name, '.');
  const char *ext = dot && strlen(dot + 1) <= 4 ? dot : "";
  log_printf("%s: filename=%s ext=%s\n", "rename_file_action", name, ext);
  char typed[kRenameMax + 1];
  snprintf(typed, sizeof typed, "%s", name);
  if (text_entry_dialog(ctx, T(T_ENTER_NAME), typed, sizeof typed) != 0 || get_exit_code()) return 0;
  char wanted[kRenameMax + 8];
  snprintf(wanted, sizeof wanted, "%s%s", typed, ends_with_nocase(typed, ext) ? "" : ext);
  // The name stays inside the recording directory: no path, no "..".
  if (!filesys_name_ok(typed) || !filesys_name_ok(wanted) || strchr(wanted, '/')) {
    log_printf("%s: refused name %s\n", "rename_file_action", typed);
    show_notice(ctx, T(T_RENAME_FAILED));
    return 0;
  }
  int rc = filesys_rename(osd_layout.browse_source, name, wanted);
  if (rc == -ENOENT) {
    show_notice(ctx, "Renamed file already exists.");
    return 0;
  }
  if (rc != 0) {
    show_notice(ctx, T(T_RENAME_FAILED));
    return 0;
  }
  return 1;
}

int copy_files_group(GuiContext *ctx, FileEntry *entries, uint8_t *selected, int count) {
  bool move = params()->dvr_copy_or_move == 1;
  int source = osd_layout.browse_source, dest = source ^ 1;
  int n = 0;
  for (int i = 0; i < count; i++) n += selected[i] != 0;
  if (n == 0) return 0;
  char title[300];
  snprintf(title, sizeof title, T(T_N_SELECTED), n);
  int row = ask(ctx, title, T(move ? T_MOVE_FILES : T_COPY_FILES), T(T_CHANGE_SELECTION), T(T_CANCEL), 1);
  if (row == 2) return 1;
  if (row != 1) return 0;

  bool overwrite_all = false;
  uint64_t needed = 0, replaced = 0, total = 0;
  for (int i = 0; i < count; i++) {
    if (!selected[i]) continue;
    uint64_t existing = recording_size(dest, entries[i].name);
    if (existing != ~0ULL && !overwrite_all) {
      snprintf(title, sizeof title, T(T_ALREADY_EXISTS), entries[i].name);
      int r = ask(ctx, title, T(T_OVERWRITE), T(T_OVERWRITE_ALL), T(T_SKIP), 1);
      if (r == 0) return 1;
      if (r == 2) overwrite_all = true;
      if (r == 3) {
        selected[i] = 0;
        continue;
      }
    }
    total += entries[i].size;
    if (existing != ~0ULL) replaced += existing;
  }
  needed = total > replaced ? total - replaced : 0;
  filesys_recalculate_free_space(dest);
  int64_t free_bytes = filesys_free_space(dest);
  if (free_bytes >= 0 && needed > (uint64_t)free_bytes) {
    show_notice(ctx, T(T_NO_SPACE));
    return 1;
  }

  filesys_multi_start(dest, 0, (int64_t)total);
  for (int i = 0; i < count; i++) {
    if (!selected[i]) continue;
    snprintf(g_progress_name, sizeof g_progress_name, T(T_COPYING_NAME), entries[i].name);
    set_progress_label(g_progress_name);
    int rc = filesys_copy(source, entries[i].name, 1, ctx);
    if (rc == ERR_CANCELLED) break;
    if (rc != 0) {
      clear_status_text(ctx);
      show_notice(ctx, T(rc == ERR_NO_SPACE ? T_NO_SPACE : T_VIDEO_COPY_FAILED));
      break;
    }
    if (move && filesys_delete(source, entries[i].name, nullptr) != 0) {
      clear_status_text(ctx);
      show_notice(ctx, T(T_DELETE_FAILED));
      break;
    }
  }
  clear_status_text(ctx);
  filesys_multi_finish(dest);
  set_progress_label(nullptr);
  return 0;
}

int delete_files_group(GuiContext *ctx, FileEntry *entries, uint8_t *selected, int count) {
  int source = osd_layout.browse_source;
  int n = 0;
  for (int i = 0; i < count; i++) n += selected[i] != 0;
  char title[64];
  snprintf(title, sizeof title, T(T_N_SELECTED), n);
  int row = ask(ctx, title, T(T_DELETE_FILES), T(T_CHANGE_SELECTION), T(T_CANCEL), 2);
  if (row == 2) return 1;
  if (row != 1) return 0;
  filesys_multi_start(source, 0, (int64_t)n * 1000);
  for (int i = 0; i < count; i++) {
    if (!selected[i]) continue;
    snprintf(g_progress_name, sizeof g_progress_name, "%s %s", T(T_DELETING), entries[i].name);
    set_progress_label(g_progress_name);
    int rc = filesys_delete(source, entries[i].name, ctx);
    if (rc == -EINTR) break;
    if (rc != 0) {
      perror("unlink");
      clear_status_text(ctx);
      show_notice(ctx, T(T_DELETE_FAILED));
      break;
    }
  }
  clear_status_text(ctx);
  filesys_multi_finish(source);
  set_progress_label(nullptr);
  return 0;
}

void play_video_menu(GuiContext *ctx) {
  source_menu(ctx, T_PLAY_SOURCE, T_PLAY_FROM, T_PLAY, FILE_FILTER_VIDEO, play_video_action);
}

void view_snapshot_menu(GuiContext *ctx) {
  source_menu(ctx, T_VIEW_SOURCE, T_VIEW_FROM, T_VIEW, FILE_FILTER_SNAPSHOT, view_snapshot_action);
}

void file_management_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  int chosen = 1;
  while (!get_exit_code()) {
    bool ext = !p->dvr_disable_ext_ports && filesys_is_mounted(STORAGE_EXT);
    bool in = filesys_is_mounted(STORAGE_INT);
    bool sd = !ext && !in && filesys_is_mounted(STORAGE_MMC);
    bool typing = gui_input.keyboard_present || gui_input.pointer_device;
    bool move = p->dvr_copy_or_move == 1;
    ManagementRow rows[12];
    int n = 0;
    auto add = [&](RowKind kind, int source, int text) {
      ManagementRow &r = rows[n++];
      r.kind = kind;
      r.source = source;
      snprintf(r.text, sizeof r.text, T(text), storage_device_name(ctx, source));
    };
    int present[2], volumes = 0;
    if (in) present[volumes++] = STORAGE_INT;
    if (ext) present[volumes++] = STORAGE_EXT;
    if (sd) present[volumes++] = STORAGE_MMC;
    if (in && ext) {
      for (int v = 0; v < 2; v++) add(ROW_COPY_VIDEO, present[v], move ? T_MOVE_VIDEO_FROM : T_COPY_VIDEO_FROM);
      for (int v = 0; v < 2; v++)
        add(ROW_COPY_SNAPSHOTS, present[v], move ? T_MOVE_SNAPSHOTS_FROM : T_COPY_SNAPSHOTS_FROM);
    }
    for (int v = 0; v < volumes; v++) add(ROW_DELETE, present[v], T_DELETE_FROM);
    if (typing)
      for (int v = 0; v < volumes; v++) add(ROW_RENAME, present[v], T_RENAME_ON);
    if (in && ext) {
      rows[n].kind = ROW_TOGGLE;
      snprintf(rows[n++].text, sizeof rows[0].text, "%s", T(T_TOGGLE_COPY_MOVE));
    }
    if (volumes) {
      static const int kSelect[] = {T_INDIVIDUAL, T_GROUP, T_ALL};
      int g = p->dvr_group_select <= 2 ? p->dvr_group_select : 0;
      rows[n].kind = ROW_SELECT;
      snprintf(rows[n++].text, sizeof rows[0].text, "%s : %s", T(T_SELECT_FILES), T(kSelect[g]));
    } else {
      show_message(ctx, T(T_NO_STORAGE));
      break;
    }
    const char *items[14] = {T(T_FILE_MANAGEMENT)};
    for (int i = 0; i < n; i++) items[i + 1] = rows[i].text;
    chosen = show_menu(ctx, n + 1, items, chosen);
    if (chosen == 0) break;
    const ManagementRow &r = rows[chosen - 1];
    if (r.kind == ROW_TOGGLE) {
      p->dvr_copy_or_move = !move;
      continue;
    }
    if (r.kind == ROW_SELECT) {
      p->dvr_group_select = (uint8_t)((p->dvr_group_select + 1) % 3);
      continue;
    }
    char title[128];
    snprintf(title, sizeof title, "== %s ==", r.text);
    osd_layout.browse_source = r.source;
    bool grouped = p->dvr_group_select != 0;
    switch (r.kind) {
      case ROW_COPY_VIDEO:
        file_browser(ctx, title, FILE_FILTER_VIDEO, copy_video_action, 0, grouped ? copy_files_group : nullptr);
        break;
      case ROW_COPY_SNAPSHOTS:
        file_browser(ctx, title, FILE_FILTER_SNAPSHOT, copy_snapshot_action, 0,
                     grouped ? copy_files_group : nullptr);
        break;
      case ROW_DELETE:
        file_browser(ctx, title, FILE_FILTER_RECORDING, delete_file_action, 0,
                     grouped ? delete_files_group : nullptr);
        break;
      default:
        file_browser(ctx, title, FILE_FILTER_RECORDING, rename_file_action, 0, nullptr);
        break;
    }
  }
  save_and_apply_params();
}
