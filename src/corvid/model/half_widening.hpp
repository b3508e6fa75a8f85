// Widening of IEEE binary16 to binary32: the bit rule and the processor's
// conversion instruction, which give identical bits. Internal to the core;
// tests use the separate paths to prove them identical.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#define CORVID_HALF_INSTRUCTION 1
#endif

namespace corvid::half {

// The binary32 bit pattern of binary16 `h`: exact for every value, NaNs keep
// their payload and become quiet.
[[nodiscard]] std::uint32_t widen_bits(std::uint16_t h) noexcept;

// Widens `count` little-endian halves at `row` (any alignment) into `out`
// with the bit rule.
void widen_row_by_rule(const std::byte* row, std::size_t count, float* out) noexcept;

// Whether the processor and the OS support the conversion instruction;
// detected on the first call and remembered for the process.
[[nodiscard]] bool instruction_available() noexcept;

#ifdef CORVID_HALF_INSTRUCTION
// As widen_bits and widen_row_by_rule, through the F16C instruction.
// Precondition: instruction_available().
[[nodiscard]] float widen_by_instruction(std::uint16_t h) noexcept;
void widen_row_by_instruction(const std::byte* row, std::size_t count, float* out) noexcept;
#endif

// The instruction when available, the bit rule otherwise.
[[nodiscard]] float widen(std::uint16_t h) noexcept;
void widen_row(const std::byte* row, std::size_t count, float* out) noexcept;

}  // namespace corvid::half
