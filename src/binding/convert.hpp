// The conversion rules: which Python objects a parameter (or a recipe value)
// accepts and what it becomes. Each returns true, or false with a Python
// exception set. None of them adds an argument prefix: ext/bitloom does that for
// arguments, recipe values are reported bare.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "binding/ref.hpp"

namespace bitloom::py {

// str (or subclass) -> its cached UTF-8 form, read in place.
bool to_text(PyObject* obj, std::string_view& out);
// bytes (or subclass) -> its buffer, read in place. Other buffers are refused.
bool to_byte_string(PyObject* obj, std::string_view& out);
bool to_i64(PyObject* obj, std::int64_t& out);
bool to_u64(PyObject* obj, std::uint64_t& out);
bool to_u32(PyObject* obj, std::uint32_t& out);
// Unsigned 128-bit, as two 64-bit halves.
bool to_u128(PyObject* obj, std::uint64_t& high, std::uint64_t& low);
bool to_double(PyObject* obj, double& out);
bool to_single(PyObject* obj, float& out);
// True/False, or a numpy bool scalar.
bool to_bool(PyObject* obj, bool& out);

// Recipe items as the recipe readers see them: owned by an ItemList, or
// borrowed from an exact list or tuple where nothing can change it meanwhile.
using ItemView = std::span<PyObject* const>;

// The elements of a sequence argument: owned references, in order. Short
// recipes live in inline storage, so collecting them allocates nothing.
class ItemList {
public:
    ItemList() noexcept = default;
    ItemList(const ItemList&) = delete;
    ItemList& operator=(const ItemList&) = delete;
    ~ItemList() { clear(); }

    // Takes ownership of a new reference.
    void push_back(PyObject* owned) {
        if (size_ == capacity_) grow(capacity_ * 2);
        data_[size_++] = owned;
    }
    // Replaces an empty list's contents with new references to `items`.
    void assign_new_refs(PyObject* const* items, std::size_t n) {
        reserve(n);
        for (std::size_t i = 0; i < n; ++i) data_[i] = Py_NewRef(items[i]);
        size_ = n;
    }
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    void clear() noexcept {
        for (std::size_t i = 0; i < size_; ++i) Py_DECREF(data_[i]);
        size_ = 0;
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    PyObject* operator[](std::size_t i) const noexcept { return data_[i]; }
    PyObject* const* begin() const noexcept { return data_; }
    PyObject* const* end() const noexcept { return data_ + size_; }
    operator ItemView() const noexcept { return {data_, size_}; }

private:
    void grow(std::size_t capacity) {
        auto bigger = std::make_unique<PyObject*[]>(capacity);
        std::copy(data_, data_ + size_, bigger.get());
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    static constexpr std::size_t kInline = 32;
    PyObject* inline_[kInline];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

// A sequence (never a str) collected into owned references, in order.
bool to_sequence(PyObject* obj, ItemList& out);

// Fast paths for values that are already of the exact type.
inline bool to_u32_fast(PyObject* obj, std::uint32_t& out) {
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && v >= 0 && v <= 0xFFFFFFFFLL) {
            out = static_cast<std::uint32_t>(v);
            return true;
        }
    }
    return to_u32(obj, out);
}

}  // namespace bitloom::py
