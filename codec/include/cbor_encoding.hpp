// The codec's C++ encoding interface: the bytes of heads, strings and floats,
// for encoders that write into memory they reserve themselves.
//
// This is what the Python module writes with; C callers use cbor.h, whose
// writers produce the same bytes one append at a time.  Everything here is
// inline and throws nothing of its own.  The writers take any sink with
//
//     uint8_t *reserve(size_t n);   room for at least n bytes at the result
//     void advance(size_t n);       the next n bytes of it are written
//     void commit(uint8_t *end);    the bytes up to `end` are written
//
// Both speak of the last reservation; each writer uses whichever gives the
// shorter code where it stands.  A sink that cannot grow reports that its
// own way, e.g. by throwing.  A head or fixed-width item never takes more
// than kMaxHead bytes.
#ifndef TAVREL_CBOR_ENCODING_HPP
#define TAVREL_CBOR_ENCODING_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

// For the per-element writers and the float choice, which some callers would
// otherwise leave out of line where a call costs as much as the work.
#ifndef TAVREL_HOT_INLINE
#if defined(__GNUC__)
#define TAVREL_HOT_INLINE inline __attribute__((always_inline))
#else
#define TAVREL_HOT_INLINE inline
#endif
#endif

// For what is rare on a hot path: kept out of line so that the path around
// it stays small enough to be inlined where it is used.
#ifndef TAVREL_OUT_OF_LINE
#if defined(__GNUC__)
#define TAVREL_OUT_OF_LINE __attribute__((noinline))
#else
#define TAVREL_OUT_OF_LINE
#endif
#endif

namespace tavrel {

// Major types (bits 7-5 of the initial byte).
constexpr uint8_t kMajorUint = 0;
constexpr uint8_t kMajorNegint = 1;
constexpr uint8_t kMajorBytes = 2;
constexpr uint8_t kMajorText = 3;
constexpr uint8_t kMajorArray = 4;
constexpr uint8_t kMajorMap = 5;

// Whole one-byte items of major type 7.
constexpr uint8_t kFalse = 0xF4;
constexpr uint8_t kTrue = 0xF5;
constexpr uint8_t kNull = 0xF6;
constexpr uint8_t kBreak = 0xFF;

// An initial byte and up to eight argument bytes.
constexpr size_t kMaxHead = 9;

// The `width` (1 to 8) low bytes of value, big-endian, at out[0..width).
// out must have room for 8 bytes: the ones past `width` are scratch.  One
// byte swap and one unaligned-safe store instead of a store per byte.
TAVREL_HOT_INLINE void store_be_wide(uint8_t *out, uint64_t value, unsigned width) {
    uint64_t wide = value << (64 - 8 * width);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    wide = __builtin_bswap64(wide);
    std::memcpy(out, &wide, sizeof wide);
#else
    for (unsigned i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(wide >> (56 - 8 * i));
#endif
}

// The additional information and argument width of a head whose argument
// needs `bits` significant bits (0 to 64), for arguments of 24 and more:
// one table read instead of a chain of compares that random values mispredict.
struct HeadWidth {
    uint8_t info;
    uint8_t width;
};
inline constexpr HeadWidth kHeadWidths[65] = {
    {24, 1}, {24, 1}, {24, 1}, {24, 1}, {24, 1}, {24, 1}, {24, 1}, {24, 1}, {24, 1},  // 0-8 bits
    {25, 2}, {25, 2}, {25, 2}, {25, 2}, {25, 2}, {25, 2}, {25, 2}, {25, 2},           // 9-16
    {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4},           // 17-24
    {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4}, {26, 4},           // 25-32
    {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8},           // 33-40
    {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8},           // 41-48
    {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8},           // 49-56
    {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8}, {27, 8},           // 57-64
};

inline unsigned significant_bits(uint64_t value) {
#if defined(__GNUC__)
    return value == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(value));
#else
    unsigned bits = 0;
    for (; value != 0; value >>= 1) ++bits;
    return bits;
#endif
}

// The shortest head of `major` carrying `argument`, at `out`, which has
// kMaxHead bytes of room; returns its length.
TAVREL_HOT_INLINE size_t store_head(uint8_t *out, uint8_t major, uint64_t argument) {
    const uint8_t initial = static_cast<uint8_t>(major << 5);
    if (argument < 24) {
        out[0] = static_cast<uint8_t>(initial | argument);
        return 1;
    }
    const HeadWidth head = kHeadWidths[significant_bits(argument)];
    out[0] = static_cast<uint8_t>(initial | head.info);
    store_be_wide(out + 1, argument, head.width);
    return 1u + head.width;
}

// Bytes of the shortest head carrying `argument`, as store_head writes it.
inline size_t head_size(uint64_t argument) {
    return argument < 24 ? 1 : 1u + kHeadWidths[significant_bits(argument)].width;
}

// The head of a string of `size` bytes, at `out` (kMaxHead bytes of room);
// returns its length.  Below 256, the common case, the 23/24 boundary is
// chosen without a branch: keys of 20-odd bytes fall on both sides of it.
TAVREL_HOT_INLINE size_t store_length_head(uint8_t *out, uint8_t major, size_t size) {
    if (size > 0xFF) return store_head(out, major, size);
    const bool wide = size >= 24;
    out[0] = static_cast<uint8_t>(major << 5 | (wide ? 24 : size));
    out[1] = static_cast<uint8_t>(size);
    return 1u + wide;
}

// ---- Floats ----------------------------------------------------------------

// The item of any double at `out`, which has kMaxHead bytes of room;
// returns its length.  Finite doubles take the shortest exact width, decided
// on the bits alone: exactly what cbor_write_float's decode-back comparison
// picks, with no scratch encoding and no floating-point arithmetic, so no
// rounding mode, flush-to-zero or x87 can touch it.  Half precision is kept
// for +/-0 and normal halves only: half subnormals are written as single, as
// the decode-back rule does (its half candidate is built without subnormal
// support).  NaN and the infinities are the fixed half-precision items (every
// NaN is the one quiet NaN 0x7E00).
//
// Every half or single, subnormal singles included, leaves at least the low
// 29 mantissa bits zero; most doubles fail that first test.
constexpr uint64_t kBelowSingle = (1ull << 29) - 1;

// The rarer doubles that pass it: +/-0, subnormal singles, the infinities
// and NaNs with those bits zero, and doubles outside single's exponent range.
TAVREL_OUT_OF_LINE inline size_t store_float_outside_normal_single(uint8_t *out, uint64_t d) {
    const uint64_t sign = d >> 63;
    const unsigned biased = static_cast<unsigned>(d >> 52) & 0x7FF;
    const uint64_t mantissa = d & 0xFFFFFFFFFFFFFull;
    if (biased == 0x7FF || (d << 1) == 0) {
        const uint64_t half = biased != 0x7FF ? sign << 15 : mantissa != 0 ? 0x7E00 : sign ? 0xFC00 : 0x7C00;
        store_be_wide(out, 0xF90000 | half, 3);
        return 3;
    }
    if (biased >= 1023 - 149 && biased < 1023 - 126) {
        // A single subnormal holds biased - 873 significant bits, the
        // leading one included; the rest of the mantissa must be zero.
        const unsigned drop = 1023 - 97 - biased;  // 30 to 52
        if ((mantissa & ((1ull << drop) - 1)) == 0) {
            store_be_wide(out, uint64_t{0xFA} << 32 | sign << 31 | (mantissa | 1ull << 52) >> drop, 5);
            return 5;
        }
    }
    out[0] = 0xFB;
    store_be_wide(out + 1, d, 8);
    return 9;
}

TAVREL_HOT_INLINE size_t store_float(uint8_t *out, uint64_t d) {
    if ((d & kBelowSingle) != 0) {
        // Of the doubles with these bits set only NaNs are not written whole.
        if ((d << 1) > uint64_t{0x7FF} << 53) {
            store_be_wide(out, 0xF97E00, 3);
            return 3;
        }
        out[0] = 0xFB;
        store_be_wide(out + 1, d, 8);
        return 9;
    }
    // Sign dropped and rebased so that a normal single's exponent field, 1
    // to 254, reads 0 to 253 here: one unsigned comparison tests it.
    const uint64_t below = ((d << 1) >> 30) - (uint64_t{1023 - 127 + 1} << 23);
    if (below >= 254u << 23) return store_float_outside_normal_single(out, d);
    // The initial byte joins the sign by an add: 0xF9 << 16 is 0x1F2 << 15
    // and 0xFA << 32 is 0x1F4 << 31.
    const uint64_t sign = d >> 63;
    // Rebased again to half's bias (15), the exponent is 1 to 30 and the low
    // 13 mantissa bits are zero: rotated right by 13, those bits lead and the
    // half's exponent and mantissa trail, so one unsigned comparison tests
    // both and the trailing bits are the half.
    const uint32_t rebased = static_cast<uint32_t>(below) - (uint32_t{127 - 15 - 1} << 23);
    const uint32_t rotated = rebased >> 13 | rebased << 19;
    if (rotated - (1u << 10) < 30u << 10) {
        store_be_wide(out, (0x1F2 + sign) << 15 | rotated, 3);
        return 3;
    }
    store_be_wide(out, (0x1F4 + sign) << 31 | (below + (1u << 23)), 5);
    return 5;
}

// ---- Writers over a sink ---------------------------------------------------

template <class Sink>
TAVREL_HOT_INLINE void write_head(Sink &sink, uint8_t major, uint64_t argument) {
    uint8_t *at = sink.reserve(kMaxHead);
    sink.advance(store_head(at, major, argument));
}

// Any 64-bit integer: major type 1 carries n for the number -1 - n, which
// is ~value.  The sign picks the major type without a branch.
template <class Sink>
TAVREL_HOT_INLINE void write_signed(Sink &sink, int64_t value) {
    const uint64_t sign = static_cast<uint64_t>(value >> 63);  // all ones when negative
    write_head(sink, static_cast<uint8_t>(sign & kMajorNegint), static_cast<uint64_t>(value) ^ sign);
}

// n bytes, 8 <= n <= 32, in four 8-byte moves that may overlap: no branch on
// the length, which varies at random between the keys of a document.
TAVREL_HOT_INLINE void copy_8_to_32(uint8_t *to, const uint8_t *from, size_t n) {
    const size_t half = n / 2;
    const size_t second = half >= 8 ? half - 8 : 0;
    const size_t third = half <= n - 8 ? half : n - 8;
    uint64_t a, b, c, d;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + second, 8);
    std::memcpy(&c, from + third, 8);
    std::memcpy(&d, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + second, &b, 8);
    std::memcpy(to + third, &c, 8);
    std::memcpy(to + n - 8, &d, 8);
}

// A payload of n >= kLongPayload bytes, copied as fast as this machine
// allows (copy.cpp).  Out of line: for such a length the call is nothing.
constexpr size_t kLongPayload = 2048;
void copy_long(uint8_t *to, const uint8_t *from, size_t n);

// A byte or text string: the head and its payload with one reservation.
// Short payloads, the common case in documents, are copied by fixed-size
// moves rather than a call to memcpy.
template <class Sink>
TAVREL_HOT_INLINE void write_string(Sink &sink, uint8_t major, const void *data, size_t size) {
    uint8_t *at = sink.reserve(kMaxHead + size);
    at += store_length_head(at, major, size);
    const uint8_t *from = static_cast<const uint8_t *>(data);
    if (size >= 8 && size <= 32) {
        copy_8_to_32(at, from, size);
    } else if (size >= 4 && size < 8) {
        std::memcpy(at, from, 4);
        std::memcpy(at + size - 4, from + size - 4, 4);
    } else if (size < 4) {
        for (size_t i = 0; i < size; ++i) at[i] = from[i];
    } else if (size < kLongPayload) {
        std::memcpy(at, from, size);
    } else {
        copy_long(at, from, size);
    }
    sink.commit(at + size);
}

// The end is set from `at`: after a byte store the sink's own position
// would have to be read again.
template <class Sink>
TAVREL_HOT_INLINE void write_float(Sink &sink, double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    uint8_t *at = sink.reserve(kMaxHead);
    sink.commit(at + store_float(at, bits));
}

}  // namespace tavrel

#endif  // TAVREL_CBOR_ENCODING_HPP
