// Helpers for the crypto tests: hex and DER building, the NIST .rsp and
// Wycheproof readers, and keys and signatures made by the openssl command.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "security/crypto/crypto.h"

using Bytes = std::vector<uint8_t>;

inline Bytes from_hex(std::string_view hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}
inline Bytes to_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline Bytes tail(const Bytes &b, size_t from) { return Bytes(b.begin() + static_cast<long>(from), b.end()); }
inline Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// DER tag-length-value with a minimal length (content under 64 KiB).
inline Bytes tlv(uint8_t tag, const Bytes &content)
{
    const auto n = static_cast<uint8_t>(content.size()), high = static_cast<uint8_t>(content.size() >> 8);
    if (content.size() < 0x80)
        return Bytes{tag, n} + content;
    return (content.size() < 0x100 ? Bytes{tag, 0x81, n} : Bytes{tag, 0x82, high, n}) + content;
}

inline Bytes sha256(const Bytes &data)
{
    static const uint8_t nothing = 0; // an empty vector may have no storage at all
    uint8_t digest[64];
    uint32_t length = 0;
    IMGSIGN_computeSHA256(data.empty() ? &nothing : data.data(), data.size(), digest, &length);
    return Bytes(digest, digest + length);
}

inline int32_t verify(const Bytes &digest, const Bytes &sig, const Bytes &key)
{
    return IMGSIGN_verifySignature(digest.data(), static_cast<uint32_t>(digest.size()), sig.data(),
                                   static_cast<uint32_t>(sig.size()), key.data(),
                                   static_cast<uint32_t>(key.size()));
}

inline Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::string vector_path(const std::string &name) { return std::string(IMGL_VECTORS_DIR) + "/" + name; }

// NIST CAVP response file: "[section]" lines, "Name = value" lines, records
// separated by blank lines, CRLF or LF ends. Empty when unreadable.
struct RspRecord {
    std::string section; // e.g. "ENCRYPT" or "L = 32"
    std::map<std::string, std::string> fields;
};
inline std::vector<RspRecord> read_rsp(const std::string &name)
{
    std::vector<RspRecord> records;
    std::ifstream in(vector_path(name), std::ios::binary);
    std::string section;
    bool inRecord = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t eq = line.find(" = ");
        if (line.empty() || line[0] == '[') {
            inRecord = false;
            if (!line.empty())
                section = line.substr(1, line.find(']') - 1);
        } else if (line[0] != '#' && eq != std::string::npos) {
            if (!inRecord)
                records.push_back({section, {}});
            inRecord = true;
            records.back().fields[line.substr(0, eq)] = line.substr(eq + 3);
        }
    }
    return records;
}

struct WycheproofCase {
    int tcId;
    size_t group;
    Bytes msg, sig;
    std::string result;
};
struct WycheproofFile {
    std::vector<Bytes> keyDer;
    std::vector<std::string> keyPem;
    std::vector<WycheproofCase> cases;
};

// Purpose-built scanner: follows "key": "string" and "key": number pairs in
// document order, which is all this file's layout needs. Its only escape is \n.
inline WycheproofFile read_wycheproof()
{
    const Bytes raw = read_file(vector_path("rsa_signature_2048_sha256_test.json"));
    const std::string text(raw.begin(), raw.end());
    auto read_string = [&text](size_t &pos) {
        std::string out;
        for (++pos; pos < text.size() && text[pos] != '"'; ++pos)
            out.push_back(text[pos] == '\\' ? (text[++pos] == 'n' ? '\n' : text[pos]) : text[pos]);
        ++pos;
        return out;
    };
    WycheproofFile file;
    for (size_t pos = text.find('"'); pos < text.size(); pos = text.find('"', pos)) {
        const std::string key = read_string(pos);
        if (text.compare(pos, 2, ": ") != 0)
            continue; // a string inside an array
        pos += 2;
        const std::string value =
            text[pos] == '"' ? read_string(pos) : text.substr(pos, text.find_first_of(",\n}", pos) - pos);
        WycheproofCase *last = file.cases.empty() ? nullptr : &file.cases.back();
        if (key == "publicKeyDer")
            file.keyDer.push_back(from_hex(value));
        else if (key == "publicKeyPem")
            file.keyPem.push_back(value);
        else if (key == "tcId")
            file.cases.push_back({std::atoi(value.c_str()), file.keyDer.size() - 1, {}, {}, {}});
        else if (last != nullptr && key == "msg")
            last->msg = from_hex(value);
        else if (last != nullptr && key == "sig")
            last->sig = from_hex(value);
        else if (last != nullptr && key == "result")
            last->result = value;
    }
    return file;
}

// This run's private directory for openssl files, removed at exit.
inline const std::string &openssl_dir()
{
    static const struct Dir {
        std::string path;
        Dir()
        {
            char templ[] = "/tmp/crsa-keys-XXXXXX";
            path = mkdtemp(templ) != nullptr ? templ : "/nonexistent";
        }
        ~Dir() { std::filesystem::remove_all(path); }
    } dir;
    return dir.path;
}

// Runs "openssl <args> -out <out> <files>" in that directory; answers the file
// it wrote, or nothing.
inline Bytes openssl(const std::string &args, const std::string &out, const std::string &files = "")
{
    std::filesystem::remove(openssl_dir() + "/" + out);
    const std::string command = "cd " + openssl_dir() + " && openssl " + args + " -out " + out + " " + files;
    return std::system((command + " 2>/dev/null").c_str()) == 0 ? read_file(openssl_dir() + "/" + out)
                                                                : Bytes{};
}

// Private key of `bits` bits, generated once per run; answers its file name.
inline std::string openssl_key(int bits)
{
    static std::map<int, bool> made;
    const std::string name = "rsa" + std::to_string(bits) + ".pem";
    if (!made[bits])
        made[bits] =
            !openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits), name).empty();
    return name;
}

inline Bytes openssl_public(int bits, const std::string &form)
{
    return openssl("pkey -in " + openssl_key(bits) + " -pubout -outform " + form, "pub." + form);
}

// Signs SHA-256 of `input` with PKCS #1 v1.5 padding, or with `raw` applies
// the bare private-key operation to `input`, a block as long as the modulus.
inline Bytes openssl_sign(int bits, const Bytes &input, bool raw = false)
{
    const std::string key = openssl_key(bits);
    std::ofstream(openssl_dir() + "/in.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(input.data()), static_cast<std::streamsize>(input.size()));
    return raw ? openssl("rsautl -sign -raw -inkey " + key + " -in in.bin", "sig.bin")
               : openssl("dgst -sha256 -sign " + key, "sig.bin", "in.bin");
}
