// The command files through which scripts drive the simulated devices of a
// running program (<root>/run/sim_capture.cmd, sim_display.cmd,
// sim_board.cmd...): one thread follows them all and runs every line as it is
// appended. A file truncated, removed, or written anew with as many bytes
// as before is read again from its start.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>

#include "platform/host_root.h"
#include "platform/sim/sim_drivers.h"

namespace {

struct Follower {
  char path[64];
  int (*run)(const char *line);
  const char *tag;
  long done;
  std::string line;
  struct timespec mtime;   // of the file as last read
  ino_t ino;
};

std::mutex g_lock;
// Never destroyed: the following thread reads them until the process ends.
Follower *files(void) {
  static Follower *const f = new Follower[8]();
  return f;
}
int g_nfiles;

// Runs the complete lines appended since the last call; with skip, takes
// what the file holds as done without running it.
void follow_one(Follower &w, bool skip = false) {
  FILE *f = sys_fopen(w.path, "r");
  struct stat st;
  if (!f || fstat(fileno(f), &st) != 0) {
    // A file removed is a new one when it is written again.
    if (f) fclose(f);
    w.done = 0;
    w.line.clear();
    return;
  }
  bool rewritten = st.st_ino != w.ino || st.st_size < w.done ||
                   (st.st_size == w.done && (st.st_mtim.tv_sec != w.mtime.tv_sec ||
                                             st.st_mtim.tv_nsec != w.mtime.tv_nsec));
  if (rewritten) {
    w.done = 0;
    w.line.clear();
  }
  if (skip) {
    w.done = st.st_size;
  } else if (fseek(f, w.done, SEEK_SET) == 0) {
    int c;
    while ((c = fgetc(f)) != EOF) {
      w.done++;
      if (c != '\n') {
        if (w.line.size() < 511) w.line += (char)c;
        continue;
      }
      if (w.run(w.line.c_str()) != 0) fprintf(stderr, "%s: failed: %s\n", w.tag, w.line.c_str());
      w.line.clear();
    }
  }
  // Taken after the read: bytes written meanwhile are an append next time.
  if (fstat(fileno(f), &st) == 0) {
    w.mtime = st.st_mtim;
    w.ino = st.st_ino;
  }
  fclose(f);
}

void *follow_main(void *) {
  for (;;) {
    struct timespec ts = {0, 100000000};
    nanosleep(&ts, nullptr);
    std::lock_guard<std::mutex> l(g_lock);
    for (int i = 0; i < g_nfiles; i++) follow_one(files()[i]);
  }
  return nullptr;
}

}  // namespace

void sim_follow_commands(const char *board_path, int (*run)(const char *line), const char *tag, bool replay) {
  if (!root_dir()[0]) return;
  std::lock_guard<std::mutex> l(g_lock);
  for (int i = 0; i < g_nfiles; i++)
    if (files()[i].run == run) return;
  if (g_nfiles == 8) return;
  Follower &w = files()[g_nfiles++];
  snprintf(w.path, sizeof w.path, "%s", board_path);
  w.run = run;
  w.tag = tag;
  // What the file holds already applies before the caller goes on (or,
  // without replay, is passed over).
  follow_one(w, !replay);
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    pthread_create(&t, &attr, follow_main, nullptr);
    pthread_attr_destroy(&attr);
  });
}

void sim_unfollow_commands(int (*run)(const char *line)) {
  std::lock_guard<std::mutex> l(g_lock);
  for (int i = 0; i < g_nfiles; i++) {
    if (files()[i].run != run) continue;
    files()[i] = files()[--g_nfiles];
    files()[g_nfiles] = Follower();
    return;
  }
}

int sim_command_words(const char *line, char *buf, size_t size, char **words, int max) {
  snprintf(buf, size, "%s", line ? line : "");
  int n = 0;
  char *save = nullptr;
  for (char *t = strtok_r(buf, " \t\r\n", &save); t; t = strtok_r(nullptr, " \t\r\n", &save)) {
    if (n == max) return -1;
    words[n++] = t;
  }
  return n && words[0][0] == '#' ? 0 : n;
}
