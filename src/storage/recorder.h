// The record and snapshot thread: one function run as "record" on stream id
// 13 and as "snapshot" on stream id 14. Starting either is setting its
// producer state; the thread then writes dated, numbered files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include "core/global.h"

struct RecordEnv {
  ThreadEnv env;          // first: the thread table hands a ThreadEnv pointer
  uint32_t stream_id;     // 13 recording, 14 snapshot
};

void *recordThrFxn(void *arg);

// Waits at most ms for the next recording's or snapshot's file name and
// copies its base name (or "unknown") into buf. 0; ETIMEDOUT; -1 when the
// run ended without a file.
int getRecordFilename(char *buf, size_t size, int ms);

// The first number (0 to 999) that no mounted volume holds a file of, for
// the date prefix ("20240131-") and extension; -1 when all are taken. With
// filesys_mutex held.
int get_unused_number(const char *prefix, const char *ext);
// The scandir filter of the name search, for the date prefix and extension
// set by recorder_set_name_filter.
void recorder_set_name_filter(const char *prefix, const char *ext);
int recorder_name_filter(const struct dirent *e);

// What the recorder needs from the encoder (channel A's frame decimation).
struct RecorderHooks {
  void (*set_decimate)(int value);
};
extern RecorderHooks recorder_hooks;

// Tests preset the byte count of new files (the FAT split at 2^32 bytes
// without writing 4 GiB).
extern uint64_t recorder_test_initial_bytes;

// 1 << 20: each file's stdio buffer.
enum { RECORD_BUFFER_SIZE = 1 << 20 };
