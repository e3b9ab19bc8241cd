// Turning a boot source into a running application.
#pragma once

constexpr int BOOT_SOURCE_SLOT1 = 1;
constexpr int BOOT_SOURCE_SLOT2 = 2;
constexpr int BOOT_SOURCE_USB = 3;
constexpr int BOOT_SOURCE_RESCUE = 4;

inline constexpr const char *APP_ARCHIVE = "/tmp/kalpaimage.tar.gz";

int boot_image(int source);
int boot_recovery_image();
