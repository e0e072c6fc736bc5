// The built-in simulated drivers, each registered by sim_init() in
// sim_registry.cpp. Internal to src/platform/.
#pragma once
#include <cstddef>
#include <cstdint>

void sim_mem_register(void);     // /dev/mem
void sim_flash_register(void);   // /dev/mtd0
void sim_edma_register(void);    // /dev/dm365mmap
void sim_capture_register(void); // /dev/media0, /dev/v4l-subdev*, /dev/video*

// Writes a fresh flash image (16 MiB of 0xFF with the boot loader version and
// a BoardInfo) at a host path, unless a file is already there. 0 or -1.
int sim_flash_create_image_at(const char *host_path, uint32_t serial);

void sim_storage_register(void);  // mount/umount/mkfs.vfat/df simulations, EROFS, statfs
void sim_usbhub_register(void);   // /dev/usbdev1.2
void sim_video_out_register(void); // /dev/video6
void sim_hdmi_tx_register(void);   // /dev/v4l-subdev6
void sim_fb_register(void);        // /dev/fb0, /dev/fb2
void sim_input_register(void);     // /dev/event0 to /dev/event3

// Follows a command file of the root (board path, "/run/sim_board.cmd"):
// the lines it holds now run at once (or, without replay, are taken as
// done: they belong to an earlier run), later lines as they are appended
// (one thread for every file). A line run answers non-zero is reported on
// stderr.
void sim_follow_commands(const char *board_path, int (*run)(const char *line), const char *tag,
                         bool replay = true);
// No longer follows the file run was given (tests: each run of a test
// follows its files afresh).
void sim_unfollow_commands(int (*run)(const char *line));
// Splits a command line into at most max blank-separated words (copied into
// buf). The count, 0 for a blank or "#" comment line, -1 for too many words.
int sim_command_words(const char *line, char *buf, size_t size, char **words, int max);

// The board's discrete lines, I2C devices and watchdog (sim_board.cpp).
void sim_board_register(void);   // /dev/i2c-1, /dev/watchdog, sim_board.cmd
// Puts the GPIO direction words and the USB ID register at power-on values.
void sim_mem_board_regs_power_on(void);
// Powers the board on unless it already is: called when the register window
// is mapped, so that no later power-on undoes what the program wrote.
void sim_board_power_on_once(void);
