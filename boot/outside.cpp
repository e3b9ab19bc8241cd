#include "boot/outside.h"

#include <cstdio>
#include <cstdlib>

int run_command(const char *command)
{
    fflush(stdout);
    fflush(stderr);
    return system(command);
}
