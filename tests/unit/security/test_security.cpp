// Runs in a forked child on a simulated board: /user, /tmp and /dev/mtd-rfs are never the host's.
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "crypto/support.h"
#include "image/image_builder.h"
#include "loader/board_fixture.h"
#include "security/builtin_keys.h"
#include "security/keystore.h"
#include "security/signature.h"

namespace {

// Own user and mount namespaces, so neither the bind mount nor the chroot reaches the host.
bool enter_board(const std::string &root)
{
    const auto put = [](const char *path, const std::string &s) {
        return bool(std::ofstream(path) << s << std::flush);
    };
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && put("/proc/self/setgroups", "deny") &&
           put("/proc/self/uid_map", "0 " + uid + " 1") && put("/proc/self/gid_map", "0 " + gid + " 1") &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("/usr", (root + "/usr").c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
           chroot(root.c_str()) == 0 && chdir("/") == 0;
}

constexpr char SERIAL[] = "KS2207000431";
std::string test_key(const char *name) { return std::string(IMGL_TEST_KEYS_DIR "/") + name; }
enum class LowSec { Off, Marker };

// A board with /user, /tmp and a shell for "rm /user/*.pem".
class Security : public BoardTest {
  protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        for (const char *dir : {"/usr", "/user", "/tmp"})
            std::filesystem::create_directories(root_ + dir);
        for (const char *link : {"bin", "lib", "lib64", "sbin"})
            std::filesystem::create_directory_symlink(std::string("usr/") + link, root_ + "/" + link);
        // qemu-ppc is multi-threaded and cannot enter a user namespace; the host run covers these.
        if (run_in_board([this] { return enter_board(root_); }, [] { return 0; }).result != 0)
            GTEST_SKIP() << "no user and mount namespaces in this process (emulated?)";
        if (read_file(test_key("production.pub.pem")) != to_bytes(BUILTIN_PRODUCTION_KEY) ||
            read_file(test_key("development.pub.pem")) != to_bytes(BUILTIN_DEVELOPMENT_KEY))
            GTEST_SKIP() << "the built-in keys are not the test keys";
    }
    // Fresh /user (none when serial is empty), the serial in the EEPROM, and the
    // root filesystem partition and low-security marker.
    void board(std::string serial, const Bytes &rfs = {}, LowSec lowSec = LowSec::Off)
    {
        std::filesystem::remove_all(root_ + "/user");
        if (!serial.empty())
            std::filesystem::create_directories(root_ + "/user");
        std::string eeprom(8192, '\xff'), part(64 * 1024, '\xff');
        eeprom.replace(EEPROM_SERIAL, EEPROM_SERIAL_LEN, serial.empty() ? SERIAL : serial);
        ASSERT_TRUE(sim_board_write_file("/board/eeprom.bin", eeprom));
        ASSERT_TRUE(
            sim_board_write_file("/dev/mtd-rfs", part.replace(part.begin(), part.begin() + long(rfs.size()),
                                                              rfs.begin(), rfs.end())));
        std::filesystem::remove(root_ + "/tmp/lowsec");
        ASSERT_TRUE(lowSec != LowSec::Marker || sim_board_write_file("/tmp/lowsec", "trelmock\n"));
    }
    // fn runs on the board (its buses open) with input as its standard input.
    ChildRun run(const std::function<int()> &fn, const std::string &input = "")
    {
        return run_in_board(
            [this] { return enter_board(root_) && (sim_board_set_root(""), i2c_open_buses(), true); }, fn,
            input);
    }
};

const uint8_t *u8(const char *s) { return reinterpret_cast<const uint8_t *>(s); }
const std::string PROD(BUILTIN_PRODUCTION_KEY, 451), DEV(BUILTIN_DEVELOPMENT_KEY, 451), ABSENT = "(absent)";

// Its encryption is pinned against an independent AES by the key-file tool's system test.
std::string key_file(const std::string &text, const char *serial)
{
    uint32_t n = 0;
    const auto c =
        imgsign_encrypt(u8(serial), SERIAL_LENGTH, u8(text.c_str()), uint32_t(text.size() + 1), &n);
    return std::string(c.get(), c.get() + n);
}

int load(const char *path)
{
    KeyRecord k;
    return load_system_key(&k, path);
}

TEST_F(Security, KeyStore)
{
    const std::string warn = "WARNING: Serial # not set on this unit. Built in keys must be used\n";
    const std::string wrongSize = "Input data is not AES size correct\n",
                      update = "Updating system key....\n";
    const std::string none = "ERROR - unable to find system key\n", zero(12, '\0');
    const std::string good[] = {key_file(PROD, SERIAL), key_file(DEV, SERIAL)}, G = "(good)";
    const struct {
        std::string serial, prodFile, devFile;
        int result;
        std::string out, prodAfter, devAfter;
        bool wiped = false; // "rm /user/*.pem" ran
        int (*fn)() = check_system_keys;
    } cases[] = {
        {zero, ABSENT, ABSENT, 1, warn + warn, ABSENT, ABSENT},
        {SERIAL, good[0], good[1], 1, "", G, G},
        {SERIAL, ABSENT, std::string(501, 'x'), 0, "ERROR loading key as length too long 501 > 500\n", G,
         std::string(501, 'x')},
        {SERIAL, PROD, ABSENT, 1, wrongSize + update, G, G, true},
        // The wipe takes the production file loaded just before; its next load re-creates it.
        {SERIAL, ABSENT, DEV, 1, wrongSize + "Updating system development key....\n", ABSENT, G, true},
        {SERIAL, key_file(PROD, "KS2207000999"), ABSENT, 1, update, G, G},
        {SERIAL, key_file(std::string(451, 'k'), SERIAL), ABSENT, 1, update, G, G},
        {"", ABSENT, ABSENT, 0, "ERROR creating file /user/production_key.pub.pem\n" + none, ABSENT, ABSENT},
        // Loads that cannot end in a key file.
        {SERIAL, ABSENT, ABSENT, 0, "", ABSENT, ABSENT, false,
         [] { return load_system_key(nullptr, PRODUCTION_KEY_PATH); }},
        {zero, ABSENT, ABSENT, 0, warn, ABSENT, ABSENT, false, [] { return load("/user/other.pem"); }},
        {SERIAL, ABSENT, ABSENT, 0, none, ABSENT, ABSENT, false, [] { return load("/user/other.pem"); }},
        // Another path: no built-in key to fall back on or to compare with.
        {SERIAL, ABSENT, ABSENT, 1, wrongSize, ABSENT, ABSENT, true, [] { return load("/user/kept.pem"); }},
        {SERIAL, ABSENT, ABSENT, 0, "", ABSENT, ABSENT, false,
         [] { // stat answers, open does not
             sockaddr_un a{AF_UNIX, "/user/sock.pem"};
             return bind(socket(AF_UNIX, SOCK_STREAM, 0), (sockaddr *)&a, sizeof a) ? 99 : load(a.sun_path);
         }},
        // Lengths refused before any allocation.
        {SERIAL, ABSENT, ABSENT, 0, "Encrypt malloc failed!\n", ABSENT, ABSENT, false,
         [] {
             uint32_t n = 0;
             return imgsign_write_key_file(u8(""), 0xFFFFFFF0u, PRODUCTION_KEY_PATH, u8(SERIAL),
                                           SERIAL_LENGTH) +
                    2 * (imgsign_decrypt(u8(SERIAL), SERIAL_LENGTH, u8(""), 0x80000000u, &n) != nullptr);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        board(c.serial);
        ASSERT_TRUE(c.serial.empty() || sim_board_write_file("/user/kept.pem", "x"));
        for (auto [path, contents] :
             {std::pair(PRODUCTION_KEY_PATH, c.prodFile), {DEVELOPMENT_KEY_PATH, c.devFile}})
            ASSERT_TRUE(contents == ABSENT || sim_board_write_file(path, contents));
        const ChildRun r = run(c.fn);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.out, c.out);
        for (auto [path, g, want] : {std::tuple(PRODUCTION_KEY_PATH, good[0], c.prodAfter),
                                     {DEVELOPMENT_KEY_PATH, good[1], c.devAfter}}) {
            std::string file;
            EXPECT_EQ(sim_board_read_file(path, file) ? file : ABSENT, want == G ? g : want) << path;
        }
        EXPECT_EQ(std::filesystem::exists(root_ + "/user/kept.pem"), !c.wiped && !c.serial.empty());
    }
}

namespace CT = ComponentType;

// An RSA/SHA-256 signature made by openssl with a private key of keys/test.
Bytes sign(const Bytes &payload, const char *key)
{
    std::ofstream(openssl_dir() + "/in.bin", std::ios::binary) << std::string(payload.begin(), payload.end());
    return openssl("dgst -sha256 -sign " + test_key(key), "sig.bin", "in.bin");
}

Bytes hdr3(const Bytes &p, const Bytes &e) { return make_component(FORMAT_HDR3, CT::APPLICATION, p, e); }
Bytes with_be16(Bytes c, size_t at, uint16_t v) { return store_be16(&c[at], v), c; }
Bytes with_be32(Bytes c, size_t at, uint32_t v) { return store_be32(&c[at], v), c; }

const std::string DEV_NOTE = "\nNOTE - developer images operational. Checking developer keys....\n";
const std::string LOW_NOTE = "\nNOTE - low security mode is operational. Checking developer keys....\n";
const std::string VERIFIED = " Image signature verified. ", REJECTED = " Image rejected. ";
const std::string NO_SIGNATURE = " Image rejected as it has no signature\n";
const std::string DEV_LOW = " but you are running developer images and are in low security mode\n";
const std::string UNSIGNED_WARNING = "\nWARNING: Image is unsigned" + DEV_LOW;
const std::string ALL_FAILED = "\nWARNING: All checks failed" + DEV_LOW;
const std::string TOO_LONG = "ERROR loading key as length too long 501 > 500\n";
std::string asked(char answer) { return std::string("Install image anyway? y/N? ") + answer + "\n"; }

// Components are exact-size heap copies, so an over-read in the lookup shows under the asan preset.
TEST_F(Security, SignatureDecisions)
{
    const Bytes payload = filler(3000, 7), rfsPayload = filler(2000, 9);
    const Bytes prodSig = sign(payload, "production.key.pem"), devSig = sign(payload, "development.key.pem");
    ASSERT_EQ(prodSig.size() + devSig.size(), 512u);
    const Bytes prod = hdr3(payload, signature_entry(prodSig)), dev = hdr3(payload, signature_entry(devSig));
    const Bytes bad = hdr3(payload, signature_entry(sign(rfsPayload, "production.key.pem")));
    const Bytes unsignedHdr3 = hdr3(payload, entry(TAG_TYPE, be32(CT::APPLICATION)));
    const Bytes plain = make_component(FORMAT_PLAIN, CT::APPLICATION, payload);
    const uint16_t hdrlen = load_be16(&prod[22]);
    // Root filesystems: erased flash and a signed one from the development key are developer;
    // one whose length runs past any partition, or past this one, proves nothing.
    const Bytes erased, rfsUnsigned = hdr3(rfsPayload, {});
    const Bytes rfsProd = hdr3(rfsPayload, signature_entry(sign(rfsPayload, "production.key.pem")));
    const Bytes rfsDev = hdr3(rfsPayload, signature_entry(sign(rfsPayload, "development.key.pem")));
    const Bytes rfsHuge = with_be32(rfsDev, 4, 0xFFFFFFF0u), rfsPastPart = with_be32(rfsDev, 4, 0x100000);
    // Digests made while reading, all wrong: used only when their range is the one the lookup finds.
    const auto at = [](bool present, uint64_t from, uint64_t to) {
        return RangeDigest{{present, from, to}, {}};
    };
    const uint64_t n = prod.size();
    const RangeDigest read[] = {at(true, hdrlen, n), at(false, hdrlen, n), at(true, hdrlen + 1, n),
                                at(true, hdrlen, n - 1)};
    const struct {
        Bytes image;
        const Bytes &rfs;
        LowSec lowSec;
        char answer;
        int result;
        std::string out;
        const char *longKey = nullptr; // too long to be a key file: its load fails
        const RangeDigest *known = nullptr;
    } rows[] = {
        // Unsigned: the operator decides only on a developer switch in low-security mode.
        {plain, erased, LowSec::Marker, 'Y', 1, UNSIGNED_WARNING + asked('Y')},
        {unsignedHdr3, rfsDev, LowSec::Marker, 'n', 0, UNSIGNED_WARNING + asked('n')},
        {unsignedHdr3, erased, LowSec::Off, 0, 0, NO_SIGNATURE},
        {plain, rfsProd, LowSec::Marker, 0, 0, NO_SIGNATURE},
        {hdr3(payload, cat({be16(9), be16(0), signature_entry(prodSig)})), erased, LowSec::Off, 0, 0,
         NO_SIGNATURE}, // the entry walk stops at a zero length
        // Production signature: accepted without a NOTE (on a developer switch too: the boot system tests).
        {prod, rfsProd, LowSec::Off, 0, 1, VERIFIED},
        // Development signature: only on a developer switch or in low-security mode.
        {dev, rfsUnsigned, LowSec::Off, 0, 0, REJECTED}, // a header without signature is not developer
        {dev, rfsHuge, LowSec::Off, 0, 0, REJECTED},
        {dev, rfsPastPart, LowSec::Off, 0, 0, REJECTED},
        {dev, rfsDev, LowSec::Marker, 0, 1, DEV_NOTE + VERIFIED},
        {dev, rfsProd, LowSec::Marker, 0, 1, LOW_NOTE + VERIFIED},
        // Neither key: rejected, unless developer and low security and the operator says yes.
        {bad, rfsDev, LowSec::Off, 0, 0, DEV_NOTE + REJECTED},
        {bad, rfsProd, LowSec::Marker, 0, 0, LOW_NOTE + REJECTED},
        {bad, erased, LowSec::Marker, 'y', 1, DEV_NOTE + ALL_FAILED + asked('y') + VERIFIED},
        {bad, erased, LowSec::Marker, 'n', 0, DEV_NOTE + ALL_FAILED + asked('n') + REJECTED},
        // The last signature entry counts.
        {hdr3(payload, cat({signature_entry(devSig), signature_entry(prodSig)})), rfsProd, LowSec::Off, 0, 1,
         VERIFIED},
        {hdr3(payload, cat({signature_entry(prodSig), signature_entry(devSig)})), rfsProd, LowSec::Off, 0, 0,
         REJECTED},
        // Malformed: refused without a question, even on a developer switch in low-security mode.
        {with_be16(prod, 28, 257), erased, LowSec::Marker, 0, 0, REJECTED}, // signature past its entry
        {hdr3(payload, entry(TAG_SIGNATURE, {1})), erased, LowSec::Marker, 0, 0, REJECTED},
        {with_be16(prod, 26, 263), erased, LowSec::Marker, 0, 0, REJECTED}, // entry past hdrlen
        {with_be16(prod, 22, uint16_t(prod.size() + 1)), erased, LowSec::Marker, 0, 0, REJECTED},
        {with_be32(prod, 4, hdrlen - 17u), erased, LowSec::Marker, 0, 0, REJECTED}, // len below hdrlen
        {with_be32(prod, 4, load_be32(&prod[4]) + 1), erased, LowSec::Marker, 0, 0, REJECTED},
        {with_be32(prod, 4, 0xFFFFFFF8u), erased, LowSec::Marker, 0, 0, REJECTED}, // len wraps
        // A key that cannot be loaded settles nothing: no verdict, and no developer switch.
        {prod, rfsProd, LowSec::Off, 0, 0, TOO_LONG, PRODUCTION_KEY_PATH},
        {dev, erased, LowSec::Off, 0, 0, DEV_NOTE + TOO_LONG, DEVELOPMENT_KEY_PATH},
        {dev, rfsDev, LowSec::Off, 0, 0, TOO_LONG + REJECTED, DEVELOPMENT_KEY_PATH},
        {prod, rfsUnsigned, LowSec::Off, 0, 0, REJECTED, nullptr, &read[0]},
        {prod, rfsUnsigned, LowSec::Off, 0, 1, VERIFIED, nullptr, &read[1]},
        {prod, rfsUnsigned, LowSec::Off, 0, 1, VERIFIED, nullptr, &read[2]},
        {prod, rfsUnsigned, LowSec::Off, 0, 1, VERIFIED, nullptr, &read[3]},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        board(SERIAL, row.rfs, row.lowSec);
        ASSERT_TRUE(!row.longKey || sim_board_write_file(row.longKey, std::string(501, 'k')));
        const ChildRun r = run([&row] { return verify_image_signature(row.image, row.known); },
                               row.answer ? std::string(1, row.answer) : "");
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.out, row.out);
    }
    // A root filesystem that cannot be read proves nothing: not developer, and asked again.
    for (const std::string how : {"fail rfs read 1", "short", "absent"}) {
        board(SERIAL); // erased: developer once readable
        ASSERT_TRUE(
            sim_board_write_file("/board/config", how[0] == 'f' ? "time_scale 0\n" + how : "time_scale 0"));
        ASSERT_TRUE(how != "short" || sim_board_write_file("/dev/mtd-rfs", std::string(20, '\xff')));
        ASSERT_TRUE(how != "absent" || std::filesystem::remove(root_ + "/dev/mtd-rfs"));
        EXPECT_EQ(run([] { return is_developer_image() * 10 + is_developer_image(); }).result, how[0] == 'f')
            << how;
    }
}

} // namespace
