// The content reader of the streaming replies, driven as libmicrohttpd
// drives it, over rings a test fills like the encoders do: multipart part
// headers, pictures cut across blocks, the frame skip, the JPEG-mode test,
// units overwritten while they were sent, the producer's end mark, raw
// H.264 that starts at a key frame, a stream that stops coming, and the
// consumer that goes with the reply.
#include "web_test_support.h"

#include <cerrno>
#include <string>

#include "http_stream_test_support.h"
#include "web/http_stream.h"

namespace {

// Reads in blocks of `block` bytes until the reader has nothing more to give
// (0) or ends; *last is that final result.
std::string drain(HttpStreamState *h, size_t block, ssize_t *last = nullptr) {
  std::string out;
  std::string buf(block, '\0');
  // Every call gives a byte at least: a reader that has given more than
  // 64 MiB in tests of a few pictures never ends.
  for (;;) {
    if (out.size() > (64u << 20)) {
      ADD_FAILURE() << "the stream reader never ends";
      return out;
    }
    ssize_t n = stream_reader_callback(h, out.size(), &buf[0], block);
    if (n <= 0) {
      if (last) *last = n;
      return out;
    }
    EXPECT_LE((size_t)n, block);
    out.append(buf.data(), (size_t)n);
  }
}

std::string part(const std::string &pic, bool first) {
  return std::string(first ? "" : "\r\n\r\n") +
         "--multipart_boundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
         std::to_string(pic.size()) + "\r\n\r\n" + pic;
}

class HttpStreamReader : public ::testing::Test {
 protected:
  void SetUp() override {
    web_test_start();
    web_test_defaults();
    stream_register_clear();
    VideoChannelParams &b = get_param_block()->video[1];
    b.stream_mode = StreamMode_JPEG;
    b.frame_rate = 1;
    get_param_block()->video[0].stream_mode = StreamMode_H264_ES;
  }
  void TearDown() override { stream_register_clear(); }
};

TEST_F(HttpStreamReader, MultipartPartsFollowEachOtherAsStated) {
  const std::string p1 = picture(100, 'a'), p2 = picture(2000, 'b'), p3 = picture(7, 'c');
  const std::string want = part(p1, true) + part(p2, false) + part(p3, false);
  for (size_t block : {size_t(65536), size_t(13), size_t(1)}) {
    TestStream b(VIDEO_STREAM2, 1 << 20, 64);
    HttpStreamState *h = stream_attach_for_http(VIDEO_STREAM2, StreamMode_JPEG, "image/jpeg", 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(stream_consumer_count(VIDEO_STREAM2), 1);
    put_unit(b, p1, STREAM_FLAG_KEY);
    put_unit(b, p2, STREAM_FLAG_KEY);
    put_unit(b, p3, STREAM_FLAG_KEY);
    EXPECT_EQ(drain(h, block), want) << "block " << block;
    chunked_free_callback(h);
    // The reply's consumer goes with it.
    EXPECT_EQ(stream_consumer_count(VIDEO_STREAM2), 0);
  }
}

TEST_F(HttpStreamReader, FrameSkipPassesOverPicturesAfterEachOne) {
  TestStream b(VIDEO_STREAM2, 1 << 20, 64);
  get_param_block()->video[1].frame_rate = 3;
  HttpStreamState *h = stream_attach_for_http(VIDEO_STREAM2, StreamMode_JPEG, "image/jpeg", 0);
  ASSERT_NE(h, nullptr);
  std::string want;
  for (int i = 0; i < 7; i++) {
    std::string p = picture(50 + i, char('0' + i));
    put_unit(b, p, STREAM_FLAG_KEY);
    if (i % 3 == 0) want += p;
  }
  EXPECT_EQ(drain(h, 65536), want);
  chunked_free_callback(h);
}

TEST_F(HttpStreamReader, PicturesEndWhenTheChannelLeavesJpegMode) {
  TestStream b(VIDEO_STREAM2, 1 << 20, 64);
  HttpStreamState *h = stream_attach_for_http(VIDEO_STREAM2, StreamMode_JPEG, "image/jpeg", 0);
  ASSERT_NE(h, nullptr);
  std::string p = picture(300, 'x');
  put_unit(b, p, STREAM_FLAG_KEY);
  EXPECT_EQ(drain(h, 65536), p);
  get_param_block()->video[1].stream_mode = StreamMode_H264_ES;
  put_unit(b, picture(300, 'y'), STREAM_FLAG_KEY);
  ssize_t last = 0;
  EXPECT_EQ(drain(h, 65536, &last), "");
  EXPECT_EQ(last, -1);
  chunked_free_callback(h);
}

TEST_F(HttpStreamReader, AUnitOverwrittenWhileSentEndsTheReply) {
  // 16 KiB of ring: two more 6000-byte units take the first one's place.
  TestStream b(VIDEO_STREAM2, 16384, 16);
  HttpStreamState *h = stream_attach_for_http(VIDEO_STREAM2, StreamMode_JPEG, "image/jpeg", 0);
  ASSERT_NE(h, nullptr);
  std::string p = picture(6000, 'p');
  put_unit(b, p, STREAM_FLAG_KEY);
  char buf[1000];
  ASSERT_EQ(stream_reader_callback(h, 0, buf, sizeof buf), 1000);
  EXPECT_EQ(std::string(buf, 1000), p.substr(0, 1000));
  put_unit(b, picture(6000, 'q'), STREAM_FLAG_KEY);
  put_unit(b, picture(6000, 'r'), STREAM_FLAG_KEY);
  EXPECT_EQ(stream_reader_callback(h, 1000, buf, sizeof buf), -ENOENT);
  // And it stays ended.
  EXPECT_EQ(stream_reader_callback(h, 1000, buf, sizeof buf), -ENOENT);
  chunked_free_callback(h);
}

TEST_F(HttpStreamReader, RawH264StartsAtAKeyFrameAndPassesSnapshotsOver) {
  TestStream a(VIDEO_STREAM1, 1 << 20, 64);
  HttpStreamState *h = stream_attach_for_http(VIDEO_STREAM1, StreamMode_H264_ES, "video/mpeg", 0);
  ASSERT_NE(h, nullptr);
  const std::string inter1("\0\0\0\1\x41 inter one", 14), key("\0\0\0\1\x67 key", 9),
      inter2("\0\0\0\1\x41 inter two", 14);
  put_unit(a, inter1, 0);
  put_unit(a, picture(100, 's'), STREAM_FLAG_JPEG);
  put_unit(a, key, STREAM_FLAG_KEY);
  put_unit(a, picture(100, 't'), STREAM_FLAG_JPEG);
  put_unit(a, inter2, 0);
  EXPECT_EQ(drain(h, 65536), key + inter2);
  // The producer's end mark ends the stream.
  ringbuffer_put(&a.queue, 0, 0, 0);
  ssize_t last = 0;
  EXPECT_EQ(drain(h, 65536, &last), "");
  EXPECT_EQ(last, -1);
  chunked_free_callback(h);
}

TEST_F(HttpStreamReader, AudioRowsIgnoreTheVideoChannelsModes) {
  TestStream pcm(PCM_STREAM, 1 << 20, 64);
  // Neither channel in JPEG mode: no test of theirs applies to audio.
  get_param_block()->video[1].stream_mode = StreamMode_H264_ES;
  HttpStreamState *h = stream_attach_for_http(PCM_STREAM, StreamMode_Audio_PCM, "video/mpeg", 0);
  ASSERT_NE(h, nullptr);
  std::string want;
  for (int i = 0; i < 20; i++) {
    std::string chunk(4096, char('A' + i));
    put_unit(pcm, chunk, STREAM_FLAG_KEY);
    want += chunk;
  }
  EXPECT_EQ(drain(h, 65536), want);
  chunked_free_callback(h);
}

TEST_F(HttpStreamReader, NothingYetIsNotTheEndUntilThreeSecondsPass) {
  TestStream b(VIDEO_STREAM2, 1 << 20, 64);
  HttpStreamState *h = stream_attach_for_http(VIDEO_STREAM2, StreamMode_JPEG, "image/jpeg", 0);
  ASSERT_NE(h, nullptr);
  char buf[100];
  // Each call gives up after a short wait, so that the library's thread goes
  // on with its other connections.
  EXPECT_EQ(stream_reader_callback(h, 0, buf, sizeof buf), 0);
  ssize_t n = 0;
  int calls = 1;
  while ((n = stream_reader_callback(h, 0, buf, sizeof buf)) == 0 && calls < 1000) calls++;
  EXPECT_EQ(n, -ENOENT);
  EXPECT_GT(calls, 10);
  chunked_free_callback(h);
}

TEST_F(HttpStreamReader, NoStreamNoState) {
  // Id 3 carries no queue.
  EXPECT_EQ(stream_attach_for_http(OUTPUT_STREAM, StreamMode_H264_ES, "video/mpeg", 0), nullptr);
  EXPECT_EQ(stream_attach_for_http(VIDEO_STREAM1, StreamMode_H264_ES, "video/mpeg", 0), nullptr);
}

}  // namespace
