// Recordings made by the record thread from a live H.264 + AAC producer,
// checked with ffprobe and ffmpeg: formats, segments, mirror files and the
// FAT split.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

#include "../media/stream_mux_test_support.h"
#include "core/global.h"
#include "core/param_block.h"
#include "core/param_flash.h"
#include "core/process_util.h"
#include "platform/host_root.h"
#include "platform/runner.h"
#include "platform/sim/sim_control.h"
#include "storage/filesys.h"
#include "storage/recorder.h"

namespace {

// Publishes the inputs in real time (25 frames/s) while it runs.
struct LiveProducer {
  AvRings rings{8 << 20, 1024};
  std::atomic<bool> run{true};
  std::thread th;
  LiveProducer() {
    const MuxInputs &in = mux_inputs();
    th = std::thread([this, &in] {
      Timeline t{timestamp_now(), 0, 1u << 30, 1u << 30};
      t.a0 = t.v0;
      size_t next_audio = 0;
      for (size_t i = 0; run; i++) {
        publish_run(t, in.video, in.aac, &rings.video.queue, &rings.audio.queue, i, i + 1, &next_audio);
        sleep_ms(40);
      }
    });
  }
  ~LiveProducer() {
    run = false;
    th.join();
    stream_register(nullptr, nullptr, VIDEO_STREAM1);
    stream_register(nullptr, nullptr, AAC_STREAM);
  }
};

std::vector<std::string> files_in(const char *dir, const char *ext) {
  std::vector<std::string> v;
  if (DIR *d = sys_opendir(dir)) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.substr(n.size() - strlen(ext)) == ext) v.push_back(n);
    }
    closedir(d);
  }
  std::sort(v.begin(), v.end());
  return v;
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
    test_root();
    stream_mux_init();
    for (const char *d : {"mmcblk0p1", "sda1", "sdb1"}) sim_storage_remove(d);
    for (const char *m : {"/media/mmc", "/media/int", "/media/ext"}) {
      const char *um[] = {"umount", m, nullptr};
      run_argv(um);
    }
    set_exit_code(0);
    filesys_reset();
    param_load_defaults();
    gui_started = 1;
    filesys_state.record_status = nullptr;
    mux_inputs();
    env.env.name = "record";
    env.env.params = get_param_block();
    env.stream_id = 13;
    th = std::thread([this] { recordThrFxn(&env); });
    for (int i = 0; i < 100 && stream_get_state_by_id(13) < 0; i++) sleep_ms(10);
  }
  void TearDown() override {
    if (!th.joinable()) return;
    set_exit_code(EXIT_QUIT);
    stream_stop_all();
    th.join();
    set_exit_code(0);
    recorder_test_initial_bytes = 0;
  }
  void use_sd() {
    sim_storage_insert("mmcblk0p1", 0, 256 << 20, "vfat");
    fileSysTick(get_param_block());
    get_param_block()->recording.storage_device = 4;
  }
  // Records for ms, then stops and waits until the writers are gone.
  void record_for(int ms) {
    stream_set_state_by_id(13, 1);
    sleep_ms(ms);
    stream_set_state_by_id(13, 0);
    wait_idle();
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
  LiveProducer producer;
  for (int fmt : {1, 0}) {
    get_param_block()->recording.format = (uint8_t)fmt;
    record_for(2500);
    const char *ext = fmt == 1 ? ".ts" : ".mp4";
    std::vector<std::string> files = files_in("/media/mmc/DCIM", ext);
    ASSERT_EQ(files.size(), 1u) << ext;
    std::string path = host("/media/mmc/DCIM/" + files[0]);
    EXPECT_EQ(decode_errors(path), "") << path;
    EXPECT_EQ(streams_of(path), "h264\naac\n") << path;
    double d = duration_of(path);
    EXPECT_GT(d, 1.5) << path;
    EXPECT_LT(d, 3.5) << path;
  }
  char status[64];
  getRecordingStatus(status, sizeof status);
  EXPECT_STREQ(status, "Stopped");
}

TEST_F(Recording, TimeSegmentsAreConsecutiveAndStopAfterTheCount) {
  use_sd();
  LiveProducer producer;
  ParamBlock *p = get_param_block();
  p->recording.format = 3;         // H.264 in TS
  p->recording.duration_mode = 1;  // seconds
  p->recording.duration = 1;
  p->recording.segments = 3;
  stream_set_state_by_id(13, 1);
  for (int i = 0; i < 400 && stream_get_state_by_id(13) == 1; i++) sleep_ms(20);
  EXPECT_EQ(stream_get_state_by_id(13), 0) << "did not stop after three segments";
  wait_idle();
  std::vector<std::string> files = files_in("/media/mmc/DCIM", ".ts");
  ASSERT_EQ(files.size(), 3u);
  double total = 0;
  for (size_t i = 0; i < files.size(); i++) {
    EXPECT_EQ(atoi(files[i].c_str() + 9), (int)i);
    std::string path = host("/media/mmc/DCIM/" + files[i]);
    EXPECT_EQ(decode_errors(path), "") << path;
    double d = duration_of(path);
    EXPECT_GT(d, 0.8) << path;
    EXPECT_LT(d, 1.5) << path;
    total += d;
  }
  EXPECT_GT(total, 2.6);
}

TEST_F(Recording, TwoUsbDisksGetIdenticalFiles) {
  sim_storage_insert("sda1", 3, 256 << 20, "vfat");
  sim_storage_insert("sdb1", 1, 256 << 20, "vfat");
  fileSysTick(get_param_block());
  filesys_set_storage_device(0);
  LiveProducer producer;
  for (int fmt : {1, 0}) {
    get_param_block()->recording.format = (uint8_t)fmt;
    record_for(1500);
    const char *ext = fmt == 1 ? ".ts" : ".mp4";
    std::vector<std::string> a = files_in("/media/int/DCIM", ext), b = files_in("/media/ext/DCIM", ext);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b, a);
    const char *cmp[] = {"cmp", ("/media/int/DCIM/" + a[0]).c_str(), nullptr, nullptr};
    std::string other = "/media/ext/DCIM/" + b[0];
    std::string first = "/media/int/DCIM/" + a[0];
    cmp[1] = first.c_str();
    cmp[2] = other.c_str();
    EXPECT_EQ(run_argv(cmp), 0) << ext << " mirror differs";
    EXPECT_EQ(decode_errors(host(other)), "");
  }
}

TEST_F(Recording, FatVolumesSplitBeforeFourGiB) {
  use_sd();
  LiveProducer producer;
  get_param_block()->recording.format = 3;
  // New files start as if 4 GiB less 20 kB were already written.
  recorder_test_initial_bytes = (1ULL << 32) - 20000;
  record_for(3000);
  std::vector<std::string> files = files_in("/media/mmc/DCIM", ".ts");
  ASSERT_GE(files.size(), 2u);
  for (size_t i = 0; i + 1 < files.size(); i++) {
    std::string path = "/media/mmc/DCIM/" + files[i];
    EXPECT_LT(file_size(path.c_str()), 20000u) << path;
    EXPECT_EQ(decode_errors(host(path)), "") << path;
  }
}

}  // namespace
