// The text-entry dialog and the on-screen keyboard.
#include <cstring>

#include "core/global.h"
#include "core/log.h"
#include "display/gui_toolkit.h"
#include "display/keyboard_input.h"
#include "display/text_entry.h"

namespace {

constexpr int kLineChars = 20;

struct OskRow {
  const char *left, *keys, *shifted, *right;
};
const OskRow kRows[4] = {
    {"", "`1234567890-=", "~!@#$%^&*()_+", "BkSp"},
    {"    ", "qwertyuiop[]\\", "QWERTYUIOP{}|", ""},
    {"Caps ", "asdfghjkl;'", "ASDFGHJKL:\"", "Enter"},
    {"Shift ", "zxcvbnm,./", "ZXCVBNM<>?", "Shift"},
};
const char kBottomLine[] = "Exit            Space";

int fw(void) { return osd_font_width; }
int fh(void) { return osd_font_height; }
int line_h(void) { return osd_font_height + 2; }

OsdRect keyboard_box(void) {
  int w = (22 * fw() + 5) * 2, h = 5 * fh() + 30;
  return {(osd_layout.screen_width - w) / 2, osd_layout.screen_height - 5 - h, w, h};
}

int row_y(const OsdRect &kb, int r) { return kb.y + 5 + r * (fh() + 4); }
int left_x(const OsdRect &kb) { return kb.x + 5; }
// Where key i of a row is drawn; its cell is one font width either side.
int key_x(const OsdRect &kb, const OskRow &row, int i) {
  return left_x(kb) + int(strlen(row.left)) * fw() + fw() + 3 * fw() * i;
}
int right_x(const OsdRect &kb, const OskRow &row) { return key_x(kb, row, int(strlen(row.keys))); }

bool caps_on(void) { return gui_input.modifiers & MOD_CAPS; }

char swap_case(char c) { return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) ? char(c ^ 0x20) : c; }

void draw_text(int x, int y, const char *text, int count) {
  OsdRect r = {x, y, 0, 0};
  osd_draw_text(&r, text, count, 0xFFFFFFFFu);
}

void toggle_shift(GuiContext *ctx, int *shift) {
  *shift = *shift == 2 ? 1 : 2;
  draw_on_screen_keyboard(ctx, *shift);
}

void type_char(GuiContext *ctx, int *shift, char c) {
  text_entry_insert(caps_on() ? swap_case(c) : c);
  if (*shift == 2) {
    *shift = 1;   // one-shot
    draw_on_screen_keyboard(ctx, *shift);
  }
}

// A click on the keyboard's box: 1 when it lay there.
int keyboard_click(GuiContext *ctx, int *shift, int x, int y) {
  OsdRect kb = keyboard_box();
  if (x < kb.x || x >= kb.x + kb.width || y < kb.y || y >= kb.y + kb.height) return 0;
  for (int r = 0; r < 4; r++) {
    int top = row_y(kb, r);
    if (y < top - 2 || y > top + fh() + 1) continue;
    const OskRow &row = kRows[r];
    int left_end = left_x(kb) + int(strlen(row.left)) * fw();
    if (x >= left_x(kb) && x < left_end) {
      if (!strcmp(row.left, "Caps ")) {
        gui_input.modifiers ^= MOD_CAPS;
        draw_on_screen_keyboard(ctx, *shift);
      } else if (!strcmp(row.left, "Shift ")) {
        toggle_shift(ctx, shift);
      }
      return 1;
    }
    int n = int(strlen(row.keys));
    for (int i = 0; i < n; i++) {
      int kx = key_x(kb, row, i);
      if (x >= kx - fw() && x < kx + 2 * fw()) {
        type_char(ctx, shift, (*shift == 2 ? row.shifted : row.keys)[i]);
        return 1;
      }
    }
    int rx = right_x(kb, row);
    if (x >= rx && x < rx + int(strlen(row.right)) * fw()) {
      if (!strcmp(row.right, "BkSp"))
        text_entry_backspace();
      else if (!strcmp(row.right, "Enter"))
        dvr_post_key(DVR_KEY_MENU_OK);
      else if (!strcmp(row.right, "Shift"))
        toggle_shift(ctx, shift);
    }
    return 1;
  }
  int top = row_y(kb, 4);
  if (y >= top - 2 && y <= top + fh() + 1 && x >= left_x(kb)) {
    int cell = (x - left_x(kb)) / fw();
    if (cell < 5)
      dvr_post_key(DVR_KEY_STOP_BACK);
    else if (cell >= 10 && cell <= 26)
      type_char(ctx, shift, ' ');
  }
  return 1;
}

}  // namespace

void draw_on_screen_keyboard(GuiContext *ctx, int shift) {
  (void)ctx;
  log_printf("%s: shift=%d\n", "draw_on_screen_keyboard", shift);
  OsdRect kb = keyboard_box();
  if (shift == 0) {
    fillSquare(&kb, 0, 0);
    return;
  }
  fillSquare(&kb, 0, osd_layout.menu_alpha);
  for (int r = 0; r < 4; r++) {
    const OskRow &row = kRows[r];
    int y = row_y(kb, r);
    draw_text(left_x(kb), y, row.left, int(strlen(row.left)));
    const char *keys = shift == 2 ? row.shifted : row.keys;
    for (int i = 0; keys[i]; i++) {
      char c = caps_on() ? swap_case(keys[i]) : keys[i];
      draw_text(key_x(kb, row, i), y, &c, 1);
    }
    draw_text(right_x(kb, row), y, row.right, int(strlen(row.right)));
  }
  draw_text(left_x(kb), row_y(kb, 4), kBottomLine, int(sizeof kBottomLine - 1));
}

int on_screen_keyboard_hit(GuiContext *ctx, int *shift, const OsdRect *box, int *row) {
  int x = gui_input.x, y = gui_input.y;
  if (gui_input.click_pending) {
    gui_input.click_pending = 0;
    if (shift && *shift && keyboard_click(ctx, shift, x, y)) return 1;
  }
  if (!box) return 0;
  log_printf("%d,%d  %ld,%ld %ldx%ld\n", x, y, long(box->x), long(box->y), long(box->width), long(box->height));
  if (x < box->x || x >= box->x + box->width || y < box->y || y >= box->y + box->height) return 0;
  int col = (x - box->x) / fw(), line = (y - box->y) / line_h();
  if (col > kLineChars) col = kLineChars;
  if (row) *row = line;
  size_t len = strnlen(text_entry.buffer, TEXT_ENTRY_MAX), pos = size_t(line * kLineChars + col);
  text_entry.cursor = uint8_t(pos < len ? pos : len);
  return 1;
}

int text_entry_dialog(GuiContext *ctx, const char *prompt, char *text, uint32_t size) {
  TextEntry &t = text_entry;
  bool osk = !gui_input.keyboard_present && gui_input.pointer_device;
  int tx = osd_layout.text_x, ty = osd_layout.text_y;
  osd_draw_label(ctx, tx, ty, prompt);
  osd_flush(ctx);
  text_entry_begin(text, size);
  pthread_mutex_lock(&t.mutex);
  int shift = osk ? 1 : 0;
  if (osk) draw_on_screen_keyboard(ctx, shift);
  int y0 = ty + fh() + 12;
  OsdRect shown = {tx - 5, y0 - 5, 0, 0};
  bool changed = true;
  int result = 0;
  for (unsigned pass = 0;; pass++) {
    int len = int(strnlen(t.buffer, TEXT_ENTRY_MAX));
    int full = t.size && len >= t.size - 1;
    OsdRect box = {tx - 5, y0 - 5, (len < kLineChars ? len : kLineChars) * fw() + 13,
                   ((len + kLineChars - full) / kLineChars) * line_h() + 10};
    if (box.width < shown.width || box.height < shown.height) fillSquare(&shown, 0, 0);
    fillSquare(&box, 0, osd_layout.menu_alpha);
    shown = box;
    for (int line = 0; line * kLineChars < len; line++) {
      int n = len - line * kLineChars;
      draw_text(tx, y0 + line * line_h(), t.buffer + line * kLineChars, n < kLineChars ? n : kLineChars);
    }
    if (changed || pass % 2 == 0) {
      int col = t.cursor % kLineChars, line = t.cursor / kLineChars;
      if (full && t.cursor == len && col == 0 && t.cursor > 0) {
        col = kLineChars;
        line--;
      }
      OsdRect bar = {tx + fw() * col, y0 + line * line_h(), 2, fh()};
      fillSquare(&bar, 255, 7);
    }
    changed = false;
    osd_flush(ctx);
    pthread_mutex_unlock(&t.mutex);
    DvrKey key = dvr_wait_key(ctx, 1);
    pthread_mutex_lock(&t.mutex);
    if (get_exit_code()) break;
    if (key == DVR_KEY_MOUSE_EVENT) {
      int row = 0;
      changed = on_screen_keyboard_hit(ctx, osk ? &shift : nullptr, &box, &row) != 0;
      continue;
    }
    if (key == DVR_KEY_TEXT_CHANGED) {
      changed = true;
      continue;
    }
    if (!key || key >= DVR_KEY_ADVANCED_CFG) continue;
    if (key & DVR_KEY_STOP_BACK) {
      result = -1;
      break;
    }
    if (key & DVR_KEY_MENU_OK) {
      result = 1;
      break;
    }
    if (key & DVR_KEY_DOWN) {
      int c = t.cursor + kLineChars;
      t.cursor = uint8_t(c < len ? c : len);
      changed = true;
    } else if (key & DVR_KEY_UP) {
      t.cursor = uint8_t(t.cursor > kLineChars ? t.cursor - kLineChars : 0);
      changed = true;
    }
  }
  fillSquare(&shown, 0, 0);
  pthread_mutex_unlock(&t.mutex);
  text_entry_finish(text, size, result == 1);
  if (osk) draw_on_screen_keyboard(ctx, 0);
  osd_erase_text(ctx, tx, ty, prompt);
  osd_flush(ctx);
  return result == 1 ? 0 : result;
}
