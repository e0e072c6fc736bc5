// The secondary text overlays: files, slots, the coded message, the text
// editor and the overlay screens.
#include "display/screens/overlay_editor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <strings.h>
#include <vector>

#include "core/board_io.h"
#include "core/global.h"
#include "core/log.h"
#include "core/param_access.h"
#include "core/param_flash.h"
#include "display/display_std.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/screens/menu_screens.h"
#include "display/text_entry.h"
#include "media/capture.h"
#include "osd/osd_channel.h"
#include "osd/osd_command.h"
#include "osd/osd_font.h"
#include "storage/filesys.h"

namespace {

enum {
  T_BLACK = 84, T_TRANSPARENT = 85, T_50_BLACK = 86, T_75_BLACK = 87, T_OVERLAY_BG = 83,
  T_SELECT_TEXT = 88, T_SELECT_DATE = 89, T_CUSTOM_TITLE = 90, T_CUSTOM_1 = 91, T_ENTER_TEXT = 96,
  T_SELECT_TIME = 97, T_OVERLAYS = 98, T_TEXT = 99, T_CUSTOM_TEXT = 100, T_DATE_FORMAT = 101,
  T_TIME_FORMAT = 102, T_BACKGROUND = 103, T_MOVE_UP = 104, T_MOVE_DOWN = 105, T_MOVE_LEFT = 106,
  T_MOVE_RIGHT = 107, T_OFF = 110, T_ENABLED = 41, T_DISABLED = 42, T_SELECT_CODE = 263,
  T_TITLE_OFF = 264, T_CODED_OFF = 265, T_EXTRA_OFF = 266, T_ENTER_TITLE = 267,
  T_ENTER_CODE = 268, T_ENTER_CODES = 269, T_ENTER_FREE = 270, T_PRIMARY_TITLE = 271,
  T_TITLE_MENU = 272, T_CODED_MENU = 273, T_EXTRA_MENU = 274, T_EDIT_CODES = 275, T_EDIT_TEXT = 276,
  T_LOAD = 277, T_SAVE = 278, T_SAVING = 279, T_SAVE_FAILED = 280, T_SAVED = 281, T_LOADING = 282,
  T_LOAD_FAILED = 283, T_LOADED = 284, T_SETUP_PRIMARY = 285, T_SETUP_TITLE = 286,
  T_SETUP_CODED = 287, T_SETUP_EXTRA = 288, T_PRIMARY = 289, T_SECONDARY = 290,
  T_SELECT_SECONDARY = 291, T_TITLE = 292, T_CODED = 293, T_EXTRA = 294, T_TEXT_SIZE = 298,
  T_ADDTL = 328, T_ADDTL_OFF = 330, T_ADDTL_MENU = 331, T_SETUP_ADDTL = 332,
  T_CONNECT_KEYBOARD = 362, T_TOP_LEFT = 383, T_BLUE = 391, T_TRANSPARENT_BLACK = 398,
  T_ERASE_ALL = 399, T_WHITE = 401, T_OUTLINE = 414,
};

ParamBlock *params(void) { return get_param_block(); }

// The most of an overlay file that can be used: the header and as many
// lines as any overlay keeps (the coded overlay's codes), each with room
// for trailing blanks and its line end.
constexpr size_t kOverlayFileMax = 64 + OVERLAY_CODES_MAX * 64;

// Guards the four overlays' texts: a mounted volume loads them on the web
// thread while the menu thread shows, edits and saves them.
pthread_mutex_t g_text_mutex = PTHREAD_MUTEX_INITIALIZER;
struct TextLock {
  TextLock() { pthread_mutex_lock(&g_text_mutex); }
  ~TextLock() { pthread_mutex_unlock(&g_text_mutex); }
};

const char *const kFontNames[] = {"Disabled", "8x13", "16x16", "19x32", "38x64"};

const char *font_name(int font) { return font >= 1 && font <= 4 ? kFontNames[font] : kFontNames[0]; }

// The lines of a packed text.
std::vector<std::string> text_lines(const char *text, uint32_t size) {
  std::vector<std::string> lines;
  for (uint32_t at = 0; text && at < size;) {
    size_t n = strnlen(text + at, size - at);
    lines.emplace_back(text + at, n);
    at += uint32_t(n) + 1;
  }
  return lines;
}

std::vector<std::string> conf_lines(const TextOverlayConf *conf) {
  TextLock l;
  return text_lines(conf->text, conf->text_size);
}

// Packs lines into a new text; false without memory.
bool pack_lines(const std::vector<std::string> &lines, char **text, uint32_t *size) {
  size_t n = 0;
  for (const std::string &s : lines) n += s.size() + 1;
  char *t = n ? (char *)malloc(n) : nullptr;
  if (n && !t) return false;
  size_t at = 0;
  for (const std::string &s : lines) {
    memcpy(t + at, s.c_str(), s.size() + 1);
    at += s.size() + 1;
  }
  *text = t;
  *size = uint32_t(n);
  return true;
}

// Replaces conf's text with one owned by the caller until now.
void conf_set_text(TextOverlayConf *conf, char *text, uint32_t size) {
  char *old;
  {
    TextLock l;
    old = conf->text;
    conf->text = text;
    conf->text_size = size;
  }
  free(old);
}

bool ext_config_usable(void) {
  return filesys_is_mounted(STORAGE_EXT) && !params()->dvr_disable_ext_config;
}

const char *source_name(int source) {
  return source == STORAGE_EXT ? "External" : source == STORAGE_MMC ? "SD Card" : "unknown";
}

int load_from(TextOverlayConf *conf, int source) {
  if (!file_exists_on(source, conf->file)) return -1;
  size_t n = 0;
  // No more is read than the lines that can be kept, whatever the file's
  // size (a longer file is logged as cut).
  uint8_t *data = filesys_readfile(source, conf->file, kOverlayFileMax, &n);
  int rc = overlay_text_parse(conf, (const char *)data, n);
  free(data);
  if (rc == 0) conf->source = source;
  return rc;
}

void clear_slots(int from) {
  for (int k = from; k < OVERLAY_ROWS; k++) osdClearSlot(k);
}

void message2(GuiContext *ctx, const char *what, const char *name, const char *end, bool wait) {
  char text[128];
  snprintf(text, sizeof text, "%s %s%s", what, name, end);
  if (wait) {
    show_status_text(ctx, nullptr);
    show_message(ctx, text);
  } else {
    show_status_text(ctx, text);
  }
}

// The frame the overlays are kept in: the display standard's size, or the
// captured one when the standard is automatic (0 while unknown).
void overlay_area(int *width, int *height) {
  int interlaced = 0;
  *width = *height = 0;
  int std = params()->display.standard;
  if (std == 0 || !video_std_size(std, width, height, &interlaced)) {
    uint32_t cw, ch;
    capture_input_get(&cw, &ch, nullptr, nullptr);
    *width = int(cw);
    *height = int(ch);
  }
}

// Moves x, y by dx, dy inside the overlay area (only kept non-negative while
// its size is unknown).
void move_in_area(int32_t *x, int32_t *y, int dx, int dy) {
  int w, h;
  overlay_area(&w, &h);
  int nx = *x, ny = *y;
  move_clamped(&nx, &ny, w > 0 ? w : 0xFFFF, h > 0 ? h : 0xFFFF, dx, dy);
  *x = nx;
  *y = ny;
}

}  // namespace

// ---- Files ----

int overlay_text_parse(TextOverlayConf *conf, const char *data, size_t size) {
  if (!data) size = 0;
  char *out = (char *)malloc(size + 1);
  if (!out) {
    log_printf("memory allocation failure\n");
    return -1;
  }
  size_t used = 0, lines = 0;
  bool first = true;
  for (size_t at = 0; at < size;) {
    if (lines == OVERLAY_CODES_MAX) {
      log_printf("%s: more than %d lines, the rest is ignored\n", conf->file ? conf->file : "overlay",
                 OVERLAY_CODES_MAX);
      break;
    }
    const char *line = data + at;
    const char *lf = (const char *)memchr(line, '\n', size - at);
    size_t len = lf ? size_t(lf - line) : size - at;
    at += len + (lf ? 1 : 0);
    while (len && line[len - 1] == '\r') len--;
    len = strnlen(line, len);
    if (first && len >= 4 && !memcmp(line, "#ovl", 4)) {
      first = false;
      char head[64];
      size_t hn = len < sizeof head - 1 ? len : sizeof head - 1;
      memcpy(head, line, hn);
      head[hn] = 0;
      int v[4] = {conf->font, conf->background, conf->x, conf->y};
      (void)sscanf(head + 4, "%d %d %d %d", &v[0], &v[1], &v[2], &v[3]);
      uint32_t cw, ch;
      capture_input_get(&cw, &ch, nullptr, nullptr);
      int w = int(cw), h = int(ch);
      conf->font = v[0] >= 1 && v[0] <= 4 ? v[0] : 1;
      conf->background = v[1] < 0 || v[1] > 6 || v[1] == 2 || v[1] == 3 ? 0 : v[1];
      conf->x = v[2] < 0 || v[2] > 0xFFFF || (w > 0 && v[2] > w) ? 0 : v[2];
      conf->y = v[3] < 0 || v[3] > 0xFFFF || (h > 0 && v[3] > h) ? 0 : v[3];
      log_printf("%s: font=%d bg=%d x=%d y=%d\n", conf->file ? conf->file : "", conf->font,
                 conf->background, conf->x, conf->y);
      continue;
    }
    first = false;
    if (len > OVERLAY_LINE_CHARS) len = OVERLAY_LINE_CHARS;
    while (len && line[len - 1] == '\r') len--;   // as written back, it would end the line
    memcpy(out + used, line, len);
    out[used + len] = 0;
    used += len + 1;
    lines++;
  }
  if (used == 0) {
    free(out);
    out = nullptr;
  }
  conf_set_text(conf, out, uint32_t(used));
  return 0;
}

char *overlay_text_build(const TextOverlayConf *conf, size_t *size) {
  std::vector<std::string> lines = conf_lines(conf);
  char head[64];
  int n = snprintf(head, sizeof head, "#ovl %d %d %d %d\r\n", conf->font, conf->background, conf->x, conf->y);
  size_t total = size_t(n) + 1;
  for (const std::string &s : lines) total += s.size() + 2;
  char *out = (char *)malloc(total);
  if (!out) {
    log_printf("%s: malloc failed size=%d\n", "save_overlay", int(total));
    return nullptr;
  }
  memcpy(out, head, size_t(n));
  size_t at = size_t(n);
  for (const std::string &s : lines) {
    memcpy(out + at, s.data(), s.size());
    at += s.size();
    out[at++] = '\r';
    out[at++] = '\n';
  }
  out[at] = 0;
  *size = at;
  return out;
}

int overlay_code_lookup(const char *list, uint32_t size, const char *code, char *message, size_t message_size) {
  size_t clen = code ? strlen(code) : 0;
  if (!clen) return 0;
  for (const std::string &line : text_lines(list, size)) {
    if (line.size() <= clen || line[clen] != ' ' || strncasecmp(line.c_str(), code, clen)) continue;
    size_t at = clen;
    while (at < line.size() && line[at] == ' ') at++;
    snprintf(message, message_size, "%s", line.c_str() + at);
    return 1;
  }
  return 0;
}

int overlay_file_load(TextOverlayConf *conf) {
  if (ext_config_usable() && load_from(conf, STORAGE_EXT) == 0) return 0;
  if (load_from(conf, STORAGE_INT) == 0) return 0;
  return load_from(conf, STORAGE_MMC);
}

void overlay_files_load(int source) {
  for (int n = 1; n <= 4; n++) {
    TextOverlayConf *conf = overlay_conf(n);
    if (conf->source == source) continue;
    if (source == STORAGE_INT && conf->source == STORAGE_EXT) continue;
    if (source == STORAGE_EXT && params()->dvr_disable_ext_config) continue;
    if (load_from(conf, source) != 0) continue;
    log_printf("loaded overlay %s from %s\n", conf->file, source_name(source));
    overlay_conf_to_params(params(), n, conf);
  }
}

int overlay_file_save(GuiContext *ctx, TextOverlayConf *conf) {
  message2(ctx, T(T_SAVING), conf->file, "...", false);
  size_t size = 0;
  char *text = overlay_text_build(conf, &size);
  int rc = -1;
  if (text) {
    struct Target {
      int source;
      const char *name;
    };
    std::vector<Target> targets;
    if (ext_config_usable() &&
        (file_exists_on(STORAGE_EXT, conf->file) || !file_exists_on(STORAGE_INT, conf->file)))
      targets.push_back({STORAGE_EXT, "ext"});
    if (filesys_is_mounted(STORAGE_INT)) targets.push_back({STORAGE_INT, "int"});
    if (filesys_is_mounted(STORAGE_MMC)) targets.push_back({STORAGE_MMC, "mmc"});
    if (targets.empty()) log_printf("nowhere to save\n");
    for (const Target &t : targets) {
      if (filesys_writefile(t.source, conf->file, text, size) == 0) {
        rc = 0;
        break;
      }
      log_printf("failed to save %s %d on %s\n", conf->file, int(size), t.name);
    }
    free(text);
  }
  message2(ctx, T(rc == 0 ? T_SAVED : T_SAVE_FAILED), conf->file, ".", true);
  return rc;
}

void overlay_editor_install_hooks(void) { storage_hooks.overlay_files_load = overlay_files_load; }

// ---- Slots ----

void overlay_show_text(TextOverlayConf *conf) {
  std::vector<std::string> lines = conf_lines(conf);
  size_t count = 0, longest = 0;
  for (size_t k = 0; k < lines.size() && k < OVERLAY_ROWS; k++) {
    if (!lines[k].empty()) count = k + 1;
    if (lines[k].size() > longest) longest = lines[k].size();
  }
  int h = osd_cell_height[osd_cell_index(conf->font)];
  for (size_t k = 0; k < count; k++) {
    std::string s = lines[k];
    s.resize(longest, ' ');
    osdSetText(int(k), conf->x, conf->y + int(k) * h, s.c_str(), conf->font, conf->background);
  }
  clear_slots(int(count));
}

void overlay_select(GuiContext *ctx, int n) {
  TextOverlayConf *conf = overlay_conf(n);
  if (!conf) {
    n = 0;
    clear_slots(0);
  } else if (n == 2) {
    if (osd_layout.coded_message[0])
      osdSetText(0, conf->x, conf->y, osd_layout.coded_message, conf->font, conf->background);
    else
      osdClearSlot(0);
    clear_slots(1);
  } else {
    overlay_show_text(conf);
  }
  osdCopyChannel(0, 3);
  osd_layout.current_overlay = n;
  corner_note_update(ctx);
}

void overlay_apply(GuiContext *ctx, int n) {
  TextOverlayConf *conf = overlay_conf(n);
  if (!conf) return;
  overlay_conf_to_params(params(), n, conf);
  if (osd_layout.current_overlay == n) overlay_select(ctx, n);
}

// ---- The coded message ----

int select_code_message(GuiContext *ctx) {
  char code[11] = "";
  if (text_entry_dialog(ctx, T(T_ENTER_CODE), code, sizeof code) != 0) return osd_layout.coded_message[0] != 0;
  TextOverlayConf *conf = overlay_conf(2);
  std::vector<std::string> lines = conf_lines(conf);
  char message[OVERLAY_LINE_CHARS + 1];
  char *list = nullptr;
  uint32_t size = 0;
  if (!pack_lines(lines, &list, &size)) return osd_layout.coded_message[0] != 0;
  int found = overlay_code_lookup(list, size, code, message, sizeof message);
  free(list);
  if (found) {
    snprintf(osd_layout.coded_message, sizeof osd_layout.coded_message, "%s", message);
    return osd_layout.coded_message[0] != 0;
  }
  if (lines.size() > OVERLAY_CODES_MAX) lines.resize(OVERLAY_CODES_MAX);
  std::vector<const char *> items = {T(T_SELECT_CODE)};
  for (const std::string &s : lines) items.push_back(s.c_str());
  items.push_back(nullptr);
  int row = show_menu(ctx, int(items.size()) - 1, items.data(), 1);
  if (row > 0) {
    const std::string &s = lines[size_t(row - 1)];
    size_t sp = s.find(' ');
    size_t at = sp == std::string::npos ? 0 : s.find_first_not_of(' ', sp);
    snprintf(osd_layout.coded_message, sizeof osd_layout.coded_message, "%s",
             at == std::string::npos ? "" : s.c_str() + at);
  }
  return osd_layout.coded_message[0] != 0;
}

// ---- The text editor ----

namespace {

int fw(void) { return osd_font_width; }
int fh(void) { return osd_font_height; }
int line_h(void) { return osd_font_height + 2; }

// Loads row into the edit buffer, the cursor at its end (text_entry.mutex
// held).
void edit_row(const std::string &row) {
  memset(text_entry.buffer, 0, sizeof text_entry.buffer);
  size_t n = row.size() < size_t(text_entry.size - 1) ? row.size() : size_t(text_entry.size - 1);
  memcpy(text_entry.buffer, row.data(), n);
  text_entry.cursor = uint8_t(n);
}

}  // namespace

void overlay_text_editor(GuiContext *ctx, char **text, uint32_t *size, const char *prompt) {
  std::vector<std::string> lines = text_lines(*text, *size);
  // The box shows the first rows; the lines past them (a long code list)
  // are kept as they are and follow the edited rows.
  std::vector<std::string> rest;
  if (lines.size() > OVERLAY_ROWS) {
    rest.assign(lines.begin() + OVERLAY_ROWS, lines.end());
    lines.resize(OVERLAY_ROWS);
  }
  if (lines.empty()) lines.emplace_back();
  bool osk = !gui_input.keyboard_present && gui_input.pointer_device;
  int tx = osd_layout.text_x, ty = osd_layout.text_y, y0 = ty + fh() + 12;
  OsdRect box = {tx - 5, y0 - 5, OVERLAY_LINE_CHARS * fw() + 13, OVERLAY_ROWS * line_h() + 10};
  osd_draw_label(ctx, tx, ty, prompt);
  text_entry_begin(lines[0].c_str(), OVERLAY_LINE_CHARS + 1);
  TextEntry &t = text_entry;
  pthread_mutex_lock(&t.mutex);
  int shift = osk ? 1 : 0;
  if (osk) draw_on_screen_keyboard(ctx, shift);
  int row = 0;
  auto go_to = [&](int r) {
    lines[size_t(row)] = t.buffer;
    row = r < 0 ? 0 : r >= OVERLAY_ROWS ? OVERLAY_ROWS - 1 : r;
    while (lines.size() <= size_t(row)) lines.emplace_back();
    edit_row(lines[size_t(row)]);
  };
  for (unsigned pass = 0;; pass++) {
    lines[size_t(row)] = t.buffer;
    fillSquare(&box, 0, osd_layout.menu_alpha);
    for (size_t k = 0; k < lines.size(); k++) {
      OsdRect r = {tx, y0 + int(k) * line_h(), 0, 0};
      osd_draw_text(&r, lines[k].c_str(), int(lines[k].size()), 0xFFFFFFFFu);
    }
    if (pass % 2 == 0) {
      OsdRect bar = {tx + fw() * t.cursor, y0 + row * line_h(), 2, fh()};
      fillSquare(&bar, 255, 7);
    }
    osd_flush(ctx);
    pthread_mutex_unlock(&t.mutex);
    DvrKey key = dvr_wait_key(ctx, 1);
    pthread_mutex_lock(&t.mutex);
    if (get_exit_code() || key == DVR_KEY_CTRL_DELETE) break;
    if (key == DVR_KEY_MOUSE_EVENT) {
      int x = gui_input.x, y = gui_input.y;
      int unused = 0;
      if (on_screen_keyboard_hit(ctx, osk ? &shift : nullptr, &box, &unused) && x >= box.x &&
          x < box.x + box.width && y >= y0 && y < box.y + box.height) {
        go_to((y - y0) / line_h());
        int col = (x - tx) / fw(), len = int(strnlen(t.buffer, sizeof t.buffer));
        t.cursor = uint8_t(col < 0 ? 0 : col > len ? len : col);
      }
      continue;
    }
    if (!key || key >= DVR_KEY_ADVANCED_CFG) continue;
    if (key & DVR_KEY_STOP_BACK) break;
    if (key & DVR_KEY_UP) go_to(row - 1);
    else if (key & DVR_KEY_DOWN) go_to(row + 1);
    else if (key & DVR_KEY_MENU_OK) go_to(row + 1);
  }
  lines[size_t(row)] = t.buffer;
  fillSquare(&box, 0, 0);
  pthread_mutex_unlock(&t.mutex);
  text_entry_finish(nullptr, 0, 0);
  if (osk) draw_on_screen_keyboard(ctx, 0);
  osd_erase_text(ctx, tx, ty, prompt);
  osd_flush(ctx);
  if (!rest.empty()) {
    lines.resize(OVERLAY_ROWS);
    lines.insert(lines.end(), rest.begin(), rest.end());
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  char *packed = nullptr;
  uint32_t n = 0;
  if (!pack_lines(lines, &packed, &n)) {
    log_printf("%s: malloc failed size=%d\n", "overlay_text_editor", int(n));
    return;
  }
  free(*text);
  *text = packed;
  *size = n;
}

// ---- Screens ----

namespace {

const int kOffTexts[] = {T_TITLE_OFF, T_CODED_OFF, T_EXTRA_OFF, T_ADDTL_OFF};
const int kMenuTitles[] = {T_TITLE_MENU, T_CODED_MENU, T_EXTRA_MENU, T_ADDTL_MENU};

const char *edit_prompt(int n) { return T(n == 1 ? T_ENTER_TITLE : n == 2 ? T_ENTER_CODES : T_ENTER_FREE); }

// Edits overlay n's text on a copy, which then replaces it; true when the
// text changed.
bool edit_overlay_text(GuiContext *ctx, int n, const char *prompt) {
  TextOverlayConf *conf = overlay_conf(n);
  char *text = nullptr;
  uint32_t size = 0;
  if (!pack_lines(conf_lines(conf), &text, &size)) return false;
  std::vector<std::string> before = text_lines(text, size);
  overlay_text_editor(ctx, &text, &size, prompt);
  bool changed = text_lines(text, size) != before;
  conf_set_text(conf, text, size);
  return changed;
}

// Marks the part of a scaled pass-through picture that an overlay at x, y
// covers (attribute 2); erase clears it again.
OsdRect overlay_mark(const TextOverlayConf *conf) {
  uint32_t iw, ih;
  capture_input_get(&iw, &ih, nullptr, nullptr);
  int cw = int(iw), ch = int(ih);
  int f = osd_cell_index(conf->font);
  if (cw <= 0 || ch <= 0) return {0, 0, 0, 0};
  long sw = osd_layout.screen_width, sh = osd_layout.screen_height;
  return {int(conf->x * sw / cw), int(conf->y * sh / ch), int(32L * osd_cell_width[f] * sw / cw),
          int(15L * osd_cell_height[f] * sh / ch)};
}

int choose_background(GuiContext *ctx, int current) {
  static const int values[] = {0, 1, 4, 5, 6};
  const char *items[] = {T(T_OVERLAY_BG), T(T_BLACK), T(T_TRANSPARENT), T(T_TRANSPARENT_BLACK),
                         T(T_WHITE), T(T_BLUE), nullptr};
  int initial = 1;
  for (int i = 0; i < 5; i++)
    if (values[i] == current) initial = i + 1;
  int row = show_menu(ctx, 6, items, initial);
  return row > 0 ? values[row - 1] : current;
}

}  // namespace

void overlay_key_action(GuiContext *ctx, int n) {
  int was = osd_layout.current_overlay;
  overlay_select(ctx, 0);
  if (n == was) {
    show_message(ctx, n >= 1 && n <= 4 ? T(kOffTexts[n - 1]) : "unknown overlay off");
    return;
  }
  if (!overlay_conf(n)) return;
  int shown = n;
  if (n == 2) {
    if (!select_code_message(ctx)) shown = 0;
  } else {
    edit_overlay_text(ctx, n, edit_prompt(n));
  }
  overlay_select(ctx, shown);
}

void secondary_overlay_menu(GuiContext *ctx, int n) {
  TextOverlayConf *conf = overlay_conf(n);
  if (!conf) return;
  OsdRect mark = {0, 0, 0, 0};
  if (display_is_scaled(ctx)) {
    mark = overlay_mark(conf);
    fillSquare(&mark, 0, 2);
  }
  char size_row[64];
  const char *items[] = {T(kMenuTitles[n - 1]), T(n == 2 ? T_EDIT_CODES : T_EDIT_TEXT), T(T_LOAD),
                         T(T_SAVE), size_row, T(T_BACKGROUND), T(T_MOVE_UP), T(T_MOVE_DOWN),
                         T(T_MOVE_LEFT), T(T_MOVE_RIGHT), T(T_TOP_LEFT), nullptr};
  for (int row = 1; row > 0 && !get_exit_code();) {
    snprintf(size_row, sizeof size_row, "%s : %s", T(T_TEXT_SIZE), font_name(conf->font));
    row = show_menu(ctx, 11, items, row);
    switch (row) {
      case 1:
        if (!gui_input.keyboard_present && !gui_input.pointer_device) {
          show_message(ctx, T(T_CONNECT_KEYBOARD));
          break;
        }
        clear_slots(0);
        osdCopyChannel(0, 3);
        // The code list is saved at once, when it changed.
        if (edit_overlay_text(ctx, n, edit_prompt(n)) && n == 2) {
          overlay_select(ctx, osd_layout.current_overlay);
          overlay_file_save(ctx, conf);
        } else {
          overlay_select(ctx, osd_layout.current_overlay);
        }
        break;
      case 2:
        message2(ctx, T(T_LOADING), conf->file, "...", false);
        if (overlay_file_load(conf) == 0) {
          overlay_conf_to_params(params(), n, conf);
          message2(ctx, T(T_LOADED), conf->file, ".", true);
        } else {
          message2(ctx, T(T_LOAD_FAILED), conf->file, ".", true);
        }
        break;
      case 3: overlay_file_save(ctx, conf); break;
      case 4: conf->font = text_size_menu(ctx, conf->font - 1, 1) + 1; break;   // fonts 1 .. 4
      case 5: conf->background = choose_background(ctx, conf->background); break;
      case 6: move_in_area(&conf->x, &conf->y, 0, -10); break;
      case 7: move_in_area(&conf->x, &conf->y, 0, 10); break;
      case 8: move_in_area(&conf->x, &conf->y, -10, 0); break;
      case 9: move_in_area(&conf->x, &conf->y, 10, 0); break;
      case 10: conf->x = conf->y = 10; break;
    }
    if (row > 0) overlay_apply(ctx, n);
  }
  if (mark.width) fillSquare(&mark, 0, 0);
  osd_flush(ctx);
}

namespace {

void apply_primary(void) {
  OsdTextConfig *osd = &params()->video[0].osd;
  osdSetConfig(0, osd);
  osdCopyChannel(0, 3);
}

void choose_message(GuiContext *ctx, const char *items[], int n) {
  int row = show_menu(ctx, n, items, 1);
  if (row <= 0) return;
  OsdTextConfig *osd = &params()->video[0].osd;
  param_write_begin();
  memset(osd->message, 0, sizeof osd->message);
  strncpy(osd->message, items[row], 40);
  param_write_end();
}

// A custom text: its field holds at most 39 characters and its NUL.
const size_t kCustomChars = sizeof(ParamBlock{}.dvr_overlay_text[0]) - 1;

void primary_text_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  const char *items[12] = {T(T_SELECT_TEXT), "^d ^t", "^d", "^t"};
  int n = 4;
  // With the counter controller: date, time and below them the distance
  // of encoder 1 or 2 (its tokens, which carry the unit label).
  if (counter_controller_present()) {
    items[n++] = "^d ^t^n^e";
    items[n++] = "^d ^t^n^f";
  }
  char texts[5][kCustomChars + 1];
  for (int i = 0; i < 5; i++) {
    snprintf(texts[i], sizeof texts[i], "%.*s", int(kCustomChars), p->dvr_overlay_text[i]);
    if (texts[i][0]) items[n++] = texts[i];
  }
  items[n] = nullptr;
  choose_message(ctx, items, n);
}

void custom_text_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  char texts[5][kCustomChars + 1];
  const char *items[7] = {T(T_CUSTOM_TITLE)};
  for (int i = 0; i < 5; i++) {
    snprintf(texts[i], sizeof texts[i], "%.*s", int(kCustomChars), p->dvr_overlay_text[i]);
    items[i + 1] = texts[i][0] ? texts[i] : T(T_CUSTOM_1 + i);
  }
  items[6] = nullptr;
  int row = show_menu(ctx, 6, items, 1);
  if (row <= 0) return;
  char *text = texts[row - 1];
  if (gui_input.keyboard_present || gui_input.pointer_device) {
    if (text_entry_dialog(ctx, T(T_ENTER_TEXT), text, uint32_t(kCustomChars + 1)) != 0) return;
    param_write_begin();
    memset(p->dvr_overlay_text[row - 1], 0, sizeof p->dvr_overlay_text[row - 1]);
    memcpy(p->dvr_overlay_text[row - 1], text, strnlen(text, kCustomChars));
    param_write_end();
  } else if (!text[0]) {
    show_message(ctx, T(T_CONNECT_KEYBOARD));
    return;
  }
  OsdTextConfig *osd = &p->video[0].osd;
  param_write_begin();
  memset(osd->message, 0, sizeof osd->message);
  memcpy(osd->message, text, strnlen(text, 40));
  param_write_end();
}

void pick_row(GuiContext *ctx, int title, const char *const *names, int count, uint8_t *value) {
  const char *items[16] = {T(title)};
  for (int i = 0; i < count; i++) items[i + 1] = names[i];
  items[count + 1] = nullptr;
  int row = show_menu(ctx, count + 1, items, *value + 1 <= count ? *value + 1 : 1);
  if (row > 0) *value = uint8_t(row - 1);
}

void primary_overlay_menu(GuiContext *ctx) {
  static const char *const dates[] = {"MM-DD-YYYY", "DD-MM-YYYY", "MM-DD-YY", "DD-MM-YY", "MMM-DD-YYYY",
                                      "DD-MMM-YYYY", "MMM-DD-YY", "DD-MMM-YY", "MMM DD, YYYY", "DDMMMYYYY",
                                      "MMM DD, YY", "DDMMMYY", "YYYYMMDD", "YYYYMMMDD"};
  static const char *const times[] = {"HH:MM:SS", "HH:MM:SS.S", "HH:MM:SS.SS", "HH:MM:SS.SSS",
                                      "HH:MM", "HH:MM AM/PM", "HH:MM a/p"};
  ParamBlock *p = params();
  OsdTextConfig *osd = &p->video[0].osd;
  const char *items[] = {T(T_PRIMARY_TITLE), T(T_TEXT), T(T_CUSTOM_TEXT), T(T_DATE_FORMAT),
                         T(T_TIME_FORMAT), T(T_TEXT_SIZE), T(T_BACKGROUND), T(T_MOVE_UP),
                         T(T_MOVE_DOWN), T(T_MOVE_LEFT), T(T_MOVE_RIGHT), T(T_TOP_LEFT), nullptr};
  for (int row = 1; row > 0 && !get_exit_code();) {
    row = show_menu(ctx, 12, items, row);
    int32_t x = int32_t(osd->x), y = int32_t(osd->y);
    switch (row) {
      case 1: primary_text_menu(ctx); break;
      case 2: custom_text_menu(ctx); break;
      case 3: pick_row(ctx, T_SELECT_DATE, dates, 14, &osd->date_format); break;
      case 4: pick_row(ctx, T_SELECT_TIME, times, 7, &osd->time_format); break;
      case 5: {
        int font = text_size_menu(ctx, p->dvr_primary_overlay_font_size - 1, 1) + 1;
        param_write_begin();
        p->dvr_primary_overlay_font_size = uint8_t(font);
        if (osd->enabled) osd->enabled = uint8_t(font);
        param_write_end();
        break;
      }
      case 6: {
        const char *names[7] = {T(T_BLACK), T(T_TRANSPARENT), T(T_50_BLACK), T(T_75_BLACK),
                                T(T_TRANSPARENT_BLACK), T(T_WHITE), T(T_OUTLINE)};
        pick_row(ctx, T_OVERLAY_BG, names, 7, &osd->transparent);
        break;
      }
      case 7: move_in_area(&x, &y, 0, -10); break;
      case 8: move_in_area(&x, &y, 0, 10); break;
      case 9: move_in_area(&x, &y, -10, 0); break;
      case 10: move_in_area(&x, &y, 10, 0); break;
      case 11: x = y = 10; break;
    }
    param_write_begin();
    osd->x = uint32_t(x);
    osd->y = uint32_t(y);
    param_write_end();
    if (row > 0) apply_primary();
  }
  apply_primary();
  save_and_apply_params();
}

}  // namespace

void overlay_menu(GuiContext *ctx) {
  ParamBlock *p = params();
  OsdTextConfig *osd = &p->video[0].osd;
  if (osd->enabled) p->dvr_primary_overlay_font_size = osd->enabled;
  static const int secondary_names[] = {T_OFF, T_TITLE, T_CODED, T_EXTRA, T_ADDTL};
  char primary_row[96], secondary_row[96];
  const char *items[] = {T(T_OVERLAYS), primary_row, T(T_SETUP_PRIMARY), secondary_row,
                         T(T_SETUP_TITLE), T(T_SETUP_CODED), T(T_SETUP_EXTRA), T(T_SETUP_ADDTL),
                         T(T_ERASE_ALL), nullptr};
  for (int row = 1; row > 0 && !get_exit_code();) {
    snprintf(primary_row, sizeof primary_row, "%s : %s", T(T_PRIMARY), T(osd->enabled ? T_ENABLED : T_DISABLED));
    int cur = osd_layout.current_overlay;
    snprintf(secondary_row, sizeof secondary_row, "%s : %s", T(T_SECONDARY),
             T(secondary_names[cur >= 0 && cur <= 4 ? cur : 0]));
    row = show_menu(ctx, 9, items, row);
    if (row == 1) {
      if (osd->enabled) {
        osd->enabled = 0;
      } else {
        uint32_t w, h;
        capture_input_get(&w, &h, nullptr, nullptr);
        param_write_begin();
        osd->enabled = p->dvr_primary_overlay_font_size ? p->dvr_primary_overlay_font_size : 2;
        if (w && h && (osd->x < 10 || osd->x > w - 9 || osd->y < 10 || osd->y > h - 9)) {
          osd->x = 100;
          osd->y = 400;
        }
        param_write_end();
      }
      apply_primary();
      corner_note_update(ctx);
    } else if (row == 2) {
      primary_overlay_menu(ctx);
    } else if (row == 3) {
      const char *names[] = {T(T_SELECT_SECONDARY), T(T_OFF), T(T_TITLE), T(T_CODED), T(T_EXTRA),
                             T(T_ADDTL), nullptr};
      int choice = show_menu(ctx, 6, names, cur + 1);
      if (choice == 1) overlay_select(ctx, 0);
      else if (choice > 1) overlay_key_action(ctx, choice - 1);
    } else if (row >= 4 && row <= 7) {
      secondary_overlay_menu(ctx, row - 3);
    } else if (row == 8) {
      for (int n = 1; n <= 4; n++) {
        TextOverlayConf *conf = overlay_conf(n);
        conf_set_text(conf, nullptr, 0);
        conf->source = -1;
        // The box's own volumes; a USB disk brought along keeps its files.
        for (int source : {STORAGE_INT, STORAGE_MMC})
          if (file_exists_on(source, conf->file)) filesys_unlink(source, conf->file);
      }
      osd_layout.coded_message[0] = 0;
      overlay_select(ctx, 0);
      show_message(ctx, T(T_ERASE_ALL));
    }
  }
  save_and_apply_params();
}
