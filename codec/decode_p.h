// The float decoders, inline so the binding's float selection can run them
// on the stack; the exported cbor_parse_float16/32/64 are these.
#ifndef TAVREL_DECODE_P_H
#define TAVREL_DECODE_P_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cbor_p.h"

namespace tavrel {

// Reads `width` bytes after the initial byte into raw, or fails.
inline int read_float_bytes(cbor_parser *parser, uint8_t *raw, size_t width) {
    if (remaining(parser) < 1) return -1;
    parser->cursor += 1;
    if (remaining(parser) < width) return -1;
    std::memcpy(raw, parser->cursor, width);
    parser->cursor += width;
    return 0;
}

// Half precision as in RFC 8949, Appendix D.
inline int parse_float16(cbor_parser *parser, cbor_val *val) {
    uint8_t raw[2];
    if (read_float_bytes(parser, raw, 2) < 0) return -1;
    const unsigned half = load_be<uint16_t>(raw);
    const unsigned exponent = (half >> 10) & 0x1F;
    const unsigned mantissa = half & 0x3FF;
    // Scaling by an exact power of two is exact, like ldexp, and cheaper.
    double x;
    if (exponent == 0)
        x = mantissa * 0x1p-24;
    else if (exponent != 31)
        x = (mantissa + 1024) * bits_double(static_cast<uint64_t>(1023 + exponent - 25) << 52);
    else
        x = mantissa == 0 ? HUGE_VAL : bits_double(kQuietNaNBits);
    // Flip the sign bit directly so NaN and zero carry it too.
    if (half & 0x8000) x = bits_double(double_bits(x) ^ 0x8000000000000000ull);
    val->value.float_value = x;
    return 0;
}

inline int parse_float32(cbor_parser *parser, cbor_val *val) {
    uint8_t raw[4];
    if (read_float_bytes(parser, raw, 4) < 0) return -1;
    const uint32_t bits = load_be<uint32_t>(raw);
    val->value.float_value =
        bits == 0x7FFC0000u ? bits_double(kQuietNaNBits) : static_cast<double>(bits_float(bits));
    return 0;
}

inline int parse_float64(cbor_parser *parser, cbor_val *val) {
    uint8_t raw[8];
    if (read_float_bytes(parser, raw, 8) < 0) return -1;
    val->value.float_value = bits_double(load_be<uint64_t>(raw));
    return 0;
}

}  // namespace tavrel

#endif  // TAVREL_DECODE_P_H
