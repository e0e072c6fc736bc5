#include "test_root.h"
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <cstring>
#include <dirent.h>
#include <unistd.h>
#include "platform/host_root.h"
#include "platform/root_layout.h"

static std::string root;

// The root goes with the process, unless M7391_KEEP_ROOT asks to keep it.
static void remove_root(void) {
  if (root.empty() || getenv("M7391_KEEP_ROOT")) return;
  nftw(root.c_str(),
       [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

const std::string &test_root(void) {
  if (root.empty()) {
    char tmpl[] = "/tmp/m7391-test-XXXXXX";
    if (!mkdtemp(tmpl)) { perror("mkdtemp"); abort(); }
    root = tmpl;
    atexit(remove_root);
    setenv("M7391_ROOT", root.c_str(), 1);
    root_set(root.c_str());
    if (root_layout(root.c_str(), M7391_SOURCE_DIR "/www", 123456) != 0 || root_init() != 0) {
      fprintf(stderr, "test_root: cannot lay out %s\n", root.c_str());
      abort();
    }
  }
  return root;
}

int test_open_fds(void) {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d)) n++;
    closedir(d);
  }
  return n;
}

std::string test_scratch_dir(const char *tag) {
  static int n;
  test_root();
  char path[256];
  snprintf(path, sizeof path, "/tmp/%s.%d.%d", tag, (int)getpid(), n++);
  sys_mkdirs(path, 0755);
  return path;
}

namespace {

// Every entry at and below host path p, parents before children.
void walk(const std::string &p, std::vector<std::string> *out) {
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return;
  out->push_back(p);
  if (!S_ISDIR(st.st_mode)) return;
  std::vector<std::string> names;
  if (DIR *d = opendir(p.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  for (const std::string &n : names) walk(p + "/" + n, out);
}

std::string file_bytes(const std::string &p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace

RootKeep::RootKeep(std::vector<std::string> board_paths) {
  test_root();
  for (const std::string &b : board_paths) {
    std::string host = root + b;
    paths_.push_back(host);
    std::vector<std::string> all;
    walk(host, &all);
    for (const std::string &p : all) {
      struct stat st;
      if (lstat(p.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        saved_[p] = {'d', ""};
      } else if (S_ISLNK(st.st_mode)) {
        char t[4096];
        ssize_t n = readlink(p.c_str(), t, sizeof t);
        saved_[p] = {'l', std::string(t, n > 0 ? size_t(n) : 0)};
      } else if (S_ISREG(st.st_mode)) {
        saved_[p] = {'f', file_bytes(p)};
      }
    }
  }
}

RootKeep::~RootKeep() {
  for (const std::string &host : paths_) {
    std::vector<std::string> all;
    walk(host, &all);
    // What was not there goes, children first.
    for (auto i = all.rbegin(); i != all.rend(); ++i) {
      auto s = saved_.find(*i);
      struct stat st;
      if (lstat(i->c_str(), &st) != 0) continue;
      char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
      if (s == saved_.end() || s->second.type != type) {
        if (type == 'd') rmdir(i->c_str());
        else unlink(i->c_str());
      }
    }
  }
  // What was there comes back (a map orders parents before children).
  for (const auto &[p, e] : saved_) {
    if (e.type == 'd') {
      mkdir(p.c_str(), 0755);
    } else if (e.type == 'l') {
      char t[4096];
      ssize_t n = readlink(p.c_str(), t, sizeof t);
      if (n < 0 || std::string(t, size_t(n)) != e.content) {
        unlink(p.c_str());
        if (symlink(e.content.c_str(), p.c_str()) != 0) perror(p.c_str());
      }
    } else if (file_bytes(p) != e.content || access(p.c_str(), F_OK) != 0) {
      std::ofstream f(p, std::ios::binary | std::ios::trunc);
      f.write(e.content.data(), std::streamsize(e.content.size()));
    }
  }
}

namespace {
// Lay the root out before any test (and before gtest's discovery) runs.
struct RootAtStart { RootAtStart() { test_root(); } } root_at_start;
}
