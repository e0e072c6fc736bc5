// RTSP/1.0 requests (RFC 2326) as they arrive on a connection: finds where a
// request ends, splits its request line and reads its headers. Works on the
// bytes received so far and never reads past them, so it can be fed one byte
// at a time. Also the parts of Transport and Authorization headers the
// server needs.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
  RTSP_PARSE_MORE = 0,     // the request is not complete yet
  RTSP_PARSE_GARBAGE = -1  // no request can start here: drop the connection
};

struct RtspRequest {
  size_t total;            // bytes of the request: header block and body
  size_t header_len;       // bytes of the header block, its empty line included
  bool bad;                // the request line or a header is malformed
  char method[32];
  char url[512];
  char version[16];
  char cseq[32];           // "" when absent
  char session[64];        // the Session id without its parameters, "" when absent
  size_t content_length;
  const char *headers;     // the header lines (inside the caller's buffer)
  size_t headers_len;
};

// >0: a whole request of that many bytes is at buf (with req->bad telling
// whether it can be served); RTSP_PARSE_MORE; or RTSP_PARSE_GARBAGE.
// Requests whose header block exceeds max_header are garbage, and so are
// those whose Content-Length cannot be read or is given twice with two
// values (req then holds what was read, such as the CSeq).
int rtsp_request_parse(const uint8_t *buf, size_t len, size_t max_header, RtspRequest *req);

// The value of header name (any case) with blanks trimmed, cut to size-1
// bytes. false when the request has no such header.
bool rtsp_request_header(const RtspRequest *req, const char *name, char *out, size_t size);

// The option tags of every header name (any case) of the request, each
// comma-separated list item with its blanks and control bytes left out,
// written to out as "a, b" with as many whole tags as fit. Returns how many
// tags the headers hold (0: none, or no such header).
unsigned rtsp_request_options(const RtspRequest *req, const char *name, char *out, size_t size);

// An interleaved frame ('$', channel, 16-bit length, data) at buf: its total
// size, RTSP_PARSE_MORE, or RTSP_PARSE_GARBAGE when buf does not start with '$'.
int rtsp_interleaved_frame(const uint8_t *buf, size_t len, uint8_t *channel);

enum RtspLowerTransport { RTSP_TRANSPORT_UDP, RTSP_TRANSPORT_TCP };

struct RtspTransport {
  RtspLowerTransport lower;
  bool multicast;
  bool have_client_ports;
  uint16_t client_rtp_port, client_rtcp_port;
  bool have_interleaved;
  uint8_t rtp_channel, rtcp_channel;
};

// The first transport of a Transport header that names RTP/AVP. false when
// none does.
bool rtsp_parse_transport(const char *value, RtspTransport *t);
