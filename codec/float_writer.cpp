// Float writers: fixed-width single/double items and the selecting writer,
// which keeps the shortest width that decodes back to the same number.
#include <cmath>
#include <cstdint>

#include "encode_p.h"

namespace {

using tavrel::append::GeneratorSink;

// The candidates are written from the double's bits: a double passed on by
// value may go through the x87 stack on 32-bit x86.  Half precision is
// written only by the selector, and only for finite x.
int write_half(cbor_generator *generator, uint64_t bits) {
    GeneratorSink sink{generator};
    return tavrel::append::write_float_bits(sink, 0xF9, tavrel::half_bits_of(bits), 2);
}

int write_single(cbor_generator *generator, uint64_t bits) {
    GeneratorSink sink{generator};
    return tavrel::append::write_float_bits(sink, 0xFA, tavrel::single_from_double_bits(bits), 4);
}

int write_double(cbor_generator *generator, uint64_t bits) {
    GeneratorSink sink{generator};
    return tavrel::append::write_float_bits(sink, 0xFB, bits, 8);
}

}  // namespace

extern "C" {

CBOR_API int cbor_write_float32(cbor_generator *generator, double x) {
    return write_single(generator, tavrel::double_bits(x));
}

CBOR_API int cbor_write_float64(cbor_generator *generator, double x) {
    return write_double(generator, tavrel::double_bits(x));
}

CBOR_API int cbor_write_float(cbor_generator *generator, double x) {
    const uint64_t bits = tavrel::double_bits(x);
    if (!std::isfinite(x)) {
        GeneratorSink sink{generator};
        return tavrel::append::write_float_special(sink, x);
    }

    // Write the three candidates into a scratch generator, decode them with
    // our own parser and keep the shortest that agrees with the wider ones.
    cbor_generator *scratch = cbor_generator_create();
    if (scratch == nullptr) return -1;
    int (*const writers[3])(cbor_generator *, uint64_t) = {write_half, write_single, write_double};
    int wrote[3];
    size_t start[3];
    for (int i = 0; i < 3; ++i) {
        start[i] = scratch->length;
        wrote[i] = writers[i](scratch, bits);
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

    const unsigned width = tavrel::choose_float_width(decoded[0], decoded[1], decoded[2]);
    const int result = width == 0 ? -1 : writers[width == 2 ? 0 : width == 4 ? 1 : 2](generator, bits);

    for (cbor_val *val : decoded) cbor_val_free(val);
    cbor_parser_free(parser);
    cbor_generator_free(scratch);
    return result;
}

}  // extern "C"
