#include "rescue/usb.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "boot/outside.h"
#include "platform/platform.h"

namespace {

constexpr int ANSWER_WAIT_MS = 5000;

bool marker_path(const char *path, char *marker, size_t size)
{
    char digest[33];
    if (!image_md5(path, digest))
        return false;
    snprintf(marker, size, "/user/images/rejected/%s", digest);
    return true;
}

} // namespace

// Placeholders until USB media handling lands: no stick appears.
int wait_for_usb_mount() { return -1; }
int install_usb_boot_image() { return 0; }
int install_usb_replacement_images() { return 0; }

int image_md5(const char *path, char *out)
{
    char command[512];
    snprintf(command, sizeof command, "/bin/busybox md5sum %s > /tmp/img_md5string", path);
    run_command(command);
    FILE *f = fopen("/tmp/img_md5string", "r");
    if (!f)
        return 0;
    char digest[32];
    const size_t n = fread(digest, 1, sizeof digest, f);
    fclose(f);
    if (n != sizeof digest)
        return 0;
    memcpy(out, digest, sizeof digest);
    out[32] = '\0';
    return 1;
}

int is_image_rejected(const char *path)
{
    char marker[64];
    if (!marker_path(path, marker, sizeof marker)) {
        puts("Warning: Cannot determine if image is in rejected list!");
        return 0;
    }
    return access(marker, F_OK) == 0 ? 1 : 0;
}

void reject_image(const char *path)
{
    char marker[64];
    if (!marker_path(path, marker, sizeof marker)) {
        puts("Warning: Cannot add image to rejected list!");
        return;
    }
    if (access(marker, F_OK) == 0)
        return;
    run_command("mkdir -p /user/images/rejected");
    char command[96];
    snprintf(command, sizeof command, "touch %s", marker);
    run_command(command);
}

int ask_yes_no(const char *question)
{
    fputs(question, stdout);
    for (;;) {
        fputs("(y/n) ", stdout);
        fflush(stdout);
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (plat_poll(&in, 1, ANSWER_WAIT_MS) <= 0) {
            puts("\nTimeout. Assuming \"no\".");
            return 0;
        }
        char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 0)
            return 0; // end of input: nobody is there to answer, and asking again would spin
        if (n < 0)
            continue;
        if (c == 'y')
            return 1;
        if (c == 'n')
            return 0;
    }
}
