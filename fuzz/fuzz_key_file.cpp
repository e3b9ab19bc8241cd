// Arbitrary bytes as a key file on /user (in the throw-away board). Bits of the
// first byte: 0 set stores the bytes as they are, clear stores them encrypted
// under the unit key as the loader stores key texts; 1 picks the development
// key; 2 leaves no file; 3 clears the EEPROM serial number. Whatever was
// stored, a load that succeeds hands over the built-in key and leaves a file
// that decrypts to it; the stored text also goes through the key reader.
#include <unistd.h>

#include <cstring>
#include <string>

#include "fuzz/support.h"
#include "hw/i2c.h"
#include "platform/sim/sim_board.h"
#include "security/builtin_keys.h"
#include "security/crypto/crypto.h"
#include "security/crypto/rsa.h"
#include "security/keystore.h"

namespace {

// The stored file decrypted under serial, or "" when there is none or it does not decrypt.
std::string stored_text(const char *path, const uint8_t *serial)
{
    std::string stored;
    uint32_t length = 0;
    const auto text = sim_board_read_file(path, stored)
                          ? imgsign_decrypt(serial, SERIAL_LENGTH, reinterpret_cast<const uint8_t *>(stored.data()),
                                            static_cast<uint32_t>(stored.size()), &length)
                          : nullptr;
    return text ? std::string(reinterpret_cast<const char *>(text.get()), length) : "";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 2 * KEY_FILE_MAX)
        return 0;
    fuzz_board_root();
    const uint8_t mode = data[0];
    const char *path = mode & 2 ? DEVELOPMENT_KEY_PATH : PRODUCTION_KEY_PATH;
    const std::string builtin = mode & 2 ? BUILTIN_DEVELOPMENT_KEY : BUILTIN_PRODUCTION_KEY;
    std::string cells(8192, '\xff');
    if (mode & 8)
        cells.replace(EEPROM_SERIAL, SERIAL_LENGTH, SERIAL_LENGTH, '\0');
    uint8_t serial[SERIAL_LENGTH];
    if (!sim_board_write_file("/board/eeprom.bin", cells))
        __builtin_trap();
    eeprom_read_serial(serial);
    if (memcmp(serial, cells.data() + EEPROM_SERIAL, SERIAL_LENGTH) != 0)
        __builtin_trap();

    unlink(path);
    if (!(mode & 4) && !((mode & 1) ? sim_board_write_file(path, {reinterpret_cast<const char *>(data) + 1, size - 1})
                                    : imgsign_write_key_file(data + 1, static_cast<uint32_t>(size - 1), path,
                                                             serial, SERIAL_LENGTH)))
        __builtin_trap();
    const std::string text = stored_text(path, serial);
    AsymKeyPtr parsed(asym_key_create());
    if (parsed)
        CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t *>(text.data()),
                                 static_cast<uint32_t>(text.size()), parsed.get());

    KeyRecord key;
    const bool tooLong =
        !(mode & 4) && !(mode & 8) && (mode & 1 ? size - 1 : (size - 1 + 15) / 16 * 16) > KEY_FILE_MAX;
    const int loaded = load_system_key(&key, path);
    if (loaded != (tooLong ? 0 : 1))
        __builtin_trap();
    if (loaded && (std::string(reinterpret_cast<const char *>(key.text), key.length) != builtin ||
                   (!(mode & 8) && stored_text(path, serial) != builtin)))
        __builtin_trap();
    return 0;
}
