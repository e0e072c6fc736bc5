// RTP packets as the payload formats lay them out: H.264 single NAL units
// and FU-A fragments with the marker on an access unit's last packet and
// the fmtp line, clients that begin and resume at key frames, AAC access
// units with their AU headers, MP2T packets of whole transport packets sent
// without pacing, and L16 fragments stamped with their first sample.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "core/param_block.h"
#include "streaming/rtp_sink.h"
#include "streaming/rtsp/h264_framer.h"
#include "streaming/rtsp/rtp_formats.h"
#include "streaming/rtsp_subsessions.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Frames handed out as soon as they are asked for.
class ListSource : public FramedSource {
 public:
  ListSource(UsageEnvironment &env) : FramedSource(env) {}
  std::deque<Bytes> frames;
  unsigned duration_us = 0;
  struct timeval pt = {1000, 0};
  void push(const Bytes &b) {
    frames.push_back(b);
    if (isCurrentlyAwaitingData()) doGetNextFrame();
  }

 protected:
  void doGetNextFrame() override {
    if (frames.empty()) return;
    Bytes f = frames.front();
    frames.pop_front();
    fFrameSize = (unsigned)f.size() < fMaxSize ? (unsigned)f.size() : fMaxSize;
    memcpy(fTo, f.data(), fFrameSize);
    fPresentationTime = pt;
    pt.tv_usec += 40000;
    if (pt.tv_usec >= 1000000) { pt.tv_usec -= 1000000; pt.tv_sec++; }
    fDurationInMicroseconds = duration_us;
    afterGetting(this);
  }
};

struct Capture : RtpTcpChannel {
  std::vector<Bytes> packets;
  bool sendInterleaved(OutChunk *c, unsigned off, unsigned n) override {
    packets.emplace_back(c->data + off + 4, c->data + off + n);
    return true;
  }
};

struct Rtp {
  bool marker;
  uint8_t pt;
  uint16_t seq;
  uint32_t ts;
  Bytes payload;
};

Rtp parse(const Bytes &p) {
  Rtp r;
  r.marker = p[1] & 0x80;
  r.pt = p[1] & 0x7F;
  r.seq = (uint16_t)(p[2] << 8 | p[3]);
  r.ts = (uint32_t)p[4] << 24 | (uint32_t)p[5] << 16 | (uint32_t)p[6] << 8 | p[7];
  r.payload.assign(p.begin() + 12, p.end());
  return r;
}

struct Harness {
  TaskScheduler *sched = BasicTaskScheduler::createNew(10000);
  UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
  Groupsock *gs = Groupsock::createDummy(*env);
  Capture cap;
  Harness() { gs->addTcpDestination(&cap, 0, 1); }
  ~Harness() {
    delete gs;
    env->reclaim();
    delete sched;
  }
  void run(int passes = 20) {
    for (int i = 0; i < passes; i++) sched->singleStep(1000);
  }
  std::vector<Rtp> rtp() {
    std::vector<Rtp> v;
    for (auto &p : cap.packets) v.push_back(parse(p));
    return v;
  }
};

Bytes nal(uint8_t header, size_t size, uint8_t fill) {
  Bytes b(size, fill);
  b[0] = header;
  for (size_t i = 1; i < size; i++) b[i] = (uint8_t)(fill + i);
  return b;
}

TEST(RtpPacketization, H264SingleUnitsAndFuA) {
  Harness h;
  ListSource *src = new ListSource(*h.env);
  H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*h.env, src);
  H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*h.env, h.gs, 96);
  sink->setPacketSizes(1400, 1400);
  Bytes sps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x50};
  Bytes pps = {0x68, 0xEE, 0x3C, 0xB0};
  Bytes idr = nal(0x65, 5000, 3);
  Bytes p = nal(0x41, 700, 9);
  src->frames = {sps, pps, idr, p};
  EXPECT_EQ(sink->auxSDPLine(), nullptr);
  sink->startPlaying(*framer, nullptr, nullptr);
  h.run();
  auto pk = h.rtp();
  ASSERT_GE(pk.size(), 7u);
  EXPECT_EQ(pk[0].payload, sps);
  EXPECT_FALSE(pk[0].marker);
  EXPECT_EQ(pk[1].payload, pps);
  // The IDR unit in FU-A fragments: indicator keeps F and NRI, type 28.
  Bytes rebuilt = {0x65};
  size_t i = 2;
  for (; i < pk.size() && pk[i].payload[0] == 0x7C; i++) {
    const Rtp &r = pk[i];
    EXPECT_LE(r.payload.size() + 12, 1400u);
    bool first = i == 2, last = (r.payload[1] & 0x40) != 0;
    EXPECT_EQ(r.payload[1] & 0x80, first ? 0x80 : 0);
    EXPECT_EQ(r.payload[1] & 0x1F, 5);
    EXPECT_EQ(r.marker, last);
    EXPECT_EQ(r.ts, pk[2].ts);
    rebuilt.insert(rebuilt.end(), r.payload.begin() + 2, r.payload.end());
  }
  EXPECT_EQ(i, 6u) << "5000 bytes in 1386-byte fragments";
  EXPECT_EQ(rebuilt, idr);
  ASSERT_EQ(i + 1, pk.size());
  EXPECT_EQ(pk[i].payload, p);
  EXPECT_TRUE(pk[i].marker);
  EXPECT_NE(pk[i].ts, pk[2].ts);
  for (size_t k = 1; k < pk.size(); k++) EXPECT_EQ((uint16_t)(pk[k - 1].seq + 1), pk[k].seq);

  const char *fmtp = sink->auxSDPLine();
  ASSERT_NE(fmtp, nullptr);
  EXPECT_STREQ(fmtp,
               "a=fmtp:96 packetization-mode=1;profile-level-id=640028;"
               "sprop-parameter-sets=Z2QAKKzZQFA=,aO48sA==\r\n");
  Medium::close(sink);
  Medium::close(framer);
}

// A unit that fills the packet with its RTP header goes whole; one byte
// more and it goes in two FU-A fragments, no packet past the limit.
TEST(RtpPacketization, H264UnitAtThePacketLimit) {
  Harness h;
  ListSource *src = new ListSource(*h.env);
  H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*h.env, src);
  H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*h.env, h.gs, 96);
  sink->setPacketSizes(1400, 1400);
  Bytes fits = nal(0x41, 1400 - 12, 5), over = nal(0x41, 1400 - 12 + 1, 7);
  src->frames = {{0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x50}, {0x68, 0xEE, 0x3C, 0xB0}, fits, over};
  sink->startPlaying(*framer, nullptr, nullptr);
  h.run();
  for (const Bytes &p : h.cap.packets) EXPECT_LE(p.size(), 1400u);
  auto pk = h.rtp();
  ASSERT_EQ(pk.size(), 5u);
  EXPECT_EQ(pk[2].payload, fits);
  Bytes rebuilt = {0x41};
  for (size_t i = 3; i < 5; i++) {
    EXPECT_EQ(pk[i].payload[0], 0x5C) << i;
    EXPECT_EQ(pk[i].payload[1], (i == 3 ? 0x80 : 0x40) | 1) << i;
    rebuilt.insert(rebuilt.end(), pk[i].payload.begin() + 2, pk[i].payload.end());
  }
  EXPECT_EQ(rebuilt, over);
  Medium::close(sink);
  Medium::close(framer);
}

// A connection whose output is full for a while, and one that joins late:
// each begins again at a key frame's parameter sets, while a connection that
// keeps up gets every packet.
TEST(RtpPacketization, H264ClientsBeginAndResumeAtKeyFrames) {
  struct Stalling : Capture {
    bool full = false;
    bool sendInterleaved(OutChunk *c, unsigned off, unsigned n) override {
      return !full && Capture::sendInterleaved(c, off, n);
    }
  } slow;
  Capture late;
  Harness h;
  h.gs->addTcpDestination(&slow, 2, 2);
  ListSource *src = new ListSource(*h.env);
  H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*h.env, src);
  H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*h.env, h.gs, 96);
  sink->setPacketSizes(1400, 1400);
  Bytes sps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x50};
  Bytes pps = {0x68, 0xEE, 0x3C, 0xB0};
  sink->startPlaying(*framer, nullptr, nullptr);
  auto send = [&](std::vector<Bytes> frames) {
    for (const Bytes &f : frames) src->push(f);
    h.run();
  };
  send({nal(0x41, 500, 1)});          // a picture nobody can begin with
  send({sps, pps, nal(0x65, 3000, 2), nal(0x41, 500, 3)});
  h.gs->addTcpDestination(&late, 4, 3);
  slow.full = true;
  send({nal(0x41, 2000, 4)});
  slow.full = false;
  send({nal(0x41, 500, 5)});
  send({sps, pps, nal(0x65, 3000, 6)});

  auto rtp = [](const Capture &c) {
    std::vector<Rtp> v;
    for (auto &p : c.packets) v.push_back(parse(p));
    return v;
  };
  std::vector<Rtp> fast = rtp(h.cap), s = rtp(slow), l = rtp(late);
  // Everyone begins at the first parameter sets; the one that keeps up gets
  // every packet from there.
  ASSERT_EQ(fast.size(), 2u + 3 + 1 + 2 + 1 + 2 + 3);
  EXPECT_EQ(fast[0].payload, sps);
  for (size_t k = 1; k < fast.size(); k++) EXPECT_EQ((uint16_t)(fast[k - 1].seq + 1), fast[k].seq);
  const Rtp &second = fast[fast.size() - 5];
  EXPECT_EQ(second.payload, sps);
  // The stalled one: the first key frame on, up to its stall, then the
  // second key frame on; nothing in between.
  ASSERT_GE(s.size(), 5u + 5);
  EXPECT_EQ(s[0].seq, fast[0].seq);
  size_t k = 1;
  while (k < s.size() && s[k].seq == (uint16_t)(s[k - 1].seq + 1)) k++;
  ASSERT_EQ(s.size() - k, 5u);
  EXPECT_EQ(s[k].seq, second.seq);
  EXPECT_EQ(s[k].payload, sps);
  // The late one: the second key frame on.
  ASSERT_EQ(l.size(), 5u);
  EXPECT_EQ(l[0].seq, second.seq);
  Medium::close(sink);
  Medium::close(framer);
}

TEST(RtpPacketization, AacAccessUnitsCarryAuHeaders) {
  char config[5];
  ASSERT_TRUE(aac_audio_specific_config(48000, 2, config));
  EXPECT_STREQ(config, "1190");
  ASSERT_TRUE(aac_audio_specific_config(44100, 2, config));
  EXPECT_STREQ(config, "1210");
  ASSERT_TRUE(aac_audio_specific_config(48000, 1, config));
  EXPECT_STREQ(config, "1188");
  EXPECT_FALSE(aac_audio_specific_config(12345, 2, config));

  Harness h;
  ListSource *src = new ListSource(*h.env);
  MPEG4GenericRTPSink *sink =
      MPEG4GenericRTPSink::createNew(*h.env, h.gs, 97, 48000, "audio", "AAC-hbr", "1190", 2);
  sink->setPacketSizes(1000, 1000);
  char *rtpmap = sink->rtpmapLine();
  EXPECT_STREQ(rtpmap, "a=rtpmap:97 MPEG4-GENERIC/48000/2\r\n");
  delete[] rtpmap;
  EXPECT_STREQ(sink->auxSDPLine(),
               "a=fmtp:97 streamtype=5;profile-level-id=1;mode=AAC-hbr;sizelength=13;"
               "indexlength=3;indexdeltalength=3;config=1190\r\n");
  Bytes au1 = nal(0x21, 300, 1), au2 = nal(0x21, 2000, 2);
  src->frames = {au1, au2};
  sink->startPlaying(*src, nullptr, nullptr);
  h.run();
  auto pk = h.rtp();
  ASSERT_EQ(pk.size(), 4u);
  // AU-headers-length 16 bits, then size (13 bits) and index 0 (3 bits).
  EXPECT_EQ(Bytes(pk[0].payload.begin(), pk[0].payload.begin() + 4), (Bytes{0, 16, 0x09, 0x60}));
  EXPECT_EQ(Bytes(pk[0].payload.begin() + 4, pk[0].payload.end()), au1);
  EXPECT_TRUE(pk[0].marker);
  // A fragmented unit: every fragment gives the whole size, the last the marker.
  Bytes rebuilt;
  for (size_t i = 1; i < 4; i++) {
    EXPECT_EQ(Bytes(pk[i].payload.begin(), pk[i].payload.begin() + 4), (Bytes{0, 16, 0x3E, 0x80}));
    EXPECT_EQ(pk[i].marker, i == 3);
    EXPECT_EQ(pk[i].ts, pk[1].ts);
    rebuilt.insert(rebuilt.end(), pk[i].payload.begin() + 4, pk[i].payload.end());
  }
  EXPECT_EQ(rebuilt, au2);
  EXPECT_EQ(pk[1].ts - pk[0].ts, 1920u) << "40 ms at 48 kHz";
  Medium::close(sink);
  Medium::close(src);
}

Bytes ts_packets(int n, uint8_t tag) {
  Bytes b;
  for (int i = 0; i < n; i++) {
    Bytes p(188, tag);
    p[0] = 0x47;
    p[3] = (uint8_t)(0x10 | (i & 15));
    b.insert(b.end(), p.begin(), p.end());
  }
  return b;
}

TEST(RtpPacketization, Mp2tPacketsHoldWholeTransportPacketsAndAreNotPaced) {
  Harness h;
  ParamBlock *p = get_param_block();
  uint32_t saved = p->udp_packet_size;
  p->udp_packet_size = 1344;
  ListSource *src = new ListSource(*h.env);
  src->duration_us = 1000000;   // pacing by durations would take seconds
  ZelkMPEG2TransportStreamFramer *framer = ZelkMPEG2TransportStreamFramer::createNew(*h.env, src);
  ZelkSimpleRTPSink *sink =
      ZelkSimpleRTPSink::createNew(*h.env, h.gs, 33, 90000, "video", "MP2T", 1, true, false);
  p->udp_packet_size = saved;
  EXPECT_EQ(sink->ourMaxPacketSize(), 1316u);
  Bytes all;
  for (int i = 0; i < 10; i++) {
    Bytes unit = ts_packets(7, (uint8_t)i);
    all.insert(all.end(), unit.begin(), unit.end());
    src->frames.push_back(unit);
  }
  sink->startPlaying(*framer, nullptr, nullptr);
  h.run(40);
  Bytes got;
  for (const Rtp &r : h.rtp()) {
    EXPECT_EQ(r.pt, 33);
    EXPECT_FALSE(r.marker);
    EXPECT_EQ(r.payload.size() % 188, 0u);
    EXPECT_LE(r.payload.size(), 1316u - 12);
    got.insert(got.end(), r.payload.begin(), r.payload.end());
  }
  // Everything but what waits for the next unit has left at once.
  EXPECT_GE(got.size(), all.size() - 188);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
  Medium::close(sink);
  Medium::close(framer);
}

TEST(RtpPacketization, L16FragmentsEndOnSampleFramesWithTheirOwnTimestamps) {
  Harness h;
  ListSource *src = new ListSource(*h.env);
  SimpleRTPSink *sink =
      SimpleRTPSink::createNew(*h.env, h.gs, 96, 48000, "audio", "L16", 2, true, true);
  sink->setPacketSizes(1001, 1001);
  Bytes chunk(4096);
  for (size_t i = 0; i < chunk.size(); i++) chunk[i] = (uint8_t)i;
  src->frames = {chunk};
  sink->startPlaying(*src, nullptr, nullptr);
  h.run();
  auto pk = h.rtp();
  ASSERT_GE(pk.size(), 5u);
  Bytes got;
  uint32_t samples = 0;
  for (const Rtp &r : pk) {
    EXPECT_EQ(r.payload.size() % 4, 0u);
    EXPECT_EQ(r.ts - pk[0].ts, samples);
    samples += (uint32_t)r.payload.size() / 4;
    got.insert(got.end(), r.payload.begin(), r.payload.end());
  }
  EXPECT_EQ(got, chunk);
  EXPECT_TRUE(pk.back().marker);
  Medium::close(sink);
  Medium::close(src);
}

}  // namespace
