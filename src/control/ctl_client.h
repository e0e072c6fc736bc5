// Client channels to the local control service (UDP 127.0.0.1:12200): one
// socket for requests and replies, one for notifications.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>

#include "control/ctl_packet.h"

#define CTL_SERVICE_PORT 12200
#define CTL_WAIT_FOREVER 0xFFFFFFFFu

struct CtlSocket {
  int fd;                   // -1 when closed
  pthread_mutex_t *mutex;   // held by the one thread reading the socket
  uint32_t reserved[2];
  volatile uint32_t closing;  // set while the socket is being closed
  sem_t *semaphore;         // posted by the reader that notices closing
  volatile uint32_t valid;  // 1 while usable
  uint16_t local_port;      // network order
};

struct CtlChannel {
  CtlSocket command;
  CtlSocket event;
  pthread_mutex_t *lock;    // one transaction at a time
  uint32_t timeout_ms;      // CTL_WAIT_FOREVER: no limit
  struct sockaddr_in peer;
  uint8_t unit;             // 0: any ports; N: 12200 + 2N and the next
};

int ctl_init(void);
int ctl_exit(void);
// address NULL means 127.0.0.1. *out is the channel, or NULL on failure.
CtlStatus ctl_open(uint8_t unit, uint16_t port, const char *address, uint32_t timeout_ms,
                   CtlChannel **out);
CtlStatus ctl_close(CtlChannel *ch);
// Sends the request half and receives the reply half; the reply's status or
// a transport error, also left in the reply's error byte.
CtlStatus ctl_transact(CtlChannel *ch, CtlExchange *ex);
// One frame of 4 bytes or more into p->frame (*len its size), from anyone
// when from is NULL, else only from that address. Short datagrams and
// strangers' do not extend the deadline.
CtlStatus ctl_receive(CtlSocket *s, CtlPacket *p, size_t *len, const struct sockaddr_in *from,
                      uint32_t timeout_ms);
