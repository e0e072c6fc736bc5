// Controls of the simulated drivers, for tests and scripts/run.
#pragma once
#include <cstdint>
#include <cstddef>
#include <linux/fb.h>
#include <linux/videodev2.h>
#include <vector>

// /dev/mtd0: the flash image file is <root>/dev/mtd0 (16 MiB of 0xFF).
// Creates it when missing, with a BoardInfo holding the serial number.
int sim_flash_create_image(uint32_t serial);
// The next n erases (or writes) fail with EIO.
void sim_flash_fail_erase(int n);
void sim_flash_fail_write(int n);
// The next write programs only its first n bytes, then fails with EIO (a
// power cut or a worn cell in the middle of programming).
void sim_flash_tear_write(size_t n);

// /dev/mem: the 90 kHz timer counts from CLOCK_MONOTONIC, starting at the
// value in M7391_CLOCK_START (or 0) when the register space is first mapped.
// Moves the counter so that it reads value now.
void sim_mem_set_timer(uint32_t value);
// The simulated register word at a physical address (NULL outside).
volatile uint32_t *sim_mem_reg(uint32_t phys);

// ---- Capture chain: /dev/media0, /dev/v4l-subdev*, /dev/video* ----
// The decoder chip and the SoC's capture chain (CCDC, previewer, resizer with
// outputs A and B). The picture is a moving test pattern: 75% colour bars over
// the top two thirds; below them a grey ramp with a white block that moves
// right by width/64 per frame, and along the bottom twelfth a strip of 16
// cells showing the frame number in binary (most significant bit left, white
// for 1). Or, when a Y4M file is set, its frames in a loop.
enum { SIM_DECODER_SYSFS = 0, SIM_DECODER_ADV7842 = 1, SIM_DECODER_TP2825 = 2 };
// Rebuilds the chain from scratch (links, formats, buffers, events, inputs
// as at power-on). SIM_DECODER_SYSFS takes the decoder from the names under
// <root>/sys/class/video4linux. Descriptors open before keep working on the
// new chain.
void sim_capture_reset(int decoder);
// Inputs: adv7842 0 "DVI", 1 "CVideo", 2 "SVideo", 3 "Comp", 4 "VGA",
// 5 "DVI"; tp2825 0 "AHD1", 1 "AHD2". A change on the current input raises
// the decoder's signal event.
void sim_capture_set_signal(int input, int present);
// Picture of a digital or analog-HD input; fps in thousandths of frames per
// second; pixelclock 0 derives it from the usual blanking of that size.
void sim_capture_set_timings(int input, unsigned width, unsigned height, int interlaced,
                             unsigned fps_milli, uint64_t pixelclock);
// Standard carried by an analogue input (a V4L2 standard set).
void sim_capture_set_standard(int input, uint64_t std);
// Analog-HD preset code (bits 0-5 as VIDIOC_S_DV_PRESET) and format (1 AHD,
// 2 TVI, 3 CVI) of a tp2825 input; sets its picture to match.
void sim_capture_set_ahd(int input, unsigned preset, unsigned format);
void sim_capture_set_audio_rate(int input, unsigned rate);
// While stalled the outputs deliver nothing although they stream.
void sim_capture_stall(int stalled);
// The next count requests of that number fail with err (an errno value).
void sim_capture_fail_request(unsigned long request, int count, int err);
// Frames from a Y4M file (4:2:0 or 4:2:2 planar, board path); NULL or ""
// goes back to the test pattern. 0, or -1 when the file is not usable.
int sim_capture_set_y4m(const char *path);
// The same controls as text, one command a line:
//   reset [adv7842|tp2825|sysfs]     signal INPUT 0|1
//   timings INPUT W H p|i FPS_MILLI [PIXELCLOCK]
//   standard INPUT ntsc|pal|0xHEX    ahd INPUT PRESET ahd|tvi|cvi
//   audio INPUT RATE                 stall 0|1
//   fail REQUEST_HEX COUNT [ERRNO]   y4m PATH|-
// Returns 0, or -1 for a line it does not understand. Lines appended to the
// file <root>/run/sim_capture.cmd are run as they arrive (scripts/run).
int sim_capture_command(const char *line);

struct SimCaptureOutputInfo {
  int streaming;
  uint32_t width, height, bytesperline, pixelformat;
  uint32_t buffers;
  uint32_t queued, done;    // buffers with the driver: empty, and filled
  uint64_t frames, dropped;
  uint32_t slice_lines;
};
struct SimCaptureInfo {
  int decoder;              // SIM_DECODER_ADV7842 or SIM_DECODER_TP2825
  int input;
  uint64_t std;             // standard set
  uint32_t preset;          // preset set
  uint32_t rsz_mode;
  uint32_t rsz_config_writes;
  uint32_t rsz_input;
  uint8_t rsz_config[236];  // the resizer record of the mode set last
  uint32_t prv_default_sets;
  int32_t ctrl[5];          // brightness, contrast, saturation, hue, colour killer
  int links_ok;             // decoder -> CCDC -> previewer -> resizer -> A and B enabled
  SimCaptureOutputInfo out[2];
};
void sim_capture_info(SimCaptureInfo *info);
// A decoder register as the chip holds it.
uint8_t sim_capture_reg(unsigned reg);

// ---- Audio codec: ALSA "hw:0,0" (mic/line), "hw:0,1" (digital), "plughw:0,0" ----
// Once the program has set a capture device's hardware parameters, the codec
// delivers a sine per channel (device 0 or 1, channel 0 left or 1 right), one
// period at every period boundary. Default: 1000 Hz at half of full scale on
// both channels. Amplitude is a fraction of full scale, 0 to 1.
void sim_sound_set_tone(int device, int channel, double freq_hz, double amplitude);
struct SimSoundInfo {
  int active;               // parameters set and the device not closed
  unsigned rate, channels, sample_bytes, period;
  uint64_t periods;         // boundaries passed since the parameters were set
  uint64_t dropped;         // periods lost because capture did not read in time
  uint32_t start_ticks;     // 90 kHz clock at the start of period 0
};
void sim_sound_info(int device, SimSoundInfo *info);
// Board path of the WAV file that playback writes (rewritten at every open of
// the playback device; its length fields are fixed when the device closes).
const char *sim_sound_playback_path(void);

// The codec's mixer controls behind the simple-mixer seam (audio_engine.h).
// dir: 0 playback, 1 capture. 0, or -1 when the control has no such value.
int sim_mixer_get_volume(const char *elem, int dir, int channel, long *value);
int sim_mixer_get_switch(const char *elem, int dir, int channel, int *value);
int sim_mixer_get_enum(const char *elem, int channel, unsigned *item);
// Back to the power-on values (every switch on, every volume 0, items 0).
void sim_mixer_reset(void);
// The next count calls of a mixer set-up step fail with ENODEV: step 0 open,
// 1 attach, 2 register, 3 load.
void sim_mixer_fail(int step, int count);

// ---- Removable storage: SD card and USB disks ----
// A volume is a device file <root>/dev/<dev> ("mmcblk0p1", "sda1", or "sda"
// for a disk without a partition table) and a backing directory that holds
// its files while it is not mounted. Mounting (through the command runner's
// mount simulation) makes the mount point show the backing directory. A USB
// disk also gets /sys/block/sdX, a symlink whose target carries the hub port
// ("usb1/1-1/1-1.<port>/..."). fstype "vfat" mounts; anything else fails
// with "Invalid argument". Returns 0 or -1.
int sim_storage_insert(const char *dev, int usb_port, uint64_t capacity_bytes, const char *fstype);
// Pulls the device out (the files stay in the backing directory).
int sim_storage_remove(const char *dev);
// The next count mount attempts of the device fail with "failed: <text>".
int sim_storage_fail_mount(const char *dev, const char *text, int count);
// While set, statfs of a volume mounted with "usefree" shows more free than
// total blocks (a file system that misreads the option).
int sim_storage_set_bogus_free(const char *dev, int bogus);
// 1 mounted read-write, 0 mounted read-only, -1 not mounted.
int sim_storage_mount_state(const char *mount_point);
// Makes a volume fail (also "fail DEV KIND [AFTER]", "pull DEV [AFTER]" in
// <root>/run/sim_storage.cmd): once `after` more reads and writes on its
// files have passed, kind "ENOSPC" fails every write that needs new space
// (a write over what a file holds still goes through, as on a full disk),
// "EIO" every read and write, "pull" pulls the disk (its device goes, its
// open files and every change on it fail with EIO until it is mounted
// again; the next start plugs it in again); "none" ends a failure. Reads
// and writes are those made through the platform's volume I/O
// (sys_fd_read, sys_fd_write, sys_fd_check). Each call writes "KIND AFTER"
// to <root>/run/sim/storage/<dev>.fault; a start removes those files.
int sim_storage_fault(const char *dev, const char *kind, long after);
// Files on the volume cannot grow past bytes: a write stops there, the
// next fails with EFBIG (also "limit DEV BYTES"); 0 lifts the limit.
int sim_storage_limit(const char *dev, uint64_t bytes);
// The host directory that backs a device's files.
const char *sim_storage_backing_dir(const char *dev, char *buf, size_t size);
// The simulated USB hub (/dev/usbdev1.2): port power as the hub sees it.
int sim_usbhub_port_powered(int port);

// ---- Video output: /dev/video6, and the HDMI transmitter /dev/v4l-subdev6 ----
// The frame clock ticks at the programmed rate once the output streams; at
// each vsync the newest queued buffer is shown and the one shown before is
// released for DQBUF. The state file <root>/run/sim/display.txt follows every
// change. Commands, one a line (also from <root>/run/sim_display.cmd):
//   dump PATH                 the shown frame, tight (ffmpeg -f rawvideo)
//   record PATH N [FRAMES]    the next N pictures shown: time, size, MD5,
//                             physical address, refresh number and MD5 of
//                             the tight picture a line (and the frames, tight)
//   edid PATH|-               the monitor's EDID (binary or hex text); - none
//   fail REQUEST_HEX COUNT [ERRNO]   refuse-timings 0|1
//   osd PATH.png              the OSD's shown pages, RGBA (alpha from the
//                             attribute plane, 0-7 scaled to 0-255)
//   screen PATH.png           the shown frame with the OSD over it, placed
//                             and zoomed by the OSD window registers
struct SimVideoOutInfo {
  int opens;
  int streaming;
  int output;
  int signal_kind;            // 0 none, 1 SD standard, 2 DV preset, 3 DV timings
  uint64_t std;
  uint32_t preset;
  v4l2_bt_timings bt;         // the timings set last
  uint32_t rate_milli;        // frame clock
  v4l2_pix_format fmt;
  int32_t chroma_offset;
  uint32_t buffers;
  uint64_t frames_shown, queued;  // pictures shown (each for a refresh or more), QBUFs
  uint64_t refreshes;             // vsyncs while streaming
  uint32_t pending;               // queued, not shown yet
  unsigned long shown_userptr;
  unsigned long queued_log[16];  // user pointers queued, entry queued % 16
  uint32_t s_output_calls, reqbufs_calls, streamon_calls;
};
void sim_video_out_info(SimVideoOutInfo *info);
// Back to power-on (closes nothing: descriptors open stay usable).
void sim_video_out_reset(void);
// 0 stops the frame clock; vsyncs then come only from sim_video_out_vsync.
void sim_video_out_clock(int running);
void sim_video_out_vsync(void);
// The next count requests of that number fail with err (an errno value).
void sim_video_out_fail_request(unsigned long request, int count, int err);
void sim_video_out_refuse_timings(int refuse);
int sim_video_out_dump(const char *path);
int sim_video_out_record(const char *path, int count, const char *frames_path);
int sim_video_out_command(const char *line);
// Returns after the output's next vsync, or after 1/60 s while it does not
// stream.
void sim_video_out_wait_vsync(void);
// Rewrites display.txt (the framebuffers' lines included).
void sim_video_out_write_state(void);
// The shown frame as tight RGB. 0, or -1 when nothing is shown.
int sim_video_out_shown_rgb(std::vector<uint8_t> *rgb, uint32_t *width, uint32_t *height);

// ---- OSD framebuffers: /dev/fb0 (RGB565) and /dev/fb2 (4-bit attributes) ----
struct SimFbInfo {
  fb_var_screeninfo var;     // yoffset / yres is the shown page
  uint32_t line_length;
  uint32_t phys, size;       // the user-pointer memory
  uint64_t pans, vsync_waits;
  uint64_t puts;              // screen settings put (plane creations)
  int blank;
};
void sim_fb_info(int fb, SimFbInfo *info);   // fb 0 or 2
void sim_fb_reset(void);
// display.txt's lines of the framebuffers; the length written.
int sim_fb_state_text(char *buf, size_t size);
int sim_fb_dump_osd(const char *path);
int sim_fb_dump_screen(const char *path);
// Transmitter registers (power-on values after reset) and the EDID file.
void sim_hdmi_tx_reset(void);
uint8_t sim_hdmi_tx_reg(unsigned reg);
int sim_hdmi_tx_set_edid(const uint8_t *data, size_t len);
int sim_hdmi_tx_set_edid_file(const char *path);
// Writes the EDID of an ordinary 1080p television (the root's default monitor).
int sim_hdmi_tx_plug_tv(void);

// ---- Input devices: /dev/event0 to /dev/event3 ----
// Each slot is empty or holds a device: "keyboard" (keys, MSC_SCAN, LEDs,
// auto-repeat), "mouse" (three buttons, REL_X/Y and the wheel), "touch"
// (BTN_TOUCH, ABS_X/Y 0..4095, pressure, codes 40 to 47 and 50) or the board
// path of an evemu description ("N:", "B:" and "A:" lines). A plugged slot
// takes input_event records from any writer through the FIFO
// <root>/run/input/eventN; the writer's times are ignored and each record is
// stamped when it arrives. Reads give whole records or EAGAIN; after an
// unplug, descriptors opened before fail with ENODEV and opens fail until the
// slot is plugged again. 0, or -1 (with the reason on stderr).
enum { SIM_INPUT_SLOTS = 4 };
int sim_input_plug(int slot, const char *kind);
int sim_input_plug_description(int slot, const char *text, size_t len);
int sim_input_unplug(int slot);
// A device gone bad: reads of the slot fail with err (0: they work again).
int sim_input_fail_reads(int slot, int err);
// One record as a writer would send it, stamped now.
int sim_input_push(int slot, uint16_t type, uint16_t code, int32_t value);
// Stamps and key repeats follow CLOCK_MONOTONIC until a test steps the clock:
// the first step starts a clock of its own at the monotonic time.
void sim_input_clock_step(int64_t us);
void sim_input_clock_real(void);
// "plug N keyboard|mouse|touch|PATH" and "unplug N"; also each line appended
// to <root>/run/sim_input.cmd. 0, or -1 for a line it cannot run.
int sim_input_command(const char *line);
// ---- Serial port: /dev/ttyS0 ----
// Two pseudo-terminals joined like a null-modem cable: <root>/dev/ttyS0
// links to the program's side, <root>/dev/ttyS0.peer to the other, which a
// terminal program opens (socat -,raw,echo=0 FILE:<root>/dev/ttyS0.peer).
// Made once a process; each call links both names into the current root.
// 0, or -1 without a root or when no pseudo-terminal can be had.
int sim_serial_start(void);
// "/dev/ttyS0" when fd is open on the program's side of the line, else NULL.
const char *sim_serial_board_path(int fd);

// ---- Board I/O: GPIO pins, /dev/i2c-1, /dev/watchdog ----
// Pins (GPIO 0 to 127) are what input lines read; at power-on the keypad
// lines (26, 27, 61 to 64, 28 to 30) and the hub reset (31) are high,
// every other pin low, every
// line an input, and the USB controller's ID register reads 0x1C. The input
// words follow the pins every millisecond; sim_board_tick refreshes them at
// once (tests on a stepped clock call it after each step).
void sim_board_reset(void);
// What the ticker does every millisecond: input words follow the pins,
// output edges are recorded, the watchdog expires after 60 s unkicked.
void sim_board_tick(void);
void sim_board_set_pin(int n, int level);
// Times of edges and the watchdog file come from this clock (NULL: the
// monotonic clock), in milliseconds.
void sim_board_set_clock(uint64_t (*now_ms)(void));
struct SimGpioEdge { uint64_t ms; int pin; int level; };
// Levels driven on output lines, oldest first (the last 512 kept).
int sim_board_edges(SimGpioEdge *out, int max);
void sim_board_clear_edges(void);
// Keypad: the I2C controller at address 0 (id 0x10 in register 0x7A, keys
// in registers 0 and 1), or none and the keys on the GPIO lines, or none.
enum { SIM_KEYPAD_GPIO = 0, SIM_KEYPAD_I2C = 1, SIM_KEYPAD_ABSENT = 2 };
void sim_board_set_keypad(int mode);
// Keys held: the controller's 16-bit word, or GPIO keypad line j for bit j.
void sim_board_set_keys(uint32_t word);
// The same, and with let_go the keys are let go once the program has seen
// them ("press W" of sim_board.cmd; "keys W" holds them until "keys 0").
void sim_board_press_keys(uint32_t word, bool let_go);
uint8_t sim_board_keypad_reg(unsigned reg);
void sim_board_set_keypad_reg(unsigned reg, uint8_t value);
uint32_t sim_board_keypad_writes(void);   // register writes since power-on
// The counter controller at 0x51: two signed counters.
void sim_board_set_counter(int n, int32_t value);
int32_t sim_board_counter(int n);
// The temperature sensor at 0x48.
void sim_board_set_temperature(int millidegrees);
// The next count I2C transfers fail with EIO.
void sim_board_i2c_fail(int count);
// The same as text, one command a line (also <root>/run/sim_board.cmd, whose
// lines at start apply before the program looks at the board):
//   pin N 0|1      keypad gpio|i2c|absent    keys W
//   counter N V    temp C                    i2cfail N
//   memory         (writes <root>/run/sim/memory: see sim_board.cpp)
// The watchdog writes "open MS", "kick MS" and "expired MS" (60 s without a
// kick) lines to <root>/run/sim/watchdog.
int sim_board_command(const char *line);
