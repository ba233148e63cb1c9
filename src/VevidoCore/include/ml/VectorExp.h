#pragma once

// e^x over a GCC vector of floats of any width, shared by the Whisper kernels and the speech
// library's logits math so that both round alike: Cephes' range reduction and polynomial, within
// 2 ulp. The caller clamps x to [-87.3, 88.7] first, where the result is a normal float; what lies
// beyond is the caller's to decide (zero, infinity).

#include <cstdint>
#include <cstring>

namespace ml::whisper {

template <class Floats>
inline Floats expPolynomial(Floats x) {
    using Ints = decltype(x < x);               // the same lanes, as 32-bit integers
    const Floats big = Floats{} + 12582912.0f;  // 1.5 × 2^23: adding it rounds to an integer
    const Floats shifted = x * 1.44269504088896341f + big;
    const Floats n = shifted - big;
    Ints ni;
    std::memcpy(&ni, &shifted, sizeof ni);
    ni -= 0x4b400000;  // the bits of `big`, leaving the rounded integer
    Floats f = x - n * 0.693359375f;
    f = f - n * -2.12194440e-4f;
    Floats p = Floats{} + 1.9875691500e-4f;
    p = p * f + 1.3981999507e-3f;
    p = p * f + 8.3334519073e-3f;
    p = p * f + 4.1665795894e-2f;
    p = p * f + 1.6666665459e-1f;
    p = p * f + 5.0000001201e-1f;
    p = p * f * f + f + 1.0f;
    // Adding n to the exponent field scales by 2^n without forming 2^n, which for n = 128 (x near
    // the top of the range) is no float.
    Ints bits;
    std::memcpy(&bits, &p, sizeof bits);
    bits += ni << 23;
    Floats r;
    std::memcpy(&r, &bits, sizeof r);
    return r;
}

}  // namespace ml::whisper
