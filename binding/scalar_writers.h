// Heads, strings and floats written straight into the output buffer: the
// same bytes as the codec's writers, assembled in registers and stored once.
#ifndef TAVREL_SCALAR_WRITERS_H
#define TAVREL_SCALAR_WRITERS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "float_choice.h"
#include "output_buffer.h"
#include "wire.h"

// For the per-element writers, which some instantiations would otherwise
// leave out of line.
#if defined(__GNUC__)
#define TAVREL_HOT_INLINE inline __attribute__((always_inline))
#else
#define TAVREL_HOT_INLINE inline
#endif

namespace tavrel {

constexpr uint8_t kFalse = 0xF4;
constexpr uint8_t kTrue = 0xF5;
constexpr uint8_t kNull = 0xF6;
constexpr uint8_t kBreak = 0xFF;

// The shortest head at `out`, which has kMaxHead bytes of room; returns its
// length.
inline size_t store_head(uint8_t *out, uint8_t major, uint64_t argument) {
    const uint8_t initial = static_cast<uint8_t>(major << 5);
    if (argument < 24) {
        out[0] = static_cast<uint8_t>(initial | argument);
        return 1;
    }
    unsigned info, width;
    if (argument <= 0xFF) {
        info = 24, width = 1;
    } else if (argument <= 0xFFFF) {
        info = 25, width = 2;
    } else if (argument <= 0xFFFFFFFFull) {
        info = 26, width = 4;
    } else {
        info = 27, width = 8;
    }
    out[0] = static_cast<uint8_t>(initial | info);
    store_be_wide(out + 1, argument, width);
    return 1 + width;
}

TAVREL_HOT_INLINE void write_head(OutputBuffer &out, uint8_t major, uint64_t argument) {
    uint8_t *at = out.reserve(OutputBuffer::kMaxHead);
    out.advance(store_head(at, major, argument));
}

inline void write_signed(OutputBuffer &out, int64_t value) {
    // Major type 1 carries n for the number -1 - n, which is ~value.
    if (value < 0)
        write_head(out, kMajorNegint, ~static_cast<uint64_t>(value));
    else
        write_head(out, kMajorUint, static_cast<uint64_t>(value));
}

// A string head and its payload with one reservation.  Short payloads, the
// common case in documents, are copied by fixed-size moves rather than a
// call to memcpy.
TAVREL_HOT_INLINE void write_string(OutputBuffer &out, uint8_t major, const void *data, size_t size) {
    uint8_t *at = out.reserve(OutputBuffer::kMaxHead + size);
    at += store_head(at, major, size);
    const uint8_t *from = static_cast<const uint8_t *>(data);
    if (size >= 8 && size <= 16) {
        std::memcpy(at, from, 8);
        std::memcpy(at + size - 8, from + size - 8, 8);
    } else if (size >= 4 && size < 8) {
        std::memcpy(at, from, 4);
        std::memcpy(at + size - 4, from + size - 4, 4);
    } else if (size < 4) {
        for (size_t i = 0; i < size; ++i) at[i] = from[i];
    } else {
        std::memcpy(at, from, size);
    }
    out.commit(at + size);
}

// The width comes from the double's bits (float_choice.h); NaN and the
// infinities are the fixed half-precision items.
TAVREL_HOT_INLINE void write_float(OutputBuffer &out, double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    FloatItem item;
    if ((bits & 0x7FF0000000000000ull) != 0x7FF0000000000000ull)
        item = shortest_float(bits);
    else if ((bits & 0xFFFFFFFFFFFFFull) != 0)
        item = {0xF9, 2, 0x7E00};
    else
        item = {0xF9, 2, (bits >> 63) ? 0xFC00u : 0x7C00u};
    uint8_t *at = out.reserve(OutputBuffer::kMaxHead);
    at[0] = item.initial;
    store_be_wide(at + 1, item.bits, item.width);
    out.advance(1 + item.width);
}

}  // namespace tavrel

#endif  // TAVREL_SCALAR_WRITERS_H
