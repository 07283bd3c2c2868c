// write_text: the characters of any checked text (the Unicode decoders' and the
// single-byte sets') into a str's fixed-width storage, UCS1, UCS2 or UCS4.
#include <cstring>

#include "core/text/unicode.hpp"
#include "core/text/unicode_detail.hpp"

namespace bitloom::core {
namespace {

using namespace unicode_detail;

// Single bytes looked up in a table of BMP characters, into UCS2.
void table_to_ucs2(const std::uint8_t* d, std::size_t n, const char16_t* table,
                   std::uint8_t* o) noexcept {
    std::size_t i = 0;
    while (i < n) {
#if BITLOOM_SSE2
        if (n - i >= 16) {
            const __m128i v = load128(d + i);
            if (_mm_movemask_epi8(v) == 0) {
                NativeUcs2::put_ascii16(o + 2 * i, v);
                i += 16;
                continue;
            }
        }
#endif
        store16(o + 2 * i, table[d[i]], kHostLittle);
        ++i;
    }
}

}  // namespace

void write_text(const CheckedText& t, void* out) noexcept {
    auto* o = static_cast<std::uint8_t*>(out);
    const std::uint8_t* d = t.data;
    if (t.length == 0) return;
    switch (t.form) {
        case TextForm::Utf8: {
            const std::uint8_t* o_end = o + t.length * unit_size(t.range);
            switch (t.range) {
                case CharRange::Ascii: std::memcpy(o, d, t.size); return;
                case CharRange::Latin1: utf8_to<Ucs1Out>(d, d + t.size, o, o_end); return;
                case CharRange::Bmp: utf8_to<NativeUcs2>(d, d + t.size, o, o_end); return;
                case CharRange::Supplementary: utf8_to<NativeUcs4>(d, d + t.size, o, o_end); return;
            }
            return;
        }
        case TextForm::Utf16le:
        case TextForm::Utf16be: {
            const bool little = t.form == TextForm::Utf16le;
            const std::size_t units = t.size / 2;
            switch (unit_size(t.range)) {
                case 1: utf16_to_ucs1(d, units, little, o); return;
                case 2: utf16_to_ucs2(d, units, little, o); return;
                default: utf16_to_ucs4(d, units, little, o); return;
            }
        }
        case TextForm::Utf32le:
        case TextForm::Utf32be: {
            const bool little = t.form == TextForm::Utf32le;
            const std::size_t units = t.size / 4;
            switch (unit_size(t.range)) {
                case 1: utf32_to_ucs1(d, units, little, o); return;
                case 2: utf32_to_ucs2(d, units, little, o); return;
                default: utf32_to_ucs4(d, units, little, o); return;
            }
        }
        case TextForm::Bytes: std::memcpy(o, d, t.size); return;
        case TextForm::ByteTable: table_to_ucs2(d, t.size, t.table, o); return;
    }
}

}  // namespace bitloom::core
