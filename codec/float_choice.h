// The shortest exact float width decided on the double's bits alone.  It
// picks exactly what cbor_write_float's decode-back comparison picks for
// every finite double, but needs no scratch encoding, no floating-point
// arithmetic (so no rounding mode, flush-to-zero or x87 can touch it) and
// only a few integer instructions.
#ifndef TAVREL_FLOAT_CHOICE_H
#define TAVREL_FLOAT_CHOICE_H

#include <cstdint>

// Inlined into the per-element writers, where a call would cost as much as
// the choice itself.
#if defined(__GNUC__)
#define TAVREL_FLOAT_CHOICE_INLINE inline __attribute__((always_inline))
#else
#define TAVREL_FLOAT_CHOICE_INLINE inline
#endif

namespace tavrel {

// One finite double as the item cbor_write_float writes for it: the initial
// byte (0xF9, 0xFA or 0xFB), the payload bits, and the payload width in bytes.
struct FloatItem {
    uint8_t initial;
    unsigned width;
    uint64_t bits;
};

// Half precision is kept for +/-0 and normal halves only: half subnormals are
// written as single, as the decode-back rule does (its half candidate is built
// without subnormal support).  Single covers normal and subnormal singles.
TAVREL_FLOAT_CHOICE_INLINE FloatItem shortest_float(uint64_t d) {
    // Every half or single, subnormal singles included, leaves at least the
    // low 29 mantissa bits zero; most doubles leave here.
    if ((d & ((1ull << 29) - 1)) != 0) return {0xFB, 8, d};
    const uint64_t sign = d >> 63;
    const int exponent = static_cast<int>((d >> 52) & 0x7FF) - 1023;
    const uint64_t mantissa = d & 0xFFFFFFFFFFFFFull;
    if ((d << 1) == 0) return {0xF9, 2, sign << 15};
    // The mantissa is tested before the exponent: for a run of singles it
    // fails every time, where the exponent range would be a coin toss.
    if ((mantissa & ((1ull << 42) - 1)) == 0 && static_cast<unsigned>(exponent + 14) <= 29)
        return {0xF9, 2, sign << 15 | static_cast<uint64_t>(exponent + 15) << 10 | mantissa >> 42};
    if (static_cast<unsigned>(exponent + 126) <= 253)
        return {0xFA, 4, sign << 31 | static_cast<uint64_t>(exponent + 127) << 23 | mantissa >> 29};
    if (exponent >= -149 && exponent < -126) {
        // A single subnormal holds exponent + 150 significant bits, the
        // leading one included; the rest of the mantissa must be zero.
        const unsigned drop = static_cast<unsigned>(-97 - exponent);  // 30 to 52
        if ((mantissa & ((1ull << drop) - 1)) == 0)
            return {0xFA, 4, sign << 31 | (mantissa | 1ull << 52) >> drop};
    }
    return {0xFB, 8, d};
}

}  // namespace tavrel

#endif  // TAVREL_FLOAT_CHOICE_H
