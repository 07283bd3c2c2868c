#include "ext/bitloom/function_table.hpp"

#include <array>
#include <new>
#include <string>
#include <utility>

#include "binding/errors.hpp"
#include "binding/text.hpp"
#include "core/bcd.hpp"
#include "core/encodings.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "paths/pack_parameters.hpp"
#include "paths/unpack_parameters.hpp"

namespace bitloom::module {
namespace {

using core::Result;
using core::TextCodec;

// ---- results -------------------------------------------------------------

PyObject* to_python(const Result<std::uint64_t>& r) {
    if (!r) {
        py::raise(r.error());
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(r.value());
}

PyObject* to_python(const Result<std::int64_t>& r) {
    if (!r) {
        py::raise(r.error());
        return nullptr;
    }
    return PyLong_FromLongLong(r.value());
}

// ---- packets ---------------------------------------------------------------

PyObject* unpack_parameters(const FunctionDef& f, PyObject* const* argv) {
    std::string_view packet;
    std::uint32_t offset = 0;
    if (!convert_arg(f, 0, argv, py::to_byte_string, packet) ||
        !convert_arg(f, 1, argv, py::to_u32, offset)) {
        return nullptr;
    }
    // An exact list or tuple is accepted as it is (collecting its items
    // cannot fail).
    if (PyList_CheckExact(argv[2]) || PyTuple_CheckExact(argv[2])) [[likely]] {
        const py::ItemView listed(PySequence_Fast_ITEMS(argv[2]),
                                  static_cast<std::size_t>(PySequence_Fast_GET_SIZE(argv[2])));
        return decoder::unpack_parameters(packet, offset, listed, decoder::Items::Borrowed);
    }
    py::ItemList items;
    if (!convert_arg(f, 2, argv, py::to_sequence, items)) return nullptr;
    return decoder::unpack_parameters(packet, offset, items, decoder::Items::Held);
}

PyObject* pack_parameters(const FunctionDef& f, PyObject* const* argv) {
    py::ItemList items;
    if (!convert_arg(f, 0, argv, py::to_sequence, items)) return nullptr;
    return encoder::pack_parameters(items);
}

// ---- integers and BCD ----------------------------------------------------------

template <std::int64_t (*Decode)(std::uint64_t, std::uint32_t) noexcept>
PyObject* decode_integer(const FunctionDef& f, PyObject* const* argv) {
    std::uint64_t value = 0;
    std::uint32_t bits = 0;
    if (!convert_arg(f, 0, argv, py::to_u64, value) || !convert_arg(f, 1, argv, py::to_u32, bits)) {
        return nullptr;
    }
    return PyLong_FromLongLong(Decode(value, bits));
}

template <Result<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t)>
PyObject* encode_integer(const FunctionDef& f, PyObject* const* argv) {
    std::int64_t value = 0;
    std::uint32_t bits = 0;
    if (!convert_arg(f, 0, argv, py::to_i64, value) || !convert_arg(f, 1, argv, py::to_u32, bits)) {
        return nullptr;
    }
    return to_python(Encode(value, bits));
}

// `signed` is optional and defaults to False.
bool convert_signed(const FunctionDef& f, PyObject* const* argv, bool& is_signed) {
    is_signed = false;
    return argv[2] == nullptr || convert_arg(f, 2, argv, py::to_bool, is_signed);
}

template <Result<std::int64_t> (*Decode)(std::uint64_t, std::uint32_t, bool)>
PyObject* decode_bcd(const FunctionDef& f, PyObject* const* argv) {
    std::uint64_t value = 0;
    std::uint32_t bits = 0;
    bool is_signed = false;
    if (!convert_arg(f, 0, argv, py::to_u64, value) || !convert_arg(f, 1, argv, py::to_u32, bits) ||
        !convert_signed(f, argv, is_signed)) {
        return nullptr;
    }
    return to_python(Decode(value, bits, is_signed));
}

template <Result<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t, bool)>
PyObject* encode_bcd(const FunctionDef& f, PyObject* const* argv) {
    std::int64_t value = 0;
    std::uint32_t bits = 0;
    bool is_signed = false;
    if (!convert_arg(f, 0, argv, py::to_i64, value) || !convert_arg(f, 1, argv, py::to_u32, bits) ||
        !convert_signed(f, argv, is_signed)) {
        return nullptr;
    }
    return to_python(Encode(value, bits, is_signed));
}

// ---- floating point -------------------------------------------------------------

PyObject* decode_f16(const FunctionDef& f, PyObject* const* argv) {
    std::uint64_t value = 0;
    if (!convert_arg(f, 0, argv, py::to_u64, value)) return nullptr;
    return PyFloat_FromDouble(core::decode_f16(static_cast<std::uint16_t>(value)));
}

PyObject* decode_f32(const FunctionDef& f, PyObject* const* argv) {
    std::uint64_t value = 0;
    if (!convert_arg(f, 0, argv, py::to_u64, value)) return nullptr;
    return PyFloat_FromDouble(core::decode_f32(static_cast<std::uint32_t>(value)));
}

PyObject* decode_f64(const FunctionDef& f, PyObject* const* argv) {
    std::uint64_t value = 0;
    if (!convert_arg(f, 0, argv, py::to_u64, value)) return nullptr;
    return PyFloat_FromDouble(core::decode_f64(value));
}

bool to_u128_pair(PyObject* obj, std::pair<std::uint64_t, std::uint64_t>& out) {
    return py::to_u128(obj, out.first, out.second);
}

PyObject* decode_f128(const FunctionDef& f, PyObject* const* argv) {
    std::pair<std::uint64_t, std::uint64_t> value;
    if (!convert_arg(f, 0, argv, to_u128_pair, value)) return nullptr;
    return PyFloat_FromDouble(core::decode_f128(value.first, value.second));
}

PyObject* encode_f16(const FunctionDef& f, PyObject* const* argv) {
    float value = 0;
    if (!convert_arg(f, 0, argv, py::to_single, value)) return nullptr;
    return PyLong_FromUnsignedLong(core::encode_f16(value));
}

PyObject* encode_f32(const FunctionDef& f, PyObject* const* argv) {
    float value = 0;
    if (!convert_arg(f, 0, argv, py::to_single, value)) return nullptr;
    return PyLong_FromUnsignedLong(core::f32_bits(value));
}

PyObject* encode_f64(const FunctionDef& f, PyObject* const* argv) {
    double value = 0;
    if (!convert_arg(f, 0, argv, py::to_double, value)) return nullptr;
    return PyLong_FromUnsignedLongLong(core::f64_bits(value));
}

// The encoding row `Row` (an index from core::encoding_index, so a name without
// a row does not compile) of a format that has no codec, or no encoder.
template <std::size_t Row>
constexpr const core::EncodingRow& unimplemented_row() {
    static_assert(Row < core::kEncodings.size());
    constexpr const core::EncodingRow& row = core::kEncodings[Row];
    static_assert(row.codec == core::Codec::UnimplementedFloat || row.codec == core::Codec::F128,
                  "only formats the packer refuses are refused by their functions");
    return row;
}

// Named formats without a codec: the argument is converted, then refused.
template <std::size_t Row>
PyObject* decode_unimplemented(const FunctionDef& f, PyObject* const* argv) {
    std::uint64_t value = 0;
    if (!convert_arg(f, 0, argv, py::to_u64, value)) return nullptr;
    py::raise(PyExc_NotImplementedError,
              core::unimplemented_decode_message(unimplemented_row<Row>()));
    return nullptr;
}

template <class Float, std::size_t Row>
PyObject* encode_unimplemented(const FunctionDef& f, PyObject* const* argv) {
    Float value = 0;
    bool (*rule)(PyObject*, Float&) = nullptr;
    if constexpr (sizeof(Float) == sizeof(float)) {
        rule = py::to_single;
    } else {
        rule = py::to_double;
    }
    if (!convert_arg(f, 0, argv, rule, value)) return nullptr;
    py::raise(PyExc_NotImplementedError,
              core::unimplemented_encode_message(unimplemented_row<Row>()));
    return nullptr;
}

// ---- text -------------------------------------------------------------------

template <TextCodec Codec>
PyObject* decode_text(const FunctionDef& f, PyObject* const* argv) {
    std::string_view bytes;
    if (!convert_arg(f, 0, argv, py::to_byte_string, bytes)) return nullptr;
    return py::decode_text(Codec, reinterpret_cast<const unsigned char*>(bytes.data()),
                           bytes.size());
}

template <TextCodec Codec>
PyObject* encode_text(const FunctionDef& f, PyObject* const* argv) {
    std::string_view text;
    if (!convert_arg(f, 0, argv, py::to_text, text)) return nullptr;
    return py::encode_text_bytes(Codec, argv[0], text);
}

// ---- the table --------------------------------------------------------------

constexpr FunctionDef one(const char* name, const char* param, Impl impl) {
    return {{name, {param}, 1, 1, 1}, impl};
}
constexpr FunctionDef two(const char* name, const char* a, const char* b, Impl impl) {
    return {{name, {a, b}, 2, 2, 2}, impl};
}
constexpr FunctionDef bcd(const char* name, Impl impl) {
    return {{name, {"value", "bits", "signed"}, 3, 2, 3}, impl};
}

using core::encoding_index;

using T = TextCodec;

constexpr std::array<FunctionDef, 62> kFunctions{{
    {{"unpack_parameters", {"packet_bytes", "offset_bits", "recipe"}, 3, 3, 3}, unpack_parameters},
    one("pack_parameters", "recipe", pack_parameters),
    two("decode_ones_complement", "value", "bits", decode_integer<core::decode_ones_complement>),
    two("decode_twos_complement", "value", "bits", decode_integer<core::decode_twos_complement>),
    two("decode_sign_magnitude", "value", "bits", decode_integer<core::decode_sign_magnitude>),
    bcd("decode_unpacked_bcd", decode_bcd<core::decode_unpacked_bcd>),
    bcd("decode_packed_bcd", decode_bcd<core::decode_packed_bcd>),
    one("decode_ieee754_f16", "value", decode_f16),
    one("decode_ieee754_f32", "value", decode_f32),
    one("decode_ieee754_f64", "value", decode_f64),
    one("decode_ieee754_f128", "value", decode_f128),
    one("decode_ieee754_1985_f32", "_value",
        decode_unimplemented<encoding_index("ieee754_1985_f32")>),
    one("decode_ieee754_1985_f64", "_value",
        decode_unimplemented<encoding_index("ieee754_1985_f64")>),
    one("decode_ieee754_1985_f80", "_value",
        decode_unimplemented<encoding_index("ieee754_1985_f80")>),
    one("decode_mil_std_1750a_f32", "_value",
        decode_unimplemented<encoding_index("mil_std_1750a_f32")>),
    one("decode_mil_std_1750a_f48", "_value",
        decode_unimplemented<encoding_index("mil_std_1750a_f48")>),
    one("decode_dec_f32", "_value", decode_unimplemented<encoding_index("dec_f32")>),
    one("decode_dec_f64", "_value", decode_unimplemented<encoding_index("dec_f64")>),
    one("decode_ibm_f32", "_value", decode_unimplemented<encoding_index("ibm_f32")>),
    one("decode_ibm_f64", "_value", decode_unimplemented<encoding_index("ibm_f64")>),
    one("decode_ti_f32", "_value", decode_unimplemented<encoding_index("ti_f32")>),
    one("decode_ti_f40", "_value", decode_unimplemented<encoding_index("ti_f40")>),
    one("decode_us_ascii", "bytes", decode_text<T::UsAscii>),
    one("decode_iso_8859_1", "bytes", decode_text<T::Iso8859_1>),
    one("decode_windows_1252", "bytes", decode_text<T::Windows1252>),
    one("decode_utf8", "bytes", decode_text<T::Utf8>),
    one("decode_utf16", "bytes", decode_text<T::Utf16>),
    one("decode_utf16le", "bytes", decode_text<T::Utf16le>),
    one("decode_utf16be", "bytes", decode_text<T::Utf16be>),
    one("decode_utf32", "bytes", decode_text<T::Utf32>),
    one("decode_utf32le", "bytes", decode_text<T::Utf32le>),
    one("decode_utf32be", "bytes", decode_text<T::Utf32be>),
    two("encode_ones_complement", "value", "bits", encode_integer<core::encode_ones_complement>),
    two("encode_twos_complement", "value", "bits", encode_integer<core::encode_twos_complement>),
    two("encode_sign_magnitude", "value", "bits", encode_integer<core::encode_sign_magnitude>),
    bcd("encode_unpacked_bcd", encode_bcd<core::encode_unpacked_bcd>),
    bcd("encode_packed_bcd", encode_bcd<core::encode_packed_bcd>),
    one("encode_ieee754_f16", "value", encode_f16),
    one("encode_ieee754_f32", "value", encode_f32),
    one("encode_ieee754_f64", "value", encode_f64),
    one("encode_ieee754_f128", "_value",
        encode_unimplemented<double, encoding_index("ieee754_f128")>),
    one("encode_ieee754_1985_f32", "_value",
        encode_unimplemented<float, encoding_index("ieee754_1985_f32")>),
    one("encode_ieee754_1985_f64", "_value",
        encode_unimplemented<double, encoding_index("ieee754_1985_f64")>),
    one("encode_ieee754_1985_f80", "_value",
        encode_unimplemented<double, encoding_index("ieee754_1985_f80")>),
    one("encode_mil_std_1750a_f32", "_value",
        encode_unimplemented<float, encoding_index("mil_std_1750a_f32")>),
    one("encode_mil_std_1750a_f48", "_value",
        encode_unimplemented<double, encoding_index("mil_std_1750a_f48")>),
    one("encode_dec_f32", "_value", encode_unimplemented<float, encoding_index("dec_f32")>),
    one("encode_dec_f64", "_value", encode_unimplemented<double, encoding_index("dec_f64")>),
    one("encode_ibm_f32", "_value", encode_unimplemented<float, encoding_index("ibm_f32")>),
    one("encode_ibm_f64", "_value", encode_unimplemented<double, encoding_index("ibm_f64")>),
    one("encode_ti_f32", "_value", encode_unimplemented<float, encoding_index("ti_f32")>),
    one("encode_ti_f40", "_value", encode_unimplemented<double, encoding_index("ti_f40")>),
    one("encode_us_ascii", "text", encode_text<T::UsAscii>),
    one("encode_iso_8859_1", "text", encode_text<T::Iso8859_1>),
    one("encode_windows_1252", "text", encode_text<T::Windows1252>),
    one("encode_utf8", "text", encode_text<T::Utf8>),
    one("encode_utf16", "text", encode_text<T::Utf16>),
    one("encode_utf16le", "text", encode_text<T::Utf16le>),
    one("encode_utf16be", "text", encode_text<T::Utf16be>),
    one("encode_utf32", "text", encode_text<T::Utf32>),
    one("encode_utf32le", "text", encode_text<T::Utf32le>),
    one("encode_utf32be", "text", encode_text<T::Utf32be>),
}};

// Every entry matches its arguments, runs its implementation and makes sure
// that a failure leaves exactly one exception set. No C++ exception leaves it.
template <std::size_t Index>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const FunctionDef& fn = kFunctions[Index];
    PyObject* matched[kMaxParams];
    PyObject* const* argv = args;  // every parameter given by position, in order
    if (kwnames != nullptr || PyVectorcall_NARGS(nargsf) != fn.nparams) [[unlikely]] {
        if (!match_arguments(fn, args, nargsf, kwnames, matched)) return nullptr;
        argv = matched;
    }
    PyObject* result = nullptr;
    try {
        result = fn.impl(fn, argv);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        py::raise_panic("unexpected internal exception");
        return nullptr;
    }
    if (result == nullptr) [[unlikely]]
        py::ensure_error_set();
    return result;
}

template <std::size_t... I>
constexpr std::array<Entry, sizeof...(I)> make_entries(std::index_sequence<I...>) {
    return {entry<I>...};
}

constexpr auto kEntries = make_entries(std::make_index_sequence<kFunctions.size()>{});

}  // namespace

std::span<const FunctionDef> function_table() noexcept { return kFunctions; }

Entry function_entry(std::size_t index) noexcept { return kEntries[index]; }

}  // namespace bitloom::module
