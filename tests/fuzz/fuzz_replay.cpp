// Replays a fuzz harness over its corpus directory, then over deterministic
// mutations of every corpus file (bit flips, truncations, insertions), so CI
// runs each parser on malformed input without a fuzzing engine. With
// -DM7391_FUZZ=ON and clang the same harnesses link against libFuzzer, which
// calls fuzz_one through its entry point below and brings its own main.
//
// Every harness runs quiet, either way: the lines the code under test logs
// stay in the log ring, what it prints on standard output goes to
// /dev/null and the runner keeps no command log, since millions of inputs
// would fill a disk. Standard error stays open: a finding's report (the
// sanitizer's, libFuzzer's, the harness's own before its abort) is seen,
// and the replay names the input it crashed on. M7391_FUZZ_LOG=1 lets the
// logs through, to see what led to a finding.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/log.h"
#include "fuzz_root.h"
#include "platform/runner.h"

int fuzz_one(const uint8_t *data, size_t size);

static void fuzz_quiet(void) {
  // Every harness runs inside a board root of its own: code that opens a
  // board path (a device, a kernel knob under /proc/sys, /etc) never
  // reaches the host's.
  fuzz_root();
  const char *v = getenv("M7391_FUZZ_LOG");
  if (v && strcmp(v, "1") == 0) return;
  log_set_stderr(0);
  runner_set_exec_log(0);
  fflush(stdout);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0 || dup2(null_fd, 1) < 0) abort();
  close(null_fd);
}

#ifdef M7391_LIBFUZZER
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_one(data, size);
  return 0;
}
#else

// The input being run, as the note a crash leaves on standard error.
static char g_input[600];
static struct sigaction g_before[NSIG];

static void set_input(const std::string &name, int mutation) {
  if (mutation < 0) snprintf(g_input, sizeof g_input, "fuzz replay: crashed on %s\n", name.c_str());
  else snprintf(g_input, sizeof g_input, "fuzz replay: crashed on mutation %d of %s\n", mutation, name.c_str());
}

// Writes the note, then hands the signal to what was there before (the
// default's core, a sanitizer's report): a fault comes again on return, an
// abort is raised again.
static void on_crash(int sig) {
  ssize_t n = write(2, g_input, strlen(g_input));
  (void)n;
  sigaction(sig, &g_before[sig], nullptr);
  if (sig == SIGABRT) raise(sig);
}

static void note_crashes(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_crash;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &sa, &g_before[sig]);
}

static std::vector<uint8_t> read_file(const std::string &path) {
  std::vector<uint8_t> v;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  fclose(f);
  return v;
}

int main(int argc, char **argv) {
  fuzz_quiet();
  note_crashes();
  std::vector<std::vector<uint8_t>> corpus;
  std::vector<std::string> names;
  if (argc > 1) {
    if (DIR *d = opendir(argv[1])) {
      while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        names.push_back(std::string(argv[1]) + "/" + e->d_name);
        corpus.push_back(read_file(names.back()));
      }
      closedir(d);
    }
  }
  corpus.push_back({});
  names.push_back("the empty input");
  unsigned seed = 12345;
  auto rnd = [&seed]() { seed = seed * 1103515245u + 12345u; return (seed >> 8) & 0xFFFFFF; };
  int runs = 0;
  static const uint8_t none[1] = {0};
  for (size_t i = 0; i < corpus.size(); i++) {
    const std::vector<uint8_t> &c = corpus[i];
    // An empty input still points somewhere, as libFuzzer's do.
    set_input(names[i], -1);
    fuzz_one(c.empty() ? none : c.data(), c.size());
    runs++;
    for (int m = 0; m < 300; m++) {
      std::vector<uint8_t> v = c;
      int kind = rnd() % 4;
      if (kind == 0 && !v.empty()) {
        for (int k = 0, n = 1 + rnd() % 8; k < n; k++) v[rnd() % v.size()] ^= (uint8_t)(1 << (rnd() % 8));
      } else if (kind == 1 && !v.empty()) {
        v.resize(rnd() % v.size());
      } else if (kind == 2) {
        size_t at = v.empty() ? 0 : rnd() % v.size();
        for (int k = 0, n = 1 + rnd() % 16; k < n; k++) v.insert(v.begin() + at, (uint8_t)rnd());
      } else if (!v.empty()) {
        size_t at = rnd() % v.size();
        v[at] = (uint8_t)(rnd() % 2 ? 0xFF : 0x00);
      }
      set_input(names[i], m);
      fuzz_one(v.empty() ? none : v.data(), v.size());
      runs++;
    }
  }
  fprintf(stderr, "fuzz replay: %d inputs\n", runs);
  return 0;
}
#endif
