#include "display/gui_toolkit.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/global.h"
#include "core/hwreg.h"
#include "core/log.h"
#include "core/param_access.h"
#include "display/hd_display.h"
#include "display/keyboard_input.h"
#include "media/capture.h"
#include "platform/host_root.h"
#include "storage/filesys.h"
#include "storage/volume.h"

const char *LangTable[LANG_COUNT];

const char *T(int i) { return LangTable[i] ? LangTable[i] : ""; }
DvrKey menu_return_mask;
DvrKey menu_return_key;
void (*gui_recording_output)(int on);

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFFu;
constexpr uint16_t kRed565 = 0xF800, kWhite565 = 0xFFFF;
constexpr int kMenuRowsMax = 32, kMenuOriginY = 75, kMessageLinesMax = 20;
constexpr size_t kLangLineMax = 79;

struct LangInit {
  LangInit() {
    for (int i = 0; i < LANG_COUNT; i++) LangTable[i] = lang_english[i];
  }
} g_lang_init;

int font_w(void) { return osd_font_width > 0 ? osd_font_width : 9; }
int font_h(void) { return osd_font_height > 0 ? osd_font_height : 13; }
int line_h(void) { return font_h() + 2; }

ParamBlock *params(void) {
  static ParamBlock fallback;
  ParamBlock *p = get_param_block();
  return p ? p : &fallback;
}

// ---- Language files ----

void lang_set(int i, const char *text) {
  if (LangTable[i] != lang_english[i]) free(const_cast<char *>(LangTable[i]));
  LangTable[i] = text;
}

// The printf conversions of a format in order, "%%" aside: length
// modifiers and conversion letters, "*" for a width or precision argument.
std::string conversions(const char *s) {
  std::string out;
  for (; *s; s++) {
    if (*s != '%') continue;
    if (s[1] == '%') {
      s++;
      continue;
    }
    for (s++; *s && strchr("-+ #0123456789.*'", *s); s++)
      if (*s == '*') out += '*';
    for (; *s && strchr("hlLqjzt", *s); s++) out += *s;
    if (!*s) {
      out += '?';   // a "%" with no conversion letter
      break;
    }
    out += *s;
    out += ' ';
  }
  return out;
}

// A text whose English has a "%" that starts no printf conversion ("50%
// black") is never used as a format: its translation is taken as written.
bool plain_text(const char *english) {
  std::string c = conversions(english);
  for (size_t end = c.find(' '); end != std::string::npos; end = c.find(' ', end + 1))
    if (!strchr("diouxXeEfFgGaAcspn", c[end - 1])) return true;
  return false;
}

// One line of at most kLangLineMax characters into buf; the rest of a
// longer line is dropped. false at the end of the file.
bool read_line(FILE *f, char *buf) {
  size_t n = 0;
  int c;
  bool any = false;
  while ((c = fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (n < kLangLineMax) buf[n++] = char(c);
  }
  buf[n] = 0;
  return any;
}

// Trims white space and turns the two characters "\n" into a line break.
char *tidy_line(char *s) {
  while (*s == ' ' || *s == '\t' || *s == '\r') s++;
  size_t n = strlen(s);
  while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) s[--n] = 0;
  char *w = s;
  for (const char *r = s; *r; r++) {
    if (r[0] == '\\' && r[1] == 'n') {
      *w++ = '\n';
      r++;
    } else {
      *w++ = *r;
    }
  }
  *w = 0;
  return s;
}

// ---- Drawing helpers ----

OsdRect label_box(int x, int y, const char *text) {
  return {x - 5, y - 5, utf8_strlen(text) * font_w() + 10, font_h() + 10};
}

void draw_text(int x, int y, const char *text, int count) {
  OsdRect r = {x, y, 0, 0};
  osd_draw_text(&r, text, count, kWhite);
}

// Characters of the first n bytes of a UTF-8 text.
int utf8_prefix_chars(const char *s, size_t n) {
  std::string part(s, n);
  return utf8_strlen(part.c_str());
}

void flush(GuiContext *ctx) {
  if (ctx) osd_flush(ctx);
}

// The key waiting for the caller after a message box: an older key is OR-ed
// in only when both are keypad bits, as OR-ing command words makes another
// command; otherwise the newest wins.
void leave_key(DvrKey key) {
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey now = key_mailbox.key_word;
  if (!now)
    key_mailbox.key_word = key;
  else if (now < DVR_KEY_ADVANCED_CFG && key < DVR_KEY_ADVANCED_CFG)
    key_mailbox.key_word = now | key;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
}

DvrKey waiting_key(void) {
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  DvrKey k = key_mailbox.key_word;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  return k;
}

// Returns the waiting key after the box was erased (0 none).
DvrKey message_box(GuiContext *ctx, const char *text) {
  const char *lines[kMessageLinesMax];
  size_t lens[kMessageLinesMax];
  int count = 0, longest = 0;
  for (const char *s = text ? text : ""; count < kMessageLinesMax;) {
    const char *e = strchr(s, '\n');
    size_t len = e ? size_t(e - s) : strlen(s);
    lines[count] = s;
    lens[count] = len;
    int chars = utf8_prefix_chars(s, len);
    if (chars > longest) longest = chars;
    count++;
    if (!e) break;
    s = e + 1;
  }
  int x = osd_layout.text_x, y = osd_layout.text_y;
  OsdRect box = {x - 5, y - 5, font_w() * longest + 10, font_h() + 10 + line_h() * (count - 1)};
  fillSquare(&box, 0, osd_layout.menu_alpha);
  for (int i = 0; i < count; i++) draw_text(x, y + line_h() * i, lines[i], utf8_prefix_chars(lines[i], lens[i]));
  flush(ctx);
  DvrKey key = dvr_wait_key(ctx, uint32_t(osd_layout.message_timeout));
  fillSquare(&box, 0, 0);
  if (key) leave_key(key);
  return waiting_key();
}

// ---- Menus ----

struct MenuView {
  int rows;                       // title, entries and back row
  int item[kMenuRowsMax];         // index in items; 0 for the back row
  bool back[kMenuRowsMax];
  int longest;                    // characters
  int origin;                     // y of row 0
  OsdRect box;
};

bool is_hidden(const char *text, bool revealed) { return !revealed && text[0] == '~'; }

int back_option(void) {
  int b = params()->keys_menu_back_option;
  if (b == 0 && gui_input.pointer_device) b = 1;
  return b > 2 ? 1 : b;
}

int max_chars(void) {
  int m = (osd_layout.screen_width - 110) / font_w() - 1;
  return m > 1 ? m : 1;
}

int shown_chars(const char *text) {
  int n = utf8_strlen(text);
  return n < max_chars() ? n : max_chars();
}

void draw_cursor(const MenuView &v, int row, bool on) {
  int x = 98 - font_w(), y = v.origin + line_h() * row;
  if (on) {
    draw_text(x, y, ">", 1);
  } else {
    OsdRect r = {x, y, font_w(), font_h()};
    fillSquare(&r, 0, osd_layout.menu_alpha);
  }
}

void draw_menu(MenuView &v, int n, const char **items, bool revealed, int b) {
  v.rows = 0;
  v.longest = 0;
  auto add = [&](int index, bool back) {
    if (v.rows >= kMenuRowsMax) return;
    v.item[v.rows] = index;
    v.back[v.rows] = back;
    int w = shown_chars(back ? LangTable[LANG_BACK] : items[index]);
    if (w > v.longest) v.longest = w;
    v.rows++;
  };
  add(0, false);
  if (b == 2) add(0, true);
  int wanted = 1 + (b != 0);
  for (int i = 1; i < n; i++) {
    if (is_hidden(items[i], revealed)) continue;
    wanted++;
    add(i, false);
  }
  if (b == 1) {
    if (v.rows == kMenuRowsMax) v.rows--;
    add(0, true);
  }
  if (wanted > kMenuRowsMax) log_printf("menu too large: %d\n", wanted);
  int fw = font_w(), lh = line_h();
  v.origin = kMenuOriginY;
  v.box = {93 - fw, v.origin - 5, fw * (v.longest + 1) + 12, lh * v.rows + 8};
  if (v.box.y + v.box.height > osd_layout.screen_height) {
    log_printf("Adjusting overlay pos y=%ld height=%ld screen_h=%d\n", long(v.box.y), long(v.box.height),
               osd_layout.screen_height);
    int y = osd_layout.screen_height - v.box.height;
    if (y < 0) y = 0;
    v.origin += y - v.box.y;
    v.box.y = y;
  }
  fillSquare(&v.box, 0, osd_layout.menu_alpha);
  for (int k = 0; k < v.rows; k++) {
    const char *t = v.back[k] ? LangTable[LANG_BACK] : items[v.item[k]];
    draw_text(k == 0 ? 100 - fw / 2 : 100, v.origin + lh * k, t, shown_chars(t));
  }
}

int row_of_item(const MenuView &v, int item) {
  for (int k = 1; k < v.rows; k++)
    if (!v.back[k] && v.item[k] == item) return k;
  return 1;
}

int row_result(const MenuView &v, int row) { return v.back[row] ? 0 : v.item[row]; }

// One screen of rows. diag_returns: the diagnostics key returns (a page of a
// longer menu), with menu_return_key set.
int menu_page(GuiContext *ctx, int n, const char **items, int initial, bool revealed, bool diag_returns) {
  int b = back_option();
  MenuView v;
  draw_menu(v, n, items, revealed, b);
  int cursor = initial >= 1 ? row_of_item(v, initial) : 1;
  if (cursor > v.rows - 1) cursor = v.rows - 1;
  if (cursor < 1) cursor = 1;
  draw_cursor(v, cursor, true);
  flush(ctx);
  int result = 0;
  for (;;) {
    DvrKey key = dvr_wait_key(ctx, 1);
    if (get_exit_code()) break;
    if (!key) continue;
    int moved = cursor;
    if (key == DVR_KEY_MOUSE_EVENT) {
      if (!gui_input.click_pending) continue;
      gui_input.click_pending = 0;
      int x = gui_input.x, y = gui_input.y, lh = line_h();
      if (y < v.origin + lh || x < 100 || x > 100 + v.longest * font_w()) continue;
      int row = (y - v.origin) / lh;
      if (row < 1 || row >= v.rows) continue;
      draw_cursor(v, cursor, false);
      draw_cursor(v, row, true);
      flush(ctx);
      log_printf("selected %s\n", v.back[row] ? LangTable[LANG_BACK] : items[v.item[row]]);
      usleep(400000);
      result = row_result(v, row);
      break;
    }
    if (key == DVR_KEY_DIAG_MENU) {
      if (diag_returns) {
        menu_return_key = key;
        result = row_result(v, cursor);
        break;
      }
      if (revealed) continue;
      revealed = true;
      int item = row_result(v, cursor);
      bool on_back = v.back[cursor];
      fillSquare(&v.box, 0, 0);
      draw_menu(v, n, items, revealed, b);
      cursor = on_back ? (b == 2 ? 1 : v.rows - 1) : row_of_item(v, item);
      draw_cursor(v, cursor, true);
      flush(ctx);
      continue;
    }
    if (key >= DVR_KEY_ADVANCED_CFG) continue;   // other commands: not ours
    if (key & DVR_MASK_SELECT) {
      const char *t = v.back[cursor] ? LangTable[LANG_BACK] : items[v.item[cursor]];
      log_printf("selected %s\n", t);
      result = row_result(v, cursor);
      break;
    }
    if (key & DVR_MASK_BACK) break;
    if (key & DVR_MASK_UP) {
      moved = cursor > 1 ? cursor - 1 : v.rows - 1;
    } else if (key & DVR_MASK_DOWN) {
      moved = cursor < v.rows - 1 ? cursor + 1 : 1;
    } else if (key & menu_return_mask) {
      menu_return_key = key;
      result = row_result(v, cursor);
      break;
    }
    if (moved != cursor) {
      draw_cursor(v, cursor, false);
      cursor = moved;
      draw_cursor(v, cursor, true);
      flush(ctx);
    }
  }
  fillSquare(&v.box, 0, 0);
  flush(ctx);
  return result;
}

}  // namespace

void load_language_english(void) {
  for (int i = 0; i < LANG_COUNT; i++) lang_set(i, lang_english[i]);
}

int load_language_file(const char *name) {
  if (!name || !*name) return -1;
  if (strchr(name, '/') || strstr(name, "..")) {
    log_printf("%s: refused language name %s\n", "load_language_file", name);
    return -1;
  }
  // The folder may come from an unpacked bundle: no link in it is followed.
  char file[60];
  snprintf(file, sizeof file, "%s.txt", name);
  FILE *f = volume_fopen("/usr/html/lang", file, "r");
  if (!f) return -1;
  char buf[kLangLineMax + 1];
  int n = 0;
  while (n < LANG_COUNT && read_line(f, buf)) {
    char *line = tidy_line(buf);
    if (!*line || *line == '#') continue;
    if (!plain_text(lang_english[n]) && conversions(line) != conversions(lang_english[n])) {
      log_printf("%s: line %d \"%s\" does not match \"%s\": English kept\n", "load_language_file", n, line,
                 lang_english[n]);
      lang_set(n, lang_english[n]);
      n++;
      continue;
    }
    char *copy = strdup(line);
    if (!copy) {
      log_printf("%s: Failed to allocate string\n", "load_language_file");
      break;
    }
    lang_set(n++, copy);
  }
  fclose(f);
  for (int i = n; i < LANG_COUNT; i++) lang_set(i, lang_english[i]);
  return n;
}

int show_menu(GuiContext *ctx, int n, const char **items, int initial) {
  if (!items || n < 1 || !items[0]) n = 0;
  for (int i = 0; i < n; i++)
    if (!items[i]) n = i;
  bool revealed = false;
  for (;;) {
    int vis[256], m = 0;   // the visible entries, title aside
    for (int i = 1; i < n && m < 256; i++)
      if (!is_hidden(items[i], revealed)) vis[m++] = i;
    if (m + 1 < 2) {
      log_printf("%s: n=%d\n", "show_menu", n);
      if (message_box(ctx, LangTable[LANG_MENU_NO_OPTIONS]) == DVR_KEY_DIAG_MENU && !revealed && n > 1) {
        dvr_wait_key(ctx, 0);
        revealed = true;
        continue;
      }
      flush(ctx);
      return 0;
    }
    int r = menu_rows_limit(ctx, kMenuRowsMax);
    if (m + 1 <= r || r < 3) return menu_page(ctx, n, items, initial, revealed, false);

    // Pages of r - 2 entries, a "..." row when more follow.
    int per = r - 2, pages = (m + per - 1) / per, page = 0;
    for (int k = 0; k < m; k++)
      if (vis[k] == initial) page = k / per;
    int page_initial = initial;
    DvrKey saved_mask = menu_return_mask;
    int result = -1;
    while (result < 0) {
      char title[128];
      snprintf(title, sizeof title, "%s %d/%d", items[0], page + 1, pages);
      const char *rows[kMenuRowsMax + 2];
      int map[kMenuRowsMax + 2];
      int count = 0;
      rows[count++] = title;
      for (int k = page * per; k < m && k < (page + 1) * per; k++) {
        map[count] = vis[k];
        rows[count++] = items[vis[k]];
      }
      int more = 0;
      if (page < pages - 1) {
        more = count;
        rows[count++] = "...";
      }
      int start = 1;
      for (int k = 1; k < count; k++)
        if (k != more && map[k] == page_initial) start = k;
      if (page_initial == -1) start = count - 1;
      menu_return_mask = DVR_KEY_PAGE_UP | DVR_KEY_PAGE_DOWN;
      menu_return_key = 0;
      int chosen = menu_page(ctx, count, rows, start, true, true);
      DvrKey why = menu_return_key;
      menu_return_mask = saved_mask;
      page_initial = 0;
      if (get_exit_code()) {
        result = 0;
      } else if (why == DVR_KEY_PAGE_UP) {
        if (page > 0) page--;
      } else if (why == DVR_KEY_PAGE_DOWN) {
        if (page < pages - 1) page++;
      } else if (why == DVR_KEY_DIAG_MENU) {
        if (!revealed) {
          revealed = true;
          initial = chosen > 0 && chosen != more ? map[chosen] : initial;
          break;
        }
        page_initial = chosen > 0 && chosen != more ? map[chosen] : 0;
      } else if (chosen == 0) {
        if (page == 0) {
          result = 0;
        } else {
          page--;
          page_initial = -1;
        }
      } else if (chosen == more) {
        page++;
      } else {
        result = map[chosen];
      }
    }
    menu_return_mask = saved_mask;
    if (result >= 0) return result;
  }
}

void show_message(GuiContext *ctx, const char *text) {
  if (!message_box(ctx, text)) flush(ctx);
}

void show_message_flush(GuiContext *ctx, const char *text) {
  if (!(message_box(ctx, text) & DVR_MASK_SELECT)) flush(ctx);
}

int show_notice(GuiContext *ctx, const char *text) {
  pthread_mutex_lock(&key_mailbox.key_mailbox_mutex);
  key_mailbox.key_word = 0;
  pthread_mutex_unlock(&key_mailbox.key_mailbox_mutex);
  const char *items[2] = {text ? text : "", LangTable[LANG_CLOSE]};
  return show_menu(ctx, 2, items, 1);
}

namespace {
std::string g_status_text;   // the transient text on screen
std::string g_corner_text;   // the corner note on screen
std::string g_message_text;  // the mailbox's status message on screen
int g_message_x, g_message_y;
}  // namespace

void show_status_text(GuiContext *ctx, const char *text) {
  if (!g_status_text.empty()) osd_erase_text(ctx, osd_layout.text_x, osd_layout.text_y, g_status_text.c_str());
  g_status_text.clear();
  if (text) {
    g_status_text = text;
    osd_draw_label(ctx, osd_layout.text_x, osd_layout.text_y, text);
    flush(ctx);
  }
}

void clear_status_text(GuiContext *ctx) {
  show_status_text(ctx, nullptr);
  flush(ctx);
}

void osd_draw_label(GuiContext *, int x, int y, const char *text) {
  if (!text) return;
  OsdRect box = label_box(x, y, text);
  fillSquare(&box, 0, osd_layout.menu_alpha);
  draw_text(x, y, text, utf8_strlen(text));
}

void osd_erase_text(GuiContext *, int x, int y, const char *text) {
  if (!text) return;
  OsdRect box = label_box(x, y, text);
  fillSquare(&box, 0, 0);
}

void drawTimeStatus(GuiContext *ctx, uint32_t ticks, const char *label) {
  if (!label) label = "";
  ParamBlock *p = params();
  osd_erase_text(ctx, osd_layout.status_x, osd_layout.status_y, osd_layout.status_text);
  struct {
    int lang;
    int icon;
  } const icons[] = {{LANG_PAUSE, OSD_ICON_PAUSE}, {LANG_PLAY, OSD_ICON_PLAY}, {LANG_FF, OSD_ICON_FF},
                     {LANG_REW, OSD_ICON_REWIND},  {LANG_LOAD, OSD_ICON_LOAD}, {LANG_END, OSD_ICON_END},
                     {LANG_REC, OSD_ICON_RECORD}};
  int icon = -1;
  if (p->dvr_status_icons) {
    for (const auto &i : icons)
      if (label == LangTable[i.lang] || label == lang_english[i.lang]) icon = i.icon;
    if (icon < 0) log_printf("%s: no icon for %s\n", "drawTimeStatus", label);
  }
  uint32_t s = ticks / 90000;
  snprintf(osd_layout.status_text, sizeof osd_layout.status_text, "%s %d:%02d:%02d", icon >= 0 ? " " : label,
           int(s / 3600), int(s / 60 % 60), int(s % 60));
  osd_draw_label(ctx, osd_layout.status_x, osd_layout.status_y, osd_layout.status_text);
  if (icon >= 0) {
    int y = osd_layout.status_y - (17 - font_h()) / 2;
    if (icon == OSD_ICON_RECORD) {
      bool paused = dvr_key_hooks.recording_paused && dvr_key_hooks.recording_paused();
      osd_draw_icon(osd_layout.status_x, y, osd_layout.icons[paused ? OSD_ICON_PAUSE : OSD_ICON_RECORD], kRed565);
      if (p->audio.mute) osd_draw_icon(osd_layout.status_x + 16, y, osd_layout.icons[OSD_ICON_MUTE], kWhite565);
    } else {
      osd_draw_icon(osd_layout.status_x, y, osd_layout.icons[icon], kWhite565);
    }
  }
  flush(ctx);
}

namespace {

bool recording_paused(void) { return dvr_key_hooks.recording_paused && dvr_key_hooks.recording_paused(); }

bool recording(void) {
  if (dvr_key_hooks.recording) return dvr_key_hooks.recording() != 0;
  return filesys_record_snapshot(nullptr);
}

uint32_t recording_elapsed(void) {
  uint32_t t = 0;
  filesys_record_snapshot(&t);
  return t;
}

void erase_status_line(GuiContext *ctx) {
  osd_erase_text(ctx, osd_layout.status_x, osd_layout.status_y, osd_layout.status_text);
  osd_layout.status_text[0] = 0;
}

}  // namespace

void recording_status_update(GuiContext *ctx) {
  bool paused = recording_paused();
  if (!paused && osd_layout.rec_countdown == 0) return;
  if (osd_layout.rec_countdown > 0 && --osd_layout.rec_countdown == 0) {
    erase_status_line(ctx);
    flush(ctx);
    return;
  }
  const char *label = LangTable[LANG_REC];
  char both[64];
  if (!params()->dvr_status_icons) {
    snprintf(both, sizeof both, "%s%s%s", params()->audio.mute ? LangTable[LANG_MUTE] : "",
             params()->audio.mute ? " " : "", paused ? LangTable[LANG_PAUSE] : LangTable[LANG_REC]);
    label = both;
  }
  drawTimeStatus(ctx, recording_elapsed(), label);
}

void updateRecordingStatus(GuiContext *ctx) {
  bool on = recording(), paused = recording_paused();
  int show = params()->dvr_recording_show;
  log_printf("%s: record=%d pause=%d timeout=%d\n", "updateRecordingStatus", on, paused, osd_layout.rec_countdown);
  if (on) {
    if (!paused) {
      if (show & 4) osd_draw_icon(40, 20, osd_layout.icons[OSD_ICON_RECORD], kRed565);
      if (gui_recording_output) gui_recording_output(1);
      if (show & 1) {
        osd_layout.rec_countdown = 0;
        erase_status_line(ctx);
      } else {
        osd_layout.rec_countdown = (show & 2) ? 6 : -1;
      }
    } else if (show & 4) {
      OsdRect sq = {40, 20, 16, 16};
      fillSquare(&sq, 0, 0);
      osd_draw_icon(40, 20, osd_layout.icons[OSD_ICON_PAUSE], kRed565);
    }
    recording_status_update(ctx);
    flush(ctx);
    return;
  }
  erase_status_line(ctx);
  if (show & 4) {
    OsdRect sq = {40, 20, 16, 16};
    fillSquare(&sq, 0, 0);
  }
  if (gui_recording_output) gui_recording_output(0);
  flush(ctx);
}

void corner_note_update(GuiContext *ctx) {
  int x_of = 0, y = osd_layout.screen_height - 20;
  if (!g_corner_text.empty()) {
    x_of = osd_layout.screen_width - 20 - utf8_strlen(g_corner_text.c_str()) * font_w();
    osd_erase_text(ctx, x_of, y, g_corner_text.c_str());
    g_corner_text.clear();
  }
  if (!display_is_scaled(ctx)) return;
  bool primary = params()->video[0].osd.enabled != 0, secondary = osd_layout.current_overlay != 0;
  const char *t = nullptr;
  if (primary && secondary)
    t = LangTable[LANG_BOTH_OVERLAYS_ON];
  else if (secondary)
    t = LangTable[LANG_SECONDARY_OVERLAY_ON];
  else if (primary)
    t = LangTable[LANG_PRIMARY_OVERLAY_ON];
  if (!t) return;
  g_corner_text = t;
  osd_draw_label(ctx, osd_layout.screen_width - 20 - utf8_strlen(t) * font_w(), y, t);
}

int menu_rows_limit(GuiContext *, int wanted) {
  int b = (params()->keys_menu_back_option || gui_input.pointer_device) ? 1 : 0;
  int fit = (osd_layout.screen_height - 85) / line_h() - b;
  return wanted < fit ? wanted : fit;
}

void ptr_list_append(const char **list, const char *p) {
  if (!list) return;
  while (*list) list++;
  *list = p;
}

void toggle_allowed_mode(GuiContext *, int n) {
  if (n >= 0 && n < 32) params()->dvr_allow_modes ^= 1u << n;
}

const char *display_standard_name(const ParamBlock *p) {
  if (!p) return "error";
  int std = p->display.standard;
  if (p->display.output == 0) {   // composite
    return std == 5 ? "NTSC-CVideo" : std == 6 ? "PAL-CVideo" : "error";
  }
  switch (std) {
    case 0: return "Auto";
    case 18: return "1080p60";
    case 14: return "1080p30";
    case 15: return "1080p25";
    case 9: return "720p60";
    case 10: return "720p50";
    case 7: return "480p60";
    case 8: return "576p50";
    case 5: return "NTSC";
    case 6: return "PAL";
  }
  return "error";
}

int display_is_scaled(GuiContext *) {
  const ParamBlock *p = params();
  if ((p->display.display_mode != 1 && p->display.display_mode != 6) || p->display.standard != 0) return 0;
  uint32_t cw, ch;
  capture_input_get(&cw, &ch, nullptr, nullptr);
  return uint32_t(display_info.width) != cw || uint32_t(display_info.height) != ch;
}

void move_clamped(int *x, int *y, int max_x, int max_y, int dx, int dy) {
  long nx = long(*x) + dx, ny = long(*y) + dy;
  *x = int(nx < 0 ? 0 : nx > max_x ? max_x : nx);
  *y = int(ny < 0 ? 0 : ny > max_y ? max_y : ny);
}

TextOverlayConf *overlay_conf(int n) { return n >= 1 && n <= 4 ? &osd_layout.overlays[n - 1] : nullptr; }

void overlay_conf_to_params(ParamBlock *p, int n, const TextOverlayConf *c) {
  if (!p || !c || n < 1 || n > 4) return;
  SecondaryOverlayParams &s = p->dvr_secondary_overlay[n - 1];
  param_write_begin();
  s.font = uint8_t(c->font);
  s.background = uint8_t(c->background);
  s.x = uint16_t(c->x);
  s.y = uint16_t(c->y);
  param_write_end();
}

const char *storage_device_name(GuiContext *, int n) {
  if (n == 2) return LangTable[425];
  if (n == 1) return LangTable[125];
  return params()->dvr_disable_ext_ports ? LangTable[127] : LangTable[126];
}

void set_source_storage_device(int row) {
  switch (row) {
    case 1: osd_layout.browse_source = 1; break;
    case 2: osd_layout.browse_source = 0; break;
    case 3: osd_layout.browse_source = 2; break;
    default: log_printf("%s: invalid index=%d\n", "set_source_storage_device", row);
  }
}

void osd_layout_init(GuiContext *) {
  const ParamBlock *p = params();
  // The OSD window's size (the planes zoomed by the scale on HD outputs).
  int s = osd_scale > 0 ? osd_scale : 1;
  uint32_t ww = hwreg_read(0x01C71C70u), wh = hwreg_read(0x01C71C74u);
  int w = ww == 0xDEADBEEFu ? 0 : int(ww) / s, h = wh == 0xDEADBEEFu ? 0 : int(wh) / s;
  osd_layout.screen_width = (w <= 0 || w > 640) ? 640 : w;
  osd_layout.screen_height = (h <= 0 || h > 480) ? 480 : h;
  osd_layout.menu_alpha = p->dvr_menu_alpha;
  osd_layout.status_x = int16_t(p->dvr_status_x);
  int y = int16_t(p->dvr_status_y);
  if (y < 0) y += osd_layout.screen_height;
  if (y >= osd_layout.screen_height - 18) y = osd_layout.screen_height - 19;
  if (y < 5) y = 5;
  osd_layout.status_y = y;
  if (osd_layout.message_x == -1) osd_layout.message_x = osd_layout.screen_width - 50;
}

int check_text_table(const char *name, int count, const int *lengths, const char *text, int size) {
  int off = 0;
  for (int i = 0; i < count; i++) {
    int len = off < size ? int(strnlen(text + off, size_t(size - off))) : 0;
    if (len != lengths[i]) {
      log_printf("%s len mismatch on %d, offset=%d, %d != %d\n", name, i, off, len, lengths[i]);
      return -1;
    }
    off += len + 1;
  }
  if (off != size) {
    log_printf("%s textsize mismatch %d != %d\n", name, off, size);
    return -1;
  }
  return 0;
}

void gui_toolkit_install_hooks(void) {
  dvr_key_hooks.lang_text = [](int i) { return i >= 0 && i < LANG_COUNT ? LangTable[i] : ""; };
  dvr_key_hooks.screen_width = [] { return int(osd_layout.screen_width); };
  dvr_key_hooks.text_width = [](const char *t) { return utf8_strlen(t) * font_w(); };
  dvr_key_hooks.draw_label = [](int x, int y, const char *t) {
    if (!g_message_text.empty()) osd_erase_text(osd_state.ctx, g_message_x, g_message_y, g_message_text.c_str());
    g_message_text = t ? t : "";
    g_message_x = x;
    g_message_y = y;
    osd_layout.message_x = x;
    osd_draw_label(osd_state.ctx, x, y, t);
  };
  dvr_key_hooks.erase_message = [] {
    if (g_message_text.empty()) return;
    osd_erase_text(osd_state.ctx, g_message_x, g_message_y, g_message_text.c_str());
    g_message_text.clear();
    osd_layout.message_x = -1;
  };
  dvr_key_hooks.flush = [] { flush(osd_state.ctx); };
  dvr_key_hooks.draw_time_status = [] { recording_status_update(osd_state.ctx); };
}
