#include "core/ieee754.hpp"

namespace bitloom::core {

std::uint16_t encode_f16(float) noexcept { return 0; }
float decode_f16(std::uint16_t) noexcept { return 0.0F; }
double decode_f32(std::uint32_t image) noexcept {
    return static_cast<double>(std::bit_cast<float>(image));
}
double decode_f128(std::uint64_t, std::uint64_t) noexcept { return 0.0; }

}  // namespace bitloom::core
