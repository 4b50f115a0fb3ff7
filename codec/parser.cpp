// Parser, value records and the dispatch table.
#include <cstdint>
#include <cstdlib>

#include "cbor_p.h"

namespace {

struct Range {
    unsigned first, last;
    cbor_parse_fn decoder;
};

// Initial byte ranges and their decoders.
constexpr Range kRanges[] = {
    {0x00, 0x17, cbor_parse_uint_small},
    {0x18, 0x18, cbor_parse_uint8},
    {0x19, 0x19, cbor_parse_uint16},
    {0x1A, 0x1A, cbor_parse_uint32},
    {0x1B, 0x1B, cbor_parse_uint64},
    {0x1C, 0x1F, cbor_parse_reserved},
    {0x20, 0x37, cbor_parse_negint_small},
    {0x38, 0x38, cbor_parse_negint8},
    {0x39, 0x39, cbor_parse_negint16},
    {0x3A, 0x3A, cbor_parse_negint32},
    {0x3B, 0x3B, cbor_parse_negint64},
    {0x3C, 0x3F, cbor_parse_reserved},
    {0x40, 0x57, cbor_parse_byte_string_small},
    {0x58, 0x58, cbor_parse_byte_string_uint8},
    {0x59, 0x59, cbor_parse_byte_string_uint16},
    {0x5A, 0x5A, cbor_parse_byte_string_uint32},
    {0x5B, 0x5B, cbor_parse_byte_string_uint64},
    {0x5C, 0x5E, cbor_parse_reserved},
    {0x5F, 0x5F, cbor_parse_byte_string_indefinite},
    {0x60, 0x77, cbor_parse_text_string_small},
    {0x78, 0x78, cbor_parse_text_string_uint8},
    {0x79, 0x79, cbor_parse_text_string_uint16},
    {0x7A, 0x7A, cbor_parse_text_string_uint32},
    {0x7B, 0x7B, cbor_parse_text_string_uint64},
    {0x7C, 0x7E, cbor_parse_reserved},
    {0x7F, 0x7F, cbor_parse_text_string_indefinite},
    {0x80, 0x97, cbor_parse_array_small},
    {0x98, 0x98, cbor_parse_array_uint8},
    {0x99, 0x99, cbor_parse_array_uint16},
    {0x9A, 0x9A, cbor_parse_array_uint32},
    {0x9B, 0x9B, cbor_parse_array_uint64},
    {0x9C, 0x9E, cbor_parse_reserved},
    {0x9F, 0x9F, cbor_parse_array_indefinite},
    {0xA0, 0xB7, cbor_parse_map_small},
    {0xB8, 0xB8, cbor_parse_map_uint8},
    {0xB9, 0xB9, cbor_parse_map_uint16},
    {0xBA, 0xBA, cbor_parse_map_uint32},
    {0xBB, 0xBB, cbor_parse_map_uint64},
    {0xBC, 0xBE, cbor_parse_reserved},
    {0xBF, 0xBF, cbor_parse_map_indefinite},
    {0xC0, 0xDB, cbor_parse_semantic_tag},
    {0xDC, 0xDF, cbor_parse_reserved},
    {0xE0, 0xF3, cbor_parse_unimplemented},
    {0xF4, 0xF4, cbor_parse_false},
    {0xF5, 0xF5, cbor_parse_true},
    {0xF6, 0xF6, cbor_parse_null},
    {0xF7, 0xF7, cbor_parse_undefined},
    {0xF8, 0xF8, cbor_parse_unimplemented},
    {0xF9, 0xF9, cbor_parse_float16},
    {0xFA, 0xFA, cbor_parse_float32},
    {0xFB, 0xFB, cbor_parse_float64},
    {0xFC, 0xFE, cbor_parse_reserved},
    {0xFF, 0xFF, cbor_parse_break},
};

constexpr cbor_parse_fn decoder_for(unsigned byte) {
    for (const Range &range : kRanges)
        if (byte >= range.first && byte <= range.last) return range.decoder;
    return nullptr;
}

}  // namespace

extern "C" {

#define TAVREL_D1(b) decoder_for(b)
#define TAVREL_D4(b) TAVREL_D1(b), TAVREL_D1(b + 1), TAVREL_D1(b + 2), TAVREL_D1(b + 3)
#define TAVREL_D16(b) TAVREL_D4(b), TAVREL_D4(b + 4), TAVREL_D4(b + 8), TAVREL_D4(b + 12)
#define TAVREL_D64(b) TAVREL_D16(b), TAVREL_D16(b + 16), TAVREL_D16(b + 32), TAVREL_D16(b + 48)

CBOR_API cbor_parse_fn cbor_jump_table[256] = {TAVREL_D64(0x00), TAVREL_D64(0x40), TAVREL_D64(0x80), TAVREL_D64(0xC0)};

#undef TAVREL_D64
#undef TAVREL_D16
#undef TAVREL_D4
#undef TAVREL_D1

CBOR_API cbor_parser *cbor_parser_create(const void *data, size_t length) {
    cbor_parser *parser = static_cast<cbor_parser *>(std::calloc(1, sizeof(cbor_parser)));
    if (parser == nullptr) return nullptr;
    parser->buffer = static_cast<const uint8_t *>(data);
    parser->length = length;
    parser->cursor = parser->buffer;
    return parser;
}

CBOR_API void cbor_parser_free(cbor_parser *parser) { std::free(parser); }

CBOR_API int32_t cbor_parser_available_bytes(const cbor_parser *parser) {
    if (parser == nullptr) return 0;
    return static_cast<int32_t>(parser->buffer + parser->length - parser->cursor);
}

CBOR_API cbor_val *cbor_val_create(void) { return static_cast<cbor_val *>(std::calloc(1, sizeof(cbor_val))); }

CBOR_API void cbor_val_free(cbor_val *val) {
    if (val == nullptr) return;
    if (val->major_type == 2 || val->major_type == 3) std::free(val->value.payload);
    std::free(val);
}

CBOR_API cbor_val *cbor_next_val(cbor_parser *parser) {
    if (parser == nullptr || cbor_parser_available_bytes(parser) <= 0) return nullptr;
    const uint8_t byte = *parser->cursor;
    cbor_val *val = cbor_val_create();
    if (val == nullptr) return nullptr;
    val->initial_byte = byte;
    val->major_type = byte >> 5;
    if (cbor_jump_table[byte](parser, val) == -1) {
        cbor_val_free(val);
        return nullptr;
    }
    return val;
}

}  // extern "C"
