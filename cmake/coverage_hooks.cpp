// Linked only into the coverage build (IMGL_COVERAGE), through the linker's
// --wrap: GCC writes its counters at exit(), so a process that replaces itself
// with execv or ends with _exit would lose them. A process that went into a
// chroot writes them from the root it started in, where the build tree is.
#include <fcntl.h>
#include <unistd.h>

extern "C" {
void __gcov_dump(void);
void __gcov_reset(void);
int __real_execv(const char *path, char *const argv[]);
int __real_chroot(const char *path);
[[noreturn]] void __real__exit(int status);

static int startRoot = -1;

int __wrap_chroot(const char *path)
{
    if (startRoot < 0)
        startRoot = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return __real_chroot(path);
}

int __wrap_execv(const char *path, char *const argv[])
{
    __gcov_dump();
    const int result = __real_execv(path, argv);
    // Still here: what runs from now on is written at the end, added to the file.
    __gcov_reset();
    return result;
}

[[noreturn]] void __wrap__exit(int status)
{
    if (startRoot >= 0 && fchdir(startRoot) == 0)
        (void)!chroot(".");
    __gcov_dump();
    __real__exit(status);
}
}
