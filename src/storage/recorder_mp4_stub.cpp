// MP4 recordings wait for the MP4 muxed mode of the stream layer.
#include "storage/recorder_mp4.h"
#include "core/log.h"

int recorder_mp4_setup(StreamState *, uint8_t, FILE *, FILE *, uint64_t, uint32_t, uint32_t) {
  log_printf("%s: MP4 recording is not available\n", "setup_mp4_stream");
  return -1;
}
int recorder_mp4_error(StreamState *) { return 0; }
const char *recorder_mp4_error_text(int) { return "unknown error"; }
int recorder_mp4_finish(StreamState *) { return 0; }
