#include "core/net_init.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "core/firmware.h"
#include "core/global.h"
#include "core/log.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "core/startup.h"
#include "platform/host_root.h"
#include "platform/runner.h"

namespace {

pthread_mutex_t g_daemon_lock = PTHREAD_MUTEX_INITIALIZER;
pid_t g_ntpd_pid, g_telnet_pid;
// One access-point set-up at a time, so that its files are never mixed.
pthread_mutex_t g_ap_lock = PTHREAD_MUTEX_INITIALIZER;

// SIGTERM, then at most 5 s for it to go; a daemon that hangs is killed.
void stop_daemon(pid_t pid, const char *name) {
  if (pid <= 0) return;
  runner_kill(pid, SIGTERM);
  if (runner_wait(pid, 5000) == 0) return;
  log_printf("%s: pid %d did not stop, killing it\n", name, (int)pid);
  runner_kill(pid, SIGKILL);
  runner_wait(pid, 1000);
}

void set_wifi_status(int on) {
  if (core_hooks.set_wifi_status) core_hooks.set_wifi_status(on);
}

// Written whole: a reader never sees half a file.
void write_config(const char *path, const std::string &text) {
  char tmp[128];
  snprintf(tmp, sizeof tmp, "%s.new", path);
  if (sys_write_text(tmp, text.c_str()) != 0 || sys_rename(tmp, path) != 0) perror(path);
}

std::string ipv4(const uint8_t a[4]) {
  char buf[16];
  snprintf(buf, sizeof buf, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  return buf;
}

struct ApStart {
  bool ping;
  uint8_t first[4];
};

void *ap_daemons(void *arg) {
  const ApStart *s = (const ApStart *)arg;
  const char *hostapd[] = {"/usr/bin/hostapd", "/etc/hostapd.conf", nullptr};
  const char *udhcpd[] = {"/usr/sbin/udhcpd", nullptr};
  const char *dnsd[] = {"/usr/sbin/dnsd", nullptr};
  const char *const *daemons[] = {hostapd, udhcpd, dnsd};
  for (const char *const *d : daemons) {
    spawn_detached(d);
    sleep_ms(100);
  }
  if (!s->ping) return nullptr;
  for (int i = 0; i < 10; i++) {
    uint8_t a[4] = {s->first[0], s->first[1], s->first[2], (uint8_t)(s->first[3] + i)};
    std::string addr = ipv4(a);
    const char *ping[] = {"ping", "-q", addr.c_str(), nullptr};
    spawn_detached(ping);
    sleep_ms(100);
  }
  return nullptr;
}

const char kHostapdConf[] =
    "interface=%s\n%sssid=%s\n%spa=%d\n%spa_passphrase=%s\nchannel=%d\n#channel=1\n"
    "ap_max_inactivity=36000\nrsn_pairwise=CCMP\nauth_algs=1\nwpa_key_mgmt=WPA-PSK\nhw_mode=g\n"
    "#preamble=1\n#ieee80211n=1\n"
    "#wmm_enabled=1\n#wmm_ac_bk_cwmin=4\n#wmm_ac_bk_cwmax=10\n#wmm_ac_bk_aifs=7\n"
    "#wmm_ac_bk_txop_limit=0\n#wmm_ac_bk_acm=0\n#wmm_ac_be_aifs=3\n#wmm_ac_be_cwmin=4\n"
    "#wmm_ac_be_cwmax=10\n#wmm_ac_be_txop_limit=0\n#wmm_ac_be_acm=0\n#wmm_ac_vi_aifs=2\n"
    "#wmm_ac_vi_cwmin=3\n#wmm_ac_vi_cwmax=4\n#wmm_ac_vi_txop_limit=94\n#wmm_ac_vi_acm=0\n"
    "#wmm_ac_vo_aifs=2\n#wmm_ac_vo_cwmin=2\n#wmm_ac_vo_cwmax=3\n#wmm_ac_vo_txop_limit=47\n"
    "#wmm_ac_vo_acm=0\n";

}  // namespace

void ntpd_restart(ParamBlock *block) {
  pthread_mutex_lock(&g_daemon_lock);
  stop_daemon(g_ntpd_pid, "ntpd_restart");
  g_ntpd_pid = 0;
  if (block && block->network_time_server[0]) {
    char server[sizeof block->network_time_server + 1];
    snprintf(server, sizeof server, "%.*s", (int)sizeof block->network_time_server,
             block->network_time_server);
    const char *argv[] = {"/usr/sbin/ntpd", "-n", "-p", server, nullptr};
    g_ntpd_pid = spawn_detached(argv);
  }
  pthread_mutex_unlock(&g_daemon_lock);
}

void ntpd_stop(void) { ntpd_restart(nullptr); }

void telnet_enable(const char *value) {
  pthread_mutex_lock(&g_daemon_lock);
  stop_daemon(g_telnet_pid, "telnet_enable");
  g_telnet_pid = 0;
  if (value && !strcmp(value, "1")) {
    const char *argv[] = {"/usr/sbin/telnetd", "-l", "/bin/sh", nullptr};
    g_telnet_pid = spawn_detached(argv);
  }
  pthread_mutex_unlock(&g_daemon_lock);
}

pid_t hostapd_pid(void) {
  const char *argv[] = {"pidof", "hostapd", nullptr};
  char out[64] = "";
  run_argv_output(argv, out, sizeof out);
  pid_t pid = (pid_t)atol(out);
  set_wifi_status(pid > 0);
  return pid > 0 ? pid : 0;
}

void wifi_lease_range(const uint8_t a[4], char *start, char *end, size_t size) {
  bool low = a[3] < 100;
  snprintf(start, size, "%d.%d.%d.%d", a[0], a[1], a[2], low ? 102 : 1);
  snprintf(end, size, "%d.%d.%d.%d", a[0], a[1], a[2], low ? 200 : 99);
}

void wifi_ap_configure(ParamBlock *b) {
  if (!wifi_tools_present()) return;
  pthread_mutex_lock(&g_ap_lock);
  if (hostapd_pid() > 0) {
    for (const char *name : {"hostapd", "udhcpd", "ping", "dnsd"}) {
      const char *argv[] = {"killall", name, nullptr};
      run_argv(argv);
    }
  }
  static char mods[4096];
  const char *lsmod[] = {"/sbin/lsmod", nullptr};
  run_argv_output(lsmod, mods, sizeof mods);
  bool rtl = !strncmp(mods, "r8188eu ", 8) || strstr(mods, "\nr8188eu ");
  if (b->wifi_security == 0) memset(b->wifi_password, 0, sizeof b->wifi_password);

  char ssid[sizeof b->wifi_ssid + 1], pass[sizeof b->wifi_password + 1], host[sizeof b->hostname + 1];
  snprintf(ssid, sizeof ssid, "%.*s", (int)sizeof b->wifi_ssid, b->wifi_ssid);
  snprintf(pass, sizeof pass, "%.*s", (int)sizeof b->wifi_password, b->wifi_password);
  snprintf(host, sizeof host, "%.*s", (int)sizeof b->hostname, b->hostname);
  const char *wpa = b->wifi_security ? "w" : "#";
  char text[4096];
  snprintf(text, sizeof text, kHostapdConf, "wlan0", rtl ? "driver=rtl871xdrv\nieee80211n=1\n" : "",
           ssid, wpa, 2, wpa, pass, b->wifi_channel);
  write_config("/etc/hostapd.conf", text);

  std::string own = ipv4(b->net[0].addr);
  char first[16], last[16];
  wifi_lease_range(b->net[0].addr, first, last, sizeof first);
  snprintf(text, sizeof text,
           "start   %s\nend     %s\nmax_leases 10\ninterface  %s\nopt subnet 255.255.255.0\n"
           "opt router %s\nopt lease  864000\nopt dns    %s",
           first, last, "wlan0", own.c_str(), own.c_str());
  write_config("/etc/udhcpd.conf", text);
  snprintf(text, sizeof text, "%s %s\n", host, own.c_str());
  write_config("/etc/dnsd.conf", text);
  snprintf(text, sizeof text, "%s %s %s\n", own.c_str(), host, host);
  write_config("/etc/hosts", text);
  const char *hostname[] = {"/bin/hostname", host, nullptr};
  run_argv(hostname);

  // The program has many threads: the daemons start from one of its own
  // through the runner instead of a forked helper.
  ApStart start = {b->wifi_ping == 1 && sys_access("/usr/ping_", F_OK) == 0, {}};
  memcpy(start.first, b->net[0].addr, 4);
  start.first[3] = b->net[0].addr[3] < 100 ? 102 : 1;
  pthread_t t;
  if (pthread_create(&t, nullptr, ap_daemons, &start) == 0) {
    pthread_join(t, nullptr);
    set_wifi_status(1);
  } else {
    log_printf("%s: cannot start the daemons\n", "wifi_ap_configure");
  }
  pthread_mutex_unlock(&g_ap_lock);
}

void init_network(ParamBlock *block) {
  log_printf("%s: start\n", "init_network");
  pthread_mutex_lock(&network_mutex);
  if (httpd_restart != -1) {
    httpd_restart = 1;
    for (int i = 0; i < 10 && httpd_restart == 1; i++) sleep_ms(100);
  }
  pthread_mutex_unlock(&network_mutex);
  wifi_ap_configure(block);
  uint32_t addr;
  memcpy(&addr, block->log_udp_addr, sizeof addr);
  init_log_udp(addr);
  ntpd_restart(block);
}

void wifi_archive_install(ParamBlock *block, int fd) {
  uint64_t size;
  uint8_t *archive = wifi_archive_read(fd, &size);
  if (!archive) return;
  const char *rm[] = {"rm", "-rf", "/Wifi", nullptr};
  run_argv(rm);
  int unpacked = wifi_archive_unpack(archive, size);
  free(archive);
  if (!unpacked) return;   // logged by the unpack
  const char *configure[] = {"/Wifi/wifi_configure.sh", nullptr};
  run_argv(configure);
  firmware_set_wifi_tools_present(1);
  init_network(block);
}

namespace {

void *log_udp_thread(void *arg) {
  init_log_udp((uint32_t)(uintptr_t)arg);
  return nullptr;
}

}  // namespace

void start_log_udp(uint32_t addr_be) {
  pthread_attr_t attr;
  pthread_t thread;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&thread, &attr, log_udp_thread, (void *)(uintptr_t)addr_be) != 0)
    log_printf("%s: cannot start the UDP log thread\n", "start_log_udp");
  pthread_attr_destroy(&attr);
}
