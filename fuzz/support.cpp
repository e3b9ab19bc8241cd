// Linked into every target with --wrap=<call> for the calls below, so the loader's fixed paths
// (/user/images/image1, /tmp/nos-image.gz, ...) reach the throw-away board, never this machine.
// run_command replaces the core library's (which calls system); system and execv abort. The
// management port's link queries are answered: up, cable in, whatever this machine's ports are.
#include "fuzz/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "boot/outside.h"
#include "hw/flash.h"
#include "hw/i2c.h"
#include "platform/sim/sim_board.h"

std::vector<std::string> fuzzCommands;

namespace {

std::string g_root;

// clang-format off
constexpr const char *REDIRECTED[] = {"/user", "/dev", "/mnt", "/board", "/.imgloader-sandbox", "/tmp/image",
    "/tmp/home", "/tmp/gdb", "/tmp/usb", "/tmp/lowsec", "/tmp/kalpaimage.tar.gz", "/tmp/nos-image.gz",
    "/tmp/gdb.gz", "/tmp/img_md5string"};
// clang-format on
constexpr const char *PASSED[] = {"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom", "/dev/shm"};

bool under(const char *path, const char *prefix)
{
    const size_t n = strlen(prefix);
    return strncmp(path, prefix, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

std::string redirect(const char *path)
{
    // TMPDIR, and so the root, may itself lie under one of the prefixes.
    if (!path || path[0] != '/' || (!g_root.empty() && under(path, g_root.c_str())))
        return path ? path : "";
    for (const char *p : PASSED)
        if (strcmp(path, p) == 0)
            return path;
    for (const char *p : REDIRECTED)
        if (under(path, p))
            return fuzz_board_root() + path;
    return path;
}

[[noreturn]] void refuse(const char *what, const char *arg)
{
    fprintf(stderr, "fuzz: the loader tried to %s %s\n", what, arg ? arg : "(null)");
    abort();
}

// Console text would only fill the logs (IMGL_FUZZ_VERBOSE=1 keeps it); nothing may wait on the terminal.
struct QuietConsole {
    QuietConsole()
    {
        const int fd = open("/dev/null", O_RDWR);
        dup2(fd, STDIN_FILENO);
        if (!getenv("IMGL_FUZZ_VERBOSE"))
            dup2(fd, STDOUT_FILENO);
        close(fd);
    }
} quietConsole;

} // namespace

const std::string &fuzz_board_root()
{
    if (!g_root.empty())
        return g_root;
    // Memory by default: the partitions are opened O_SYNC and the installer fsyncs.
    const char *base = getenv("TMPDIR");
    if (!base || !*base)
        base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string dir = std::string(base) + "/imgl-fuzz-XXXXXX";
    if (!mkdtemp(dir.data()))
        refuse("make a board root in", dir.c_str());
    g_root = dir;
    atexit([] { std::filesystem::remove_all(g_root); });
    sim_board_set_root(g_root.c_str());
    if (!sim_board_populate(128 * 1024) || !sim_board_make_partition("ubootenv", 0x21000) ||
        !sim_board_config_line("time_scale 0") || !sim_board_config_line("erasesize 4096") ||
        !sim_board_write_file("/user/images/.keep", "") || !sim_board_write_file("/tmp/.keep", ""))
        refuse("populate the board in", g_root.c_str());
    flash_open_partitions();
    i2c_open_buses();
    return g_root;
}

int run_command(const char *command)
{
    fuzzCommands.emplace_back(command ? command : "");
    return 1 << 8; // as system() reports a command that exited with status 1
}

#define PATH_CALL(type, name)                                                                                \
    type __real_##name(const char *);                                                                        \
    type __wrap_##name(const char *path) { return __real_##name(redirect(path).c_str()); }
#define PATH_CALL2(type, name, Arg)                                                                          \
    type __real_##name(const char *, Arg);                                                                   \
    type __wrap_##name(const char *path, Arg arg) { return __real_##name(redirect(path).c_str(), arg); }

extern "C" {

PATH_CALL(int, unlink)
PATH_CALL(int, remove)
PATH_CALL(DIR *, opendir)
PATH_CALL2(FILE *, fopen, const char *)
PATH_CALL2(int, stat, struct stat *)
PATH_CALL2(int, lstat, struct stat *)
PATH_CALL2(int, access, int)
PATH_CALL2(int, mkdir, mode_t)
PATH_CALL2(int, chmod, mode_t)

int __real_open(const char *path, int flags, ...);
int __wrap_open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
    va_end(ap);
    return __real_open(redirect(path).c_str(), flags, mode);
}
int __real_rename(const char *from, const char *to);
int __wrap_rename(const char *from, const char *to)
{
    return __real_rename(redirect(from).c_str(), redirect(to).c_str());
}
int __real_ioctl(int fd, unsigned long request, ...);
int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    auto *ifr = static_cast<ifreq *>(arg);
    if (request == SIOCGIFINDEX)
        ifr->ifr_ifindex = 2;
    else if (request == SIOCGIFFLAGS)
        ifr->ifr_flags = IFF_UP | IFF_RUNNING;
    else if (request == SIOCETHTOOL)
        reinterpret_cast<ethtool_value *>(ifr->ifr_data)->data = 1;
    else
        return __real_ioctl(fd, request, arg);
    return 0;
}
int __wrap_system(const char *command) { refuse("run", command); }
int __wrap_execv(const char *path, char *const[]) { refuse("start", path); }

} // extern "C"
