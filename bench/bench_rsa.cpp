// RSA-2048 (e = 65537) signature verification: ours against OpenSSL's, each
// with a key parsed beforehand and with the key parsed from PEM every time.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "security/crypto/rsa.h"

namespace {

struct Fixture {
    EVP_PKEY *key = nullptr;
    std::string pem;
    std::vector<uint8_t> digest = std::vector<uint8_t>(32);
    std::vector<uint8_t> signature;

    Fixture()
    {
        key = EVP_RSA_gen(2048);
        BIO *bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key);
        char *text = nullptr;
        const long length = BIO_get_mem_data(bio, &text);
        pem.assign(text, static_cast<size_t>(length));
        BIO_free(bio);

        const char message[] = "image payload";
        unsigned int digestLength = 0;
        EVP_Digest(message, sizeof message - 1, digest.data(), &digestLength, EVP_sha256(), nullptr);

        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
        EVP_PKEY_sign_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
        size_t sigLength = 0;
        EVP_PKEY_sign(ctx, nullptr, &sigLength, digest.data(), digest.size());
        signature.resize(sigLength);
        EVP_PKEY_sign(ctx, signature.data(), &sigLength, digest.data(), digest.size());
        signature.resize(sigLength);
        EVP_PKEY_CTX_free(ctx);
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

int openssl_verify(EVP_PKEY *key, const Fixture &f)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    int ok =
        EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
        EVP_PKEY_verify(ctx, f.signature.data(), f.signature.size(), f.digest.data(), f.digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

void ours_rsa2048_verify(benchmark::State &state)
{
    const Fixture &f = fixture();
    AsymKeyPtr key(asym_key_create());
    if (CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t *>(f.pem.data()),
                                 static_cast<uint32_t>(f.pem.size()), key.get()) != 0) {
        state.SkipWithError("key conversion failed");
        return;
    }
    for (auto _ : state) {
        const int32_t status = rsa_verify_digest(key.get(), f.digest, f.signature);
        if (status != 0)
            state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(status);
    }
}

void ours_rsa2048_verify_pem(benchmark::State &state)
{
    const Fixture &f = fixture();
    for (auto _ : state) {
        const int32_t status = IMGSIGN_verifySignature(
            f.digest.data(), static_cast<uint32_t>(f.digest.size()), f.signature.data(),
            static_cast<uint32_t>(f.signature.size()), reinterpret_cast<const uint8_t *>(f.pem.data()),
            static_cast<uint32_t>(f.pem.size()));
        if (status != 0)
            state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(status);
    }
}

void openssl_rsa2048_verify(benchmark::State &state)
{
    const Fixture &f = fixture();
    for (auto _ : state) {
        const int ok = openssl_verify(f.key, f);
        if (!ok)
            state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(ok);
    }
}

void openssl_rsa2048_verify_pem(benchmark::State &state)
{
    const Fixture &f = fixture();
    for (auto _ : state) {
        BIO *bio = BIO_new_mem_buf(f.pem.data(), static_cast<int>(f.pem.size()));
        EVP_PKEY *key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
        const int ok = key != nullptr && openssl_verify(key, f);
        EVP_PKEY_free(key);
        BIO_free(bio);
        if (!ok)
            state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(ok);
    }
}

} // namespace

BENCHMARK(ours_rsa2048_verify)->Name("ours/rsa2048_verify");
BENCHMARK(openssl_rsa2048_verify)->Name("openssl/rsa2048_verify");
BENCHMARK(ours_rsa2048_verify_pem)->Name("ours/rsa2048_verify_pem");
BENCHMARK(openssl_rsa2048_verify_pem)->Name("openssl/rsa2048_verify_pem");
