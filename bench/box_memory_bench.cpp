// Resident memory of the real program under client churn, by owner: 20
// RTSP clients (TCP interleaved, channel A and B) and 20 HTTP stream clients
// (both channels, TS, FLV and raw rows) that each play for 1 to 6 s, leave
// and come again, for M7391_BENCH_SECONDS (default 600; the target is an
// hour). Every 10 s a line on stderr gives the resident KiB of each owner:
// `rings` (the stream rings' contiguous blocks), `cmem` (the rest of the
// contiguous-memory stand-in: capture, codec and mux buffers), `code` (files
// mapped: the program and its libraries), `stacks` (thread stacks), `heap`
// (the rest of anonymous memory: malloc's heaps and its mmapped blocks, which
// hold the codec engine's pictures and the servers' connections), then
// malloc's own figures and the descriptor and thread counts. Reported: the
// resident KiB after the first tenth (`rss_warm_kib`), at half time and at
// the end, the growth over the second half in percent (`growth_pct`, the
// target: within 1) and in KiB per owner (`<owner>_growth_kib`), and the
// descriptors and threads left over from the start (`fds_left`,
// `threads_left`). Run it in its own network namespace (unshare -n).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "media/stream_ids.h"

namespace {

const int kRtspClients = 20, kHttpClients = 20;
const int kSampleSeconds = 10;
const char *const kOwners[] = {"rings", "cmem", "code", "stacks", "heap"};

struct Sample {
  double t = 0;
  std::map<std::string, long> kib;   // by owner, and "rss"
  long malloc_heap = 0, malloc_mmapped = 0, malloc_used = 0;   // KiB
  int fds = 0, threads = 0;
};

int count_entries(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  int n = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') n++;
  closedir(d);
  return n;
}

// Asks the program for its memory report (blocks in use and malloc's
// figures); false when none came within 10 s.
bool memory_report(const Box &b, Sample &s) {
  std::string path = b.root + "/run/sim/memory";
  struct stat st0 = {};
  stat(path.c_str(), &st0);
  FILE *cmd = fopen((b.root + "/run/sim_board.cmd").c_str(), "a");
  if (!cmd) return false;
  fputs("memory\n", cmd);
  fclose(cmd);
  for (int i = 0; i < 1000; i++) {
    struct stat st = {};
    if (stat(path.c_str(), &st) == 0 && (st.st_ino != st0.st_ino || st.st_mtim.tv_nsec != st0.st_mtim.tv_nsec ||
                                         st.st_mtim.tv_sec != st0.st_mtim.tv_sec))
      break;
    usleep(10000);
  }
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return false;
  std::vector<size_t> rings;
  for (uint32_t i = 0; i < STREAM_ID_COUNT; i++)
    if (stream_rings[i].bytes) rings.push_back((stream_rings[i].bytes + 31u) & ~31u);
  char line[256];
  unsigned phys;
  size_t size, resident, heap, mmapped, used;
  while (fgets(line, sizeof line, f)) {
    if (sscanf(line, "arena %zu %zu", &size, &resident) == 2) {
      s.kib["cmem"] = (long)(resident >> 10);
    } else if (sscanf(line, "block %u %zu %zu", &phys, &size, &resident) == 3) {
      bool ring = std::find(rings.begin(), rings.end(), size) != rings.end();
      if (ring) s.kib["rings"] += (long)(resident >> 10);
    } else if (sscanf(line, "malloc %zu %zu %zu", &heap, &mmapped, &used) == 3) {
      s.malloc_heap = (long)(heap >> 10);
      s.malloc_mmapped = (long)(mmapped >> 10);
      s.malloc_used = (long)(used >> 10);
    }
  }
  fclose(f);
  return true;
}

// The program's mappings by owner, from /proc/PID/smaps: files, stacks (a
// writable mapping right above a one-page guard, or [stack]) and the rest
// of anonymous memory, which holds the contiguous arena too.
void smaps_owners(pid_t pid, Sample &s) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/smaps").c_str(), "r");
  if (!f) return;
  char line[512];
  std::string owner;
  unsigned long lo, hi, prev_hi = 0;
  bool prev_guard = false;
  while (fgets(line, sizeof line, f)) {
    char perms[8], path[256] = "";
    unsigned long off, inode;
    char dev[16];
    if (sscanf(line, "%lx-%lx %7s %lx %15s %lu %255s", &lo, &hi, perms, &off, dev, &inode, path) >= 6) {
      bool guard = perms[0] == '-' && perms[1] == '-' && hi - lo == 4096;
      if (inode) owner = "code";
      else if (!strcmp(path, "[stack]") || (prev_guard && prev_hi == lo)) owner = "stacks";
      else owner = "heap";
      prev_guard = guard;
      prev_hi = hi;
      continue;
    }
    long kib;
    if (sscanf(line, "Rss: %ld kB", &kib) == 1) {
      s.kib[owner] += kib;
      s.kib["rss"] += kib;
    }
  }
  fclose(f);
}

Sample sample(const Box &b, double t) {
  Sample s;
  s.t = t;
  smaps_owners(b.pid, s);
  memory_report(b, s);
  // The arena's resident pages are the rings' and the other blocks'.
  s.kib["heap"] -= s.kib["cmem"];
  s.kib["cmem"] -= s.kib["rings"];
  s.fds = count_entries("/proc/" + std::to_string(b.pid) + "/fd");
  s.threads = count_entries("/proc/" + std::to_string(b.pid) + "/task");
  return s;
}

void log_sample(const Sample &s) {
  fprintf(stderr, "t=%5.0fs rss=%ld", s.t, s.kib.count("rss") ? s.kib.at("rss") : 0);
  for (const char *o : kOwners) fprintf(stderr, " %s=%ld", o, s.kib.count(o) ? s.kib.at(o) : 0);
  fprintf(stderr, " malloc_heap=%ld malloc_mmapped=%ld malloc_used=%ld fds=%d threads=%d\n", s.malloc_heap,
          s.malloc_mmapped, s.malloc_used, s.fds, s.threads);
}

// One churning client: plays, reads for 1 to 6 s, leaves, again.
void churn(const Box &b, int i, const std::atomic<bool> &stop) {
  static const char *const rtsp[] = {"/streamA.h264", "/streamB.h264", "/streamA.ts"};
  static const char *const http[] = {"/streamA.ts", "/streamB.h264", "/streamA.flv", "/streamB_vid.ts",
                                     "/streamA.h264"};
  std::mt19937 rng((unsigned)i);
  std::vector<char> buf(1 << 16);
  while (!stop) {
    int fd;
    if (i < kRtspClients) {
      fd = play_client(554, std::string("rtsp://127.0.0.1:554") + rtsp[i % 3]);
    } else {
      fd = connect_port(b.port);
      std::string req = std::string("GET ") + http[i % 5] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
      if (fd >= 0) (void)!send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    }
    if (fd < 0) {
      usleep(200000);
      continue;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000 + rng() % 5000);
    while (!stop && std::chrono::steady_clock::now() < end) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 200) < 0) break;
      if (p.revents && recv(fd, buf.data(), buf.size(), 0) <= 0) break;
    }
    close(fd);
  }
}

void BM_ChurnMemory(benchmark::State &state) {
  const char *secs_env = getenv("M7391_BENCH_SECONDS");
  double seconds = secs_env ? atof(secs_env) : 600;
  Box box;
  if (!start_box(box)) {
    stop_box(box);
    state.SkipWithError("the program did not start");
    return;
  }
  std::vector<Sample> samples;
  for (auto _ : state) {
    // A first round of clients starts what stays (stream threads, pools),
    // so that what is left at the end is told from it.
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kRtspClients + kHttpClients; i++)
      clients.emplace_back([&, i] { churn(box, i, stop); });
    sleep(20);
    stop = true;
    for (std::thread &t : clients) t.join();
    clients.clear();
    stop = false;
    sleep(3);
    Sample first = sample(box, 0);
    log_sample(first);
    for (int i = 0; i < kRtspClients + kHttpClients; i++)
      clients.emplace_back([&, i] { churn(box, i, stop); });
    auto t0 = std::chrono::steady_clock::now();
    for (int k = 1; k * kSampleSeconds <= seconds; k++) {
      std::this_thread::sleep_until(t0 + std::chrono::seconds(k * kSampleSeconds));
      samples.push_back(sample(box, k * kSampleSeconds));
      log_sample(samples.back());
    }
    stop = true;
    for (std::thread &t : clients) t.join();
    sleep(3);   // the last clients' connections closed
    Sample last = sample(box, seconds + 3);
    log_sample(last);
    if (samples.size() < 4) break;
    const Sample &warm = samples[samples.size() / 10], &half = samples[samples.size() / 2], &end = samples.back();
    state.counters["rss_warm_kib"] = warm.kib.at("rss");
    state.counters["rss_half_kib"] = half.kib.at("rss");
    state.counters["rss_end_kib"] = end.kib.at("rss");
    state.counters["growth_pct"] = 100.0 * (end.kib.at("rss") - half.kib.at("rss")) / half.kib.at("rss");
    for (const char *o : kOwners) {
      auto kib = [o](const Sample &s) { return s.kib.count(o) ? s.kib.at(o) : 0L; };
      state.counters[std::string(o) + "_growth_kib"] = kib(end) - kib(half);
    }
    state.counters["malloc_used_growth_kib"] = end.malloc_used - half.malloc_used;
    state.counters["fds_left"] = last.fds - first.fds;
    state.counters["threads_left"] = last.threads - first.threads;
  }
  stop_box(box);
}
BENCHMARK(BM_ChurnMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
