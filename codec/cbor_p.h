// Private helpers shared by the codec sources; not installed, not exported.
#ifndef TAVREL_CBOR_P_H
#define TAVREL_CBOR_P_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "include/cbor.h"

namespace tavrel {

// Big-endian loads, assembled with shifts so neither alignment nor host
// byte order matters.
template <typename T>
inline T load_be(const uint8_t *p) {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | p[i]);
    return v;
}

template <>
inline uint8_t load_be<uint8_t>(const uint8_t *p) {
    return p[0];
}

// Bytes between the cursor and the end of the input.  Kept as size_t inside
// the library so no input size can make the bounds checks wrap.
inline size_t remaining(const cbor_parser *parser) {
    return static_cast<size_t>(parser->buffer + parser->length - parser->cursor);
}

// By reference: a double passed by value can go through the x87 stack on
// 32-bit x86, which quietens a signalling NaN on the way.
inline uint64_t double_bits(const double &x) {
    uint64_t bits;
#if defined(__i386__) && !defined(__SSE2_MATH__) && !defined(__clang__)
    // x87 code turns even a memcpy of a double into an FPU load and store:
    // byte reads it cannot merge keep the bits intact.
    const volatile unsigned char *source = reinterpret_cast<const volatile unsigned char *>(&x);
    unsigned char bytes[sizeof bits];
    for (size_t i = 0; i < sizeof bits; ++i) bytes[i] = source[i];
    std::memcpy(&bits, bytes, sizeof bits);
#else
    std::memcpy(&bits, &x, sizeof bits);
#endif
    return bits;
}

inline double bits_double(uint64_t bits) {
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

inline uint32_t float_bits(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

inline float bits_float(uint32_t bits) {
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

constexpr uint64_t kQuietNaNBits = 0x7FF8000000000000ull;

// Conversions between widths done on the bits alone, so neither the rounding
// mode, flush-to-zero/denormals-are-zero nor x87 precision can change them.

// Position of the highest set bit of a nonzero value.
inline int top_bit(uint64_t v) {
    int n = 0;
    while (v >>= 1) ++n;
    return n;
}

// A double's bits rounded to single precision, to nearest with ties to even;
// too large gives the infinity of its sign.  A NaN becomes the quiet NaN with
// its sign and top 22 payload bits, as the SSE conversion makes it.
inline uint32_t single_from_double_bits(uint64_t d) {
    const uint32_t sign = static_cast<uint32_t>(d >> 32) & 0x80000000u;
    const int exponent = static_cast<int>((d >> 52) & 0x7FF);
    const uint64_t mantissa = d & 0xFFFFFFFFFFFFFull;
    if (exponent == 0x7FF)
        return sign | 0x7F800000u | (mantissa ? 0x400000u | static_cast<uint32_t>(mantissa >> 29) : 0);
    // Double subnormals lie far below half the least single subnormal.
    if (exponent == 0) return sign;
    const int biased = exponent - 1023 + 127;
    if (biased >= 0xFF) return sign | 0x7F800000u;
    // The 53-bit significand is shifted down to the single's units: 29 bits
    // for a normal single, more for each binade below the normal range.
    const uint64_t significand = mantissa | 1ull << 52;
    const int shift = biased >= 1 ? 29 : 29 + 1 - biased;
    if (shift > 53) return sign;  // below half the least subnormal
    uint64_t kept = significand >> shift;
    const uint64_t rest = significand & ((1ull << shift) - 1);
    const uint64_t half = 1ull << (shift - 1);
    if (rest > half || (rest == half && (kept & 1))) ++kept;
    // For a normal single the implicit bit adds into the exponent field, and
    // a carry out of the mantissa moves to the next binade (or infinity).
    const uint32_t magnitude = biased >= 1 ? (static_cast<uint32_t>(biased - 1) << 23) + static_cast<uint32_t>(kept)
                                           : static_cast<uint32_t>(kept);
    return sign | magnitude;
}

// A single's bits widened to double exactly.  A NaN is quietened keeping its
// payload, as the SSE conversion does; 7FFC0000 has always been read as the
// default quiet NaN and still is.
inline uint64_t double_from_single_bits(uint32_t s) {
    const uint64_t sign = static_cast<uint64_t>(s >> 31) << 63;
    const unsigned exponent = (s >> 23) & 0xFF;
    const uint64_t mantissa = s & 0x7FFFFF;
    if (exponent == 0xFF) {
        if (mantissa == 0) return sign | 0x7FF0000000000000ull;
        if (s == 0x7FFC0000u) return kQuietNaNBits;
        return sign | kQuietNaNBits | mantissa << 29;
    }
    if (exponent == 0) {
        if (mantissa == 0) return sign;
        const int top = top_bit(mantissa);  // value = mantissa * 2^-149
        return sign | static_cast<uint64_t>(top - 149 + 1023) << 52 | ((mantissa << (52 - top)) & 0xFFFFFFFFFFFFFull);
    }
    return sign | static_cast<uint64_t>(exponent - 127 + 1023) << 52 | mantissa << 29;
}

// A half's bits widened to double exactly; every NaN is the quiet NaN with
// the half's sign.
inline uint64_t double_from_half_bits(unsigned h) {
    const uint64_t sign = static_cast<uint64_t>((h >> 15) & 1) << 63;
    const unsigned exponent = (h >> 10) & 0x1F;
    const uint64_t mantissa = h & 0x3FF;
    if (exponent == 31) return sign | (mantissa == 0 ? 0x7FF0000000000000ull : kQuietNaNBits);
    if (exponent == 0) {
        if (mantissa == 0) return sign;
        const int top = top_bit(mantissa);  // value = mantissa * 2^-24
        return sign | static_cast<uint64_t>(top - 24 + 1023) << 52 | ((mantissa << (52 - top)) & 0xFFFFFFFFFFFFFull);
    }
    return sign | static_cast<uint64_t>(exponent - 15 + 1023) << 52 | mantissa << 42;
}

// Half precision built from the single-precision bits, truncating the
// mantissa.  The pattern is exact only for +/-0 and normal half numbers;
// for anything else it is some other number, and the selection discards it
// because it does not decode back to x.
inline uint32_t half_bits_of(uint64_t d) {
    const uint32_t s = single_from_double_bits(d);
    const uint32_t exponent = (s >> 23) & 0xFF;
    uint32_t h = (s >> 31) << 15;
    if (exponent == 255) {
        h |= 0x7C00;
    } else {
        h |= (s & 0x7FFFFF) >> 13;
        if (exponent != 0) h |= ((exponent + 16) % 64) << 10;
    }
    return h & 0xFFFF;
}

// The choice among the decoded candidates (null: not decoded), narrowest
// first.  Two candidates agree when their bits are equal: compared as
// doubles, denormals-are-zero would make a subnormal agree with zero.  (The
// candidates of one x share its sign, and NaN never gets here.)  Returns 2,
// 4 or 8 bytes of width, or 0 when even the double candidate is missing.
inline unsigned choose_float_width(const cbor_val *half, const cbor_val *single, const cbor_val *dbl) {
    if (dbl == nullptr) return 0;
    const uint64_t wide = double_bits(dbl->value.float_value);
    if (single == nullptr || double_bits(single->value.float_value) != wide) return 8;
    if (half == nullptr || double_bits(half->value.float_value) != wide) return 4;
    return 2;
}

}  // namespace tavrel

#endif  // TAVREL_CBOR_P_H
