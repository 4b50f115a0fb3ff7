// An independent model of one decoded item and of shortest-form encodings,
// written from RFC 8949 and the codec's documented contract, so that the
// harnesses never judge the codec by its own code.
#ifndef TAVREL_FUZZ_CBOR_REFERENCE_H
#define TAVREL_FUZZ_CBOR_REFERENCE_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ref {

constexpr uint64_t kQuietNaN = 0x7FF8000000000000ull;
constexpr uint64_t kSign = 0x8000000000000000ull;

inline uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
inline double double_of(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}
inline uint32_t bits_of(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline uint64_t big_endian(const uint8_t *p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// Exact double value of a half-precision pattern.
inline uint64_t half_to_double_bits(unsigned h) {
    const unsigned e = (h >> 10) & 0x1F, m = h & 0x3FF;
    uint64_t bits;
    if (e == 0)
        bits = bits_of(static_cast<double>(m) / 16777216.0);  // m * 2^-24, exact
    else if (e == 31)
        bits = m == 0 ? 0x7FF0000000000000ull : kQuietNaN;
    else  // (1024 + m) * 2^(e - 25): a normal double with exponent e - 15
        bits = static_cast<uint64_t>(e - 15 + 1023) << 52 | static_cast<uint64_t>(m) << 42;
    return (h & 0x8000) ? bits ^ kSign : bits;
}

// Exact double value of a single-precision pattern; 7F FC 00 00 is the
// codec's canonical NaN, other NaNs keep their payload with the quiet bit set.
inline uint64_t single_to_double_bits(uint32_t b) {
    if (b == 0x7FFC0000u) return kQuietNaN;
    const uint64_t s = static_cast<uint64_t>(b >> 31) << 63;
    const unsigned e = (b >> 23) & 0xFF;
    const uint64_t m = b & 0x7FFFFF;
    if (e == 255) {
        if (m == 0) return s | 0x7FF0000000000000ull;
        return s | 0x7FF0000000000000ull | (m | 0x400000) << 29;
    }
    if (e == 0) return s | bits_of(static_cast<double>(m) * 0x1p-149);
    return s | static_cast<uint64_t>(e - 127 + 1023) << 52 | m << 29;
}

// What the decoder for the item at p (rem >= 1 bytes available) must do.
struct Item {
    bool ok = true;
    size_t advance = 1;  // where the cursor must stand afterwards, also on failure
    uint8_t ib = 0;
    int major = 0;
    uint64_t value = 0;  // uint_value / negint_value / float_value bits; 0 for strings
    int64_t count = 0;
    bool string = false;  // a definite string: payload is [payload, payload + count)
    const uint8_t *payload = nullptr;
    bool text = false;
    int flag = -1;  // in_indefinite afterwards: -1 unchanged, 0 or 1
    bool prints = false;
    // The head's argument and additional information, for re-encoding.
    uint64_t argument = 0;
    unsigned info = 0;
    size_t head_length = 1;
};

inline Item decode(const uint8_t *p, size_t rem) {
    Item it;
    it.ib = p[0];
    it.major = p[0] >> 5;
    it.info = p[0] & 0x1F;
    const unsigned ai = it.info;
    // Reads the argument of a head with ai 0-27; false (cursor one byte in)
    // when its bytes are missing.
    auto argument = [&]() -> bool {
        if (ai < 24) {
            it.argument = ai;
            it.head_length = 1;
            return true;
        }
        const size_t n = size_t{1} << (ai - 24);
        if (rem - 1 < n) {
            it.ok = false;
            it.advance = 1;
            return false;
        }
        it.argument = big_endian(p + 1, n);
        it.head_length = 1 + n;
        return true;
    };
    switch (it.major) {
        case 0:
        case 1:
            if (ai >= 28) break;  // reserved: nothing stored
            if (!argument()) break;
            it.value = it.major == 0 ? it.argument : ~it.argument;
            it.advance = it.head_length;
            break;
        case 2:
        case 3:
            if (ai == 31) {
                it.count = -1;
                it.flag = 1;
                break;
            }
            if (ai >= 28) break;
            if (!argument()) break;
            it.count = static_cast<int64_t>(it.argument);
            if (it.argument > rem - it.head_length) {
                it.ok = false;
                it.advance = it.head_length;
                break;
            }
            it.string = true;
            it.text = it.major == 3;
            it.payload = p + it.head_length;
            it.advance = it.head_length + static_cast<size_t>(it.argument);
            break;
        case 4:
        case 5:
            if (ai == 31) {
                it.count = -1;
                it.flag = 1;
                break;
            }
            if (ai >= 28) break;
            if (!argument()) break;
            it.count = static_cast<int64_t>(it.argument);
            it.advance = it.head_length;
            break;
        case 6:
            if (ai >= 28) break;  // 0xDC-0xDF reserved
            if (ai < 24) break;   // number in the initial byte: nothing stored
            if (!argument()) break;
            it.value = it.argument;
            it.advance = it.head_length;
            break;
        case 7:
            if (ai < 20 || ai == 24) {
                it.prints = true;  // simple values without a decoder; F8's byte is not consumed
            } else if (ai >= 25 && ai <= 27) {
                const size_t n = size_t{1} << (ai - 24);
                if (rem - 1 < n) {
                    it.ok = false;
                    break;
                }
                const uint64_t raw = big_endian(p + 1, n);
                it.value = ai == 25 ? half_to_double_bits(static_cast<unsigned>(raw))
                           : ai == 26 ? single_to_double_bits(static_cast<uint32_t>(raw))
                                      : raw;
                it.advance = 1 + n;
            } else if (ai == 31) {
                it.flag = 0;
            }
            break;
    }
    return it;
}

// ---- Encoding ----------------------------------------------------------

inline void head(std::vector<uint8_t> &out, int major, uint64_t arg) {
    const uint8_t mt = static_cast<uint8_t>(major << 5);
    if (arg < 24) {
        out.push_back(static_cast<uint8_t>(mt | arg));
        return;
    }
    unsigned n, ai;
    if (arg <= 0xFF)
        n = 1, ai = 24;
    else if (arg <= 0xFFFF)
        n = 2, ai = 25;
    else if (arg <= 0xFFFFFFFFull)
        n = 4, ai = 26;
    else
        n = 8, ai = 27;
    out.push_back(static_cast<uint8_t>(mt | ai));
    for (unsigned i = n; i-- > 0;) out.push_back(static_cast<uint8_t>(arg >> (8 * i)));
}

inline void put_be(std::vector<uint8_t> &out, uint8_t initial, uint64_t bits, unsigned n) {
    out.push_back(initial);
    for (unsigned i = n; i-- > 0;) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

// True when x is +-0 or a normal half-precision number (at most 11
// significant bits, magnitude 2^-14 .. 65504); h receives its pattern.
inline bool as_normal_half(double x, unsigned &h) {
    const unsigned sign = std::signbit(x) ? 0x8000u : 0u;
    if (x == 0) {
        h = sign;
        return true;
    }
    int e;
    const double fraction = std::frexp(std::fabs(x), &e);  // |x| = fraction * 2^e, fraction in [0.5, 1)
    const int exponent = e - 1;                             // |x| = 1.f * 2^exponent
    if (exponent < -14 || exponent > 15) return false;
    const double significand = std::ldexp(fraction, 11);  // 1024 .. 2047.x
    if (significand != std::floor(significand)) return false;
    h = sign | static_cast<unsigned>(exponent + 15) << 10 | (static_cast<unsigned>(significand) - 1024);
    return true;
}

// The bytes the selecting float writer must produce for x.
inline std::vector<uint8_t> shortest_float(double x) {
    std::vector<uint8_t> out;
    if (std::isnan(x)) return {0xF9, 0x7E, 0x00};
    if (std::isinf(x)) return {0xF9, static_cast<uint8_t>(x > 0 ? 0x7C : 0xFC), 0x00};
    unsigned h;
    if (as_normal_half(x, h)) {
        put_be(out, 0xF9, h, 2);
        return out;
    }
    const float f = static_cast<float>(x);
    if (static_cast<double>(f) == x) {
        put_be(out, 0xFA, bits_of(f), 4);
        return out;
    }
    put_be(out, 0xFB, bits_of(x), 8);
    return out;
}

// 1 (half), 2 (single) or 3 (double): the narrowest width keeping x exactly.
inline int float_width(double x) {
    const uint8_t first = shortest_float(x)[0];
    return first == 0xF9 ? 1 : first == 0xFA ? 2 : 3;
}

}  // namespace ref

#endif  // TAVREL_FUZZ_CBOR_REFERENCE_H
