#include "python/text.hpp"

#include "python/errors.hpp"

namespace bitloom::py {

PyObject* decode_text(core::TextCodec codec, const unsigned char* data, std::size_t len) {
    if (codec == core::TextCodec::Iso8859_1) {
        return PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(data),
                                      static_cast<Py_ssize_t>(len), nullptr);
    }
    raise(PyExc_NotImplementedError, "this text codec is not available yet");
    return nullptr;
}

bool encode_text(core::TextCodec codec, std::string_view utf8, std::string& out) {
    if (codec == core::TextCodec::Utf8) {
        out.append(utf8);
        return true;
    }
    raise(PyExc_NotImplementedError, "this text codec is not available yet");
    return false;
}

}  // namespace bitloom::py
