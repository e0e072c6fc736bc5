// Board I/O: the discrete lines (button, LEDs, safe-boot strap, keypad lines,
// USB hub reset) in the SoC's GPIO banks, the watchdog, the I2C keypad and
// counter controllers and the temperature sensor, and the "gpio" thread that
// serves them every 10 ms.
#pragma once
#include <cstdint>
#include "core/global.h"

struct ParamBlock;

// Time as the board I/O sees it: the gpio thread's passes, pulses and the
// watchdog's interval. Tests put a stepped clock here.
struct BoardClock {
  uint64_t (*now_ms)(void);
  void (*sleep_ms)(unsigned ms);
};
extern BoardClock board_clock;

// Lines: bank pair k (GPIO 32k to 32k+31) has its direction word (1: input)
// at 0x01C67010 + 40k, output data at +4 and input data at +16.
void gpio_set(int n, int value);   // makes the line an output when it is not
// gpio_set without the log line, for signal handlers; 1 when the line was
// made an output.
int gpio_drive(int n, int value);
int gpio_get(int n);               // makes the line an input when it is not
void gpio_blink_xled(int enable);
int gpio_get_blink_xled(void);
// Reads the safe-boot strap (GPIO 25), switches the error LED (37) and 35
// off and shows safe_boot on the status LED (22).
void board_init_model(void);
// The error LED (GPIO 37), for log_error.
void board_error_led(int on);

// Opens /dev/watchdog on the first call; later calls write "V" at most once
// every 4 s, or close it for good once watchdog_stop was called.
void watchdog_kick(void);
void watchdog_stop(void);

// Pulses the hub reset (GPIO 31 low for 10 ms) when the USB controller's ID
// bits are wrong.
void usb_check_id(void);
void board_set_power(int on);
int board_low_power(void);
void request_suspend(void);
void button_reset_hook(ParamBlock *block);

// Distance counters: a count stored for counter 0 or 1 is sent to the
// counter controller by the gpio thread; the controller's counts come back
// every pass. Counters 2 and 3 only keep what was stored.
void encoder_count_set(int counter, int32_t count);
int32_t encoder_count_get(int counter);
// 1 once the counter controller answered (the rotary encoders are fitted).
int counter_controller_present(void);
void keypad_set_leds(ParamBlock *block, int on);

// The power-management RTC block, through its indirect interface.
uint8_t prtc_read(uint32_t reg);
void prtc_write(uint32_t reg, uint8_t value);
int prtc_bit(int n);

// /dev/i2c-1: a descriptor bound to a slave address, or -1.
int i2c_open_slave(int addr);
int i2c_read_byte(int fd, uint8_t reg);               // the byte, or -1
int i2c_write_byte(int fd, uint8_t reg, uint8_t value);   // 0 or -1
// Degrees Celsius in 1/16, or -1 when the sensor did not answer.
int read_temperature_sensor(void);

// The keypad controller (0 when set up, -1 read error, -2 write error, -4
// wrong id) and the counter controller.
int keypad_init(ParamBlock *block);
void keypad_poll(ParamBlock *block);

// The gpio thread's record: the video-lock alarm goes on its FIFO.
struct GpioEnv {
  ThreadEnv env;
  Fifo_Handle fifo;
};
int gpio_prepare(ThreadEnv *env);
void *gpioThrFxn(void *env);
// One pass of the thread, its sleep included; -1 (and nothing done) once the
// program quits.
int gpio_pass(GpioEnv *env);
// The thread's state as at start (tests).
void gpio_state_reset(void);
