// The local control service on UDP 127.0.0.1:12200. On the board it is a
// separate process; on this host a thread of the program stands in for it,
// so the program's own client channels and outside clients reach the
// program's request dispatcher.
#pragma once
#include <cstddef>
#include <cstdint>

// One request frame of n bytes in frame (which holds size bytes); the reply
// frame is written over it. Returns the reply's length, 0 for none.
typedef size_t (*CtlServiceHandler)(uint8_t *frame, size_t n, size_t size);

// Starts serving: every datagram of 4 bytes or more goes to handler and its
// reply back to the sender; shorter ones (each client socket's opening
// datagram) are dropped. 0, or -1 when the port cannot be had.
int ctl_service_start(CtlServiceHandler handler);
void ctl_service_stop(void);
