// JPEG on channel B: pictures of the configured size (turned when asked)
// while VIDEO_STREAM2 is consumed, coded from output B whatever channel A
// does (H.264 or JPEG of its own), with the metadata block; a picture that
// does not fit is coded again at a lower quality, and dropped at quality 2.
// Pictures are checked by libjpeg-turbo with warnings taken as errors.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "video_enc_test_support.h"

namespace {

// Decodes a JPEG, failing on any warning; its size.
bool jpeg_decodes(const Bytes &j, int *w, int *h) {
  tjhandle t = tjInitDecompress();
  int sub = 0, cs = 0;
  bool ok = tjDecompressHeader3(t, j.data(), (unsigned long)j.size(), w, h, &sub, &cs) == 0;
  if (ok) {
    std::vector<uint8_t> rgb((size_t)*w * *h * 3);
    ok = tjDecompress2(t, j.data(), (unsigned long)j.size(), rgb.data(), *w, 0, *h, TJPF_RGB,
                       TJFLAG_STOPONWARNING) == 0;
    if (!ok) ADD_FAILURE() << tjGetErrorStr2(t);
  }
  tjDestroy(t);
  return ok;
}

// A COM segment, as a control client would send for the snapshot.
const Bytes kMeta = {0xFF, 0xFE, 0x00, 0x0C, 'm', '7', '3', '9', '1', '-', 't', 'e', 's', 't'};

void meta_source(SnapshotMetaFn fn, void *arg) { fn(kMeta.data(), (uint32_t)kMeta.size(), 1, arg); }
// No block set and none enabled, as after start.
void empty_source(SnapshotMetaFn fn, void *arg) { fn(nullptr, 0, 0, arg); }

size_t count_of(const std::string &all, const char *needle) {
  size_t n = 0;
  for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) n++;
  return n;
}

class VideoEncJpeg : public ::testing::Test {
 protected:
  EncoderRun run;
  LogWatch log;
  void TearDown() override {
    run.stop();
    video_snapshot_metadata = nullptr;
  }
};

}  // namespace

TEST_F(VideoEncJpeg, JpegModeGivesPicturesWhileConsumed) {
  run.start([] { jpeg_settings(1, 640, 360, 80); });
  Unit u;
  {
    VideoConsumer c(VIDEO_STREAM2, StreamMode_JPEG);
    ASSERT_TRUE(c.next(&u));
    EXPECT_TRUE(u.flags & FRAME_KEY);
    int w = 0, h = 0;
    EXPECT_TRUE(jpeg_decodes(u.data, &w, &h));
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 360);
    std::string s = probe(dump_file("b.jpg", u.data), "stream=codec_name,width,height");
    EXPECT_NE(s.find("codec_name=mjpeg\nwidth=640\nheight=360"), std::string::npos) << s;
    // Motion JPEG: more pictures follow while the consumer stays.
    EXPECT_TRUE(c.next(&u));
    EXPECT_TRUE(jpeg_decodes(u.data, &w, &h));
  }
  EXPECT_TRUE(log.has("videoB attached to CAPTURE_STREAM2  640x360"));
  // Flip bit 2 turns the picture a quarter, from the restart that a change
  // of the setting makes (a consumer coming as the last one left keeps the
  // run going).
  video(1).flip = 4;
  VideoConsumer c(VIDEO_STREAM2, StreamMode_JPEG);
  stream_restart(VIDEO_STREAM2);
  // A consumer may start at the last picture of the previous run.
  int w = 0, h = 0;
  for (int i = 0; i < 10 && w != 360; i++) {
    ASSERT_TRUE(c.next(&u));
    EXPECT_TRUE(jpeg_decodes(u.data, &w, &h));
  }
  EXPECT_EQ(w, 360);
  EXPECT_EQ(h, 640);
}

// Up to count pictures from c (3 s for each at most), each checked to decode
// at w x h; how many came.
int pictures_of_size(VideoConsumer &c, int count, int w, int h, Unit *last) {
  int n = 0;
  while (n < count && c.next(last, 3000)) {
    int pw = 0, ph = 0;
    EXPECT_TRUE(jpeg_decodes(last->data, &pw, &ph));
    EXPECT_EQ(pw, w);
    EXPECT_EQ(ph, h);
    n++;
  }
  return n;
}

TEST_F(VideoEncJpeg, ChannelBCodesItsOwnPicturesWhileChannelACodesH264) {
  video_snapshot_metadata = meta_source;
  run.start([] {
    h264_settings(0, 640, 360);
    jpeg_settings(1, 320, 240, 85);
  });
  VideoConsumer a(VIDEO_STREAM1);
  std::vector<Unit> before = a.take(5);
  ASSERT_EQ(before.size(), 5u);
  Unit u;
  {
    // Motion JPEG: picture after picture, not one snapshot and then nothing.
    VideoConsumer b(VIDEO_STREAM2, StreamMode_JPEG);
    EXPECT_EQ(pictures_of_size(b, 10, 320, 240, &u), 10);
  }
  EXPECT_TRUE(u.flags & FRAME_KEY);
  ASSERT_GT(u.data.size(), kMeta.size() + 2);
  EXPECT_TRUE(std::equal(kMeta.begin(), kMeta.end(), u.data.end() - 2 - (long)kMeta.size()));
  EXPECT_TRUE(log.has("videoB attached to CAPTURE_STREAM2  320x240"));
  // Channel A went on undisturbed, and its ring holds only its own frames:
  // its stamps rise on the 3000-tick grid (a loaded host may lose a frame),
  // left once at most, where setting up output B restarted the frame clock.
  // While the test read B, A's consumer stood still and may have been
  // passed over to a later key frame: that one step may be long.
  std::vector<Unit> after = a.take(20);
  ASSERT_EQ(after.size(), 20u);
  std::vector<Unit> all = before;
  all.insert(all.end(), after.begin(), after.end());
  int off_grid = 0;
  for (size_t i = 1; i < all.size(); i++) {
    uint32_t step = all[i].ts - all[i - 1].ts;
    EXPECT_TRUE(step > 0 && (step < 90000 || i == before.size())) << i << ": " << step;
    EXPECT_LT(step, 0x80000000u) << i;
    off_grid += step % 3000 != 0;
  }
  EXPECT_LE(off_grid, 1);
  EXPECT_EQ(decode_errors(dump_file("a.h264", concat(all))), "");
}

// A snapshot while channel B codes H.264 is a picture of output B's frame
// at B's size, coded aside: B's own stream stays H.264. A frame that is not
// whole is passed over.
TEST_F(VideoEncJpeg, SnapshotOfChannelBCodingH264IsAPictureOfOutputB) {
  run.start([] {
    h264_settings(0, 640, 360);
    h264_settings(1, 320, 240);
    video(1).jpeg_quality = 85;
  });
  VideoConsumer b(VIDEO_STREAM2);
  Unit u;
  ASSERT_TRUE(b.next(&u));
  StreamState cap{};
  ASSERT_EQ(stream_state_attach(CAPTURE_STREAM2, StreamMode_NV12, &cap), 0);
  Bytes out(VIDEO_MAX_OUTPUT);
  int n = 0;
  for (int i = 0; i < 100 && n == 0; i++) {
    FrameDesc *f = stream_state_dequeue_timeout(&cap, 30000);
    ASSERT_NE(f, nullptr);
    FrameDesc part = *f;
    part.flags &= (uint8_t)~FRAME_WHOLE;
    EXPECT_EQ(video_snapshot_jpeg(cap.streamq, &part, out.data(), (uint32_t)out.size()), 0);
    n = video_snapshot_jpeg(cap.streamq, f, out.data(), (uint32_t)out.size());
    ASSERT_GE(n, 0);
  }
  stream_state_detach(&cap);
  ASSERT_GT(n, 0);
  out.resize((size_t)n);
  int w = 0, h = 0;
  EXPECT_TRUE(jpeg_decodes(out, &w, &h));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
  ASSERT_TRUE(b.next(&u));
  ASSERT_GE(u.data.size(), 4u);
  EXPECT_EQ(Bytes(u.data.begin(), u.data.begin() + 4), (Bytes{0, 0, 0, 1}));   // still H.264
}

// Motion JPEG without metadata says so once, not for every picture.
TEST_F(VideoEncJpeg, AbsentMetadataIsLoggedOnce) {
  video_snapshot_metadata = empty_source;
  run.start([] { jpeg_settings(1, 320, 240, 80); });
  Unit u;
  {
    VideoConsumer b(VIDEO_STREAM2, StreamMode_JPEG);
    EXPECT_EQ(pictures_of_size(b, 10, 320, 240, &u), 10);
  }
  log.take();
  EXPECT_LE(count_of(log.all, "snapshot metadata ptr="), 1u) << log.all;
}

TEST_F(VideoEncJpeg, BothChannelsInJpegModeDeliverTogether) {
  run.start([] {
    jpeg_settings(0, 640, 360, 80);
    jpeg_settings(1, 320, 240, 80);
  });
  VideoConsumer a(VIDEO_STREAM1, StreamMode_JPEG);
  VideoConsumer b(VIDEO_STREAM2, StreamMode_JPEG);
  Unit u;
  for (int round = 0; round < 3; round++) {
    EXPECT_EQ(pictures_of_size(a, 5, 640, 360, &u), 5) << round;
    EXPECT_EQ(pictures_of_size(b, 5, 320, 240, &u), 5) << round;
  }
}

TEST(VideoJpegEncode, QualityFallsUntilThePictureFitsAndStopsAt2) {
  LogWatch log;
  VideoEncParams p{};
  p.env.name = "videoB";
  p.max_width = 640;
  p.max_height = 480;
  p.width = 640;
  p.height = 480;
  p.pitch = 640;
  p.fourcc = V4L2_PIX_FMT_NV12;
  p.jpeg_quality = 97;
  Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
  ASSERT_NE(engine, nullptr);
  pthread_mutex_lock(&codec_mutex);
  ASSERT_EQ(setup_jpeg_encoder(&p, engine), 0);
  pthread_mutex_unlock(&codec_mutex);
  TestFrame f = make_test_frame(640, 480, 640, false, 3, 40);
  JpegPicture pic = {f.luma.data(),   (uint32_t)f.luma.size(), f.chroma.data(),
                     (uint32_t)f.chroma.size(), 640, 480, 640, V4L2_PIX_FMT_NV12};
  Bytes out(p.max_output);
  int full = video_jpeg_encode(&p, &pic, out.data(), (uint32_t)out.size());
  ASSERT_GT(full, 0);
  EXPECT_EQ(p.jpeg_quality, 97);

  uint32_t room = (uint32_t)full / 3;
  int n = video_jpeg_encode(&p, &pic, out.data(), room);
  ASSERT_GT(n, 0);
  EXPECT_LE((uint32_t)n, room);
  EXPECT_LT(p.jpeg_quality, 97);
  EXPECT_EQ((97 - p.jpeg_quality) % 3, 0);
  EXPECT_TRUE(log.has("videoB: jpeg bytesGenerated="));
  int w, h;
  EXPECT_TRUE(jpeg_decodes(Bytes(out.begin(), out.begin() + n), &w, &h));

  // Nothing this small holds the picture: dropped once quality 2 is reached.
  p.jpeg_quality = 20;
  EXPECT_EQ(video_jpeg_encode(&p, &pic, out.data(), 2000), -1);
  EXPECT_EQ(p.jpeg_quality, 2);
  EXPECT_TRUE(log.has("at quality 2, dropped"));

  pthread_mutex_lock(&codec_mutex);
  IMGENC1_delete(p.ienc);
  pthread_mutex_unlock(&codec_mutex);
  Engine_close(engine);
}
