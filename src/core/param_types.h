// Format and parse functions of the converted and virtual parameter rows.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/hwreg.h"

// Every parse error that is not a number range.
#define PARAM_INVALID_VALUE "Invalid value"
// An action row whose module this build does not run: it does nothing and
// says so rather than report success.
#define PARAM_NOT_AVAILABLE "Action not available"

// The latency records shown by the latency_* rows: TS muxer and RTSP sender
// of channels A and B, filled with latency_stats_add by their owners.
enum { LATENCY_TS_A, LATENCY_TS_B, LATENCY_RTSP_A, LATENCY_RTSP_B, LATENCY_COUNT };
extern LatencyStats latency_records[LATENCY_COUNT];

// Set while the store checks stored values: parsers then change nothing but
// the field (the display standard is not applied, nothing is logged).
void param_set_quiet(int quiet);
int param_is_quiet(void);

// A whole number with optional blanks around it: decimal, or with hex also
// "0x" and hexadecimal digits.
bool param_parse_number(const char *text, size_t len, long long *out, bool hex);

// Standard names by code ("NONE" for an unknown code), and the code of a
// name by its leading characters, or -1.
const char *param_standard_name(unsigned code);
int param_standard_code(const char *text, size_t len);

#define PARAM_FN(name) \
  int param_format_##name(char *buf, size_t size, void *arg)
#define PARAM_PARSE(name) \
  const char *param_parse_##name(const char *text, size_t len, void *arg)

PARAM_FN(mac); PARAM_PARSE(mac);
PARAM_FN(ip); PARAM_PARSE(ip); PARAM_PARSE(netmask);
PARAM_FN(u8);
PARAM_FN(frame_rate); PARAM_PARSE(frame_rate);
PARAM_FN(aspect); PARAM_PARSE(aspect);
PARAM_PARSE(h264_level); PARAM_PARSE(h264_profile);
PARAM_FN(standard); PARAM_PARSE(capture_standard); PARAM_PARSE(display_standard);
PARAM_FN(width); PARAM_PARSE(width);
PARAM_FN(height); PARAM_PARSE(height);
PARAM_FN(scaled_width);
PARAM_FN(resolution); PARAM_PARSE(resolution);
PARAM_FN(capture_resolution);
PARAM_FN(video_lock);
PARAM_PARSE(video_counter);
PARAM_FN(status); PARAM_PARSE(state);
PARAM_FN(recording_storage);
PARAM_PARSE(user_delete); PARAM_PARSE(user_password);
PARAM_PARSE(telnet);
PARAM_FN(gpio_in); PARAM_FN(gpio_out); PARAM_PARSE(gpio_out);
PARAM_FN(clock); PARAM_PARSE(clock);
PARAM_FN(firmware_version); PARAM_FN(firmware_build); PARAM_FN(bootloader_version);
PARAM_FN(firmware_status);
PARAM_FN(serial_number); PARAM_PARSE(serial_number);
PARAM_FN(cpu_load);
PARAM_FN(debug_addr); PARAM_PARSE(debug_addr);
PARAM_FN(debug_data); PARAM_PARSE(debug_data);
PARAM_FN(timestamp); PARAM_PARSE(timestamp);
PARAM_PARSE(reboot); PARAM_PARSE(custom_clear); PARAM_PARSE(key_press);
PARAM_FN(encoder_count); PARAM_PARSE(encoder_count);
PARAM_FN(board_model);
PARAM_FN(latency);
PARAM_FN(custom_zip_size);
PARAM_FN(colorbars); PARAM_PARSE(colorbars);
PARAM_FN(passthru); PARAM_PARSE(passthru);
// A check of a string field (arg unused): one plain directory name, no
// path, no "..", no leading '.', no control characters.
PARAM_PARSE(dir_name);

#undef PARAM_FN
#undef PARAM_PARSE
