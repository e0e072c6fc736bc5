// USB hub port power through the hub's usbfs device file.
#pragma once
// 0 after the requests were made, 1 when the device is not a usable hub,
// or the negative errno when the path cannot be opened.
int usb_hub_port_power(const char *device_path, int port, int on);
