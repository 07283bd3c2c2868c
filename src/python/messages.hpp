// The user-visible texts of the binding layer, in one place: the conversion
// rules' errors (python/convert.cpp, the 128-bit shim) and the errors the layer
// raises itself (python/errors.cpp).
//
// As in core/messages.hpp: a text with parts is a core::Format<N>, its "{}"
// places filled in order by core::fill(); a text marked `// fixed text` is part
// of the module's contract and never changes, character for character.
//
// Sections go by the code that raises them; the recipe readers' and the packet
// paths' texts get a section of their own below the last one.
#pragma once

#include <string_view>

#include "core/messages.hpp"

namespace bitloom::py::msg {

using core::Format;

// ---- conversion rules (python/convert.cpp, python/shims.hpp) -------------------

// The type's qualified name, the expected type's.
inline constexpr Format<2> kCastError = "'{}' object cannot be cast as '{}'";  // fixed text
// In place of a type name that cannot be read.
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";  // fixed text
inline constexpr std::string_view kIntegralRange =
    "out of range integral type conversion attempted";                                // fixed text
inline constexpr std::string_view kStrAsSequence = "Can't extract `str` to `Vec`";    // fixed text
inline constexpr std::string_view kU128TooLarge = "Python int larger than 128 bits";  // fixed text
// The interpreter's own text on 3.13 and newer (PyLong_AsNativeBytes), the same before.
inline constexpr std::string_view kU128Negative = "Cannot convert negative int";  // fixed text

// The expected types named by the cast error.
inline constexpr const char* kTargetStr = "str";            // fixed text
inline constexpr const char* kTargetBytes = "bytes";        // fixed text
inline constexpr const char* kTargetBool = "bool";          // fixed text
inline constexpr const char* kTargetSequence = "Sequence";  // fixed text

// ---- the layer's own errors (python/errors.cpp) --------------------------------

inline constexpr std::string_view kNoErrorSet =
    "attempted to fetch exception but none was set";  // fixed text
// The exception type's name: str() of an exception that cannot be printed.
inline constexpr Format<1> kUnprintable = "<unprintable {} object>";      // fixed text
inline constexpr std::string_view kInternalFailure = "internal failure";  // fixed text
inline constexpr const char* kPanicName = "bitloom.PanicException";       // fixed text
inline constexpr const char* kPanicDoc =
    "An internal failure of bitloom: a bug, not a fault of the caller's data.";

}  // namespace bitloom::py::msg
