// Reading and writing parameters by name, and the parameter text files of
// "%s = %s\r\n" lines. Permission checks are the caller's (param_may_read,
// param_may_write).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include "core/param_block.h"

// The runtime record of the store.
struct ParamState {
  ParamBlock *block;              // the live block
  pthread_mutex_t change_mutex;   // guards pending
  uint32_t pending;               // change groups marked since the last apply
  char ip_text[20];               // current address of the active network
  const char *ip;                 // ip_text once set, else NULL
  pthread_mutex_t save_mutex;     // serialises flash saves
  // Held by param_set while it stores a field and by the save while it
  // copies the live block, so that no value is saved half-written. It is
  // not recursive: nothing that sets by name or saves runs while it is
  // held, and only leaf locks (the log's, the capture input's) are taken
  // under it.
  pthread_mutex_t write_mutex;
  uint8_t saved_display_mode;     // Display.DisplayMode of the last saved or loaded block
};
extern ParamState param_state;

// Value text of a row by name (any case) or index: the text length, or -1.
int param_get(const char *name, char *buf, size_t size);
int param_get_by_index(int row, char *buf, size_t size);
int param_getf(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Validates and stores a value: NULL, or the error text (valid on this
// thread until its next call). A refused value changes nothing.
const char *param_set(const char *name, const char *value, size_t length);
const char *param_set_str(const char *name, const char *value);

// Stores made outside param_set (a menu editing a text or fields that go
// together) are made between these, under the lock the save copies under.
void param_write_begin(void);
void param_write_end(void);

// The pending change groups (without clearing them).
uint32_t param_pending_changes(void);
void param_mark_changed(uint32_t group);
// Clears one pending group: what it would restart has begun with the
// settings as they are.
void param_drop_change(uint32_t group);
// Recording.State: a start (run 1) or stop asked for, which the next apply
// acts on once it has acted on the groups marked with it; the later request
// of a batch stands.
void param_request_recording(int run);
// Takes and clears the pending change groups.
uint32_t param_take_changes(void);

// Writes every stored row except "NetworkMACAddr" and "DeveloperMode";
// -1 when the file cannot be created or a write fails (a full card), else 0.
int param_export_file(const char *path);
// The same into an open stream; -1 when a write failed.
int param_export_stream(FILE *out);
// Sets every "name = value" line; -1 when the file cannot be opened or is
// a link or no regular file.
int param_import_file(const char *path);
// Lines of an import: set, and refused or malformed (blank lines are
// neither).
struct ParamImportCount {
  int set;
  int skipped;
};
// The same from an open stream (left open); the lines counted in *count
// when given.
int param_import_stream(FILE *in, ParamImportCount *count = NULL);
// One line of a parameter file (without its line end); 0 when the line was
// set, -1 when it was refused or malformed (and logged).
int param_import_line(const char *line, size_t len);
