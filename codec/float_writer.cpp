// Float writers: fixed-width half/single/double items and the selecting
// writer, which keeps the shortest width that decodes back to the same number.
#include <cmath>
#include <cstdint>

#include "cbor_p.h"

namespace {

using tavrel::double_bits;
using tavrel::float_bits;

int write_be(cbor_generator *generator, uint8_t initial, uint64_t bits, unsigned width) {
    if (_cbor_generator_write_byte(generator, initial) < 0) return -1;
    uint8_t out[8];
    for (unsigned i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * (width - 1 - i)));
    return _cbor_generator_write_bytes(generator, out, width) < 0 ? -1 : 1;
}

// Half precision built from the single-precision bits, truncating the
// mantissa.  The pattern is exact only for +/-0 and normal half numbers;
// for anything else it is some other number, and the selector discards it
// because it does not decode back to x.
int cbor_write_float16(cbor_generator *generator, double x) {
    const uint32_t s = float_bits(static_cast<float>(x));
    const uint32_t sign = s >> 31;
    const uint32_t exponent = (s >> 23) & 0xFF;
    const uint32_t mantissa = s & 0x7FFFFF;
    uint32_t h = sign << 15;
    if (exponent == 255) {
        h |= 0x7C00;
    } else {
        h |= mantissa >> 13;
        if (exponent != 0) h |= ((exponent + 16) % 64) << 10;
    }
    return write_be(generator, 0xF9, h & 0xFFFF, 2);
}

}  // namespace

extern "C" {

CBOR_API int cbor_write_float32(cbor_generator *generator, double x) {
    return write_be(generator, 0xFA, float_bits(static_cast<float>(x)), 4);
}

CBOR_API int cbor_write_float64(cbor_generator *generator, double x) {
    return write_be(generator, 0xFB, double_bits(x), 8);
}

CBOR_API int cbor_write_float(cbor_generator *generator, double x) {
    static const uint8_t kNaN[3] = {0xF9, 0x7E, 0x00};
    static const uint8_t kPosInf[3] = {0xF9, 0x7C, 0x00};
    static const uint8_t kNegInf[3] = {0xF9, 0xFC, 0x00};
    if (std::isnan(x)) return _cbor_generator_write_bytes(generator, kNaN, 3);
    if (std::isinf(x)) return _cbor_generator_write_bytes(generator, x >= 0 ? kPosInf : kNegInf, 3);

    // Write the three candidates, decode them with our own parser and keep
    // the shortest whose value equals the next wider one.
    cbor_generator *scratch = cbor_generator_create();
    if (scratch == nullptr) return -1;
    int (*const writers[3])(cbor_generator *, double) = {cbor_write_float16, cbor_write_float32,
                                                          cbor_write_float64};
    int wrote[3];
    size_t start[3];
    for (int i = 0; i < 3; ++i) {
        start[i] = scratch->length;
        wrote[i] = writers[i](scratch, x);
    }
    cbor_parser *parser = cbor_parser_create(scratch->buffer, scratch->length);
    if (parser == nullptr) {
        cbor_generator_free(scratch);
        return -1;
    }
    // Each candidate is read from where it was written, so a write that
    // failed halfway cannot shift the reading of the ones after it.
    cbor_val *decoded[3] = {nullptr, nullptr, nullptr};
    for (int i = 0; i < 3; ++i) {
        if (wrote[i] < 0) continue;
        parser->cursor = parser->buffer + start[i];
        decoded[i] = cbor_next_val(parser);
    }

    int result;
    if (decoded[2] == nullptr)
        result = -1;
    else if (decoded[1] == nullptr || decoded[1]->value.float_value != decoded[2]->value.float_value)
        result = cbor_write_float64(generator, x);
    else if (decoded[0] == nullptr || decoded[0]->value.float_value != decoded[1]->value.float_value)
        result = cbor_write_float32(generator, x);
    else
        result = cbor_write_float16(generator, x);

    for (cbor_val *val : decoded) cbor_val_free(val);
    cbor_parser_free(parser);
    cbor_generator_free(scratch);
    return result;
}

}  // extern "C"
