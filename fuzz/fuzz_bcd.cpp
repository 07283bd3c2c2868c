// Packed and unpacked BCD: the decoders against a digit-by-digit model (result
// or exact message), and decode(encode(x)) == x wherever an encoder accepts x
// (the unsigned unpacked form keeps only the magnitude).
#include <cstdint>
#include <string>

#include "core/bcd.hpp"
#include "core/format.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;

namespace {

std::uint32_t pick_bits(fuzz::Input& in) {
    const auto raw = in.take<std::uint32_t>();
    return (raw & 0x80000000u) != 0 ? raw : raw % 140;
}

unsigned nibble(std::uint64_t image, std::uint64_t i) {
    return i < 16 ? (image >> (4 * i)) & 0xF : 0;
}
unsigned byte_at(std::uint64_t image, std::uint64_t i) {
    return i < 8 ? (image >> (8 * i)) & 0xFF : 0;
}

// Model of the packed decoder: {ok, value, message}.
struct Decoded {
    bool ok;
    std::int64_t value;
    std::string message;
};

Decoded model_packed(std::uint64_t image, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return {true, 0, {}};
    const std::uint64_t n = bits / 4;
    bool negative = false;
    std::uint64_t first = 0;
    if (is_signed) {
        const unsigned s = nibble(image, 0);
        if (s < 0xA)
            return {false, 0, "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"};
        negative = s == 0xB || s == 0xD;
        first = 1;
    }
    unsigned __int128 m = 0, w = 1;
    const std::uint64_t last = n < 17 ? n : 17;  // nibbles from 16 on read as 0
    for (std::uint64_t i = first; i < last; ++i) {
        const unsigned d = nibble(image, i);
        if (d > 9) return {false, 0, "Invalid BCD digit: " + std::to_string(d) + " (must be 0-9)"};
        m += d * w;
        w *= 10;
    }
    const auto v = static_cast<std::int64_t>(m);
    return {true, negative ? -v : v, {}};
}

Decoded model_unpacked(std::uint64_t image, std::uint32_t bits, bool is_signed) {
    if (bits < 8) return {true, 0, {}};
    const std::uint64_t n = bits / 8;
    unsigned __int128 m = 0, w = 1;
    bool negative = false;
    const std::uint64_t last = n < 9 ? n : 9;  // byte 8 reads as 0x00
    for (std::uint64_t i = 0; i < last; ++i) {
        const unsigned b = byte_at(image, i);
        unsigned digit = 0;
        if (!is_signed) {
            if (b > 9)
                return {false, 0, "Invalid BCD digit: " + std::to_string(b) + " (must be 0-9)"};
            digit = b;
        } else if (i == 0) {
            const unsigned z = b >> 4, d = b & 0xF;
            if (d > 9 || (z != 0xC && z != 0xD && z != 0xF && z != 0x3)) {
                return {false, 0,
                        "Invalid zoned decimal signed byte: 0x" + hex_upper(b, 2) +
                            " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"};
            }
            negative = z == 0xD;
            digit = d;
        } else {
            const unsigned z = b >> 4, d = b & 0xF;
            if (d > 9 || (z != 0x3 && z != 0xF)) {
                return {false, 0,
                        "Invalid zoned decimal byte: 0x" + hex_upper(b, 2) +
                            " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"};
            }
            digit = d;
        }
        m += digit * w;
        w *= 10;
    }
    // Unsigned bytes past the image (n > 8) are 0x00 digits: nothing to add.
    const auto v = static_cast<std::int64_t>(m);
    return {true, negative ? -v : v, {}};
}

void compare(const Result<std::int64_t>& got, const Decoded& want, const char* what,
             std::uint64_t image, std::uint32_t bits, bool s) {
    FUZZ_CHECK(got.ok() == want.ok, "%s ok image=%016llx bits=%u signed=%d", what,
               (unsigned long long)image, bits, s);
    if (want.ok) {
        FUZZ_CHECK(got.value() == want.value, "%s value %lld != %lld image=%016llx bits=%u", what,
                   (long long)got.value(), (long long)want.value, (unsigned long long)image, bits);
    } else {
        FUZZ_CHECK(got.error().message == want.message, "%s message '%s' != '%s'", what,
                   got.error().message.c_str(), want.message.c_str());
    }
}

unsigned __int128 pow10(unsigned k) {
    unsigned __int128 p = 1;
    while (k--) p *= 10;
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto image = in.take<std::uint64_t>();
    const std::uint32_t bits = pick_bits(in);
    const bool s = in.take_bool();
    auto value = in.take<std::int64_t>();
    if (in.take_bool()) value %= 1000000000;  // short values fit more often

    compare(decode_packed_bcd(image, bits, s), model_packed(image, bits, s), "packed", image, bits,
            s);
    compare(decode_unpacked_bcd(image, bits, s), model_unpacked(image, bits, s), "unpacked", image,
            bits, s);

    const unsigned __int128 mag = value < 0 ? static_cast<unsigned __int128>(
                                                  -static_cast<__int128>(value))
                                            : value;

    // Packed encode.
    auto p = encode_packed_bcd(value, bits, s);
    if (bits < 4) {
        FUZZ_CHECK(!p && p.error().message == "bits must be >= 4 for packed BCD", "packed width");
    } else if (value < 0 && !s) {
        FUZZ_CHECK(!p && p.error().message == "Cannot encode negative value in unsigned BCD",
                   "packed sign");
    } else {
        const std::uint64_t n = bits / 4;
        const std::uint64_t capacity = n - (s ? 1 : 0);
        const bool fits = capacity >= 20 || mag < pow10(static_cast<unsigned>(capacity));
        if (p.ok()) {
            FUZZ_CHECK(fits, "packed accepted a value that does not fit");
            auto back = decode_packed_bcd(p.value(), bits, s);
            FUZZ_CHECK(back.ok() && back.value() == value, "packed round trip v=%lld bits=%u s=%d",
                       (long long)value, bits, s);
            if (bits < 64) FUZZ_CHECK(p.value() >> bits == 0, "packed image above field");
        } else {
            // Only too many digits may fail here; wider than the image may refuse
            // digits that land beyond nibble 15.
            FUZZ_CHECK(p.error().message.rfind(
                           "Value " + std::to_string(value) + " has too many digits for ", 0) == 0,
                       "packed message '%s'", p.error().message.c_str());
            FUZZ_CHECK(!fits || n > 16, "packed refused a value that fits v=%lld bits=%u",
                       (long long)value, bits);
            if (n <= 16) {
                FUZZ_CHECK(p.error().message == "Value " + std::to_string(value) +
                                                    " has too many digits for " +
                                                    std::to_string(capacity) + " BCD digits",
                           "packed digits message");
            }
        }
    }

    // Unpacked encode.
    auto u = encode_unpacked_bcd(value, bits, s);
    if (bits < 8) {
        FUZZ_CHECK(!u && u.error().message == "bits must be >= 8 for unpacked BCD",
                   "unpacked width");
    } else {
        const std::uint64_t n = bits / 8;
        const bool fits = n >= 20 || mag < pow10(static_cast<unsigned>(n));
        if (u.ok()) {
            FUZZ_CHECK(fits, "unpacked accepted a value that does not fit");
            // Signed and wider than the image, byte 8 reads as 0x00, which is no
            // zoned digit: no round trip is promised there.
            if (!s || n <= 8) {
                auto back = decode_unpacked_bcd(u.value(), bits, s);
                const std::int64_t want = s ? value : static_cast<std::int64_t>(mag);
                FUZZ_CHECK(back.ok() && back.value() == want,
                           "unpacked round trip v=%lld bits=%u s=%d", (long long)value, bits, s);
            }
            if (bits < 64) FUZZ_CHECK(u.value() >> bits == 0, "unpacked image above field");
        } else {
            FUZZ_CHECK(!fits || n > 8, "unpacked refused a value that fits v=%lld bits=%u",
                       (long long)value, bits);
            if (n <= 8) {
                FUZZ_CHECK(u.error().message == "Value " + std::to_string(value) +
                                                    " has too many digits for " +
                                                    std::to_string(n) + " BCD digits",
                           "unpacked message '%s'", u.error().message.c_str());
            }
        }
    }
    return 0;
}
