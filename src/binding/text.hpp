// Text codecs seen from Python: bytes -> str and UTF-8 text -> bytes for every
// text encoding of the recipe format. Used by the standalone functions and by
// both packet paths.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "binding/ref.hpp"
#include "core/encodings.hpp"

namespace bitloom::py {

// Decode `len` bytes with `codec` into a new str; nullptr with an exception set.
PyObject* decode_text(core::TextCodec codec, const unsigned char* data, std::size_t len);

// Encode the UTF-8 text with `codec`, appending the bytes to `out`; false with
// an exception set when the text cannot be represented.
bool encode_text(core::TextCodec codec, std::string_view utf8, std::string& out);

// Encode the str `str`, whose UTF-8 form `utf8` the text rule has already read
// (so it holds no lone surrogate), with `codec` straight into a new bytes object
// of the exact size (no intermediate buffer); nullptr with an exception set.
PyObject* encode_text_bytes(core::TextCodec codec, PyObject* str, std::string_view utf8);

}  // namespace bitloom::py
