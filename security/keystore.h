// The two public keys: built in, and kept on /user encrypted under the unit key.
#pragma once

#include <cstdint>
#include <memory>

inline constexpr const char *PRODUCTION_KEY_PATH = "/user/production_key.pub.pem";
inline constexpr const char *DEVELOPMENT_KEY_PATH = "/user/development_key.pub.pem";
inline constexpr uint32_t KEY_FILE_MAX = 500;
inline constexpr uint32_t SERIAL_LENGTH = 12;

struct KeyRecord {
    uint16_t length;
    uint8_t text[KEY_FILE_MAX];
};

int check_system_keys();
int load_system_key(KeyRecord *record, const char *path);

// Key material is the 12-byte serial number. Answer none on failure.
std::unique_ptr<uint8_t[]> imgsign_encrypt(const uint8_t *keyMaterial, uint32_t keyMaterialLength,
                                           const uint8_t *data, uint32_t length, uint32_t *outLength);
std::unique_ptr<uint8_t[]> imgsign_decrypt(const uint8_t *keyMaterial, uint32_t keyMaterialLength,
                                           const uint8_t *data, uint32_t length, uint32_t *outLength);
int imgsign_write_key_file(const uint8_t *text, uint32_t length, const char *path, const uint8_t *keyMaterial,
                           uint32_t keyMaterialLength);
