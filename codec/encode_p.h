// The encodings of heads, strings and floats, written once over an output
// sink.  The exported writers use a sink over cbor_generator; the float
// selection writes its candidates into a scratch sink on the stack.  A sink
// provides:
//
//     int put(uint8_t byte);                         one byte
//     int put_head(const uint8_t *head, size_t n);   an initial byte and its argument bytes
//     int put_bytes(const void *data, size_t n);     a payload
//
// each returning 0, or -1 when the output cannot take the bytes.
#ifndef TAVREL_ENCODE_P_H
#define TAVREL_ENCODE_P_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cbor_p.h"
#include "decode_p.h"
#include "wire.h"

namespace tavrel {

// The exported writers' sink: one append per byte of a head, so a failure
// leaves exactly the bytes appended before it.
struct GeneratorSink {
    cbor_generator *generator;

    int put(uint8_t byte) { return _cbor_generator_write_byte(generator, byte); }
    int put_head(const uint8_t *head, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (_cbor_generator_write_byte(generator, head[i]) < 0) return -1;
        return 0;
    }
    int put_bytes(const void *data, size_t n) { return _cbor_generator_write_bytes(generator, data, n); }
};

// A fixed buffer on the stack, large enough for the three float candidates.
struct ScratchSink {
    uint8_t bytes[17];
    size_t length = 0;

    int put(uint8_t byte) { return put_bytes(&byte, 1); }
    int put_head(const uint8_t *head, size_t n) { return put_bytes(head, n); }
    int put_bytes(const void *data, size_t n) {
        if (n > sizeof bytes - length) return -1;
        std::memcpy(bytes + length, data, n);
        length += n;
        return 0;
    }
};

// Big-endian argument of `width` bytes, shifted out so host order is irrelevant.
inline void store_be(uint8_t *out, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

// Every head goes through here.  The initial byte is the major type in bits
// 7-5 and the additional information in bits 4-0: 0-23 is the argument
// itself, 24-27 announce 1, 2, 4 or 8 big-endian argument bytes, 31 marks an
// indefinite length (the break, in major type 7).  Argument bits beyond the
// announced width are dropped.
template <class Sink>
int write_sized(Sink &sink, uint8_t initial_byte, uint64_t argument) {
    const unsigned info = initial_byte & 0x1F;
    if (info < 24 || info > 27) return sink.put(static_cast<uint8_t>(initial_byte | argument));
    const unsigned width = 1u << (info - 24);  // 8, 16, 32 or 64 bits
    uint8_t head[9];
    head[0] = initial_byte;
    store_be(head + 1, argument, width);
    return sink.put_head(head, 1 + width);
}

// Head of major_type with the argument in its shortest form.
template <class Sink>
int write_head(Sink &sink, uint8_t major_type, uint64_t argument) {
    const uint8_t initial = static_cast<uint8_t>(major_type << 5);
    if (argument <= 23) return write_sized(sink, initial, argument);
    const uint8_t info = argument <= 0xFF ? 24 : argument <= 0xFFFF ? 25 : argument <= 0xFFFFFFFFull ? 26 : 27;
    return write_sized(sink, static_cast<uint8_t>(initial | info), argument);
}

template <class Sink>
int write_negint(Sink &sink, int64_t value) {
    // Major type 1 carries n for the number -1 - n, which is ~value.
    return write_head(sink, kMajorNegint, ~static_cast<uint64_t>(value));
}

// Indefinite length writes the bare 0x5F/0x7F/0x9F/0xBF head.
template <class Sink>
int write_indefinite(Sink &sink, uint8_t major_type) {
    return sink.put(static_cast<uint8_t>(major_type << 5 | 31));
}

template <class Sink>
int write_string(Sink &sink, uint8_t major_type, const void *data, uint64_t length) {
    if (length == CBOR_INDEFINITE) return write_indefinite(sink, major_type);
    // A payload that cannot be addressed cannot be copied: refuse before the head.
    if (length > SIZE_MAX) return -1;
    if (write_head(sink, major_type, length) < 0) return -1;
    return sink.put_bytes(data, static_cast<size_t>(length));
}

template <class Sink>
int write_container(Sink &sink, uint8_t major_type, uint64_t count) {
    if (count == CBOR_INDEFINITE) return write_indefinite(sink, major_type);
    return write_head(sink, major_type, count);
}

// Fixed-width floats: the initial byte, then the bits, high byte first.
// These return 1 on success, as the exported float writers do.
template <class Sink>
int write_float_bits(Sink &sink, uint8_t initial, uint64_t bits, unsigned width) {
    if (sink.put(initial) < 0) return -1;
    uint8_t out[8];
    store_be(out, bits, width);
    return sink.put_bytes(out, width) < 0 ? -1 : 1;
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

inline uint32_t half_bits(double x) { return half_bits_of(double_bits(x)); }

template <class Sink>
int write_float16(Sink &sink, double x) {
    return write_float_bits(sink, 0xF9, half_bits(x), 2);
}

template <class Sink>
int write_float32(Sink &sink, double x) {
    return write_float_bits(sink, 0xFA, single_from_double_bits(double_bits(x)), 4);
}

template <class Sink>
int write_float64(Sink &sink, double x) {
    return write_float_bits(sink, 0xFB, double_bits(x), 8);
}

// NaN and the infinities are fixed half-precision items, written in one
// append; the result is the append's (0 or -1).
template <class Sink>
int write_float_special(Sink &sink, double x) {
    static const uint8_t kNaN[3] = {0xF9, 0x7E, 0x00};
    static const uint8_t kPosInf[3] = {0xF9, 0x7C, 0x00};
    static const uint8_t kNegInf[3] = {0xF9, 0xFC, 0x00};
    if (std::isnan(x)) return sink.put_bytes(kNaN, 3);
    return sink.put_bytes(x >= 0 ? kPosInf : kNegInf, 3);
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

template <class Sink>
int write_float_width(Sink &sink, double x, unsigned width) {
    switch (width) {
        case 2: return write_float16(sink, x);
        case 4: return write_float32(sink, x);
        case 8: return write_float64(sink, x);
        default: return -1;
    }
}

}  // namespace tavrel

#endif  // TAVREL_ENCODE_P_H
