#include "security/lowsec.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "boot/boot.h"
#include "boot/boot_options.h"
#include "boot/image_loading.h"
#include "boot/outside.h"
#include "hw/i2c.h"
#include "platform/platform.h"
#include "rescue/console.h"
#include "security/signature.h"

namespace {

// The value of the line's leading decimal digits; a sign, a blank or any other
// first character counts as 0 (the answer line holds at most 7 characters).
int leading_number(const char *line)
{
    int value = 0;
    for (; *line >= '0' && *line <= '9'; ++line)
        value = value * 10 + (*line - '0');
    return value;
}

constexpr const char *LOWSEC_MARKER = "/tmp/lowsec";

// A y/N question whose key is not echoed; only y or Y agrees.
bool confirmed_silently(const char *question)
{
    fputs(question, stdout);
    fflush(stdout);
    const int key = console_get_key();
    putchar('\n');
    return key == 'y' || key == 'Y';
}

} // namespace

int is_low_security_mode()
{
    if (bootOptions.lowSecAuthorised) {
        puts("NOTE: Uboot low security mode override enabled");
        return 1;
    }
    return access(LOWSEC_MARKER, F_OK) == 0 ? 1 : 0;
}

int set_low_security_mode(int on)
{
    if (!on) {
        remove(LOWSEC_MARKER);
        return 0;
    }
    // Only the marker's existence counts; a failed create leaves the mode off.
    if (FILE *marker = fopen(LOWSEC_MARKER, "w")) {
        fwrite("trelmock\n", 1, 9, marker);
        fclose(marker);
    }
    return 0;
}

int run_standalone_diags()
{
    const int developer = is_developer_image();
    if (developer)
        puts("NOTE: switch running developer signed images");
    if (!developer && !is_low_security_mode()) {
        puts("Standalone diags cannot be run on a secured switch");
        puts("Please establish physical presence first");
        return 0;
    }
    if (confirmed_silently(
            "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ")) {
        puts("unmount filesystem");
        run_command("/bin/umount /user &> /dev/null");
        puts("\nErasing filesystem for clean install");
        run_command("flash_eraseall /dev/mtd-user-char");
        puts("Mounting...");
        run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
        puts("creating default filesystem");
        run_command("mkdir /user/images &> /dev/null");
    }
    puts("Booting diags image...");
    boot_recovery_image();
    return 1;
}

namespace {

constexpr int PRESENCE_ATTEMPTS = 3;
constexpr int MIN_BLINK_CYCLES = 11;
constexpr uint8_t LED_REST = 0x01;
constexpr uint8_t LED_BLINK = 0x00;

// Reads one key and echoes it on its own line; 0 when none came.
int ask_key()
{
    const int key = console_get_key();
    if (key)
        console_echo(key);
    putchar('\n');
    return key;
}

int blink_count(uint8_t seconds)
{
    const int count = (seconds >> 4) + (seconds & 0x0f);
    return count == 0 ? 1 : count;
}

// One LED cycle of two seconds; false when the operator interrupted.
bool led_cycle(uint8_t base, uint8_t first)
{
    if (interruptRequested)
        return false;
    putchar('.');
    fflush(stdout);
    cpld_write(CPLD_LED_REGISTER, base | first);
    plat_sleep_us(1000000);
    cpld_write(CPLD_LED_REGISTER, base | LED_REST);
    plat_sleep_us(1000000);
    return true;
}

int disable_low_security()
{
    printf("Switch is in low security mode. Confirm disabling Y/n? ");
    fflush(stdout);
    const int key = ask_key();
    if (key == 0)
        return 0;
    if (key != 'n' && key != 'N')
        set_low_security_mode(0);
    return 1;
}

} // namespace

int physical_presence_test()
{
    if (is_low_security_mode())
        return disable_low_security();

    printf("WARNING: the following test is used to determine physical presence and if completed will "
           "put the switch in low security mode.\nDo you wish to continue y/N? ");
    fflush(stdout);
    const int key = ask_key();
    if (key != 'y' && key != 'Y')
        return 0;

    uint8_t led = 0;
    cpld_read(CPLD_LED_REGISTER, &led);
    const uint8_t base = led & 0xfc;

    for (int attempt = 1; attempt <= PRESENCE_ATTEMPTS; ++attempt) {
        cpld_write(CPLD_LED_REGISTER, base | LED_REST);
        puts("Hit a key to start the test. The blue location LED will blink a number of times.");
        fflush(stdout);
        ask_key();

        RtcTime now{};
        rtc_read_time(&now);
        const int count = blink_count(now.bytes[0]);
        int cycle = 0;
        for (; cycle < count; ++cycle)
            if (!led_cycle(base, LED_BLINK))
                return 0;
        // Padding hides the count in the attempt's length.
        for (; cycle < MIN_BLINK_CYCLES; ++cycle)
            if (!led_cycle(base, LED_REST))
                return 0;

        printf("\nHow many times did the LED blink? ");
        fflush(stdout);
        char answer[8];
        console_read_line(answer, sizeof answer);
        if (interruptRequested)
            return 0;
        if (leading_number(answer) == count) {
            puts("Correct. Physical presence established and low security mode enabled");
            set_low_security_mode(1);
            return 1;
        }
        printf("Incorrect. Try again (attempt %d of %d)\n", attempt, PRESENCE_ATTEMPTS);
    }
    puts("Maximum number of test failed. Board is resetting");
    plat_sleep_us(1000000);
    reboot_system();
}

int wipe_system_keys()
{
    if (confirmed_silently("Confirm: wiping system keys y/N: ")) {
        run_command("rm /user/*.pem");
        puts("System keys have been deleted. Reset the switch to complete the operation");
    }
    return 1;
}
