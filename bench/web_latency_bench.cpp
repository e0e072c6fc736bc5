// Page latency of the web server under stream load: the real program in a
// fresh root, 30 requests for /index.htm while nothing else is asked, then
// 30 more while 20 progressive HTTP stream clients read both channels and
// 5 HLS clients wait for segments that are not cut yet. Reported: the
// median and the longest time of each set in milliseconds (`idle_median_ms`,
// `idle_max_ms`, `loaded_median_ms`, `loaded_max_ms`) and `median_vs_idle`,
// how many times longer the loaded median is. Run it in its own network
// namespace (unshare -n), as the integration tests run the program.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"

extern char **environ;

namespace {

const int kPages = 30;
const int kStreamClients = 20;
const int kHlsClients = 5;

double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int connect_port(uint16_t port) {
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
long get(uint16_t port, const std::string &path, int timeout_ms) {
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

// A client that reads a reply for as long as it runs, then asks again.
void stream_client(uint16_t port, const std::string &path, const std::atomic<bool> &stop) {
  while (!stop) {
    int fd = connect_port(port);
    if (fd < 0) {
      usleep(100000);
      continue;
    }
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    (void)!send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    char buf[65536];
    while (!stop) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 200) < 0) break;
      if (p.revents && recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
    close(fd);
  }
}

struct Box {
  std::string root;
  pid_t pid = -1;
  uint16_t port = 0;
};

bool start_box(Box &b) {
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

void stop_box(Box &b) {
  if (b.pid > 0) {
    kill(b.pid, SIGINT);
    int st;
    for (int i = 0; i < 300 && waitpid(b.pid, &st, WNOHANG) == 0; i++) usleep(100000);
    kill(b.pid, SIGKILL);
    waitpid(b.pid, &st, 0);
  }
  if (!b.root.empty()) system(("rm -rf '" + b.root + "'").c_str());
}

// The page times of kPages requests, sorted.
std::vector<double> page_times(uint16_t port) {
  std::vector<double> t;
  for (int i = 0; i < kPages; i++) {
    double start = now_ms();
    get(port, "/index.htm", 30000);
    t.push_back(now_ms() - start);
    usleep(20000);
  }
  std::sort(t.begin(), t.end());
  return t;
}

void BM_PageLatencyUnderStreamLoad(benchmark::State &state) {
  Box box;
  if (!start_box(box)) {
    stop_box(box);
    state.SkipWithError("the program did not start");
    return;
  }
  std::vector<double> idle, loaded;
  for (auto _ : state) {
    idle = page_times(box.port);
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    static const char *const rows[] = {"/streamA.ts", "/streamB.h264", "/streamA.flv",
                                       "/streamB_vid.ts", "/streamA.h264"};
    for (int i = 0; i < kStreamClients; i++) {
      clients.emplace_back([&, i] { stream_client(box.port, rows[i % 5], stop); });
    }
    for (int i = 0; i < kHlsClients; i++) {
      clients.emplace_back([&, i] {
        // Segments the segmenter has not cut yet: each waits for one.
        std::string path = std::string("/stream") + (i % 2 ? 'B' : 'A') + std::to_string(1 + i % 4) + ".ts";
        stream_client(box.port, path, stop);
      });
    }
    sleep(2);
    loaded = page_times(box.port);
    stop = true;
    for (std::thread &t : clients) t.join();
  }
  stop_box(box);
  state.counters["idle_median_ms"] = idle[kPages / 2];
  state.counters["idle_max_ms"] = idle.back();
  state.counters["loaded_median_ms"] = loaded[kPages / 2];
  state.counters["loaded_max_ms"] = loaded.back();
  state.counters["median_vs_idle"] = loaded[kPages / 2] / (idle[kPages / 2] > 0 ? idle[kPages / 2] : 1);
}
BENCHMARK(BM_PageLatencyUnderStreamLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
