// Output buffer and item writers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cbor_p.h"

namespace {

// Argument widths in bits for additional information 24, 25, 26 and 27.
constexpr unsigned kArgumentBits[4] = {8, 16, 32, 64};

constexpr uint8_t kMajorUint = 0;
constexpr uint8_t kMajorNegint = 1;
constexpr uint8_t kMajorBytes = 2;
constexpr uint8_t kMajorText = 3;
constexpr uint8_t kMajorArray = 4;
constexpr uint8_t kMajorMap = 5;

int write_string(cbor_generator *generator, uint8_t major_type, const void *data, uint64_t length) {
    if (length == CBOR_INDEFINITE)
        return _cbor_generator_write_byte(generator, static_cast<uint8_t>(major_type << 5 | 31));
    // A payload that cannot be addressed cannot be copied: refuse before the head.
    if (generator == nullptr || length > SIZE_MAX) return -1;
    if (_cbor_write_uint_helper(generator, major_type, length) < 0) return -1;
    return _cbor_generator_write_bytes(generator, data, static_cast<size_t>(length));
}

int write_container(cbor_generator *generator, uint8_t major_type, uint64_t count) {
    if (count == CBOR_INDEFINITE)
        return _cbor_generator_write_byte(generator, static_cast<uint8_t>(major_type << 5 | 31));
    return _cbor_write_uint_helper(generator, major_type, count);
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
    // The block always holds exactly the bytes written: grow to the new length.
    void *grown = std::realloc(generator->buffer, generator->length + count);
    if (grown == nullptr) return -1;
    generator->buffer = static_cast<uint8_t *>(grown);
    std::memcpy(generator->buffer + generator->length, source, count);
    generator->length += count;
    return 0;
}

CBOR_API int _cbor_generator_write_byte(cbor_generator *generator, uint8_t byte) {
    return _cbor_generator_write_bytes(generator, &byte, 1);
}

// Every head goes through here.  The initial byte is the major type in bits
// 7-5 and the additional information in bits 4-0: 0-23 is the argument
// itself, 24-27 announce 1, 2, 4 or 8 big-endian argument bytes, 31 marks an
// indefinite length (the break, in major type 7).
CBOR_API int _cbor_write_uint_sized(cbor_generator *generator, uint8_t initial_byte, uint64_t argument) {
    const unsigned info = initial_byte & 0x1F;
    if (info < 24 || info > 27)
        return _cbor_generator_write_byte(generator, static_cast<uint8_t>(initial_byte | argument));
    if (_cbor_generator_write_byte(generator, initial_byte) < 0) return -1;
    const unsigned width = kArgumentBits[info - 24];
    for (int shift = static_cast<int>(width) - 8; shift >= 0; shift -= 8) {
        if (_cbor_generator_write_byte(generator, static_cast<uint8_t>(argument >> shift)) < 0) return -1;
    }
    return 0;
}

CBOR_API int _cbor_write_uint_helper(cbor_generator *generator, uint8_t major_type, uint64_t argument) {
    const uint8_t initial = static_cast<uint8_t>(major_type << 5);
    uint8_t info;
    if (argument <= 23)
        return _cbor_write_uint_sized(generator, initial, argument);
    else if (argument <= 0xFF)
        info = 24;
    else if (argument <= 0xFFFF)
        info = 25;
    else if (argument <= 0xFFFFFFFFull)
        info = 26;
    else
        info = 27;
    return _cbor_write_uint_sized(generator, static_cast<uint8_t>(initial | info), argument);
}

CBOR_API int cbor_write_uint(cbor_generator *generator, uint64_t value) {
    return _cbor_write_uint_helper(generator, kMajorUint, value);
}

CBOR_API int cbor_write_negint(cbor_generator *generator, int64_t value) {
    // Major type 1 carries n for the number -1 - n, which is ~value.
    return _cbor_write_uint_helper(generator, kMajorNegint, ~static_cast<uint64_t>(value));
}

CBOR_API int cbor_write_byte_string(cbor_generator *generator, const void *data, uint64_t length) {
    return write_string(generator, kMajorBytes, data, length);
}

CBOR_API int cbor_write_text_string(cbor_generator *generator, const char *data, uint64_t length) {
    return write_string(generator, kMajorText, data, length);
}

CBOR_API int cbor_write_array(cbor_generator *generator, uint64_t count) {
    return write_container(generator, kMajorArray, count);
}

CBOR_API int cbor_write_map(cbor_generator *generator, uint64_t count) {
    return write_container(generator, kMajorMap, count);
}

CBOR_API int cbor_write_false(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF4); }
CBOR_API int cbor_write_true(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF5); }
CBOR_API int cbor_write_null(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF6); }
CBOR_API int cbor_write_undefined(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xF7); }
CBOR_API int cbor_write_break(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xFF); }

}  // extern "C"
