// The user-visible texts of the binding layer, in one place: the conversion
// rules' errors (binding/convert.cpp, the 128-bit shim), the errors the layer
// raises itself (binding/errors.cpp) and those of recipe items (binding/item_reader.cpp).
//
// As in core/messages.hpp: a text with parts is a core::Format<N>, its "{}"
// places filled in order by core::fill(); a text marked `// fixed text` is part
// of the module's contract and never changes, character for character.
//
// Sections go by the code that raises them.
#pragma once

#include <string_view>

#include "core/messages.hpp"

namespace bitloom::py::msg {

using core::Format;

// ---- conversion rules (binding/convert.cpp, binding/shims.hpp) ----------------------

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
inline constexpr const char* kTargetDict = "dict";          // fixed text

// ---- the layer's own errors (binding/errors.cpp) ------------------------------------

inline constexpr std::string_view kNoErrorSet =
    "attempted to fetch exception but none was set";  // fixed text
// The exception type's name: str() of an exception that cannot be printed.
inline constexpr Format<1> kUnprintable = "<unprintable {} object>";      // fixed text
inline constexpr std::string_view kInternalFailure = "internal failure";  // fixed text
inline constexpr const char* kPanicName = "bitloom.PanicException";       // fixed text
inline constexpr const char* kPanicDoc =
    "An internal failure of bitloom: a bug, not a fault of the caller's data.";

// ---- recipe items and the packet paths (binding/item_reader.cpp) --------------------

// The key's text.
inline constexpr Format<1> kMissingField = "Recipe missing required field: '{}'";  // fixed text
// The item's name.
inline constexpr Format<1> kMissingValue =
    "Recipe item '{}' missing required field: 'value'";  // fixed text
// The encoding as written.
inline constexpr Format<1> kUnsupportedEncoding = "Unsupported encoding type: {}";  // fixed text
// The byte order as written.
inline constexpr Format<1> kInvalidByteOrder =
    "Invalid byte_order '{}': must be 'big' or 'little'";  // fixed text
// The re-wrapped failure: the exception type's qualified name and str() of it.
inline constexpr const char* kRewrapped = "%U: %U";                                   // fixed text
inline constexpr const char* kRewrappedUnprintable = "%U: <exception str() failed>";  // fixed text
// The notes naming the failing item (PyUnicode_FromFormat: verb, index, name).
inline constexpr const char* kSiteNote = "while %s recipe item %zu (%R)";      // fixed text
inline constexpr const char* kSiteNoteIndexOnly = "while %s recipe item %zu";  // fixed text

}  // namespace bitloom::py::msg
