// Reader for the NIST CAVP response files (.rsp): bracketed section headers,
// "Name = value" lines, records separated by blank lines, CRLF or LF ends.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct RspRecord {
    std::string section; // text inside the last "[...]" line, e.g. "ENCRYPT" or "L = 32"
    std::map<std::string, std::string> fields;
};

inline std::string vector_path(const std::string &name) { return std::string(IMGL_VECTORS_DIR) + "/" + name; }

// Empty when the file cannot be read; callers assert on the count.
inline std::vector<RspRecord> read_rsp(const std::string &name)
{
    std::vector<RspRecord> records;
    std::ifstream in(vector_path(name), std::ios::binary);
    std::string section;
    RspRecord current;
    auto flush = [&] {
        if (!current.fields.empty())
            records.push_back(std::move(current));
        current = RspRecord{};
    };
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty()) {
            flush();
            continue;
        }
        if (line[0] == '#')
            continue;
        if (line[0] == '[') {
            flush();
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        size_t eq = line.find(" = ");
        if (eq == std::string::npos)
            continue;
        current.section = section;
        current.fields[line.substr(0, eq)] = line.substr(eq + 3);
    }
    flush();
    return records;
}

inline std::vector<uint8_t> from_hex(std::string_view hex)
{
    auto nibble = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9')
            return uint8_t(c - '0');
        if (c >= 'a' && c <= 'f')
            return uint8_t(c - 'a' + 10);
        return uint8_t(c - 'A' + 10);
    };
    std::vector<uint8_t> out(hex.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint8_t(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    return out;
}
