// Small text helpers for building messages without iostreams.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace bitloom::core {

template <class Int>
inline std::string dec(Int v) {
    char buf[48];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Upper-case hexadecimal, zero-padded to at least `width` digits.
inline std::string hex_upper(std::uint64_t v, int width) {
    char buf[24];
    int n = 0;
    do {
        buf[n++] = "0123456789ABCDEF"[v & 0xF];
        v >>= 4;
    } while (v != 0);
    while (n < width) buf[n++] = '0';
    std::string out(static_cast<std::size_t>(n), '0');
    for (int i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = buf[n - 1 - i];
    return out;
}

// Concatenate string-like pieces.
template <class... Parts>
inline std::string cat(const Parts&... parts) {
    std::string out;
    out.reserve((std::string_view(parts).size() + ... + 0));
    (out.append(std::string_view(parts)), ...);
    return out;
}

}  // namespace bitloom::core
