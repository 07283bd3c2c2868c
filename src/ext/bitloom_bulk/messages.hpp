// The user-visible texts of bitloom_bulk's extension, in one place. Each is a
// format of PyErr_Format / PyUnicode_FromFormat; the comment above it names
// what fills its places, in order. Sections go by the code that raises them.
#pragma once

namespace bitloom::bulk::msg {

// ---- layouts (ext/bitloom_bulk/layout.cpp) ----------------------------------------

// The item's dtype (an object).
inline constexpr const char* kDtypeValue =
    "dtype must be 'float32' (a float32 column of an ieee754_f16 or ieee754_f32 field), not %R";
// The item's encoding as written.
inline constexpr const char* kDtypeEncoding =
    "dtype 'float32' is for an ieee754_f16 or ieee754_f32 field, not encoding '%s'";

// ---- columns (ext/bitloom_bulk/unpack_columns.cpp) ----------------------------------

// The packet's row (size_t), its first byte and its end in the data (unsigned long long).
inline constexpr const char* kPacketNote = "in packet %zu (bytes %llu to %llu of the data)";
// What changed ("the data", "offsets or lengths"), the function's name.
inline constexpr const char* kChanged = "%s changed while %s was reading it";
inline constexpr const char* kMorePackets = "more packets than the columns were made for";
inline constexpr const char* kColumnsUnfilled = "columns handed out before every row was decoded";
// The argument ("offsets", "lengths"), the array's dimensions (int) and format (str).
inline constexpr const char* kPositionsArray =
    "%s must be a one-dimensional array or sequence of integers, not an array of %d "
    "dimension(s) with format '%s'";
// The argument, the type's name.
inline constexpr const char* kPositionsType =
    "%s must be a one-dimensional array or sequence of integers, not '%.200s'";
// The argument, the element's index (Py_ssize_t), the element's type name.
inline constexpr const char* kPositionNotInteger = "%s[%zd] must be an integer, not '%.200s'";
// The argument, the element's index (Py_ssize_t), the element (an int object).
inline constexpr const char* kPositionNegativeObject = "%s[%zd] is negative (%R)";
inline constexpr const char* kPositionTooLarge = "%s[%zd] is too large (%R)";
// The argument, the element's index (size_t), its value (long long).
inline constexpr const char* kPositionNegative = "%s[%zu] is negative (%lld)";
// The packet (size_t), its offset and length (unsigned long long), the data's size (size_t).
inline constexpr const char* kPacketPastEnd =
    "packet %zu (offset %llu, length %llu) runs past the end of the data (%zu bytes)";
inline constexpr const char* kFramingBoth =
    "unpack_columns() takes packet_bytes, or offsets and lengths, not both";
inline constexpr const char* kFramingNeither =
    "unpack_columns() needs packet_bytes, or both offsets and lengths";
inline constexpr const char* kPacketBytesZero = "packet_bytes must be at least 1";
// The function's name, and the argument's type name or the argument (an object).
inline constexpr const char* kTextFormType =
    "%s() argument 'text' must be 'object', 'bytes' or 'arrow', not %.200s";
inline constexpr const char* kTextFormValue =
    "%s() argument 'text' must be 'object', 'bytes' or 'arrow', not %R";
// The function's name, and the argument's type name.
inline constexpr const char* kThreadsType =
    "%s() argument 'threads' must be an int or None, not %.200s";
// The function's name, the CPUs available (size_t), the argument (an int object).
inline constexpr const char* kThreadsRange =
    "%s() argument 'threads' must be between 1 and %zu (the CPUs available), not %R";
// The rest's size and start, packet_bytes (unsigned long long), the data's size (size_t).
inline constexpr const char* kPartialPacket =
    "the data ends with a partial packet of %llu bytes at byte %llu (packet_bytes is %llu, "
    "the data holds %zu bytes)";
// The two counts (size_t).
inline constexpr const char* kPositionCounts = "offsets holds %zu packets but lengths holds %zu";
// binary_column: the two counts (size_t).
inline constexpr const char* kBinaryCounts = "starts holds %zu values but sizes holds %zu";
// binary_column: the value (size_t), its start in bits and size in bytes
// (unsigned long long), the data's size (size_t).
inline constexpr const char* kBinaryPastEnd =
    "value %zu (bit %llu, %llu bytes) runs past the end of the data (%zu bytes)";
// binary_column(view=True): the value (size_t) and its size in bytes
// (unsigned long long).
inline constexpr const char* kBinaryViewTooLong =
    "value %zu (%llu bytes) is longer than a binary view holds (2 GiB less one byte)";
// packet_crcs: the packet (size_t) and its length (unsigned long long).
inline constexpr const char* kCrcShortPacket =
    "packet %zu is %llu bytes long: a packet error control field takes its last 2";
// unpack_repeated: the four per-packet arrays' sizes (size_t).
inline constexpr const char* kRepeatedCounts =
    "offsets, lengths, starts and counts hold %zu, %zu, %zu and %zu packets";
// unpack_repeated: the packet, its instance count, first bit and length (size_t, u64 x3).
inline constexpr const char* kRepeatedOutside =
    "packet %zu: %llu instances from bit %llu do not fit its %llu bytes";
// unpack_repeated: the row (size_t), the item's index (size_t) and name.
inline constexpr const char* kRepeatedFault = "row %zu: item %zu (%R) fails to decode";
// unpack_repeated: a text item's index and name.
inline constexpr const char* kRepeatedText =
    "unpack_repeated decodes numbers only; item %zu (%R) is text";

// ---- CCSDS streams (ext/bitloom_bulk/unpack_ccsds.cpp) ------------------------------

// The key's type name.
inline constexpr const char* kApidKeyType = "APID keys of recipes must be int, not %.200s";
// The key (an int object).
inline constexpr const char* kApidRange = "APID %R is outside 0 to 2047";
// The argument's type name.
inline constexpr const char* kRecipesType =
    "recipes must be a dict from APID to recipe, not %.200s";
// The APID (long).
inline constexpr const char* kRecipeNote = "in the recipe for APID %ld";
// The APID (size_t).
inline constexpr const char* kApidNote =
    "in the packets of APID %zu (the packet number above counts that APID's packets only)";

// The flags' size (size_t).
inline constexpr const char* kCrcFlags = "crc must hold 2048 flags (one per APID), not %zu";
inline constexpr const char* kStreamWithoutCrc = "stream needs crc (flags, all zero for none)";
inline constexpr const char* kStreamSize = "stream must hold %zu int64 words, not %zu bytes";
inline constexpr const char* kStreamState =
    "stream word %d is not a packet index or a sequence count";
// The APID (size_t).
inline constexpr const char* kCrcRowsNote =
    "(the packet number above counts only the packets of APID %zu that passed their CRC check)";

// ---- layouts (ext/bitloom_bulk/layout.cpp) ------------------------------------------

// The item's name (a str object), its first bit and its end (unsigned long
// long), the packet's bits (unsigned long long), bytes (size_t) and "byte" or
// "bytes" for that count.
inline constexpr const char* kFieldPastPacket =
    "%R lies at bits %llu to %llu, past the end of the packet (%llu bits, %zu %s)";

// The values' type name.
inline constexpr const char* kValuesType =
    "values must be a mapping from name to value or a sequence in recipe order, not '%.200s'";
inline constexpr const char* kValuesNotSequence =
    "values must be a mapping from name to value or a sequence in recipe order";
// The items' count (size_t), the values' (Py_ssize_t).
inline constexpr const char* kValuesCount = "expected %zu values (one per recipe item), got %zd";
inline constexpr const char* kValuesChanged =
    "the values changed while packing: expected %zu values (one per recipe item), the "
    "sequence now holds %zd";
// The packet's bits, the bit offset, the buffer's bytes (unsigned long long).
inline constexpr const char* kPackIntoFit =
    "pack_into: a packet of %llu bits at bit offset %llu does not fit into a buffer of %llu "
    "bytes";
// The field count (Py_ssize_t), the packet's bits (unsigned long long).
inline constexpr const char* kLayoutRepr = "<bitloom_bulk.Layout of %zd fields, %llu bits>";

// ---- Arrow export (ext/bitloom_bulk/arrow_export.cpp) -------------------------------

// The argument's type name.
inline constexpr const char* kArrowTable = "an Arrow export takes a dict of columns, not %.200s";
// The key's type name.
inline constexpr const char* kArrowKeyType =
    "a table's keys become Arrow column names and must be str, not %.200s";
// The key (a str object).
inline constexpr const char* kArrowKeyNul = "column name %R holds a NUL character";
// The column's name (a str object), the column's type name.
inline constexpr const char* kArrowNotArray = "column %R is a %.200s, not a numpy array";
// The column's name, its dtype (an object, shown by str()).
inline constexpr const char* kArrowDtype = "column %R has dtype %S, which has no Arrow export";
inline constexpr const char* kArrowScalar = "column %R is a 0-dimensional array, not a column";
// The first column's name and rows (Py_ssize_t), then the other column's.
inline constexpr const char* kArrowRows =
    "column %R has %zd rows but column %R has %zd: a table's columns have one length";
// The column's name, the element's index (Py_ssize_t, in C order), its type name.
inline constexpr const char* kArrowObject =
    "column %R holds a %.200s at element %zd: an object column goes to Arrow as str or "
    "bytes, with None for a missing value";
// The column's name, the element's index (Py_ssize_t, in C order), its type name.
inline constexpr const char* kArrowMixed =
    "column %R mixes str and bytes: element %zd is a %.200s, the elements before it are not";

// The column's name, the element's index (Py_ssize_t, in C order).
inline constexpr const char* kArrowElementNote = "in column %R, element %zd";
// ---- Arrow text columns (ext/bitloom_bulk/arrow_column.cpp) -------------------------

// The value's index (Py_ssize_t), its type name.
inline constexpr const char* kArrowColumnValue = "ArrowColumn() value %zd is a %.200s, not a str";
// The argument's type name.
inline constexpr const char* kArrowColumnValues =
    "ArrowColumn() takes an iterable of str, not a %.200s";
// The offsets' size (Py_ssize_t), an offset's size (size_t).
inline constexpr const char* kArrowColumnOffsets =
    "_from_buffers() offsets of %zd bytes are not a whole number (at least one) of %zu-byte "
    "offsets";
inline constexpr const char* kArrowColumnBroken =
    "_from_buffers() buffers are not a string column: the offsets must run from 0 to the "
    "data's size, never decreasing, and each value must be UTF-8";
inline constexpr const char* kArrowColumnBrokenBinary =
    "_from_buffers() buffers are not a binary column: the offsets must run from 0 to the "
    "data's size, never decreasing";
inline constexpr const char* kArrowColumnIndex = "ArrowColumn index out of range";
inline constexpr const char* kArrowColumnNoView =
    "an ArrowColumn has no numpy view: its values are copied into a new object array";
// The Arrow type ("utf8", "large_utf8", "binary", "large_binary"), the length (size_t), the first
// values (a str).
inline constexpr const char* kArrowColumnRepr = "<bitloom_bulk.ArrowColumn %s of %zu values: %U>";

// ---- packing columns (ext/bitloom_bulk/pack_columns.cpp) ---------------------------

// The argument's type name.
inline constexpr const char* kColumnsType =
    "columns must be a mapping from item name to column, not '%.200s'";
// The item's name (an object).
inline constexpr const char* kColumnMissing = "columns has no column for item %R";
// The key (an object).
inline constexpr const char* kColumnUnknown = "columns holds %R, which names no item of the layout";
// The item's name, the column's type name.
inline constexpr const char* kColumnNotBuffer =
    "column %R must be a one-dimensional numpy array or another buffer, not '%.200s'";
// The item's name, the column's dimensions (int).
inline constexpr const char* kColumnDims =
    "column %R must be one-dimensional, not of %d dimensions";
// The item's name, the column's format, the item's encoding as written, what it takes.
inline constexpr const char* kColumnFormat =
    "column %R of format '%s' cannot carry the values of a '%s' item: it takes %s";
inline constexpr const char* kTakesIntegers = "an array of integers";
inline constexpr const char* kTakesNumbers = "an array of integers or floats";
inline constexpr const char* kTakesText = "an array of objects ('O') or of strings ('U<n>')";
// Two items' names and their columns' rows (Py_ssize_t).
inline constexpr const char* kColumnRows = "column %R holds %zd rows but column %R holds %zd";
// The rows times the packet's bytes do not fit in memory: rows (size_t), bytes (unsigned long
// long).
inline constexpr const char* kColumnsTooLarge = "%zu packets of %llu bytes do not fit in memory";
// The row (size_t).
inline constexpr const char* kPackRowNote = "in row %zu of the columns";

// ---- packing CCSDS streams (ext/bitloom_bulk/pack_ccsds.cpp) ----------------------

// The APID (long).
inline constexpr const char* kPackApidNote = "in the table for APID %ld";
// The APID (long), the packet's bytes (unsigned long long).
inline constexpr const char* kPackCcsdsSize =
    "the recipe for APID %ld makes packets of %llu bytes, but a space packet holds 7 to 65542";
// The item's name, the APID (long).
inline constexpr const char* kPackCcsdsStraddles =
    "item %R of the recipe for APID %ld straddles the end of the primary header (bit 48)";
// The packet's index (size_t), the APID (unsigned).
inline constexpr const char* kPackOrderUnknown =
    "order[%zu] is APID %u, for which tables holds no table";
// Packets in the order (size_t), the APID (long), the table's rows (size_t).
inline constexpr const char* kPackOrderCount =
    "order holds %zu packets of APID %ld, but its table holds %zu rows";
// The item's name, the APID (long), the row (size_t).
inline constexpr const char* kPackHeaderMismatch =
    "column %R of the table for APID %ld differs in row %zu from the primary header "
    "pack_ccsds writes (leave header columns out, or give first_counts, packet_type and "
    "secondary_header that match them)";

// ---- the module (ext/bitloom_bulk/module.cpp) ---------------------------------------

inline constexpr const char* kMainInterpreterOnly =
    "bitloom_bulk can only be imported in the main interpreter, not in a sub-interpreter "
    "(numpy, which it needs, loads in one interpreter per process)";

// Derived columns.
inline constexpr const char* kObjectSlots =
    "numpy made an object array without contiguous elements";
// The function's name, the argument's name, its buffer format.
inline constexpr const char* kDeriveValues =
    "%s() argument '%s' must be a C-contiguous buffer of numbers in native byte order, not "
    "format %.50s";
// The function's name, the argument's name, its type name.
inline constexpr const char* kDeriveTuple = "%s() argument '%s' must be a tuple, not %.200s";
inline constexpr const char* kDeriveEmptyCoefficients =
    "_polynomial_column() argument 'coefficients' holds no coefficient";

}  // namespace bitloom::bulk::msg
