// The RTMP chunk stream: message headers, the chunk writer and a resumable
// chunk parser. Messages travel split into chunks of the sender's chunk size;
// the first chunk carries a full (type-0) header, each later one a one-byte
// type-3 header, followed by the 4-byte extended timestamp whenever the
// message's timestamp is 0xFFFFFF or more.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

#include "core/log_episode.h"

enum {
  RTMP_CHUNK_SIZE = 128,             // ours, never changed
  RTMP_CHUNK_STREAMS = 20,           // chunk streams a peer may use at once
  RTMP_MAX_PENDING = 1 << 20,        // bytes of partial messages a connection may hold
  RTMP_PENDING_BUDGET = 4 << 20,     // ... all connections together
  RTMP_PENDING_RESERVE = 1 << 20,    // of the budget, left to connections holding little
  RTMP_PENDING_SMALL = 16 << 10,     // what a connection may hold and still draw on the reserve
  RTMP_PENDING_STEP = 4096,          // an assembly buffer grows by this much at least
  RTMP_MAX_HEADER = 18               // basic (3) + message (11) + extended timestamp (4)
};

enum : uint8_t {
  RTMP_MSG_SET_CHUNK_SIZE = 1,
  RTMP_MSG_ABORT = 2,
  RTMP_MSG_ACK = 3,
  RTMP_MSG_USER_CONTROL = 4,
  RTMP_MSG_WINDOW_ACK = 5,
  RTMP_MSG_PEER_BANDWIDTH = 6,
  RTMP_MSG_AUDIO = 8,
  RTMP_MSG_VIDEO = 9,
  RTMP_MSG_AMF3_COMMAND = 17,
  RTMP_MSG_DATA = 18,
  RTMP_MSG_COMMAND = 20
};

struct RtmpHeader {
  uint32_t csid;       // chunk stream id; ours are 2 to 63
  uint32_t timestamp;  // ms
  uint32_t length;     // body bytes
  uint8_t type;
  uint32_t msid;       // message stream id
};

// ---- writer ----

// The type-0 chunk header of a message (csid 2 to 63): 12 bytes, 16 with an
// extended timestamp. Returns the bytes written.
size_t rtmp_header_write(uint8_t *out, const RtmpHeader *h);
// The header of every later chunk of the message: 1 byte, 5 with an extended
// timestamp.
size_t rtmp_continuation_write(uint8_t *out, const RtmpHeader *h);

// Lays a message out on the wire as iovecs, without copying its body: the
// body is given as pieces, h->length must be their sum. The headers live in
// the chunker, the body pieces stay where they are.
struct RtmpChunker {
  const struct iovec *body;
  int nbody;
  int piece;            // body piece being laid out
  size_t offset;        // within it
  uint32_t chunk_size;
  uint32_t left;        // message bytes not yet laid out
  uint32_t chunk_left;  // payload bytes left in the current chunk
  uint8_t first[16];
  uint8_t first_len;
  uint8_t cont[5];
  uint8_t cont_len;
  bool started;
};

void rtmp_chunker_init(RtmpChunker *c, const RtmpHeader *h, const struct iovec *body, int nbody,
                       uint32_t chunk_size);
// The next at most max iovecs of the message; 0 once it is all laid out.
int rtmp_chunker_next(RtmpChunker *c, struct iovec *iov, int max);

// ---- parser ----

// The bytes of unfinished messages that parsers sharing the budget hold
// together: assembly buffers grow as bytes arrive and take their growth
// from it. A parser that already holds more than RTMP_PENDING_SMALL may not
// take the last RTMP_PENDING_RESERVE bytes, so that a normal client's
// commands still fit while others hold the rest. Refusals are logged one
// line an episode.
struct RtmpBudget {
  size_t used;       // atomic
  size_t limit;
  size_t reserve;
  LogEpisode refusals;  // under a lock of the module
};
// The server's connections share this one.
extern RtmpBudget rtmp_pending_budget;

// Takes n bytes for a parser that holds held bytes: false (nothing taken)
// when the budget has not that much left for it.
bool rtmp_budget_take(RtmpBudget *b, size_t held, size_t n);
void rtmp_budget_give(RtmpBudget *b, size_t n);
// Called now and then (the listener's loop): once no refusal came for a
// while, logs how many connections the episode closed.
void rtmp_budget_tick(RtmpBudget *b);

struct RtmpChunkStream {
  uint32_t csid;       // 0: free record
  uint32_t timestamp;
  uint32_t length;
  uint8_t type;
  uint32_t msid;
  uint8_t extended;    // the last full header carried an extended timestamp
  uint32_t received;   // body bytes of the message in assembly
  uint8_t *buf;        // its assembly buffer (NULL while none)
  uint32_t cap;        // bytes allocated for it
};

// All of one connection's parsing state: nothing is shared between
// connections.
struct RtmpParser {
  uint32_t chunk_size;           // the peer's, set by its Set Chunk Size
  RtmpChunkStream streams[RTMP_CHUNK_STREAMS];
  RtmpChunkStream *current;      // chunk whose payload is being read, or NULL
  uint32_t piece_left;           // payload bytes of that chunk still to come
  size_t pending;                // bytes allocated for assembly buffers
  RtmpBudget *budget;            // shared with other parsers; NULL: none
};

// Called with every complete message; a negative result ends the parse with
// that result. Set Chunk Size is handled by the parser and not passed on.
typedef int (*RtmpMessageFn)(void *arg, const RtmpHeader *h, const uint8_t *body);

enum { RTMP_PARSE_ERROR = -1 };

// Takes its assembly bytes from rtmp_pending_budget.
void rtmp_parser_init(RtmpParser *p);
// Frees the assembly buffers.
void rtmp_parser_free(RtmpParser *p);
// Consumes what it can of data: returns the bytes used (what is left is an
// incomplete chunk header, to be given again with more bytes), or a negative
// value when the peer broke the protocol (logged) or fn asked to stop. Safe
// to feed one byte at a time; never reads outside data.
long rtmp_parse(RtmpParser *p, const uint8_t *data, size_t len, RtmpMessageFn fn, void *arg);
