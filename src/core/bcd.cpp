#include "core/bcd.hpp"

namespace bitloom::core {

Result<std::uint64_t> encode_packed_bcd(std::int64_t, std::uint32_t, bool) {
    return not_implemented("packed BCD is not available yet");
}
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t, std::uint32_t, bool) {
    return not_implemented("unpacked BCD is not available yet");
}
Result<std::int64_t> decode_packed_bcd(std::uint64_t, std::uint32_t, bool) {
    return not_implemented("packed BCD is not available yet");
}
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t, std::uint32_t, bool) {
    return not_implemented("unpacked BCD is not available yet");
}

}  // namespace bitloom::core
