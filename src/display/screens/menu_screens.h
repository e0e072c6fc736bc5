// The menu screens the DVR logic opens, and those they open in turn. Each
// runs on the menu thread inside dvr_tick and returns when the user goes
// back.
#pragma once
#include <cstddef>
#include <cstdint>

#include "display/osd_display.h"
#include "storage/filesys.h"

struct TextOverlayConf;

// ---- main menu, Setup and the small choosers ----
void main_menu(GuiContext *ctx, int recording);
void setup_menu(GuiContext *ctx);
void firmware_update_screen(GuiContext *ctx);
void bitrate_menu(GuiContext *ctx);
void audio_input_menu(GuiContext *ctx);
void key_help(GuiContext *ctx);
// The chosen font (0 .. 3), or current when the user went back.
int text_size_menu(GuiContext *ctx, int current, int large);
void recording_storage_menu(GuiContext *ctx);
void recording_format_menu(GuiContext *ctx);
// Adjusts the 1- or 4-byte value at value in place, within min .. max.
void number_adjust_menu(GuiContext *ctx, const char *format, void *value, int size, int32_t min,
                        int32_t max, int32_t def);

// ---- file browser and file actions ----
void play_video_menu(GuiContext *ctx);
void view_snapshot_menu(GuiContext *ctx);
void file_management_menu(GuiContext *ctx);

// Which files of a recording directory the browser lists (endings compared
// without regard to case).
enum { FILE_FILTER_VIDEO, FILE_FILTER_SNAPSHOT, FILE_FILTER_RECORDING, FILE_FILTER_TEXT };
struct FileEntry {
  char name[FILESYS_NAME_MAX + 1];
  uint64_t size;
};
// A file action: 0 stay in the list, 1 rescan the directory, 2 go on with
// the next file, 3 with the previous one; -1 (a cancelled copy) stays.
typedef int (*FileAction)(GuiContext *ctx, const char *name);
// A group action on the selected entries: 1 back to the list, else the end.
typedef int (*FileGroupAction)(GuiContext *ctx, FileEntry *entries, uint8_t *selected, int count);
// Lists osd_layout.browse_source's recording directory, newest names first,
// in pages; runs action on the chosen file, or with a group action toggles
// selections and runs it on back (at once when every file is selected by
// the "Select files" setting). extra_keys choose a row as OK does.
void file_browser(GuiContext *ctx, const char *title, int filter, FileAction action, uint32_t extra_keys,
                  FileGroupAction group);
// The storage manager's progress hook (context: the GuiContext): the label
// and the percentage; Stop or OK pending asks whether to cancel (-1).
int show_progress(void *context, int tenths);
// "999 B", "1.23 KB", "12.3 KB", "123 KB", "1.00 MB" ...
void format_size(char *out, size_t size, uint64_t bytes);
int copy_video_action(GuiContext *ctx, const char *name);
int copy_snapshot_action(GuiContext *ctx, const char *name);
int delete_file_action(GuiContext *ctx, const char *name);
int rename_file_action(GuiContext *ctx, const char *name);
int copy_files_group(GuiContext *ctx, FileEntry *entries, uint8_t *selected, int count);
int delete_files_group(GuiContext *ctx, FileEntry *entries, uint8_t *selected, int count);

// ---- overlay text editor and secondary overlays ----
void overlay_menu(GuiContext *ctx);
void secondary_overlay_menu(GuiContext *ctx, int overlay);
// Shows secondary overlay n (0: none).
void overlay_select(GuiContext *ctx, int overlay);
// The title, coded, extra and additional overlay keys (1 .. 4).
void overlay_key_action(GuiContext *ctx, int overlay);
// Shows overlay n again at its (moved) position.
void overlay_apply(GuiContext *ctx, int overlay);

// ---- diagnostics ----
int diagnostics_menu(GuiContext *ctx);
// Writes 1 MiB rounds to "tptest.tmp" on source 0 internal, 1 external or
// 2 both and shows the rate until a key.
void throughput_test(GuiContext *ctx, int source);
// The rows of "list EDID modes" ("1920x1080p60"), one per mode of the
// monitor's table, at most max; their number.
int edid_mode_rows(char (*rows)[16], int max);

// ---- advanced configuration and service screens ----
void advanced_config_menu(GuiContext *ctx);
void advanced_options_menu(GuiContext *ctx);
void advanced_video_menu(GuiContext *ctx);
void keypad_config_menu(GuiContext *ctx);
void display_output_menu(GuiContext *ctx);
void system_info_menu(GuiContext *ctx);
void encoder_setup_menu(GuiContext *ctx);
void serial_setup_menu(GuiContext *ctx);
// Defaults (or /usr/html/config.txt) keeping the serial settings; the
// configuration file saved to or loaded from a volume the user picks.
void reset_params(GuiContext *ctx);
void save_params_to_storage(GuiContext *ctx);
void load_params_from_storage(GuiContext *ctx);
