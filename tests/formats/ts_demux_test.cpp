// The demuxer as file playback drives it: a read buffer of fixed capacity
// refilled from the file, its front dropped as far as the demuxer allows.
// What comes out must be the frames our muxer put in (whatever the split of
// the reads, with garbage before the first packet) and the very H.264 ffmpeg
// itself copies out of its own transport streams.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/log.h"
#include "media_inputs.h"
#include "test_root.h"
#include "ts_packets.h"

namespace {

struct Demuxed {
  std::vector<Bytes> video, audio;
};

// Feeds ts into a buffer of cap bytes, the first read being first bytes long.
Demuxed demux(const Bytes &ts, size_t cap, size_t first, size_t out_cap = 1 << 21) {
  TsMux *m = tsmux_new();
  Demuxed d;
  Bytes buf;
  Bytes out(out_cap);
  size_t fed = 0;
  auto refill = [&](size_t n) {
    n = std::min(n, ts.size() - fed);
    buf.insert(buf.end(), ts.begin() + fed, ts.begin() + fed + n);
    fed += n;
  };
  refill(first);
  for (int guard = 0; guard < 1000000; guard++) {
    uint32_t pid = tsmux_read_next(m, buf.data(), buf.size());
    if (pid) {
      uint32_t n = tsmux_read(m, pid, out.data(), out.size(), buf.data(), buf.size());
      if (n) (pid == m->video.pid ? d.video : d.audio).emplace_back(out.begin(), out.begin() + n);
      continue;
    }
    if (fed == ts.size()) break;
    uint32_t drop = tsmux_needed_from(m);
    if (drop == 0 && buf.size() == cap) drop = m->scan_offset;  // one PES fills the buffer
    buf.erase(buf.begin(), buf.begin() + drop);
    tsmux_slide(m, drop);
    refill(cap - buf.size());
  }
  tsmux_delete(m);
  return d;
}

// Muxes as a muxed consumer does; the audio after the last video frame is
// left out of audio.
Bytes mux(const std::vector<Bytes> &video, std::vector<Bytes> &audio) {
  TsMux *m = ts_setup(audio.empty() ? TS_NO_AUDIO : TS_AAC);
  Bytes ts;
  Bytes buf(1 << 21);
  size_t j = 0;
  for (size_t i = 0; i < video.size(); i++) {
    m->clock = kVideoTicks * (uint32_t)i + 900;
    m->video.pts = kVideoTicks * (uint32_t)i;
    m->video.key = is_key_unit(video[i]);
    int n = tsmux_write(m, m->video.pid, buf.data(), buf.size(), video[i].data(), (uint32_t)video[i].size());
    ts.insert(ts.end(), buf.begin(), buf.begin() + n);
    for (; j < audio.size() && kAudioTicks * j <= kVideoTicks * i; j++) {
      m->audio.pts = kAudioTicks * (uint32_t)j;
      n = tsmux_write(m, m->audio.pid, buf.data(), buf.size(), audio[j].data(), (uint32_t)audio[j].size());
      ts.insert(ts.end(), buf.begin(), buf.begin() + n);
    }
  }
  tsmux_delete(m);
  audio.resize(j);
  return ts;
}

// The video unit as the PES carries it: the muxer puts an access-unit
// delimiter in front.
Bytes with_aud(const Bytes &au) {
  int type = au.size() > 4 && au[0] == 0 && au[1] == 0 && au[2] == 0 && au[3] == 1 ? au[4] & 0x1F : -1;
  if (type != 1 && type != 7) return au;
  Bytes v = {0, 0, 0, 1, 9, (uint8_t)(type == 7 ? 0x10 : 0x30)};
  v.insert(v.end(), au.begin(), au.end());
  return v;
}

class TsDemux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    dir = test_scratch_dir("tsdemux");
  }
  std::string dir;
};

TEST_F(TsDemux, MuxedFramesComeBackWhereverTheReadsSplitAndAfterGarbage) {
  auto video = split_access_units(make_h264(dir, "v.h264", "160x120", 4));
  auto audio = split_adts(make_aac(dir, "a.aac", 1));
  Bytes ts(500);
  for (size_t i = 0; i < ts.size(); i++) ts[i] = (uint8_t)(i * 7 + 1) == 0x47 ? 0 : (uint8_t)(i * 7 + 1);
  Bytes body = mux(video, audio);
  ts.insert(ts.end(), body.begin(), body.end());
  std::vector<Bytes> want_video;
  for (auto &v : video) want_video.push_back(with_aud(v));
  for (size_t cut = 1; cut < ts.size(); cut++) {
    Demuxed d = demux(ts, ts.size(), cut);
    ASSERT_TRUE(d.video == want_video) << "first read " << cut << ": " << d.video.size() << " video";
    ASSERT_TRUE(d.audio == audio) << "first read " << cut << ": " << d.audio.size() << " audio";
  }
  // A buffer just large enough for the largest PES, refilled in 188-byte
  // steps out of phase with the packets.
  Demuxed d = demux(ts, 40 * 188, 1000);
  EXPECT_EQ(d.video, want_video);
  EXPECT_EQ(d.audio, audio);
}

TEST_F(TsDemux, APesLargerThanTheBufferOrTheOutputIsDroppedAndTheRestFlows) {
  auto video = split_access_units(make_h264(dir, "big.h264", "640x480", 3, "", "testsrc2"));
  auto audio = split_adts(make_aac(dir, "a.aac", 1));
  Bytes ts = mux(video, audio);
  log_reset();
  // The key frame does not fit 8 KiB of read buffer: given up, not waited on.
  Demuxed d = demux(ts, 8192, 8192);
  EXPECT_EQ(d.audio, audio);
  EXPECT_LT(d.video.size(), video.size());
  char text[65536];
  text[log_read(text, sizeof text - 1)] = 0;
  EXPECT_NE(strstr(text, "larger than the read buffer"), nullptr) << text;
  // Room in the buffer but not in the output.
  size_t small = 0;
  for (auto &a : audio) small = std::max(small, a.size());
  d = demux(ts, ts.size(), ts.size(), small);
  EXPECT_EQ(d.audio, audio);
  EXPECT_TRUE(d.video.empty());
}

TEST_F(TsDemux, VideoOfAnFfmpegTransportStreamIsWhatFfmpegCopiesOut) {
  std::string ts_path = dir + "/x.ts", es_path = dir + "/x.h264", aac_path = dir + "/x.aac";
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
            "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000", "-t", "2", "-c:v", "libx264",
            "-bf", "2", "-g", "12", "-c:a", "aac", "-f", "mpegts", ts_path.c_str()});
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", ts_path.c_str(), "-map", "0:v", "-c",
            "copy", "-f", "h264", es_path.c_str()});
  run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-i", ts_path.c_str(), "-map", "0:a", "-c",
            "copy", "-f", "adts", aac_path.c_str()});
  Bytes ts = read_board_file(ts_path), es = read_board_file(es_path), aac = read_board_file(aac_path);
  ASSERT_GT(ts.size(), 10000u);
  ASSERT_GT(es.size(), 1000u);
  Demuxed d = demux(ts, 256 * 1024, 100000);
  Bytes got;
  for (auto &v : d.video) got.insert(got.end(), v.begin(), v.end());
  // ffmpeg's video PES are open-ended: the last one completes only when a
  // further one would start, so it is still pending at the end of the file.
  EXPECT_EQ(d.video.size(), 49u);
  ASSERT_LE(got.size(), es.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), es.begin()));
  // Several AAC frames to a PES, ADTS already.
  Bytes sound;
  for (auto &a : d.audio) sound.insert(sound.end(), a.begin(), a.end());
  EXPECT_TRUE(sound == aac) << sound.size() << " bytes of " << aac.size();
}

TEST_F(TsDemux, AdaptationFieldsThatLeaveNoRoomAreDroppedWithTheirPacket) {
  auto video = split_access_units(make_h264(dir, "af.h264", "320x240", 3, "", "testsrc2"));
  auto audio = split_adts(make_aac(dir, "af.aac", 1));
  Bytes ts = mux(video, audio);
  Demuxed want = demux(ts, ts.size(), ts.size());
  ASSERT_EQ(want.video.size(), 3u);
  // A packet of the PID claiming an adaptation field of af bytes, filled
  // with bytes that are no packet header.
  auto hostile = [](uint32_t pid, bool pusi, uint8_t af, bool payload) {
    Bytes p(188, 0xA5);
    p[0] = 0x47;
    p[1] = (uint8_t)((pusi ? 0x40 : 0) | pid >> 8);
    p[2] = (uint8_t)pid;
    p[3] = (uint8_t)(0x20 | (payload ? 0x10 : 0));
    p[4] = af;
    p[5] = 0x00;
    return p;
  };
  std::vector<TsPacket> pk = ts_packets(ts.data(), ts.size());
  size_t pat = 0, video_start = 0;
  while (pat < pk.size() && pk[pat].pid != 0) pat++;
  ASSERT_LT(pat, pk.size());
  uint32_t vpid = 0;
  for (size_t i = 0; i < pk.size() && !vpid; i++)
    if (pk[i].pusi && pk[i].payload_len > 4 && pk[i].payload[3] == 0xE0) vpid = pk[i].pid, video_start = i;
  ASSERT_NE(vpid, 0u);
  // 183 is the most a packet without payload may claim, 182 with payload;
  // anything more is refused whatever the length byte wraps to.
  struct Case {
    uint8_t af;
    bool payload;
  };
  for (Case c : {Case{182, false}, Case{183, false}, Case{183, true}, Case{184, true}, Case{184, false},
                 Case{200, true}, Case{255, true}}) {
    SCOPED_TRACE(testing::Message() << "af=" << (int)c.af << " payload=" << c.payload);
    Bytes bad;
    for (size_t i = 0; i < pk.size(); i++) {
      if (i == pat) {  // in front of the PAT, as its start
        Bytes h = hostile(0, true, c.af, c.payload);
        bad.insert(bad.end(), h.begin(), h.end());
      }
      bad.insert(bad.end(), pk[i].p, pk[i].p + 188);
      if (i == video_start) {  // inside the first video PES
        Bytes h = hostile(vpid, false, c.af, c.payload);
        bad.insert(bad.end(), h.begin(), h.end());
      }
    }
    Demuxed d = demux(bad, bad.size(), bad.size());
    EXPECT_EQ(d.video, want.video);
    EXPECT_EQ(d.audio, want.audio);
    d = demux(bad, 256 * 188, 1000);
    EXPECT_EQ(d.video, want.video);
  }
}

}  // namespace
