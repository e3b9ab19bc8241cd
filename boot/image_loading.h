// Turning a boot source into a running application.
#pragma once

constexpr int BOOT_SOURCE_SLOT1 = 1;
constexpr int BOOT_SOURCE_SLOT2 = 2;
constexpr int BOOT_SOURCE_USB = 3;

int boot_image(int source);
