// Walks a buffer with cbor_next_val to its end and checks every step against
// the reference model.  Shared by the exhaustive sweep and the decoder fuzzer.
#ifndef TAVREL_FUZZ_WALK_CHECK_H
#define TAVREL_FUZZ_WALK_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cbor.h"
#include "cbor_reference.h"

namespace harness {

[[noreturn]] inline void fail(const char *what, const uint8_t *data, size_t size, size_t pos, const char *file,
                              int line) {
    std::fprintf(stdout, "CHECK FAILED at %s:%d: %s\n  input (%zu bytes):", file, line, what, size);
    for (size_t i = 0; i < size && i < 64; ++i) std::fprintf(stdout, " %02x", data[i]);
    std::fprintf(stdout, "%s\n  at offset %zu\n", size > 64 ? " ..." : "", pos);
    std::fflush(stdout);
    std::abort();
}

#define WALK_CHECK(cond, what) \
    do {                       \
        if (!(cond)) ::harness::fail(what, data, size, pos, __FILE__, __LINE__); \
    } while (0)

struct WalkResult {
    size_t items = 0;     // records returned
    size_t failures = 0;  // NULL results while bytes remained
    size_t lines = 0;     // diagnostic lines the codec had to print
    std::string expected_lines;
};

// Decodes data[0, size) item by item, continuing after failures, and checks:
// the remaining count never goes negative or up, every call (returning a
// record or failing) consumes at least one byte and exactly as much as the
// model says, each record's fields and payload copy, the indefinite flag,
// and that an exhausted parser yields NULL without moving.
inline WalkResult walk(const uint8_t *data, size_t size) {
    WalkResult r;
    size_t pos = 0;
    cbor_parser *parser = cbor_parser_create(data, size);
    WALK_CHECK(parser != nullptr, "cbor_parser_create returned NULL");
    WALK_CHECK(parser->buffer == data && parser->length == size && parser->cursor == data &&
                   parser->in_indefinite == 0,
               "new parser fields");
    int flag = 0;
    int32_t previous = static_cast<int32_t>(size);
    for (;;) {
        const int32_t available = cbor_parser_available_bytes(parser);
        WALK_CHECK(available >= 0, "remaining count went negative");
        WALK_CHECK(available <= previous, "remaining count grew");
        WALK_CHECK(static_cast<size_t>(available) == size - pos, "remaining count disagrees with the cursor");
        WALK_CHECK(parser->cursor == data + pos, "cursor out of place");
        if (available == 0) {
            WALK_CHECK(cbor_next_val(parser) == nullptr, "record from an exhausted parser");
            WALK_CHECK(parser->cursor == data + pos, "exhausted parser moved");
            break;
        }
        const ref::Item want = ref::decode(data + pos, size - pos);
        cbor_val *v = cbor_next_val(parser);
        WALK_CHECK(want.advance >= 1, "model consumed nothing");
        WALK_CHECK(parser->cursor == data + pos + want.advance, "consumed the wrong number of bytes");
        if (want.flag >= 0) flag = want.flag;
        if (!want.ok) {
            WALK_CHECK(v == nullptr, "record returned for an item that must fail");
            ++r.failures;
        } else {
            WALK_CHECK(v != nullptr, "NULL for a well-formed item");
            ++r.items;
            WALK_CHECK(v->initial_byte == want.ib, "initial_byte");
            WALK_CHECK(v->major_type == want.major, "major_type");
            WALK_CHECK(v->count == want.count, "count");
            if (want.string) {
                WALK_CHECK(v->count >= 0 && static_cast<uint64_t>(v->count) <= size - pos,
                           "string count beyond the input");
                WALK_CHECK(v->value.payload != nullptr, "definite string without payload");
                WALK_CHECK(std::memcmp(v->value.payload, want.payload, static_cast<size_t>(v->count)) == 0,
                           "payload differs from the input bytes");
                if (want.text) WALK_CHECK(v->value.payload[v->count] == 0, "text payload not terminated");
            } else {
                WALK_CHECK(v->value.uint_value == want.value, "value");
            }
            if (want.prints) {
                ++r.lines;
                char line[64];
                std::snprintf(line, sizeof line, "Unimplemented CBOR code: %02x\n", want.ib);
                r.expected_lines += line;
            }
        }
        WALK_CHECK(parser->in_indefinite == flag, "in_indefinite");
        cbor_val_free(v);
        pos += want.advance;
        previous = available;
    }
    cbor_parser_free(parser);
    return r;
}

}  // namespace harness

#endif  // TAVREL_FUZZ_WALK_CHECK_H
