// USB media at start-up, and the rejected list of images tried from a stick.
#pragma once

inline constexpr const char *USB_OS_IMAGE = "/mnt/usb/KPX4190_OS.img";

int wait_for_usb_mount();
int install_usb_boot_image();
int install_usb_replacement_images();

// out: 32 hexadecimal characters and a NUL.
int image_md5(const char *path, char *out);
int is_image_rejected(const char *path);
void reject_image(const char *path);
// 1 for yes, 0 for no or no answer within 5 seconds.
int ask_yes_no(const char *question);
