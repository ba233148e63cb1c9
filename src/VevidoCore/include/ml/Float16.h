#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ml {

// IEEE 754 binary16 storage type. Arithmetic happens in float; this type only stores and converts.
// Conversions round to nearest even and keep infinities, NaNs and subnormals.
struct Float16 {
    std::uint16_t bits = 0;

    constexpr Float16() = default;
    Float16(float f) : bits(fromFloat(f)) {}  // NOLINT: implicit on purpose, like a numeric type
    operator float() const { return toFloat(bits); }

    static constexpr Float16 fromBits(std::uint16_t b) {
        Float16 h;
        h.bits = b;
        return h;
    }

    static std::uint16_t fromFloat(float f) {
        const std::uint32_t x = std::bit_cast<std::uint32_t>(f);
        const std::uint32_t sign = (x >> 16) & 0x8000u;
        std::uint32_t abs = x & 0x7fffffffu;
        if (abs >= 0x7f800000u) {  // infinity or NaN
            const std::uint32_t nanBit = abs > 0x7f800000u ? 0x200u | ((abs >> 13) & 0x3ffu) : 0u;
            return static_cast<std::uint16_t>(sign | 0x7c00u | nanBit);
        }
        if (abs >= 0x477ff000u) {  // rounds to a value beyond the largest finite half
            return static_cast<std::uint16_t>(sign | 0x7c00u);
        }
        if (abs < 0x38800000u) {  // subnormal half (or zero)
            // Scale into the subnormal range and let float addition do the rounding.
            const float magic = std::bit_cast<float>(0x3f000000u);  // 0.5
            float a = std::bit_cast<float>(abs) + magic;
            return static_cast<std::uint16_t>(sign | (std::bit_cast<std::uint32_t>(a) - 0x3f000000u));
        }
        // Normal: rebias the exponent and round the mantissa to nearest even.
        const std::uint32_t mantOdd = (abs >> 13) & 1u;
        abs += 0xc8000fffu + mantOdd;  // (15 - 127) << 23 plus the rounding bias
        return static_cast<std::uint16_t>(sign | (abs >> 13));
    }

    static float toFloat(std::uint16_t h) {
        const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
        const std::uint32_t exp = (h >> 10) & 0x1fu;
        const std::uint32_t mant = h & 0x3ffu;
        std::uint32_t out;
        if (exp == 0) {
            if (mant == 0) {
                out = sign;
            } else {  // subnormal: value = mant * 2^-24
                float v = static_cast<float>(mant) * 5.9604644775390625e-08f;
                return sign ? -v : v;
            }
        } else if (exp == 31) {
            out = sign | 0x7f800000u | (mant << 13);
        } else {
            out = sign | ((exp + 112u) << 23) | (mant << 13);
        }
        return std::bit_cast<float>(out);
    }
};

static_assert(sizeof(Float16) == 2);

// Bulk conversions; hot loops call these rather than converting element by element.
void convertToFloat(const Float16* in, float* out, std::size_t n);
void convertToFloat16(const float* in, Float16* out, std::size_t n);

}  // namespace ml
