// Untrusted bytes as an RTCP compound packet from a client: the parser
// reads nothing outside the datagram (it is given an exact copy on the
// heap), counts at most one packet per four bytes and no more reports than
// packets, answers the same with or without the report count, and bytes
// appended after the datagram never lower the count of what it held.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "streaming/rtsp/rtcp.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  unsigned n = (unsigned)size;
  std::vector<uint8_t> copy(data, data + size);
  unsigned reports = 12345;
  int count = RTCPInstance::parseCompound(copy.data(), n, &reports);
  check(count >= 0 && (unsigned)count <= n / 4);
  check(reports <= (unsigned)count);
  check(RTCPInstance::parseCompound(copy.data(), n, nullptr) == count);
  // The datagram cut at half its length, then the whole with its own
  // first half appended: no fewer packets than the part before.
  int half = RTCPInstance::parseCompound(copy.data(), n / 2, nullptr);
  check(half <= count);
  copy.insert(copy.end(), data, data + size / 2);
  unsigned more_reports = 0;
  int more = RTCPInstance::parseCompound(copy.data(), (unsigned)copy.size(), &more_reports);
  check(more >= count && more_reports >= reports);
  return 0;
}
