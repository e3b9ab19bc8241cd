// Keys: signing with OpenSSL, public keys as the loader reads them, key files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "security/crypto/crypto.h"
#include "security/keystore.h"
#include "tools/imgtool/imgtool.h"

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T *p) const { Free(p); }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using UniquePkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using UniqueBio = std::unique_ptr<BIO, Deleter<BIO_free>>;

// The built-in keys are RSA-2048 PEM texts of this length; a key file holding
// anything else is replaced by the loader at its next start.
constexpr size_t BUILT_IN_KEY_LENGTH = 451;
// Text, NUL and zero padding to 16 must stay within the loader's 500-byte limit.
constexpr size_t KEY_TEXT_MAX = (KEY_FILE_MAX / 16) * 16 - 1;

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_serial(std::string_view text, bool hex, uint8_t (&serial)[SERIAL_LENGTH])
{
    memset(serial, 0, sizeof serial);
    if (!hex) {
        if (text.empty() || text.size() > SERIAL_LENGTH)
            return false;
        memcpy(serial, text.data(), text.size());
        return true;
    }
    if (text.size() != 2 * SERIAL_LENGTH)
        return false;
    for (size_t i = 0; i < SERIAL_LENGTH; i++) {
        const int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        serial[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

} // namespace

struct SigningKey {
    UniquePkey pkey;
};

void SigningKeyFree::operator()(SigningKey *key) const { delete key; }

UniqueSigningKey load_signing_key(const char *keyPath, std::string &publicPem)
{
    Bytes pem;
    if (!read_file(keyPath, pem))
        return nullptr;
    UniqueBio in(BIO_new_mem_buf(pem.data(), int(pem.size())));
    UniquePkey key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        fail(EXIT_USAGE, "%s: not a PEM private key", keyPath);
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        fail(EXIT_USAGE, "%s: not an RSA key", keyPath);
        return nullptr;
    }
    UniqueBio out(BIO_new(BIO_s_mem()));
    char *text = nullptr;
    if (!out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1) {
        fail(EXIT_CHECK_FAILED, "%s: cannot derive the public key", keyPath);
        return nullptr;
    }
    const long n = BIO_get_mem_data(out.get(), &text);
    publicPem.assign(text, size_t(n));
    return UniqueSigningKey(new SigningKey{std::move(key)});
}

size_t signature_length(const SigningKey &key) { return size_t(EVP_PKEY_get_size(key.pkey.get())); }

bool sign_digest(const SigningKey &key, const char *keyPath, const uint8_t (&digest)[32], Bytes &signature)
{
    // Signing the digest gives what signing the data gives: PKCS#1 v1.5 is deterministic.
    UniquePkeyCtx ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
    size_t length = signature.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest, sizeof digest) != 1 ||
        length != signature.size()) {
        fail(EXIT_CHECK_FAILED, "%s: signing failed", keyPath);
        return false;
    }
    return true;
}

bool load_public_key(const char *path, Bytes &text)
{
    if (!read_file(path, text))
        return false;
    const int32_t status = text.empty()
                               ? ERR_NULL_POINTER
                               : CA_MGMT_convertPublicKey(text.data(), uint32_t(text.size()), nullptr);
    if (status != 0) {
        fail(EXIT_USAGE, "%s: not a public key the loader can read (status %d)", path, status);
        return false;
    }
    return true;
}

int cmd_keyfile(int argc, char **argv)
{
    static constexpr OptionSpec options[] = {{"--serial", true, false},
                                             {"--serial-hex", false, false},
                                             {"--key", true, false},
                                             {"-o", true, false}};
    ParsedArgs args;
    if (!parse_args(argc, argv, options, args))
        return EXIT_USAGE;
    if (args.help) {
        puts("usage: imgtool keyfile --serial SERIAL [--serial-hex] --key PUB.pem -o FILE\n"
             "Writes the key file the loader keeps for PUB.pem on the unit with this serial\n"
             "number: the PEM text and its NUL, zero-padded to 16 bytes, AES-128-CBC with a\n"
             "zero IV under the serial number zero-padded to 16 bytes.\n"
             "  --serial       up to 12 characters (shorter ones are zero-padded)\n"
             "  --serial-hex   SERIAL is 24 hex digits (12 bytes)");
        return 0;
    }
    const char *serialArg = option(args, "--serial"), *keyPath = option(args, "--key"),
               *out = option(args, "-o");
    if (!serialArg || !keyPath || !out || !args.positional.empty())
        return fail(EXIT_USAGE, "keyfile: --serial, --key and -o are required");
    const bool hex = option(args, "--serial-hex") != nullptr;
    uint8_t serial[SERIAL_LENGTH];
    if (!parse_serial(serialArg, hex, serial))
        return fail(EXIT_USAGE,
                    hex ? "keyfile: serial '%s' is not 24 hex digits"
                        : "keyfile: serial '%s' is not 1 to 12 characters",
                    serialArg);
    // A unit whose serial reads as zero uses its built-in keys and reads no file.
    if (std::all_of(serial, serial + SERIAL_LENGTH, [](uint8_t b) { return b == 0; }))
        return fail(EXIT_USAGE, "keyfile: an all-zero serial number never reads a key file");

    Bytes text;
    if (!load_public_key(keyPath, text))
        return EXIT_USAGE;
    if (memchr(text.data(), 0, text.size()) || text.size() > KEY_TEXT_MAX)
        return fail(EXIT_USAGE, "keyfile: %s: key text must hold no NUL and at most %zu bytes", keyPath,
                    KEY_TEXT_MAX);
    if (text.size() != BUILT_IN_KEY_LENGTH)
        fprintf(stderr, "imgtool: warning: %s is %zu characters; the loader's keys are %zu\n", keyPath,
                text.size(), BUILT_IN_KEY_LENGTH);
    text.push_back(0); // stored with its NUL
    uint32_t length = 0;
    const std::unique_ptr<uint8_t[]> cipher =
        imgsign_encrypt(serial, SERIAL_LENGTH, text.data(), uint32_t(text.size()), &length);
    if (!cipher)
        return fail(EXIT_CHECK_FAILED, "keyfile: encryption failed");
    return write_file(out, {cipher.get(), length}) ? 0 : EXIT_USAGE;
}
