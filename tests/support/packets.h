// Literal bytes as the tests write them, independently of the product's code.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// Hexadecimal pairs, spaces between them ignored: hex("47 40 00 10").
inline Bytes hex(const char* text) {
    Bytes out;
    for (const char* p = text; *p; ++p) {
        if (*p == ' ') continue;
        out.push_back(uint8_t(strtoul(std::string(p, 2).c_str(), nullptr, 16)));
        ++p;
    }
    return out;
}
