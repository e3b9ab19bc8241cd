// XMODEM-1K download on the serial console.
#pragma once

int xmodem_rescue();
// Descriptor of "/dev/ttyS0" switched to the download rate, or -1.
int serial_enter_download_rate();
void serial_leave_download_rate(int fd);
