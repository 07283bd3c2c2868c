// Turning core errors into raised Python exceptions, and the exceptions that the
// binding layer raises itself.
#pragma once

#include <string_view>

#include "binding/ref.hpp"
#include "core/result.hpp"

namespace bitloom::py {

// The Python exception type of a core error kind (borrowed).
PyObject* exception_type(core::ErrorKind kind) noexcept;

// Raise `type(message)` with the message as the single argument.
void raise(PyObject* type, std::string_view message);
void raise(const core::Error& error);

// TypeError "'{type}' object cannot be cast as '{target}'".
void raise_cast_error(PyObject* obj, const char* target);

// After an interpreter call reported failure: make sure an exception is set
// (SystemError "attempted to fetch exception but none was set" otherwise).
void ensure_error_set();

// After the conversion of parameter `param` failed: an exception of exactly
// type TypeError is replaced by TypeError "argument '{param}': {message}"
// caused by the original; any other exception is left as it is.
void prefix_argument_error(const char* param);

// Add a note (a str) to the pending exception: add_note, or __notes__ before
// 3.11. The exception stays pending whatever happens to the note.
void add_note_to_pending(PyObject* note);

// The module's internal-failure exception, derived from BaseException; created
// once, on first use. Borrowed reference, or nullptr with an exception set.
PyObject* panic_exception_type();
void raise_panic(std::string_view message);

// The qualified name of obj's type as UTF-8, "<failed to extract type name>" if
// it cannot be read (no exception left set).
std::string type_qualname(PyObject* obj);

// `str(exc)`, or "<unprintable {type} object>" after reporting the failure to
// the unraisable hook. Returns a new str, or nullptr with an exception set.
PyObject* str_or_unprintable(PyObject* exc);

}  // namespace bitloom::py
