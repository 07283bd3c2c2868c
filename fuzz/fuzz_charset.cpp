// US-ASCII, ISO-8859-1 and Windows-1252 against reference codecs: decoder
// verdicts, messages, code points and ranges (byte-order-mark sniffing of
// Windows-1252 included), encoder bytes and messages, and round trips.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/format.hpp"
#include "core/text/charset.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;

namespace {

constexpr std::uint32_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020,
                                     0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D,
                                     0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D,
                                     0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A,
                                     0x0153, 0x009D, 0x017E, 0x0178};

std::uint32_t cp1252(std::uint8_t b) { return b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : b; }

int cp1252_byte(std::uint32_t c) {
    for (int b = 0; b < 256; ++b) {
        if (cp1252(static_cast<std::uint8_t>(b)) == c) return b;
    }
    return -1;
}

// Reference UTF-16 for the sniffed forms: odd tail or lone surrogate fails.
bool ref_utf16(const std::uint8_t* d, std::size_t n, bool little, std::vector<std::uint32_t>& cps) {
    if (n % 2) return false;
    auto unit = [&](std::size_t i) -> std::uint32_t {
        return little ? d[2 * i] | (d[2 * i + 1] << 8) : (d[2 * i] << 8) | d[2 * i + 1];
    };
    for (std::size_t i = 0; i < n / 2; ++i) {
        const std::uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n / 2 && (unit(i + 1) & 0xFC00) == 0xDC00) {
            cps.push_back(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            return false;
        } else {
            cps.push_back(u);
        }
    }
    return true;
}

void expect_text(const Result<CheckedText>& got, const std::vector<std::uint32_t>& cps,
                 const char* what, const std::vector<std::uint8_t>& in) {
    FUZZ_CHECK(got.ok(), "%s failed on %s: %s", what, fuzz::hex(in).c_str(),
               got.error().message.c_str());
    const CheckedText& t = got.value();
    FUZZ_CHECK(t.length == cps.size(), "%s length", what);
    FUZZ_CHECK(t.range == fuzz::range_of(cps), "%s range %d on %s", what, static_cast<int>(t.range),
               fuzz::hex(in).c_str());
    FUZZ_CHECK(fuzz::code_points(t) == cps, "%s code points on %s", what, fuzz::hex(in).c_str());
}

void expect_error(const Result<CheckedText>& got, const std::string& message, const char* what,
                  const std::vector<std::uint8_t>& in) {
    FUZZ_CHECK(!got.ok(), "%s accepted %s", what, fuzz::hex(in).c_str());
    FUZZ_CHECK(got.error().message == message, "%s message '%s' != '%s'", what,
               got.error().message.c_str(), message.c_str());
}

void check_decoders(const std::vector<std::uint8_t>& in) {
    const ByteView view(in.data(), in.size());
    const std::uint8_t* d = in.data();
    const std::size_t n = in.size();

    std::vector<std::uint32_t> bytes(in.begin(), in.end());
    expect_text(Result<CheckedText>(decode_iso_8859_1(view)), bytes, "iso_8859_1", in);

    std::size_t bad = 0;
    while (bad < n && d[bad] < 0x80) ++bad;
    if (bad == n) {
        expect_text(decode_us_ascii(view), bytes, "us_ascii", in);
    } else {
        expect_error(decode_us_ascii(view),
                     "Invalid US-ASCII byte: 0x" + hex_upper(d[bad], 2) + " (must be <= 0x7F)",
                     "us_ascii", in);
    }

    std::vector<std::uint32_t> cps;
    bool ok = true;
    if (n >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
        const fuzz::RefUtf8 r = fuzz::ref_utf8(d + 3, n - 3);
        ok = r.ok;
        cps = r.cps;
    } else if (n >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
        ok = ref_utf16(d + 2, n - 2, true, cps);
    } else if (n >= 2 && d[0] == 0xFE && d[1] == 0xFF) {
        ok = ref_utf16(d + 2, n - 2, false, cps);
    } else {
        for (auto b : in) cps.push_back(cp1252(b));
    }
    if (ok) {
        expect_text(decode_windows_1252(view), cps, "windows_1252", in);
    } else {
        expect_error(decode_windows_1252(view), "Failed to decode Windows-1252 bytes",
                     "windows_1252", in);
    }
}

// The encoders take UTF-8: the first fault in text order decides, be it an
// ill-formed sequence or a character the set lacks.
void check_encoders(const std::vector<std::uint8_t>& text) {
    const fuzz::RefUtf8 ref = fuzz::ref_utf8(text.data(), text.size());
    const std::string_view sv(reinterpret_cast<const char*>(text.data()), text.size());
    struct Set {
        const char* name;
        Result<std::size_t> (*encode)(std::string_view, ByteSink&);
        int (*byte_of)(std::uint32_t);
    };
    const Set sets[] = {
        {"US-ASCII", encode_us_ascii, [](std::uint32_t c) { return c < 0x80 ? int(c) : -1; }},
        {"ISO-8859-1", encode_iso_8859_1, [](std::uint32_t c) { return c <= 0xFF ? int(c) : -1; }},
        {"Windows-1252", encode_windows_1252, cp1252_byte},
    };
    for (const Set& set : sets) {
        fuzz::ExactSink sink;
        auto r = set.encode(sv, sink);
        // Walk the well-formed prefix: offsets of each character.
        std::size_t offset = 0;
        std::string want_error;
        std::vector<std::uint8_t> want;
        for (std::uint32_t c : ref.cps) {
            const std::size_t len = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
            const int b = set.byte_of(c);
            if (b < 0) {
                if (set.byte_of == cp1252_byte) {
                    want_error = "Failed to encode to Windows-1252";
                } else {
                    want_error = "Character '" +
                                 std::string(reinterpret_cast<const char*>(text.data()) + offset,
                                             len) +
                                 "' (U+" + hex_upper(c, 4) + ") is not valid " + set.name;
                }
                break;
            }
            want.push_back(static_cast<std::uint8_t>(b));
            offset += len;
        }
        if (want_error.empty() && !ref.ok) want_error = fuzz::utf8_error_text(ref);
        if (!want_error.empty()) {
            FUZZ_CHECK(!r.ok() && r.error().message == want_error, "%s encode on %s: '%s' != '%s'",
                       set.name, fuzz::hex(text).c_str(), r.ok() ? "ok" : r.error().message.c_str(),
                       want_error.c_str());
            FUZZ_CHECK(!sink.used(), "%s reserved before failing", set.name);
            continue;
        }
        FUZZ_CHECK(r.ok() && r.value() == want.size() && sink.bytes() == want,
                   "%s encode bytes on %s", set.name, fuzz::hex(text).c_str());
        // Round trip (the Windows-1252 decoder would sniff a mark, so skip those).
        const bool marked = want.size() >= 2 && ((want[0] == 0xFF && want[1] == 0xFE) ||
                                                 (want[0] == 0xFE && want[1] == 0xFF) ||
                                                 (want.size() >= 3 && want[0] == 0xEF &&
                                                  want[1] == 0xBB && want[2] == 0xBF));
        if (set.byte_of == cp1252_byte && !marked) {
            expect_text(decode_windows_1252(ByteView(want.data(), want.size())), ref.cps,
                        "windows_1252 round trip", want);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> in(data + 1, data + size);
    if (data[0] & 1) {
        check_decoders(in);
    } else {
        // Mostly valid text: map the bytes onto characters near the sets' edges.
        if (data[0] & 2) {
            std::vector<std::uint32_t> cps;
            for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
                const std::uint32_t pick = in[i] << 8 | in[i + 1];
                std::uint32_t c = pick & 0xFF;
                if (pick & 0x8000) c = kHigh[pick % 32] + ((pick >> 5) & 1);
                if (pick & 0x4000) c = 0x100 + (pick & 0x3FFF);
                if (c >= 0xD800 && c <= 0xDFFF) c = 0x41;
                cps.push_back(c);
            }
            in = fuzz::utf8_of(cps);
        }
        check_encoders(in);
    }
    return 0;
}
