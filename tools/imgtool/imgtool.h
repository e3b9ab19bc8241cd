// imgtool: makes, signs and inspects components and image packages on a host.
#pragma once

#include <cstdint>
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

bool read_file(const char *path, Bytes &out);
bool write_file(const char *path, std::span<const uint8_t> data);

// Type names as the command line takes them ("application", "0x01677279").
bool parse_type(std::string_view text, uint32_t &type);
// Name of a known type code (bit 31 cleared), else nullptr.
const char *type_name(uint32_t type);

// A file that must hold exactly one component.
struct Component {
    Bytes bytes;
    uint8_t format;
    uint32_t headerLength;
    uint32_t payloadLength;
};
// Prints why the bytes are not one whole component.
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
// Prints why the component cannot be built.
bool build_component(const ComponentSpec &want, std::span<const uint8_t> payload, Bytes &out);

// RSA PKCS#1 v1.5 SHA-256 signature over data with the private key in keyPath;
// also returns the matching public key as PEM text.
bool sign_with_private_key(const char *keyPath, std::span<const uint8_t> data, Bytes &signature,
                           std::string &publicPem);
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
