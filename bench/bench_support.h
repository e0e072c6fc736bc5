// What the benchmarks that load a server with many clients share: CPU and
// resident memory of a thread, a process or this process, and a free
// loopback port.
#pragma once
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

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
