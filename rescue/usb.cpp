#include "rescue/usb.h"

// Placeholders until USB media handling lands: no stick appears.
int wait_for_usb_mount() { return -1; }
int install_usb_boot_image() { return 0; }
int install_usb_replacement_images() { return 0; }
