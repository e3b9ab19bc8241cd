#pragma once

int rescue_menu();
// Installs one file chosen from the USB stick; 0 when nothing was installed.
int usb_install_picker();
