#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "security/crypto/crypto.h"
#include "tools/imgtool/imgtool.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct Command {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *summary;
};

constexpr Command COMMANDS[] = {
    {"create", cmd_create, "make one component from a payload, optionally signed"},
    {"package", cmd_package, "put components back to back into an image package"},
    {"info", cmd_info, "list the components of a file, check CRCs and signatures"},
    {"digest", cmd_digest, "print the SHA-256 of the region a signature covers"},
    {"attach-signature", cmd_attach_signature, "put a signature made elsewhere into a component"},
    {"keyfile", cmd_keyfile, "make the encrypted public-key file of a unit"},
};

void usage(FILE *out)
{
    fprintf(out, "usage: imgtool COMMAND [ARGS...]   (imgtool COMMAND --help for its arguments)\n\n");
    for (const Command &c : COMMANDS)
        fprintf(out, "  %-17s %s\n", c.name, c.summary);
}

} // namespace

int fail(int status, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("imgtool: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return status;
}

bool read_file(const char *path, Bytes &out)
{
    out.clear();
    UniqueFile f(fopen(path, "rb"));
    if (!f) {
        fail(EXIT_USAGE, "cannot read %s: %s", path, strerror(errno));
        return false;
    }
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f.get())) > 0)
        out.insert(out.end(), chunk, chunk + got);
    if (ferror(f.get())) {
        fail(EXIT_USAGE, "cannot read %s: %s", path, strerror(errno));
        return false;
    }
    return true;
}

bool write_file(const char *path, std::span<const uint8_t> data)
{
    UniqueFile f(fopen(path, "wb"));
    if (!f || fwrite(data.data(), 1, data.size(), f.get()) != data.size()) {
        fail(EXIT_USAGE, "cannot write %s: %s", path, strerror(errno));
        return false;
    }
    // fclose flushes: a full disk shows up only here.
    if (fclose(f.release()) != 0) {
        fail(EXIT_USAGE, "cannot write %s: %s", path, strerror(errno));
        return false;
    }
    return true;
}

InputFile::~InputFile()
{
    if (fd >= 0)
        close(fd);
}

bool open_input(const char *path, InputFile &in)
{
    struct stat st;
    in.path = path;
    in.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (in.fd < 0 || fstat(in.fd, &st) != 0) {
        fail(EXIT_USAGE, "cannot read %s: %s", path, strerror(errno));
        return false;
    }
    // Pieces are read by offset: a pipe or a device would read as empty.
    if (!S_ISREG(st.st_mode)) {
        fail(EXIT_USAGE, "cannot read %s: not a regular file", path);
        return false;
    }
    in.size = static_cast<uint64_t>(st.st_size);
    // Read sequentially once, so the kernel may read well ahead.
    posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

bool read_at(const InputFile &in, uint64_t offset, uint8_t *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = pread(in.fd, data, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(EXIT_USAGE, "cannot read %s: %s", in.path,
                 n == 0 ? "file shrank while read" : strerror(errno));
            return false;
        }
        data += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

OutputFile::~OutputFile()
{
    if (fd >= 0)
        close(fd);
    if (!temp.empty())
        unlink(temp.c_str());
}

bool open_output(const char *path, OutputFile &out)
{
    out.path = path;
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        out.fd = open(path, O_WRONLY | O_CLOEXEC);
    } else {
        const char *slash = strrchr(path, '/');
        out.temp = std::string(path, slash ? size_t(slash - path + 1) : 0) + ".imgtool-XXXXXX";
        out.fd = mkstemp(out.temp.data());
        if (out.fd < 0) {
            out.temp.clear();
        } else {
            // What a plain create would give: mkstemp makes the file private.
            const mode_t mask = umask(0);
            umask(mask);
            fchmod(out.fd, 0666 & ~mask);
        }
    }
    if (out.fd < 0) {
        fail(EXIT_USAGE, "cannot write %s: %s", path, strerror(errno));
        return false;
    }
    return true;
}

bool write_at(OutputFile &out, uint64_t offset, const uint8_t *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = pwrite(out.fd, data, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(EXIT_USAGE, "cannot write %s: %s", out.path.c_str(), strerror(n == 0 ? EIO : errno));
            return false;
        }
        data += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool commit_output(OutputFile &out)
{
    const int rc = close(out.fd);
    out.fd = -1;
    if (rc != 0 || (!out.temp.empty() && rename(out.temp.c_str(), out.path.c_str()) != 0)) {
        fail(EXIT_USAGE, "cannot write %s: %s", out.path.c_str(), strerror(errno));
        return false;
    }
    out.temp.clear();
    return true;
}

bool parse_args(int argc, char **argv, std::span<const OptionSpec> options, ParsedArgs &out)
{
    const char *cmd = argv[0];
    bool onlyPositional = false;
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        if (onlyPositional || arg.size() < 2 || arg[0] != '-') {
            out.positional.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            out.help = true;
            continue;
        }
        std::string_view name = arg;
        const char *value = nullptr;
        if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = argv[i] + eq + 1;
        }
        const OptionSpec *want = nullptr;
        for (const OptionSpec &s : options)
            if (name == s.name)
                want = &s;
        if (!want) {
            fail(EXIT_USAGE, "%s: unknown option %.*s", cmd, int(name.size()), name.data());
            return false;
        }
        if (want->takesValue && !value) {
            if (i + 1 >= argc) {
                fail(EXIT_USAGE, "%s: %s needs a value", cmd, want->name);
                return false;
            }
            value = argv[++i];
        } else if (!want->takesValue && value) {
            fail(EXIT_USAGE, "%s: %s takes no value", cmd, want->name);
            return false;
        }
        if (!want->repeatable && option(out, want->name)) {
            fail(EXIT_USAGE, "%s: %s given twice", cmd, want->name);
            return false;
        }
        out.options.emplace_back(want->name, value ? value : "");
    }
    return true;
}

const char *option(const ParsedArgs &args, std::string_view name)
{
    const char *found = nullptr;
    for (const auto &[n, v] : args.options)
        if (n == name)
            found = v;
    return found;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage(stderr);
        return EXIT_USAGE;
    }
    const std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        usage(stdout);
        return 0;
    }
    // The loader's PEM decoder needs the tables built here.
    if (CRYPTO_initialize() != 0)
        return fail(EXIT_CHECK_FAILED, "cannot initialise the crypto services");
    for (const Command &c : COMMANDS)
        if (name == c.name)
            return c.run(argc - 1, argv + 1);
    return fail(EXIT_USAGE, "unknown command '%s' (imgtool --help lists them)", argv[1]);
}
