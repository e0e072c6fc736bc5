#include "core/crash.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include "core/board_io.h"
#include "core/global.h"
#include "core/log.h"
#include "core/startup.h"

namespace {

constexpr int kFrames = 21;           // frame 0 is the handler itself
constexpr int kExitActionsLimitS = 20;

// backtrace_symbols_fd writes a frame's symbol text into this pipe, from
// which the handler reads it back: the text then goes wherever the report
// goes, with no allocation.
int g_sym_pipe[2] = {-1, -1};
std::atomic_flag g_sym_busy = ATOMIC_FLAG_INIT;

void put_char(char *buf, size_t size, size_t *n, char c) {
  if (*n + 1 < size) buf[*n] = c;
  (*n)++;
}

void put_number(char *buf, size_t size, size_t *n, unsigned long long v, unsigned base,
                bool negative, int width, char pad) {
  char digits[24];
  int k = 0;
  do {
    digits[k++] = "0123456789abcdef"[v % base];
    v /= base;
  } while (v);
  if (negative) {
    if (pad == '0') put_char(buf, size, n, '-');
    width--;
  }
  for (int i = k; i < width; i++) put_char(buf, size, n, pad);
  if (negative && pad != '0') put_char(buf, size, n, '-');
  while (k) put_char(buf, size, n, digits[--k]);
}

size_t crash_vformat(char *buf, size_t size, const char *fmt, va_list ap) {
  if (size == 0) return 0;
  size_t n = 0;
  for (const char *p = fmt; *p; p++) {
    if (*p != '%') {
      put_char(buf, size, &n, *p);
      continue;
    }
    p++;
    char pad = ' ';
    if (*p == '0') {
      pad = '0';
      p++;
    }
    int width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    bool is_long = false;
    while (*p == 'l') {
      is_long = true;
      p++;
    }
    switch (*p) {
      case 's': {
        const char *s = va_arg(ap, const char *);
        if (!s) s = "(null)";
        for (; *s; s++) put_char(buf, size, &n, *s);
        break;
      }
      case 'c': put_char(buf, size, &n, (char)va_arg(ap, int)); break;
      case 'd': {
        long long v = is_long ? va_arg(ap, long) : va_arg(ap, int);
        put_number(buf, size, &n, v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v, 10,
                   v < 0, width, pad);
        break;
      }
      case 'u':
      case 'x': {
        unsigned long long v = is_long ? va_arg(ap, unsigned long) : va_arg(ap, unsigned);
        put_number(buf, size, &n, v, *p == 'u' ? 10 : 16, false, width, pad);
        break;
      }
      case 'p':
        put_char(buf, size, &n, '0');
        put_char(buf, size, &n, 'x');
        put_number(buf, size, &n, (uintptr_t)va_arg(ap, void *), 16, false, 0, ' ');
        break;
      case '%': put_char(buf, size, &n, '%'); break;
      default: goto done;  // unknown: the text ends here
    }
  }
done:
  buf[n < size ? n : size - 1] = 0;
  return n < size ? n : size - 1;
}

// One line of the report: standard error always; the ring and the UDP log
// only when no other thread (or this one, interrupted) holds them.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report(const char *fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  size_t n = crash_vformat(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n == 0) return;
  for (size_t done = 0; done < n;) {
    ssize_t w = write(2, line + done, n - done);
    if (w <= 0) break;
    done += (size_t)w;
  }
  log_it_try(line, n);
  log_udp_try(line, n);
}

// The symbol text of one frame ("" when the pipe is in use by another
// crashing thread).
void frame_symbol(void *frame, char *out, size_t size) {
  out[0] = 0;
  if (g_sym_pipe[0] < 0 || g_sym_busy.test_and_set()) return;
  char drop[256];
  while (read(g_sym_pipe[0], drop, sizeof drop) > 0) {
  }
  backtrace_symbols_fd(&frame, 1, g_sym_pipe[1]);
  ssize_t n = read(g_sym_pipe[0], out, size - 1);
  g_sym_busy.clear();
  if (n <= 0) return;
  out[n] = 0;
  char *nl = strchr(out, '\n');
  if (nl) *nl = 0;
}

void print_frames(int from) {
  void *frames[kFrames];
  int n = backtrace(frames, kFrames);
  for (int i = from; i < n && i - from < 20; i++) {
    char sym[200];
    frame_symbol(frames[i], sym, sizeof sym);
    report("%d: %p %s\n", i, frames[i], sym);
  }
}

const char *signal_title(int sig) {
  switch (sig) {
    case SIGSEGV: return "Segmentation fault";
    case SIGBUS: return "Bus error";
    case SIGABRT: return "Aborted";
    case SIGFPE: return "Floating point exception";
    default: return "other\n";
  }
}

// Ends the process by the signal itself (blocked while its handler runs).
void die(int sig) {
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);
}

void crash_signal_handler(int sig, siginfo_t *si, void *ctx) {
  report("%s: %s thread (%s)\n", signal_title(sig), getThreadName(), get_error_context());
  const ucontext_t *uc = (const ucontext_t *)ctx;
#if defined(__x86_64__)
  const greg_t *g = uc->uc_mcontext.gregs;
  report("trap_no=%lx err=%lx oldmask=%lx\n", (unsigned long)g[REG_TRAPNO],
         (unsigned long)g[REG_ERR], (unsigned long)uc->uc_sigmask.__val[0]);
  report("rax=%08lx rbx=%08lx rcx=%08lx rdx=%08lx rsi=%08lx rdi=%08lx\n",
         (unsigned long)g[REG_RAX], (unsigned long)g[REG_RBX], (unsigned long)g[REG_RCX],
         (unsigned long)g[REG_RDX], (unsigned long)g[REG_RSI], (unsigned long)g[REG_RDI]);
  report("rbp=%08lx rsp=%08lx r8=%08lx r9=%08lx r10=%08lx r11=%08lx\n",
         (unsigned long)g[REG_RBP], (unsigned long)g[REG_RSP], (unsigned long)g[REG_R8],
         (unsigned long)g[REG_R9], (unsigned long)g[REG_R10], (unsigned long)g[REG_R11]);
  report("rip=%08lx eflags=%08lx fault=%08lx\n", (unsigned long)g[REG_RIP],
         (unsigned long)g[REG_EFL], (unsigned long)si->si_addr);
#else
  (void)uc;
#endif
  report("si_addr=%p si_code=%08x\n\n\n\n", si->si_addr, (unsigned)si->si_code);
  print_frames(1);
  // Time for the report to leave by the network; not while quitting, when
  // the fault is one of the teardown and nothing waits for it.
  if (get_exit_code_unlocked() == 0) sleep(10);
  die(sig);
}

// The exit actions run programs, which no signal handler may do: a child
// process runs them, and is waited for a limited time only, so that a lock
// held at the fault can at worst cost the actions, never hang the box.
void run_exit_actions_bounded(void) {
  pid_t pid = _Fork();
  if (pid == 0) {
    exit_actions();
    _exit(0);
  }
  if (pid < 0) return;
  struct timespec tick = {0, 100 * 1000 * 1000};
  for (int i = 0; i < kExitActionsLimitS * 10; i++) {
    int st;
    if (waitpid(pid, &st, WNOHANG) != 0) return;
    nanosleep(&tick, nullptr);
  }
  report("%s: exit actions did not finish\n", "bus_error_handler");
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void bus_error_handler(int sig, siginfo_t *, void *) {
  gpio_drive(35, 1);
  report("Segfault Handler: %s thread\n", getThreadName());
  report("Backtrace:  (%s)\n", get_error_context());
  print_frames(1);
  report("%s\n", sig == SIGSEGV ? "Segmentation fault" : sig == SIGBUS ? "Bus error" : "Aborted");
  report("last error: %s\n", get_last_error());
  run_exit_actions_bounded();
  die(sig);
}

}  // namespace

size_t crash_format(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  size_t n = crash_vformat(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

void crash_handlers_install(void) {
  if (g_sym_pipe[0] < 0 && pipe2(g_sym_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
    g_sym_pipe[0] = g_sym_pipe[1] = -1;
  // The first backtrace loads the unwinder (allocating): done here, not in
  // a handler.
  void *warm[2];
  backtrace(warm, 2);
  struct sigaction sa = {};
  sa.sa_flags = SA_SIGINFO;
  sa.sa_sigaction = crash_signal_handler;
  sigaction(SIGSEGV, &sa, nullptr);
  sigaction(SIGFPE, &sa, nullptr);
  sa.sa_sigaction = bus_error_handler;
  sigaction(SIGBUS, &sa, nullptr);
}
