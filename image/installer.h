// Installing image packages into flash partitions and image slots.
#pragma once

int install_package(const char *path, int skipSameVersion, int slot);
int append_install_log(const char *file, const char *source);
