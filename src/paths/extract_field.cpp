#include "paths/extract_field.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/text.hpp"
#include "core/bits.hpp"
#include "core/numeric_field.hpp"

namespace bitloom::decoder {
namespace {

using core::Codec;
using core::FieldOutcome;

[[gnu::cold]] PyObject* decode_failed(const core::FieldSpec& fld, std::uint64_t raw) {
    py::raise(core::numeric_decode_error(fld, raw));
    return nullptr;
}

PyObject* decode_text_field(const core::FieldSpec& fld, const std::uint8_t* packet,
                            std::uint64_t start) {
    const std::size_t n = (static_cast<std::size_t>(fld.bits) + 7) / 8;
    if (!fld.little && start % 8 == 0 && fld.bits % 8 == 0) {
        // The window is the packet's own bytes.
        return py::decode_text(fld.row->text, packet + start / 8, n);
    }
    std::string window(n, '\0');
    auto* w = reinterpret_cast<std::uint8_t*>(window.data());
    core::field_window(packet, start, fld.bits, fld.little, w);
    return py::decode_text(fld.row->text, w, n);
}

[[gnu::cold]] bool raise_bounds(std::uint64_t start, std::uint32_t bits, std::size_t len) {
    if (auto error = core::check_field_bounds(start, bits, len)) {
        py::raise(*error);
        return true;
    }
    return false;
}

}  // namespace

PyObject* decode_field(const core::FieldSpec& fld, const std::uint8_t* packet, std::size_t len,
                       std::uint64_t start) {
    const Codec codec = fld.row->codec;
    if (codec == Codec::Text) return decode_text_field(fld, packet, start);
    const std::uint64_t raw = core::field_raw_value(packet, len, start, fld.bits, fld.little,
                                                    fld.reverse);
    core::NumericValue v;
    if (!core::decode_numeric(fld, raw, v)) [[unlikely]] {
        return decode_failed(fld, raw);
    }
    if (codec == Codec::Unsigned) return PyLong_FromUnsignedLongLong(v.u);
    if (core::decodes_to_float(codec)) return PyFloat_FromDouble(v.d);
    return PyLong_FromLongLong(v.i);
}

FieldOutcome extract_field_slow(const core::FieldSpec& fld, const std::uint8_t* packet,
                                std::size_t len, std::uint64_t start, PyObject* key,
                                PyObject* result) {
    if (!core::field_in_packet(start, fld.bits, len) && raise_bounds(start, fld.bits, len))
        [[unlikely]] {
        return FieldOutcome::Failed;
    }
    if (!fld.order_known) [[unlikely]] {
        return FieldOutcome::UnknownByteOrder;
    }
    if (fld.row == nullptr) [[unlikely]] {
        return FieldOutcome::UnknownEncoding;
    }
    py::Ref decoded(decode_field(fld, packet, len, start));
    if (!decoded || PyDict_SetItem(result, key, decoded.get()) < 0) [[unlikely]] {
        return FieldOutcome::Failed;
    }
    return FieldOutcome::Done;
}

}  // namespace bitloom::decoder
