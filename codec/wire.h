// Pieces of the wire format shared by the codec's writers and the binding's
// inline writers: the major types, and a big-endian store for hot paths.
#ifndef TAVREL_WIRE_H
#define TAVREL_WIRE_H

#include <cstdint>
#include <cstring>

namespace tavrel {

constexpr uint8_t kMajorUint = 0;
constexpr uint8_t kMajorNegint = 1;
constexpr uint8_t kMajorBytes = 2;
constexpr uint8_t kMajorText = 3;
constexpr uint8_t kMajorArray = 4;
constexpr uint8_t kMajorMap = 5;

// The `width` (1 to 8) low bytes of value, big-endian, at out[0..width).
// out must have room for 8 bytes: the ones past `width` are scratch.  One
// byte swap and one unaligned-safe store instead of a store per byte.
inline void store_be_wide(uint8_t *out, uint64_t value, unsigned width) {
    uint64_t wide = value << (64 - 8 * width);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    wide = __builtin_bswap64(wide);
    std::memcpy(out, &wide, sizeof wide);
#else
    for (unsigned i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(wide >> (56 - 8 * i));
#endif
}

}  // namespace tavrel

#endif  // TAVREL_WIRE_H
