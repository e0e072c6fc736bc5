// The text-entry edit buffer shared by the text-entry dialog (menu thread)
// and keyboard_scan (gpio thread). Every field is touched only under
// text_entry.mutex, which is taken before the key mailbox's mutex.
#pragma once
#include <cstdint>
#include <pthread.h>

enum { TEXT_ENTRY_MAX = 61 };   // bytes of the buffer, its NUL included

struct TextEntry {
  pthread_mutex_t mutex;
  uint8_t text_mode;            // 1 while a dialog is open
  uint8_t cursor;               // 0 .. size - 1
  uint8_t size;                 // the dialog's limit, NUL included (<= 61)
  char buffer[TEXT_ENTRY_MAX];  // NUL-padded
  int32_t edge;                 // -1 a move or delete hit the start, 1 the end
};
extern TextEntry text_entry;

// All of these with text_entry.mutex held; each posts DVR_KEY_TEXT_CHANGED
// when it did or tried something.
// Inserts at the cursor; nothing when the text already fills size - 1 bytes.
void text_entry_insert(char c);
// Removes the character before the cursor; at 0 it sets the edge flag.
void text_entry_backspace(void);
// Cursor moves and Delete (the character at the cursor); at an end they set
// the edge flag.
void text_entry_left(void);
void text_entry_right(void);
void text_entry_home(void);
void text_entry_end(void);
void text_entry_delete(void);

// Opens the buffer on a caller's text (limit min(size, 61), the cursor at the
// end of the text) and turns text mode on; takes and releases the mutex.
void text_entry_begin(const char *text, uint32_t size);
// Turns text mode off; with copy, the text goes back into text (at most size
// bytes, NUL-terminated). Takes and releases the mutex.
void text_entry_finish(char *text, uint32_t size, int copy);

// ---- The dialog and the on-screen keyboard (OSD/menu thread) ----
struct GuiContext;
struct OsdRect;
// Asks for a text under prompt, starting from text. 0 when confirmed (the
// text is copied back, at most size bytes with its NUL) or on quit; -1 when
// cancelled (text untouched). Characters come from the USB keyboard, or from
// the on-screen keyboard when only a pointer device is present.
int text_entry_dialog(GuiContext *ctx, const char *prompt, char *text, uint32_t size);
// shift 0 removes the keyboard, 1 draws the plain keys, 2 the shifted ones.
void draw_on_screen_keyboard(GuiContext *ctx, int shift);
// A pointer event: a click on the keyboard (shift 0: none shown) types or
// toggles; a pointer in the text box moves the cursor (its line into *row
// when row is given). 1 when consumed. With text_entry.mutex held.
int on_screen_keyboard_hit(GuiContext *ctx, int *shift, const OsdRect *box, int *row);
