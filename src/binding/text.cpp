#include "binding/text.hpp"

#include "binding/errors.hpp"
#include "core/text/fixed_text.hpp"
#include "core/text/unicode.hpp"

namespace bitloom::py {
namespace {

// Builds the bytes object itself: the encoder asks for its exact size once.
class BytesSink final : public core::ByteSink {
public:
    std::uint8_t* reserve(std::size_t size) override {
        bytes_ = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes_) {
            failed_ = true;  // the interpreter's MemoryError is set
            return nullptr;
        }
        return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
    }
    Ref& bytes() noexcept { return bytes_; }
    bool failed() const noexcept { return failed_; }

private:
    Ref bytes_;
    bool failed_ = false;
};

}  // namespace

// The str is created at its final size and kind (the range gives the largest
// character) and filled in place: one pass to check, one to write, no second
// validation by the interpreter.
PyObject* decode_text(core::TextCodec codec, const unsigned char* data, std::size_t len) {
    auto checked = core::text_codec_row(codec).decode(core::ByteView(data, len));
    if (!checked) {
        raise(checked.error());
        return nullptr;
    }
    const core::CheckedText& text = checked.value();
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.length),
                                  static_cast<Py_UCS4>(core::range_top(text.range)));
    if (str == nullptr) return nullptr;
    core::write_text(text, PyUnicode_DATA(str));
    return str;
}

bool encode_text(core::TextCodec codec, std::string_view utf8, std::string& out) {
    core::StringSink sink(out);
    auto appended = core::text_codec_row(codec).encode(utf8, sink);
    if (!appended) {
        raise(appended.error());
        return false;
    }
    return true;
}

PyObject* encode_text_bytes(core::TextCodec codec, PyObject* str, std::string_view utf8) {
    // The str's own storage holds the same characters; where the encoding is a
    // copy, widening or byte swap of it, that is the faster source.
    const core::FixedText fixed{PyUnicode_DATA(str),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)),
                                static_cast<unsigned>(PyUnicode_KIND(str)),
                                PyUnicode_IS_ASCII(str) != 0};
    if (const std::size_t size = core::fixed_encoded_size(codec, fixed); size != 0) {
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
        if (bytes == nullptr) return nullptr;
        core::encode_fixed(codec, fixed, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)));
        return bytes;
    }
    BytesSink sink;
    auto encoded = core::text_codec_row(codec).encode(utf8, sink);
    if (!encoded) {
        if (!sink.failed()) raise(encoded.error());
        return nullptr;
    }
    return sink.bytes().release();
}

}  // namespace bitloom::py
