#include "rescue/usb.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boot/boot.h"
#include "boot/outside.h"
#include "image/installer.h"
#include "platform/platform.h"

namespace {

constexpr int ANSWER_WAIT_MS = 5000;
constexpr int USB_MOUNT_WAIT_S = 10;
constexpr const char *USB_BOOT_PACKAGE = "/mnt/usb/KPX4190_Boot.img";

bool marker_path(const char *path, char *marker, size_t size)
{
    char digest[33];
    if (!image_md5(path, digest))
        return false;
    snprintf(marker, size, "/user/images/rejected/%s", digest);
    return true;
}

} // namespace

int wait_for_usb_mount()
{
    if (!usbEnabled)
        return 0;
    printf("Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
           USB_MOUNT_WAIT_S);
    plat_sleep_us(1000000);
    for (int i = 0; i < USB_MOUNT_WAIT_S; i++) {
        if (access("/tmp/usb", F_OK) == 0) {
            puts("USB mounted and ready!");
            return 0;
        }
        fputs(".", stdout);
        fflush(stdout);
        plat_sleep_us(1000000);
    }
    puts("USB mount timed out");
    return -1;
}

int install_usb_boot_image()
{
    if (access(USB_BOOT_PACKAGE, F_OK) != 0) {
        puts("No boot image found on USB.");
        return 0;
    }
    puts("Boot image found on USB.");
    if (install_package(USB_BOOT_PACKAGE, 1, 0)) {
        append_install_log(USB_BOOT_PACKAGE, "USB");
        reboot_system();
    }
    return 0;
}

int install_usb_replacement_images()
{
    struct Replacement {
        int slot;
        const char *name;
    };
    static constexpr Replacement replacements[] = {{2, "KPX4190_replace2_OS.img"},
                                                   {1, "KPX4190_replace1_OS.img"}};
    int result = 0;
    for (const Replacement &r : replacements) {
        char path[64];
        snprintf(path, sizeof path, "/mnt/usb/%s", r.name);
        if (access(path, F_OK) != 0)
            continue;
        printf("USB image (file '%s') replacement for image%d found\n", r.name, r.slot);
        if (is_image_rejected(path)) {
            if (!ask_yes_no("Replacement USB image is in rejected list.\nWould you still like to load it? "))
                return 0;
            puts("Continuing with replacement USB image...");
        }
        if (install_package(path, 1, r.slot)) {
            append_install_log(path, "USB");
            printf("Image%d has been successfully replaced\n", r.slot);
            result = r.slot;
        }
    }
    if (result != 0) {
        printf("USB replacement image: board will boot with image%d.\n", result);
        return result;
    }
    if (access(USB_OS_IMAGE, F_OK) == 0)
        return 3;
    puts("No valid image found on USB");
    return 0;
}

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
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0; // end of input or a console gone: nobody can answer, and asking again would spin
        if (c == 'y')
            return 1;
        if (c == 'n')
            return 0;
    }
}
