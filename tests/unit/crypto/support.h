// Hex and DER building, the known-answer vector reader and the openssl command.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "security/crypto/crypto.h"

using Bytes = std::vector<uint8_t>;
using Record = std::map<std::string, std::string>;

inline Bytes from_hex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}
inline Bytes to_bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }
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

inline Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Records of a NIST .rsp file or the Wycheproof JSON file: one at each blank line or
// "}" once `last` is set; other fields (section, a group's key) carry over.
inline std::vector<Record> read_vectors(const std::string &name, const std::string &last)
{
    const Bytes raw = read_file(std::string(IMGL_VECTORS_DIR) + "/" + name);
    std::istringstream in(std::string(raw.begin(), raw.end()) + "\n\n");
    std::vector<Record> records;
    Record fields;
    for (std::string line; std::getline(in, line);) {
        line.erase(0, line.find_first_not_of(" \""));
        while (!line.empty() && std::strchr("\r,\"", line.back()) != nullptr)
            line.pop_back();
        const size_t sep = std::min(line.find("\": "), line.find(" = "));
        if ((line.empty() || line[0] == '}') && fields.count(last) != 0)
            records.push_back(fields), fields.erase(last);
        if (!line.empty() && line[0] == '[') {
            fields["section"] = line.substr(1, line.find(']') - 1);
        } else if (sep != std::string::npos && line[0] != '#') {
            std::string value = line.substr(sep + 3 + (line[sep + 3] == '"'));
            for (size_t at = 0; (at = value.find("\\n", at)) != std::string::npos; ++at)
                value.replace(at, 2, 1, '\n');
            fields[line.substr(0, sep)] = value;
        }
    }
    return records;
}

// This run's private directory for openssl files, removed at exit.
inline const std::string &openssl_dir()
{
    static char templ[] = "/tmp/crsa-keys-XXXXXX";
    static const std::string dir =
        mkdtemp(templ) != nullptr && std::atexit([] { std::filesystem::remove_all(templ); }) == 0
            ? templ
            : "/nonexistent";
    return dir;
}

// "openssl <args> -out <out> <files>" run there; answers the file written, or nothing.
inline Bytes openssl(const std::string &args, const std::string &out, const std::string &files = "")
{
    std::filesystem::remove(openssl_dir() + "/" + out);
    const std::string command = "cd " + openssl_dir() + " && openssl " + args + " -out " + out + " " + files;
    return std::system((command + " 2>/dev/null").c_str()) == 0 ? read_file(openssl_dir() + "/" + out)
                                                                : Bytes{};
}
