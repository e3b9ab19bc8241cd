#include "boot/launch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "boot/boot.h"
#include "boot/boot_options.h"
#include "boot/image_loading.h"
#include "boot/outside.h"
#include "hw/i2c.h"
#include "image/image_format.h"
#include "platform/platform.h"

namespace {

constexpr const char *APP_PROGRAM = "/tmp/home/bin/mp.elf.strip";

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool exists(const char *path) { return access(path, F_OK) == 0; }

// Pairs of white-space separated words, name then value; a lone last word gets an
// empty value.
void load_env_setup()
{
    File f(fopen("/tmp/home/bin/env-setup", "r"));
    if (!f)
        return;
    char name[512] = {};
    char value[512] = {};
    while (fscanf(f.get(), "%511s %511s", name, value) != EOF) {
        setenv(name, value, 1);
        memset(name, 0, sizeof name);
        memset(value, 0, sizeof value);
    }
}

[[noreturn]] void run_then_reboot(const char *command)
{
    run_command(command);
    reboot_system();
}

} // namespace

void launch_application(uint8_t installDiags)
{
    plat_sleep_us(1000000);
    char command[160];
    snprintf(command, sizeof command, "cd /tmp \ntar mxzf %s \nrm %s\n", APP_ARCHIVE, APP_ARCHIVE);
    if (run_command(command) < 0) {
        fprintf(stderr, "Failed to gunzip Application OS.\n");
        reboot_system();
    }
    i2c_close_buses();

    if (installDiags) {
        puts("install diags image");
        run_command("mkdir -p /tmp/home/bin");
        run_command("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }
    if (exists("/tmp/home/bin/install.sh")) {
        puts("Running install script");
        run_command("/tmp/home/bin/install.sh");
        load_env_setup();
    }
    if (bootOptions.shellEnabled) {
        puts("Dropping into shell");
        run_command("/bin/sh\n");
        puts("Dropping out of shell");
    }

    if (bootOptions.gdbServerEnabled) {
        snprintf(command, sizeof command, "%s/bin/gdbserver :%d %s\n",
                 bootOptions.memCheckEnabled ? "LD_PRELOAD=libduma.so.0.0.0 " : "", bootOptions.gdbPort,
                 APP_PROGRAM);
        run_then_reboot(command);
    }
    if (bootOptions.gdbEnabled) {
        if (exists("/tmp/gdb")) {
            puts("*** Launching under GDB ***");
            run_then_reboot("/tmp/gdb /tmp/home/bin/mp.elf.strip");
        }
        puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
    } else if (bootOptions.memCheckEnabled) {
        run_then_reboot("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
    }

    fflush(stdout);
    fflush(stderr);
    char *const argv[] = {const_cast<char *>("/bin/backtrace"), nullptr};
    execv("/bin/backtrace", argv);
    fprintf(stderr, "Failed to start Application OS.\n");
    reboot_system();
}

int extract_gdb(int source)
{
    int other;
    if (source == 1)
        other = 2;
    else if (source == 2)
        other = 1;
    else
        return 0;
    printf("Extracting GDB from image slot %d\n", other);

    char path[32];
    snprintf(path, sizeof path, "/user/images/image%d", other);
    File in(fopen(path, "rb"));
    if (!in) {
        fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other);
        return 0;
    }
    File out(fopen("/tmp/gdb.gz", "wb"));
    if (!out) {
        fprintf(stderr, "Failed to open GDB output file.\n");
        return 0;
    }
    uint8_t first[COMPONENT_PROBE_SIZE] = {};
    const size_t got = fread(first, 1, sizeof first, in.get());
    const ParsedHeader h = parse_header(std::span<const uint8_t, COMPONENT_PROBE_SIZE>(first));
    if (got != sizeof first || component_type(h.magic) != ComponentType::APPLICATION) {
        fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        return 0;
    }
    printf("Found GDB image %d of length = %u.\n", other, h.payloadLength);

    // Copied in pieces: the debugger need not fit in memory twice.
    if (fseek(in.get(), static_cast<long>(h.headerLength), SEEK_SET) == 0) {
        char buf[65536];
        uint32_t left = h.payloadLength;
        while (left > 0) {
            const size_t n = fread(buf, 1, left < sizeof buf ? left : sizeof buf, in.get());
            if (n == 0 || fwrite(buf, 1, n, out.get()) != n)
                break;
            left -= static_cast<uint32_t>(n);
        }
    }
    in.reset();
    out.reset();

    puts("decompressing GDB....");
    run_command("gunzip /tmp/gdb.gz");
    if (run_command("tar -tf /tmp/gdb > /dev/null 2>&1") == 0) {
        fprintf(stderr, "Unexpected format for GDB image.\n");
        run_command("rm /tmp/gdb");
        return 0;
    }
    run_command("chmod +x /tmp/gdb");
    return 1;
}
