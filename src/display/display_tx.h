// The HDMI transmitter behind the video output: which kind the board has,
// its sub-device (registers and the monitor's EDID), and the monitor checks
// made from that EDID.
#pragma once
#include <cstdint>

// Reads the transmitter's sysfs name and opens "/dev/v4l-subdev6". 0, or -1
// when the sub-device did not open.
int display_tx_open(void);
void display_tx_close(void);
int display_tx_fd(void);
// True when the transmitter is the ch7038b (controlled through its kernel
// module parameters; no registers, no EDID).
bool display_is_ch7038b(void);

// A transmitter register; -1 when it cannot be read.
int hdmi_tx_reg_read(uint32_t reg);
void hdmi_tx_reg_write(uint32_t reg, uint32_t value);

// Reads the EDID through the transmitter; returns its 256 bytes (the last
// ones read when this read failed).
const uint8_t *display_read_edid(void);
// Index in the monitor's mode table of a mode (rate in thousandths of Hz), or
// -1; the EDID is read and decoded at the first call that needs it.
int display_edid_lookup(int width, int height, int rate, int interlaced);
// The standard for a picture if the monitor (or DVR_AllowModes or
// Display.Standard) accepts it, else 0.
int get_edid_std(int width, int height, int fps, int interlaced);
// Reads and decodes the EDID unless that was done; 0, or -1 without one.
int display_edid_load(void);
// The EDID is read again at the next lookup (tests, a monitor change).
void display_edid_forget(void);
