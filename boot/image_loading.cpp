#include "boot/image_loading.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "boot/boot.h"
#include "boot/boot_options.h"
#include "boot/launch.h"
#include "boot/outside.h"
#include "hw/flash.h"
#include "hw/i2c.h"
#include "image/component_read.h"
#include "image/crc32.h"
#include "image/image_format.h"
#include "rescue/rescue_menu.h"
#include "rescue/usb.h"
#include "security/signature.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

const char *slot_path(int slot) { return slot == 1 ? "/user/images/image1" : "/user/images/image2"; }
int other_slot(int source) { return source == 1 ? 2 : 1; }

[[noreturn]] void give_up(bool withRescueMenu)
{
    if (withRescueMenu)
        rescue_menu();
    if (bootOptions.shellEnabled)
        run_command("/bin/sh\n");
    reboot_system();
}

bool crc_matches(const uint8_t *component, uint32_t length, uint32_t crc)
{
    return image_crc32(component + CRC_OFFSET, length - CRC_OFFSET, CRC_SEED) == crc;
}

File open_slot(int &source)
{
    if (FILE *f = fopen(slot_path(source), "rb"))
        return File(f);
    const int other = other_slot(source);
    fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", source, other);
    source = other;
    if (FILE *f = fopen(slot_path(source), "rb"))
        return File(f);
    fprintf(stderr, "Failed to open Application image %d.\n", source);
    give_up(true);
}

} // namespace

int boot_image(int source)
{
    if (source < BOOT_SOURCE_SLOT1 || source > BOOT_SOURCE_USB)
        return 0;
    const bool usb = source == BOOT_SOURCE_USB;

    File in;
    if (usb) {
        in.reset(fopen(USB_OS_IMAGE, "rb"));
        if (!in) {
            fprintf(stderr, "Failed to open application image from USB.\n");
            return 0;
        }
        // Once tried, a stick's image boots again only when the operator agrees.
        if (!is_image_rejected(USB_OS_IMAGE)) {
            reject_image(USB_OS_IMAGE);
        } else {
            if (!ask_yes_no("USB image is in rejected list.\nWould you still like to load it? "))
                return 0;
            puts("Continuing to load USB image...");
        }
    } else {
        in = open_slot(source);
    }

    File out(fopen(APP_ARCHIVE, "wb"));
    if (!out) {
        fprintf(stderr, "Failed to open application image output file.\n");
        in.reset();
        give_up(false);
    }

    BootComponent found;
    if (!find_boot_component(in.get(), found)) {
        if (usb) {
            fprintf(stderr, "Error: USB image corrupted or belongs to another switch type.\n");
            return 0;
        }
        if (secondAttempt) {
            fprintf(stderr, "No valid application image found. Trying rescue image\n");
            in.reset();
            out.reset();
            give_up(true);
        }
        in.reset();
        out.reset();
        fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", found.lastMagic,
                ComponentType::DIAGNOSTICS);
        fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", source, other_slot(source));
        return 0;
    }

    const uint32_t length = found.headerLength + found.payloadLength;
    ComponentRead read;
    ComponentBuffer component = read_component_from(in.get(), length, read);
    // A file shorter than its header claims fails like a CRC mismatch.
    if (!component || read.crc != load_be32(found.header)) {
        component.reset();
        if (usb) {
            fputs("USB image CRC failed.", stderr);
            return 0;
        }
        if (secondAttempt) {
            fprintf(stderr, "Both image1 and image2 failed.\n");
            in.reset();
            out.reset();
            give_up(false);
        }
        fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", source, other_slot(source));
        return 0;
    }

    if (!verify_image_signature(std::span<const uint8_t>(component.get(), length),
                                read.hashed ? &read.digest : nullptr)) {
        puts("Image has invalid signature. Quitting");
        return 0;
    }
    putchar('\n');
    fwrite(component.get() + found.headerLength, 1, found.payloadLength, out.get());
    component.reset();
    in.reset();
    out.reset();
    eeprom_set_boot_source(static_cast<uint8_t>(source));
    if (bootOptions.gdbEnabled && !bootOptions.gdbServerEnabled)
        extract_gdb(source);
    launch_application(found.type == ComponentType::DIAGNOSTICS);
}

int boot_recovery_image()
{
    File out(fopen(APP_ARCHIVE, "wb"));
    if (!out) {
        fprintf(stderr, "Failed to open AppOS tarfile.\n");
        reboot_system();
    }

    uint8_t first[COMPONENT_PROBE_SIZE] = {};
    flash_read_partition(first, flashFd[RESCUE], 0, sizeof first);
    const ParsedHeader h = parse_header(std::span<const uint8_t, COMPONENT_PROBE_SIZE>(first));
    const uint32_t type = component_type(h.magic);
    if (type != ComponentType::APPLICATION && type != ComponentType::DIAGNOSTICS) {
        fprintf(stderr, "Image not found... \n");
        return 0;
    }

    // The partition bounds what can be read; a longer claim fails like a CRC mismatch.
    const uint32_t length = component_length(h);
    MtdGeometry g{};
    std::unique_ptr<uint8_t[]> component;
    if (component_is_sound(h) && mtd_get_geometry(flashFd[RESCUE], &g) && length <= g.size)
        component.reset(new (std::nothrow) uint8_t[length]);
    if (!component || flash_read_partition(component.get(), flashFd[RESCUE], 0, length) != 0 ||
        !crc_matches(component.get(), length, load_be32(first))) {
        fprintf(stderr, "Image CRC failed. Quitting\n");
        return 0;
    }

    fwrite(component.get() + h.headerLength, 1, h.payloadLength, out.get());
    out.reset();

    if (type == ComponentType::DIAGNOSTICS) {
        puts("Launching diagnostics image");
        eeprom_set_boot_source(BOOT_SOURCE_RESCUE);
    } else {
        printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
        fflush(stdout);
        char line[8];
        if (fgets(line, sizeof line, stdin)) {
            const char n = line[0];
            if (n == '1' || n == '2') {
                printf("\nInstalling recovery image as image%c...\n", n);
                File image(fopen("/tmp/image", "wb"));
                if (!image) {
                    fprintf(stderr, "Failed to open image file.\n");
                    reboot_system();
                }
                fwrite(component.get(), 1, length, image.get());
                image.reset();
                run_command("mkdir /user/images &> /dev/null");
                char command[64];
                snprintf(command, sizeof command, "cp /tmp/image /user/images/image%c\n", n);
                run_command(command);
                printf("Setting boot image to %d\n", n - '0');
                eeprom_set_boot_selection(static_cast<uint8_t>(n - '0'));
                eeprom_set_boot_source(static_cast<uint8_t>(n - '0'));
            } else {
                puts("\nBooting recovery image. You will need to download and install an image before "
                     "rebooting");
                eeprom_set_boot_source(BOOT_SOURCE_RESCUE);
            }
        }
    }
    component.reset();
    launch_application(type == ComponentType::DIAGNOSTICS);
}
