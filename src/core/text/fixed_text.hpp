// Encoding text straight from fixed-width storage: one, two or four bytes per
// character in native byte order, the way the interpreter holds a str.
//
// For the fixed-width encodings the bytes are a copy, a widening or a byte swap
// of that storage, which is several times faster than transcoding the UTF-8
// form. Where the result is anything else (a character the set lacks, a
// surrogate pair to build) the caller encodes the UTF-8 form instead, which
// also gives the exact error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/encodings.hpp"

namespace bitloom::core {

// Every character must be a Unicode scalar value (no surrogates): a str whose
// UTF-8 form exists is such a text.
struct FixedText {
    const void* data;
    std::size_t length;  // characters
    unsigned width;      // bytes per character: 1, 2 or 4
    bool ascii;          // every character below U+0080
};

// The size of what `codec` makes of `text` when that is a copy, widening or
// byte swap of the storage (byte-order mark included); 0 when the text must be
// encoded from its UTF-8 form. Empty text also gives 0: the UTF-8 path handles it.
std::size_t fixed_encoded_size(TextCodec codec, const FixedText& text) noexcept;

// Writes those bytes; `out` has room for fixed_encoded_size(codec, text).
void encode_fixed(TextCodec codec, const FixedText& text, std::uint8_t* out) noexcept;

}  // namespace bitloom::core
