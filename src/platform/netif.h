// Addresses of the board's network interfaces ("eth0", "wlan0"). On the host
// a board interface may stand for another one: M7391_IF_<board name> (for
// example M7391_IF_wlan0=lo) names the host interface to ask instead.
#pragma once
#include <cstddef>

// The IPv4 address of the interface as dotted text (SIOCGIFADDR). 0, or -1
// with errno set and buf emptied.
int netif_ipv4_text(const char *ifname, char *buf, size_t size);
