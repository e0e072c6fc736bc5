// The parameter table: one named row per setting, read and written by name
// from the web, the control protocol, the menus and the text files.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/param_block.h"

enum ParamType : uint32_t {
  PARAM_STRING = 0,     // NUL-terminated text in size bytes
  PARAM_INTEGER = 1,    // 1, 2 or 4 bytes; signed when min < 0
  PARAM_CONVERTED = 2,  // binary value with its own format and parse functions
  PARAM_VIRTUAL = 3,    // no storage; offset holds an index for the functions
  PARAM_FLOAT = 4,      // min, max and step hold the float's bits
};

// Bit numbers of the pending-change mask (see param_apply_changes). A
// stream's group is numbered as its id (media/stream_ids.h): the apply
// restarts group n as stream n, and a State row's index names both. Where
// the two tables meet (main) this is checked.
enum ChangeGroup : uint32_t {
  CG_NONE = 0,
  CG_VIDEO_A = 1,
  CG_VIDEO_B = 2,
  CG_DISPLAY_STREAM = 3,
  CG_UDP_A = 8,
  CG_UDP_B = 9,
  CG_RTMP_A = 10,
  CG_RTMP_B = 11,
  CG_RECORDING = 13,
  CG_SERIAL = 15,
  // Recording.State's request, not a group: it travels with the settings of
  // its batch and is acted on after them (param_request_recording).
  CG_RECORD_START = 20,
  CG_RECORD_STOP = 21,
  CG_RTSP = 22,
  CG_DISPLAY_MODE = 23,
  CG_CAPTURE = 24,
  CG_USERS = 25,
  CG_OSD_DISPLAY = 26,
  CG_OSD_B = 27,
  CG_OSD_A = 28,
  CG_NETWORK = 30,
};

enum PermissionLevel : uint32_t {
  PERM_NONE = 0,
  PERM_STREAM_VIEW = 1,
  PERM_CAMERA_CONTROL = 2,
  PERM_STREAM_CONTROL = 3,
  PERM_STREAM_CONFIG = 4,
  PERM_ADMIN = 5,
  PERM_DEMO = 6,        // reads like an admin, never writes
};

// Value to text: returns the text length, or -1 when there is no text.
// arg is the field's address, or (for virtual rows) the row's index.
typedef int (*ParamFormatFn)(char *buf, size_t size, void *arg);
// Text to value: NULL, or the error text.
typedef const char *(*ParamParseFn)(const char *text, size_t len, void *arg);

struct ParamDesc {
  const char *name;
  ParamType type;
  ChangeGroup group;
  int32_t min;
  int32_t max;
  int32_t step;
  uint32_t size;
  PermissionLevel read_level;
  PermissionLevel write_level;
  uint32_t offset;      // byte offset in the block, or a virtual row's index
  ParamFormatFn format;
  ParamParseFn parse;
};

#define PARAM_ROW_COUNT 313
// PARAM_ROW_COUNT rows, then a row whose name is NULL.
extern const ParamDesc paramTable[PARAM_ROW_COUNT + 1];

// Row lookup by name, ignoring case; the first row of that name. NULL or -1
// when unknown.
const ParamDesc *param_find(const char *name);
int param_index(const char *name);
const char *param_name_by_index(int n);
int param_is_virtual(int n);
// The field of a storage row inside a block.
void *param_field(ParamBlock *block, const ParamDesc *d);

// Permission levels and users.
const char *permission_name(uint32_t level);
uint32_t get_permission(const char *name);
int param_may_write(const char *name, uint32_t level);
int param_may_read(const char *name, uint32_t level);
int param_get_range(const char *name, int32_t *min, int32_t *max, int32_t *step);
const char *user_get_password(const char *name);
// Users who can log in: a name and a password.
int user_login_count(void);
uint32_t user_get_permission(const char *name);
int user_has_permission(const char *name, const char *level_name);
void check_user_permissions(void);

// Offered picture sizes for a stream, NULL-ended.
const char *const *get_resolution_list(int stream);
// Whether a "%dx%d" or "auto" text is one Video[stream].Resolution takes.
bool resolution_text_ok(int stream, const char *text, size_t len);
// The encoded size of stream 0 or 1: the configured one, else (waiting for the
// capture to report it, or for quit) the capture size. 0, or -1.
int getStreamResolution(int stream, int *width, int *height);
void setStreamResolution(int stream, int width, int height);
