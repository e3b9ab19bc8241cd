#include "image/installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "boot/launch.h"
#include "hw/flash.h"
#include "hw/i2c.h"
#include "image/component_read.h"
#include "image/image_format.h"
#include "security/signature.h"

namespace {

namespace CT = ComponentType;

constexpr const char *IMAGES_DIR = "/user/images";
constexpr const char *UBOOT_HEADER_FILE = "/user/images/uboot-hdr";
constexpr const char *BOOT_PAYLOAD_FILE = "/tmp/kalpaimage.tar.gz";
constexpr const char *NOS_PAYLOAD_FILE = "/tmp/nos-image.gz";
constexpr const char *INSTALL_LOG = "/user/install.log";
constexpr uint32_t WRITE_PIECE = 0x10000;
constexpr int NO_PARTITION = -1;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct UniqueFd {
    int fd = -1;
    explicit UniqueFd(int f) : fd(f) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd()
    {
        if (fd >= 0)
            close(fd);
    }
    // Closes now, so that a failing close can be reported.
    int release_close()
    {
        const int rc = close(fd);
        fd = -1;
        return rc;
    }
};

struct TypeRule {
    uint32_t type;
    const char *announcement;
    const char *badCrc;
    const char *tooBig; // nullptr: no size limit
    uint32_t limit;
    bool limitOnPayload;
    bool checkSignature;
    int partition; // NO_PARTITION: not a flash component
    bool payloadOnly;
    const char *writeFailed;
};

constexpr TypeRule TYPE_RULES[] = {
    {CT::UBOOT, "Installing Boot Loader: ", "Bad crc for UBOOT: 0x%08x, voiding download\n",
     "UBOOT image is too big for flash (%d > %d)\n", 0x80000, true, false, UBOOT, true,
     "Uboot image update failed"},
    {CT::KERNEL, "Installing Kernel: ", "Bad crc for KERNEL: 0x%08x, voiding download\n",
     "KERNEL image is too big for flash (%d > %d)\n", 0x800000, false, true, KERNEL, false,
     "kernel image update failed"},
    {CT::RFS, "Installing Root Filesystem: ", "Bad crc for RFS: 0x%08x, voiding download\n",
     "RFS image is too big for flash (%d > %d)\n", 0xA00000, false, true, RFS, false,
     "RFS image update failed"},
    {CT::DFT, "Installing Device Tree: ", "Bad crc for DFT: 0x%08x, voiding download\n",
     "DFT image is too big for flash (%d > %d)\n", 0x40000, false, true, DEVICETREE, false,
     "DFT image update failed"},
    {CT::DIAGNOSTICS, "Installing Diagnostics: ", "Bad crc for DIAGNOSTICS IMAGE: 0x%08x, voiding download\n",
     "DIAGS image is too big for flash (%d > %d)\n", 0xA00000, false, false, RESCUE, false,
     "DIAGS image update failed"},
    {CT::APPLICATION, "Installing Application: ", "Bad crc for APPLICATION: 0x%08x, voiding download\n",
     nullptr, 0, false, true, NO_PARTITION, false, nullptr},
    {CT::NOS_APPLICATION,
     "Installing T-VEX application: ", "Bad crc for T-VEX APPLICATION: 0x%08x, voiding download\n", nullptr,
     0, false, false, NO_PARTITION, false, nullptr},
};

const TypeRule *find_rule(uint32_t type)
{
    for (const TypeRule &r : TYPE_RULES)
        if (r.type == type)
            return &r;
    return nullptr;
}

// Loops over short writes; a write of 0 bytes counts as an I/O error.
bool write_all(int fd, const uint8_t *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int create_file(const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int err = errno;
        printf("Cannot create %s: %s\n", path, strerror(err));
        errno = err;
    }
    return fd;
}

void ensure_images_dir()
{
    // chmod as well: the umask must not narrow the directory's mode.
    if (mkdir(IMAGES_DIR, 0755) == 0)
        chmod(IMAGES_DIR, 0755);
}

// Reads one line of the operator's answer; false at the end of input.
bool read_answer(char (&line)[32])
{
    if (fgets(line, sizeof line, stdin))
        return true;
    // Only an interrupted read leaves somebody to answer; end of input and a
    // console gone (hang-up) would make every retry fail at once.
    const bool interrupted = ferror(stdin) && errno == EINTR;
    clearerr(stdin);
    line[0] = '\0';
    return interrupted;
}

struct Walk {
    FILE *package;
    int skipSameVersion;
    int slot;
    uint8_t installed;
};

struct Component {
    const uint8_t *data;
    uint32_t length;
    ParsedHeader header;
    const RangeDigest *digest; // of the signed region, made while reading; may be absent
};

enum class Outcome { Installed, Skipped, Failed };

Outcome install_flash_component(const TypeRule &rule, const Component &c, const Walk &walk)
{
    if (walk.skipSameVersion && same_version_installed(c.data, walk.slot)) {
        puts("Image has same version as existing image. Skipping update...");
        return Outcome::Skipped;
    }
    const uint8_t *data = rule.payloadOnly ? c.data + c.header.headerLength : c.data;
    const uint32_t length = rule.payloadOnly ? c.header.payloadLength : c.length;
    if (flash_write_partition(data, flashFd[rule.partition], 0, length, 1) != 0) {
        puts(rule.writeFailed);
        return Outcome::Failed;
    }
    if (rule.type == CT::UBOOT) {
        UniqueFile hdr(fopen(UBOOT_HEADER_FILE, "wb"));
        if (!hdr)
            puts("WARNING: Unable to open /user/images/uboot-hdr for writing");
        else if (fwrite(c.data, 1, c.header.headerLength, hdr.get()) != c.header.headerLength ||
                 fflush(hdr.get()) != 0)
            printf("WARNING: Uboot header file updated failed (err %d)\n", errno);
    } else if (rule.type == CT::DIAGNOSTICS) {
        puts("done");
    }
    return Outcome::Installed;
}

// Writes the component beside the slot file and renames it over, so that the
// slot holds the old or the new image whenever the power goes.
Outcome write_slot(const Component &c, int slot)
{
    char path[32], temp[40];
    snprintf(path, sizeof path, "%s/image%d", IMAGES_DIR, slot);
    snprintf(temp, sizeof temp, "%s/.image%d.new", IMAGES_DIR, slot);
    ensure_images_dir();
    // A write cut short leaves its temporary file behind, and the small /user
    // partition may need that space for this one.
    for (int s = 1; s <= 2; s++) {
        char stale[40];
        snprintf(stale, sizeof stale, "%s/.image%d.new", IMAGES_DIR, s);
        unlink(stale);
    }
    UniqueFd fd(create_file(temp));
    if (fd.fd < 0)
        return Outcome::Failed;
    fputs("    ", stdout);
    bool ok = true;
    for (uint32_t written = 0; ok && written < c.length;) {
        const uint32_t piece = std::min(c.length - written, WRITE_PIECE);
        ok = write_all(fd.fd, c.data + written, piece);
        if (ok) {
            written += piece;
            printf("\b\b\b\b%3.3d%c", static_cast<int>(uint64_t{written} * 100 / c.length), '%');
            fflush(stdout);
        }
    }
    ok = ok && fsync(fd.fd) == 0;
    ok = fd.release_close() == 0 && ok;
    ok = ok && rename(temp, path) == 0;
    if (!ok) {
        const int err = errno;
        unlink(temp);
        printf("Image%d update failed (err %d)\n", slot, err);
        return Outcome::Failed;
    }
    // The rename itself must reach the flash before the boot record points at it.
    UniqueFd dir(open(IMAGES_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        fsync(dir.fd);
    printf("\b\b\b\b100%c\n", '%');
    printf("\nImage%d updated succeeded\n", slot);
    eeprom_set_boot_selection(static_cast<uint8_t>(slot));
    record_install_time(slot);
    return Outcome::Installed;
}

Outcome boot_at_once(const Component &c, Walk &walk, ComponentBuffer &buffer)
{
    puts("Booting downloaded image");
    UniqueFd fd(create_file(BOOT_PAYLOAD_FILE));
    if (fd.fd < 0)
        return Outcome::Failed;
    if (!write_all(fd.fd, c.data + c.header.headerLength, c.header.payloadLength) ||
        fd.release_close() != 0) {
        printf("Image unpack failed (err %d)\n", errno);
        return Outcome::Failed;
    }
    puts("Image ready to boot...");
    fclose(walk.package);
    walk.package = nullptr;
    buffer.reset();
    launch_application(0);
}

Outcome install_application(const Component &c, Walk &walk, ComponentBuffer &buffer)
{
    if (walk.slot == 0) {
        printf("Install image as image 1 or 2 (hit return to just boot image): ");
        fflush(stdout);
        char line[32];
        if (read_answer(line) && (line[0] == '1' || line[0] == '2'))
            walk.slot = line[0] - '0';
    }
    if (walk.slot == 0)
        return boot_at_once(c, walk, buffer);
    printf("Installing image as image%d: ", walk.slot);
    if (walk.skipSameVersion && same_version_installed(c.data, walk.slot)) {
        printf("Image%d has same version as existing image. Skipping update...\n", walk.slot);
        return Outcome::Skipped;
    }
    return write_slot(c, walk.slot);
}

Outcome install_nos_application(const Component &c, Walk &walk)
{
    while (walk.slot == 0) {
        printf("Install image as image 1 or 2 (q to quit): ");
        fflush(stdout);
        char line[32];
        // Nobody left to answer: asking again would spin for ever.
        if (!read_answer(line) || line[0] == 'q' || line[0] == 'Q')
            return Outcome::Failed;
        if (line[0] == '1' || line[0] == '2')
            walk.slot = line[0] - '0';
    }
    printf("Installing image as image%d: ", walk.slot);
    printf("Preparing image for installation: ");
    if (!write_file_with_progress(NOS_PAYLOAD_FILE, c.data + c.header.headerLength, c.header.payloadLength)) {
        printf("WARNING: writing image file failed (err %d)\n", errno);
        return Outcome::Failed;
    }
    printf("\nImage%d updated succeeded\n", walk.slot);
    eeprom_set_boot_selection(static_cast<uint8_t>(walk.slot));
    return Outcome::Installed;
}

// Everything after the announcement for one component that was read whole.
Outcome install_component(const TypeRule &rule, const Component &c, Walk &walk, ComponentBuffer &buffer)
{
    if (rule.tooBig) {
        const uint32_t measured = rule.limitOnPayload ? c.header.payloadLength : c.length;
        if (measured > rule.limit) {
            printf(rule.tooBig, static_cast<int>(measured), static_cast<int>(rule.limit));
            return Outcome::Failed;
        }
    }
    if (rule.checkSignature &&
        verify_image_signature(std::span<const uint8_t>(c.data, c.length), c.digest) == 0)
        return Outcome::Failed;
    if (rule.partition != NO_PARTITION)
        return install_flash_component(rule, c, walk);
    if (rule.type == CT::APPLICATION)
        return install_application(c, walk, buffer);
    return install_nos_application(c, walk);
}

} // namespace

int install_package(const char *path, int skipSameVersion, int slot)
{
    UniqueFile package(fopen(path, "rb"));
    if (!package) {
        printf("Cannot open %s: %s\n", path, strerror(errno));
        return 0;
    }
    ensure_images_dir();
    puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    struct stat st;
    const uint64_t fileSize = fstat(fileno(package.get()), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;

    Walk walk{package.get(), skipSameVersion, slot, 0};
    uint64_t position = 0; // 64 bits: lengths from the package only ever move it forward
    for (;;) {
        uint8_t probe[COMPONENT_PROBE_SIZE];
        if (position > fileSize || fseeko(package.get(), static_cast<off_t>(position), SEEK_SET) != 0 ||
            fread(probe, 1, sizeof probe, package.get()) != sizeof probe)
            break;
        const ParsedHeader header = parse_header(std::span<const uint8_t, COMPONENT_PROBE_SIZE>(probe));
        const uint32_t length = component_length(header);
        const TypeRule *rule = find_rule(component_type(header.magic));
        if (!rule) {
            // Stepped over unread; a zero length would never move on.
            if (length == 0)
                break;
            position += length;
            continue;
        }
        // Never more than the package holds: the length is the package's word.
        const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(length, fileSize - position));
        ComponentBuffer buffer = alloc_component_buffer(std::max<uint32_t>(wanted, 1));
        if (!buffer) {
            printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(length));
            return 0;
        }
        ComponentRead read;
        const size_t got = read_component(fileno(package.get()), position, buffer.get(), wanted, read);
        position += length;

        fputs(rule->announcement, stdout);
        fflush(stdout);
        // A component cut short, or too short to hold its own header, gets the
        // CRC of what is there and is refused like any other bad CRC.
        const uint32_t crc = read.crc;
        const bool whole = got == length && length >= IMAGE_HEADER_SIZE && header.headerLength <= length;
        if (!whole || crc != load_be32(buffer.get())) {
            printf(rule->badCrc, crc);
            return 0;
        }
        const Component c{buffer.get(), length, header, read.hashed ? &read.digest : nullptr};
        const Outcome outcome = install_component(*rule, c, walk, buffer);
        if (outcome == Outcome::Failed)
            return 0;
        if (outcome == Outcome::Installed)
            walk.installed = 1;
    }
    if (!walk.installed)
        puts("ERROR: No valid image found");
    return walk.installed;
}

int same_version_installed(const uint8_t *header, int slot)
{
    uint8_t installed[IMAGE_HEADER_SIZE];
    const uint32_t type = component_type(load_be32(header + 8));
    if (!read_installed_header(type, installed, slot))
        return 0;
    // The boot loader's copy carries no CRC of its own component.
    const size_t from = type == CT::UBOOT ? 4 : 0;
    return memcmp(header + from, installed + from, IMAGE_HEADER_SIZE - from) == 0 ? 1 : 0;
}

int write_file_with_progress(const char *path, const uint8_t *data, uint32_t length)
{
    UniqueFd fd(create_file(path));
    if (fd.fd < 0)
        return 0;
    fputs("    ", stdout);
    uint64_t last = 0;
    for (uint32_t written = 0; written < length;) {
        const uint32_t piece = std::min(length - written, WRITE_PIECE);
        if (!write_all(fd.fd, data + written, piece)) {
            const int err = errno;
            printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path, err,
                   static_cast<int>(written), static_cast<int>(length), static_cast<int>(piece));
            errno = err;
            return 0;
        }
        written += piece;
        // Whole 256-byte blocks keep the product small; short files have none.
        const uint64_t pct =
            length >= 256 ? uint64_t{written / 256} * 100 / (length / 256) : uint64_t{written} * 100 / length;
        if (pct != last) {
            printf("\b\b\b\b%3.3d%c", static_cast<int>(pct), '%');
            fflush(stdout);
            last = pct;
        }
    }
    printf("\b\b\b\b100%c\n", '%');
    return 1;
}

int show_installed_versions()
{
    static constexpr struct {
        uint32_t type;
        int slot;
        const char *line;
    } rows[] = {
        {CT::UBOOT, 0, "\tBoot image  : %d.%d.%d.%d\n"},
        {CT::RFS, 0, "\tRFS image   : %d.%d.%d.%d\n"},
        {CT::KERNEL, 0, "\tKernel image: %d.%d.%d.%d\n"},
        {CT::DFT, 0, "\tDFT image   : %d.%d.%d.%d\n"},
        {CT::APPLICATION, 1, "\tOS image 1  : %d.%d.%d.%d\n"},
        {CT::APPLICATION, 2, "\tOS image 2  : %d.%d.%d.%d\n"},
    };
    puts("Installed images versions: ");
    for (const auto &row : rows) {
        uint8_t header[IMAGE_HEADER_SIZE];
        read_installed_header(row.type, header, row.slot);
        const uint8_t *id = header + 12;
        printf(row.line, id[0], id[1], id[2], id[3]);
    }
    return 0;
}

int append_install_log(const char *file, const char *source)
{
    RtcTime t{}; // an unreadable clock leaves all zero
    rtc_read_time(&t);
    const int n = snprintf(nullptr, 0, "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n",
                           file, source, t.bytes[2] & 0x3F, t.bytes[1] & 0x7F, t.bytes[0] & 0x7F,
                           t.bytes[4] & 0x3F, t.bytes[5] & 0x1F, t.bytes[6]);
    std::string line(static_cast<size_t>(n > 0 ? n : 0), '\0');
    snprintf(line.data(), line.size() + 1,
             "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n", file, source,
             t.bytes[2] & 0x3F, t.bytes[1] & 0x7F, t.bytes[0] & 0x7F, t.bytes[4] & 0x3F, t.bytes[5] & 0x1F,
             t.bytes[6]);
    printf("Updating install log. %s", line.c_str());
    UniqueFile log(fopen(INSTALL_LOG, "a"));
    if (!log) {
        printf("Cannot open %s: %s\n", INSTALL_LOG, strerror(errno));
        return 0;
    }
    fputs(line.c_str(), log.get());
    return 1;
}
