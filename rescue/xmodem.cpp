#include "rescue/xmodem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "boot/outside.h"
#include "image/installer.h"
#include "platform/platform.h"

namespace {

constexpr const char *SERIAL_PORT = "/dev/ttyS0";
constexpr const char *DOWNLOAD_FILE = "/tmp/image";
constexpr uint64_t ENTER_POLL_US = 1000000;
constexpr int REMINDER_EVERY = 11;

termios savedConsole;

// After the drain a UART has no output left to discard, but a pseudo-terminal
// still holds what its reader has not taken yet: flushing output there would
// swallow the operator's instructions.
void settle_port(int fd)
{
    fflush(stdout);
    tcdrain(fd);
    tcflush(fd, TCIFLUSH);
}

// Non-blocking: one byte per cycle, so stray keys are used up slowly but surely.
void wait_for_key(int fd, char key, const char *reminder)
{
    int misses = 0;
    for (;;) {
        char c;
        if (plat_read(fd, &c, 1) == 1 && c == key)
            return;
        plat_sleep_us(ENTER_POLL_US);
        if (++misses == REMINDER_EVERY) {
            fputs(reminder, stdout);
            fflush(stdout);
            misses = 0;
        }
    }
}

// rx reports a failed or cut-short transfer only through its status; a file it
// leaves then must never reach the installer.
bool download_complete(int status)
{
    struct stat st;
    if (stat(DOWNLOAD_FILE, &st) != 0)
        return false;
    const bool good = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && S_ISREG(st.st_mode) &&
                      st.st_size > 0;
    if (!good)
        unlink(DOWNLOAD_FILE);
    return good;
}

} // namespace

int serial_enter_download_rate()
{
    const int fd = plat_open(SERIAL_PORT, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror("Can't open serial port!");
        return -1;
    }
    puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    puts("       before initiating the download.");
    settle_port(fd);
    tcgetattr(fd, &savedConsole);

    termios t = savedConsole;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS8;
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tcsetattr(fd, TCSADRAIN, &t);
    tcflow(fd, TCOON);

    wait_for_key(fd, '\r',
                 "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    return fd;
}

void serial_leave_download_rate(int fd)
{
    // The rate was never changed, and there is no port to wait on.
    if (fd < 0)
        return;
    puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    settle_port(fd);
    tcsetattr(fd, TCSADRAIN, &savedConsole);
    tcflow(fd, TCOON);
    wait_for_key(fd, '\n', "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
    plat_close(fd);
}

int xmodem_rescue()
{
    puts("Running xmodem rescue.....");
    // A file from an earlier download must not pass for this one.
    unlink(DOWNLOAD_FILE);
    const int fd = serial_enter_download_rate();
    const int status = run_command("/usr/bin/rx /tmp/image");
    serial_leave_download_rate(fd);
    if (!download_complete(status))
        return 0;
    const int result = install_package(DOWNLOAD_FILE, 0, 0);
    if (result != 0)
        append_install_log("image", "xmodem");
    return result;
}
