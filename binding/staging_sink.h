// A sink with spare room in front of the generator: heads are assembled in
// place and payloads copied with one memcpy; the generator receives the same
// bytes in large chunks.
#ifndef TAVREL_STAGING_SINK_H
#define TAVREL_STAGING_SINK_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cbor.h"

namespace tavrel {

class StagingSink {
public:
    explicit StagingSink(cbor_generator *generator)
        : generator_(generator), start_(static_cast<uint8_t *>(std::malloc(kCapacity))) {
        if (start_ == nullptr) throw std::bad_alloc();
        pos_ = start_;
    }
    ~StagingSink() { std::free(start_); }
    StagingSink(const StagingSink &) = delete;
    StagingSink &operator=(const StagingSink &) = delete;

    int put(uint8_t byte) {
        if (pos_ == start_ + kCapacity && flush() < 0) return -1;
        *pos_++ = byte;
        return 0;
    }

    int put_head(const uint8_t *head, size_t n) { return put_bytes(head, n); }

    int put_bytes(const void *data, size_t n) {
        if (n > room()) {
            if (flush() < 0) return -1;
            // Large payloads go straight through rather than in pieces.
            if (n > kCapacity / 2) return _cbor_generator_write_bytes(generator_, data, n);
        }
        if (n != 0) std::memcpy(pos_, data, n);
        pos_ += n;
        return 0;
    }

    // Hands everything staged to the generator.
    int flush() {
        const size_t staged = static_cast<size_t>(pos_ - start_);
        if (staged != 0 && _cbor_generator_write_bytes(generator_, start_, staged) < 0) return -1;
        pos_ = start_;
        return 0;
    }

private:
    static constexpr size_t kCapacity = 32 * 1024;

    size_t room() const { return static_cast<size_t>(start_ + kCapacity - pos_); }

    cbor_generator *generator_;
    uint8_t *start_;
    uint8_t *pos_;
};

}  // namespace tavrel

#endif  // TAVREL_STAGING_SINK_H
