#include "platform/host_port.h"

#include <cstdlib>
#include <cstring>

namespace {
struct PortOverride {
  int board_port;
  const char *variable;
};
const PortOverride overrides[] = {
    {80, "M7391_HTTP_PORT"},
    {1935, "M7391_RTMP_PORT"},
};
}  // namespace

int host_listen_port(int board_port) {
  for (const PortOverride &o : overrides) {
    if (o.board_port != board_port) continue;
    const char *s = getenv(o.variable);
    if (!s || !*s) break;
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (*end == 0 && v >= 1 && v <= 65535) return int(v);
    break;
  }
  return board_port;
}
