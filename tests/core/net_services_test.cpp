// The time server, telnet and Wi-Fi access point on the simulated machine:
// daemons go to the runner's table, configuration files under the root.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/firmware.h"
#include "core/log.h"
#include "core/net_init.h"
#include "param_test_util.h"
#include "test_root.h"
#include "platform/host_root.h"
#include "platform/runner.h"

namespace {

std::string file(const char *path) {
  static char buf[8192];
  sys_read_text(path, buf, sizeof buf, false);
  return buf;
}

struct NetServices : ParamTest {
  // The access point's files and the simulated daemons, host name and modules.
  RootKeep keep{{"/etc", "/Wifi", "/run/sim/daemons", "/run/sim/hostname", "/run/sim/lsmod"}};
  void SetUp() override {
    ParamTest::SetUp();
    runner_sim_reset();
    param_apply_hooks.telnet_enable = telnet_enable;
  }
  void TearDown() override {
    ntpd_stop();
    telnet_enable("0");
    firmware_set_wifi_tools_present(0);
    ParamTest::TearDown();
  }
};

TEST_F(NetServices, TimeServerAndTelnetStartAndStop) {
  ASSERT_EQ(set("NetworkTimeServer", "pool.example"), "");
  ntpd_restart(block());
  EXPECT_NE(file("/run/sim/daemons").find("/usr/sbin/ntpd -n -p pool.example\n"), std::string::npos);
  ASSERT_EQ(set("NetworkTimeServer", "ntp.example"), "");
  ntpd_restart(block());
  EXPECT_EQ(file("/run/sim/daemons").find("pool.example"), std::string::npos) << "the old one stopped";
  ASSERT_EQ(set("NetworkTimeServer", ""), "");
  ntpd_restart(block());
  EXPECT_EQ(file("/run/sim/daemons"), "");

  ASSERT_EQ(set("EnableTelnet", "1"), "");
  EXPECT_NE(file("/run/sim/daemons").find("/usr/sbin/telnetd -l /bin/sh\n"), std::string::npos);
  ASSERT_EQ(set("EnableTelnet", "1"), "");
  ASSERT_EQ(set("EnableTelnet", "0"), "");
  EXPECT_EQ(file("/run/sim/daemons"), "") << "one server, stopped";
}

TEST_F(NetServices, AccessPointFilesAndDaemons) {
  wifi_ap_configure(block());
  EXPECT_EQ(file("/run/sim/daemons"), "") << "nothing without the Wi-Fi tools";
  firmware_set_wifi_tools_present(1);
  sys_write_text("/run/sim/lsmod", "Module Size Used by\nr8188eu 400000 0\n");
  ASSERT_EQ(set("WIFI.Ssid", "yard"), "");
  ASSERT_EQ(set("WIFI.Security", "1"), "");
  ASSERT_EQ(set("WIFI.Password", "secret99"), "");
  ASSERT_EQ(set("WIFI.Channel", "6"), "");
  ASSERT_EQ(set("Net[0].Addr", "192.168.0.100"), "");
  ASSERT_EQ(set("NetworkHostname", "cam7"), "");
  wifi_ap_configure(block());
  EXPECT_EQ(file("/etc/hostapd.conf"),
            "interface=wlan0\ndriver=rtl871xdrv\nieee80211n=1\nssid=yard\nwpa=2\nwpa_passphrase=secret99\n"
            "channel=6\n#channel=1\nap_max_inactivity=36000\nrsn_pairwise=CCMP\nauth_algs=1\n"
            "wpa_key_mgmt=WPA-PSK\nhw_mode=g\n#preamble=1\n#ieee80211n=1\n#wmm_enabled=1\n"
            "#wmm_ac_bk_cwmin=4\n#wmm_ac_bk_cwmax=10\n#wmm_ac_bk_aifs=7\n#wmm_ac_bk_txop_limit=0\n"
            "#wmm_ac_bk_acm=0\n#wmm_ac_be_aifs=3\n#wmm_ac_be_cwmin=4\n#wmm_ac_be_cwmax=10\n"
            "#wmm_ac_be_txop_limit=0\n#wmm_ac_be_acm=0\n#wmm_ac_vi_aifs=2\n#wmm_ac_vi_cwmin=3\n"
            "#wmm_ac_vi_cwmax=4\n#wmm_ac_vi_txop_limit=94\n#wmm_ac_vi_acm=0\n#wmm_ac_vo_aifs=2\n"
            "#wmm_ac_vo_cwmin=2\n#wmm_ac_vo_cwmax=3\n#wmm_ac_vo_txop_limit=47\n#wmm_ac_vo_acm=0\n");
  EXPECT_EQ(file("/etc/udhcpd.conf"),
            "start   192.168.0.1\nend     192.168.0.99\nmax_leases 10\ninterface  wlan0\n"
            "opt subnet 255.255.255.0\nopt router 192.168.0.100\nopt lease  864000\n"
            "opt dns    192.168.0.100");
  EXPECT_EQ(file("/etc/dnsd.conf"), "cam7 192.168.0.100\n");
  EXPECT_EQ(file("/etc/hosts"), "192.168.0.100 cam7 cam7\n");
  EXPECT_EQ(file("/run/sim/hostname"), "cam7");
  std::string d = file("/run/sim/daemons");
  EXPECT_NE(d.find("/usr/bin/hostapd /etc/hostapd.conf\n"), std::string::npos) << d;
  EXPECT_NE(d.find("/usr/sbin/udhcpd\n"), std::string::npos);
  EXPECT_NE(d.find("/usr/sbin/dnsd\n"), std::string::npos);
  EXPECT_GT(hostapd_pid(), 0);

  // Security off comments both WPA lines out and forgets the password; a
  // second set-up replaces the daemons of the first.
  sys_write_text("/run/sim/lsmod", "Module Size Used by\n");
  ASSERT_EQ(set("WIFI.Security", "0"), "");
  ASSERT_EQ(set("Net[0].Addr", "10.0.0.5"), "");
  ASSERT_EQ(set("WIFI.Ping", "1"), "");
  sys_write_text("/usr/ping_", "");
  wifi_ap_configure(block());
  std::string conf = file("/etc/hostapd.conf");
  EXPECT_EQ(conf.find("driver="), std::string::npos);
  EXPECT_NE(conf.find("\nssid=yard\n#pa=2\n#pa_passphrase=\nchannel=6\n"), std::string::npos) << conf;
  EXPECT_EQ(file("/etc/udhcpd.conf").find("start   10.0.0.102\nend     10.0.0.200\n"), 0u);
  d = file("/run/sim/daemons");
  EXPECT_EQ(d.find("/usr/bin/hostapd"), d.rfind("/usr/bin/hostapd")) << d;
  EXPECT_NE(d.find("ping -q 10.0.0.102\n"), std::string::npos);
  EXPECT_NE(d.find("ping -q 10.0.0.111\n"), std::string::npos);
  EXPECT_EQ(d.find("ping -q 10.0.0.112"), std::string::npos);
  sys_unlink("/usr/ping_");
}

// A Wi-Fi tools archive from a disk replaces /Wifi, runs its set-up script
// and brings the access point up; a refused one changes and runs nothing.
TEST_F(NetServices, WifiArchiveInstallsOnlyWhenSound) {
  const std::string dir = test_root() + test_scratch_dir("wifi_install");
  std::string make = "cd '" + dir + "' && mkdir -p Wifi/bin && printf '#!/bin/sh\\n' > Wifi/wifi_configure.sh" +
                     " && printf tool > Wifi/bin/tool && tar --format=ustar -cf good.tar Wifi" +
                     " && head -c 3000 good.tar > cut.tar && mkdir -p '" + test_root() + "/Wifi'";
  ASSERT_EQ(system(make.c_str()), 0);
  sys_write_text("/Wifi/old_tool", "old");
  sys_write_text("/run/sim/lsmod", "Module Size Used by\nr8188eu 400000 0\n");
  sys_unlink("/run/exec.log");

  int fd = open((dir + "/cut.tar").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  wifi_archive_install(block(), fd);
  close(fd);
  EXPECT_EQ(file("/Wifi/old_tool"), "old");
  EXPECT_EQ(file("/run/exec.log"), "");
  EXPECT_EQ(wifi_tools_present(), 0);

  fd = open((dir + "/good.tar").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  wifi_archive_install(block(), fd);
  close(fd);
  EXPECT_EQ(file("/Wifi/old_tool"), "") << "the old tools went";
  EXPECT_EQ(file("/Wifi/bin/tool"), "tool");
  EXPECT_NE(file("/run/exec.log").find("/Wifi/wifi_configure.sh\n"), std::string::npos) << file("/run/exec.log");
  EXPECT_EQ(wifi_tools_present(), 1);
  EXPECT_NE(file("/run/sim/daemons").find("/usr/bin/hostapd /etc/hostapd.conf\n"), std::string::npos);

  // The volume fills two bytes into the first file: the tools installed
  // before are gone and marked so, nothing runs, one line says why.
  static size_t room;
  room = 2;
  RootIoFault old = root_set_io_fault([](int, int writing, size_t *n) {
    if (!writing || !n) return 0;
    if (room == 0) return ENOSPC;
    *n = std::min(*n, room);
    room -= *n;
    return 0;
  });
  sys_unlink("/run/exec.log");
  log_reset();
  fd = open((dir + "/good.tar").c_str(), O_RDONLY);
  wifi_archive_install(block(), fd);
  close(fd);
  root_set_io_fault(old);
  EXPECT_EQ(file("/run/exec.log").find("wifi_configure"), std::string::npos) << file("/run/exec.log");
  EXPECT_EQ(wifi_tools_present(), 0);
  char buf[4096];
  std::string log(buf, log_read(buf, sizeof buf));
  EXPECT_NE(log.find("error writing tar data: /Wifi/"), std::string::npos) << log;
  EXPECT_NE(log.find(": No space left on device; the Wi-Fi tools are left absent\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("tools are left absent"), log.rfind("tools are left absent")) << log;
}

}  // namespace
