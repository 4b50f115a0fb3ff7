// The codec's C++ decoding interface: a strict reader of one CBOR data item,
// the reading half of cbor_encoding.hpp, for decoders that build their own
// values.
//
// decode() walks the item with a stack of its own (no native recursion per
// level) and hands every complete value to a builder, bottom-up:
//
//     struct Builder {
//         bool uint(uint64_t n);                      // major type 0
//         bool negint(uint64_t n);                    // major type 1: -1 - n
//         bool bytes(const uint8_t *p, size_t n);     // chunks already joined
//         int known_key(const uint8_t *p, size_t n);  // a map key's bytes, unchecked
//         bool text(const uint8_t *p, size_t n, const TextForm &form, bool key);  // valid UTF-8
//         bool float_bits(uint64_t bits);             // half/single widened exactly
//         bool simple(uint8_t value);                 // 0-19, 20-23, 32-255
//         bool array(size_t count);                   // the last count values
//         bool map(size_t pairs, const uint8_t *data, size_t offset);  // the last 2 * pairs values
//         bool tag(uint64_t number, size_t offset);   // the last value
//         bool key(uint8_t initial, size_t offset);   // the last value is a container or tag key
//     };
//
// Each returns false to stop the walk (the builder keeps its own reason).
// `key` says the text is read at a map key's place (a builder may cache
// those); key() follows every complete map key that is an array, a map or a
// tag, the keys a builder may refuse.  map() gets the input and its head's
// offset, from which key_offset() finds a key to name.  known_key() is offered a
// definite text map key before its UTF-8 is checked: a builder that holds
// those very bytes from an earlier text() (so they are valid) makes the
// value and returns 1, or returns 0 to have it checked and handed to
// text(), or -1 to stop.  Nothing is allocated from a
// length or count the remaining input cannot back: a definite string needs
// its bytes present, a definite array or map at least a byte per item, and
// the stack grows one frame per level that is actually present.
//
// This file knows nothing of Python, so that a fuzzer can drive it alone.
#ifndef TAVREL_CBOR_DECODING_HPP
#define TAVREL_CBOR_DECODING_HPP

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The major types' names and TAVREL_HOT_INLINE, shared with the writing half.
#include "cbor_encoding.hpp"

namespace tavrel {
namespace decoding {

// What was wrong, at Result::offset.  The builder's own refusals are kBuilder.
enum class Fault : uint8_t {
    kNone,
    kTruncated,        // an item or head is cut short
    kTruncatedString,  // a string's bytes are missing: size, missing
    kTruncatedCount,   // a definite array or map claims more items than bytes remain: kind, count
    kInitialByte,      // reserved additional information 28-30, or 31 where no indefinite length exists
    kBreak,            // a break outside an indefinite-length array, map or string
    kMapBreak,         // a break after a key, before its value
    kChunk,            // a chunk of an indefinite string that is not a definite string of its type
    kUtf8,             // a text string (or chunk) that is not strict UTF-8
    kSimple,           // a two-byte simple value below 32
    kDepth,            // an item nested deeper than max_depth
    kTrailing,         // bytes after the data item
    kBuilder,          // the builder stopped the walk
};

struct Result {
    Fault fault = Fault::kNone;
    size_t offset = 0;
    // kTruncatedString: the string's major type, size and bytes missing.
    // kTruncatedCount: the major type (4 or 5) and the count.
    // kInitialByte: the initial byte; kChunk: the string's major type and the chunk's initial byte.
    uint8_t major = 0;
    uint64_t first = 0;
    uint64_t second = 0;
};

// ---- Scalars ---------------------------------------------------------------

// The argument bytes of a head, big-endian, width 1, 2, 4 or 8; spelled out
// per width, so that each becomes one load and a byte swap.
inline uint64_t load_be(const uint8_t *p, unsigned width) {
    switch (width) {
        case 1: return p[0];
        case 2: return static_cast<uint64_t>(p[0]) << 8 | p[1];
        case 4:
            return static_cast<uint64_t>(p[0]) << 24 | static_cast<uint64_t>(p[1]) << 16 |
                   static_cast<uint64_t>(p[2]) << 8 | p[3];
        default:
            return static_cast<uint64_t>(p[0]) << 56 | static_cast<uint64_t>(p[1]) << 48 |
                   static_cast<uint64_t>(p[2]) << 40 | static_cast<uint64_t>(p[3]) << 32 |
                   static_cast<uint64_t>(p[4]) << 24 | static_cast<uint64_t>(p[5]) << 16 |
                   static_cast<uint64_t>(p[6]) << 8 | p[7];
    }
}

// A half's bits as the double of the same value (RFC 8949 Appendix D),
// built from the bits alone, so a NaN keeps its payload and quiet bit.
inline uint64_t half_to_double_bits(uint16_t half) {
    const uint64_t sign = static_cast<uint64_t>(half >> 15) << 63;
    const unsigned exponent = (half >> 10) & 0x1F;
    uint64_t mantissa = half & 0x3FF;
    if (exponent == 0x1F) return sign | 0x7FF0000000000000ull | mantissa << 42;
    if (exponent != 0) return sign | static_cast<uint64_t>(exponent - 15 + 1023) << 52 | mantissa << 42;
    if (mantissa == 0) return sign;
    // Subnormal: mantissa * 2^-24, normalised.
    int power = -14;
    while ((mantissa & 0x400) == 0) {
        mantissa <<= 1;
        --power;
    }
    return sign | static_cast<uint64_t>(power + 1023) << 52 | (mantissa & 0x3FF) << 42;
}

inline uint64_t single_to_double_bits(uint32_t single) {
    const uint64_t sign = static_cast<uint64_t>(single >> 31) << 63;
    const unsigned exponent = (single >> 23) & 0xFF;
    uint64_t mantissa = single & 0x7FFFFF;
    if (exponent == 0xFF) return sign | 0x7FF0000000000000ull | mantissa << 29;
    if (exponent != 0) return sign | static_cast<uint64_t>(exponent - 127 + 1023) << 52 | mantissa << 29;
    if (mantissa == 0) return sign;
    int power = -126;
    while ((mantissa & 0x800000) == 0) {
        mantissa <<= 1;
        --power;
    }
    return sign | static_cast<uint64_t>(power + 1023) << 52 | (mantissa & 0x7FFFFF) << 29;
}

// Whether the last n < 8 bytes of a string are ASCII, read as two words
// that overlap rather than byte by byte: most texts are short.
inline bool ascii_tail(const uint8_t *s, size_t n) {
    if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, s, sizeof head);
        std::memcpy(&tail, s + n - 4, sizeof tail);
        return ((head | tail) & 0x80808080u) == 0;
    }
    if (n == 0) return true;
    // 1 to 3 bytes: the first, the middle and the last cover them all.
    return ((s[0] | s[n / 2] | s[n - 1]) & 0x80) == 0;
}

// The index of the first byte of 0x80 or more in s[i, n), looked for a
// block of 16 at a time; or, if there is none in the whole blocks, where
// the blocks end (the caller goes on byte by byte from there).
inline size_t skip_ascii(const uint8_t *s, size_t i, size_t n) {
#if defined(__SSE2__) && defined(__GNUC__)
    for (; i + 16 <= n; i += 16) {
        const unsigned high =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i))));
        if (high != 0) return i + static_cast<size_t>(__builtin_ctz(high));
    }
#else
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, sizeof word);
        if ((word & 0x8080808080808080ull) != 0) {
            while (s[i] < 0x80) ++i;
            return i;
        }
    }
#endif
    return i;
}

// What a valid text holds, found while checking it, so that a builder can
// make the string at its final size and width with no pass of its own: its
// characters (code points) and the greatest byte that leads a longer
// sequence (0: ASCII; C2-C3: all below U+0100; up to EF: below U+10000;
// F0-F4: beyond).
struct TextForm {
    size_t chars;
    uint8_t widest;
    bool ascii() const { return widest == 0; }
};

// The rest of valid_utf8 from s[i], a byte of 0x80 or more: out of line, so
// that the decoding loop, which inlines the ASCII check, stays small.
template <bool Long>
TAVREL_OUT_OF_LINE bool valid_utf8_from(const uint8_t *s, size_t n, size_t i, TextForm &form) {
    // Each sequence of k bytes is one character: k - 1 bytes are not.
    size_t continuations = 0;
    uint8_t widest = 0;
    while (i < n) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            // A run of two or more is skipped by blocks; a lone space
            // between words is not worth a block's test.
            ++i;
            if (Long && i < n && s[i] < 0x80) i = skip_ascii(s, i, n);
            continue;
        }
        const size_t left = n - i;
        if (c < 0xC2) return false;  // a continuation byte, or an overlong two-byte form
        if (c > widest) widest = c;
        if (c < 0xE0) {
            if (left < 2 || (s[i + 1] & 0xC0) != 0x80) return false;
            i += 2;
            continuations += 1;
        } else if (c < 0xF0) {
            if (left < 3 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80) return false;
            if (c == 0xE0 && s[i + 1] < 0xA0) return false;   // overlong
            if (c == 0xED && s[i + 1] >= 0xA0) return false;  // U+D800-U+DFFF
            i += 3;
            continuations += 2;
        } else if (c < 0xF5) {
            if (left < 4 || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80 || (s[i + 3] & 0xC0) != 0x80)
                return false;
            if (c == 0xF0 && s[i + 1] < 0x90) return false;   // overlong
            if (c == 0xF4 && s[i + 1] >= 0x90) return false;  // past U+10FFFF
            i += 4;
            continuations += 3;
        } else {
            return false;
        }
    }
    form = TextForm{n - continuations, widest};
    return true;
}

// Texts from this length on skip runs of ASCII by blocks; in shorter ones
// the runs are too short to gain from it.
constexpr size_t kLongText = 256;

// How many of the first n >= 64 bytes of s are known ASCII: whole blocks of
// 64, tested once a block.  Out of line: only long texts come here.
TAVREL_OUT_OF_LINE inline size_t ascii_blocks(const uint8_t *s, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 64 <= n; i += 64) {
        const auto *p = reinterpret_cast<const __m128i *>(s + i);
        const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                                         _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3)));
        if (_mm_movemask_epi8(any) != 0) break;
    }
#else
    for (; i + 64 <= n; i += 64) {
        uint64_t any = 0;
        for (size_t k = 0; k < 64; k += 8) {
            uint64_t word;
            std::memcpy(&word, s + i + k, sizeof word);
            any |= word;
        }
        if ((any & 0x8080808080808080ull) != 0) break;
    }
#endif
    return i;
}

// valid_utf8 for a long text from s[i] on, s[0, i) being ASCII: by blocks
// where the processor has byte shuffles, else valid_utf8_from.
bool valid_long_utf8(const uint8_t *s, size_t n, size_t i, TextForm &form);

// Strict UTF-8 (RFC 3629): no overlong forms, no encoded surrogates, nothing
// past U+10FFFF.  `form` is set for a valid text.
inline bool valid_utf8(const uint8_t *s, size_t n, TextForm &form) {
    size_t i = n >= kLongText ? ascii_blocks(s, n) : 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, sizeof word);
        if ((word & 0x8080808080808080ull) != 0) break;
    }
    if (i + 8 > n && ascii_tail(s + i, n - i)) {
        form = TextForm{n, 0};
        return true;
    }
    while (i < n && s[i] < 0x80) ++i;
    return n >= kLongText ? valid_long_utf8(s, n, i, form) : valid_utf8_from<false>(s, n, i, form);
}

// The argument of a head with additional information 24-27 (info), read
// from the 1, 2, 4 or 8 bytes at p, p moved past them; false when they are
// cut short.  Every head of the walk and of lone_scalar is read here.
TAVREL_HOT_INLINE bool read_argument(const uint8_t *&p, const uint8_t *end, uint8_t info, uint64_t &argument) {
    const unsigned width = 1u << (info - 24);
    if (static_cast<size_t>(end - p) < width) return false;
    argument = load_be(p, width);
    p += width;
    return true;
}

// Whether data[0, size) is one head of an integer (major type 0 or 1) or of
// false, true or null, and nothing more; its initial byte and argument then.
// A caller may make such a value without setting up the walk; anything else,
// malformed input included, is decode()'s.
inline bool lone_scalar(const uint8_t *data, size_t size, uint8_t &initial, uint64_t &argument) {
    if (size == 0) return false;
    initial = data[0];
    const uint8_t info = initial & 0x1F;
    argument = info;
    if (initial >= 0x40) return size == 1 && initial >= 0xF4 && initial <= 0xF6;
    if (info < 24) return size == 1;
    const uint8_t *p = data + 1;
    const uint8_t *const end = data + size;
    return info <= 27 && read_argument(p, end, info, argument) && p == end;
}

// The offset of the index-th key of the map whose head is at data[offset],
// read again from bytes the walk has already read whole (so unchecked): the
// walk keeps no offset per key for the rare error that names one.
inline size_t key_offset(const uint8_t *data, size_t offset, size_t index) {
    const uint8_t *p = data + offset;
    const uint8_t map_info = *p++ & 0x1F;
    if (map_info >= 24 && map_info <= 27) p += size_t{1} << (map_info - 24);
    // Items still to pass at the current level.  An indefinite level starts
    // at kOpen and ends at its break; the levels around it wait in outer.
    constexpr uint64_t kOpen = uint64_t{1} << 63;
    std::vector<uint64_t> outer;
    uint64_t pending = 2 * static_cast<uint64_t>(index);
    while (pending != 0 || !outer.empty()) {
        const uint8_t initial = *p++;
        if (initial == 0xFF) {
            pending = outer.back();
            outer.pop_back();
            continue;
        }
        const uint8_t major = initial >> 5;
        const uint8_t info = initial & 0x1F;
        uint64_t argument = info;
        if (info >= 24 && info <= 27) {
            const unsigned width = 1u << (info - 24);
            argument = load_be(p, width);
            p += width;
        }
        --pending;
        if (info == 31 && major >= 2 && major <= 5) {
            outer.push_back(pending);
            pending = kOpen;
        } else if (major == 2 || major == 3) {
            p += argument;
        } else if (major == 4 || major == 6) {
            pending += major == 4 ? argument : 1;
        } else if (major == 5) {
            pending += 2 * argument;
        }
    }
    return static_cast<size_t>(p - data);
}

// ---- The walk --------------------------------------------------------------

// A stack of plain values whose first N live inside it: a small document
// costs no allocation at all, a deep one grows by doubling.  Throws
// std::bad_alloc when it cannot grow.
template <class T, size_t N>
class SmallStack {
    static_assert(std::is_trivially_copyable<T>::value, "moved with memcpy");

public:
    SmallStack() = default;
    SmallStack(const SmallStack &) = delete;
    SmallStack &operator=(const SmallStack &) = delete;
    ~SmallStack() {
        if (data_ != inline_) std::free(data_);
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T *data() { return data_; }
    T &back() { return data_[size_ - 1]; }
    T &operator[](size_t i) { return data_[i]; }
    void clear() { size_ = 0; }
    void pop_back() { --size_; }
    // Only ever shrinks.
    void resize(size_t size) { size_ = size; }
    TAVREL_HOT_INLINE void push_back(const T &value) {
        if (size_ == capacity_) grow();
        data_[size_++] = value;
    }

private:
    void grow() {
        const size_t capacity = capacity_ * 2;
        if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        T *grown = static_cast<T *>(std::malloc(capacity * sizeof(T)));
        if (grown == nullptr) throw std::bad_alloc();
        std::memcpy(static_cast<void *>(grown), data_, size_ * sizeof(T));
        if (data_ != inline_) std::free(data_);
        data_ = grown;
        capacity_ = capacity;
    }

    T inline_[N];
    T *data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

// What an open frame is waiting for; kRoot is the frame below the item itself.
enum class Awaits : uint8_t { kRoot, kItem, kKey, kValue, kTagged };

// An open array, map or tag.
struct Frame {
    uint64_t count;  // definite: array items or map pairs; tag: its number
    uint64_t done;   // array items or map pairs complete so far
    size_t offset;   // of the head
    Awaits awaits;
    bool indefinite;
};

// The walk's own memory: the open frames and the joined chunks of an
// indefinite string, made at the first one (most inputs have none).
struct Scratch {
    SmallStack<Frame, 32> frames;
    std::unique_ptr<std::vector<uint8_t>> chunks;
};

namespace detail {

inline Result fail(Fault fault, size_t offset, uint8_t major = 0, uint64_t first = 0, uint64_t second = 0) {
    Result r;
    r.fault = fault;
    r.offset = offset;
    r.major = major;
    r.first = first;
    r.second = second;
    return r;
}

}  // namespace detail

// Decodes exactly one data item from data[0, size) into the builder.  An
// item nested inside more than max_depth arrays, maps and tags is refused
// (max_depth 0: no limit), as dumps counts its own limit.  std::bad_alloc
// from the scratch vectors is the only exception of its own.
template <class Builder>
Result decode(const uint8_t *data, size_t size, size_t max_depth, Builder &builder, Scratch &scratch) {
    using detail::fail;
    const uint8_t *p = data;
    const uint8_t *const end = data + size;
    const size_t limit = max_depth != 0 ? max_depth : SIZE_MAX;
    // The innermost open frame lives in locals, so the items of one container
    // read and count it without touching memory; the stack holds the frames
    // around it, the root's first, and is only used to open and close one.
    SmallStack<Frame, 32> &frames = scratch.frames;
    frames.clear();
    Frame top{0, 0, 0, Awaits::kRoot, false};
    size_t depth = 0;
    // An item nested too deep is refused when its frame opens: its first
    // byte is there and is no break, which is what the item reads first.
    const auto open = [&](const Frame &frame) {
        frames.push_back(top);
        top = frame;
        return ++depth <= limit || p == end || *p == 0xFF;
    };
    const auto close = [&]() {
        top = frames.back();
        frames.pop_back();
        --depth;
    };

    for (;;) {
        size_t offset = static_cast<size_t>(p - data);
        if (p == end) return fail(Fault::kTruncated, depth != 0 ? top.offset : offset);
        const uint8_t initial = *p;
        if (top.awaits == Awaits::kKey && static_cast<uint8_t>(initial - 0x60) < 24) {
            // A short text key, as records have: one the builder knows is
            // taken whole here, with no second look at its head or frame.
            const size_t length = initial - 0x60u;
            if (length < static_cast<size_t>(end - p) - 1) {
                const int known = builder.known_key(p + 1, length);
                if (known < 0) return fail(Fault::kBuilder, offset);
                if (known > 0) {
                    p += 1 + length;
                    top.awaits = Awaits::kValue;
                    continue;
                }
            }
        }
        const uint8_t major = initial >> 5;
        const uint8_t info = initial & 0x1F;
        uint64_t argument = info;
        ++p;
        if (info >= 24) {
            if (info <= 27) {
                if (!read_argument(p, end, info, argument)) return fail(Fault::kTruncated, offset);
            } else if (info != 31) {
                return fail(Fault::kInitialByte, offset, 0, initial);
            }
        }
        const size_t left = static_cast<size_t>(end - p);
        uint8_t item_initial = initial;
        bool ok = true;
        switch (major) {
            case 0:
                if (info == 31) return fail(Fault::kInitialByte, offset, 0, initial);
                ok = builder.uint(argument);
                break;
            case 1:
                if (info == 31) return fail(Fault::kInitialByte, offset, 0, initial);
                ok = builder.negint(argument);
                break;
            case 2:
            case 3: {
                const uint8_t *chars = p;
                size_t length;
                if (info != 31) {
                    if (argument > left) return fail(Fault::kTruncatedString, offset, major, argument, argument - left);
                    length = static_cast<size_t>(argument);
                    p += length;
                } else {
                    // Chunks: definite strings of the same major type, up to a break.
                    if (!scratch.chunks) scratch.chunks = std::make_unique<std::vector<uint8_t>>();
                    std::vector<uint8_t> &joined = *scratch.chunks;
                    joined.clear();
                    for (;;) {
                        const size_t chunk_offset = static_cast<size_t>(p - data);
                        if (p == end) return fail(Fault::kTruncated, offset);
                        const uint8_t head = *p++;
                        if (head == 0xFF) break;
                        const uint8_t chunk_info = head & 0x1F;
                        if ((head >> 5) != major || chunk_info > 27)
                            return fail(Fault::kChunk, chunk_offset, major, head);
                        uint64_t chunk_size = chunk_info;
                        if (chunk_info >= 24 && !read_argument(p, end, chunk_info, chunk_size))
                            return fail(Fault::kTruncated, chunk_offset);
                        const size_t chunk_left = static_cast<size_t>(end - p);
                        if (chunk_size > chunk_left)
                            return fail(Fault::kTruncatedString, chunk_offset, major, chunk_size,
                                        chunk_size - chunk_left);
                        TextForm chunk_form;
                        if (major == 3 && !valid_utf8(p, static_cast<size_t>(chunk_size), chunk_form))
                            return fail(Fault::kUtf8, chunk_offset);
                        joined.insert(joined.end(), p, p + chunk_size);
                        p += chunk_size;
                    }
                    chars = joined.data();
                    length = joined.size();
                }
                if (major == 2) {
                    ok = builder.bytes(chars, length);
                } else {
                    TextForm form;
                    const bool at_key = top.awaits == Awaits::kKey;
                    if (at_key && info != 31) {
                        // Records repeat their keys: one seen before needs no second check.
                        const int known = builder.known_key(chars, length);
                        if (known != 0) {
                            ok = known > 0;
                            break;
                        }
                    }
                    // Chunks were checked one by one, and valid chunks join to valid text.
                    if (!valid_utf8(chars, length, form) && info != 31) return fail(Fault::kUtf8, offset);
                    ok = builder.text(chars, length, form, at_key);
                }
                break;
            }
            case 4:
            case 5:
                if (info != 31) {
                    // Every item takes at least one byte, a pair two.
                    if (argument > (major == 5 ? left / 2 : left))
                        return fail(Fault::kTruncatedCount, offset, major, argument, left);
                    if (argument == 0) {
                        ok = major == 4 ? builder.array(0) : builder.map(0, data, offset);
                        break;
                    }
                    if (!open(Frame{argument, 0, offset, major == 4 ? Awaits::kItem : Awaits::kKey, false}))
                        return fail(Fault::kDepth, static_cast<size_t>(p - data));
                } else if (!open(Frame{0, 0, offset, major == 4 ? Awaits::kItem : Awaits::kKey, true})) {
                    return fail(Fault::kDepth, static_cast<size_t>(p - data));
                }
                continue;
            case 6:
                if (info == 31) return fail(Fault::kInitialByte, offset, 0, initial);
                if (!open(Frame{argument, 0, offset, Awaits::kTagged, false}))
                    return fail(Fault::kDepth, static_cast<size_t>(p - data));
                continue;
            default:
                if (info < 24) {
                    ok = builder.simple(info);
                } else if (info == 24) {
                    if (argument < 32) return fail(Fault::kSimple, offset);
                    ok = builder.simple(static_cast<uint8_t>(argument));
                } else if (info == 25) {
                    ok = builder.float_bits(half_to_double_bits(static_cast<uint16_t>(argument)));
                } else if (info == 26) {
                    ok = builder.float_bits(single_to_double_bits(static_cast<uint32_t>(argument)));
                } else if (info == 27) {
                    ok = builder.float_bits(argument);
                } else {
                    // The break closes the innermost indefinite array or map.
                    if (!top.indefinite) return fail(Fault::kBreak, offset);
                    if (top.awaits == Awaits::kValue) return fail(Fault::kMapBreak, offset);
                    offset = top.offset;
                    if (top.awaits == Awaits::kItem) {
                        ok = builder.array(static_cast<size_t>(top.done));
                        item_initial = 0x80;
                    } else {
                        ok = builder.map(static_cast<size_t>(top.done), data, offset);
                        item_initial = 0xA0;
                    }
                    close();
                }
                break;
        }
        if (!ok) return fail(Fault::kBuilder, offset);

        // One item is complete: count it in its frame, and close every
        // definite frame it completes.
        for (;;) {
            switch (top.awaits) {
                case Awaits::kRoot:
                    if (p != end) return fail(Fault::kTrailing, static_cast<size_t>(p - data));
                    return Result{};
                case Awaits::kKey:
                    // Scalar keys always pass; only a container or tag may be refused.
                    if (item_initial >= 0x80 && item_initial < 0xE0 && !builder.key(item_initial, offset))
                        return fail(Fault::kBuilder, offset);
                    top.awaits = Awaits::kValue;
                    break;
                case Awaits::kValue:
                    top.awaits = Awaits::kKey;
                    if (++top.done != top.count || top.indefinite) break;
                    ok = builder.map(static_cast<size_t>(top.count), data, top.offset);
                    item_initial = 0xA0;
                    goto closed;
                case Awaits::kItem:
                    if (++top.done != top.count || top.indefinite) break;
                    ok = builder.array(static_cast<size_t>(top.count));
                    item_initial = 0x80;
                    goto closed;
                case Awaits::kTagged:
                    ok = builder.tag(top.count, top.offset);
                    item_initial = 0xC0;
                    goto closed;
            }
            break;
        closed:
            offset = top.offset;
            close();
            if (!ok) return fail(Fault::kBuilder, offset);
        }
    }
}

}  // namespace decoding
}  // namespace tavrel

#endif  // TAVREL_CBOR_DECODING_HPP
