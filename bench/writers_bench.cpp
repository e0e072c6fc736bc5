// The MP4, FLV and TS writers against libavformat's mp4, flv and mpegts
// muxers driven in this process on the same packets: 10 s of 1280x720 H.264
// (testsrc2, harder to compress) and AAC made by ffmpeg at start-up, split
// and demuxed once before any timing. MP4 goes to a file in the same
// directory for both (the recorder's case, ours through the recorder's
// 1 MiB stdio buffer); FLV and TS go to memory (a muxed
// consumer's case: ours into a reused buffer, libavformat through an
// AVIOContext that copies into one). Runs go in pairs, one of each, in
// turns of which goes first. Reported: input bytes per second, and for ours
// `vs_lavf`, the median over the pairs of how many times libavformat's time
// ours takes less (`vs_lavf_q1`, the lower quartile; `vs_lavf_best`, the
// ratio of the two best times). For MP4 also the median time of writing as
// many bytes to a new file in 1 MiB blocks (`floor_ms`), which both pay, and
// the median ratio of the two writers' times above it
// (`vs_lavf_above_floor`: the writers' own work).
#include <benchmark/benchmark.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "../tests/formats/media_inputs.h"
#include "../tests/formats/mux_setup.h"
#include "formats/flv.h"
#include "formats/mp4_write.h"
#include "formats/tsmux.h"
#include "storage/recorder.h"

namespace {

struct Input {
  std::string dir;
  std::vector<Bytes> video, audio;
  std::vector<bool> key;
  size_t bytes = 0;
  AVCodecParameters *vpar = nullptr, *apar = nullptr;
  std::vector<AVPacket *> vpkt, apkt;  // libavformat's view of the same units
};

double now(void) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Packets and codec parameters of a one-stream file, read by libavformat.
AVCodecParameters *demux(const std::string &path, const char *format, std::vector<AVPacket *> &out) {
  AVFormatContext *ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), av_find_input_format(format), nullptr) < 0) return nullptr;
  avformat_find_stream_info(ic, nullptr);
  AVPacket *p = av_packet_alloc();
  while (av_read_frame(ic, p) >= 0) {
    out.push_back(av_packet_clone(p));
    av_packet_unref(p);
  }
  av_packet_free(&p);
  AVCodecParameters *par = avcodec_parameters_alloc();
  avcodec_parameters_copy(par, ic->streams[0]->codecpar);
  avformat_close_input(&ic);
  return par;
}

const Input &input(void) {
  static Input in;
  if (!in.dir.empty()) return in;
  char tmpl[] = "/tmp/m7391-writersbench-XXXXXX";
  in.dir = mkdtemp(tmpl) ? tmpl : "/tmp";
  av_log_set_level(AV_LOG_ERROR);
  in.video = split_access_units(make_h264(in.dir, "in.h264", "1280x720", 250, "", "testsrc2"));
  in.audio = split_adts(make_aac(in.dir, "in.aac", 10));
  for (auto &v : in.video) in.key.push_back(is_key_unit(v));
  for (auto &v : in.video) in.bytes += v.size();
  for (auto &a : in.audio) in.bytes += a.size();
  in.vpar = demux(in.dir + "/in.h264", "h264", in.vpkt);
  in.apar = demux(in.dir + "/in.aac", "aac", in.apkt);
  return in;
}

// ---- ours ----

uint64_t ours_mp4(const Input &in, const std::string &path) {
  static std::vector<char> stdio_buf(RECORD_BUFFER_SIZE);  // the recorder's file buffer
  FILE *f = fopen(path.c_str(), "w+b");
  if (!f) return 0;
  setbuffer(f, stdio_buf.data(), stdio_buf.size());
  Mp4Muxer *m = mp4_new();
  mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, kVideoTicks, 0, 1280, 720, 100, 40);
  mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, kAudioTicks, 0, 48000, 2);
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, f);
  mp4_write_header(m, NULL, 0);
  size_t j = 0;
  for (size_t i = 0; i < in.video.size(); i++) {
    mp4_write_track(m, 1, in.video[i].data(), (uint32_t)in.video[i].size(), kVideoTicks);
    for (; j < in.audio.size() && kAudioTicks * j <= kVideoTicks * i; j++)
      mp4_write_track(m, 2, in.audio[j].data(), (uint32_t)in.audio[j].size(), kAudioTicks);
  }
  mp4_finish(m);
  uint64_t size = mp4_get_error(m) ? 0 : m->pos;
  mp4_delete(m);
  if (fclose(f) != 0) size = 0;
  return size;
}

uint64_t ours_ts(const Input &in, std::vector<uint8_t> &buf) {
  TsMux *m = ts_setup(TS_AAC);
  size_t j = 0, total = 0;
  for (size_t i = 0; i < in.video.size(); i++) {
    uint32_t pts = kVideoTicks * (uint32_t)i;
    m->clock = pts + 900;
    m->video.pts = pts;
    int n = tsmux_write(m, 0x1011, buf.data(), buf.size(), in.video[i].data(), (uint32_t)in.video[i].size());
    for (; j < in.audio.size() && kAudioTicks * j <= pts && n > 0; j++) {
      m->audio.pts = kAudioTicks * (uint32_t)j;
      int a = tsmux_write(m, 0x1100, buf.data() + n, buf.size() - n, in.audio[j].data(),
                          (uint32_t)in.audio[j].size());
      n = a > 0 ? n + a : -1;
    }
    benchmark::DoNotOptimize(buf.data());
    if (n <= 0) {
      total = 0;
      break;
    }
    total += (size_t)n;
  }
  tsmux_delete(m);
  return total;
}

uint64_t ours_flv(const Input &in, std::vector<uint8_t> &buf) {
  FlvMux *f = flv_setup(true);
  int n = flv_write_header(f, buf.data(), buf.size());
  n += flv_write_aac_config(f, buf.data() + n, buf.size() - n);
  size_t j = 0, total = n > 0 ? (size_t)n : 0;
  for (size_t i = 0; i < in.video.size() && total; i++) {
    const uint8_t *d = in.video[i].data();
    uint32_t len = (uint32_t)in.video[i].size();
    f->video_ts = kVideoTicks * (uint32_t)i / 90;
    n = flv_write_avc_config(f, buf.data(), buf.size(), &d, &len);
    f->frame_type = in.key[i] ? 1 : 2;
    int t = n >= 0 ? flv_write_tag(f, FLV_TAG_VIDEO, buf.data() + n, buf.size() - n, d, len) : -1;
    n = t > 0 ? n + t : -1;
    for (; j < in.audio.size() && kAudioTicks * j <= kVideoTicks * i; j++) {
      f->audio_ts = kAudioTicks * (uint32_t)j / 90;
      int a = n > 0 ? flv_write_tag(f, FLV_TAG_AUDIO, buf.data() + n, buf.size() - n, in.audio[j].data(),
                                    (uint32_t)in.audio[j].size()) : -1;
      n = a > 0 ? n + a : -1;
    }
    benchmark::DoNotOptimize(buf.data());
    total = n > 0 ? total + (size_t)n : 0;
  }
  flv_delete(f);
  return total;
}

// ---- libavformat ----

struct MemSink {
  std::vector<uint8_t> buf;
  size_t used = 0;
  uint64_t total = 0;
};

int mem_write(void *opaque, uint8_t *data, int n) {
  MemSink *s = (MemSink *)opaque;
  if (s->used + (size_t)n > s->buf.size()) s->used = 0;  // a consumer's buffer drained between writes
  memcpy(s->buf.data() + s->used, data, (size_t)n);
  s->used += (size_t)n;
  s->total += (uint64_t)n;
  return n;
}

// One run of a libavformat muxer, in our calling order: a video packet, then
// the audio up to it. file empty: into memory. Returns the bytes out, 0 on an
// error.
uint64_t lavf_mux(const Input &in, const char *format, const std::string &file, MemSink *sink) {
  AVFormatContext *oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, format, file.empty() ? nullptr : file.c_str()) < 0) return 0;
  AVStream *vs = avformat_new_stream(oc, nullptr), *as = avformat_new_stream(oc, nullptr);
  avcodec_parameters_copy(vs->codecpar, in.vpar);
  avcodec_parameters_copy(as->codecpar, in.apar);
  vs->codecpar->codec_tag = as->codecpar->codec_tag = 0;
  vs->time_base = {1, 90000};
  as->time_base = {1, 90000};
  uint8_t *iobuf = nullptr;
  if (file.empty()) {
    iobuf = (uint8_t *)av_malloc(65536);
    oc->pb = avio_alloc_context(iobuf, 65536, 1, sink, nullptr, mem_write, nullptr);
  } else if (avio_open(&oc->pb, file.c_str(), AVIO_FLAG_WRITE) < 0) {
    avformat_free_context(oc);
    return 0;
  }
  AVDictionary *opts = nullptr;
  if (!strcmp(format, "flv")) av_dict_set(&opts, "flvflags", "no_duration_filesize", 0);  // a live stream
  int rc = avformat_write_header(oc, &opts);
  av_dict_free(&opts);
  AVPacket *p = av_packet_alloc();
  size_t j = 0;
  for (size_t i = 0; i < in.vpkt.size() && rc >= 0; i++) {
    av_packet_ref(p, in.vpkt[i]);
    p->stream_index = 0;
    p->pts = p->dts = av_rescale_q((int64_t)(kVideoTicks * i), {1, 90000}, vs->time_base);
    p->duration = av_rescale_q(kVideoTicks, {1, 90000}, vs->time_base);
    rc = av_write_frame(oc, p);
    av_packet_unref(p);
    for (; j < in.apkt.size() && kAudioTicks * j <= kVideoTicks * i && rc >= 0; j++) {
      av_packet_ref(p, in.apkt[j]);
      p->stream_index = 1;
      p->pts = p->dts = av_rescale_q((int64_t)(kAudioTicks * j), {1, 90000}, as->time_base);
      p->duration = av_rescale_q(kAudioTicks, {1, 90000}, as->time_base);
      rc = av_write_frame(oc, p);
      av_packet_unref(p);
    }
  }
  av_packet_free(&p);
  if (rc >= 0) rc = av_write_trailer(oc);
  uint64_t out = 0;
  if (file.empty()) {
    avio_flush(oc->pb);
    out = sink->total;
    av_freep(&oc->pb->buffer);
    avio_context_free(&oc->pb);
  } else {
    out = (uint64_t)avio_tell(oc->pb);
    avio_closep(&oc->pb);
  }
  avformat_free_context(oc);
  return rc >= 0 ? out : 0;
}

// ---- runs ----

enum Format { MP4, FLV, TS };
const char *const kLavfName[] = {"mp4", "flv", "mpegts"};

// Seconds of one run of ours or of libavformat's, and its output size.
double run_once(const Input &in, Format fmt, bool lavf, uint64_t *out) {
  static std::vector<uint8_t> buf(0xD8000);  // a muxed consumer's buffer
  static MemSink sink;
  if (sink.buf.empty()) sink.buf.resize(0xD8000);
  // A new file each run, as the recorder makes: rewriting the last one
  // would time the freeing of its pages and the flush that the file
  // system starts when a truncated file is closed.
  std::string file = in.dir + (lavf ? "/lavf.mp4" : "/ours.mp4");
  unlink(file.c_str());
  double t0 = now();
  if (lavf) {
    sink.used = 0;
    sink.total = 0;
    *out = lavf_mux(in, kLavfName[fmt], fmt == MP4 ? file : std::string(), &sink);
  } else {
    *out = fmt == MP4 ? ours_mp4(in, file) : fmt == FLV ? ours_flv(in, buf) : ours_ts(in, buf);
  }
  return now() - t0;
}

// Seconds to write size bytes to a new file in 1 MiB blocks: the file
// system's share of an MP4 run, which neither writer can take off.
double floor_once(const Input &in, uint64_t size) {
  static std::vector<char> block(1 << 20, 7);
  std::string file = in.dir + "/floor.bin";
  unlink(file.c_str());
  double t0 = now();
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  for (uint64_t done = 0; fd >= 0 && done < size;) {
    ssize_t n = write(fd, block.data(), (size_t)std::min<uint64_t>(block.size(), size - done));
    if (n <= 0) break;
    done += (uint64_t)n;
  }
  if (fd >= 0) close(fd);
  return now() - t0;
}

void BM_Writer(benchmark::State &state, Format fmt) {
  const Input &in = input();
  if (!in.vpar || !in.apar) {
    state.SkipWithError("libavformat could not read the input");
    return;
  }
  double ours = 1e9, lavf = 1e9;
  uint64_t out = 0, lavf_out = 0;
  std::vector<double> ratios, floors, above;
  for (auto _ : state) {
    // Pairs, in turns of which goes first, so that both see the same
    // machine load; the median of the pairs' ratios is what a loaded
    // machine changes least.
    bool lavf_first = ratios.size() % 2;
    double l = lavf_first ? run_once(in, fmt, true, &lavf_out) : 0;
    double t = run_once(in, fmt, false, &out);
    if (!lavf_first) l = run_once(in, fmt, true, &lavf_out);
    state.SetIterationTime(t);
    ours = std::min(ours, t);
    lavf = std::min(lavf, l);
    ratios.push_back(l / t);
    if (fmt == MP4) {
      double f = floor_once(in, out);
      floors.push_back(f);
      if (t > f) above.push_back((l - f) / (t - f));
    }
    if (!out || !lavf_out) {
      state.SkipWithError("a write failed");
      break;
    }
  }
  std::sort(ratios.begin(), ratios.end());
  state.SetBytesProcessed((int64_t)(state.iterations() * in.bytes));
  state.counters["out_bytes"] = (double)out;
  state.counters["lavf_bytes"] = (double)lavf_out;
  state.counters["lavf_ms"] = lavf * 1e3;
  state.counters["vs_lavf_best"] = lavf / ours;
  if (!ratios.empty()) {
    state.counters["vs_lavf"] = ratios[ratios.size() / 2];
    state.counters["vs_lavf_q1"] = ratios[ratios.size() / 4];
  }
  std::sort(floors.begin(), floors.end());
  std::sort(above.begin(), above.end());
  if (!floors.empty()) state.counters["floor_ms"] = floors[floors.size() / 2] * 1e3;
  if (!above.empty()) state.counters["vs_lavf_above_floor"] = above[above.size() / 2];
}

}  // namespace

BENCHMARK_CAPTURE(BM_Writer, mp4, MP4)->UseManualTime()->Iterations(101)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Writer, flv, FLV)->UseManualTime()->Iterations(101)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Writer, ts, TS)->UseManualTime()->Iterations(101)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
