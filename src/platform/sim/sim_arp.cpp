// The simulated board's ARP cache (see platform/netif.h).
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host_root.h"
#include "platform/netif.h"

int netif_arp_query(const char *ifname, uint32_t addr_be, unsigned char mac[6]) {
  (void)ifname;
  memset(mac, 0, 6);
  const unsigned char *a = (const unsigned char *)&addr_be;
  FILE *f = fopen(HostPath("/run/sim/arp").c_str(), "r");
  if (f) {
    char line[128];
    while (fgets(line, sizeof line, f)) {
      char addr[64], what[64];
      struct in_addr ia;
      if (sscanf(line, "%63s %63s", addr, what) != 2 || inet_pton(AF_INET, addr, &ia) != 1 ||
          ia.s_addr != addr_be)
        continue;
      fclose(f);
      if (strcmp(what, "none") == 0) return 0;
      if (strcmp(what, "offlink") == 0) {
        errno = ENXIO;
        return -1;
      }
      unsigned m[6];
      if (sscanf(what, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
        errno = EINVAL;
        return -1;
      }
      for (int i = 0; i < 6; i++) mac[i] = (unsigned char)m[i];
      return 0;
    }
    fclose(f);
  }
  if ((a[0] & 0xF0) == 0xE0) {
    const unsigned char group[6] = {0x01, 0x00, 0x5e, (unsigned char)(a[1] & 0x7F), a[2], a[3]};
    memcpy(mac, group, 6);
  } else {
    const unsigned char made[6] = {0x02, 0x00, a[0], a[1], a[2], a[3]};
    memcpy(mac, made, 6);
  }
  return 0;
}
