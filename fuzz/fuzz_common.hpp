// Shared pieces of the libFuzzer targets: an input reader, a check macro that
// reports and aborts, and buffers whose size is exact so that AddressSanitizer
// sees every access one byte past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "core/text/unicode.hpp"

#define FUZZ_CHECK(cond, ...)                                                               \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                              \
            std::fprintf(stderr, "\n");                                                     \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

namespace fuzz {

// Takes fixed-size values from the front of the input; past the end it yields zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    T take() {
        T v{};
        std::uint8_t buf[sizeof(T)] = {};
        const std::size_t n = std::min(sizeof(T), size_ - pos_);
        std::memcpy(buf, data_ + pos_, n);
        pos_ += n;
        std::memcpy(&v, buf, sizeof(T));
        return v;
    }
    bool take_bool() { return (take<std::uint8_t>() & 1) != 0; }

    // The rest of the input, as an exactly sized heap copy.
    std::vector<std::uint8_t> rest() {
        std::vector<std::uint8_t> out(data_ + pos_, data_ + size_);
        pos_ = size_;
        return out;
    }
    std::size_t remaining() const { return size_ - pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A field width for the column targets: mostly small and odd, sometimes
// byte-sized, now and then past 64.
inline std::uint32_t pick_field_bits(std::uint8_t b) {
    switch (b >> 6) {
        case 0: return b & 0x0F;            // 0..15
        case 1: return 1 + (b & 0x3F);      // 1..64
        case 2: return 8U * (1 + (b & 7));  // 8, 16, ..., 64
        default: return 50 + (b & 0x1F);    // 50..81 (the word-window edge and beyond)
    }
}

// An exactly sized heap block (no spare capacity for a stray write to hide in).
class ExactBuffer {
public:
    explicit ExactBuffer(std::size_t size) : size_(size), data_(new std::uint8_t[size ? size : 1]) {
        std::memset(data_.get(), 0xA5, size ? size : 1);
    }
    std::uint8_t* data() { return data_.get(); }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> data_;
};

// A ByteSink that hands out one exactly sized block, and checks that the
// encoder asks only once.
class ExactSink final : public bitloom::core::ByteSink {
public:
    std::uint8_t* reserve(std::size_t size) override {
        FUZZ_CHECK(!buffer_, "reserve called twice");
        buffer_ = std::make_unique<ExactBuffer>(size);
        return buffer_->data();
    }
    bool used() const { return static_cast<bool>(buffer_); }
    std::vector<std::uint8_t> bytes() const {
        if (!buffer_) return {};
        return std::vector<std::uint8_t>(buffer_->data(), buffer_->data() + buffer_->size());
    }

private:
    std::unique_ptr<ExactBuffer> buffer_;
};

inline std::string hex(const std::vector<std::uint8_t>& v) {
    std::string s;
    char b[4];
    for (auto c : v) {
        std::snprintf(b, sizeof b, "%02X ", c);
        s += b;
    }
    return s;
}

// Decode a CheckedText through write_text into code points (exact buffer).
inline std::vector<std::uint32_t> code_points(const bitloom::core::CheckedText& t) {
    using namespace bitloom::core;
    const std::size_t unit = unit_size(t.range);
    ExactBuffer out(t.length * unit);
    write_text(t, out.data());
    std::vector<std::uint32_t> cps(t.length);
    for (std::size_t i = 0; i < t.length; ++i) {
        std::uint32_t v = 0;
        if (unit == 1) {
            v = out.data()[i];
        } else if (unit == 2) {
            std::uint16_t u;
            std::memcpy(&u, out.data() + 2 * i, 2);
            v = u;
        } else {
            std::memcpy(&v, out.data() + 4 * i, 4);
        }
        cps[i] = v;
    }
    return cps;
}

// The narrowest range of a list of code points.
inline bitloom::core::CharRange range_of(const std::vector<std::uint32_t>& cps) {
    std::uint32_t top = 0;
    for (auto c : cps) top = c > top ? c : top;
    using bitloom::core::CharRange;
    return top > 0xFFFF ? CharRange::Supplementary
           : top > 0xFF ? CharRange::Bmp
           : top > 0x7F ? CharRange::Latin1
                        : CharRange::Ascii;
}

// ---- reference UTF-8, written from the table of well-formed byte sequences ----

struct RefUtf8 {
    bool ok = true;
    bool incomplete = false;
    std::size_t index = 0;    // first byte of the first ill-formed sequence
    std::size_t invalid = 0;  // allowed bytes before the offending one
    std::vector<std::uint32_t> cps;
};

inline RefUtf8 ref_utf8(const std::uint8_t* d, std::size_t n) {
    RefUtf8 r;
    std::size_t i = 0;
    while (i < n) {
        const unsigned b = d[i];
        unsigned need = 0;
        unsigned lo = 0x80, hi = 0xBF;
        std::uint32_t cp = 0;
        if (b <= 0x7F) {
            r.cps.push_back(b);
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b == 0xE0) {
            need = 2, lo = 0xA0, cp = 0;
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            need = 2, cp = b & 0x0F;
        } else if (b == 0xED) {
            need = 2, hi = 0x9F, cp = 0x0D;
        } else if (b == 0xF0) {
            need = 3, lo = 0x90, cp = 0;
        } else if (b >= 0xF1 && b <= 0xF3) {
            need = 3, cp = b & 0x07;
        } else if (b == 0xF4) {
            need = 3, hi = 0x8F, cp = 4;
        } else {
            r.ok = false, r.index = i, r.invalid = 1;
            return r;
        }
        for (unsigned k = 1; k <= need; ++k) {
            if (i + k >= n) {
                r.ok = false, r.incomplete = true, r.index = i;
                return r;
            }
            const unsigned c = d[i + k];
            const unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (c < l || c > h) {
                r.ok = false, r.index = i, r.invalid = k;
                return r;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        r.cps.push_back(cp);
        i += need + 1;
    }
    return r;
}

inline std::vector<std::uint8_t> utf8_of(const std::vector<std::uint32_t>& cps) {
    std::vector<std::uint8_t> o;
    for (auto c : cps) {
        if (c < 0x80) {
            o.push_back(static_cast<std::uint8_t>(c));
        } else if (c < 0x800) {
            o.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
            o.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            o.push_back(static_cast<std::uint8_t>(0xE0 | (c >> 12)));
            o.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            o.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        } else {
            o.push_back(static_cast<std::uint8_t>(0xF0 | (c >> 18)));
            o.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)));
            o.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            o.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
        }
    }
    return o;
}

inline std::string utf8_error_text(const RefUtf8& r) {
    if (r.incomplete) {
        return "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " +
               std::to_string(r.index);
    }
    return "Invalid UTF-8 bytes: invalid utf-8 sequence of " + std::to_string(r.invalid) +
           " bytes from index " + std::to_string(r.index);
}

}  // namespace fuzz
