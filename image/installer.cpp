#include "image/installer.h"

#include <cstdio>

// Placeholders until the installer lands: nothing is installed, so nothing is logged.
int install_package(const char * /*path*/, int /*skipSameVersion*/, int /*slot*/)
{
    puts("[placeholder] installer");
    return 0;
}

int append_install_log(const char * /*file*/, const char * /*source*/) { return 1; }
