// SoC registers through /dev/mem and the free-running 90 kHz media clock.
#pragma once
#include <cstdint>

#define HWREG_TIMER_COUNT 0x01C20810u
#define HWREG_USB_PHY_CTRL 0x01C40034u

void hwreg_map(void);
uint32_t hwreg_read(uint32_t phys);          // 0xDEADBEEF outside window 1
void hwreg_write(uint32_t phys, uint32_t value);
void hwreg_write_field(uint32_t phys, int shift, int width, uint32_t value);

uint32_t timestamp_now(void);
void timestamp_set(uint32_t value);
uint32_t timestamp_diff(uint32_t a, uint32_t b);   // b - a, see hwreg.cpp
uint32_t timestamp_add(uint32_t a, uint32_t b);
int timestamp_check(void);                        // 0 when the counter moves

// Differences now - timestamp in 90 kHz ticks, signed (a clock step can
// make one negative). A record starts at zero.
struct LatencyStats { int32_t min, max; int64_t sum; uint32_t count; };
void latency_stats_add(LatencyStats *rec, uint32_t timestamp);

void psc_display_power(int on);
void hdvicp_reset(void);
void usb_phy_pulse(void);
