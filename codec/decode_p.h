// The float decoders: the exported cbor_parse_float16/32/64 are these, inline
// so that the float proof (fuzz/float_choice_proof.cpp) can run them on the stack.
#ifndef TAVREL_DECODE_P_H
#define TAVREL_DECODE_P_H

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

// The decoded double goes into the record as bits: never through a double
// temporary, which x87 code would load and so quieten a signalling NaN.
inline void store_float_bits(cbor_val *val, uint64_t bits) { std::memcpy(&val->value.float_value, &bits, sizeof bits); }

// Half precision as in RFC 8949, Appendix D, widened on the bits.
inline int parse_float16(cbor_parser *parser, cbor_val *val) {
    uint8_t raw[2];
    if (read_float_bytes(parser, raw, 2) < 0) return -1;
    store_float_bits(val, double_from_half_bits(load_be<uint16_t>(raw)));
    return 0;
}

inline int parse_float32(cbor_parser *parser, cbor_val *val) {
    uint8_t raw[4];
    if (read_float_bytes(parser, raw, 4) < 0) return -1;
    store_float_bits(val, double_from_single_bits(load_be<uint32_t>(raw)));
    return 0;
}

inline int parse_float64(cbor_parser *parser, cbor_val *val) {
    uint8_t raw[8];
    if (read_float_bytes(parser, raw, 8) < 0) return -1;
    store_float_bits(val, load_be<uint64_t>(raw));
    return 0;
}

}  // namespace tavrel

#endif  // TAVREL_DECODE_P_H
