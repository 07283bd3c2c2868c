#include "ext/bitloom_bulk/encoding_table.hpp"

#include <string_view>

#include "core/encodings.hpp"

namespace bitloom::bulk {
namespace {

// The family a codec belongs to, as the typed recipe items group the names.
constexpr std::string_view kind_of(core::Codec codec) noexcept {
    switch (codec) {
        case core::Codec::Unsigned:
        case core::Codec::TwosComplement:
        case core::Codec::OnesComplement:
        case core::Codec::SignMagnitude:
        case core::Codec::PackedBcd:
        case core::Codec::PackedBcdSigned:
        case core::Codec::UnpackedBcd:
        case core::Codec::UnpackedBcdSigned: return "integer";
        case core::Codec::F16:
        case core::Codec::F32:
        case core::Codec::F64: return "float";
        case core::Codec::F128:
        case core::Codec::UnimplementedFloat: return "unpack-only";
        case core::Codec::Text: return "text";
    }
    return "";
}

PyObject* text(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* row_tuple(const core::EncodingRow& row) {
    py::Ref name(text(row.name));
    if (!name) return nullptr;
    py::Ref kind(text(kind_of(row.codec)));
    if (!kind) return nullptr;
    return PyTuple_Pack(3, name.get(), kind.get(), row.packs ? Py_True : Py_False);
}

}  // namespace

PyObject* encoding_table(PyObject*, PyObject*) {
    py::Ref rows(PyList_New(static_cast<Py_ssize_t>(core::kEncodings.size())));
    if (!rows) return nullptr;
    Py_ssize_t i = 0;
    for (const core::EncodingRow& row : core::kEncodings) {
        PyObject* item = row_tuple(row);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(rows.get(), i++, item);
    }
    return rows.release();
}

}  // namespace bitloom::bulk
