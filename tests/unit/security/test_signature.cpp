#include "boot/boot_options.h"
#include "security/board_child.h"
#include "security/signature.h"

namespace {

namespace CT = ComponentType;

// An RSA/SHA-256 signature made by openssl with a private key of keys/test.
Bytes sign(const Bytes &payload, const char *key)
{
    std::ofstream(openssl_dir() + "/in.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(payload.data()), static_cast<std::streamsize>(payload.size()));
    return openssl("dgst -sha256 -sign " + test_key(key), "sig.bin", "in.bin");
}

Bytes hdr3(const Bytes &payload, const Bytes &entries)
{
    return make_component(FORMAT_HDR3, CT::APPLICATION, payload, entries);
}

const Bytes PAYLOAD = filler(3000, 7), RFS_PAYLOAD = filler(2000, 9);

enum class LowSec { Off, Marker, Override };

class Signature : public SecurityBoard {
  protected:
    void SetUp() override
    {
        SecurityBoard::SetUp();
        if (read_file(test_key("production.pub.pem")) != to_bytes(BUILTIN_PRODUCTION_KEY) ||
            read_file(test_key("development.pub.pem")) != to_bytes(BUILTIN_DEVELOPMENT_KEY))
            GTEST_SKIP() << "the built-in keys are not the test keys";
    }
    void board(const Bytes &rfsComponent, LowSec lowSec, const char *longKey = nullptr)
    {
        for (const char *path : {PRODUCTION_KEY_PATH, DEVELOPMENT_KEY_PATH})
            std::filesystem::remove(root_ + path);
        // too long to be a key file: its load fails
        ASSERT_TRUE(!longKey || sim_board_write_file(longKey, std::string(501, 'k')));
        Bytes part(64 * 1024, 0xFF);
        std::copy(rfsComponent.begin(), rfsComponent.end(), part.begin());
        ASSERT_TRUE(sim_board_write_file("/dev/mtd-rfs", std::string(part.begin(), part.end())));
        std::filesystem::remove(root_ + "/tmp/lowsec");
        ASSERT_TRUE(lowSec != LowSec::Marker || sim_board_write_file("/tmp/lowsec", "trelmock\n"));
        bootOptions.lowSecAuthorised = lowSec == LowSec::Override; // inherited by the child
    }
    void TearDown() override
    {
        bootOptions.lowSecAuthorised = 0;
        SecurityBoard::TearDown();
    }
};

const std::string DEV_NOTE = "\nNOTE - developer images operational. Checking developer keys....\n";
const std::string LOW_NOTE = "\nNOTE - low security mode is operational. Checking developer keys....\n";
const std::string OVERRIDE = "NOTE: Uboot low security mode override enabled\n";
const std::string VERIFIED = " Image signature verified. ", REJECTED = " Image rejected. ";
const std::string NO_SIGNATURE = " Image rejected as it has no signature\n";
const std::string UNSIGNED_WARNING =
    "\nWARNING: Image is unsigned but you are running developer images and are in low security mode\n";
const std::string ALL_FAILED =
    "\nWARNING: All checks failed but you are running developer images and are in low security mode\n";
const std::string TOO_LONG = "ERROR loading key as length too long 501 > 500\n";
std::string asked(char answer) { return std::string("Install image anyway? y/N? ") + answer + "\n"; }

Bytes with_be16(Bytes c, size_t at, uint16_t v) { return store_be16(&c[at], v), c; }
Bytes with_be32(Bytes c, size_t at, uint32_t v) { return store_be32(&c[at], v), c; }

// Components are exact-size heap copies, so an over-read in the lookup shows under the asan preset.
TEST_F(Signature, DecisionTable)
{
    const Bytes prodSig = sign(PAYLOAD, "production.key.pem"), devSig = sign(PAYLOAD, "development.key.pem");
    ASSERT_EQ(prodSig.size() + devSig.size(), 512u);
    const Bytes prod = hdr3(PAYLOAD, signature_entry(prodSig)), dev = hdr3(PAYLOAD, signature_entry(devSig));
    const Bytes bad = hdr3(PAYLOAD, signature_entry(sign(RFS_PAYLOAD, "production.key.pem")));
    const Bytes unsignedHdr3 = hdr3(PAYLOAD, entry(TAG_TYPE, be32(CT::APPLICATION)));
    const Bytes plain = make_component(FORMAT_PLAIN, CT::APPLICATION, PAYLOAD);
    const uint16_t hdrlen = load_be16(&prod[22]);
    // Root filesystems: erased flash and a signed one from the development key are developer.
    const Bytes erased, rfsUnsigned = hdr3(RFS_PAYLOAD, {});
    const Bytes rfsProd = hdr3(RFS_PAYLOAD, signature_entry(sign(RFS_PAYLOAD, "production.key.pem")));
    const Bytes rfsDev = hdr3(RFS_PAYLOAD, signature_entry(sign(RFS_PAYLOAD, "development.key.pem")));
    // Digests made while reading, all wrong: used only when their range is the one the lookup finds.
    const RangeDigest read[] = {{{true, hdrlen, prod.size()}, {}},
                                {{false, hdrlen, prod.size()}, {}},
                                {{true, hdrlen + 1u, prod.size()}, {}},
                                {{true, hdrlen, prod.size() - 1}, {}}};
    const struct {
        Bytes image;
        const Bytes &rfs;
        LowSec lowSec;
        char answer;
        int result;
        std::string out;
        const char *longKey = nullptr;
        const RangeDigest *known = nullptr;
    } rows[] = {
        // Unsigned: the operator decides only on a developer switch in low-security mode.
        {plain, erased, LowSec::Marker, 'Y', 1, UNSIGNED_WARNING + asked('Y')},
        {unsignedHdr3, rfsDev, LowSec::Marker, 'n', 0, UNSIGNED_WARNING + asked('n')},
        {unsignedHdr3, erased, LowSec::Off, 0, 0, NO_SIGNATURE},
        {plain, rfsProd, LowSec::Marker, 0, 0, NO_SIGNATURE},
        {plain, rfsProd, LowSec::Override, 0, 0, OVERRIDE + OVERRIDE + NO_SIGNATURE},
        {hdr3(PAYLOAD, cat({be16(9), be16(0), signature_entry(prodSig)})), erased, LowSec::Off, 0, 0,
         NO_SIGNATURE}, // the entry walk stops at a zero length
        // Production signature: accepted whatever the mode, without a NOTE.
        {prod, rfsProd, LowSec::Off, 0, 1, VERIFIED},
        {prod, erased, LowSec::Marker, 0, 1, VERIFIED},
        // Development signature: only on a developer switch or in low-security mode.
        {dev, rfsProd, LowSec::Off, 0, 0, REJECTED},
        {dev, rfsUnsigned, LowSec::Off, 0, 0, REJECTED}, // a header without signature is not developer
        {dev, erased, LowSec::Off, 0, 1, DEV_NOTE + VERIFIED},
        {dev, rfsDev, LowSec::Marker, 0, 1, DEV_NOTE + VERIFIED},
        {dev, rfsProd, LowSec::Marker, 0, 1, LOW_NOTE + VERIFIED},
        {dev, rfsProd, LowSec::Override, 0, 1, OVERRIDE + LOW_NOTE + VERIFIED},
        // Neither key: rejected, unless developer and low security and the operator says yes.
        {bad, rfsDev, LowSec::Off, 0, 0, DEV_NOTE + REJECTED},
        {bad, rfsProd, LowSec::Marker, 0, 0, LOW_NOTE + REJECTED},
        {bad, erased, LowSec::Marker, 'y', 1, DEV_NOTE + ALL_FAILED + asked('y') + VERIFIED},
        {bad, erased, LowSec::Marker, 'n', 0, DEV_NOTE + ALL_FAILED + asked('n') + REJECTED},
        // The last signature entry counts.
        {hdr3(PAYLOAD, cat({signature_entry(devSig), signature_entry(prodSig)})), rfsProd, LowSec::Off, 0, 1,
         VERIFIED},
        {hdr3(PAYLOAD, cat({signature_entry(prodSig), signature_entry(devSig)})), rfsProd, LowSec::Off, 0, 0,
         REJECTED},
        // Malformed: refused without a question, even on a developer switch in low-security mode.
        {with_be16(prod, 28, 257), erased, LowSec::Marker, 0, 0, REJECTED}, // signature past its entry
        {hdr3(PAYLOAD, entry(TAG_SIGNATURE, {1})), erased, LowSec::Marker, 0, 0, REJECTED},
        {with_be16(prod, 26, 263), erased, LowSec::Marker, 0, 0, REJECTED}, // entry past hdrlen
        {with_be16(prod, 22, uint16_t(prod.size() + 1)), erased, LowSec::Marker, 0, 0, REJECTED},
        {with_be32(prod, 4, hdrlen - 17u), erased, LowSec::Marker, 0, 0, REJECTED}, // len below hdrlen
        {with_be32(prod, 4, load_be32(&prod[4]) + 1), erased, LowSec::Marker, 0, 0, REJECTED},
        {with_be32(prod, 4, 0xFFFFFFF8u), erased, LowSec::Marker, 0, 0, REJECTED}, // len wraps
        {Bytes(prod.begin(), prod.begin() + 23), erased, LowSec::Marker, 0, 0, REJECTED},
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
        board(row.rfs, row.lowSec, row.longKey);
        const ChildRun r = run([&row] { return verify_image_signature(row.image, row.known); },
                               row.answer ? std::string(1, row.answer) : "");
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.out, row.out);
    }
    // A lookup that sees less of the component than a probe, or than its header.
    std::span<const uint8_t> sig;
    SignedRange range;
    for (const size_t head : {size_t{23}, hdrlen - size_t{1}})
        EXPECT_EQ(locate_component_signature({prod.data(), head}, prod.size(), sig, range),
                  SignatureLookup::Malformed);
}

// A root filesystem that cannot be read proves nothing: not developer, and asked again.
TEST_F(Signature, UnreadableRootFilesystemFailsClosed)
{
    const struct {
        const char *fault;
        std::string rfs;
        int result; // first answer * 10 + second answer
    } rows[] = {
        {"fail rfs read 1", std::string(64 * 1024, '\xff'), 1}, // erased, so developer once readable
        {nullptr, std::string(20, '\xff'), 0},                  // ends inside the header
        {nullptr, "", 0},                                       // no partition at all
        // A signed header whose length is past any partition, or past this one.
        {nullptr,
         std::string("\0\0\0\0\xff\xff\xff\xf0", 8) + std::string(8, '\0') + "HDR3" + std::string(4, '\0'),
         0},
        {nullptr, std::string("\0\0\0\0\0\x10\0\0", 8) + std::string(8, '\0') + "HDR3" + std::string(4, '\0'),
         0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rfs.size());
        ASSERT_TRUE(sim_board_write_file("/board/config", "time_scale 0\n"));
        if (row.fault)
            config(row.fault);
        if (row.rfs.empty())
            std::filesystem::remove(root_ + "/dev/mtd-rfs");
        else
            ASSERT_TRUE(sim_board_write_file("/dev/mtd-rfs", row.rfs));
        EXPECT_EQ(run([] { return is_developer_image() * 10 + is_developer_image(); }).result, row.result);
    }
}

} // namespace
