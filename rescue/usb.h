// USB media at start-up.
#pragma once

int wait_for_usb_mount();
int install_usb_boot_image();
int install_usb_replacement_images();
