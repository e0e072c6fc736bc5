// The one way the program runs other programs. Commands are argument vectors:
// no text ever reaches a shell. On the host, programs that would change the
// machine (reboot, halt, mount, umount, mkfs.vfat, getty, hwclock, hostname,
// network daemons, the Wi-Fi scripts) are never run: they are appended to
// <root>/run/exec.log and answered by a simulation. sync, touch, rm, tar,
// unzip and the like run for real with their absolute paths moved into the
// root. Every command, run or simulated, is appended to exec.log.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Runs argv (NULL-terminated) and waits. Returns the exit status (0..255),
// or -1 when it could not be started.
int run_argv(const char *const argv[]);
// As run_argv, with standard output and error captured into out (NUL
// terminated, cut to size).
int run_argv_output(const char *const argv[], char *out, size_t size);
// Splits a fixed command text on blanks (no quoting, no shell) and runs it:
// run_command("sync"), run_command("touch /rebooting").
int run_command(const char *cmd);
// Appends one line to exec.log for a request the host answers itself (a
// terminal made the system console).
void runner_log_line(const char *line);
// Whether commands are appended to exec.log at all (at start they are). A
// fuzz harness turns it off: its millions of inputs would fill the file.
void runner_set_exec_log(int on);
// Starts argv without waiting for it (a detached daemon). pid or -1. On the
// host a network daemon (ntpd, telnetd, hostapd, udhcpd, dnsd, ping) is only
// entered in <root>/run/sim/daemons with a pid above the kernel's range;
// "pidof" and "killall" answer from that table, "hostname NAME" writes
// <root>/run/sim/hostname and "lsmod" prints <root>/run/sim/lsmod.
pid_t spawn_detached(const char *const argv[]);
// kill() for any pid the runner gave out: a simulated daemon leaves the
// table on any signal but 0 (SIGTERM aside while it hangs).
int runner_kill(pid_t pid, int sig);
// Waits up to timeout_ms for the process to be gone: 0, or -1 when it is
// still there.
int runner_wait(pid_t pid, int timeout_ms);
// Tests: the simulated daemon ignores SIGTERM while hung; the table emptied.
void runner_sim_hang(pid_t pid, int hung);
void runner_sim_reset(void);

// A simulation answers a command that is not run on the host: it may write
// text into out and returns the exit status. Later subsystems register theirs
// (mount, mkfs.vfat, df...). name is the program's base name; a program with
// a registered simulation is never run on the host.
typedef int (*RunnerSimFn)(const char *const argv[], char *out, size_t size, void *arg);
int runner_register_sim(const char *name, RunnerSimFn fn, void *arg);
