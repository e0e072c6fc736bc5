// Stream modes, their classifiers and names, the H.264/MPEG-4 exclusion and
// the id tables.
#include <gtest/gtest.h>
#include "core/param_block.h"
#include "stream_test_support.h"

namespace {

struct ModeRowT {
  uint8_t mode, mux, video, audio;
  const char *name;
};
const ModeRowT kModes[] = {
    {0, 1, 2, 1, "StreamMode_H264_AAC_TS"},   {1, 1, 2, 0, "StreamMode_H264_TS"},
    {2, 0, 2, 0, "StreamMode_H264_ES"},       {3, 0, 3, 0, "StreamMode_JPEG"},
    {4, 0, 4, 0, "StreamMode_G711"},          {5, 0, 5, 0, "StreamMode_UYVY"},
    {6, 0, 6, 0, "StreamMode_NV12"},          {7, 0, 7, 0, "StreamMode_Y8"},
    {8, 1, 10, 1, "StreamMode_MPEG4_AAC_TS"}, {9, 1, 10, 0, "StreamMode_MPEG4_TS"},
    {10, 0, 10, 0, "StreamMode_MPEG4_ES"},    {11, 3, 10, 1, "StreamMode_MPEG4_AAC_MP4"},
    {12, 3, 10, 0, "StreamMode_MPEG4_MP4"},   {13, 3, 2, 1, "StreamMode_H264_AAC_MP4"},
    {14, 3, 2, 0, "StreamMode_H264_MP4"},     {15, 2, 2, 0, "StreamMode_H264_AAC_FLV"},
    {16, 0, 16, 0, "unknown"},                {17, 0, 255, 1, "StreamMode_Audio_AAC"},
    {18, 0, 255, 3, "StreamMode_Audio_PCM"},  {19, 1, 10, 3, "StreamMode_MPEG4_PCM_TS"},
    {20, 1, 2, 3, "StreamMode_H264_PCM_TS"},  {255, 0, 255, 0, "StreamMode_None"},
    {21, 0, 21, 0, "unknown"},                {100, 0, 100, 0, "unknown"},
};

// The classifiers, the names, and compose, which must give back each mode
// from its classes.
TEST(StreamModes, ClassifiersNamesAndComposeFollowTheTable) {
  for (const ModeRowT &r : kModes) {
    SCOPED_TRACE(r.mode);
    EXPECT_EQ(stream_mode_mux_type(r.mode), r.mux);
    EXPECT_EQ(stream_mode_video_es(r.mode), r.video);
    EXPECT_EQ(stream_mode_audio_type(r.mode), r.audio);
    EXPECT_STREQ(stream_mode_name(r.mode), r.name);
    // G.711 has no row; FLV classifies without audio but composes from AAC.
    if (r.mode <= 20 && r.mode != 4)
      EXPECT_EQ(stream_mode_compose(r.video, r.mode == 15 ? 1 : r.audio, r.mux), r.mode);
  }
  EXPECT_EQ(stream_mode_compose(10, 1, 2), StreamMode_None);
}

struct ConflictCase {
  uint8_t mine, theirs, expect;
};

TEST(StreamModes, H264AndMpeg4NeverRunTogether) {
  const ConflictCase cases[] = {
      {StreamMode_MPEG4_AAC_MP4, StreamMode_H264_AAC_TS, StreamMode_MPEG4_AAC_TS},
      {StreamMode_MPEG4_AAC_MP4, StreamMode_H264_AAC_FLV, StreamMode_None},
      {StreamMode_MPEG4_ES, StreamMode_H264_PCM_TS, StreamMode_MPEG4_PCM_TS},
      {StreamMode_H264_ES, StreamMode_MPEG4_MP4, StreamMode_H264_MP4},
      {StreamMode_H264_TS, StreamMode_MPEG4_ES, StreamMode_H264_ES},
      // No conflict: left alone.
      {StreamMode_H264_ES, StreamMode_JPEG, StreamMode_JPEG},
      {StreamMode_MPEG4_TS, StreamMode_MPEG4_ES, StreamMode_MPEG4_ES},
  };
  for (const ConflictCase &c : cases) {
    for (int channel = 0; channel < 2; channel++) {
      SCOPED_TRACE(testing::Message() << (int)c.mine << " vs " << (int)c.theirs << " ch"
                                      << channel);
      VideoChannelParams video[2] = {};
      video[channel].stream_mode = c.mine;
      video[1 - channel].stream_mode = c.theirs;
      log_take();
      check_h264_mpeg4_conflict(video, channel);
      EXPECT_EQ(video[channel].stream_mode, c.mine);
      EXPECT_EQ(video[1 - channel].stream_mode, c.expect);
      std::string log = log_take();
      EXPECT_NE(log.find("check_h264_mpeg4_conflict: Video[" + std::to_string(channel) +
                         "].StreamMode=" + stream_mode_name(c.mine) + " test"),
                std::string::npos);
      EXPECT_EQ(log.find(" override ") != std::string::npos, c.expect != c.theirs);
    }
  }
}

class StreamTables : public testing::Test {
 protected:
  void SetUp() override { stream_register_clear(); }
  void TearDown() override { stream_register_clear(); }
};

TEST_F(StreamTables, NamesComeFromTheTableAndNeverNameNull) {
  TestStream v1(VIDEO_STREAM1, 4096, 16), aac(AAC_STREAM, 4096, 16);
  EXPECT_STREQ(stream_name(&v1.queue), "VIDEO_STREAM1");
  EXPECT_STREQ(stream_name(&aac.queue), "AAC_STREAM");
  StreamQueue stray{};
  EXPECT_STREQ(stream_name(&stray), "unknown stream");
  // Id 3 has no queue: its empty entry must not match a NULL queue.
  EXPECT_STREQ(stream_name(nullptr), "unknown stream");
}

TEST_F(StreamTables, GetStreamQueueRefusesEmptyAndOutOfRangeIds) {
  TestStream v2(VIDEO_STREAM2, 4096, 16);
  EXPECT_EQ(get_stream_queue(VIDEO_STREAM2), &v2.queue);
  log_take();
  EXPECT_EQ(get_stream_queue(OUTPUT_STREAM), nullptr);
  EXPECT_EQ(get_stream_queue(16), nullptr);
  std::string log = log_take();
  EXPECT_NE(log.find("get_stream_queue: invalid streamid 3\n"), std::string::npos);
  EXPECT_NE(log.find("get_stream_queue: invalid streamid 16\n"), std::string::npos);
}

TEST(StreamRings, RingCreateUsesContiguousMemory) {
  stream_register_clear();
  ProducerState st{};
  StreamQueue q{};
  stream_register(&st, &q, PCM_STREAM);
  Buffer_Handle b = stream_ring_create(&q, PCM_STREAM);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(q.size, 0x10000u);
  EXPECT_EQ(q.index_mask, 15u);
  EXPECT_EQ(q.align_mask, 31u);
  EXPECT_NE(q.phys, 0u);
  EXPECT_EQ(q.phys % 32, 0u);
  EXPECT_EQ(CMEM_getVirt(q.phys), (void *)q.base);
  ringbuffer_free(&q);
  Buffer_delete(b);
  stream_register_clear();
}

TEST(StreamRingsDeath, EntryCountMustBeAPowerOfTwo) {
  StreamQueue q{};
  Buffer_Handle b = Buffer_create(4096, nullptr);
  EXPECT_DEATH(ringbuffer_init(&q, b, 12, 32),
               "ringbuffer_init: num_entries must be a power of 2: 12");
  Buffer_delete(b);
}

}  // namespace
