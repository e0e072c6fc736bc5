// The media rows through the web server in this process: what each row
// answers (type, "Not found"), a single picture copied out of the
// ring, and a client that leaves in the middle of a stream.
#include "web_test_support.h"

#include <atomic>
#include <string>
#include <thread>


#include "http_stream_test_support.h"
#include "core/process_util.h"
#include "web/http_stream.h"

namespace {

// A GET of a streaming row: the head and the first `want` body bytes (or
// what came within 5 s); the connection stays open in *fd.
HttpReply open_stream(const std::string &path, size_t want, int *fd) {
  *fd = connect_daemon();
  std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  (void)!send(*fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string text;
  char buf[65536];
  for (;;) {
    size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos && text.size() >= end + 4 + want) break;
    pollfd p = {*fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    ssize_t n = recv(*fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    text.append(buf, size_t(n));
  }
  return parse_reply(text);
}

// Closes a stream's connection and feeds its ring until the server, failing
// to write, has let the consumer go (the ring must outlive it).
void close_stream(int fd, TestStream &s) {
  close(fd);
  for (int i = 0; i < 500 && stream_queue_consumers(&s.queue) > 0; i++) {
    put_unit(s, std::string(1000, 'z'), STREAM_FLAG_KEY);
    sleep_ms(10);
  }
  EXPECT_EQ(stream_queue_consumers(&s.queue), 0);
}

class HttpStreamRows : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    stream_register_clear();
  }
  void TearDown() override {
    stream_register_clear();
    WebTest::TearDown();
  }
};

TEST_F(HttpStreamRows, OnePictureIsACopyAndOnlyInJpegMode) {
  TestStream b(VIDEO_STREAM2, 1 << 20, 64);
  ParamBlock *pb = get_param_block();
  pb->video[1].stream_mode = StreamMode_H264_ES;
  EXPECT_EQ(http_get("/streamB.jpg").status, 404);
  pb->video[1].stream_mode = StreamMode_JPEG;
  // No picture yet: the request waits for the next one without holding up
  // the server's other requests.
  std::atomic<bool> answered{false};
  HttpReply r;
  std::thread waiter([&] {
    r = http_get("/streamB.jpg");
    answered = true;
  });
  for (int i = 0; i < 500 && stream_consumer_count(VIDEO_STREAM2) == 0; i++) sleep_ms(10);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM2), 1);
  EXPECT_EQ(http_get("/Video[0].BitRate").status, 200);
  EXPECT_FALSE(answered) << "the picture request held the server until it gave up";
  std::string pic = picture(5000, 'j');
  put_unit(b, pic, STREAM_FLAG_KEY);
  waiter.join();
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "image/jpeg");
  EXPECT_EQ(r.header("Cache-Control"), "no-cache");
  EXPECT_EQ(r.body, pic);
  // A picture under a second old is taken at once; its consumer is gone
  // with the reply.
  EXPECT_EQ(http_get("/streamB.jpg").body, pic);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM2), 0);
}

TEST_F(HttpStreamRows, EachRowAnswersWithItsType) {
  TestStream a(VIDEO_STREAM1, 1 << 20, 64), aac(AAC_STREAM, 1 << 20, 64),
      pcm(PCM_STREAM, 1 << 20, 64);
  const struct {
    const char *path;
    TestStream *s;
    const char *type;
  } rows[] = {{"/streamA.h264", &a, "video/mpeg"},
              {"/streamA.aac", &aac, "audio/mpeg"},
              {"/streamC.pcm", &pcm, "video/mpeg"}};
  for (const auto &row : rows) {
    int fd;
    std::thread producer([&] {
      // The reply's head goes out with its first data.
      for (int i = 0; i < 50 && stream_queue_consumers(&row.s->queue) == 0; i++) sleep_ms(10);
      put_unit(*row.s, std::string("\0\0\0\1\x67 data", 10), STREAM_FLAG_KEY);
    });
    HttpReply r = open_stream(row.path, 10, &fd);
    producer.join();
    close_stream(fd, *row.s);
    EXPECT_EQ(r.status, 200) << row.path;
    EXPECT_EQ(r.header("Content-Type"), row.type) << row.path;
    EXPECT_EQ(r.header("Cache-Control"), "no-cache") << row.path;
  }
}

TEST_F(HttpStreamRows, AClientThatLeavesDetachesItsConsumer) {
  TestStream a(VIDEO_STREAM1, 4 << 20, 256);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    std::string unit("\0\0\0\1\x67", 5);
    unit.resize(20000, 'u');
    while (!stop) {
      put_unit(a, unit, STREAM_FLAG_KEY);
      sleep_ms(5);
    }
  });
  int fd;
  HttpReply r = open_stream("/streamA.h264", 100000, &fd);
  EXPECT_EQ(r.status, 200);
  EXPECT_GE(r.body.size(), 100000u);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 1);
  close(fd);
  // The server learns it on its next write.
  for (int i = 0; i < 500 && stream_consumer_count(VIDEO_STREAM1) != 0; i++) sleep_ms(10);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
  stop = true;
  producer.join();
}

// The server stopping (a network change, a quit) just as a reply with nothing
// to send decides to suspend: the reply ends instead of staying suspended,
// which the library's stop does not survive. The hook holds the reply at
// that point while the stop runs.
std::atomic<int> hook_state;   // 0 idle, 1 held at the decision, 2 let go
void hold_before_suspend(void) {
  int idle = 0;
  if (!hook_state.compare_exchange_strong(idle, 1)) return;
  for (int i = 0; i < 3000 && hook_state.load() != 2; i++) sleep_ms(10);
}

TEST_F(HttpStreamRows, AStopAsAReplySuspendsEndsTheReply) {
  TestStream a(VIDEO_STREAM1, 1 << 20, 64);
  hook_state = 0;
  http_stream_suspend_hook = hold_before_suspend;
  int fd = connect_daemon();
  std::string req = "GET /streamA.h264 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_GT(send(fd, req.data(), req.size(), MSG_NOSIGNAL), 0);
  for (int i = 0; i < 3000 && hook_state.load() != 1; i++) sleep_ms(10);
  ASSERT_EQ(hook_state.load(), 1);
  http_stream_stop(1);
  hook_state = 2;
  // The reply ends: the head, then the end of the connection.
  std::string text;
  bool ended = false;
  char buf[4096];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ended = n == 0;
      break;
    }
    text.append(buf, size_t(n));
  }
  http_stream_suspend_hook = nullptr;
  http_stream_stop(0);
  close(fd);
  EXPECT_TRUE(ended) << "the reply stayed suspended";
  EXPECT_EQ(parse_reply(text).status, 200);
  for (int i = 0; i < 500 && stream_consumer_count(VIDEO_STREAM1) != 0; i++) sleep_ms(10);
  EXPECT_EQ(stream_consumer_count(VIDEO_STREAM1), 0);
}

}  // namespace
