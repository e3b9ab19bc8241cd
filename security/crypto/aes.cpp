#include "security/crypto/aes.h"

#include "security/crypto/crypto.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t xtime(uint8_t x) { return uint8_t((x << 1) ^ ((x >> 7) * 0x1b)); }

constexpr uint8_t gmul(uint8_t a, uint8_t b)
{
    uint8_t r = 0;
    while (b != 0) {
        if (b & 1)
            r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint8_t rotl8(uint8_t x, int n) { return uint8_t((x << n) | (x >> (8 - n))); }

// Tables derived from the field arithmetic at compile time rather than typed in.
// Walks the field with generator 3: p runs over every non-zero element while
// q = 1/p, so each inverse costs a few shifts instead of a search.
constexpr std::array<uint8_t, 256> make_sbox()
{
    std::array<uint8_t, 256> s{};
    uint8_t p = 1, q = 1;
    do {
        p = uint8_t(p ^ xtime(p));
        q = uint8_t(q ^ (q << 1));
        q = uint8_t(q ^ (q << 2));
        q = uint8_t(q ^ (q << 4));
        if (q & 0x80)
            q ^= 0x09;
        s[p] = uint8_t(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63);
    } while (p != 1);
    s[0] = 0x63;
    return s;
}

constexpr std::array<uint8_t, 256> SBOX = make_sbox();

constexpr std::array<uint8_t, 256> make_inv_sbox()
{
    std::array<uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x)
        s[SBOX[x]] = uint8_t(x);
    return s;
}

constexpr std::array<uint8_t, 256> INV_SBOX = make_inv_sbox();

static_assert(SBOX[0x00] == 0x63 && SBOX[0x01] == 0x7c && SBOX[0x53] == 0xed && INV_SBOX[0x63] == 0x00);

void add_round_key(uint8_t *s, const uint8_t *rk)
{
    for (int i = 0; i < 16; ++i)
        s[i] ^= rk[i];
}

// Bytes are column-major: s[row + 4 * column].
void sub_shift(uint8_t *s)
{
    uint8_t t[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            t[r + 4 * c] = SBOX[s[r + 4 * ((c + r) & 3)]];
    std::memcpy(s, t, 16);
}

void inv_sub_shift(uint8_t *s)
{
    uint8_t t[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            t[r + 4 * ((c + r) & 3)] = INV_SBOX[s[r + 4 * c]];
    std::memcpy(s, t, 16);
}

void mix_columns(uint8_t *s)
{
    for (int c = 0; c < 4; ++c) {
        uint8_t *col = s + 4 * c;
        uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        uint8_t all = a0 ^ a1 ^ a2 ^ a3;
        col[0] = a0 ^ all ^ xtime(a0 ^ a1);
        col[1] = a1 ^ all ^ xtime(a1 ^ a2);
        col[2] = a2 ^ all ^ xtime(a2 ^ a3);
        col[3] = a3 ^ all ^ xtime(a3 ^ a0);
    }
}

void inv_mix_column(uint8_t *col)
{
    uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9);
    col[1] = gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13);
    col[2] = gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11);
    col[3] = gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14);
}

void inv_mix_columns(uint8_t *s)
{
    for (int c = 0; c < 4; ++c)
        inv_mix_column(s + 4 * c);
}

void aes_free(AESCtx *ctx)
{
    explicit_bzero(ctx, sizeof *ctx);
    std::free(ctx);
}

} // namespace

int32_t aes_expand_key(const uint8_t *key, int32_t keyBytes, uint8_t *encryptKeys)
{
    if (keyBytes != 16 && keyBytes != 24 && keyBytes != 32)
        return 0;
    const int nk = keyBytes / 4;
    const int rounds = nk + 6;
    const int words = 4 * (rounds + 1);
    std::memcpy(encryptKeys, key, size_t(keyBytes));
    uint8_t rcon = 1;
    for (int i = nk; i < words; ++i) {
        uint8_t t[4];
        std::memcpy(t, encryptKeys + 4 * (i - 1), 4);
        if (i % nk == 0) {
            uint8_t first = t[0];
            t[0] = uint8_t(SBOX[t[1]] ^ rcon);
            t[1] = SBOX[t[2]];
            t[2] = SBOX[t[3]];
            t[3] = SBOX[first];
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            for (uint8_t &b : t)
                b = SBOX[b];
        }
        for (int j = 0; j < 4; ++j)
            encryptKeys[4 * i + j] = encryptKeys[4 * (i - nk) + j] ^ t[j];
    }
    return rounds;
}

void aes_make_decrypt_keys(const uint8_t *encryptKeys, int32_t rounds, uint8_t *decryptKeys)
{
    for (int r = 0; r <= rounds; ++r) {
        uint8_t *dk = decryptKeys + 16 * r;
        std::memcpy(dk, encryptKeys + 16 * (rounds - r), 16);
        if (r != 0 && r != rounds)
            inv_mix_columns(dk);
    }
}

void aes_encrypt_block(const uint8_t *encryptKeys, int32_t rounds, const uint8_t *in, uint8_t *out)
{
    uint8_t s[16];
    std::memcpy(s, in, 16);
    add_round_key(s, encryptKeys);
    for (int r = 1; r < rounds; ++r) {
        sub_shift(s);
        mix_columns(s);
        add_round_key(s, encryptKeys + 16 * r);
    }
    sub_shift(s);
    add_round_key(s, encryptKeys + 16 * rounds);
    std::memcpy(out, s, 16);
    explicit_bzero(s, sizeof s);
}

void aes_decrypt_block(const uint8_t *decryptKeys, int32_t rounds, const uint8_t *in, uint8_t *out)
{
    uint8_t s[16];
    std::memcpy(s, in, 16);
    add_round_key(s, decryptKeys);
    for (int r = 1; r < rounds; ++r) {
        inv_sub_shift(s);
        inv_mix_columns(s);
        add_round_key(s, decryptKeys + 16 * r);
    }
    inv_sub_shift(s);
    add_round_key(s, decryptKeys + 16 * rounds);
    std::memcpy(out, s, 16);
    explicit_bzero(s, sizeof s);
}

AESCtx *CreateAESCtx(const uint8_t *key, int32_t keyLength, int32_t encrypt)
{
    if (key == nullptr)
        return nullptr;
    auto *ctx = static_cast<AESCtx *>(std::calloc(1, sizeof(AESCtx)));
    if (ctx == nullptr)
        return nullptr;
    ctx->encrypt = encrypt != 0 ? 1 : 0;
    ctx->mode = AES_MODE_CBC;
    ctx->keyLength = keyLength * 8;
    ctx->rounds = aes_expand_key(key, keyLength, ctx->encryptKeys);
    if (ctx->rounds == 0) { // ERR_AES_BAD_KEY_LENGTH; the interface has no way to answer it
        aes_free(ctx);
        return nullptr;
    }
    if (ctx->encrypt)
        std::memcpy(ctx->roundKeys, ctx->encryptKeys, sizeof ctx->roundKeys);
    else
        aes_make_decrypt_keys(ctx->encryptKeys, ctx->rounds, ctx->roundKeys);
    return ctx;
}

int32_t DoAES(AESCtx *ctx, uint8_t *data, int32_t length, int32_t encrypt, uint8_t *iv)
{
    if (ctx == nullptr || iv == nullptr || (data == nullptr && length != 0))
        return ERR_NULL_POINTER;
    if (length < 0 || length % AES_BLOCK_SIZE != 0)
        return ERR_AES_BAD_LENGTH;
    const int32_t direction = encrypt != 0 ? 1 : 0;
    if (direction != ctx->encrypt)
        return ERR_AES_BAD_DIRECTION;
    if (ctx->mode != AES_MODE_CBC)
        return direction ? ERR_AES_BAD_MODE : ERR_AES_BAD_DIRECTION;

    for (int32_t off = 0; off < length; off += AES_BLOCK_SIZE) {
        uint8_t *block = data + off;
        if (direction) {
            for (int i = 0; i < AES_BLOCK_SIZE; ++i)
                block[i] ^= iv[i];
            aes_encrypt_block(ctx->roundKeys, ctx->rounds, block, block);
            std::memcpy(iv, block, AES_BLOCK_SIZE);
        } else {
            uint8_t cipherBlock[AES_BLOCK_SIZE];
            std::memcpy(cipherBlock, block, AES_BLOCK_SIZE);
            aes_decrypt_block(ctx->roundKeys, ctx->rounds, block, block);
            for (int i = 0; i < AES_BLOCK_SIZE; ++i)
                block[i] ^= iv[i];
            std::memcpy(iv, cipherBlock, AES_BLOCK_SIZE);
        }
    }
    return OK;
}

int32_t DeleteAESCtx(AESCtx **ctx)
{
    if (ctx != nullptr && *ctx != nullptr) {
        aes_free(*ctx);
        *ctx = nullptr;
    }
    return OK;
}
