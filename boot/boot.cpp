#include "boot/boot.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "boot/boot_options.h"
#include "boot/image_loading.h"
#include "boot/outside.h"
#include "hw/flash.h"
#include "hw/i2c.h"
#include "platform/platform.h"
#include "rescue/network.h"
#include "rescue/rescue_menu.h"
#include "rescue/usb.h"
#include "security/crypto/crypto.h"
#include "security/keystore.h"
#include "security/lowsec.h"

volatile uint8_t interruptRequested = 0;
uint8_t usbEnabled = 0;
uint8_t secondAttempt = 0;

namespace {

constexpr uint8_t USB_BOOT_ENABLED = 0xD5;
constexpr const char *USB_OS_IMAGE_NAME = "KPX4190_OS.img";

void on_sigint(int) { interruptRequested = 1; }

// The clock's BCD bytes print as decimal digits with %x. A failed read leaves the
// clock alone rather than setting it from an undefined time.
void set_system_date()
{
    RtcTime t{};
    if (!rtc_read_time(&t))
        return;
    char command[64];
    snprintf(command, sizeof command, "date %2.2x%2.2x%2.2x%2.2x20%2.2x.%2.2x\n", t.bytes[5] & 0x1F,
             t.bytes[4] & 0x3F, t.bytes[2] & 0x3F, t.bytes[1] & 0x7F, t.bytes[6], t.bytes[0] & 0x7F);
    run_command(command);
}

void update_filesystem_summary()
{
    if (access("/user/summary-updated", F_OK) == 0)
        return;
    if (run_command("/bin/summary-scan") != 0)
        puts("ERROR updating file system. Reboot recommended");
}

int other_slot(int source) { return source == 1 ? 2 : 1; }

} // namespace

void install_sigint_handler()
{
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocked console read must return on Ctrl-C
    sigaction(SIGINT, &sa, nullptr);
}

void reboot_system()
{
    plat_sleep_us(1000000);
    if (run_command("reboot") >= 0)
        exit(0);
    fprintf(stderr, "System reboot failed, please power-cycle.\n");
    exit(0);
}

int select_boot_image() { return eeprom_read_boot_selection() == 2 ? 2 : 1; }

int loader_main()
{
    if (plat_start() != 0)
        return 1;

    install_sigint_handler();
    i2c_open_buses();
    flash_open_partitions();
    CRYPTO_initialize();
    parse_boot_options();
    set_system_date();
    run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    update_filesystem_summary();
    if (!check_system_keys())
        puts("WARNING - problem with security keys. No keys found");

    if (bootOptions.rescueAtStart)
        rescue_menu();
    if (bootOptions.diagsAtStart)
        run_standalone_diags();

    usbEnabled = eeprom_read_usb_boot_enable() == USB_BOOT_ENABLED;
    if (usbEnabled && wait_for_usb_mount() < 0)
        usbEnabled = 0;

    int source = 0;
    if (usbEnabled) {
        install_usb_boot_image();
        source = install_usb_replacement_images();
        if (source == BOOT_SOURCE_USB) {
            printf("Booting image '%s' from USB stick.\n", USB_OS_IMAGE_NAME);
            boot_image(BOOT_SOURCE_USB);
            puts("USB Boot failed. Trying flash images.");
            source = 0;
        }
    }
    if (source == 0)
        source = select_boot_image();
    if (bootOptions.gdbServerEnabled)
        setup_management_port(1);

    printf("Booting image '%d'\n", source);
    boot_image(source);

    const int other = other_slot(source);
    printf("Booting image '%d'\n", other);
    secondAttempt = 1;
    boot_image(other);

    reboot_system();
}
