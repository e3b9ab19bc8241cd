#include "security/lowsec.h"

#include <unistd.h>

#include <cstdio>

#include "boot/boot_options.h"

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

// Placeholder until standalone diagnostics land: refused, the boot goes on.
int run_standalone_diags()
{
    puts("[placeholder] standalone diagnostics");
    return 0;
}
