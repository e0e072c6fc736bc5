// Recordings made by the record thread from a live H.264 + AAC producer,
// checked with ffprobe and ffmpeg: formats, segments, mirror files and the
// FAT split.
#include "storage_test_support.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <thread>

#include "../media/stream_mux_test_support.h"
#include "core/log.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "media/stream_producer.h"
#include "storage/recorder.h"
#include "storage/recorder_mp4.h"

namespace {

// Publishes the inputs when told, by their stamps alone (25 frames/s, an
// IDR every 25 frames), once the recorder is attached: what the recorder
// makes of them does not depend on the machine's speed.
struct SteppedProducer {
  AvRings rings{8 << 20, 1024};
  Timeline t{900000, 900000, 1u << 30, 1u << 30};
  size_t next_video = 0, next_audio = 0;
  ~SteppedProducer() {
    stream_register(nullptr, nullptr, VIDEO_STREAM1);
    stream_register(nullptr, nullptr, AAC_STREAM);
  }
  // Waits for the recorder's consumer, then publishes n frames with their audio.
  bool publish_frames(size_t n) {
    for (int i = 0; i < 1500 && stream_consumer_count(VIDEO_STREAM1) <= 0; i++) sleep_ms(10);
    if (stream_consumer_count(VIDEO_STREAM1) <= 0) return false;
    const MuxInputs &in = mux_inputs();
    publish_run(t, in.video, in.aac, &rings.video.queue, &rings.audio.queue, next_video,
                next_video + n, &next_audio);
    next_video += n;
    return true;
  }
  // Until the recorder has taken everything published (or has stopped).
  bool wait_consumed() {
    for (int i = 0; i < 3000 && stream_get_state_by_id(13) == 1; i++) {
      StreamState *st = filesys_state.record_state;
      uint32_t next;
      pthread_mutex_lock(&rings.video.queue.mutex);
      next = rings.video.queue.next_seq;
      pthread_mutex_unlock(&rings.video.queue.mutex);
      if (st && __atomic_load_n(&st->seq, __ATOMIC_ACQUIRE) == next) return true;
      sleep_ms(10);
    }
    return false;
  }
};

// pts and key flag of each video packet, in file order.
struct Packet {
  long pts;
  bool key;
};
std::vector<Packet> video_packets(const std::string &path) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
            "packet=pts,flags", "-of", "csv=p=0", path.c_str()}, &out);
  std::vector<Packet> v;
  size_t at = 0;
  while (at < out.size()) {
    size_t nl = out.find('\n', at);
    std::string line = out.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? out.size() : nl + 1;
    if (line.empty()) continue;
    size_t comma = line.find(',');
    v.push_back({atol(line.c_str()), comma != std::string::npos && line.find('K', comma) != std::string::npos});
  }
  return v;
}

// Files recorded in a row: each begins with a key frame and with the frame
// after the last one of the file before; all together they hold frames
// frames.
void expect_joined(const std::vector<std::string> &paths, size_t frames) {
  size_t total = 0;
  long last = -1;
  for (const std::string &path : paths) {
    std::vector<Packet> p = video_packets(path);
    ASSERT_FALSE(p.empty()) << path;
    EXPECT_TRUE(p[0].key) << path << " does not begin with a key frame";
    if (last >= 0) EXPECT_EQ(p[0].pts - last, (long)kVideoTicks) << path << " does not follow on";
    last = p.back().pts;
    total += p.size();
  }
  EXPECT_EQ(total, frames);
}

std::string host(const std::string &board) { return std::string(root_dir()) + board; }

double duration_of(const std::string &path) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
            path.c_str()}, &out);
  return atof(out.c_str());
}

// The codec names of the file's streams, in order (a TS lists its streams
// once more under its program: only the first listing counts).
std::string streams_of(const std::string &path) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
            path.c_str()}, &out);
  size_t blank = out.find("\n\n");
  return blank == std::string::npos ? out : out.substr(blank + 2);
}

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg missing";
    storage_test_board();
    stream_mux_init();
    mux_inputs();
    env.env.name = "record";
    env.env.params = get_param_block();
    env.stream_id = 13;
    th = std::thread([this] { recordThrFxn(&env); });
    for (int i = 0; i < 100 && stream_get_state_by_id(13) < 0; i++) sleep_ms(10);
  }
  void TearDown() override {
    if (th.joinable()) {
      set_exit_code(EXIT_QUIT);
      stream_stop_all();
      th.join();
      set_exit_code(0);
      recorder_test_initial_bytes = 0;
    }
    char name[100];
    getRecordFilename(name, sizeof name, 0);  // a file name nobody asked for
    storage_test_volumes_clear();
  }
  void use_sd() {
    sim_storage_insert("mmcblk0p1", 0, 256 << 20, "vfat");
    fileSysTick(get_param_block());
    get_param_block()->recording.storage_device = 4;
  }
  void wait_idle() {
    for (int i = 0; i < 500 && !(stream_get_state_by_id(13) == 0 && filesys_all_read_only()); i++)
      sleep_ms(20);
    sleep_ms(100);
  }
  RecordEnv env{};
  std::thread th;
};

TEST_F(Recording, TsAndMp4WithAudioPlayCleanly) {
  use_sd();
  for (int fmt : {1, 0}) {
    SteppedProducer producer;
    get_param_block()->recording.format = (uint8_t)fmt;
    // 2.4 s of frames, by their stamps.
    stream_set_state_by_id(13, 1);
    ASSERT_TRUE(producer.publish_frames(60));
    ASSERT_TRUE(producer.wait_consumed());
    stream_set_state_by_id(13, 0);
    wait_idle();
    const char *ext = fmt == 1 ? ".ts" : ".mp4";
    std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ext);
    ASSERT_EQ(files.size(), 1u) << ext;
    std::string path = host("/media/mmc/DCIM/" + files[0]);
    EXPECT_EQ(decode_errors(path), "") << path;
    EXPECT_EQ(streams_of(path), "h264\naac\n") << path;
    EXPECT_NEAR(duration_of(path), 2.4, 0.1) << path;
  }
  char status[64];
  getRecordingStatus(status, sizeof status);
  EXPECT_STREQ(status, "Stopped");
}

double video_duration_of(const std::string &path) {
  std::string out;
  run_tool({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
            "stream=duration", "-of", "csv=p=0", path.c_str()}, &out);
  return atof(out.c_str());
}

// Recordings that ended of themselves, told while the stream still ran.
std::atomic<int> g_ended_running;
void count_ended(void) { g_ended_running += stream_get_state_by_id(13) == 1; }

TEST_F(Recording, TimeSegmentsAreConsecutiveAndStopAfterTheCount) {
  use_sd();
  storage_hooks.record_ended = count_ended;
  ParamBlock *p = get_param_block();
  p->recording.duration_mode = 1;  // seconds
  p->recording.duration = 1;
  p->recording.segments = 3;
  p->capture.standard = 6;  // a 25 frames/s input, as the producer's
  for (int fmt : {3, 0}) {  // H.264 in TS; H.264 and AAC in MP4
    SCOPED_TRACE(fmt);
    SteppedProducer producer;
    p->recording.format = (uint8_t)fmt;
    stream_set_state_by_id(13, 1);
    // Whoever polls the status sees one recording from start to end.
    std::atomic<bool> saw_stopped{false}, quit{false};
    std::thread watch([&] {
      char text[64];
      bool began = false;
      while (!quit && stream_get_state_by_id(13) == 1) {
        getRecordingStatus(text, sizeof text);
        bool recording = strncmp(text, "Recording ", 10) == 0;
        if (began && !recording && stream_get_state_by_id(13) == 1) saw_stopped = true;
        began = began || recording;
        sleep_ms(1);
      }
    });
    // Four seconds of frames: the third file ends at the key frame of the
    // fourth second and the recording stops there.
    EXPECT_TRUE(producer.publish_frames(100));
    for (int i = 0; i < 1500 && stream_get_state_by_id(13) == 1; i++) sleep_ms(20);
    EXPECT_EQ(stream_get_state_by_id(13), 0) << "did not stop after three segments";
    EXPECT_EQ(g_ended_running.exchange(0), 1);
    quit = true;
    watch.join();
    EXPECT_FALSE(saw_stopped) << "status left Recording between segments";
    wait_idle();
    const char *ext = fmt == 3 ? ".ts" : ".mp4";
    std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ext);
    ASSERT_EQ(files.size(), 3u);
    std::vector<std::string> paths;
    for (size_t i = 0; i < files.size(); i++) {
      EXPECT_EQ(atoi(files[i].c_str() + 9), (int)i);
      paths.push_back(host("/media/mmc/DCIM/" + files[i]));
      EXPECT_EQ(decode_errors(paths.back()), "") << paths.back();
      EXPECT_EQ(video_packets(paths.back()).size(), 25u) << paths.back();
      EXPECT_NEAR(video_duration_of(paths.back()), 1.0, 0.001) << paths.back();
    }
    // MP4 files each begin at time 0; TS files carry the recording's clock.
    if (fmt == 3) expect_joined(paths, 75);
  }
  storage_hooks.record_ended = nullptr;
}

// Segments set in minutes or in hours last that long by the frames' stamps:
// key frames 10 s (or 10 min) apart make files of six, two files of one
// minute (or hour) each.
TEST_F(Recording, MinuteAndHourSegmentsFollowTheStamps) {
  use_sd();
  ParamBlock *p = get_param_block();
  p->recording.duration = 1;
  p->recording.segments = 2;
  p->recording.format = 3;
  std::vector<Bytes> keys;
  for (const Bytes &v : mux_inputs().video)
    if (is_key_unit(v)) keys.push_back(v);
  ASSERT_FALSE(keys.empty());
  for (uint8_t mode : {2, 3}) {
    SCOPED_TRACE(mode);
    p->recording.duration_mode = mode;
    uint32_t step = (mode == 2 ? 10u : 600u) * 90000u;
    SteppedProducer producer;
    stream_set_state_by_id(13, 1);
    ASSERT_TRUE(producer.publish_frames(0));
    for (uint32_t i = 0; i < 13; i++)
      publish(&producer.rings.video.queue, keys[i % keys.size()], 900000 + step * i, STREAM_FLAG_KEY);
    for (int i = 0; i < 1500 && stream_get_state_by_id(13) == 1; i++) sleep_ms(20);
    EXPECT_EQ(stream_get_state_by_id(13), 0) << "did not stop after two segments";
    wait_idle();
    std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ".ts");
    ASSERT_EQ(files.size(), mode == 2 ? 2u : 4u);
    for (size_t i = files.size() - 2; i < files.size(); i++) {
      std::string path = host("/media/mmc/DCIM/" + files[i]);
      EXPECT_EQ(video_packets(path).size(), 6u) << path;
    }
  }
}

// The metadata block goes whole into an MP4 recording's moov: a uuid box
// with the recorder's UUID, then every byte of the block.
uint8_t g_meta[200];
void meta_block(SnapshotMetaFn fn, void *arg) { fn(g_meta, sizeof g_meta, 1, arg); }

TEST_F(Recording, MetadataGoesWholeIntoTheMoov) {
  use_sd();
  for (size_t i = 0; i < sizeof g_meta; i++) g_meta[i] = (uint8_t)(i * 13 + 1);
  void (*was)(SnapshotMetaFn, void *) = recorder_metadata;
  recorder_metadata = meta_block;
  get_param_block()->recording.format = 0;
  SteppedProducer producer;
  stream_set_state_by_id(13, 1);
  ASSERT_TRUE(producer.publish_frames(30));
  ASSERT_TRUE(producer.wait_consumed());
  stream_set_state_by_id(13, 0);
  wait_idle();
  recorder_metadata = was;
  std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ".mp4");
  ASSERT_EQ(files.size(), 1u);
  Bytes f = read_board_file("/media/mmc/DCIM/" + files[0]);
  Bytes head = {'u', 'u', 'i', 'd'};
  head.insert(head.end(), RECORDER_META_UUID, RECORDER_META_UUID + 16);
  auto at = std::search(f.begin(), f.end(), head.begin(), head.end());
  ASSERT_NE(at, f.end()) << "no metadata box";
  size_t box = (size_t)(at - f.begin()) - 4;
  EXPECT_EQ((uint32_t)f[box] << 24 | (uint32_t)f[box + 1] << 16 | (uint32_t)f[box + 2] << 8 | f[box + 3],
            8u + 16u + sizeof g_meta);
  ASSERT_GE(f.size(), box + 8 + 16 + sizeof g_meta);
  EXPECT_TRUE(std::equal(g_meta, g_meta + sizeof g_meta, f.begin() + (ptrdiff_t)(box + 8 + 16)));
}

// The status is read by the web server's one request thread and by the
// menu: it never waits for the storage lock, which a format holds across
// mkfs.
TEST_F(Recording, StatusIsReadWhileTheStorageLockIsHeld) {
  use_sd();
  get_param_block()->recording.format = 3;
  SteppedProducer producer;
  stream_set_state_by_id(13, 1);
  ASSERT_TRUE(producer.publish_frames(50));
  char text[64] = "";
  for (int i = 0; i < 1500 && strncmp(text, "Recording ", 10) != 0; i++) {
    getRecordingStatus(text, sizeof text);
    sleep_ms(20);
  }
  ASSERT_EQ(strncmp(text, "Recording ", 10), 0) << text;
  std::atomic<int> answered{0};   // 1 recording, 2 anything else
  filesys_lock();
  std::thread reader([&] {
    char t[64];
    getRecordingStatus(t, sizeof t);
    answered = strncmp(t, "Recording ", 10) == 0 ? 1 : 2;
  });
  for (int i = 0; i < 3000 && !answered; i++) sleep_ms(10);
  int got = answered;
  filesys_unlock();
  reader.join();
  EXPECT_EQ(got, 1) << "the status waited for the storage lock";
  stream_set_state_by_id(13, 0);
  wait_idle();
  getRecordingStatus(text, sizeof text);
  EXPECT_STREQ(text, "Stopped");
}

TEST_F(Recording, TwoUsbDisksGetIdenticalFiles) {
  sim_storage_insert("sda1", 3, 256 << 20, "vfat");
  sim_storage_insert("sdb1", 1, 256 << 20, "vfat");
  fileSysTick(get_param_block());
  filesys_set_storage_device(0);
  for (int fmt : {1, 0}) {
    SteppedProducer producer;
    get_param_block()->recording.format = (uint8_t)fmt;
    stream_set_state_by_id(13, 1);
    ASSERT_TRUE(producer.publish_frames(40));
    ASSERT_TRUE(producer.wait_consumed());
    stream_set_state_by_id(13, 0);
    wait_idle();
    const char *ext = fmt == 1 ? ".ts" : ".mp4";
    std::vector<std::string> a = storage_files_in("/media/int/DCIM", ext);
    std::vector<std::string> b = storage_files_in("/media/ext/DCIM", ext);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b, a);
    std::string first = "/media/int/DCIM/" + a[0], other = "/media/ext/DCIM/" + b[0];
    const char *cmp[] = {"cmp", first.c_str(), other.c_str(), nullptr};
    EXPECT_EQ(run_argv(cmp), 0) << ext << " mirror differs";
    EXPECT_EQ(decode_errors(host(other)), "");
  }
}

// An MP4 recording to two disks whose second one fills: the recording
// stops with the status of a full volume, and both files are cut alike,
// through each one's own descriptor, into files that play.
TEST_F(Recording, AnMp4MirrorOnADiskThatFillsEndsLikeItsPrimary) {
  sim_storage_insert("sda1", 3, 256 << 20, "vfat");
  sim_storage_insert("sdb1", 1, 256 << 20, "vfat");
  fileSysTick(get_param_block());
  filesys_set_storage_device(0);
  SteppedProducer producer;
  get_param_block()->recording.format = 0;
  filesys_set_record_status(nullptr);
  stream_set_state_by_id(13, 1);
  auto written = [] {
    std::vector<std::string> now = storage_files_in("/media/ext/DCIM", ".mp4");
    return now.size() == 1 ? file_size(("/media/ext/DCIM/" + now[0]).c_str()) : 0;
  };
  for (int batch = 0; batch < 3000 && written() < (256u << 10); batch++) {
    ASSERT_TRUE(producer.publish_frames(50));
    producer.wait_consumed();
  }
  ASSERT_GE(written(), 256u << 10);
  sim_storage_fault("sdb1", "ENOSPC", 0);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (stream_get_state_by_id(13) == 1 && std::chrono::steady_clock::now() < until) {
    ASSERT_TRUE(producer.publish_frames(10));
    producer.wait_consumed();
  }
  EXPECT_EQ(stream_get_state_by_id(13), 0) << "the recording went on on a full disk";
  wait_idle();
  sim_storage_fault("sdb1", "none", 0);
  char status[64];
  getRecordingStatus(status, sizeof status);
  EXPECT_STREQ(status, "Storage full or write error");
  std::vector<std::string> a = storage_files_in("/media/int/DCIM", ".mp4");
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(storage_files_in("/media/ext/DCIM", ".mp4"), a);
  std::string first = "/media/int/DCIM/" + a[0], other = "/media/ext/DCIM/" + a[0];
  const char *cmp[] = {"cmp", first.c_str(), other.c_str(), nullptr};
  EXPECT_EQ(run_argv(cmp), 0) << "the mirror differs";
  EXPECT_EQ(decode_errors(host(other)), "");
  EXPECT_GT(video_packets(host(other)).size(), 5u);
}

TEST_F(Recording, FatVolumesSplitBeforeFourGiB) {
  use_sd();
  SteppedProducer producer;
  get_param_block()->recording.format = 3;
  // New files start as if 4 GiB less room for about two key-frame
  // intervals were already written.
  const MuxInputs &in = mux_inputs();
  uint64_t gop = 0;
  for (size_t i = 0; i < 25; i++) gop += in.video[i].size();
  const uint64_t room = 2 * gop + 64 * 1024;
  recorder_test_initial_bytes = (1ULL << 32) - room;
  stream_set_state_by_id(13, 1);
  ASSERT_TRUE(producer.publish_frames(200));
  ASSERT_TRUE(producer.wait_consumed());
  stream_set_state_by_id(13, 0);
  wait_idle();
  std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ".ts");
  ASSERT_GE(files.size(), 3u);
  std::vector<std::string> paths;
  for (const std::string &f : files) {
    std::string path = "/media/mmc/DCIM/" + f;
    EXPECT_LT(file_size(path.c_str()), room) << path;
    EXPECT_EQ(decode_errors(host(path)), "") << path;
    paths.push_back(host(path));
  }
  // Nothing lost or repeated where the files meet.
  expect_joined(paths, 200);
}

TEST_F(Recording, AFullVolumeEndsFilesThatPlayAndStops) {
  const uint64_t capacity = 1 << 20;
  sim_storage_insert("mmcblk0p1", 0, capacity, "vfat");
  fileSysTick(get_param_block());
  get_param_block()->recording.storage_device = 4;
  char b[512];
  std::string backing = std::string(sim_storage_backing_dir("mmcblk0p1", b, sizeof b)) + "/DCIM";
  storage_hooks.record_ended = count_ended;
  for (int fmt : {0, 1}) {  // H.264 and AAC in MP4, then in TS
    SCOPED_TRACE(fmt);
    SteppedProducer producer;
    get_param_block()->recording.format = (uint8_t)fmt;
    filesys_set_record_status(nullptr);
    g_ended_running = 0;
    stream_set_state_by_id(13, 1);
    for (int batch = 0; batch < 40 && stream_get_state_by_id(13) == 1; batch++) {
      ASSERT_TRUE(producer.publish_frames(50));
      producer.wait_consumed();
    }
    EXPECT_EQ(stream_get_state_by_id(13), 0) << "a full volume did not stop the recording";
    EXPECT_GE(g_ended_running.load(), 1) << "the failure was not told before the stream stopped";
    wait_idle();
    char status[64];
    getRecordingStatus(status, sizeof status);
    EXPECT_STREQ(status, "Storage full or write error");
    const char *ext = fmt == 0 ? ".mp4" : ".ts";
    std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ext);
    ASSERT_FALSE(files.empty());
    uint64_t total = 0;
    for (const std::string &f : files) {
      std::string path = "/media/mmc/DCIM/" + f;
      uint64_t size = file_size(path.c_str());
      total += size;
      EXPECT_EQ(decode_errors(host(path)), "") << path;
      if (fmt == 0) {
        // The index made it into the file.
        std::string tree;
        run_tool({"/usr/bin/AtomicParsley", host(path).c_str(), "-T"}, &tree);
        EXPECT_NE(tree.find("Atom moov"), std::string::npos) << path << "\n" << tree;
      } else {
        EXPECT_EQ(size % 188, 0u) << path << ": a packet was cut";
      }
    }
    EXPECT_LE(total, capacity);
    EXPECT_GT(total, capacity / 2) << "stopped long before the volume was full";
    // Room for the next format.
    for (const std::string &f : files) sys_unlink((backing + "/" + f).c_str());
  }
  storage_hooks.record_ended = nullptr;
}

// A volume that refuses writes half way (full, as the card itself says):
// the recording stops with its status and the file holds what was
// written, whole packets that play.
TEST_F(Recording, AWriteRefusedByAFullVolumeEndsAFileThatPlays) {
  use_sd();
  SteppedProducer producer;
  get_param_block()->recording.format = 1;
  filesys_set_record_status(nullptr);
  // Writes go through until the file holds whole frames, then the card is
  // full. A write is a buffer's worth or what a second gathered, so on a
  // loaded host the first may hold less than a frame: the refusal comes
  // after what was written, not after a count of writes.
  stream_set_state_by_id(13, 1);
  auto written = [] {
    std::vector<std::string> now = storage_files_in("/media/mmc/DCIM", ".ts");
    return now.size() == 1 ? file_size(("/media/mmc/DCIM/" + now[0]).c_str()) : 0;
  };
  for (int batch = 0; batch < 3000 && written() < (64u << 10); batch++) {
    ASSERT_TRUE(producer.publish_frames(50));
    producer.wait_consumed();
  }
  ASSERT_GE(written(), 64u << 10);
  sim_storage_fault("mmcblk0p1", "ENOSPC", 0);
  for (int batch = 0; batch < 3000 && stream_get_state_by_id(13) == 1; batch++) {
    ASSERT_TRUE(producer.publish_frames(50));
    producer.wait_consumed();
  }
  EXPECT_EQ(stream_get_state_by_id(13), 0) << "a refused write did not stop the recording";
  wait_idle();
  sim_storage_fault("mmcblk0p1", "none", 0);
  char status[64];
  getRecordingStatus(status, sizeof status);
  EXPECT_STREQ(status, "Storage full or write error");
  std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ".ts");
  ASSERT_EQ(files.size(), 1u);
  std::string path = "/media/mmc/DCIM/" + files[0];
  EXPECT_GT(file_size(path.c_str()), 0u);
  EXPECT_EQ(decode_errors(host(path)), "") << path;
  EXPECT_FALSE(video_packets(host(path)).empty());
}

// An MP4 recording whose card fills, or is pulled, stops at once with the
// status a TS recording gives; what reached the full card closes into a
// file that plays, and the pulled card's file keeps what it held.
TEST_F(Recording, AnMp4RecordingOnAFailingVolumeStopsAtOnceAndKeepsItsFile) {
  for (const char *kind : {"ENOSPC", "pull"}) {
    SCOPED_TRACE(kind);
    use_sd();
    SteppedProducer producer;
    get_param_block()->recording.format = 0;
    filesys_set_record_status(nullptr);
    char dir[512];
    std::string backing = std::string(sim_storage_backing_dir("mmcblk0p1", dir, sizeof dir)) + "/DCIM/";
    auto newest = [&] {
      std::vector<std::string> now = storage_files_in("/media/mmc/DCIM", ".mp4");
      return now.empty() ? std::string() : now.back();
    };
    stream_set_state_by_id(13, 1);
    std::string name;
    auto written = [&] {
      struct stat st;
      return !name.empty() && stat((backing + name).c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
    };
    // What the writer holds reaches the card second by second, long before
    // its buffer is full: the file grows in three different seconds while
    // under a buffer's worth.
    std::set<time_t> grew_in;
    uint64_t last = 0;
    for (int i = 0; i < 600 && grew_in.size() < 3; i++) {
      ASSERT_TRUE(producer.publish_frames(1));
      producer.wait_consumed();
      if (name.empty()) name = newest();
      uint64_t now = written();
      if (now >= (1u << 20)) break;
      if (now > last) grew_in.insert(time(nullptr));
      last = now;
      sleep_ms(50);
    }
    EXPECT_EQ(grew_in.size(), 3u) << "the file did not keep up with the recording";
    for (int batch = 0; batch < 3000 && written() < (256u << 10); batch++) {
      ASSERT_TRUE(producer.publish_frames(50));
      producer.wait_consumed();
      if (name.empty()) name = newest();
    }
    ASSERT_GE(written(), 256u << 10);
    sim_storage_fault("mmcblk0p1", kind, 0);
    uint64_t held = written();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (stream_get_state_by_id(13) == 1 && std::chrono::steady_clock::now() < until) {
      ASSERT_TRUE(producer.publish_frames(10));
      producer.wait_consumed();
    }
    EXPECT_EQ(stream_get_state_by_id(13), 0) << "the recording went on on a failing volume";
    wait_idle();
    sim_storage_fault("mmcblk0p1", "none", 0);
    char status[64];
    getRecordingStatus(status, sizeof status);
    EXPECT_STREQ(status, "Storage full or write error");
    // At most a write under way when the card failed lands after it.
    EXPECT_LE(written(), held + (1u << 20));
    if (!strcmp(kind, "pull")) {
      // Nothing it held is taken away.
      EXPECT_GE(written(), held);
    } else {
      EXPECT_EQ(decode_errors(backing + name), "") << name;
      EXPECT_GT(video_packets(backing + name).size(), 5u) << name;
    }
  }
}

// While a file is recorded it is neither deleted nor renamed; once the
// recording ends it is. A recording whose volume fails every write from
// the start leaves no file at all, MP4 or TS.
TEST_F(Recording, TheFileBeingRecordedIsKeptAndOneThatFailedAtOnceGoes) {
  use_sd();
  {
    SteppedProducer producer;
    get_param_block()->recording.format = 0;
    stream_set_state_by_id(13, 1);
    ASSERT_TRUE(producer.publish_frames(30));
    producer.wait_consumed();
    std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ".mp4");
    ASSERT_EQ(files.size(), 1u);
    const char *name = files[0].c_str();
    EXPECT_EQ(filesys_delete(STORAGE_MMC, name, nullptr), -EBUSY);
    EXPECT_EQ(filesys_rename(STORAGE_MMC, name, "moved.mp4"), -EBUSY);
    stream_set_state_by_id(13, 0);
    wait_idle();
    EXPECT_EQ(video_packets(host("/media/mmc/DCIM/" + files[0])).size(), 30u);
    EXPECT_EQ(filesys_delete(STORAGE_MMC, name, nullptr), 0);
  }
  for (int fmt : {0, 1}) {
    SCOPED_TRACE(fmt);
    SteppedProducer producer;
    get_param_block()->recording.format = (uint8_t)fmt;
    filesys_set_record_status(nullptr);
    char drain[4096];
    while (log_read(drain, sizeof drain) > 0) {
    }
    sim_storage_fault("mmcblk0p1", "EIO", 0);
    stream_set_state_by_id(13, 1);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (stream_get_state_by_id(13) == 1 && std::chrono::steady_clock::now() < until) {
      ASSERT_TRUE(producer.publish_frames(10));
      producer.wait_consumed();
      sleep_ms(50);
    }
    EXPECT_EQ(stream_get_state_by_id(13), 0) << "the recording went on on a failing volume";
    wait_idle();
    sim_storage_fault("mmcblk0p1", "none", 0);
    char status[64];
    getRecordingStatus(status, sizeof status);
    EXPECT_STRNE(status, "Stopped");
    EXPECT_EQ(storage_files_in("/media/mmc/DCIM", fmt == 0 ? ".mp4" : ".ts"), std::vector<std::string>());
    std::string log;
    for (size_t n; (n = log_read(drain, sizeof drain)) > 0;) log.append(drain, n);
    EXPECT_NE(log.find("removed empty /media/mmc/DCIM/"), std::string::npos) << log;
  }
}

// What an MP4 file that ended early holds: headers alone, or sample data.
TEST(RecorderMp4, AFileOfHeadersAloneHoldsNoMedia) {
  auto box = [](const char *type, uint32_t size) {
    std::string b(8, '\0');
    for (int i = 0; i < 4; i++) b[i] = char(size >> (24 - 8 * i));
    memcpy(&b[4], type, 4);
    return b + std::string(size > 8 ? size - 8 : 0, 'x');
  };
  std::string large = box("mdat", 1) + std::string(7, '\0') + std::string(1, '\x10');  // 64-bit size 16
  const std::string head = box("ftyp", 24) + box("moov", 200) + box("free", 8);
  struct Case {
    std::string bytes;
    bool media;
  } cases[] = {
      {"", false},
      {head, false},
      {head + box("mdat", 8), false},
      {head + box("mdat", 0), false},
      {head + box("mdat", 8) + "s", true},
      {head + box("mdat", 0) + "s", true},
      {head + large, false},
      {head + large + "s", true},
      {head + box("mdat", 4), true},   // a box that cannot be: kept
      {box("ftyp", 24) + box("moov", 400).substr(0, 100), false},   // cut inside the index
      {head + box("free", 1) + std::string(8, '\xff'), false},   // a size that would wrap
  };
  std::string dir = test_scratch_dir("mp4media");
  for (const Case &c : cases) {
    std::string path = dir + "/f.mp4";
    FILE *f = sys_fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(c.bytes.data(), 1, c.bytes.size(), f);
    fclose(f);
    int fd = sys_open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(recorder_mp4_file_has_media(fd), c.media) << c.bytes.size() << " bytes";
    close(fd);
  }
}

// A volume whose files cannot grow past a size (EFBIG): the recording
// goes on in the next file, each file ends with whole packets and frames,
// and no frame is lost, also when the limit is met by the last flush.
TEST_F(Recording, AFileSizeLimitOfTheVolumeSplitsWithoutCuttingAPacket) {
  use_sd();
  SteppedProducer producer;
  get_param_block()->recording.format = 3;
  const MuxInputs &in = mux_inputs();
  uint64_t gop = 0;
  for (size_t i = 0; i < 25; i++) gop += in.video[i].size();
  sim_storage_limit("mmcblk0p1", 2 * gop + 64 * 1024 + 1000);
  stream_set_state_by_id(13, 1);
  ASSERT_TRUE(producer.publish_frames(200));
  ASSERT_TRUE(producer.wait_consumed());
  stream_set_state_by_id(13, 0);
  wait_idle();
  sim_storage_limit("mmcblk0p1", 0);
  char status[64];
  getRecordingStatus(status, sizeof status);
  EXPECT_STREQ(status, "Stopped");
  std::vector<std::string> files = storage_files_in("/media/mmc/DCIM", ".ts");
  ASSERT_GE(files.size(), 2u);
  size_t frames = 0;
  for (const std::string &f : files) {
    std::string path = "/media/mmc/DCIM/" + f;
    EXPECT_EQ(file_size(path.c_str()) % 188, 0u) << path << ": a packet was cut";
    EXPECT_EQ(decode_errors(host(path)), "") << path;
    frames += video_packets(host(path)).size();
  }
  EXPECT_EQ(frames, 200u) << "frames lost where the files meet";
}

}  // namespace
