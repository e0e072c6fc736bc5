// Any bytes as what an RTSP client sends on its connection: requests,
// interleaved frames and noise, whole and one byte at a time, through the
// request parser and the Transport and Authorization readers, as the server
// reads them. Nothing may be read outside the bytes received, and a request
// is never longer than what was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "streaming/rtsp/digest_auth.h"
#include "streaming/rtsp/rtsp_request.h"

namespace {

const size_t kBuffer = 10000;

void check(bool ok) {
  if (!ok) abort();
}

void use_request(const RtspRequest &r, size_t len) {
  check(r.total <= len && r.header_len <= r.total);
  check(strlen(r.method) < sizeof r.method && strlen(r.url) < sizeof r.url);
  char v[1024];
  if (rtsp_request_header(&r, "Transport", v, sizeof v)) {
    check(strlen(v) < sizeof v);
    RtspTransport t;
    rtsp_parse_transport(v, &t);
  }
  if (rtsp_request_header(&r, "Authorization", v, sizeof v)) {
    RtspDigest d;
    if (rtsp_parse_digest(v, &d)) {
      UserAuthenticationDatabase db;
      db.addUserRecord("admin", "secret");
      rtsp_digest_check(db, d, r.method, "0123456789abcdef");
    }
  }
  char small[4];
  rtsp_request_header(&r, "CSeq", small, sizeof small);
  check(strlen(small) < sizeof small);
}

// Consumes what the buffer holds as the connection does; false when the
// connection would be dropped.
bool drain(std::vector<uint8_t> &buf) {
  while (!buf.empty()) {
    // An exact-size copy: a read past it is a read past what was received.
    std::vector<uint8_t> exact(buf.begin(), buf.end());
    if (exact[0] == '$') {
      uint8_t ch;
      int r = rtsp_interleaved_frame(exact.data(), exact.size(), &ch);
      if (r == RTSP_PARSE_MORE) return true;
      check(r > 0 && (size_t)r <= exact.size());
      buf.erase(buf.begin(), buf.begin() + r);
      continue;
    }
    RtspRequest req;
    int r = rtsp_request_parse(exact.data(), exact.size(), kBuffer, &req);
    if (r == RTSP_PARSE_MORE) return buf.size() < kBuffer;
    if (r == RTSP_PARSE_GARBAGE) return false;
    check(r > 0 && (size_t)r <= exact.size());
    use_request(req, exact.size());
    buf.erase(buf.begin(), buf.begin() + r);
  }
  return true;
}

}  // namespace

int fuzz_one(const uint8_t *data, size_t size) {
  // All at once, within the buffer a connection has.
  std::vector<uint8_t> buf(data, data + (size < kBuffer ? size : kBuffer));
  drain(buf);
  // One byte at a time.
  buf.clear();
  for (size_t i = 0; i < size; i++) {
    buf.push_back(data[i]);
    if (!drain(buf)) buf.clear();
  }
  return 0;
}
