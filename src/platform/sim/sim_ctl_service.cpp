// The stand-in for the local control service: one thread on UDP
// 127.0.0.1:12200.
#include "platform/ctl_service.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const uint16_t kServicePort = 12200;
// The largest frame and a spare byte, so an over-long datagram shows.
const size_t kFrameSize = 257;

int service_fd = -1;
int stop_pipe[2] = {-1, -1};
pthread_t service_thread;
bool running;
CtlServiceHandler service_handler;

void *serve(void *) {
  uint8_t frame[kFrameSize];
  for (;;) {
    pollfd pf[2] = {{service_fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
    if (poll(pf, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (pf[1].revents) break;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(service_fd, frame, sizeof frame, 0, (sockaddr *)&from, &len);
    if (n < 4) continue;
    size_t reply = service_handler(frame, (size_t)n, sizeof frame);
    if (reply) (void)sendto(service_fd, frame, reply, 0, (sockaddr *)&from, len);
  }
  return nullptr;
}

}  // namespace

int ctl_service_start(CtlServiceHandler handler) {
  if (running) return 0;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(kServicePort);
  if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || pipe2(stop_pipe, O_CLOEXEC) != 0) {
    fprintf(stderr, "control service: 127.0.0.1:%u: %s\n", kServicePort, strerror(errno));
    close(fd);
    return -1;
  }
  service_fd = fd;
  service_handler = handler;
  if (pthread_create(&service_thread, nullptr, serve, nullptr) != 0) {
    close(fd);
    close(stop_pipe[0]);
    close(stop_pipe[1]);
    service_fd = -1;
    return -1;
  }
  running = true;
  return 0;
}

void ctl_service_stop(void) {
  if (!running) return;
  if (write(stop_pipe[1], "", 1) < 0) perror("control service");
  pthread_join(service_thread, nullptr);
  close(service_fd);
  close(stop_pipe[0]);
  close(stop_pipe[1]);
  service_fd = -1;
  running = false;
}
