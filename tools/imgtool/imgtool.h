// imgtool: makes, signs and inspects components and image packages on a host.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Exit statuses: a check failed, or the command line / an input file is unusable.
inline constexpr int EXIT_CHECK_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// Prints "imgtool: " and the message to stderr; returns the status to exit with.
[[gnu::format(printf, 2, 3)]] int fail(int status, const char *fmt, ...);

// Small files only (keys, signatures): read whole.
bool read_file(const char *path, Bytes &out);
bool write_file(const char *path, std::span<const uint8_t> data);

// Images are read and written in pieces of this size, never whole, so the
// tool's memory does not grow with them.
inline constexpr size_t PIECE = 256u << 10;

// A file read at chosen offsets.
struct InputFile {
    const char *path = nullptr;
    int fd = -1;
    uint64_t size = 0;
    InputFile() = default;
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    ~InputFile();
};
// Both print why they fail.
bool open_input(const char *path, InputFile &in);
bool read_at(const InputFile &in, uint64_t offset, uint8_t *data, size_t length);

// An output made as it goes, in a temporary file beside it that takes its
// name only when the command succeeds: a failed command leaves no new file
// and an old one as it was. An existing file that is not a regular one (a
// device) is written in place.
struct OutputFile {
    std::string path;
    std::string temp; // empty when written in place
    int fd = -1;
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();
};
// All print why they fail.
bool open_output(const char *path, OutputFile &out);
bool write_at(OutputFile &out, uint64_t offset, const uint8_t *data, size_t length);
bool commit_output(OutputFile &out);

// Type names as the command line takes them ("application", "0x01677279").
bool parse_type(std::string_view text, uint32_t &type);
// Name of a known type code (bit 31 cleared), else nullptr.
const char *type_name(uint32_t type);

// A file that must hold exactly one component.
struct Component {
    InputFile file;
    uint8_t first[24]; // what every reader looks at
    uint8_t format;
    uint32_t headerLength;
    uint32_t payloadLength;
    uint32_t length;
};
// Opens it and prints why the file is not one whole component.
bool load_component(const char *path, Component &out);

// Header fields of a component to build; entries are raw HDR3 entries that
// go before the signature entry.
struct ComponentSpec {
    uint32_t magic;
    uint32_t id;
    uint8_t format;
    uint16_t reserved; // HDR3 offset 20, carried over when a header is rebuilt
    std::span<const uint8_t> entries;
    std::span<const uint8_t> signature; // empty: no signature entry
};
// Header length of such a component, before any check.
size_t header_length(const ComponentSpec &want);
// The header (without its CRC) of a component with a payload of payloadSize
// bytes that begins with payloadStart (up to 8 bytes); prints why the
// component cannot be built.
bool build_header(const ComponentSpec &want, uint64_t payloadSize, std::span<const uint8_t> payloadStart,
                  Bytes &header);
// The component's CRC from its header and the payload's CRC with seed 0.
uint32_t component_crc(std::span<const uint8_t> header, uint32_t payloadCrc0, uint64_t payloadSize);

// An RSA private key for PKCS#1 v1.5 SHA-256 signatures, and the matching
// public key as PEM text.
struct SigningKey;
struct SigningKeyFree {
    void operator()(SigningKey *key) const;
};
using UniqueSigningKey = std::unique_ptr<SigningKey, SigningKeyFree>;
UniqueSigningKey load_signing_key(const char *keyPath, std::string &publicPem);
size_t signature_length(const SigningKey &key);
bool sign_digest(const SigningKey &key, const char *keyPath, const uint8_t (&digest)[32], Bytes &signature);
// The public key text as the loader reads it.
bool load_public_key(const char *path, Bytes &text);

int cmd_create(int argc, char **argv);
int cmd_package(int argc, char **argv);
int cmd_info(int argc, char **argv);
int cmd_digest(int argc, char **argv);
int cmd_attach_signature(int argc, char **argv);
int cmd_keyfile(int argc, char **argv);

// Command-line options of one command.
struct OptionSpec {
    const char *name; // "--type", "-o"
    bool takesValue;
    bool repeatable;
};
struct ParsedArgs {
    std::vector<std::pair<std::string_view, const char *>> options;
    std::vector<const char *> positional;
    bool help = false;
};
// argv[0] is the command name. Prints the error; false on a bad command line.
bool parse_args(int argc, char **argv, std::span<const OptionSpec> options, ParsedArgs &out);
// Last value of an option, nullptr when absent.
const char *option(const ParsedArgs &args, std::string_view name);
