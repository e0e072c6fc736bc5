// What the benchmarks that load a server with many clients share: CPU and
// resident memory of a thread, a process or this process, a free loopback
// port, the real program started in a fresh root, HTTP gets and RTSP
// clients that play a session over TCP.
#pragma once
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

// CPU seconds of a CPU-time clock (a thread's, from pthread_getcpuclockid).
inline double cpu_of_clock(clockid_t c) {
  struct timespec ts;
  clock_gettime(c, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU seconds (user and system) of process pid; 0 when it is gone.
inline double cpu_of_process(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return 0;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  const char *p = strrchr(buf, ')');
  unsigned long utime = 0, stime = 0;
  // Fields after the command: state ppid ... utime (14) stime (15).
  if (p) sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

inline double cpu_of_self(void) {
  struct rusage r;
  getrusage(RUSAGE_SELF, &r);
  return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

// Resident memory of process pid (0: this one) in KiB; 0 when it is gone.
inline long rss_kib_of_process(pid_t pid) {
  std::string path = pid ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status";
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return 0;
  char line[256];
  long kib = 0;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  fclose(f);
  return kib;
}

inline uint16_t free_port(void) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, (struct sockaddr *)&a, sizeof a);
  socklen_t l = sizeof a;
  getsockname(s, (struct sockaddr *)&a, &l);
  close(s);
  return ntohs(a.sin_port);
}

inline int connect_port(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One whole GET; its bytes, -1 when the connection failed or timed out.
inline long get(uint16_t port, const std::string &path, int timeout_ms) {
  int fd = connect_port(port);
  if (fd < 0) return -1;
  std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) {
    close(fd);
    return -1;
  }
  long total = 0;
  char buf[65536];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
      total = -1;
      break;
    }
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    total += n;
  }
  close(fd);
  return total;
}

struct Box {
  std::string root;
  pid_t pid = -1;
  uint16_t port = 0;
};

inline bool start_box(Box &b) {
  std::string src = __FILE__;
  src = src.substr(0, src.rfind("/bench/"));
  char exe[1024];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return false;
  exe[n] = 0;
  std::string build = std::string(exe).substr(0, std::string(exe).rfind("/bench/"));
  char tmpl[] = "/tmp/m7391-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  b.root = tmpl;
  std::string mk = build + "/tools/mkroot '" + b.root + "' '" + src + "/www' >/dev/null";
  if (system(mk.c_str()) != 0) return false;
  b.port = free_port();
  setenv("M7391_ROOT", b.root.c_str(), 1);
  setenv("M7391_HTTP_PORT", std::to_string(b.port).c_str(), 1);
  std::string bin = build + "/src/m7391";
  std::string log = b.root + "/run/bench.log";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  char *argv[] = {(char *)bin.c_str(), nullptr};
  int rc = posix_spawn(&b.pid, bin.c_str(), &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  for (int i = 0; i < 300; i++) {
    if (get(b.port, "/index.htm", 2000) > 0) return true;
    usleep(100000);
  }
  return false;
}

inline void stop_box(Box &b) {
  if (b.pid > 0) {
    kill(b.pid, SIGINT);
    int st;
    for (int i = 0; i < 300 && waitpid(b.pid, &st, WNOHANG) == 0; i++) usleep(100000);
    kill(b.pid, SIGKILL);
    waitpid(b.pid, &st, 0);
  }
  if (!b.root.empty()) system(("rm -rf '" + b.root + "'").c_str());
}

// ---- RTSP clients ----

inline bool read_exact(int fd, char *p, size_t n) {
  while (n) {
    ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= (size_t)k;
  }
  return true;
}

// One response; interleaved frames before it (a server may send data as
// soon as a stream plays) are skipped.
inline std::string read_response(int fd) {
  std::string r;
  char c;
  while (r.size() < 65536 && recv(fd, &c, 1, 0) == 1) {
    if (r.empty() && c == '$') {
      char h[3];
      std::vector<char> skip;
      if (!read_exact(fd, h, 3)) break;
      skip.resize((size_t)(uint8_t)h[1] << 8 | (uint8_t)h[2]);
      if (!read_exact(fd, skip.data(), skip.size())) break;
      continue;
    }
    r += c;
    size_t end = r.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    size_t cl = 0, p = r.find("Content-Length:");
    if (p != std::string::npos) cl = strtoul(r.c_str() + p + 15, nullptr, 10);
    std::string body(cl, 0);
    size_t got = 0;
    while (got < cl) {
      ssize_t n = recv(fd, &body[got], cl - got, 0);
      if (n <= 0) break;
      got += (size_t)n;
    }
    return r + body;
  }
  return r;
}

inline std::string header(const std::string &r, const char *name) {
  std::string key = std::string("\r\n") + name + ":";
  size_t p = r.find(key);
  if (p == std::string::npos) return "";
  p += key.size();
  while (r[p] == ' ') p++;
  return r.substr(p, r.find("\r\n", p) - p);
}

// A client that described, set up (TCP interleaved) and plays url; -1 on
// failure. *keepalive: the request that keeps its session alive.
inline int play_client(uint16_t port, const std::string &url, std::string *keepalive = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, (struct sockaddr *)&a, sizeof a) < 0) {
    close(fd);
    return -1;
  }
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto req = [&](const std::string &s) {
    send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    return read_response(fd);
  };
  std::string r = req("DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
  size_t m = r.find("m=video");
  size_t c = m == std::string::npos ? m : r.find("a=control:", m);
  if (c == std::string::npos) {
    fprintf(stderr, "%s: DESCRIBE refused: %s\n", url.c_str(), r.c_str());
    close(fd);
    return -1;
  }
  std::string control = r.substr(c + 10, r.find("\r\n", c) - c - 10);
  std::string base = header(r, "Content-Base");
  if (base.empty()) base = url + "/";
  if (base.back() != '/') base += '/';
  std::string track = control.compare(0, 7, "rtsp://") == 0 ? control : base + control;
  r = req("SETUP " + track + " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  std::string session = header(r, "Session");
  session = session.substr(0, session.find(';'));
  r = req("PLAY " + base + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\nRange: npt=0.000-\r\n\r\n");
  if (r.compare(0, 12, "RTSP/1.0 200") != 0) {
    fprintf(stderr, "%s: PLAY refused: %s\n", url.c_str(), r.c_str());
    close(fd);
    return -1;
  }
  if (keepalive) *keepalive = "GET_PARAMETER " + base + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + session + "\r\n\r\n";
  return fd;
}

