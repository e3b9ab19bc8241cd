#include "security/board_child.h"

namespace {

const uint8_t *u8(const char *s) { return reinterpret_cast<const uint8_t *>(s); }

std::string encrypt(const std::string &text, const char *serial)
{
    uint32_t n = 0;
    auto c =
        imgsign_encrypt(u8(serial), SERIAL_LENGTH, u8(text.data()), static_cast<uint32_t>(text.size()), &n);
    return c ? std::string(c.get(), c.get() + n) : "encrypt failed";
}

std::string decrypt(const std::string &file, const char *serial)
{
    uint32_t n = 0;
    auto p =
        imgsign_decrypt(u8(serial), SERIAL_LENGTH, u8(file.data()), static_cast<uint32_t>(file.size()), &n);
    return p ? std::string(p.get(), p.get() + n) : "decrypt failed";
}

const std::string PROD(BUILTIN_PRODUCTION_KEY, 451), DEV(BUILTIN_DEVELOPMENT_KEY, 451), NUL(1, '\0');

TEST(KeyFileCrypto, RoundTripAndPadding)
{
    const struct {
        std::string text;
        size_t fileSize;
        std::string decrypted;
    } cases[] = {
        {PROD + NUL, 464, PROD},
        {std::string("abc\0def", 7), 16, "abc"}, // decryption stops at the first NUL
        {std::string(32, 'k'), 32, std::string(32, 'k')},
        {"", 0, ""},
    };
    for (const auto &c : cases) {
        const std::string file = encrypt(c.text, "KS2207000431");
        EXPECT_EQ(file.size(), c.fileSize) << c.decrypted;
        EXPECT_EQ(decrypt(file, "KS2207000431"), c.decrypted);
        EXPECT_NE(decrypt(file, "KS2207000432"),
                  c.decrypted.empty() ? "x" : c.decrypted); // the serial counts
    }
}

class KeyStore : public SecurityBoard {};

const std::string ABSENT = "(absent)";

TEST_F(KeyStore, CheckSystemKeys)
{
    const std::string warn = "WARNING: Serial # not set on this unit. Built in keys must be used\n";
    const std::string wrongSize = "Input data is not AES size correct\n";
    const std::string good = "(the built-in key under this serial)";
    const struct {
        std::string serial, prodFile, devFile;
        int result;
        std::string out, prodAfter, devAfter;
        bool wiped; // "rm /user/*.pem" ran
    } cases[] = {
        {std::string(12, '\0'), ABSENT, ABSENT, 1, warn + warn, ABSENT, ABSENT, false},
        {SERIAL, ABSENT, ABSENT, 1, "", good, good, false},
        {SERIAL, encrypt(PROD + NUL, SERIAL), encrypt(DEV + NUL, SERIAL), 1, "", good, good, false},
        {SERIAL, std::string(501, 'x'), ABSENT, 0, "ERROR loading key as length too long 501 > 500\n",
         std::string(501, 'x'), ABSENT, false},
        {SERIAL, PROD, ABSENT, 1, wrongSize + "Updating system key....\n", good, good, true},
        // The wipe takes the production file loaded just before; its next load re-creates it.
        {SERIAL, ABSENT, DEV, 1, wrongSize + "Updating system development key....\n", ABSENT, good, true},
        {SERIAL, encrypt(PROD + NUL, "KS2207000999"), ABSENT, 1, "Updating system key....\n", good, good,
         false},
        {SERIAL, ABSENT, encrypt(DEV + NUL, SERIAL).substr(0, 448), 1,
         "Updating system development key....\n", good, good, false},
        {SERIAL, "", ABSENT, 1, "Updating system key....\n", good, good, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        std::filesystem::remove_all(root_ + "/user");
        set_serial(c.serial);
        ASSERT_TRUE(sim_board_write_file("/user/other.pem", "x"));
        for (auto [path, contents] :
             {std::pair(PRODUCTION_KEY_PATH, c.prodFile), {DEVELOPMENT_KEY_PATH, c.devFile}})
            ASSERT_TRUE(contents == ABSENT || sim_board_write_file(path, contents));
        const ChildRun r = run([] { return check_system_keys(); });
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.out, c.out);
        for (auto [path, builtin, want] :
             {std::tuple(PRODUCTION_KEY_PATH, PROD, c.prodAfter), {DEVELOPMENT_KEY_PATH, DEV, c.devAfter}}) {
            std::string file;
            if (!sim_board_read_file(path, file))
                file = ABSENT;
            if (want == good) {
                EXPECT_EQ(file.size(), 464u) << path;
                EXPECT_EQ(decrypt(file, SERIAL), builtin) << path;
            } else {
                EXPECT_EQ(file, want) << path;
            }
        }
        EXPECT_EQ(exists("/user/other.pem"), !c.wiped);
    }
}

} // namespace

namespace {

// Loads that cannot end in a key file, and lengths refused before any allocation.
TEST_F(KeyStore, RefusedLoadsAndLengths)
{
    const std::string none = "ERROR - unable to find system key\n";
    const struct {
        const char *name;
        std::string serial;
        bool userDir;
        int (*fn)();
        int result;
        std::string out;
    } cases[] = {
        {"no record", SERIAL, true, [] { return load_system_key(nullptr, PRODUCTION_KEY_PATH); }, 0, ""},
        {"zero serial, other path", std::string(12, '\0'), true,
         [] {
             KeyRecord k;
             return load_system_key(&k, "/user/other.pem");
         },
         0, "WARNING: Serial # not set on this unit. Built in keys must be used\n"},
        {"other path absent", SERIAL, true,
         [] {
             KeyRecord k;
             return load_system_key(&k, "/user/other.pem");
         },
         0, none},
        {"other path present", SERIAL, true,
         [] {
             KeyRecord k;
             imgsign_write_key_file(u8("abc"), 4, "/user/other.pem", u8(SERIAL), SERIAL_LENGTH);
             return int(load_system_key(&k, "/user/other.pem") && k.length == 3 &&
                        memcmp(k.text, "abc", 3) == 0);
         },
         1, ""}, // no built-in key to compare it with: taken as it is
        {"no /user to create it in", SERIAL, false, [] { return check_system_keys(); }, 0,
         "ERROR creating file /user/production_key.pub.pem\n" + none},
        {"encrypt past 2 GiB", SERIAL, true,
         [] {
             uint32_t n = 0;
             return int(imgsign_encrypt(u8(SERIAL), SERIAL_LENGTH, u8(""), 0xFFFFFFF0u, &n) != nullptr);
         },
         0, "Encrypt malloc failed!\n"},
        {"decrypt past 2 GiB", SERIAL, true,
         [] {
             uint32_t n = 0;
             return int(imgsign_decrypt(u8(SERIAL), SERIAL_LENGTH, u8(""), 0x80000000u, &n) != nullptr);
         },
         0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root_ + "/user");
        if (c.userDir)
            std::filesystem::create_directories(root_ + "/user");
        set_serial(c.serial);
        const ChildRun r = run(c.fn);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.out, c.out);
    }
}

} // namespace
