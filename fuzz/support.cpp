// The fuzz build links this object into every target together with the linker
// options --wrap=<call> for the path calls below (fuzz/CMakeLists.txt): the
// loader's references to them land here, so a fixed path such as
// /user/images/image1 or /tmp/nos-image.gz reaches a file of the throw-away
// board instead of this machine's. run_command is defined here as well, so the
// core library's own (boot/outside.cpp, which calls system) is never linked;
// system and execv abort should anything call them directly. The management
// port's link queries (ioctl) are answered here: a port that is up with its
// cable in, whatever this machine's interfaces are.
#include "fuzz/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/outside.h"
#include "hw/flash.h"
#include "hw/i2c.h"
#include "platform/sim/sim_board.h"

std::vector<std::string> fuzzCommands;

namespace {

constexpr size_t PARTITION_SIZE = 128 * 1024;
constexpr size_t ENV_PARTITION_SIZE = 0x21000; // the 0x20000 bytes of options after the CRC word

std::string g_root;

// Paths of this machine the loader may name; everything under them lives in the board.
constexpr const char *REDIRECTED[] = {
    "/user",
    "/dev",
    "/mnt",
    "/board",
    "/.imgloader-sandbox",
    "/tmp/image",
    "/tmp/home",
    "/tmp/gdb",
    "/tmp/usb",
    "/tmp/lowsec",
    "/tmp/kalpaimage.tar.gz",
    "/tmp/nos-image.gz",
    "/tmp/gdb.gz",
    "/tmp/img_md5string",
};
constexpr const char *PASSED[] = {"/dev/null", "/dev/zero", "/dev/random", "/dev/urandom", "/dev/shm"};

bool under(const char *path, const char *prefix)
{
    const size_t n = strlen(prefix);
    return strncmp(path, prefix, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

std::string redirect(const char *path)
{
    if (!path || path[0] != '/')
        return path ? path : "";
    if (!g_root.empty() && under(path, g_root.c_str()))
        return path; // TMPDIR may itself lie under one of the prefixes
    for (const char *p : PASSED)
        if (strcmp(path, p) == 0)
            return path;
    for (const char *p : REDIRECTED)
        if (under(path, p))
            return fuzz_board_file(path);
    return path;
}

int remove_entry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

void remove_root()
{
    if (!g_root.empty())
        nftw(g_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

[[noreturn]] void refuse(const char *what, const char *arg)
{
    fprintf(stderr, "fuzz: the loader tried to %s %s\n", what, arg ? arg : "(null)");
    abort();
}

// Console text would only fill the logs (IMGL_FUZZ_VERBOSE=1 keeps it), and
// nothing may wait on the terminal.
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
    // Memory by default: the flash partitions are opened O_SYNC and the installer
    // fsyncs, which on a disk would cost more than the rest of a run.
    const char *tmp = getenv("TMPDIR");
    const char *base = "/tmp";
    struct stat st;
    if (tmp && *tmp)
        base = tmp;
    else if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode))
        base = "/dev/shm";
    std::string dir = std::string(base) + "/imgl-fuzz-XXXXXX";
    if (!mkdtemp(dir.data()))
        refuse("make a board root in", dir.c_str());
    g_root = dir;
    atexit(remove_root);
    sim_board_set_root(g_root.c_str());
    if (!sim_board_populate(PARTITION_SIZE) || !sim_board_make_partition("ubootenv", ENV_PARTITION_SIZE) ||
        !sim_board_config_line("time_scale 0") || !sim_board_config_line("erasesize 4096") ||
        !sim_board_write_file("/user/images/.keep", "") || !sim_board_write_file("/tmp/.keep", ""))
        refuse("populate the board in", g_root.c_str());
    flash_open_partitions();
    i2c_open_buses();
    return g_root;
}

std::string fuzz_board_file(const char *path) { return fuzz_board_root() + path; }

bool fuzz_write_file(const std::string &file, const uint8_t *data, size_t size)
{
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
    return close(fd) == 0 && ok;
}

void fuzz_erase_partition(int fd)
{
    static const std::vector<uint8_t> erased(ENV_PARTITION_SIZE, 0xFF);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) > erased.size() ||
        pwrite(fd, erased.data(), static_cast<size_t>(st.st_size), 0) != st.st_size)
        refuse("erase partition descriptor", std::to_string(fd).c_str());
}

void fuzz_console_input(const uint8_t *data, size_t size)
{
    int p[2];
    if (pipe(p) != 0 || (size && write(p[1], data, size) != static_cast<ssize_t>(size)))
        abort();
    close(p[1]);
    dup2(p[0], STDIN_FILENO);
    close(p[0]);
    clearerr(stdin);
}

int run_command(const char *command)
{
    fuzzCommands.emplace_back(command ? command : "");
    return 1 << 8; // as system() reports a command that exited with status 1
}

extern "C" {

int __real_open(const char *path, int flags, ...);
FILE *__real_fopen(const char *path, const char *mode);
int __real_stat(const char *path, struct stat *st);
int __real_lstat(const char *path, struct stat *st);
int __real_access(const char *path, int how);
int __real_mkdir(const char *path, mode_t mode);
int __real_chmod(const char *path, mode_t mode);
int __real_rename(const char *from, const char *to);
int __real_unlink(const char *path);
int __real_remove(const char *path);
DIR *__real_opendir(const char *path);
int __real_ioctl(int fd, unsigned long request, ...);

int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned));
        va_end(ap);
    }
    return __real_open(redirect(path).c_str(), flags, mode);
}
FILE *__wrap_fopen(const char *path, const char *mode) { return __real_fopen(redirect(path).c_str(), mode); }
int __wrap_stat(const char *path, struct stat *st) { return __real_stat(redirect(path).c_str(), st); }
int __wrap_lstat(const char *path, struct stat *st) { return __real_lstat(redirect(path).c_str(), st); }
int __wrap_access(const char *path, int how) { return __real_access(redirect(path).c_str(), how); }
int __wrap_mkdir(const char *path, mode_t mode) { return __real_mkdir(redirect(path).c_str(), mode); }
int __wrap_chmod(const char *path, mode_t mode) { return __real_chmod(redirect(path).c_str(), mode); }
int __wrap_rename(const char *from, const char *to)
{
    return __real_rename(redirect(from).c_str(), redirect(to).c_str());
}
int __wrap_unlink(const char *path) { return __real_unlink(redirect(path).c_str()); }
int __wrap_remove(const char *path) { return __real_remove(redirect(path).c_str()); }
DIR *__wrap_opendir(const char *path) { return __real_opendir(redirect(path).c_str()); }
int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    auto *ifr = static_cast<ifreq *>(arg);
    switch (request) {
    case SIOCGIFINDEX:
        ifr->ifr_ifindex = 2;
        return 0;
    case SIOCGIFFLAGS:
        ifr->ifr_flags = IFF_UP | IFF_RUNNING;
        return 0;
    case SIOCETHTOOL:
        reinterpret_cast<ethtool_value *>(ifr->ifr_data)->data = 1;
        return 0;
    default:
        return __real_ioctl(fd, request, arg);
    }
}
int __wrap_system(const char *command) { refuse("run", command); }
int __wrap_execv(const char *path, char *const[]) { refuse("start", path); }

} // extern "C"
