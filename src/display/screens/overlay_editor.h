// The secondary text overlays (1 title, 2 coded, 3 extra, 4 additional):
// their text files on storage, the lines they burn into channel 0's slots,
// the coded message and the text editor. The screens that use them are in
// menu_screens.h.
//
// Overlay file: an optional first line "#ovl FONT BACKGROUND X Y", then one
// line per overlay line (CR LF or LF), each cut to 32 characters. Written
// with CR LF.
#pragma once
#include <cstddef>
#include <cstdint>

#include "display/gui_layout.h"

struct GuiContext;

enum { OVERLAY_ROWS = 14, OVERLAY_LINE_CHARS = 32, OVERLAY_CODES_MAX = 127 };

// The bytes of an overlay file into conf: the "#ovl" line's values, checked
// (a font outside 1..4 becomes 1, a background not 0, 1, 4, 5 or 6 becomes 0,
// a position outside the captured frame 0 once its size is known), and the
// lines, whose packed text replaces conf's. 0, or -1 without memory (conf
// keeps its text then).
int overlay_text_parse(TextOverlayConf *conf, const char *data, size_t size);
// The file form of conf (malloc'd, *size bytes, NUL-ended); NULL without
// memory.
char *overlay_text_build(const TextOverlayConf *conf, size_t *size);
// Looks code up, ignoring case, as the start of a line of the packed code
// list followed by a space: 1 found (message: the rest of the line after its
// spaces, possibly empty), 0 not found or an empty code.
int overlay_code_lookup(const char *list, uint32_t size, const char *code, char *message, size_t message_size);

// Loads conf's file from the external volume (unless DVR_DisableExtConfig),
// else the internal, else the SD card. 0 loaded, -1 not found or no memory.
int overlay_file_load(TextOverlayConf *conf);
// A volume was mounted: the overlays found on it are loaded and their
// settings copied into the parameters (the storage manager's hook).
void overlay_files_load(int source);
// Writes conf's file (where it already is on the external volume, else the
// internal, else the SD card), showing what happens. 0 saved.
int overlay_file_save(GuiContext *ctx, TextOverlayConf *conf);
// Burns the overlay's lines into slots 0 to 13 of channel 0.
void overlay_show_text(TextOverlayConf *conf);
// Asks for a code and sets the coded message; 1 when one is held after.
int select_code_message(GuiContext *ctx);
// Edits a packed text in a box of 14 rows of 32 characters; escape or
// Ctrl+Delete ends. Lines past the 14 rows are kept after them. The new
// text replaces *text (freed) and *size.
void overlay_text_editor(GuiContext *ctx, char **text, uint32_t *size, const char *prompt);

// Points the storage manager's overlay hook here.
void overlay_editor_install_hooks(void);
