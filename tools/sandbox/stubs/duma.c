/* Preloaded by the loader's memory-check runs: leaves a trace that it was loaded. */
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void duma_loaded(void)
{
    static const char line[] = "libduma.so.0.0.0 loaded\n";
    int fd = open("/board/commands.log", O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd >= 0) {
        (void)!write(fd, line, strlen(line));
        close(fd);
    }
}
