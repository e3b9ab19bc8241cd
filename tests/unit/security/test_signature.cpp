#include "boot/boot_options.h"
#include "security/board_child.h"
#include "security/signature.h"

namespace {

namespace CT = ComponentType;

std::string host_file(const std::string &path)
{
    const Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

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

enum class Rfs { Erased, ProdSigned, DevSigned, Unsigned };
enum class LowSec { Off, Marker, Override };

class Signature : public SecurityBoard {
  protected:
    void SetUp() override
    {
        SecurityBoard::SetUp();
        if (host_file(test_key("production.pub.pem")) != BUILTIN_PRODUCTION_KEY ||
            host_file(test_key("development.pub.pem")) != BUILTIN_DEVELOPMENT_KEY)
            GTEST_SKIP() << "the built-in keys are not the test keys";
    }
    void board(const Bytes &rfsComponent, LowSec lowSec, const char *longKey = nullptr)
    {
        for (const char *path : {PRODUCTION_KEY_PATH, DEVELOPMENT_KEY_PATH})
            std::filesystem::remove(root_ + path);
        if (longKey) { // too long to be a key file: its load fails
            ASSERT_TRUE(sim_board_write_file(longKey, std::string(501, 'k')));
        }
        Bytes part(64 * 1024, 0xFF);
        std::copy(rfsComponent.begin(), rfsComponent.end(), part.begin());
        ASSERT_TRUE(sim_board_write_file("/dev/mtd-rfs", std::string(part.begin(), part.end())));
        std::filesystem::remove(root_ + "/tmp/lowsec");
        if (lowSec == LowSec::Marker) {
            ASSERT_TRUE(sim_board_write_file("/tmp/lowsec", "trelmock\n"));
        }
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

TEST_F(Signature, DecisionTable)
{
    const Bytes prodSig = sign(PAYLOAD, "production.key.pem"), devSig = sign(PAYLOAD, "development.key.pem");
    ASSERT_EQ(prodSig.size(), 256u);
    ASSERT_EQ(devSig.size(), 256u);
    const Bytes prod = hdr3(PAYLOAD, signature_entry(prodSig)), dev = hdr3(PAYLOAD, signature_entry(devSig));
    const Bytes bad = hdr3(PAYLOAD, signature_entry(sign(RFS_PAYLOAD, "production.key.pem")));
    const Bytes unsignedHdr3 = hdr3(PAYLOAD, entry(TAG_TYPE, be32(CT::APPLICATION)));
    const Bytes plain = make_component(FORMAT_PLAIN, CT::APPLICATION, PAYLOAD);
    const Bytes devThenProd = hdr3(PAYLOAD, cat({signature_entry(devSig), signature_entry(prodSig)}));
    const Bytes prodThenDev = hdr3(PAYLOAD, cat({signature_entry(prodSig), signature_entry(devSig)}));
    Bytes sigPastEntry = prod;
    store_be16(&sigPastEntry[HDR3_ENTRIES_OFFSET + 4], 257);
    // Root filesystems: erased flash and a signed one from the development key are developer.
    const Bytes erased, rfsUnsigned = hdr3(RFS_PAYLOAD, {});
    const Bytes rfsProd = hdr3(RFS_PAYLOAD, signature_entry(sign(RFS_PAYLOAD, "production.key.pem")));
    const Bytes rfsDev = hdr3(RFS_PAYLOAD, signature_entry(sign(RFS_PAYLOAD, "development.key.pem")));
    const struct {
        const Bytes &image, &rfs;
        LowSec lowSec;
        char answer;
        int result;
        std::string out;
        const char *longKey = nullptr;
    } rows[] = {
        // Unsigned: the operator decides only on a developer switch in low-security mode.
        {plain, erased, LowSec::Marker, 'Y', 1, UNSIGNED_WARNING + asked('Y')},
        {unsignedHdr3, rfsDev, LowSec::Marker, 'n', 0, UNSIGNED_WARNING + asked('n')},
        {unsignedHdr3, erased, LowSec::Off, 0, 0, NO_SIGNATURE},
        {plain, rfsProd, LowSec::Marker, 0, 0, NO_SIGNATURE},
        {plain, rfsProd, LowSec::Override, 0, 0, OVERRIDE + OVERRIDE + NO_SIGNATURE},
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
        // The last signature entry counts; a malformed one is refused without a question.
        {devThenProd, rfsProd, LowSec::Off, 0, 1, VERIFIED},
        {prodThenDev, rfsProd, LowSec::Off, 0, 0, REJECTED},
        {sigPastEntry, erased, LowSec::Marker, 0, 0, REJECTED},
        // A key that cannot be loaded settles nothing: no verdict, and no developer switch.
        {prod, rfsProd, LowSec::Off, 0, 0, TOO_LONG, PRODUCTION_KEY_PATH},
        {dev, erased, LowSec::Off, 0, 0, DEV_NOTE + TOO_LONG, DEVELOPMENT_KEY_PATH},
        {dev, rfsDev, LowSec::Off, 0, 0, TOO_LONG + REJECTED, DEVELOPMENT_KEY_PATH},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        board(row.rfs, row.lowSec, row.longKey);
        const Bytes &image = row.image;
        const ChildRun r = run([&image] { return verify_image_signature(image); },
                               row.answer ? std::string(1, row.answer) : "");
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.out, row.out);
    }
}

// A digest made while reading stands for the region only when its range is the one found.
TEST_F(Signature, DigestMadeWhileReading)
{
    const Bytes image = hdr3(PAYLOAD, signature_entry(sign(PAYLOAD, "production.key.pem")));
    const uint64_t from = load_be16(&image[22]), to = image.size();
    const struct {
        SignedRange range;
        int result;
    } rows[] = {
        {{true, from, to}, 0}, {{false, from, to}, 1}, {{true, from + 1, to}, 1}, {{true, from, to - 1}, 1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(&row - rows);
        board(hdr3(RFS_PAYLOAD, {}), LowSec::Off);
        const RangeDigest wrong{row.range, {}};
        EXPECT_EQ(run([&] { return verify_image_signature(image, &wrong); }).result, row.result);
    }
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

Bytes with_be16(Bytes c, size_t at, uint16_t v) { return store_be16(&c[at], v), c; }
Bytes with_be32(Bytes c, size_t at, uint32_t v) { return store_be32(&c[at], v), c; }

// Each lookup runs in an exact-size heap copy, so an over-read shows under the asan preset.
TEST(FindComponentSignature, BoundsAndEntries)
{
    const Bytes sig = filler(256, 3), shortSig = filler(8, 5);
    const Bytes good = hdr3(PAYLOAD, signature_entry(sig));
    const uint16_t hdrlen = load_be16(&good[22]);
    const uint32_t len = load_be32(&good[4]);
    using L = SignatureLookup;
    const struct {
        const char *name;
        Bytes component;
        L result;
        Bytes signature, region;
        size_t head = 0; // else the lookup sees only that much of the component
    } cases[] = {
        {"good", good, L::Found, sig, PAYLOAD},
        {"last of two", hdr3(PAYLOAD, cat({signature_entry(sig), signature_entry(shortSig)})), L::Found,
         shortSig, PAYLOAD},
        {"empty payload", hdr3({}, signature_entry(sig)), L::Found, sig, {}},
        {"plain", make_component(FORMAT_PLAIN, CT::APPLICATION, PAYLOAD), L::Unsigned, {}, {}},
        {"no signature entry", hdr3(PAYLOAD, entry(TAG_TYPE, be32(CT::APPLICATION))), L::Unsigned, {}, {}},
        {"walk stops at zero length",
         hdr3(PAYLOAD, cat({be16(9), be16(0), signature_entry(sig)})),
         L::Unsigned,
         {},
         {}},
        {"signature length past entry", with_be16(good, 28, 257), L::Malformed, {}, {}},
        {"entry past hdrlen", with_be16(good, 26, 263), L::Malformed, {}, {}},
        {"hdrlen past component", with_be16(good, 22, uint16_t(good.size() + 1)), L::Malformed, {}, {}},
        {"len below hdrlen", with_be32(good, 4, hdrlen - 17u), L::Malformed, {}, {}},
        {"len past buffer", with_be32(good, 4, len + 1), L::Malformed, {}, {}},
        {"len wraps", with_be32(good, 4, 0xFFFFFFF8u), L::Malformed, {}, {}},
        {"shorter than a probe", Bytes(good.begin(), good.begin() + 23), L::Malformed, {}, {}},
        {"signature entry of one byte", hdr3(PAYLOAD, entry(TAG_SIGNATURE, {1})), L::Malformed, {}, {}},
        {"head shorter than a probe", good, L::Malformed, {}, {}, 23},
        {"head ends inside the header", good, L::Malformed, {}, {}, hdrlen - 1u},
    };
    for (const auto &c : cases) {
        const std::unique_ptr<uint8_t[]> exact(new uint8_t[c.component.size()]);
        std::copy(c.component.begin(), c.component.end(), exact.get());
        ComponentSignature found{};
        std::span<const uint8_t> sig;
        SignedRange range;
        EXPECT_EQ(c.head ? locate_component_signature({exact.get(), c.head}, c.component.size(), sig, range)
                         : find_component_signature({exact.get(), c.component.size()}, found),
                  c.result)
            << c.name;
        if (c.result == L::Found) {
            EXPECT_EQ(Bytes(found.signature.begin(), found.signature.end()), c.signature) << c.name;
            EXPECT_EQ(Bytes(found.signedRegion.begin(), found.signedRegion.end()), c.region) << c.name;
        }
    }
}

} // namespace
