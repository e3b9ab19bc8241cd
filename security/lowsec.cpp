#include "security/lowsec.h"

#include <unistd.h>

#include <cstdio>

#include "boot/boot_options.h"
#include "boot/image_loading.h"
#include "boot/outside.h"
#include "rescue/console.h"
#include "security/signature.h"

namespace {

constexpr const char *LOWSEC_MARKER = "/tmp/lowsec";

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
    printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    fflush(stdout);
    const int key = console_get_key();
    putchar('\n');
    if (key == 'y' || key == 'Y') {
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

// Placeholders until physical presence and the key wipe land.
int physical_presence_test()
{
    puts("[placeholder] physical presence");
    return 0;
}

int wipe_system_keys()
{
    puts("[placeholder] key wipe");
    return 0;
}
