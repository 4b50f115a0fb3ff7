// Output buffer and item writers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "encode_p.h"

using tavrel::append::GeneratorSink;

namespace {

// Whether source points into the generator's bytes, and where.  Compared as
// integers: ordering pointers into different blocks is not defined.
bool inside_buffer(const cbor_generator *generator, const void *source, size_t *offset) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(generator->buffer);
    const uintptr_t at = reinterpret_cast<uintptr_t>(source);
    if (generator->buffer == nullptr || at < start || at - start >= generator->length) return false;
    *offset = static_cast<size_t>(at - start);
    return true;
}

// A string item whose payload may lie in the generator's own bytes: the head
// is appended first and can move them, so such a payload is re-based after it.
int write_string_item(cbor_generator *generator, uint8_t major_type, const void *data, uint64_t length) {
    GeneratorSink sink{generator};
    size_t offset = 0;
    if (generator == nullptr || length == CBOR_INDEFINITE || length > SIZE_MAX ||
        !inside_buffer(generator, data, &offset))
        return tavrel::append::write_string(sink, major_type, data, length);
    if (tavrel::append::write_head(sink, major_type, length) < 0) return -1;
    return _cbor_generator_write_bytes(generator, generator->buffer + offset, static_cast<size_t>(length));
}

}  // namespace

extern "C" {

CBOR_API cbor_generator *cbor_generator_create(void) {
    return static_cast<cbor_generator *>(std::calloc(1, sizeof(cbor_generator)));
}

CBOR_API void cbor_generator_free(cbor_generator *generator) {
    if (generator == nullptr) return;
    std::free(generator->buffer);
    std::free(generator);
}

CBOR_API int _cbor_generator_write_bytes(cbor_generator *generator, const void *source, size_t count) {
    if (generator == nullptr) return -1;
    if (count == 0) return 0;
    if (count > SIZE_MAX - generator->length) return -1;
    // realloc may move the block, so a source inside it is kept as an offset.
    size_t offset = 0;
    const bool inside = inside_buffer(generator, source, &offset);
    // The block always holds exactly the bytes written: grow to the new length.
    void *grown = std::realloc(generator->buffer, generator->length + count);
    if (grown == nullptr) return -1;
    generator->buffer = static_cast<uint8_t *>(grown);
    if (inside) source = generator->buffer + offset;
    std::memmove(generator->buffer + generator->length, source, count);
    generator->length += count;
    return 0;
}

CBOR_API int _cbor_generator_write_byte(cbor_generator *generator, uint8_t byte) {
    return _cbor_generator_write_bytes(generator, &byte, 1);
}

// The head rules themselves live in write_sized, shared with the binding.
CBOR_API int _cbor_write_uint_sized(cbor_generator *generator, uint8_t initial_byte, uint64_t argument) {
    GeneratorSink sink{generator};
    return tavrel::append::write_sized(sink, initial_byte, argument);
}

CBOR_API int _cbor_write_uint_helper(cbor_generator *generator, uint8_t major_type, uint64_t argument) {
    GeneratorSink sink{generator};
    return tavrel::append::write_head(sink, major_type, argument);
}

CBOR_API int cbor_write_uint(cbor_generator *generator, uint64_t value) {
    return _cbor_write_uint_helper(generator, tavrel::kMajorUint, value);
}

CBOR_API int cbor_write_negint(cbor_generator *generator, int64_t value) {
    GeneratorSink sink{generator};
    return tavrel::append::write_negint(sink, value);
}

CBOR_API int cbor_write_byte_string(cbor_generator *generator, const void *data, uint64_t length) {
    return write_string_item(generator, tavrel::kMajorBytes, data, length);
}

CBOR_API int cbor_write_text_string(cbor_generator *generator, const char *data, uint64_t length) {
    return write_string_item(generator, tavrel::kMajorText, data, length);
}

CBOR_API int cbor_write_array(cbor_generator *generator, uint64_t count) {
    GeneratorSink sink{generator};
    return tavrel::append::write_container(sink, tavrel::kMajorArray, count);
}

CBOR_API int cbor_write_map(cbor_generator *generator, uint64_t count) {
    GeneratorSink sink{generator};
    return tavrel::append::write_container(sink, tavrel::kMajorMap, count);
}

CBOR_API int cbor_write_false(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF4); }
CBOR_API int cbor_write_true(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF5); }
CBOR_API int cbor_write_null(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF6); }
CBOR_API int cbor_write_undefined(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF7); }
CBOR_API int cbor_write_break(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xFF); }

}  // extern "C"
