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
