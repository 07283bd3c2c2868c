// The two binary16 conversion paths behind encode_f16 / decode_f16, exposed so
// that tests can compare them with each other. Both give identical bits for
// every input, NaN signs and payloads included.
#pragma once

#include <cstdint>

namespace bitloom::core {

// True when the processor has the F16C conversion instructions and the
// operating system saves the vector state that they use. Asked once per
// process; the answer is remembered.
bool has_f16c() noexcept;

std::uint16_t encode_f16_software(float value) noexcept;
float decode_f16_software(std::uint16_t image) noexcept;

// The F16C instructions. Call only when has_f16c() is true: on x86 they are
// executed unconditionally. On other architectures they are the software path.
std::uint16_t encode_f16_hardware(float value) noexcept;
float decode_f16_hardware(std::uint16_t image) noexcept;

}  // namespace bitloom::core
