// Results and errors of the pure C++ core.
//
// Core routines never throw and never touch Python: they return either their
// value or an Error (an exception kind and a message). Only the binding layer
// turns an Error into a raised Python exception.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace bitloom::core {

enum class ErrorKind : std::uint8_t {
    Value,           // ValueError
    Key,             // KeyError
    NotImplemented,  // NotImplementedError
    Type,            // TypeError
    Overflow,        // OverflowError
    System,          // SystemError
};

struct Error {
    ErrorKind kind;
    std::string message;
};

inline Error value_error(std::string message) { return {ErrorKind::Value, std::move(message)}; }

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
    Result(Error error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error> state_;
};

}  // namespace bitloom::core
