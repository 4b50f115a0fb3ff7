// The item decoders named by cbor_jump_table, one per kind of head and
// argument width.  Each consumes one head at the cursor, plus the payload of
// a definite-length string, and never reads past the end of the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decode_p.h"

namespace {

using tavrel::load_be;
using tavrel::remaining;

using Reader = int (*)(cbor_parser *, cbor_val *);

// The argument readers: initial byte, then sizeof(T) big-endian bytes.
template <typename T>
int read_argument(cbor_parser *parser, cbor_val *val) {
    if (remaining(parser) < 1) return -1;
    parser->cursor += 1;
    if (remaining(parser) < sizeof(T)) return -1;
    val->value.uint_value = load_be<T>(parser->cursor);
    parser->cursor += sizeof(T);
    return 0;
}

// A one-byte item whose record needs nothing beyond its initial byte.
int skip_initial_byte(cbor_parser *parser) {
    if (remaining(parser) < 1) return -1;
    parser->cursor += 1;
    return 0;
}

template <Reader Read>
int parse_negint(cbor_parser *parser, cbor_val *val) {
    if (Read(parser, val) < 0) return -1;
    val->value.negint_value = static_cast<int64_t>(~val->value.uint_value);
    return 0;
}

template <Reader Read, bool Text>
int parse_string(cbor_parser *parser, cbor_val *val) {
    if (Read(parser, val) < 0) return -1;
    const uint64_t length = val->value.uint_value;
    val->value.uint_value = 0;  // the payload pointer shares this storage
    val->count = static_cast<int64_t>(length);
    // Checked before allocating, so a forged length costs nothing.
    if (length > remaining(parser)) return -1;
    const size_t n = static_cast<size_t>(length);
    uint8_t *block = static_cast<uint8_t *>(std::malloc(n + 1));
    if (block == nullptr) return -1;
    std::memcpy(block, parser->cursor, n);
    if (Text) block[n] = 0;
    val->value.payload = block;
    parser->cursor += n;
    return 0;
}

template <Reader Read>
int parse_count(cbor_parser *parser, cbor_val *val) {
    if (Read(parser, val) < 0) return -1;
    val->count = static_cast<int64_t>(val->value.uint_value);
    val->value.uint_value = 0;
    return 0;
}

int parse_indefinite(cbor_parser *parser, cbor_val *val) {
    if (skip_initial_byte(parser) < 0) return -1;
    val->count = -1;
    parser->in_indefinite = 1;
    return 0;
}

int uint_small(cbor_parser *parser, cbor_val *val) {
    if (remaining(parser) < 1) return -1;
    val->value.uint_value = *parser->cursor & 0x1F;
    parser->cursor += 1;
    return 0;
}

// A tag number inside the initial byte is left in initial_byte; one that
// follows it is consumed and stored, so the tagged item decodes next.
int semantic_tag(cbor_parser *parser, cbor_val *val) {
    if (remaining(parser) < 1) return -1;
    switch (*parser->cursor & 0x1F) {
        case 24: return read_argument<uint8_t>(parser, val);
        case 25: return read_argument<uint16_t>(parser, val);
        case 26: return read_argument<uint32_t>(parser, val);
        case 27: return read_argument<uint64_t>(parser, val);
        default: return skip_initial_byte(parser);
    }
}

int simple(cbor_parser *parser, cbor_val *) { return skip_initial_byte(parser); }

int break_code(cbor_parser *parser, cbor_val *) {
    if (skip_initial_byte(parser) < 0) return -1;
    parser->in_indefinite = 0;
    return 0;
}

int unimplemented(cbor_parser *parser, cbor_val *) {
    if (remaining(parser) < 1) return -1;
    std::fprintf(stderr, "Unimplemented CBOR code: %02x\n", static_cast<unsigned>(*parser->cursor));
    parser->cursor += 1;
    return 0;
}

// Every exported decoder refuses a missing parser or record before reading
// anything, as cbor_next_val refuses a missing parser.
template <Reader Decode>
int checked(cbor_parser *parser, cbor_val *val) {
    if (parser == nullptr || val == nullptr) return -1;
    return Decode(parser, val);
}

}  // namespace

extern "C" {

// One line a decoder, so the exported names read as the table they are.
// clang-format off
CBOR_API int cbor_parse_uint_small(cbor_parser *p, cbor_val *v) { return checked<uint_small>(p, v); }
CBOR_API int cbor_parse_uint8(cbor_parser *p, cbor_val *v) { return checked<read_argument<uint8_t>>(p, v); }
CBOR_API int cbor_parse_uint16(cbor_parser *p, cbor_val *v) { return checked<read_argument<uint16_t>>(p, v); }
CBOR_API int cbor_parse_uint32(cbor_parser *p, cbor_val *v) { return checked<read_argument<uint32_t>>(p, v); }
CBOR_API int cbor_parse_uint64(cbor_parser *p, cbor_val *v) { return checked<read_argument<uint64_t>>(p, v); }

CBOR_API int cbor_parse_negint_small(cbor_parser *p, cbor_val *v) { return checked<parse_negint<uint_small>>(p, v); }
CBOR_API int cbor_parse_negint8(cbor_parser *p, cbor_val *v) { return checked<parse_negint<read_argument<uint8_t>>>(p, v); }
CBOR_API int cbor_parse_negint16(cbor_parser *p, cbor_val *v) { return checked<parse_negint<read_argument<uint16_t>>>(p, v); }
CBOR_API int cbor_parse_negint32(cbor_parser *p, cbor_val *v) { return checked<parse_negint<read_argument<uint32_t>>>(p, v); }
CBOR_API int cbor_parse_negint64(cbor_parser *p, cbor_val *v) { return checked<parse_negint<read_argument<uint64_t>>>(p, v); }

CBOR_API int cbor_parse_byte_string_small(cbor_parser *p, cbor_val *v) { return checked<parse_string<uint_small, false>>(p, v); }
CBOR_API int cbor_parse_byte_string_uint8(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint8_t>, false>>(p, v); }
CBOR_API int cbor_parse_byte_string_uint16(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint16_t>, false>>(p, v); }
CBOR_API int cbor_parse_byte_string_uint32(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint32_t>, false>>(p, v); }
CBOR_API int cbor_parse_byte_string_uint64(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint64_t>, false>>(p, v); }
CBOR_API int cbor_parse_byte_string_indefinite(cbor_parser *p, cbor_val *v) { return checked<parse_indefinite>(p, v); }

CBOR_API int cbor_parse_text_string_small(cbor_parser *p, cbor_val *v) { return checked<parse_string<uint_small, true>>(p, v); }
CBOR_API int cbor_parse_text_string_uint8(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint8_t>, true>>(p, v); }
CBOR_API int cbor_parse_text_string_uint16(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint16_t>, true>>(p, v); }
CBOR_API int cbor_parse_text_string_uint32(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint32_t>, true>>(p, v); }
CBOR_API int cbor_parse_text_string_uint64(cbor_parser *p, cbor_val *v) { return checked<parse_string<read_argument<uint64_t>, true>>(p, v); }
CBOR_API int cbor_parse_text_string_indefinite(cbor_parser *p, cbor_val *v) { return checked<parse_indefinite>(p, v); }

CBOR_API int cbor_parse_array_small(cbor_parser *p, cbor_val *v) { return checked<parse_count<uint_small>>(p, v); }
CBOR_API int cbor_parse_array_uint8(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint8_t>>>(p, v); }
CBOR_API int cbor_parse_array_uint16(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint16_t>>>(p, v); }
CBOR_API int cbor_parse_array_uint32(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint32_t>>>(p, v); }
CBOR_API int cbor_parse_array_uint64(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint64_t>>>(p, v); }
CBOR_API int cbor_parse_array_indefinite(cbor_parser *p, cbor_val *v) { return checked<parse_indefinite>(p, v); }

CBOR_API int cbor_parse_map_small(cbor_parser *p, cbor_val *v) { return checked<parse_count<uint_small>>(p, v); }
CBOR_API int cbor_parse_map_uint8(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint8_t>>>(p, v); }
CBOR_API int cbor_parse_map_uint16(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint16_t>>>(p, v); }
CBOR_API int cbor_parse_map_uint32(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint32_t>>>(p, v); }
CBOR_API int cbor_parse_map_uint64(cbor_parser *p, cbor_val *v) { return checked<parse_count<read_argument<uint64_t>>>(p, v); }
CBOR_API int cbor_parse_map_indefinite(cbor_parser *p, cbor_val *v) { return checked<parse_indefinite>(p, v); }

CBOR_API int cbor_parse_semantic_tag(cbor_parser *p, cbor_val *v) { return checked<semantic_tag>(p, v); }
CBOR_API int cbor_parse_false(cbor_parser *p, cbor_val *v) { return checked<simple>(p, v); }
CBOR_API int cbor_parse_true(cbor_parser *p, cbor_val *v) { return checked<simple>(p, v); }
CBOR_API int cbor_parse_null(cbor_parser *p, cbor_val *v) { return checked<simple>(p, v); }
CBOR_API int cbor_parse_undefined(cbor_parser *p, cbor_val *v) { return checked<simple>(p, v); }
CBOR_API int cbor_parse_reserved(cbor_parser *p, cbor_val *v) { return checked<simple>(p, v); }
CBOR_API int cbor_parse_break(cbor_parser *p, cbor_val *v) { return checked<break_code>(p, v); }
CBOR_API int cbor_parse_unimplemented(cbor_parser *p, cbor_val *v) { return checked<unimplemented>(p, v); }
CBOR_API int cbor_parse_float16(cbor_parser *p, cbor_val *v) { return checked<tavrel::parse_float16>(p, v); }
CBOR_API int cbor_parse_float32(cbor_parser *p, cbor_val *v) { return checked<tavrel::parse_float32>(p, v); }
CBOR_API int cbor_parse_float64(cbor_parser *p, cbor_val *v) { return checked<tavrel::parse_float64>(p, v); }
// clang-format on

}  // extern "C"
