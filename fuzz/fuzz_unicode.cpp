// UTF-8/16/32 codecs against scalar reference codecs written from the
// encoding rules: every decoder's verdict, message, code points and character
// range, and every encoder's bytes and their round trip. Buffers are exactly
// sized, so any block-at-a-time access past an end is caught.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/format.hpp"
#include "core/text/unicode.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;

namespace {

struct RefDecoded {
    bool ok = true;
    std::string message;
    std::vector<std::uint32_t> cps;
};

RefDecoded ref_utf16(const std::uint8_t* d, std::size_t n, bool little) {
    RefDecoded r;
    if (n % 2) return {false, "UTF-16 requires an even number of bytes", {}};
    const std::size_t units = n / 2;
    auto unit = [&](std::size_t i) -> std::uint32_t {
        return little ? d[2 * i] | (d[2 * i + 1] << 8) : (d[2 * i] << 8) | d[2 * i + 1];
    };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            r.cps.push_back(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            return {false, "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found", {}};
        } else {
            r.cps.push_back(u);
        }
    }
    return r;
}

RefDecoded ref_utf32(const std::uint8_t* d, std::size_t n, bool little) {
    RefDecoded r;
    if (n % 4) return {false, "UTF-32 requires a multiple of 4 bytes", {}};
    for (std::size_t i = 0; i < n; i += 4) {
        const std::uint32_t u = little ? d[i] | (d[i + 1] << 8) | (d[i + 2] << 16) |
                                             (static_cast<std::uint32_t>(d[i + 3]) << 24)
                                       : (static_cast<std::uint32_t>(d[i]) << 24) |
                                             (d[i + 1] << 16) | (d[i + 2] << 8) | d[i + 3];
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) {
            return {false, "Invalid UTF-32 codepoint: 0x" + hex_upper(u, 8), {}};
        }
        r.cps.push_back(u);
    }
    return r;
}

RefDecoded ref_utf16_marked(const std::uint8_t* d, std::size_t n) {
    if (n < 2 || n % 2) {
        return {false, "UTF-16 requires an even number of bytes with at least 2 bytes", {}};
    }
    if (d[0] == 0xFE && d[1] == 0xFF) return ref_utf16(d + 2, n - 2, false);
    if (d[0] == 0xFF && d[1] == 0xFE) return ref_utf16(d + 2, n - 2, true);
    return ref_utf16(d, n, false);
}

RefDecoded ref_utf32_marked(const std::uint8_t* d, std::size_t n) {
    if (n < 4 || n % 4) {
        return {false, "UTF-32 requires a multiple of 4 bytes with at least 4 bytes", {}};
    }
    if (d[0] == 0 && d[1] == 0 && d[2] == 0xFE && d[3] == 0xFF)
        return ref_utf32(d + 4, n - 4, false);
    if (d[0] == 0xFF && d[1] == 0xFE && d[2] == 0 && d[3] == 0)
        return ref_utf32(d + 4, n - 4, true);
    return ref_utf32(d, n, false);
}

void compare(const Result<CheckedText>& got, const RefDecoded& want, const char* what,
             const std::vector<std::uint8_t>& in) {
    FUZZ_CHECK(got.ok() == want.ok, "%s verdict on %s", what, fuzz::hex(in).c_str());
    if (!want.ok) {
        FUZZ_CHECK(got.error().kind == ErrorKind::Value && got.error().message == want.message,
                   "%s message '%s' != '%s'", what, got.error().message.c_str(),
                   want.message.c_str());
        return;
    }
    const CheckedText& t = got.value();
    FUZZ_CHECK(t.length == want.cps.size(), "%s length %zu != %zu on %s", what, t.length,
               want.cps.size(), fuzz::hex(in).c_str());
    FUZZ_CHECK(t.range == fuzz::range_of(want.cps), "%s range %d on %s", what,
               static_cast<int>(t.range), fuzz::hex(in).c_str());
    FUZZ_CHECK(fuzz::code_points(t) == want.cps, "%s code points on %s", what,
               fuzz::hex(in).c_str());
}

std::vector<std::uint8_t> ref_encode16(const std::vector<std::uint32_t>& cps, bool little,
                                       bool mark) {
    std::vector<std::uint8_t> o;
    auto put = [&](std::uint32_t u) {
        if (little) {
            o.push_back(u & 0xFF), o.push_back(u >> 8);
        } else {
            o.push_back(u >> 8), o.push_back(u & 0xFF);
        }
    };
    if (mark) put(0xFEFF);
    for (auto c : cps) {
        if (c < 0x10000) {
            put(c);
        } else {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return o;
}

std::vector<std::uint8_t> ref_encode32(const std::vector<std::uint32_t>& cps, bool little,
                                       bool mark) {
    std::vector<std::uint8_t> o;
    auto put = [&](std::uint32_t u) {
        for (int k = 0; k < 4; ++k) {
            o.push_back(static_cast<std::uint8_t>(little ? u >> (8 * k) : u >> (24 - 8 * k)));
        }
    };
    if (mark) put(0xFEFF);
    for (auto c : cps) put(c);
    return o;
}

template <class Encode>
void check_encoder(const char* what, Encode encode, const std::vector<std::uint8_t>& text,
                   const fuzz::RefUtf8& ref, const std::vector<std::uint8_t>& want) {
    fuzz::ExactSink sink;
    const std::string_view sv(reinterpret_cast<const char*>(text.data()), text.size());
    auto r = encode(sv, sink);
    if (!ref.ok) {
        FUZZ_CHECK(!r && r.error().message == fuzz::utf8_error_text(ref),
                   "%s accepted ill-formed UTF-8 or wrong message on %s", what,
                   fuzz::hex(text).c_str());
        FUZZ_CHECK(!sink.used(), "%s reserved before failing", what);
        return;
    }
    FUZZ_CHECK(r.ok(), "%s failed: %s", what, r.error().message.c_str());
    FUZZ_CHECK(r.value() == want.size() && sink.bytes() == want, "%s bytes on %s: %s", what,
               fuzz::hex(text).c_str(), fuzz::hex(sink.bytes()).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0];
    const std::vector<std::uint8_t> in(data + 1, data + size);  // exactly sized copy
    const ByteView view(in.data(), in.size());
    const std::uint8_t* d = in.data();
    const std::size_t n = in.size();

    switch (mode % 4) {
        case 0: {  // UTF-8 decode, and the encoders on the same bytes taken as text
            const fuzz::RefUtf8 ref = fuzz::ref_utf8(d, n);
            auto got = decode_utf8(view);
            FUZZ_CHECK(got.ok() == ref.ok, "utf8 verdict on %s", fuzz::hex(in).c_str());
            if (!ref.ok) {
                FUZZ_CHECK(got.error().message == fuzz::utf8_error_text(ref),
                           "utf8 message '%s' != '%s'", got.error().message.c_str(),
                           fuzz::utf8_error_text(ref).c_str());
            } else {
                compare(got, RefDecoded{true, {}, ref.cps}, "utf8", in);
            }
            auto shape = measure_utf8(d, n);
            FUZZ_CHECK(shape.ok() == ref.ok, "measure_utf8 verdict");
            // Encoders: UTF-8 text in, each form out.
            {
                fuzz::ExactSink sink;
                auto r = encode_utf8(std::string_view(reinterpret_cast<const char*>(d), n), sink);
                FUZZ_CHECK(r.ok() && sink.bytes() == in, "encode_utf8 is not the identity");
            }
            check_encoder(
                "utf16", [](std::string_view t, ByteSink& s) { return encode_utf16(t, s); }, in,
                ref, ref_encode16(ref.cps, false, true));
            check_encoder(
                "utf16le",
                [](std::string_view t, ByteSink& s) {
                    return encode_utf16_with_endianness(t, true, s);
                },
                in, ref, ref_encode16(ref.cps, true, false));
            check_encoder(
                "utf16be",
                [](std::string_view t, ByteSink& s) {
                    return encode_utf16_with_endianness(t, false, s);
                },
                in, ref, ref_encode16(ref.cps, false, false));
            check_encoder(
                "utf32", [](std::string_view t, ByteSink& s) { return encode_utf32(t, s); }, in,
                ref, ref_encode32(ref.cps, false, true));
            check_encoder(
                "utf32le",
                [](std::string_view t, ByteSink& s) {
                    return encode_utf32_with_endianness(t, true, s);
                },
                in, ref, ref_encode32(ref.cps, true, false));
            check_encoder(
                "utf32be",
                [](std::string_view t, ByteSink& s) {
                    return encode_utf32_with_endianness(t, false, s);
                },
                in, ref, ref_encode32(ref.cps, false, false));
            break;
        }
        case 1:  // UTF-16, all three decoders
            compare(decode_utf16(view), ref_utf16_marked(d, n), "utf16", in);
            compare(decode_utf16_with_endianness(view, true), ref_utf16(d, n, true), "utf16le", in);
            compare(decode_utf16_with_endianness(view, false), ref_utf16(d, n, false), "utf16be",
                    in);
            break;
        case 2:  // UTF-32, all three decoders
            compare(decode_utf32(view), ref_utf32_marked(d, n), "utf32", in);
            compare(decode_utf32_with_endianness(view, true), ref_utf32(d, n, true), "utf32le", in);
            compare(decode_utf32_with_endianness(view, false), ref_utf32(d, n, false), "utf32be",
                    in);
            break;
        case 3: {  // valid text of any characters: encode every way, decode back
            // Turn the bytes into scalar values, 3 bytes each.
            std::vector<std::uint32_t> cps;
            for (std::size_t i = 0; i + 3 <= n; i += 3) {
                std::uint32_t c = (d[i] << 16 | d[i + 1] << 8 | d[i + 2]) % 0x110000;
                if ((mode & 0x10) && c >= 0x80) c &= (mode & 0x20) ? 0xFF : 0x7F;  // narrow texts
                if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;
                cps.push_back(c);
            }
            const auto text = fuzz::utf8_of(cps);
            const fuzz::RefUtf8 ref = fuzz::ref_utf8(text.data(), text.size());
            FUZZ_CHECK(ref.ok && ref.cps == cps, "reference UTF-8");
            compare(decode_utf8(ByteView(text.data(), text.size())), RefDecoded{true, {}, cps},
                    "utf8 valid", text);
            for (int form = 0; form < 4; ++form) {
                const bool little = form & 1;
                const bool wide = form & 2;
                fuzz::ExactSink sink;
                const std::string_view sv(reinterpret_cast<const char*>(text.data()), text.size());
                auto r = wide ? encode_utf32_with_endianness(sv, little, sink)
                              : encode_utf16_with_endianness(sv, little, sink);
                FUZZ_CHECK(r.ok(), "encode of valid text failed");
                const auto bytes = sink.bytes();
                compare(wide ? decode_utf32_with_endianness(ByteView(bytes.data(), bytes.size()),
                                                            little)
                             : decode_utf16_with_endianness(ByteView(bytes.data(), bytes.size()),
                                                            little),
                        RefDecoded{true, {}, cps}, "round trip", bytes);
            }
            break;
        }
    }
    return 0;
}
