// Binary16 to binary32 widening by bit rule and by the F16C instruction.
#include "corvid/model/half_widening.hpp"

#include <bit>

#include "corvid/load/little_endian.hpp"

#ifdef CORVID_HALF_INSTRUCTION
#include <immintrin.h>
#endif

namespace corvid::half {

std::uint32_t widen_bits(std::uint16_t h) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
    const std::uint32_t magnitude = h & 0x7FFFu;
    const std::uint32_t exponent = magnitude >> 10;
    const std::uint32_t mantissa = magnitude & 0x3FFu;
    if (magnitude == 0) return sign;
    if (exponent == 0x1F) {
        if (mantissa == 0) return sign | 0x7F800000u;
        // The quiet bit is set even for a signalling NaN, as the instruction does.
        return sign | 0x7FC00000u | (mantissa << 13);
    }
    // Re-bias the exponent from 15 to 127.
    if (exponent != 0) return sign | ((magnitude << 13) + 0x38000000u);
    // Subnormal: normalise around the highest set bit p of the mantissa.
    const auto p = static_cast<std::uint32_t>(std::bit_width(mantissa)) - 1;
    return sign | ((103 + p) << 23) | ((mantissa << (23 - p)) & 0x7FFFFFu);
}

void widen_row_by_rule(const std::byte* row, std::size_t count, float* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = std::bit_cast<float>(widen_bits(load_little_endian<std::uint16_t>(row + 2 * i)));
    }
}

#ifdef CORVID_HALF_INSTRUCTION

bool instruction_available() noexcept {
    // The 256-bit form needs the OS to save AVX state; the "avx" check
    // covers that, "f16c" alone reports only the processor's support.
    static const bool available = __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c");
    return available;
}

__attribute__((target("avx,f16c"))) float widen_by_instruction(std::uint16_t h) noexcept {
    return _cvtsh_ss(h);
}

__attribute__((target("avx,f16c"))) void widen_row_by_instruction(const std::byte* row,
                                                                   std::size_t count,
                                                                   float* out) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(halves));
    }
    for (; i < count; ++i) out[i] = _cvtsh_ss(load_little_endian<std::uint16_t>(row + 2 * i));
}

float widen(std::uint16_t h) noexcept {
    return instruction_available() ? widen_by_instruction(h) : std::bit_cast<float>(widen_bits(h));
}

void widen_row(const std::byte* row, std::size_t count, float* out) noexcept {
    if (instruction_available()) {
        widen_row_by_instruction(row, count, out);
    } else {
        widen_row_by_rule(row, count, out);
    }
}

#else

bool instruction_available() noexcept { return false; }

float widen(std::uint16_t h) noexcept { return std::bit_cast<float>(widen_bits(h)); }

void widen_row(const std::byte* row, std::size_t count, float* out) noexcept {
    widen_row_by_rule(row, count, out);
}

#endif

}  // namespace corvid::half
