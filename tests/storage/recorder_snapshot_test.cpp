// The record/snapshot thread on the simulated board: snapshots become
// dated, numbered JPEG files; failures leave their status text.
#include "storage_test_support.h"

#include <atomic>
#include <csignal>
#include <regex>
#include <ctime>
#include <sys/resource.h>
#include <thread>

#include "core/log.h"
#include "core/param_block.h"
#include "core/process_util.h"
#include "formats/media_inputs.h"
#include "media/stream_ids.h"
#include "media/stream_producer.h"
#include "media/stream_queue.h"
#include "storage/recorder.h"

namespace {

// A JPEG producer on VIDEO_STREAM2: publishes the picture when told, once
// the snapshot thread is attached.
struct JpegProducer {
  ProducerState state{};
  StreamQueue queue{};
  Buffer_Handle buf = nullptr;
  std::vector<uint8_t> jpeg;
  uint32_t ts = 1000;

  explicit JpegProducer(const std::vector<uint8_t> &picture) : jpeg(picture) {
    stream_register(&state, &queue, VIDEO_STREAM2);
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.memAlign = STREAM_RING_ALIGN;
    buf = Buffer_create(1 << 20, &a);
    ringbuffer_init(&queue, buf, 64, STREAM_RING_ALIGN);
  }
  ~JpegProducer() {
    stream_register(nullptr, nullptr, VIDEO_STREAM2);
    ringbuffer_free(&queue);
    Buffer_delete(buf);
  }
  bool publish_when_attached() {
    for (int i = 0; i < 1500 && stream_consumer_count(VIDEO_STREAM2) <= 0; i++) sleep_ms(10);
    if (stream_consumer_count(VIDEO_STREAM2) <= 0) return false;
    int off = ringbuffer_preallocate(&queue, (uint32_t)jpeg.size());
    if (off < 0) return false;
    memcpy(queue.base + off, jpeg.data(), jpeg.size());
    ringbuffer_put(&queue, (uint32_t)jpeg.size(), ts, 0x11);
    ts += 3600;
    return true;
  }
};

std::string today_prefix() {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char p[16];
  snprintf(p, sizeof p, "%04d%02d%02d-", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return p;
}

// A 320x240 JPEG picture made by ffmpeg.
std::vector<uint8_t> test_jpeg(const char *scratch) {
  std::string src = test_scratch_dir(scratch) + "/pic.jpg";
  std::vector<uint8_t> jpeg;
  if (run_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240",
                "-frames:v", "1", src.c_str()}) != 0)
    return jpeg;
  if (FILE *f = sys_fopen(src.c_str(), "rb")) {
    jpeg.resize(1 << 20);
    jpeg.resize(fread(jpeg.data(), 1, jpeg.size(), f));
    fclose(f);
  }
  return jpeg;
}

class Recorder : public ::testing::Test {
 protected:
  void SetUp() override {
    storage_test_board();
  }
  void TearDown() override {
    set_exit_code(EXIT_QUIT);
    // As at shutdown: stopping the states wakes threads waiting for a start.
    stream_stop_all();
    for (auto &t : threads) t.join();
    set_exit_code(0);
    char name[100];
    getRecordFilename(name, sizeof name, 0);  // a file name nobody asked for
    storage_test_volumes_clear();
  }
  void start_thread(RecordEnv *env) {
    threads.emplace_back([env] { recordThrFxn(env); });
    // The thread registers its stream id before it waits for a start.
    for (int i = 0; i < 100 && stream_get_state_by_id(env->stream_id) < 0; i++) sleep_ms(10);
  }
  std::vector<std::thread> threads;
};

TEST_F(Recorder, SnapshotsAreNumberedJpegFilesThatDecode) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg missing";
  std::vector<uint8_t> jpeg = test_jpeg("snap");
  ASSERT_FALSE(jpeg.empty());
  sim_storage_insert("mmcblk0p1", 0, 64 << 20, "vfat");
  fileSysTick(get_param_block());
  ASSERT_TRUE(filesys_is_mounted(STORAGE_MMC));
  get_param_block()->recording.storage_device = 4;
  filesys_set_storage_device(4);
  // Numbers already taken today by other extensions don't count.
  std::string prefix = today_prefix();
  char b[512];
  std::string dcim = std::string(sim_storage_backing_dir("mmcblk0p1", b, sizeof b)) + "/DCIM";
  sys_mkdirs(dcim.c_str(), 0755);
  sys_write_text((dcim + "/" + prefix + "000.jpg").c_str(), "x");
  sys_write_text((dcim + "/" + prefix + "001.ts").c_str(), "x");

  JpegProducer producer(jpeg);
  static RecordEnv env;
  env.env.name = "snapshot";
  env.stream_id = 14;
  start_thread(&env);

  auto snapshot = [&] {
    stream_set_state_by_id(14, 1);
    ASSERT_TRUE(producer.publish_when_attached());
    for (int i = 0; i < 1500 && stream_get_state_by_id(14) == 1; i++) sleep_ms(20);
    for (int i = 0; i < 1500 && !(stream_consumer_count(VIDEO_STREAM2) == 0 && filesys_all_read_only()); i++)
      sleep_ms(20);
  };
  snapshot();
  std::vector<std::string> files = storage_files_in("/media/mmc/DCIM");
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[1], prefix + "001.jpg");
  EXPECT_EQ(file_size(("/media/mmc/DCIM/" + prefix + "001.jpg").c_str()), jpeg.size());
  EXPECT_TRUE(filesys_all_read_only()) << "writer left behind";
  // The name waits for its reader, who came late, and goes with the read.
  char name[64];
  EXPECT_EQ(getRecordFilename(name, sizeof name, 200), 0);
  EXPECT_EQ(name, prefix + "001.jpg");
  EXPECT_NE(getRecordFilename(name, sizeof name, 100), 0);

  std::string out;
  std::string path = std::string(root_dir()) + "/media/mmc/DCIM/" + prefix + "001.jpg";
  ASSERT_EQ(run_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height",
                      "-of", "csv=p=0", path.c_str()}, &out), 0);
  EXPECT_EQ(out, "mjpeg,320,240\n");

  // The next snapshot takes the next number.
  snapshot();
  files = storage_files_in("/media/mmc/DCIM");
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[3], prefix + "002.jpg");
}

TEST_F(Recorder, ASnapshotNotWrittenWholeIsReportedAndRemoved) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg missing";
  std::vector<uint8_t> jpeg = test_jpeg("snapfail");
  ASSERT_GT(jpeg.size(), 8192u);
  sim_storage_insert("mmcblk0p1", 0, 64 << 20, "vfat");
  fileSysTick(get_param_block());
  get_param_block()->recording.storage_device = 4;
  JpegProducer producer(jpeg);
  static RecordEnv env;
  env.env.name = "snapshot";
  env.stream_id = 14;
  start_thread(&env);
  // Files of this process stop at 4 KiB: the picture's last write fails.
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  log_reset();
  stream_set_state_by_id(14, 1);
  bool published = producer.publish_when_attached();
  for (int i = 0; i < 1500 && stream_get_state_by_id(14) == 1; i++) sleep_ms(20);
  for (int i = 0; i < 1500 && !(stream_consumer_count(VIDEO_STREAM2) == 0 && filesys_all_read_only()); i++)
    sleep_ms(20);
  setrlimit(RLIMIT_FSIZE, &old);
  ASSERT_TRUE(published);
  EXPECT_TRUE(storage_files_in("/media/mmc/DCIM").empty()) << "partial picture left";
  std::string text(1 << 18, '\0');
  text.resize(log_copy(log_get_tail(), &text[0], text.size()));
  EXPECT_NE(text.find("error: file write failed: File too large (27)"), std::string::npos) << text;
}

TEST_F(Recorder, ASnapshotMeetingAnIoErrorIsReportedAndRemoved) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg missing";
  std::vector<uint8_t> jpeg = test_jpeg("snapeio");
  ASSERT_FALSE(jpeg.empty());
  sim_storage_insert("mmcblk0p1", 0, 64 << 20, "vfat");
  fileSysTick(get_param_block());
  get_param_block()->recording.storage_device = 4;
  JpegProducer producer(jpeg);
  static RecordEnv env;
  env.env.name = "snapshot";
  env.stream_id = 14;
  start_thread(&env);
  sim_storage_fault("mmcblk0p1", "EIO", 0);
  log_reset();
  stream_set_state_by_id(14, 1);
  bool published = producer.publish_when_attached();
  for (int i = 0; i < 1500 && stream_get_state_by_id(14) == 1; i++) sleep_ms(20);
  for (int i = 0; i < 1500 && !(stream_consumer_count(VIDEO_STREAM2) == 0 && filesys_all_read_only()); i++)
    sleep_ms(20);
  sim_storage_fault("mmcblk0p1", "none", 0);
  ASSERT_TRUE(published);
  EXPECT_TRUE(storage_files_in("/media/mmc/DCIM").empty()) << "partial picture left";
  std::string text(1 << 18, '\0');
  text.resize(log_copy(log_get_tail(), &text[0], text.size()));
  EXPECT_NE(text.find("error: file write failed: Input/output error (5)"), std::string::npos) << text;
  // No name was handed out for it: a reader is told of the failure.
  char name[64];
  EXPECT_EQ(getRecordFilename(name, sizeof name, 0), -1);
  EXPECT_STREQ(name, "unknown");
}

// What stream B sends that is no whole JPEG picture (an H.264 access unit,
// a picture without its end) makes no file, and a reader waiting for the
// name is told at once; then a picture is taken again.
TEST_F(Recorder, ASnapshotOfNoPictureMakesNoFile) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg missing";
  std::vector<uint8_t> jpeg = test_jpeg("snapnot");
  ASSERT_FALSE(jpeg.empty());
  sim_storage_insert("mmcblk0p1", 0, 64 << 20, "vfat");
  fileSysTick(get_param_block());
  get_param_block()->recording.storage_device = 4;
  get_param_block()->video[1].stream_mode = 3;
  std::vector<uint8_t> h264 = {0, 0, 0, 1, 0x67, 0x64, 0, 0x28, 0xac, 0xd9, 0x40, 0x50};
  std::vector<uint8_t> cut(jpeg.begin(), jpeg.end() - 2);
  JpegProducer producer(h264);
  static RecordEnv env;
  env.env.name = "snapshot";
  env.stream_id = 14;
  start_thread(&env);
  const std::vector<uint8_t> *sent[] = {&h264, &cut, &jpeg};
  for (const std::vector<uint8_t> *data : sent) {
    producer.jpeg = *data;
    int rc = 1;
    char name[64] = "";
    std::thread reader([&] { rc = getRecordFilename(name, sizeof name, 30000); });
    for (int i = 0; i < 1500 && !filesys_state.record_name_waiting; i++) sleep_ms(10);
    stream_set_state_by_id(14, 1);
    ASSERT_TRUE(producer.publish_when_attached());
    reader.join();
    for (int i = 0; i < 1500 && stream_get_state_by_id(14) == 1; i++) sleep_ms(20);
    for (int i = 0; i < 1500 && !(stream_consumer_count(VIDEO_STREAM2) == 0 && filesys_all_read_only()); i++)
      sleep_ms(20);
    std::vector<std::string> files = storage_files_in("/media/mmc/DCIM");
    if (data != &jpeg) {
      EXPECT_EQ(rc, -1) << data->size();
      EXPECT_STREQ(name, "unknown");
      EXPECT_TRUE(files.empty()) << files[0];
    } else {
      EXPECT_EQ(rc, 0);
      ASSERT_EQ(files.size(), 1u);
      EXPECT_EQ(files[0], name);
      EXPECT_EQ(file_size(("/media/mmc/DCIM/" + files[0]).c_str()), jpeg.size());
    }
  }
}

TEST_F(Recorder, NoStorageStopsWithItsStatus) {
  // No recording made: a reader of its name gives up.
  char name[64];
  EXPECT_NE(getRecordFilename(name, sizeof name, 200), 0);
  EXPECT_STREQ(name, "unknown");
  static RecordEnv env;
  env.env.name = "record";
  env.stream_id = 13;
  start_thread(&env);
  for (int i = 0; i < 100 && !filesys_record_status(); i++) sleep_ms(10);
  char text[64];
  getRecordingStatus(text, sizeof text);
  EXPECT_STREQ(text, "Stopped");
  filesys_set_storage_device(4);
  stream_set_state_by_id(13, 1);
  for (int i = 0; i < 200 && stream_get_state_by_id(13) == 1; i++) sleep_ms(10);
  EXPECT_EQ(stream_get_state_by_id(13), 0);
  getRecordingStatus(text, sizeof text);
  EXPECT_STREQ(text, "Storage not present");
}

TEST_F(Recorder, AnEndedThreadLeavesItsStreamIdUnregistered) {
  static RecordEnv env;
  env.env.name = "record";
  env.stream_id = 13;
  // Shutdown as it happens: stop passes still at work while the thread
  // frees its state. A pass must never reach into the freed state. Each
  // ending thread logs its CPU time.
  char drain[4096];
  while (log_read(drain, sizeof drain) > 0) {
  }
  for (int round = 0; round < 10; round++) {
    start_thread(&env);
    ASSERT_EQ(stream_get_state_by_id(13), 0);
    std::atomic<bool> done{false};
    std::thread stopper([&] {
      while (!done) {
        stream_stop_all();
        sleep_ms(1);
      }
    });
    set_exit_code(EXIT_QUIT);
    for (auto &t : threads) t.join();
    threads.clear();
    done = true;
    stopper.join();
    set_exit_code(0);
    // The thread's state is gone: a lookup must not reach into it.
    EXPECT_EQ(stream_get_state_by_id(13), -1);
  }
  std::string log;
  size_t n;
  while ((n = log_read(drain, sizeof drain)) > 0) log.append(drain, n);
  std::regex cpu("\\] record: [0-9]+\\.[0-9]{3}\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), cpu), std::sregex_iterator()), 10) << log;
}

TEST_F(Recorder, NameFilterTakesOnlyThisDayAndExtension) {
  recorder_set_name_filter("20240301-", "mp4");
  auto entry = [](const char *name) {
    static dirent e;
    memset(&e, 0, sizeof e);
    e.d_type = DT_REG;
    snprintf(e.d_name, sizeof e.d_name, "%s", name);
    return &e;
  };
  EXPECT_TRUE(recorder_name_filter(entry("20240301-000.mp4")));
  EXPECT_FALSE(recorder_name_filter(entry("20240301-000.ts")));
  EXPECT_FALSE(recorder_name_filter(entry("20240302-000.mp4")));
  EXPECT_FALSE(recorder_name_filter(entry("20240301-0a0.mp4")));
  EXPECT_FALSE(recorder_name_filter(entry("20240301-000.mp4x")));
  dirent *d = entry("20240301-001.mp4");
  d->d_type = DT_DIR;
  EXPECT_FALSE(recorder_name_filter(d));
}

}  // namespace
