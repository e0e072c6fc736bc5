// Network bring-up after a change of the network settings, and the daemons
// around it: the Wi-Fi access point's files and daemons, the UDP log, the
// time server and the telnet server. The host build leaves the machine's
// interfaces alone: its daemons are simulated by the command runner.
#pragma once
#include <cstdint>
#include <sys/types.h>
struct ParamBlock;

// The whole sequence: the web server's restart handshake, the access point,
// the UDP log, the time server. Runs on a detached thread of its own.
void init_network(ParamBlock *block);

// Sets the UDP log up on a detached thread of its own: its reachability
// check may take 10 s, which start-up does not wait for.
void start_log_udp(uint32_t addr_be);

// Stops a running ntpd (SIGTERM; killed when it has not gone after 5 s) and
// starts it again on NetworkTimeServer when block is given and the name is
// not empty.
void ntpd_restart(ParamBlock *block);
void ntpd_stop(void);
// Stops a running telnet server; "1" starts one.
void telnet_enable(const char *value);
// The pid of a running hostapd (0 none); the Wi-Fi status bit follows it.
pid_t hostapd_pid(void);
// With the Wi-Fi tools present: writes the access point's files and starts
// its daemons, 100 ms apart, from a thread of its own.
void wifi_ap_configure(ParamBlock *block);
// Installs a Wi-Fi tools archive from a file the caller opened (a USB
// disk's wifi_archive.tar): once it is read and checked whole, the old
// /Wifi goes, the archive is unpacked into /Wifi by the archive walk, its
// configure script runs and the network comes up with it. A refused archive
// changes nothing.
void wifi_archive_install(ParamBlock *block, int fd);
// The lease range of the access point's own address a.b.c.d: .102 to .200
// when d is below 100, else .1 to .99.
void wifi_lease_range(const uint8_t addr[4], char *start, char *end, size_t size);
