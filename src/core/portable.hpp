// Compiler-specific helpers behind one portable face: byte swaps, a prefetch
// hint and a 128-bit unsigned accumulator. GCC and Clang use their builtins
// and unsigned __int128; other compilers (MSVC) get _byteswap_*, no prefetch
// and a small two-word type with the
// operations the bit plumbing uses. Define BITLOOM_PORTABLE_U128 to build the
// two-word type with GCC or Clang too (to test it).
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>
#endif

namespace bitloom::core {

constexpr std::uint32_t bswap32(std::uint32_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap32(v);
#else
    if (!std::is_constant_evaluated()) return _byteswap_ulong(v);
    return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
#endif
}

constexpr std::uint64_t bswap64(std::uint64_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(v);
#else
    if (!std::is_constant_evaluated()) return _byteswap_uint64(v);
    return (static_cast<std::uint64_t>(bswap32(static_cast<std::uint32_t>(v))) << 32) |
           bswap32(static_cast<std::uint32_t>(v >> 32));
#endif
}

// Keeps a function out of line: a loop in a function of its own holds its
// variables in registers, which the inlined copy in a large function whose
// locals escape by reference does not.
#if defined(__GNUC__) || defined(__clang__)
#define BITLOOM_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define BITLOOM_NOINLINE __declspec(noinline)
#else
#define BITLOOM_NOINLINE
#endif

// A hint that the bytes at `p` will be read soon; nothing where the compiler
// has no such hint.
inline void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

#if (defined(__GNUC__) || defined(__clang__)) && defined(__SIZEOF_INT128__) && \
    !defined(BITLOOM_PORTABLE_U128)
using u128 = unsigned __int128;
#else
// Just what the bit plumbing needs: construction from and conversion to
// narrower unsigned integers, shifts by 0..127, and, or, not.
class u128 {
public:
    constexpr u128() noexcept = default;
    constexpr u128(std::uint64_t lo) noexcept : lo_(lo) {}  // NOLINT(google-explicit-constructor)
    template <class T>
        requires std::is_unsigned_v<T>
    constexpr explicit operator T() const noexcept {
        return static_cast<T>(lo_);
    }

    friend constexpr u128 operator<<(u128 a, unsigned s) noexcept {
        if (s == 0) return a;
        if (s >= 64) return make(a.lo_ << (s - 64), 0);
        return make((a.hi_ << s) | (a.lo_ >> (64 - s)), a.lo_ << s);
    }
    friend constexpr u128 operator>>(u128 a, unsigned s) noexcept {
        if (s == 0) return a;
        if (s >= 64) return make(0, a.hi_ >> (s - 64));
        return make(a.hi_ >> s, (a.lo_ >> s) | (a.hi_ << (64 - s)));
    }
    friend constexpr u128 operator|(u128 a, u128 b) noexcept {
        return make(a.hi_ | b.hi_, a.lo_ | b.lo_);
    }
    friend constexpr u128 operator&(u128 a, u128 b) noexcept {
        return make(a.hi_ & b.hi_, a.lo_ & b.lo_);
    }
    friend constexpr u128 operator~(u128 a) noexcept { return make(~a.hi_, ~a.lo_); }
    constexpr u128& operator<<=(unsigned s) noexcept { return *this = *this << s; }
    constexpr u128& operator>>=(unsigned s) noexcept { return *this = *this >> s; }

private:
    static constexpr u128 make(std::uint64_t hi, std::uint64_t lo) noexcept {
        u128 r;
        r.hi_ = hi;
        r.lo_ = lo;
        return r;
    }
    std::uint64_t hi_ = 0;
    std::uint64_t lo_ = 0;
};
#endif

}  // namespace bitloom::core
