// Private helpers shared by the codec sources; not installed, not exported.
#ifndef TAVREL_CBOR_P_H
#define TAVREL_CBOR_P_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cbor.h"

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

inline uint64_t double_bits(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
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

}  // namespace tavrel

#endif  // TAVREL_CBOR_P_H
