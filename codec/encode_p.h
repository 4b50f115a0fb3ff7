// The codec's own writers of heads, strings and floats, over an output sink
// that appends: the exported writers use one over cbor_generator.  A sink
// provides
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

#include "cbor_p.h"
#include "include/cbor_encoding.hpp"

// Apart from the inline interface's writers of the same names, which
// reserve rather than append.
namespace tavrel::append {

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
    uint8_t head[kMaxHead];
    head[0] = initial_byte;
    store_be_wide(head + 1, argument, width);
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
    // Shifted out a byte at a time: x87 code (32-bit x86 without SSE) may
    // move a whole 8-byte block through the FPU, which quietens a
    // signalling NaN's bits.
    uint8_t out[8];
    for (unsigned i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * (width - 1 - i)));
    return sink.put_bytes(out, width) < 0 ? -1 : 1;
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

}  // namespace tavrel::append

#endif  // TAVREL_ENCODE_P_H
