#include "paths/place_field.hpp"

#include <string>

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/text.hpp"
#include "core/bits.hpp"
#include "core/numeric_field.hpp"

namespace bitloom::encoder {
namespace {

using core::FieldOutcome;
using core::ValueRule;

// The value converted by the rule of the encoding's kind.
bool convert(ValueRule rule, PyObject* value, core::NumericValue& out) {
    switch (rule) {
        case ValueRule::Unsigned64: return py::to_u64(value, out.u);
        case ValueRule::Signed64: return py::to_i64(value, out.i);
        case ValueRule::Single: return py::to_single(value, out.f);
        case ValueRule::Double: return py::to_double(value, out.d);
        case ValueRule::Text:
        case ValueRule::None: break;
    }
    py::raise_panic("a value converted for a non-numeric encoding");
    return false;
}

// The integer image of a numeric field; false with the error set.
bool numeric_image(const core::FieldSpec& fld, PyObject* value, std::uint64_t& image) {
    const ValueRule rule = fld.row->value;
    core::NumericValue v{};
    if (!convert(rule, value, v)) return false;
    if (rule == ValueRule::Unsigned64 && (fld.bits >= 64 || v.u >> fld.bits == 0)) [[likely]] {
        image = v.u;
        return true;
    }
    auto r = core::encode_numeric(fld, v);
    if (!r) [[unlikely]] {
        py::raise(r.error());
        return false;
    }
    image = r.value();
    return true;
}

}  // namespace

FieldOutcome place_field_slow(const core::FieldSpec& fld, PyObject* value, std::uint8_t* packet,
                              std::uint64_t limit, std::uint64_t start) {
    const py::Ref held = py::Ref::borrow(value);
    if (fld.row == nullptr || !fld.row->packs) [[unlikely]] {
        return FieldOutcome::UnknownEncoding;
    }
    if (fld.row->value == ValueRule::Text) {
        std::string_view text;
        std::string image;
        if (!py::to_text(value, text) || !py::encode_text(fld.row->text, text, image)) {
            return FieldOutcome::Failed;
        }
        if (!fld.order_known) [[unlikely]] {
            return FieldOutcome::UnknownByteOrder;
        }
        core::place_bytes(packet, limit, start, fld.bits,
                          reinterpret_cast<std::uint8_t*>(image.data()), image.size(), fld.little);
        return FieldOutcome::Done;
    }
    std::uint64_t image = 0;
    if (!numeric_image(fld, value, image)) return FieldOutcome::Failed;
    if (!fld.order_known) [[unlikely]] {
        return FieldOutcome::UnknownByteOrder;
    }
    core::place_integer(packet, limit, start, fld.bits, image, fld.reverse, fld.little);
    return FieldOutcome::Done;
}

}  // namespace bitloom::encoder
