// The control protocol's file requests on a volume that carries links (to
// a file, to a folder, to nothing) and on one that fails: nothing outside
// the volume is read, written or deleted, and a write that did not reach
// the volume is reported at its close.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "control/cmd_exec.h"
#include "control/status_events.h"
#include "core/firmware.h"
#include "core/param_block.h"
#include "storage/storage_test_support.h"
#include "test_root.h"

namespace {

struct Reply {
  uint8_t status = 0xFF;
  std::vector<uint8_t> body;   // fields and word, checksum excluded
};

std::string host(const std::string &board) { return HostPath(board.c_str()).c_str(); }

void plant(const std::string &target, const std::string &at) {
  unlink(host(at).c_str());
  ASSERT_EQ(symlink(host(target).c_str(), host(at).c_str()), 0);
}

std::string text_of(const std::string &board) {
  char buf[256];
  return sys_read_text(board.c_str(), buf, sizeof buf, false) < 0 ? "(none)" : buf;
}

struct FileRequests : ::testing::Test {
  ParamBlock pb{};
  CtlExchange ex;
  std::string sealed, ext;
  void SetUp() override {
    storage_test_board();
    status_events_init(&pb);
    cmd_hooks = {};
    sim_storage_insert("sda1", 3, 64 << 20, "vfat");
    sim_storage_insert("sdb1", 1, 64 << 20, "vfat");
    fileSysTick(nullptr);
    ASSERT_TRUE(filesys_is_mounted(STORAGE_EXT));
    sealed = test_scratch_dir("sealed");
    ASSERT_EQ(sys_write_text((sealed + "/victim").c_str(), "victim"), 0);
    char b[512];
    ext = root_unpath(sim_storage_backing_dir("sdb1", b, sizeof b), b, sizeof b);
    sys_mkdirs((ext + "/DCIM").c_str(), 0755);
    plant(sealed, ext + "/lnk");
    plant(sealed + "/victim", ext + "/DCIM/linked.mp4");
    plant(sealed + "/made", ext + "/dangling.txt");
    ASSERT_EQ(sys_write_text((ext + "/DCIM/real.mp4").c_str(), "real"), 0);
  }
  void TearDown() override {
    call(57);
    sim_storage_fault("sdb1", "none", 0);
    EXPECT_EQ(text_of(sealed + "/victim"), "victim");
    EXPECT_EQ(text_of(sealed + "/made"), "(none)");
    storage_test_volumes_clear();
  }
  Reply call(uint8_t opcode, std::vector<uint8_t> fields = {}) {
    ctl_init_request(&ex.request, opcode);
    ctl_put_bytes(&ex.request, fields.data(), fields.size());
    ctl_put_checksum(&ex.request);
    size_t len = cmd_exec_frame(&ex, cobs_encode(&ex.request));
    Reply r;
    EXPECT_GT(len, 0u);
    CtlPacket p;
    memcpy(p.frame, ex.reply.frame, len);
    EXPECT_EQ(ctl_decode_frame(&p, len), CTL_OK) << "reply to " << (int)opcode << " does not decode";
    EXPECT_EQ(ctl_get_u8(&p), CTL_KIND_REPLY);
    r.status = ctl_get_u8(&p);
    if (p.write > p.read) r.body.assign(p.read, p.write - 1);
    return r;
  }
  static std::vector<uint8_t> with(std::vector<uint8_t> head, const std::string &s) {
    head.insert(head.end(), s.begin(), s.end());
    head.push_back(0);
    return head;
  }
};

TEST_F(FileRequests, NoRequestLeadsThroughALink) {
  EXPECT_EQ(call(56, with({2, 0}, "lnk/victim")).status, CTL_ERR_NO_FILE);
  EXPECT_EQ(call(56, with({2, 1}, "lnk/new")).status, CTL_ERR_NO_FILE);
  EXPECT_EQ(call(56, with({2, 1}, "dangling.txt")).status, CTL_ERR_NO_FILE);
  EXPECT_EQ(call(56, with({2, 0}, "DCIM/linked.mp4")).status, CTL_ERR_NO_FILE);
  EXPECT_NE(call(53, with({2}, "../lnk/victim")).status, CTL_OK);
  EXPECT_EQ(call(53, with({2}, "/etc/passwd")).status, CTL_ERR_RANGE);
  // The recording list leaves the link out.
  Reply count = call(50, {2});
  ASSERT_EQ(count.status, CTL_OK);
  ASSERT_GE(count.body.size(), 4u);
  EXPECT_EQ(count.body[0], 1) << "only real.mp4";
  // A plain file is still served.
  ASSERT_EQ(call(56, with({2, 0}, "DCIM/real.mp4")).status, CTL_OK);
  Reply data = call(58);
  EXPECT_EQ(data.status, CTL_OK);
  EXPECT_EQ(call(57).status, CTL_OK);
}

TEST_F(FileRequests, AWriteLostOnAFullVolumeIsReportedAtTheClose) {
  ASSERT_EQ(call(56, with({2, 1}, "notes.txt")).status, CTL_OK);
  sim_storage_fault("sdb1", "ENOSPC", 0);
  std::vector<uint8_t> bytes(200, 'n');
  // The bytes are taken into the buffer; the volume refuses them later.
  call(59, bytes);
  EXPECT_EQ(call(57).status, CTL_ERR_FILE_OP);
  sim_storage_fault("sdb1", "none", 0);
  ASSERT_EQ(call(56, with({2, 1}, "notes.txt")).status, CTL_OK);
  call(59, bytes);
  EXPECT_EQ(call(57).status, CTL_OK);
}

// A name too long to be asked for again (past the length limit of names
// from outside) is not listed, so no listed name makes a reply too large
// for a packet; one at the limit is listed and named whole.
TEST_F(FileRequests, NamesPastTheLimitAreNotListed) {
  std::string longest = std::string(FILESYS_NAME_MAX - 4, 'a') + ".mp4";
  for (size_t len : {FILESYS_NAME_MAX + 1, 247}) {
    std::string name = std::string(len - 4, 'b') + ".mp4";
    ASSERT_EQ(sys_write_text((ext + "/DCIM/" + name).c_str(), "x"), 0);
  }
  ASSERT_EQ(sys_write_text((ext + "/DCIM/" + longest).c_str(), "x"), 0);
  cmd_file_list_stale();
  Reply count = call(50, {2});
  ASSERT_EQ(count.status, CTL_OK);
  EXPECT_EQ(count.body[0], 2) << "real.mp4 and the name at the limit";
  Reply r = call(52, {2, 0, 0, 0, 0});
  ASSERT_EQ(r.status, CTL_OK);
  EXPECT_EQ(std::string((const char *)r.body.data()), longest);
  EXPECT_EQ(call(52, {2, 2, 0, 0, 0}).status, CTL_ERR_RANGE);
}

// A reply that outgrows a packet goes as the codec's status alone, never as
// a frame cut short. No listed name is long enough for that any more (see
// above): the recorder's name hook fills the reply first, standing in for
// a handler whose fields overflow it.
TEST_F(FileRequests, AReplyTooLargeForAPacketIsTheCodecsStatusAlone) {
  static CtlPacket *reply;
  reply = &ex.reply;
  cmd_hooks.record_filename = [](char *buf, size_t size, int) {
    std::vector<uint8_t> fill(240, 'a');
    ctl_put_bytes(reply, fill.data(), fill.size());
    snprintf(buf, size, "%s.mp4", std::string(100, 'r').c_str());
    return 0;
  };
  status_update(0, ~0u, "reset");
  Reply r = call(20, {2, 0, 0, 0});
  EXPECT_EQ(r.status, CTL_ERR_TOO_LARGE);
  EXPECT_TRUE(r.body.empty());
  cmd_hooks.record_filename = nullptr;
  status_update(0, ~0u, "reset");
  // The next reply is whole again.
  r = call(50, {2});
  EXPECT_EQ(r.status, CTL_OK);
  EXPECT_EQ(r.body.size(), 8u);
}

// An image named from a volume is checked before the reply: one refused is
// answered as out of range, the update status saying why; one missing or
// unreadable as a failed file operation.
TEST_F(FileRequests, AFirmwareImageIsCheckedBeforeTheReply) {
  ASSERT_EQ(sys_write_text((ext + "/bad.fw").c_str(), "not an image at all"), 0);
  int fds = test_open_fds();
  EXPECT_EQ(call(48, with({2}, "bad.fw")).status, CTL_ERR_RANGE);
  const char *why = firmware_status_peek();
  EXPECT_TRUE(why && *why);
  EXPECT_EQ(test_open_fds(), fds);   // the file is let go once checked
  EXPECT_EQ(call(48, with({2}, "absent.fw")).status, CTL_ERR_FILE_OP);
  sim_storage_fault("sdb1", "EIO", 0);
  EXPECT_EQ(call(48, with({2}, "bad.fw")).status, CTL_ERR_FILE_OP);
  EXPECT_EQ(firmware_update_in_progress(), 0);
}

}  // namespace

namespace {

// A file being recorded is neither deleted nor renamed (4, the wrong
// state) until its writer lets it go; a file the player cannot open is
// refused by play_file with the reason in the reply, and no playback bit
// is set.
TEST_F(FileRequests, RecordedAndUnplayableFilesAreRefusedWithTheirReason) {
  int fd = filesys_open_recording(STORAGE_EXT, "real.mp4", O_RDONLY);
  ASSERT_GE(fd, 0);
  filesys_lock();
  int h = filesys_writing_add(fd);
  filesys_unlock();
  EXPECT_EQ(call(53, with({2}, "real.mp4")).status, CTL_ERR_STATE);
  EXPECT_EQ(call(54, with(with({2}, "real.mp4"), "moved.mp4")).status, CTL_ERR_STATE);
  EXPECT_EQ(text_of(ext + "/DCIM/real.mp4"), "real");
  filesys_lock();
  filesys_writing_remove(h);
  filesys_unlock();
  close(fd);

  Reply r = call(32, with({2}, "real.mp4"));
  EXPECT_EQ(r.status, CTL_ERR_FILE_OP);
  std::string why = "no index (moov): the file was cut short";
  EXPECT_EQ(std::string(r.body.begin(), r.body.end()), why + std::string(1, '\0'));
  EXPECT_EQ(status_get() & STATUS_PLAYBACK, 0u);
  // A refusal of another kind carries no fields.
  r = call(32, with({2}, "absent.mp4"));
  EXPECT_EQ(r.status, CTL_ERR_NO_FILE);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(call(53, with({2}, "real.mp4")).status, CTL_OK);
}

}  // namespace
