// libFuzzer target: decodes the input item by item and writes every decoded
// item again with the codec's writers.  Each re-encoding must equal the
// reference encoding of the same item; where the input item was already in
// shortest form it must equal the bytes the decoder consumed, and a head
// rewritten with _cbor_write_uint_sized must reproduce the input head
// exactly, whatever its width.  Floats also go through the selecting writer,
// whose choice is checked against the reference selection.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cbor.h"
#include "cbor_reference.h"
#include "walk_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes take(cbor_generator *g) {
    Bytes out(g->buffer, g->buffer + g->length);
    cbor_generator_free(g);
    return out;
}

template <typename Write>
Bytes written(Write write, int expected_status = 0) {
    cbor_generator *g = cbor_generator_create();
    if (g == nullptr) std::abort();
    const int rc = write(g);
    if (rc != expected_status) {
        std::printf("writer returned %d, expected %d\n", rc, expected_status);
        std::abort();
    }
    return take(g);
}

FILE *sink = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (sink == nullptr) sink = std::fopen("/dev/null", "w");
    FILE *saved = stderr;
    stderr = sink;  // unimplemented codes print a line; the decoder fuzzer checks them
    cbor_parser *parser = cbor_parser_create(data, size);
    cbor_generator *stream = cbor_generator_create();  // every item again, appended in order
    Bytes expected_stream;
    bool all_shortest = true;
    size_t pos = 0;
    while (cbor_parser_available_bytes(parser) > 0) {
        const ref::Item want = ref::decode(data + pos, size - pos);
        cbor_val *v = cbor_next_val(parser);
        if (v == nullptr) {
            WALK_CHECK(!want.ok, "NULL for a well-formed item");
            all_shortest = false;
            break;
        }
        const size_t consumed = static_cast<size_t>(parser->cursor - (data + pos));
        WALK_CHECK(consumed == want.advance, "consumed the wrong number of bytes");
        const Bytes input(data + pos, data + pos + consumed);
        const uint8_t ib = v->initial_byte;
        const unsigned ai = ib & 0x1F;
        const int major = v->major_type;

        Bytes again, reference;
        bool comparable = true;   // the item has a writer that reproduces it
        bool shortest = false;    // the input item is itself the reference form
        bool head_item = (major <= 5 || (major == 6 && ai >= 24)) && ai < 28;
        if (head_item) {
            const uint64_t argument = major == 0   ? v->value.uint_value
                                      : major == 1 ? ~static_cast<uint64_t>(v->value.negint_value)
                                      : major == 6 ? v->value.uint_value
                                                   : static_cast<uint64_t>(v->count);
            WALK_CHECK(argument == want.argument, "decoded argument");
            switch (major) {
                case 0: again = written([&](cbor_generator *g) { return cbor_write_uint(g, v->value.uint_value); }); break;
                case 1: again = written([&](cbor_generator *g) { return cbor_write_negint(g, v->value.negint_value); }); break;
                case 2:
                    again = written([&](cbor_generator *g) {
                        return cbor_write_byte_string(g, v->value.payload, static_cast<uint64_t>(v->count));
                    });
                    break;
                case 3:
                    again = written([&](cbor_generator *g) {
                        return cbor_write_text_string(g, reinterpret_cast<const char *>(v->value.payload),
                                                      static_cast<uint64_t>(v->count));
                    });
                    break;
                case 4: again = written([&](cbor_generator *g) { return cbor_write_array(g, argument); }); break;
                case 5: again = written([&](cbor_generator *g) { return cbor_write_map(g, argument); }); break;
                case 6: again = written([&](cbor_generator *g) { return _cbor_write_uint_helper(g, 6, argument); }); break;
            }
            if ((major == 4 || major == 5) && argument == CBOR_INDEFINITE) {
                // The all-ones count cannot be written as a definite head.
                reference = {static_cast<uint8_t>(major << 5 | 31)};
            } else {
                ref::head(reference, major, argument);
                if (major == 2 || major == 3) reference.insert(reference.end(), want.payload, want.payload + argument);
            }
            // The head exactly as it came, through the sized head writer.
            Bytes exact = written([&](cbor_generator *g) { return _cbor_write_uint_sized(g, ib, argument); });
            if (major == 2 || major == 3) exact.insert(exact.end(), want.payload, want.payload + argument);
            WALK_CHECK(exact == input, "_cbor_write_uint_sized did not reproduce the head");
            shortest = reference == input;
        } else if (ai == 31 && major >= 2 && major <= 5) {
            switch (major) {
                case 2: again = written([](cbor_generator *g) { return cbor_write_byte_string(g, "", CBOR_INDEFINITE); }); break;
                case 3: again = written([](cbor_generator *g) { return cbor_write_text_string(g, nullptr, CBOR_INDEFINITE); }); break;
                case 4: again = written([](cbor_generator *g) { return cbor_write_array(g, CBOR_INDEFINITE); }); break;
                case 5: again = written([](cbor_generator *g) { return cbor_write_map(g, CBOR_INDEFINITE); }); break;
            }
            reference = input;
            shortest = true;
        } else if (major == 7 && ((ai >= 20 && ai <= 23) || ai == 31)) {
            switch (ai) {
                case 20: again = written(cbor_write_false); break;
                case 21: again = written(cbor_write_true); break;
                case 22: again = written(cbor_write_null); break;
                case 23: again = written(cbor_write_undefined); break;
                case 31: again = written(cbor_write_break); break;
            }
            reference = input;
            shortest = true;
        } else if (major == 7 && ai >= 25 && ai <= 27) {
            const double x = v->value.float_value;
            WALK_CHECK(ref::bits_of(x) == want.value, "decoded float");
            const bool special = std::isnan(x) || std::isinf(x);
            again = written([&](cbor_generator *g) { return cbor_write_float(g, x); }, special ? 0 : 1);
            reference = ref::shortest_float(x);
            shortest = reference == input;
            // The fixed widths give back their own input (NaN payloads aside for single).
            if (ai == 27) {
                const Bytes fixed = written([&](cbor_generator *g) { return cbor_write_float64(g, x); }, 1);
                WALK_CHECK(fixed == input, "cbor_write_float64 did not reproduce a double");
            } else if (ai == 26 && !std::isnan(x)) {
                const Bytes fixed = written([&](cbor_generator *g) { return cbor_write_float32(g, x); }, 1);
                WALK_CHECK(fixed == input, "cbor_write_float32 did not reproduce a single");
            }
        } else {
            comparable = false;  // tags in the initial byte, unimplemented and reserved codes
        }

        if (comparable) {
            WALK_CHECK(again == reference, "re-encoding differs from the reference encoding");
            if (shortest) WALK_CHECK(again == input, "shortest-form item not reproduced");
            all_shortest = all_shortest && shortest;
            if (_cbor_generator_write_bytes(stream, again.data(), again.size()) != 0) std::abort();
            expected_stream.insert(expected_stream.end(), reference.begin(), reference.end());
        } else {
            all_shortest = false;
        }
        cbor_val_free(v);
        pos += consumed;
    }
    const Bytes whole(stream->buffer, stream->buffer + stream->length);
    WALK_CHECK(whole == expected_stream, "stream of re-encoded items");
    if (all_shortest) WALK_CHECK(whole == Bytes(data, data + size), "shortest-form input not reproduced");
    cbor_generator_free(stream);
    cbor_parser_free(parser);
    stderr = saved;
    return 0;
}
