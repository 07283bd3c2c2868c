// Integer codecs: the three signed representations and "unsigned", against
// models computed in 128-bit arithmetic, and decode(encode(x)) == x wherever
// an encoder accepts x.
#include <cstdint>
#include <string>

#include "core/integer.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;
using i128 = __int128;

namespace {

// Widths are mostly 0..70 (where the interesting edges are), sometimes any u32.
std::uint32_t pick_bits(fuzz::Input& in) {
    const auto raw = in.take<std::uint32_t>();
    return (raw & 0x80000000u) != 0 ? raw : raw % 71;
}

i128 pow2(unsigned k) { return static_cast<i128>(1) << k; }

void check_twos(std::int64_t v, std::uint32_t bits) {
    auto r = encode_twos_complement(v, bits);
    if (bits > 64) {
        FUZZ_CHECK(!r && r.error().message == "bits must be <= 64 for two's complement encoding",
                   "twos width %u", bits);
        return;
    }
    const bool fits = bits == 64 || (bits > 0 && v >= -pow2(bits - 1) && v < pow2(bits - 1)) ||
                      (bits == 0 && v == 0);
    FUZZ_CHECK(r.ok() == fits, "twos accept v=%lld bits=%u ok=%d", (long long)v, bits, r.ok());
    if (!fits) {
        FUZZ_CHECK(r.error().kind == ErrorKind::Value && !r.error().message.empty(), "twos error");
        return;
    }
    const std::uint64_t mask = bits >= 64 ? ~0ULL : (1ULL << bits) - 1;
    FUZZ_CHECK((r.value() & ~mask) == 0, "twos image above field v=%lld bits=%u", (long long)v,
               bits);
    FUZZ_CHECK(r.value() == (static_cast<std::uint64_t>(v) & mask), "twos image");
    if (bits > 0) {
        FUZZ_CHECK(decode_twos_complement(r.value(), bits) == v, "twos round trip v=%lld bits=%u",
                   (long long)v, bits);
    }
}

void check_ones(std::int64_t v, std::uint32_t bits) {
    auto r = encode_ones_complement(v, bits);
    if (bits > 64) {
        FUZZ_CHECK(!r && r.error().message == "bits must be <= 64 for ones' complement encoding",
                   "ones width");
        return;
    }
    const i128 limit = bits == 0 ? 0 : pow2(bits - 1) - 1;
    const i128 m = v < 0 ? -static_cast<i128>(v) : v;
    const bool fits = m <= limit;
    FUZZ_CHECK(r.ok() == fits, "ones accept v=%lld bits=%u", (long long)v, bits);
    if (!fits) {
        const std::string want = "Value " + std::to_string(v) +
                                 (v < 0 ? " is too large (magnitude) for " : " is too large for ") +
                                 std::to_string(bits) + " bits";
        FUZZ_CHECK(r.error().message == want, "ones message '%s'", r.error().message.c_str());
        return;
    }
    const i128 modulus = pow2(bits);
    const i128 image = bits == 0 ? 0 : ((static_cast<i128>(v) + modulus - 1) % modulus);
    const i128 expected = v >= 0 ? static_cast<i128>(v) : image;
    FUZZ_CHECK(static_cast<i128>(r.value()) == expected, "ones image v=%lld bits=%u", (long long)v,
               bits);
    if (bits > 0) {
        FUZZ_CHECK(decode_ones_complement(r.value(), bits) == v, "ones round trip v=%lld bits=%u",
                   (long long)v, bits);
    }
}

void check_sign_magnitude(std::int64_t v, std::uint32_t bits) {
    auto r = encode_sign_magnitude(v, bits);
    if (bits < 2 || bits > 64) {
        FUZZ_CHECK(!r && r.error().message ==
                             "bits must be between 2 and 64 for sign-magnitude encoding",
                   "sm width");
        return;
    }
    const i128 m = v < 0 ? -static_cast<i128>(v) : v;
    const bool fits = m < pow2(bits - 1);
    FUZZ_CHECK(r.ok() == fits, "sm accept v=%lld bits=%u", (long long)v, bits);
    if (!fits) {
        FUZZ_CHECK(r.error().message == "Magnitude of " + std::to_string(v) + " is too large for " +
                                            std::to_string(bits) + " bits",
                   "sm message");
        return;
    }
    const i128 expected = v < 0 ? (m | pow2(bits - 1)) : m;
    FUZZ_CHECK(static_cast<i128>(r.value()) == expected, "sm image");
    FUZZ_CHECK(decode_sign_magnitude(r.value(), bits) == v, "sm round trip v=%lld bits=%u",
               (long long)v, bits);
}

// The decoders against their formulas.
void check_decoders(std::uint64_t image, std::uint32_t bits) {
    const std::int64_t t = decode_twos_complement(image, bits);
    const std::int64_t o = decode_ones_complement(image, bits);
    const std::int64_t s = decode_sign_magnitude(image, bits);
    if (bits >= 1 && bits < 64) {
        const std::uint64_t sign = 1ULL << (bits - 1);
        const std::uint64_t mask = (1ULL << bits) - 1;
        if ((image & sign) == 0) {
            FUZZ_CHECK(t == static_cast<std::int64_t>(image), "twos decode clear sign");
            FUZZ_CHECK(o == static_cast<std::int64_t>(image), "ones decode clear sign");
        } else {
            const std::uint64_t mt = (0 - image) & mask;
            FUZZ_CHECK(t == static_cast<std::int64_t>(0 - mt), "twos decode");
            FUZZ_CHECK(o == static_cast<std::int64_t>(image - mask), "ones decode");
        }
        const auto mag = static_cast<std::int64_t>(image & (sign - 1));
        FUZZ_CHECK(s == ((image & sign) ? -mag : mag), "sm decode");
    } else if (bits >= 64) {
        const auto v = static_cast<std::int64_t>(image);
        FUZZ_CHECK(t == v, "twos decode 64");
        FUZZ_CHECK(o == (v < 0 ? v + 1 : v), "ones decode 64");
        if (bits == 64) {
            const auto mag = static_cast<std::int64_t>(image & 0x7FFFFFFFFFFFFFFFULL);
            FUZZ_CHECK(s == (v < 0 ? -mag : mag), "sm decode 64");
        }
    }
}

void check_unsigned(std::uint64_t v, std::uint32_t bits) {
    auto r = encode_unsigned(v, bits);
    const bool fits = bits >= 64 || v < (1ULL << bits);
    FUZZ_CHECK(r.ok() == fits, "unsigned accept");
    if (fits) {
        FUZZ_CHECK(r.value() == v, "unsigned image");
    } else {
        FUZZ_CHECK(r.error().message == "Value " + std::to_string(v) + " is too large for " +
                                            std::to_string(bits) + " bits",
                   "unsigned message");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto v = in.take<std::int64_t>();
    const std::uint32_t bits = pick_bits(in);
    // Values near the edges of the field are the interesting ones.
    std::int64_t edge = v;
    if (bits >= 1 && bits <= 64 && (in.take<std::uint8_t>() & 1)) {
        const i128 top = pow2(bits - 1);
        const i128 candidates[] = {top - 1, top, -top, -top + 1, -top - 1, 0, -1};
        const i128 c = candidates[static_cast<std::uint64_t>(v) % 7];
        if (c >= INT64_MIN && c <= INT64_MAX) edge = static_cast<std::int64_t>(c);
    }
    check_twos(edge, bits);
    check_ones(edge, bits);
    check_sign_magnitude(edge, bits);
    check_decoders(static_cast<std::uint64_t>(v), bits);
    check_unsigned(static_cast<std::uint64_t>(v), bits);
    return 0;
}
