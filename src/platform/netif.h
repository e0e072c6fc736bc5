// Addresses of the board's network interfaces ("eth0", "wlan0"). On the host
// a board interface may stand for another one: M7391_IF_<board name> (for
// example M7391_IF_wlan0=lo) names the host interface to ask instead.
#pragma once
#include <cstddef>
#include <cstdint>

// The IPv4 address of the interface as dotted text (SIOCGIFADDR). 0, or -1
// with errno set and buf emptied.
int netif_ipv4_text(const char *ifname, char *buf, size_t size);

// The hardware address the ARP cache of the interface holds for an IPv4
// address (network order): the SIOCGARP request. 0 with mac filled (all
// zero while the entry is incomplete: the host has not answered), or -1
// with errno set (ENXIO: no entry can exist, the address is not on the
// interface's link).
//
// On the host the cache is <root>/run/sim/arp, lines "ADDR MAC", "ADDR none"
// (never answers) or "ADDR offlink" (behind a router); an address not listed
// answers with a MAC made from the address, a multicast group with its group
// MAC (01:00:5e and the low 23 bits).
int netif_arp_query(const char *ifname, uint32_t addr_be, unsigned char mac[6]);
