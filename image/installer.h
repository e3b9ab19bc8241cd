// Installing image packages into flash partitions and image slots, the
// versions report and the install log.
#pragma once

#include <cstdint>

int install_package(const char *path, int skipSameVersion, int slot);
int append_install_log(const char *file, const char *source);

// header: the first 16 bytes of a component.
int same_version_installed(const uint8_t *header, int slot);
int write_file_with_progress(const char *path, const uint8_t *data, uint32_t length);
int show_installed_versions();
