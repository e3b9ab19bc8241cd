// The whole check a boot makes of a 64 MiB signed component (CRC and SHA-256 of
// the payload in one pass of 256 KiB pieces, as the read does them, then
// RSA-2048) against OpenSSL's SHA-256 alone over the same bytes, from memory:
// the check should cost little more than the hash.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/component_read.h"
#include "image/crc32.h"
#include "image/image_format.h"
#include "security/signature.h"

namespace {

constexpr size_t PAYLOAD = 64u << 20;
constexpr size_t PIECE = 256u << 10;

struct Component {
    std::vector<uint8_t> bytes;
    std::string pem;

    Component()
    {
        EVP_PKEY *key = EVP_RSA_gen(2048);
        BIO *bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key);
        char *text = nullptr;
        const long n = BIO_get_mem_data(bio, &text);
        pem.assign(text, static_cast<size_t>(n));
        BIO_free(bio);

        std::vector<uint8_t> payload(PAYLOAD);
        for (size_t i = 0; i < payload.size(); i++)
            payload[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
        size_t sigLength = 0;
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key);
        EVP_DigestSign(md, nullptr, &sigLength, payload.data(), payload.size());
        std::vector<uint8_t> sig(sigLength);
        EVP_DigestSign(md, sig.data(), &sigLength, payload.data(), payload.size());
        EVP_MD_CTX_free(md);
        EVP_PKEY_free(key);

        const uint32_t hdrlen = 24 + 6 + static_cast<uint32_t>(sig.size());
        bytes.resize(hdrlen + payload.size());
        uint8_t *h = bytes.data();
        store_be32(h + 4, static_cast<uint32_t>(hdrlen - 16 + payload.size()));
        store_be32(h + 8, ComponentType::APPLICATION);
        store_be32(h + 12, 0x01000000);
        store_be32(h + 16, HDR3_MARKER);
        store_be16(h + 22, static_cast<uint16_t>(hdrlen));
        store_be16(h + 24, TAG_SIGNATURE);
        store_be16(h + 26, static_cast<uint16_t>(6 + sig.size()));
        store_be16(h + 28, static_cast<uint16_t>(sig.size()));
        memcpy(h + 30, sig.data(), sig.size());
        memcpy(h + hdrlen, payload.data(), payload.size());
        store_be32(h, image_crc32(h + 4, static_cast<uint32_t>(bytes.size() - 4), CRC_SEED));
    }
};

Component &component()
{
    static Component c;
    return c;
}

void ours_check(benchmark::State &state)
{
    Component &c = component();
    const auto *key = reinterpret_cast<const uint8_t *>(c.pem.data());
    for (auto _ : state) {
        ComponentScan scan;
        scan_begin(scan, signed_range(std::span<const uint8_t, 24>(c.bytes.data(), 24), c.bytes.size()));
        for (size_t at = 0; at < c.bytes.size(); at += PIECE)
            scan_update(scan, c.bytes.data() + at, std::min(PIECE, c.bytes.size() - at));
        ComponentRead read;
        scan_finish(scan, read);
        ComponentSignature sig;
        const bool good = read.crc == load_be32(c.bytes.data()) &&
                          find_component_signature(c.bytes, sig) == SignatureLookup::Found &&
                          check_signature_digest(read.digest.bytes, sig.signature, key,
                                                 static_cast<uint32_t>(c.pem.size())) == 0;
        if (!good)
            state.SkipWithError("component check failed");
        benchmark::DoNotOptimize(good);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.bytes.size()));
}

void openssl_sha256(benchmark::State &state)
{
    Component &c = component();
    uint8_t digest[32];
    for (auto _ : state) {
        unsigned n = 0;
        EVP_Digest(c.bytes.data(), c.bytes.size(), digest, &n, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.bytes.size()));
}

} // namespace

BENCHMARK(ours_check)->Name("ours/image_check_64MiB")->Unit(benchmark::kMillisecond);
BENCHMARK(openssl_sha256)->Name("openssl/image_check_64MiB")->Unit(benchmark::kMillisecond);
