// A scripted stand-in for the local control service on a loopback UDP port:
// it answers every request with the status set for its opcode and the
// fields the serial command processor reads, and keeps each request (opcode,
// then its fields) for the test to look at.
#pragma once
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control/ctl_client.h"
#include "control/ctl_packet.h"
#include "udp_loopback.h"

struct ScpResponder {
  std::mutex m;
  uint32_t word = 0;       // get_status
  uint32_t count = 3;      // file_count
  uint8_t status[256] = {};
  std::vector<std::vector<uint8_t>> requests;
  int fd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::thread th;

  ScpResponder() {
    fd = udp_loopback_bind(&port);
    th = std::thread([this] { serve(); });
  }
  ~ScpResponder() {
    stop = true;
    th.join();
    close(fd);
  }
  CtlChannel *open(uint32_t timeout_ms = 2000) {
    CtlChannel *ch = nullptr;
    ctl_open(0, port, "127.0.0.1", timeout_ms, &ch);
    return ch;
  }
  // The opcodes asked for since the last call.
  std::vector<uint8_t> take_opcodes() {
    std::lock_guard<std::mutex> l(m);
    std::vector<uint8_t> ops;
    for (auto &r : requests) ops.push_back(r[0]);
    requests.clear();
    return ops;
  }
  std::vector<std::vector<uint8_t>> take_requests() {
    std::lock_guard<std::mutex> l(m);
    std::vector<std::vector<uint8_t>> r;
    r.swap(requests);
    return r;
  }

 private:
  void serve() {
    while (!stop) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      CtlPacket req{}, rep{};
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      ssize_t n = recvfrom(fd, req.frame, sizeof req.frame, 0, (sockaddr *)&from, &fl);
      if (n < 4 || ctl_decode_frame(&req, (size_t)n) != 0) continue;
      ctl_get_u8(&req);
      uint8_t op = ctl_get_u8(&req);
      std::vector<uint8_t> fields{op};
      fields.insert(fields.end(), req.read, req.write - 1);
      ctl_init_reply(&rep);
      {
        std::lock_guard<std::mutex> l(m);
        requests.push_back(fields);
        ctl_set_status(&rep, status[op]);
        if (!status[op]) switch (op) {
            case 3: ctl_put_u32(&rep, word); break;
            case 20: ctl_put_string(&rep, "rec_0001.mp4"); break;
            case 41: ctl_put_string(&rep, "snap_0001.jpg"); break;
            case 50: ctl_put_u32(&rep, count); break;
            case 52: {
              char name[32];
              snprintf(name, sizeof name, "file_%u.mp4", fields.size() >= 6 ? fields[2] : 99u);
              ctl_put_string(&rep, name);
              break;
            }
            default: break;
          }
      }
      ctl_put_checksum(&rep);
      size_t len = cobs_encode(&rep);
      sendto(fd, rep.frame, len, 0, (sockaddr *)&from, fl);
    }
  }
};
