// Hex and DER building, the NIST .rsp and Wycheproof readers, and the openssl command.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
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
inline std::string read_vectors(const std::string &name)
{
    const Bytes raw = read_file(std::string(IMGL_VECTORS_DIR) + "/" + name);
    return std::string(raw.begin(), raw.end());
}

// Records of a NIST CAVP response file: "Name = value" lines, blank-line separated,
// with "section" holding the last "[...]" header. CR LF or LF ends.
using RspRecord = std::map<std::string, std::string>;
inline std::vector<RspRecord> read_rsp(const std::string &name)
{
    std::vector<RspRecord> records{{}};
    std::istringstream in(read_vectors(name));
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t eq = line.find(" = ");
        if (line.empty() || line[0] == '[') {
            if (!records.back().empty())
                records.push_back({});
            section = line.empty() ? section : line.substr(1, line.find(']') - 1);
        } else if (line[0] != '#' && eq != std::string::npos) {
            records.back()["section"] = section;
            records.back()[line.substr(0, eq)] = line.substr(eq + 3);
        }
    }
    if (records.back().empty())
        records.pop_back();
    return records;
}

// The Wycheproof file as a sequence of "key": value pairs in document order (its
// only escape is \n); each "tcId" opens a case that the following pairs fill in.
inline std::vector<RspRecord> read_wycheproof()
{
    const std::string text = read_vectors("rsa_signature_2048_sha256_test.json");
    auto read_string = [&text](size_t &pos) {
        std::string out;
        for (++pos; pos < text.size() && text[pos] != '"'; ++pos)
            out.push_back(text[pos] == '\\' ? (text[++pos] == 'n' ? '\n' : text[pos]) : text[pos]);
        ++pos;
        return out;
    };
    std::vector<RspRecord> cases;
    RspRecord group;
    for (size_t pos = text.find('"'); pos < text.size(); pos = text.find('"', pos)) {
        const std::string key = read_string(pos);
        if (text.compare(pos, 2, ": ") != 0)
            continue; // a string inside an array
        pos += 2;
        const std::string value =
            text[pos] == '"' ? read_string(pos) : text.substr(pos, text.find_first_of(",\n}", pos) - pos);
        if (key == "publicKeyDer" || key == "publicKeyPem") {
            group[key] = value;
            continue;
        }
        if (key == "tcId")
            cases.push_back(group);
        if (!cases.empty())
            cases.back()[key] = value;
    }
    return cases;
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
