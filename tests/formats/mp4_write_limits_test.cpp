// The MP4 writer at its limits: the maximum size, a write failure (the cut
// file still plays, the mirror stays identical), chunk offsets and the mdat
// past 4 GiB (without writing 4 GiB), the streaming moov of a file without
// samples, timescale reduction, the memory-window mode of the stream layer,
// interleaving and the per-sample preparation.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <map>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mp4_test_support.h"

namespace {

#define FCC MP4_FOURCC
const uint32_t kVide = FCC('v', 'i', 'd', 'e');
const uint32_t kSoun = FCC('s', 'o', 'u', 'n');

class Mp4WriteLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    ASSERT_EQ(mp4_input().video.size(), 50u);
  }
  const Mp4Input &in = mp4_input();
};

// Samples per chunk of a trak, chunk by chunk.
std::vector<uint32_t> chunk_sizes(const Mp4Box *trak) {
  const Mp4Box *stsc = mp4_stbl_box(trak, FCC('s', 't', 's', 'c'));
  const Mp4Box *stco = mp4_stbl_box(trak, FCC('s', 't', 'c', 'o'));
  if (!stco) stco = mp4_stbl_box(trak, FCC('c', 'o', '6', '4'));
  std::vector<uint32_t> out;
  const Mp4StscEntry *e = mp4_entries<Mp4StscEntry>(stsc);
  for (uint32_t c = 1, k = 0; c <= stco->entry_count; c++) {
    while (k + 1 < stsc->entry_count && e[k + 1].first_chunk <= c) k++;
    out.push_back(e[k].samples_per_chunk);
  }
  return out;
}

std::string probe(const std::string &path, std::initializer_list<const char *> extra) {
  std::vector<const char *> args = {"/usr/bin/ffprobe", "-v", "error"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(path.c_str());
  std::string out;
  run_tool(args, &out);
  return out;
}

bool decodes_cleanly(const std::string &path) {
  std::string out;
  int rc = run_tool({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", path.c_str(), "-f", "null", "-"},
                    &out);
  EXPECT_EQ(out, "");
  return rc == 0;
}

TEST_F(Mp4WriteLimits, MaximumSizeRefusesTheSampleThatWouldNotLeaveRoomForTheMoov) {
  std::string path = in.dir + "/limit.mp4";
  FILE *f = sys_fopen(path.c_str(), "w+b");
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, true);
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, f);
  mp4_write_header(m, NULL, 0);
  mp4_set_max_size(m, 30000);
  size_t fed = mp4_feed(m, in.video, in.audio);
  EXPECT_EQ(mp4_get_error(m), MP4_ERR_MAX_SIZE);
  EXPECT_STREQ(mp4_strerror(m), "maximum size limit reached");
  ASSERT_LT(fed, in.video.size());
  Mp4Box *stsz = mp4_stbl_box(mp4_trak(m->moov, kVide), FCC('s', 't', 's', 'z'));
  uint32_t written = stsz->entry_count;
  // The refused sample (a video frame, or audio flushed after frame fed) is
  // not in the tables.
  EXPECT_TRUE(written == fed || written == fed + 1) << written << " " << fed;
  // Later samples stay refused, even small ones.
  mp4_write_track(m, 1, in.video[1].data(), (uint32_t)in.video[1].size(), kMp4VideoTicks);
  EXPECT_EQ(stsz->entry_count, written);
  EXPECT_EQ(mp4_finish(m), -1);  // the error stays visible
  EXPECT_LE(m->pos, 30000u);
  mp4_delete(m);
  fclose(f);
  EXPECT_LE(read_board_file(path).size(), 30000u);
  EXPECT_TRUE(decodes_cleanly(path));
  EXPECT_EQ(probe_value(probe(path, {"-select_streams", "v", "-show_streams"}), "nb_frames"), std::to_string(written));
}

// Where the top-level boxes of a file end, walked by their sizes.
size_t top_level_end(const Bytes &f) {
  size_t at = 0;
  while (at + 8 <= f.size()) {
    uint64_t n = raw_be32(f, at);
    if (n == 1 && at + 16 <= f.size()) n = (uint64_t)raw_be32(f, at + 8) << 32 | raw_be32(f, at + 12);
    if (n < 8 || n > f.size() - at) break;
    at += (size_t)n;
  }
  return at;
}

// A stream over a descriptor as a volume's own I/O makes one (fileno sees
// no descriptor under it), on a disk that is full once the file holds
// limit bytes: writes that need new space fail, writes over what the file
// holds go through.
struct FullDisk {
  int fd;
  off_t limit;
  static ssize_t write(void *c, const char *buf, size_t n) {
    FullDisk *d = (FullDisk *)c;
    off_t at = lseek(d->fd, 0, SEEK_CUR);
    struct stat st;
    if (at < 0 || fstat(d->fd, &st) != 0) return -1;
    off_t room = std::max(st.st_size, d->limit) - at;
    if (room <= 0) {
      errno = ENOSPC;
      return -1;
    }
    return ::write(d->fd, buf, std::min((size_t)room, n));
  }
  static ssize_t read(void *c, char *buf, size_t n) { return ::read(((FullDisk *)c)->fd, buf, n); }
  static int seek(void *c, off64_t *off, int whence) {
    off_t r = lseek(((FullDisk *)c)->fd, (off_t)*off, whence);
    if (r < 0) return -1;
    *off = r;
    return 0;
  }
};

// The writer's stream holds its samples; the disk fills when they go out:
// at the writer's own flush, at its owner's, or only at the finish. Every
// time the finish cuts the file, through the descriptor it was given, to
// one that plays and ends with its moov.
TEST_F(Mp4WriteLimits, AStreamThatFailsWhenFlushedIsCutThroughItsDescriptor) {
  for (int when : {0, 1, 2}) {
    SCOPED_TRACE(when);
    std::string path = in.dir + "/full" + std::to_string(when) + ".mp4";
    int fd = sys_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    FullDisk disk = {fd, 20000};
    FILE *f = fopencookie(&disk, "w+", {FullDisk::read, FullDisk::write, FullDisk::seek, nullptr});
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fileno(f), -1);
    std::vector<char> buffer(1 << 20);
    setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    Mp4Muxer *m = mp4_new();
    mp4_add_tracks(m, true);
    mp4_set_interleave(m, 45000);
    mp4_set_file(m, f);
    mp4_set_stream_fds(m, fd, -1);
    mp4_write_header(m, nullptr, 0);
    std::vector<Bytes> video(in.video.begin(), in.video.begin() + 40);
    ASSERT_EQ(mp4_feed(m, video, in.audio), video.size());
    ASSERT_EQ(mp4_get_error(m), 0) << "the samples are still in the stream's buffer";
    if (when == 0) {
      EXPECT_EQ(mp4_flush(m), -1);
      EXPECT_EQ(mp4_get_error(m), MP4_ERR_WRITE);
    } else if (when == 1) {
      EXPECT_NE(fflush(f), 0);
    } else {
      // Room for what was written, not for the audio the finish adds.
      disk.limit = (off_t)muxer_pos(m) + 100;
    }
    mp4_finish(m);
    mp4_delete(m);
    fclose(f);
    close(fd);
    Bytes file = read_board_file(path);
    EXPECT_GT(file.size(), 10000u);
    EXPECT_LE(file.size(), (size_t)disk.limit);
    EXPECT_EQ(top_level_end(file), file.size()) << "bytes after the moov";
    EXPECT_TRUE(decodes_cleanly(path));
    auto got = decoded_md5s(path, "0:v");
    auto want = decoded_md5s(in.h264, "0:v");
    ASSERT_GT(got.size(), 5u);
    ASSERT_LT(got.size(), 40u);
    want.resize(got.size());
    EXPECT_EQ(got, want);
  }
}

// A mirror over such a stream as well: it first gets the header, read back
// through the primary's descriptor. Whichever disk fills, at the writer's
// flush or at its owner's (which leaves nothing for the finish to write),
// both files are cut alike through their descriptors. The mirror's
// descriptor is 0, as in a program started with its standard input closed.
TEST_F(Mp4WriteLimits, EitherStreamFailingIsCutThroughItsDescriptorLikeTheOther) {
  cookie_io_functions_t io = {FullDisk::read, FullDisk::write, FullDisk::seek, nullptr};
  for (int full : {0, 1})
    for (int owner : {0, 1}) {
      SCOPED_TRACE(std::to_string(full) + (owner ? " owner's flush" : " writer's flush"));
      std::string name = std::to_string(full) + std::to_string(owner) + ".mp4";
      std::string a = in.dir + "/mirrored" + name, b = in.dir + "/mirror" + name;
      int fa = sys_open(a.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fa, 0);
      int saved_stdin = dup(0);
      close(0);
      int fb = sys_open(b.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      ASSERT_EQ(fb, 0);
      FullDisk disks[2] = {{fa, 1 << 30}, {fb, 1 << 30}};
      disks[full].limit = 20000;
      FILE *pa = fopencookie(&disks[0], "w+", io), *pb = fopencookie(&disks[1], "w+", io);
      ASSERT_TRUE(pa && pb);
      std::vector<char> ba(1 << 20), bb(1 << 20);
      setvbuf(pa, ba.data(), _IOFBF, ba.size());
      setvbuf(pb, bb.data(), _IOFBF, bb.size());
      Mp4Muxer *m = mp4_new();
      mp4_add_tracks(m, true);
      mp4_set_file(m, pa);
      mp4_set_stream_fds(m, fa, fb);
      mp4_write_header(m, "hdr", 3);
      mp4_set_mirror_file(m, pb);
      EXPECT_EQ(mp4_flush(m), 0);
      EXPECT_EQ(mp4_get_error(m), 0) << "the header did not reach the mirror";
      std::vector<Bytes> video(in.video.begin(), in.video.begin() + 40);
      ASSERT_EQ(mp4_feed(m, video, in.audio), video.size());
      ASSERT_EQ(mp4_get_error(m), 0) << "the samples are still in the streams' buffers";
      if (!owner) {
        EXPECT_EQ(mp4_flush(m), -1);
        EXPECT_EQ(mp4_get_error(m), MP4_ERR_WRITE);
        // The disk has room again for the samples that come after: they
        // go to the healthy stream alone, the failed one ends where it
        // failed.
        disks[full].limit = 1 << 30;
        for (size_t i = 0; i < 25; i++)
          mp4_write_track(m, 1, in.video[i].data(), (uint32_t)in.video[i].size(), kMp4VideoTicks);
      } else {
        EXPECT_NE(fflush(full ? pb : pa), 0);
      }
      EXPECT_EQ(mp4_finish(m), -1);
      EXPECT_EQ(mp4_get_error(m), MP4_ERR_WRITE) << "the failure was not reported";
      mp4_delete(m);
      fclose(pa);
      fclose(pb);
      close(fa);
      close(fb);
      if (saved_stdin >= 0) {
        dup2(saved_stdin, 0);
        close(saved_stdin);
      }
      Bytes file = read_board_file(a);
      EXPECT_EQ(read_board_file(b), file);
      EXPECT_GT(file.size(), 10000u);
      EXPECT_LE(file.size(), 20000u);
      EXPECT_EQ(top_level_end(file), file.size()) << "bytes after the moov";
      EXPECT_TRUE(decodes_cleanly(a));
      auto got = decoded_md5s(a, "0:v");
      auto want = decoded_md5s(in.h264, "0:v");
      ASSERT_GT(got.size(), 5u);
      want.resize(got.size());
      EXPECT_EQ(got, want);
    }
}

TEST_F(Mp4WriteLimits, WriteFailureCutsBothFilesSoTheyStillPlay) {
  std::string a = in.dir + "/cut_a.mp4", b = in.dir + "/cut_b.mp4";
  const long limit = 32768;
  fflush(NULL);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A file-size limit makes write() fail with EFBIG, as a full volume would.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {(rlim_t)limit, (rlim_t)limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    FILE *fa = sys_fopen(a.c_str(), "w+b"), *fb = sys_fopen(b.c_str(), "w+b");
    Mp4Muxer *m = mp4_new();
    mp4_add_tracks(m, true);
    mp4_set_interleave(m, 45000);
    mp4_set_file(m, fa);
    mp4_write_header(m, "hdr", 3);
    mp4_set_mirror_file(m, fb);
    mp4_feed(m, in.video, in.audio);
    int err = mp4_get_error(m);
    mp4_finish(m);
    mp4_delete(m);
    fclose(fa);
    fclose(fb);
    _exit(err);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), MP4_ERR_WRITE);
  Bytes fa = read_board_file(a), fb = read_board_file(b);
  EXPECT_GT(fa.size(), 10000u);
  EXPECT_LE(fa.size(), (size_t)limit);
  EXPECT_EQ(fa, fb);
  EXPECT_EQ(top_level_end(fa), fa.size()) << "bytes after the moov";
  EXPECT_TRUE(decodes_cleanly(a));
  // Every sample the moov lists is whole: the pictures are the first ones of
  // the input.
  auto want = decoded_md5s(in.h264, "0:v");
  auto got = decoded_md5s(a, "0:v");
  ASSERT_GT(got.size(), 5u);
  ASSERT_LT(got.size(), 50u);
  want.resize(got.size());
  EXPECT_EQ(got, want);
}

// A stdio stream of a sparse file past 4 GiB that keeps only what a reader
// needs: every write of up to 1 MiB, and the first 4 KiB of larger ones (the
// filler NAL units that make the frames big). Everything else reads as zeros.
struct SparseSink {
  std::map<uint64_t, Bytes> parts;
  uint64_t pos = 0, size = 0;

  static ssize_t write(void *c, const char *buf, size_t n) {
    SparseSink *s = (SparseSink *)c;
    size_t keep = n <= (1u << 20) ? n : 4096;
    Bytes &p = s->parts[s->pos];
    if (p.size() < keep) p.assign(buf, buf + keep);
    else memcpy(p.data(), buf, keep);
    s->pos += n;
    if (s->pos > s->size) s->size = s->pos;
    return (ssize_t)n;
  }
  static ssize_t read(void *c, char *buf, size_t n) {
    SparseSink *s = (SparseSink *)c;
    if (s->pos >= s->size) return 0;
    if (n > s->size - s->pos) n = s->size - s->pos;
    memset(buf, 0, n);
    for (auto &kv : s->parts) {
      uint64_t lo = std::max(kv.first, s->pos), hi = std::min(kv.first + kv.second.size(), s->pos + n);
      if (lo < hi) memcpy(buf + (lo - s->pos), kv.second.data() + (lo - kv.first), hi - lo);
    }
    s->pos += n;
    return (ssize_t)n;
  }
  static int seek(void *c, off64_t *off, int whence) {
    SparseSink *s = (SparseSink *)c;
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (int64_t)s->pos : (int64_t)s->size;
    s->pos = (uint64_t)(base + *off);
    *off = (off64_t)s->pos;
    return 0;
  }
  FILE *open() { return fopencookie(this, "w+", {read, write, seek, nullptr}); }

  // The image as a real (sparse) file.
  bool save(const std::string &board_path) {
    int fd = sys_open(board_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, (off_t)size) != 0) return false;
    for (auto &kv : parts)
      if (pwrite(fd, kv.second.data(), kv.second.size(), (off_t)kv.first) != (ssize_t)kv.second.size()) return false;
    return close(fd) == 0;
  }
};

// 70 frames made big by a filler NAL unit: about 4.4 GiB of mdat.
const size_t kBigFrames = 70;
const size_t kFiller = 64u << 20;

// One buffer for all big frames: the access unit is placed to end where the
// filler NAL unit begins, so only the unit is copied per frame.
struct BigFrames {
  Bytes buf;
  size_t room;
  explicit BigFrames(const std::vector<Bytes> &units) {
    room = 0;
    for (auto &u : units) room = std::max(room, u.size());
    buf.assign(room, 0);
    buf.insert(buf.end(), {0, 0, 0, 1, 0x0C});
    buf.insert(buf.end(), kFiller - 2, 0xFF);
    buf.push_back(0x80);
  }
  const uint8_t *frame(const Bytes &au, uint32_t *len) {
    uint8_t *p = buf.data() + (room - au.size());
    memcpy(p, au.data(), au.size());
    *len = (uint32_t)(buf.size() - (room - au.size()));
    return p;
  }
};

void feed_big(Mp4Muxer *m, const std::vector<Bytes> &video, std::vector<uint64_t> *offsets_at_60) {
  BigFrames big(video);
  for (size_t i = 0; i < kBigFrames; i++) {
    uint32_t len;
    const uint8_t *frame = big.frame(video[i % 50], &len);
    mp4_write_track(m, 1, frame, len, kMp4VideoTicks);
    ASSERT_EQ(mp4_get_error(m), 0) << i;
    if (i == 59 && offsets_at_60) {
      const Mp4Box *stco = mp4_stbl_box(mp4_trak(m->moov, kVide), FCC('s', 't', 'c', 'o'));
      ASSERT_NE(stco, nullptr);
      const uint32_t *e = mp4_entries<uint32_t>(stco);
      offsets_at_60->assign(e, e + stco->entry_count);
    }
  }
}

TEST_F(Mp4WriteLimits, ChunkOffsetsSwitchToCo64PastFourGiBCountingOnly) {
  Mp4Muxer *m = mp4_new();  // no target: bytes are only counted
  mp4_add_tracks(m, false);
  std::vector<uint64_t> before;
  feed_big(m, in.video, &before);
  Mp4Box *trak = mp4_trak(m->moov, kVide);
  // Video only: one chunk at the start of the mdat payload (ftyp 32, free 8,
  // mdat header 8), still 32-bit after 60 frames.
  EXPECT_EQ(before, std::vector<uint64_t>{48});
  EXPECT_NE(mp4_stbl_box(trak, FCC('s', 't', 'c', 'o')), nullptr);
  EXPECT_EQ(mp4_finish(m), 0);
  uint64_t mdat_end = 48;
  const Mp4Box *stsz = mp4_stbl_box(trak, FCC('s', 't', 's', 'z'));
  for (uint32_t i = 0; i < stsz->entry_count; i++) mdat_end += mp4_entries<uint32_t>(stsz)[i];
  EXPECT_GT(mdat_end, 0x100000000ull);
  EXPECT_EQ(m->pos, mdat_end + checkBoxSize(m->moov));
  mp4_delete(m);
}

// Offsets past 4 GiB need 64 bits (the earlier ones are kept), the mdat
// header takes over the 'free' box, and ffprobe and ffmpeg read it all.
// With a sink the stream is an image that is saved to path afterwards.
void big_file(const Mp4Input &in, FILE *f, const std::string &path, SparseSink *sink) {
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, true);
  mp4_set_interleave(m, 45000);
  mp4_set_file(m, f);
  std::vector<uint64_t> before;
  BigFrames big(in.video);
  size_t a = 0;
  for (size_t i = 0; i < kBigFrames; i++) {
    uint32_t len;
    const uint8_t *frame = big.frame(in.video[i % 50], &len);
    mp4_write_track(m, 1, frame, len, kMp4VideoTicks);
    // Audio all along (the input repeated), so chunks keep starting.
    while (a * kMp4AudioTicks <= i * kMp4VideoTicks) {
      const Bytes &au = in.audio[a % in.audio.size()];
      mp4_write_track(m, 2, au.data(), (uint32_t)au.size(), kMp4AudioTicks);
      a++;
    }
    ASSERT_EQ(mp4_get_error(m), 0) << i;
    if (i == 59) {
      const Mp4Box *stco = mp4_stbl_box(mp4_trak(m->moov, kVide), FCC('s', 't', 'c', 'o'));
      ASSERT_NE(stco, nullptr);
      const uint32_t *e = mp4_entries<uint32_t>(stco);
      before.assign(e, e + stco->entry_count);
    }
  }
  ASSERT_EQ(mp4_finish(m), 0);
  const Mp4Box *co64 = mp4_stbl_box(mp4_trak(m->moov, kVide), FCC('c', 'o', '6', '4'));
  ASSERT_NE(co64, nullptr);
  ASSERT_GT(co64->entry_count, before.size());
  for (size_t i = 0; i < before.size(); i++) EXPECT_EQ(mp4_entries<uint64_t>(co64)[i], before[i]);
  EXPECT_GT(mp4_entries<uint64_t>(co64)[co64->entry_count - 1], 0x100000000ull);
  EXPECT_NE(mp4_stbl_box(mp4_trak(m->moov, kSoun), FCC('c', 'o', '6', '4')), nullptr);
  mp4_delete(m);
  fclose(f);
  if (sink) {
    ASSERT_TRUE(sink->save(path));
  }

  Bytes head(40);
  FILE *g = sys_fopen(path.c_str(), "rb");
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(fread(head.data(), 1, head.size(), g), head.size());
  fclose(g);
  // ftyp (32), then the mdat header over the old 'free': size field 1.
  EXPECT_EQ(Bytes(head.begin() + 32, head.end()), (Bytes{0, 0, 0, 1, 'm', 'd', 'a', 't'}));

  std::string out = probe(path, {"-show_streams", "-show_format"});
  EXPECT_EQ(probe_value(out, "nb_frames"), std::to_string(kBigFrames)) << out;
  EXPECT_EQ(probe_value(out, "codec_name"), "h264");
  std::string format = out.substr(out.find("[FORMAT]"));
  EXPECT_NEAR(atof(probe_value(format, "duration").c_str()), 2.8, 0.05);
  EXPECT_GT(atof(probe_value(format, "size").c_str()), 4.3e9);
  // The pictures from the input's second pass on, which cross 4 GiB,
  // decode to the input's. Reading them all would be 4.4 GiB; from the key
  // frame of the second pass it is a third of that, and the offsets before
  // it were compared with the 32-bit table above.
  auto md5 = decoded_md5s(in.h264, "0:v");
  auto got = decoded_md5s(path, "0:v", (size_t)-1, "2.0");
  ASSERT_EQ(got.size(), kBigFrames - 50);
  for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(got[i], md5[i]) << 50 + i;
}

TEST_F(Mp4WriteLimits, FilePastFourGiBInASparseImagePlays) {
  SparseSink sink;
  FILE *f = sink.open();
  ASSERT_NE(f, nullptr);
  std::string path = in.dir + "/big_sparse.mp4";
  big_file(in, f, path, &sink);
  sys_unlink(path.c_str());
}

// Opt-in: a real file past 4 GiB on disk (M7391_MP4_BIG=1).
TEST_F(Mp4WriteLimits, RealFilePastFourGiB) {
  if (!getenv("M7391_MP4_BIG")) GTEST_SKIP() << "set M7391_MP4_BIG=1 to write 4.4 GiB";
  std::string path = in.dir + "/big_real.mp4";
  FILE *f = sys_fopen(path.c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  big_file(in, f, path, nullptr);
  sys_unlink(path.c_str());
}

TEST_F(Mp4WriteLimits, FileWithoutSamplesGetsAStreamingMoov) {
  std::string path = in.dir + "/empty.mp4";
  FILE *f = sys_fopen(path.c_str(), "w+b");
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, true);
  mp4_set_file(m, f);
  EXPECT_EQ(mp4_finish(m), 0);
  mp4_delete(m);
  fclose(f);
  Bytes file = read_board_file(path);
  int err = -1;
  Mp4Boxes boxes = mp4_read_boxes(file, &err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(boxes.top.size(), 2u);
  EXPECT_EQ(boxes.top[0]->type, FCC('f', 't', 'y', 'p'));
  Mp4Box *moov = boxes.top[1];
  std::vector<uint32_t> kids;
  for (Mp4Box *c = moov->child; c; c = c->next) kids.push_back(c->type);
  EXPECT_EQ(kids, (std::vector<uint32_t>{FCC('m', 'v', 'h', 'd'), FCC('i', 'o', 'd', 's'), FCC('t', 'r', 'a', 'k'),
                                         FCC('t', 'r', 'a', 'k'), FCC('m', 'v', 'e', 'x')}));
  Mp4Iods *iods = (Mp4Iods *)box_find(moov, FCC('i', 'o', 'd', 's'));
  EXPECT_EQ(iods->audio_profile, 0x29);
  EXPECT_EQ(iods->visual_profile, 0x15);
  Mp4Box *mvex = box_find(moov, FCC('m', 'v', 'e', 'x'));
  Mp4Trex *trex = (Mp4Trex *)mvex->child;
  ASSERT_NE(trex, nullptr);
  EXPECT_EQ(trex->track_id, 1u);
  EXPECT_EQ(trex->default_sample_duration, kMp4VideoTicks);
  EXPECT_EQ(((Mp4Trex *)trex->box.next)->default_sample_duration, kMp4AudioTicks);
  Mp4Tkhd *tkhd = (Mp4Tkhd *)box_find(mp4_trak(moov, kVide), FCC('t', 'k', 'h', 'd'));
  EXPECT_EQ(tkhd->box.flags, 7u);
  mp4_free_boxes(boxes);
  std::string out;
  EXPECT_EQ(run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_streams", path.c_str()}, &out), 0);
  EXPECT_NE(out.find("codec_name=h264"), std::string::npos) << out;
  EXPECT_NE(out.find("codec_name=aac"), std::string::npos) << out;
  EXPECT_NE(out.find("width=320"), std::string::npos) << out;
}

TEST_F(Mp4WriteLimits, TimescaleIsReducedByTheFrameDuration) {
  std::string path = in.dir + "/ntsc.mp4";
  FILE *f = sys_fopen(path.c_str(), "w+b");
  Mp4Muxer *m = mp4_new();
  mp4_video_track_create(m, FCC('a', 'v', 'c', '1'), 270000, 9009, 0, 320, 240, 100, 40);
  mp4_set_file(m, f);
  for (size_t i = 0; i < 30; i++) mp4_write_track(m, 1, in.video[i].data(), (uint32_t)in.video[i].size(), 9009);
  EXPECT_EQ(mp4_finish(m), 0);
  Mp4Box *trak = mp4_trak(m->moov, kVide);
  Mp4Mdhd *mdhd = (Mp4Mdhd *)box_find(box_find(trak, FCC('m', 'd', 'i', 'a')), FCC('m', 'd', 'h', 'd'));
  EXPECT_EQ(mdhd->timescale, 30000u);
  EXPECT_EQ(mdhd->duration, 30u * 1001);
  Mp4Box *stts = mp4_stbl_box(trak, FCC('s', 't', 't', 's'));
  ASSERT_EQ(stts->entry_count, 1u);
  EXPECT_EQ(mp4_entries<Mp4SttsEntry>(stts)[0].sample_delta, 1001u);
  mp4_delete(m);
  fclose(f);
  std::string out = probe(path, {"-show_streams"});
  EXPECT_EQ(probe_value(out, "r_frame_rate"), "30000/1001");
  EXPECT_EQ(probe_value(out, "time_base"), "1/30000");
  EXPECT_EQ(probe_value(out, "duration"), "1.001000");
}

TEST_F(Mp4WriteLimits, DurationsPast31BitsMoveTheMovieTo600) {
  std::string path = in.dir + "/long.mp4";
  FILE *f = sys_fopen(path.c_str(), "w+b");
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, true);
  mp4_set_file(m, f);
  // Ten video samples of an hour each; audio with alternating durations.
  const uint32_t hour = 90000u * 3600;
  uint64_t audio_total = 0;
  for (size_t i = 0; i < 10; i++) {
    mp4_write_track(m, 1, in.video[i].data(), (uint32_t)in.video[i].size(), hour);
    uint32_t d = i % 2 ? 1921 : 1920;
    mp4_write_track(m, 2, in.audio[i].data(), (uint32_t)in.audio[i].size(), d);
    audio_total += d;
  }
  EXPECT_EQ(mp4_finish(m), 0);
  Mp4Mvhd *mvhd = (Mp4Mvhd *)box_find(m->moov, FCC('m', 'v', 'h', 'd'));
  EXPECT_EQ(mvhd->timescale, 600u);
  EXPECT_EQ(mvhd->duration, 600ull * 36000);
  Mp4Box *vt = mp4_trak(m->moov, kVide), *at = mp4_trak(m->moov, kSoun);
  EXPECT_EQ(((Mp4Tkhd *)box_find(vt, FCC('t', 'k', 'h', 'd')))->duration, 600ull * 36000);
  // The video's single duration is exact at 600; the audio keeps its total
  // to within one tick.
  Mp4Mdhd *vm = (Mp4Mdhd *)box_find(box_find(vt, FCC('m', 'd', 'i', 'a')), FCC('m', 'd', 'h', 'd'));
  Mp4Mdhd *am = (Mp4Mdhd *)box_find(box_find(at, FCC('m', 'd', 'i', 'a')), FCC('m', 'd', 'h', 'd'));
  EXPECT_EQ(vm->timescale, 600u);
  EXPECT_EQ(vm->duration, 600ull * 36000);
  EXPECT_EQ(am->timescale, 600u);
  EXPECT_EQ(am->duration, audio_total * 600 / 90000);
  uint64_t sum = 0;
  Mp4Box *stts = mp4_stbl_box(at, FCC('s', 't', 't', 's'));
  for (uint32_t i = 0; i < stts->entry_count; i++)
    sum += (uint64_t)mp4_entries<Mp4SttsEntry>(stts)[i].sample_count * mp4_entries<Mp4SttsEntry>(stts)[i].sample_delta;
  EXPECT_EQ(sum, am->duration);
  mp4_delete(m);
  fclose(f);
  std::string out = probe(path, {"-show_format"});
  EXPECT_NEAR(atof(probe_value(out, "duration").c_str()), 36000.0, 0.01) << out;
}

TEST_F(Mp4WriteLimits, InterleaveWritesAudioInHalfSecondRuns) {
  std::string path = in.dir + "/interleave.mp4";
  ASSERT_EQ(mp4_write_file(path, in.video, in.audio), 0);
  Bytes file = read_board_file(path);
  Mp4Boxes boxes = mp4_read_boxes(file);
  Mp4Box *moov = boxes.find(FCC('m', 'o', 'o', 'v'));
  auto audio = chunk_sizes(mp4_trak(moov, kSoun));
  ASSERT_GE(audio.size(), 3u);
  uint32_t total = 0;
  for (size_t i = 0; i < audio.size(); i++) {
    total += audio[i];
    if (i + 1 < audio.size()) {
      EXPECT_TRUE(audio[i] == 23 || audio[i] == 24) << i << ": " << audio[i];
    }
  }
  EXPECT_EQ(total, 49 * kMp4VideoTicks / kMp4AudioTicks + 1);
  // Video chunks sit between the audio runs.
  auto video = chunk_sizes(mp4_trak(moov, kVide));
  EXPECT_EQ(video.size(), audio.size());
  mp4_free_boxes(boxes);
}

TEST_F(Mp4WriteLimits, ParameterSetsAreStoredOnceAndAdtsHeadersDropped) {
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, true);
  const Bytes &au = in.video[0];
  mp4_write_track(m, 1, au.data(), (uint32_t)au.size(), kMp4VideoTicks);
  // SPS and PPS went into the avcC, the slice alone into the mdat.
  size_t sps = 4, pps = 0, idr = 0;  // x264: 4-byte start codes for SPS, PPS
  for (size_t i = 4; i + 4 <= au.size(); i++) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      int t = au[i + 3] & 0x1F;
      if (t == 8) pps = i + 3;
      if (t == 5 && !idr) idr = i + 3;
    }
  }
  ASSERT_TRUE(pps && idr);
  Mp4Box *vt = mp4_trak(m->moov, kVide);
  Mp4Box *stsd = mp4_stbl_box(vt, FCC('s', 't', 's', 'd'));
  Mp4AvcC *avcc = (Mp4AvcC *)box_find(stsd->child, FCC('a', 'v', 'c', 'C'));
  ASSERT_NE(avcc, nullptr);
  EXPECT_EQ(avcc->num_sps, 1);
  EXPECT_EQ(avcc->num_pps, 1);
  size_t sps_len = (size_t)(avcc->box.data[0] << 8 | avcc->box.data[1]);
  EXPECT_EQ(Bytes(avcc->box.data + 2, avcc->box.data + 2 + sps_len), Bytes(au.begin() + sps, au.begin() + sps + sps_len));
  EXPECT_EQ(au[sps] & 0x1F, 7);
  const Mp4Box *stsz = mp4_stbl_box(vt, FCC('s', 't', 's', 'z'));
  size_t end = au.size();
  for (size_t i = idr; i + 3 <= au.size(); i++)
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      end = au[i - 1] == 0 ? i - 1 : i;
      break;
    }
  EXPECT_EQ(mp4_entries<uint32_t>(stsz)[0], 4 + (end - idr));
  const Mp4Box *stss = mp4_stbl_box(vt, FCC('s', 't', 's', 's'));
  ASSERT_EQ(stss->entry_count, 1u);

  // ADTS with protection_absent 0 carries a CRC: 9 bytes go.
  Bytes adts = in.audio[0];
  adts[1] &= 0xFE;
  adts.insert(adts.begin() + 7, {0x12, 0x34});
  mp4_write_track(m, 2, adts.data(), (uint32_t)adts.size(), kMp4AudioTicks);
  mp4_write_track(m, 2, in.audio[1].data(), (uint32_t)in.audio[1].size(), kMp4AudioTicks);
  const Mp4Box *astsz = mp4_stbl_box(mp4_trak(m->moov, kSoun), FCC('s', 't', 's', 'z'));
  ASSERT_EQ(astsz->entry_count, 2u);
  EXPECT_EQ(mp4_entries<uint32_t>(astsz)[0], in.audio[0].size() - 7);
  EXPECT_EQ(mp4_entries<uint32_t>(astsz)[1], in.audio[1].size() - 7);
  // A frame of parameter sets only is not a sample.
  Bytes params(au.begin(), au.begin() + idr - 3);
  mp4_write_track(m, 1, params.data(), (uint32_t)params.size(), kMp4VideoTicks);
  EXPECT_EQ(stsz->entry_count, 1u);
  EXPECT_EQ(mp4_get_error(m), 0);
  mp4_delete(m);
}

std::vector<std::vector<uint64_t>> callbacks;
int record_sample(uint64_t offset, uint64_t time, uint32_t size, uint32_t flags) {
  callbacks.push_back({offset, time, size, flags});
  return 0;
}

TEST_F(Mp4WriteLimits, SampleCallbackSeesOffsetsTimesAndKinds) {
  callbacks.clear();
  std::string path = in.dir + "/callback.mp4";
  FILE *f = sys_fopen(path.c_str(), "w+b");
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, true);
  mp4_set_file(m, f);
  mp4_set_sample_callback(m, record_sample);
  mp4_feed(m, std::vector<Bytes>(in.video.begin(), in.video.begin() + 30), in.audio);
  Bytes file = read_board_file(path);  // the callback flushed the stream
  mp4_finish(m);
  mp4_delete(m);
  fclose(f);
  size_t video = 0;
  uint64_t vtime = 0;
  for (auto &c : callbacks) {
    if (c[3] == 2) continue;  // audio
    EXPECT_EQ(c[3], video % 25 == 0 ? 1u : 0u) << video;
    EXPECT_EQ(c[1], vtime);
    ASSERT_LE(c[0] + c[2], file.size());
    EXPECT_EQ(file[c[0] + 4] & 0x1F, video % 25 == 0 ? 5 : 1);  // a NAL header behind its length
    vtime += kMp4VideoTicks;
    video++;
  }
  EXPECT_EQ(video, 30u);
  EXPECT_GT(callbacks.size(), 50u);
}

TEST_F(Mp4WriteLimits, MemoryWindowModeGivesOneMdatPerSample) {
  Mp4Muxer *m = mp4_new();
  mp4_add_tracks(m, true);
  std::vector<uint8_t> buf(884736);
  for (size_t i = 0; i < 10; i++) {
    mp4_buf_put(m, buf.data(), (uint32_t)buf.size());
    mp4_write_track(m, 1, in.video[i].data(), (uint32_t)in.video[i].size(), kMp4VideoTicks);
    ASSERT_EQ(mp4_get_error(m), 0);
    uint32_t n = mp4_buf_get(m);
    ASSERT_GT(n, 12u);
    EXPECT_EQ((uint32_t)(buf[0] << 24 | buf[1] << 16 | buf[2] << 8 | buf[3]), n);
    EXPECT_EQ(Bytes(buf.begin() + 4, buf.begin() + 8), (Bytes{'m', 'd', 'a', 't'}));
    // The box holds the frame from its picture on; a leading 4-byte start
    // code becomes the length of the rest (x264 puts a 3-byte one before
    // the IDR slice that follows its SEI: that stays).
    if (i == 0) {
      EXPECT_EQ(Bytes(buf.begin() + 8, buf.begin() + 11), (Bytes{0, 0, 1}));
      EXPECT_EQ(buf[11] & 0x1F, 5);
    } else {
      uint32_t nal = (uint32_t)(buf[8] << 24 | buf[9] << 16 | buf[10] << 8 | buf[11]);
      EXPECT_EQ(nal + 12, n);
      EXPECT_EQ(buf[12] & 0x1F, 1);
    }
    // An audio frame goes in as it came, ADTS header and all.
    mp4_buf_put(m, buf.data(), (uint32_t)buf.size());
    mp4_write_track(m, 2, in.audio[i].data(), (uint32_t)in.audio[i].size(), kMp4AudioTicks);
    ASSERT_EQ(mp4_buf_get(m), in.audio[i].size() + 8);
    EXPECT_EQ(Bytes(buf.begin() + 8, buf.begin() + 8 + in.audio[i].size()), in.audio[i]);
  }
  // The finishing moov of a stream is the fragmented-stream kind.
  mp4_buf_put(m, buf.data(), (uint32_t)buf.size());
  EXPECT_EQ(mp4_finish(m), 0);
  uint32_t n = mp4_buf_get(m);
  int err = -1;
  Mp4Boxes boxes = mp4_read_boxes(Bytes(buf.begin(), buf.begin() + n), &err);
  EXPECT_EQ(err, 0);
  ASSERT_EQ(boxes.top.size(), 1u);
  EXPECT_NE(box_find(boxes.top[0], FCC('m', 'v', 'e', 'x')), nullptr);
  Mp4Box *stsd = mp4_stbl_box(mp4_trak(boxes.top[0], kVide), FCC('s', 't', 's', 'd'));
  Mp4AvcC *avcc = (Mp4AvcC *)box_find(stsd->child, FCC('a', 'v', 'c', 'C'));
  EXPECT_EQ(avcc->num_sps, 1);
  mp4_free_boxes(boxes);
  mp4_delete(m);
}

}  // namespace
