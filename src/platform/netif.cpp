#include "platform/netif.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *host_ifname(const char *ifname) {
  char var[64];
  snprintf(var, sizeof var, "M7391_IF_%s", ifname);
  const char *host = getenv(var);
  return host && *host ? host : ifname;
}

}  // namespace

int netif_ipv4_text(const char *ifname, char *buf, size_t size) {
  if (size) buf[0] = 0;
  const char *name = host_ifname(ifname);
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  if (strlen(name) >= sizeof ifr.ifr_name) {
    errno = ENODEV;
    return -1;
  }
  strcpy(ifr.ifr_name, name);
  ifr.ifr_addr.sa_family = AF_INET;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc = ioctl(fd, SIOCGIFADDR, &ifr);
  int err = errno;
  close(fd);
  if (rc != 0) {
    errno = err;
    return -1;
  }
  struct sockaddr_in sin;
  memcpy(&sin, &ifr.ifr_addr, sizeof sin);
  if (!inet_ntop(AF_INET, &sin.sin_addr, buf, (socklen_t)size)) {
    if (size) buf[0] = 0;
    return -1;
  }
  return 0;
}
