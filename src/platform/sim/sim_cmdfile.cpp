// The command files through which scripts drive the simulated devices of a
// running program (<root>/run/sim_capture.cmd, sim_display.cmd,
// sim_board.cmd...): one thread follows them all and runs every line as it is
// appended. A file truncated, removed, or written anew with as many bytes
// as before is read again from its start.
//
// Two copies of the program may share a root for a moment: a new one starts
// (and plugs its devices) while the one it replaces is still quitting. The
// root's devices belong to the newest copy: <root>/run/sim/commands.owner
// names it, and a copy that finds another live copy named there runs no
// line of any command file (lines written meanwhile are the other copy's).
// The file is locked for every pass over the command files (shared) and for
// a claim (exclusive), so a claim never lands in the middle of an older
// copy's pass.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char *const kOwnerFile = "/run/sim/commands.owner";
// The root this copy claimed (under g_lock). Plain storage: the first
// claim may come from another file's static initialiser.
char g_claimed_root[PATH_MAX];
bool g_deferring;             // another copy owns the root

void sleep_10ms(void) {
  struct timespec ts = {0, 10000000};
  nanosleep(&ts, nullptr);
}

// The owner file locked (how: LOCK_SH or LOCK_EX), or -1 when it cannot be
// opened. A copy stopped in the middle of a pass (a debugger) holds another
// one up for at most 2 s; then the lock is done without.
int owner_open(int how, bool create) {
  int fd = sys_open(kOwnerFile, (create ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0644);
  for (int i = 0; fd >= 0 && flock(fd, how | LOCK_NB) != 0 && errno == EWOULDBLOCK && i < 200; i++) sleep_10ms();
  return fd;
}

// The copy the file names; 0 for none.
pid_t owner_of(int fd) {
  char buf[24];
  ssize_t n = fd >= 0 ? pread(fd, buf, sizeof buf - 1, 0) : -1;
  if (n <= 0) return 0;
  buf[n] = 0;
  long pid = strtol(buf, nullptr, 10);
  return pid > 0 && pid <= INT_MAX ? (pid_t)pid : 0;
}

bool alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// This copy drives the root's devices from now on: always (expected < 0,
// a copy that starts), or when the file still names expected (a copy that
// has gone). False when another copy claimed it first.
bool claim_locked(pid_t expected) {
  snprintf(g_claimed_root, sizeof g_claimed_root, "%s", root_dir());
  int fd = owner_open(LOCK_EX, true);
  if (fd < 0) return true;
  bool ours = expected < 0 || owner_of(fd) == expected;
  if (ours) {
    char buf[24];
    int n = snprintf(buf, sizeof buf, "%d\n", (int)getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, buf, (size_t)n, 0) != n)
      fprintf(stderr, "sim: %s: %s\n", kOwnerFile, strerror(errno));
  }
  close(fd);
  return ours;
}

// A pass over the command files: the owner file stays locked (shared)
// until it ends.
struct Pass {
  int fd;
  pid_t gone;   // the owner found gone, whose place this copy takes
};

// Whether the lines of the pass run here (else they are taken as done).
bool pass_begin_locked(Pass *p) {
  p->fd = owner_open(LOCK_SH, false);
  p->gone = 0;
  pid_t owner = owner_of(p->fd);
  if (owner == 0 || owner == getpid()) return true;
  if (alive(owner)) {
    if (!g_deferring)
      fprintf(stderr, "sim: copy %d drives the devices of %s now: its command files are left to it\n", (int)owner,
              root_dir());
    g_deferring = true;
    return false;
  }
  // The copy that owned the root has gone: this one takes the files over
  // from what they hold now, once this pass has taken that as done.
  p->gone = owner;
  return false;
}

void pass_end_locked(Pass *p) {
  if (p->fd >= 0) close(p->fd);
  if (p->gone && claim_locked(p->gone)) {
    fprintf(stderr, "sim: copy %d has gone: the command files of %s are followed here again\n", (int)p->gone,
            root_dir());
    g_deferring = false;
  }
}

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
    Pass pass;
    bool ours = pass_begin_locked(&pass);
    for (int i = 0; i < g_nfiles; i++) follow_one(files()[i], !ours);
    pass_end_locked(&pass);
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
  // A copy claims the root with the first file it follows there.
  if (strcmp(g_claimed_root, root_dir()) != 0) claim_locked(-1);
  // What the file holds already applies before the caller goes on (or,
  // without replay, is passed over).
  Pass pass;
  bool ours = pass_begin_locked(&pass);
  follow_one(w, !replay || !ours);
  pass_end_locked(&pass);
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
