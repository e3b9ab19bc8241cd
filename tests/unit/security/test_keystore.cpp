#include <sys/socket.h>
#include <sys/un.h>

#include "security/board_child.h"

namespace {

const uint8_t *u8(const char *s) { return reinterpret_cast<const uint8_t *>(s); }

const std::string PROD(BUILTIN_PRODUCTION_KEY, 451), DEV(BUILTIN_DEVELOPMENT_KEY, 451);
const std::string ABSENT = "(absent)", GOOD = "(the built-in key under this serial)";

// A key file made independently of the loader: text, NUL and zero padding under
// AES-128-CBC with the serial zero-extended as key and a zero IV.
std::string key_file(const std::string &text, const std::string &serial)
{
    std::string plain = text + '\0', hexKey;
    plain.resize((plain.size() + 15) / 16 * 16, '\0');
    std::ofstream(openssl_dir() + "/key.in", std::ios::binary) << plain;
    for (const char c : serial)
        hexKey += "0123456789abcdef"[uint8_t(c) >> 4], hexKey += "0123456789abcdef"[c & 15];
    hexKey.resize(32, '0');
    const Bytes c = openssl(
        "enc -aes-128-cbc -nopad -K " + hexKey + " -iv " + std::string(32, '0') + " -in key.in", "key.out");
    return c.empty() ? "openssl failed" : std::string(c.begin(), c.end());
}

class KeyStore : public SecurityBoard {
  protected:
    void board(const std::string &serial, bool userDir = true)
    {
        std::filesystem::remove_all(root_ + "/user");
        if (userDir)
            std::filesystem::create_directories(root_ + "/user");
        set_serial(serial);
    }
};

TEST_F(KeyStore, CheckSystemKeys)
{
    const std::string warn = "WARNING: Serial # not set on this unit. Built in keys must be used\n";
    const std::string wrongSize = "Input data is not AES size correct\n",
                      update = "Updating system key....\n";
    const std::string good[] = {key_file(PROD, SERIAL), key_file(DEV, SERIAL)};
    const struct {
        std::string serial, prodFile, devFile;
        int result;
        std::string out, prodAfter, devAfter;
        bool wiped; // "rm /user/*.pem" ran
    } cases[] = {
        {std::string(12, '\0'), ABSENT, ABSENT, 1, warn + warn, ABSENT, ABSENT, false},
        {SERIAL, ABSENT, ABSENT, 1, "", GOOD, GOOD, false},
        {SERIAL, good[0], good[1], 1, "", GOOD, GOOD, false},
        {SERIAL, ABSENT, std::string(501, 'x'), 0, "ERROR loading key as length too long 501 > 500\n", GOOD,
         std::string(501, 'x'), false},
        {SERIAL, PROD, ABSENT, 1, wrongSize + update, GOOD, GOOD, true},
        // The wipe takes the production file loaded just before; its next load re-creates it.
        {SERIAL, ABSENT, DEV, 1, wrongSize + "Updating system development key....\n", ABSENT, GOOD, true},
        {SERIAL, key_file(PROD, "KS2207000999"), ABSENT, 1, update, GOOD, GOOD, false},
        {SERIAL, key_file(std::string(451, 'k'), SERIAL), ABSENT, 1, update, GOOD, GOOD, false},
        {SERIAL, "", ABSENT, 1, update, GOOD, GOOD, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        board(c.serial);
        ASSERT_TRUE(sim_board_write_file("/user/other.pem", "x"));
        for (auto [path, contents] :
             {std::pair(PRODUCTION_KEY_PATH, c.prodFile), {DEVELOPMENT_KEY_PATH, c.devFile}})
            ASSERT_TRUE(contents == ABSENT || sim_board_write_file(path, contents));
        const ChildRun r = run([] { return check_system_keys(); });
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.out, c.out);
        for (auto [path, builtin, want] : {std::tuple(PRODUCTION_KEY_PATH, good[0], c.prodAfter),
                                           {DEVELOPMENT_KEY_PATH, good[1], c.devAfter}}) {
            std::string file;
            EXPECT_EQ(sim_board_read_file(path, file) ? file : ABSENT, want == GOOD ? builtin : want) << path;
        }
        EXPECT_EQ(std::filesystem::exists(root_ + "/user/other.pem"), !c.wiped);
    }
}

int load(const char *path)
{
    KeyRecord k;
    return load_system_key(&k, path);
}

// Loads that cannot end in a key file, and lengths refused before any allocation.
TEST_F(KeyStore, RefusedLoadsAndLengths)
{
    const std::string none = "ERROR - unable to find system key\n";
    const struct {
        const char *name;
        std::string serial;
        int (*fn)();
        int result;
        std::string out;
    } cases[] = {
        {"no record", SERIAL, [] { return load_system_key(nullptr, PRODUCTION_KEY_PATH); }, 0, ""},
        {"zero serial, other path", std::string(12, '\0'), [] { return load("/user/other.pem"); }, 0,
         "WARNING: Serial # not set on this unit. Built in keys must be used\n"},
        {"other path absent", SERIAL, [] { return load("/user/other.pem"); }, 0, none},
        {"other path present", SERIAL, // no built-in key to compare it with: taken as it is
         [] {
             KeyRecord k;
             imgsign_write_key_file(u8("abc"), 4, "/user/other.pem", u8(SERIAL), SERIAL_LENGTH);
             return int(load_system_key(&k, "/user/other.pem") && k.length == 3 &&
                        memcmp(k.text, "abc", 3) == 0);
         },
         1, ""},
        {"key path cannot be opened", SERIAL,
         [] {
             sockaddr_un a{AF_UNIX, {}};
             strcpy(a.sun_path, PRODUCTION_KEY_PATH);
             if (bind(socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
                 return 99;
             return load(PRODUCTION_KEY_PATH) * 10 + !std::filesystem::is_socket(PRODUCTION_KEY_PATH);
         },
         0, ""},
        {"no /user to create it in", "", [] { return check_system_keys(); }, 0,
         "ERROR creating file /user/production_key.pub.pem\n" + none},
        {"key file past 2 GiB", SERIAL,
         [] {
             return imgsign_write_key_file(u8(""), 0xFFFFFFF0u, "/user/other.pem", u8(SERIAL),
                                           SERIAL_LENGTH) *
                        10 +
                    std::filesystem::exists("/user/other.pem");
         },
         0, "Encrypt malloc failed!\n"},
        {"decrypt past 2 GiB", SERIAL,
         [] {
             uint32_t n = 0;
             return int(imgsign_decrypt(u8(SERIAL), SERIAL_LENGTH, u8(""), 0x80000000u, &n) != nullptr);
         },
         0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        board(c.serial.empty() ? SERIAL : c.serial, !c.serial.empty());
        const ChildRun r = run(c.fn);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.out, c.out);
    }
}

} // namespace
