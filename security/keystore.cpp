#include "security/keystore.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "boot/outside.h"
#include "hw/i2c.h"
#include "security/builtin_keys.h"
#include "security/crypto/crypto.h"

namespace {

constexpr uint32_t BUILTIN_KEY_LENGTH = 451;
static_assert(sizeof BUILTIN_PRODUCTION_KEY == BUILTIN_KEY_LENGTH + 1);
static_assert(sizeof BUILTIN_DEVELOPMENT_KEY == BUILTIN_KEY_LENGTH + 1);

constexpr uint32_t AES_BLOCK = 16;
constexpr char DEFAULT_SERIAL[] = "plovertaxbin";
static_assert(sizeof DEFAULT_SERIAL == SERIAL_LENGTH + 1);

struct KeyKind {
    const char *path;
    const char *builtin; // 452 bytes, NUL included
    const char *updateMessage;
};

constexpr KeyKind KEY_KINDS[] = {
    {PRODUCTION_KEY_PATH, BUILTIN_PRODUCTION_KEY, "Updating system key...."},
    {DEVELOPMENT_KEY_PATH, BUILTIN_DEVELOPMENT_KEY, "Updating system development key...."},
};

const KeyKind *key_kind(const char *path)
{
    for (const KeyKind &k : KEY_KINDS)
        if (strcmp(path, k.path) == 0)
            return &k;
    return nullptr;
}

const uint8_t *bytes(const char *s) { return reinterpret_cast<const uint8_t *>(s); }

void use_builtin(KeyRecord *record, const KeyKind &kind)
{
    memcpy(record->text, kind.builtin, BUILTIN_KEY_LENGTH + 1);
    record->length = BUILTIN_KEY_LENGTH;
}

int write_builtin(const KeyKind &kind, const uint8_t *serial)
{
    return imgsign_write_key_file(bytes(kind.builtin), BUILTIN_KEY_LENGTH + 1, kind.path, serial,
                                  SERIAL_LENGTH);
}

struct AesContext {
    AESCtx *ctx;
    ~AesContext() { DeleteAESCtx(&ctx); }
};

struct File {
    FILE *f;
    ~File()
    {
        if (f)
            fclose(f);
    }
};

// The unit key: the serial number, zero-extended to AES-128.
AESCtx *create_unit_context(const uint8_t *keyMaterial, uint32_t keyMaterialLength, int32_t encrypt)
{
    uint8_t key[AES_BLOCK] = {};
    memcpy(key, keyMaterial, std::min(keyMaterialLength, AES_BLOCK));
    return CreateAESCtx(key, AES_BLOCK, encrypt);
}

void remove_key_files() { run_command("rm /user/*.pem"); }

} // namespace

std::unique_ptr<uint8_t[]> imgsign_encrypt(const uint8_t *keyMaterial, uint32_t keyMaterialLength,
                                           const uint8_t *data, uint32_t length, uint32_t *outLength)
{
    const uint64_t rounded = (uint64_t{length} + AES_BLOCK - 1) / AES_BLOCK * AES_BLOCK;
    std::unique_ptr<uint8_t[]> buf(rounded > INT32_MAX ? nullptr : new (std::nothrow) uint8_t[rounded]());
    if (!buf) {
        puts("Encrypt malloc failed!");
        return nullptr;
    }
    memcpy(buf.get(), data, length);
    AesContext aes{create_unit_context(keyMaterial, keyMaterialLength, 1)};
    if (!aes.ctx) {
        puts("CreateAESCtx(encrypt) failed!");
        return nullptr;
    }
    uint8_t iv[AES_BLOCK] = {};
    const int32_t rc = DoAES(aes.ctx, buf.get(), static_cast<int32_t>(rounded), 1, iv);
    if (rc < 0) {
        printf("Do aes encryption failed. rc=%d", rc);
        return nullptr;
    }
    *outLength = static_cast<uint32_t>(rounded);
    return buf;
}

std::unique_ptr<uint8_t[]> imgsign_decrypt(const uint8_t *keyMaterial, uint32_t keyMaterialLength,
                                           const uint8_t *data, uint32_t length, uint32_t *outLength)
{
    if (length % AES_BLOCK != 0) {
        puts("Input data is not AES size correct");
        remove_key_files();
        return nullptr;
    }
    AesContext aes{create_unit_context(keyMaterial, keyMaterialLength, 0)};
    if (!aes.ctx) {
        printf("%s: CreateAESCtx(decrypt) failed!\n", "imgsign_decrypt");
        remove_key_files();
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> buf(length > INT32_MAX ? nullptr : new (std::nothrow) uint8_t[length]);
    if (!buf)
        return nullptr;
    memcpy(buf.get(), data, length);
    uint8_t iv[AES_BLOCK] = {};
    const int32_t rc = DoAES(aes.ctx, buf.get(), static_cast<int32_t>(length), 0, iv);
    if (rc < 0) {
        printf("Do aes failed. rc=%d", rc);
        remove_key_files();
        return nullptr;
    }
    const uint8_t *nul = std::find(buf.get(), buf.get() + length, 0);
    *outLength = static_cast<uint32_t>(nul - buf.get());
    return buf;
}

int imgsign_write_key_file(const uint8_t *text, uint32_t length, const char *path, const uint8_t *keyMaterial,
                           uint32_t keyMaterialLength)
{
    uint32_t cipherLength = 0;
    const std::unique_ptr<uint8_t[]> cipher =
        imgsign_encrypt(keyMaterial, keyMaterialLength, text, length, &cipherLength);
    if (!cipher)
        return 0;
    File file{fopen(path, "wb")};
    if (!file.f) {
        printf("ERROR creating file %s\n", path);
        return 0;
    }
    fwrite(cipher.get(), 1, cipherLength, file.f);
    return 1;
}

int load_system_key(KeyRecord *record, const char *path)
{
    if (!record)
        return 0;
    const KeyKind *kind = key_kind(path);

    uint8_t serial[SERIAL_LENGTH];
    memcpy(serial, DEFAULT_SERIAL, SERIAL_LENGTH);
    eeprom_read_serial(serial); // a failed read leaves the default
    if (std::all_of(serial, serial + SERIAL_LENGTH, [](uint8_t b) { return b == 0; })) {
        puts("WARNING: Serial # not set on this unit. Built in keys must be used");
        if (!kind)
            return 0;
        use_builtin(record, *kind);
        return 1;
    }

    record->length = 0;
    struct stat st;
    if (stat(path, &st) != 0 && kind)
        write_builtin(*kind, serial);
    if (stat(path, &st) != 0) {
        puts("ERROR - unable to find system key");
        return 0;
    }
    if (st.st_size > static_cast<off_t>(KEY_FILE_MAX)) {
        printf("ERROR loading key as length too long %d > %d\n", static_cast<int>(st.st_size),
               static_cast<int>(KEY_FILE_MAX));
        return 0;
    }

    uint8_t stored[KEY_FILE_MAX];
    size_t storedLength;
    {
        File file{fopen(path, "rb")};
        if (!file.f)
            return 0;
        storedLength = fread(stored, 1, sizeof stored, file.f);
    }
    uint32_t textLength = 0;
    const std::unique_ptr<uint8_t[]> text =
        imgsign_decrypt(serial, SERIAL_LENGTH, stored, static_cast<uint32_t>(storedLength), &textLength);
    if (text) {
        memcpy(record->text, text.get(), textLength);
        record->length = static_cast<uint16_t>(textLength);
    }

    if (kind &&
        (record->length != BUILTIN_KEY_LENGTH || memcmp(record->text, kind->builtin, BUILTIN_KEY_LENGTH))) {
        puts(kind->updateMessage);
        write_builtin(*kind, serial);
        use_builtin(record, *kind);
    }
    return 1;
}

int check_system_keys()
{
    KeyRecord key;
    return load_system_key(&key, PRODUCTION_KEY_PATH) && load_system_key(&key, DEVELOPMENT_KEY_PATH);
}
