// The text controls of the simulated capture chain, and the command file
// <root>/run/sim_capture.cmd through which scripts drive a running program.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <strings.h>

#include "platform/host_root.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_drivers.h"

namespace {

bool parse_u64(const char *s, uint64_t *out) {
  if (!s || !*s || *s == '-') return false;
  char *end;
  errno = 0;
  unsigned long long v = strtoull(s, &end, 0);
  if (*end || errno) return false;
  *out = v;
  return true;
}

bool parse_u32(const char *s, uint32_t max, uint32_t *out) {
  uint64_t v;
  if (!parse_u64(s, &v) || v > max) return false;
  *out = (uint32_t)v;
  return true;
}

}  // namespace

void sim_capture_watch_commands(void) {
  sim_follow_commands("/run/sim_capture.cmd", sim_capture_command, "sim_capture");
}

int sim_capture_command(const char *line) {
  char buf[512];
  char *tok[8];
  int n = sim_command_words(line, buf, sizeof buf, tok, 8);
  if (n <= 0) return n;
  const char *cmd = tok[0];
  uint32_t input = 0, a = 0, b = 0, c = 0;
  uint64_t big = 0;
  bool has_input = n >= 2 && parse_u32(tok[1], 7, &input);

  if (!strcmp(cmd, "reset") && n <= 2) {
    int kind = SIM_DECODER_SYSFS;
    if (n == 2) {
      if (!strcasecmp(tok[1], "adv7842")) kind = SIM_DECODER_ADV7842;
      else if (!strcasecmp(tok[1], "tp2825")) kind = SIM_DECODER_TP2825;
      else if (strcasecmp(tok[1], "sysfs")) return -1;
    }
    sim_capture_reset(kind);
    return 0;
  }
  if (!strcmp(cmd, "signal") && n == 3 && has_input && parse_u32(tok[2], 1, &a)) {
    sim_capture_set_signal((int)input, (int)a);
    return 0;
  }
  if (!strcmp(cmd, "timings") && (n == 6 || n == 7) && has_input && parse_u32(tok[2], 8192, &a) &&
      parse_u32(tok[3], 8192, &b) && (!strcmp(tok[4], "p") || !strcmp(tok[4], "i")) &&
      parse_u32(tok[5], 240000, &c) && a && b && c && (n == 6 || parse_u64(tok[6], &big))) {
    sim_capture_set_timings((int)input, a, b, tok[4][0] == 'i', c, big);
    return 0;
  }
  if (!strcmp(cmd, "standard") && n == 3 && has_input) {
    if (!strcasecmp(tok[2], "ntsc")) big = V4L2_STD_NTSC;
    else if (!strcasecmp(tok[2], "pal")) big = V4L2_STD_PAL;
    else if (!parse_u64(tok[2], &big) || !(big & V4L2_STD_ALL)) return -1;
    sim_capture_set_standard((int)input, big);
    return 0;
  }
  if (!strcmp(cmd, "ahd") && n == 4 && has_input && parse_u32(tok[2], 63, &a)) {
    const char *fmts[] = {"", "ahd", "tvi", "cvi"};
    for (uint32_t f = 1; f < 4; f++)
      if (!strcasecmp(tok[3], fmts[f])) {
        sim_capture_set_ahd((int)input, a, f);
        return 0;
      }
    return -1;
  }
  if (!strcmp(cmd, "audio") && n == 3 && has_input && parse_u32(tok[2], 192000, &a)) {
    sim_capture_set_audio_rate((int)input, a);
    return 0;
  }
  if (!strcmp(cmd, "stall") && n == 2 && parse_u32(tok[1], 1, &a)) {
    sim_capture_stall((int)a);
    return 0;
  }
  if (!strcmp(cmd, "fail") && (n == 3 || n == 4) && parse_u64(tok[1], &big) && big &&
      parse_u32(tok[2], 1000000, &a) && (n == 3 || parse_u32(tok[3], 4095, &b))) {
    sim_capture_fail_request((unsigned long)big, (int)a, n == 4 ? (int)b : EIO);
    return 0;
  }
  if (!strcmp(cmd, "y4m") && n == 2) return sim_capture_set_y4m(tok[1]);
  return -1;
}
