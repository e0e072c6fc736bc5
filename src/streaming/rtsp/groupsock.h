// Where the RTP or RTCP packets of one stream go: a UDP socket and its list
// of destinations, each a client's UDP address or an interleaved channel of a
// client's RTSP connection, remembered with the client session that added it.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <vector>

#include "streaming/rtsp/scheduler.h"

// A block of interleaved packets shared by every connection that sends
// them: a packet is framed and copied once, whatever the number of clients,
// and the block lives until the last connection has written its part.
// Blocks belong to the thread that runs the event loop.
struct OutChunk {
  unsigned refs;
  unsigned size;   // bytes data holds
  unsigned used;
  uint8_t data[1];
};
// What interleaved packets are framed in: a key frame of a few megabits a
// second spans a few blocks.
#define OUT_CHUNK_SIZE (60u * 1024)
// A block of size bytes with one reference; blocks of OUT_CHUNK_SIZE are
// reused, so that sending never maps or unmaps memory. NULL when memory is
// short.
OutChunk *out_chunk_create(unsigned size);
inline void out_chunk_ref(OutChunk *c) { c->refs++; }
void out_chunk_unref(OutChunk *c);

// An RTSP connection that carries RTP and RTCP interleaved (RFC 2326 10.12).
class RtpTcpChannel {
 public:
  // Sends size bytes of chunk at offset: one packet framed as '$', channel,
  // 16-bit length. The connection takes a reference while it holds them.
  // false when it dropped the packet (gone or too far behind).
  virtual bool sendInterleaved(OutChunk *chunk, unsigned offset, unsigned size) = 0;

 protected:
  virtual ~RtpTcpChannel() = default;
};

class Groupsock {
 public:
  // A UDP socket bound to port on every address; NULL (with the error in the
  // environment's result) when the port cannot be had.
  static Groupsock *createNew(UsageEnvironment &env, uint16_t port);
  // A destination list without a socket: packets go to TCP channels only.
  static Groupsock *createDummy(UsageEnvironment &env);
  // A multicast group's sending and receiving end (defined in
  // multicast.cpp). It starts closed: openMulticast binds the port (shared
  // with others: several groups may use one port) and joins the group;
  // closeSocket leaves it and frees the port.
  static Groupsock *createMulticast(UsageEnvironment &env, struct in_addr group, uint16_t port,
                                    uint8_t ttl);
  void changeDestinationParameters(struct in_addr group, uint16_t port, uint8_t ttl);
  bool openMulticast();
  void closeSocket();
  bool isMulticast() const { return fMulticast; }
  struct in_addr groupAddress() const { return fGroup; }
  uint8_t ttl() const { return fTTL; }
  ~Groupsock();

  int socketNum() const { return fSocket; }
  uint16_t port() const { return fPort; }
  UsageEnvironment &envir() const { return fEnv; }

  // moved, when not NULL, counts the bytes sent to the destination; it must
  // outlive the destination.
  void addDestination(struct in_addr addr, uint16_t port, unsigned sessionId,
                      uint64_t *moved = nullptr);
  void addTcpDestination(RtpTcpChannel *channel, uint8_t channelId, unsigned sessionId,
                         uint64_t *moved = nullptr);
  void removeDestinations(unsigned sessionId);
  unsigned numDestinations() const { return (unsigned)fDests.size(); }

  // To every destination. A destination starts, and after a packet it lost
  // starts again, only at a packet that is a startPoint (one a decoder can
  // begin with). false when none took it.
  bool output(const uint8_t *data, unsigned size, bool startPoint = true);
  // The session whose UDP destination is this address and port; 0 when none.
  unsigned sessionBySource(const struct sockaddr_in &from) const;

 private:
  Groupsock(UsageEnvironment &env, int socket, uint16_t port);
  struct Dest {
    unsigned sessionId;
    struct sockaddr_in addr;   // UDP when tcp is NULL
    RtpTcpChannel *tcp;
    uint8_t channelId;
    bool waiting;              // for a start point
    uint64_t *moved;           // the client's byte count, or NULL
  };
  UsageEnvironment &fEnv;
  int fSocket;
  uint16_t fPort;
  std::vector<Dest> fDests;
  OutChunk *fChunk = nullptr;   // where the TCP destinations' packets are framed
  bool fMulticast = false;
  struct in_addr fGroup = {};
  uint8_t fTTL = 0;
};
