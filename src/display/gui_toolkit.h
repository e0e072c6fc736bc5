// The GUI toolkit of the on-screen menu: the language table of every
// user-visible text, the list menu, message boxes and notices, the transient
// status text, the status line with its recording clock and icons, and the
// small helpers the screens share. Everything that draws runs on the OSD/menu
// thread.
#pragma once
#include <cstdint>

#include "core/param_block.h"
#include "display/dvr_keys.h"
#include "display/gui_layout.h"
#include "display/osd_display.h"

enum { LANG_COUNT = 431 };
// Indexes the toolkit itself uses.
enum {
  LANG_MUTE = 6, LANG_PAUSE = 7, LANG_REC = 8, LANG_LOAD = 10, LANG_END = 11, LANG_PLAY = 12,
  LANG_REW = 13, LANG_FF = 14, LANG_BACK = 15, LANG_CLOSE = 17, LANG_MENU_NO_OPTIONS = 313,
  LANG_PRIMARY_OVERLAY_ON = 368, LANG_SECONDARY_OVERLAY_ON = 369, LANG_BOTH_OVERLAYS_ON = 370,
};
extern const char *const lang_english[LANG_COUNT];
// The texts in use: English, or a language file's lines. Screens compare
// these pointers to recognise their rows.
extern const char *LangTable[LANG_COUNT];
// Text i of the language table, or "" where it has none.
const char *T(int i);

// "/usr/html/lang/NAME.txt": the n-th line that is neither blank nor a "#"
// comment replaces text n; entries after the last line read are English
// again. A line over 79 characters is cut; "\n" (two characters) is a line
// break; a line whose printf conversions differ from the English text's
// keeps the English text. Names holding "/" or ".." are refused. The number
// of lines taken, or -1 when nothing was read.
int load_language_file(const char *name);
// Every text back to the built-in English.
void load_language_english(void);

// Menus: show_menu returns the index in items of the chosen row, or 0 for
// back, escape, an empty menu or quit. items[0] is the title, rows 1 to n - 1
// follow (a NULL entry ends them); a row starting with "~" is hidden until the
// diagnostics key reveals it.
int show_menu(GuiContext *ctx, int n, const char **items, int initial);
// Keys (bits below 1 << 26) on which show_menu also returns the cursor row's
// index; the key that made it return.
extern DvrKey menu_return_mask;
extern DvrKey menu_return_key;

// A box of lines ("\n" between them, at most 20) at the text origin, shown
// until a key or the message time-out; the key stays in the mailbox.
void show_message(GuiContext *ctx, const char *text);
// The same, but the OSD is left unflushed when the waiting key selects.
void show_message_flush(GuiContext *ctx, const char *text);
// The two-row menu {text, "Close"} on an empty mailbox.
int show_notice(GuiContext *ctx, const char *text);
// The transient text at the text origin; NULL only erases.
void show_status_text(GuiContext *ctx, const char *text);
void clear_status_text(GuiContext *ctx);
// A text on a box of the menu alpha; its erasure (the same box, transparent).
void osd_draw_label(GuiContext *ctx, int x, int y, const char *text);
void osd_erase_text(GuiContext *ctx, int x, int y, const char *text);

// The status line: "LABEL H:MM:SS" at the status position, with the label's
// icon instead of its text when status icons are on.
void drawTimeStatus(GuiContext *ctx, uint32_t ticks, const char *label);
// The recording clock's once-a-second update (and on mute changes).
void recording_status_update(GuiContext *ctx);
// After each recording state change: the icons, the countdown, the output.
void updateRecordingStatus(GuiContext *ctx);
// The bottom-right note while the display shows scaled pass-through video.
void corner_note_update(GuiContext *ctx);
// Switches the recording output line (the board I/O sets it); NULL: none.
extern void (*gui_recording_output)(int on);

// Small helpers of the screens.
int menu_rows_limit(GuiContext *ctx, int wanted);
void ptr_list_append(const char **list, const char *p);
void toggle_allowed_mode(GuiContext *ctx, int n);
const char *display_standard_name(const ParamBlock *params);
int display_is_scaled(GuiContext *ctx);
void move_clamped(int *x, int *y, int max_x, int max_y, int dx, int dy);
TextOverlayConf *overlay_conf(int n);
void overlay_conf_to_params(ParamBlock *params, int n, const TextOverlayConf *conf);
const char *storage_device_name(GuiContext *ctx, int n);
void set_source_storage_device(int row);
// The layout from the parameters and the OSD's size.
void osd_layout_init(GuiContext *ctx);
// Checks a packed table of NUL-ended texts against its lengths and total
// size. 0, or -1 after logging the first mismatch.
int check_text_table(const char *name, int count, const int *lengths, const char *text, int size);

// Points the key mailbox's drawing and texts at the toolkit.
void gui_toolkit_install_hooks(void);
