// Long texts checked 16 bytes at a time.
//
// Byte by byte, a text of two- and three-byte letters in mixed scripts costs
// a mispredicted branch every few letters.  Here each byte is classed with
// the byte before it by three table lookups (its high nibble, and the
// previous byte's high and low nibbles); and a byte must be a continuation
// where the byte two places back leads three or four bytes, or the byte
// three places back leads four.  Every rule of RFC 3629 is one bit of the
// tables:
//
//   kTooShort   a lead byte, then no continuation
//   kTooLong    ASCII, then a continuation
//   kOverlong3  E0, then 80-9F
//   kTooLarge   F4, then 90-BF; F5-FF, then 90-BF
//   kSurrogate  ED, then A0-BF
//   kOverlong2  C0 or C1, then a continuation
//   kFourthBit  F0, then 80-8F (overlong); F5-FF, then 80-8F (too large)
//   kTwoConts   a continuation, then a continuation (right only as a
//               sequence's third or fourth byte)
//
// A byte pair is wrong when the three lookups share a bit, except that
// kTwoConts must be shared exactly where a third or fourth byte is due.
// The text ends with a block of zeros, so a sequence cut short at the end
// meets ASCII and is refused like one cut short anywhere else.
#include "include/cbor_decoding.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <tmmintrin.h>
#define TAVREL_VECTOR_UTF8 1
#endif

namespace tavrel {
namespace decoding {

#if TAVREL_VECTOR_UTF8
namespace {

// SSSE3's byte shuffle is the table lookup.
bool has_ssse3() {
    unsigned a, b, c, d;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & (1u << 9)) != 0;
}

// Read once, when the library is loaded, and never changed.
const bool kVectorUtf8 = has_ssse3();

constexpr char kTooShort = 1 << 0;
constexpr char kTooLong = 1 << 1;
constexpr char kOverlong3 = 1 << 2;
constexpr char kTooLarge = 1 << 3;
constexpr char kSurrogate = 1 << 4;
constexpr char kOverlong2 = 1 << 5;
constexpr char kFourthBit = 1 << 6;
constexpr char kTwoConts = static_cast<char>(1 << 7);
// The rules whose first byte is known by its high nibble alone.
constexpr char kAnyLow = kTooShort | kTooLong | kTwoConts;

struct State {
    __m128i previous;       // the block before, zeros before the first
    __m128i errors;         // any bit set: not UTF-8
    __m128i widest;         // bytewise maximum
    __m128i continuations;  // bytewise count, emptied into `total` before it can wrap
    size_t total = 0;
};

__attribute__((target("ssse3"))) inline __m128i high_nibbles(__m128i v) {
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

__attribute__((target("ssse3"))) inline void check_block(State &st, __m128i input) {
    if (_mm_movemask_epi8(input) == 0) {
        // All ASCII: right only if the block before ended its last sequence,
        // that is, its last byte leads none, the one before leads none of
        // three or four bytes and the one before that none of four.
        const __m128i last_free =
            _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF),
                          static_cast<char>(0xDF), static_cast<char>(0xBF));
        st.errors = _mm_or_si128(st.errors, _mm_subs_epu8(st.previous, last_free));
        st.previous = input;
        return;
    }
    // Indexed by the previous byte's high nibble.
    const __m128i first_high =
        _mm_setr_epi8(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTwoConts,
                      kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                      kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kFourthBit);
    // Indexed by the previous byte's low nibble.
    const __m128i first_low = _mm_setr_epi8(
        kAnyLow | kOverlong3 | kOverlong2 | kFourthBit, kAnyLow | kOverlong2, kAnyLow, kAnyLow, kAnyLow | kTooLarge,
        kAnyLow | kTooLarge | kFourthBit, kAnyLow | kTooLarge | kFourthBit, kAnyLow | kTooLarge | kFourthBit,
        kAnyLow | kTooLarge | kFourthBit, kAnyLow | kTooLarge | kFourthBit, kAnyLow | kTooLarge | kFourthBit,
        kAnyLow | kTooLarge | kFourthBit, kAnyLow | kTooLarge | kFourthBit,
        kAnyLow | kTooLarge | kFourthBit | kSurrogate, kAnyLow | kTooLarge | kFourthBit,
        kAnyLow | kTooLarge | kFourthBit);
    // Indexed by this byte's high nibble.
    constexpr char kContinuation = kTooLong | kOverlong2 | kTwoConts;
    const __m128i second_high =
        _mm_setr_epi8(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                      kContinuation | kOverlong3 | kFourthBit, kContinuation | kOverlong3 | kTooLarge,
                      kContinuation | kSurrogate | kTooLarge, kContinuation | kSurrogate | kTooLarge, kTooShort,
                      kTooShort, kTooShort, kTooShort);

    const __m128i prev1 = _mm_alignr_epi8(input, st.previous, 15);
    const __m128i pair =
        _mm_and_si128(_mm_and_si128(_mm_shuffle_epi8(first_high, high_nibbles(prev1)),
                                    _mm_shuffle_epi8(first_low, _mm_and_si128(prev1, _mm_set1_epi8(0x0F)))),
                      _mm_shuffle_epi8(second_high, high_nibbles(input)));
    // High bit set where the byte two back is E0 or more, or three back F0
    // or more: a third or fourth byte is due.
    const __m128i prev2 = _mm_alignr_epi8(input, st.previous, 14);
    const __m128i prev3 = _mm_alignr_epi8(input, st.previous, 13);
    const __m128i due = _mm_and_si128(_mm_or_si128(_mm_subs_epu8(prev2, _mm_set1_epi8(0xE0 - 0x80)),
                                                   _mm_subs_epu8(prev3, _mm_set1_epi8(0xF0 - 0x80))),
                                      _mm_set1_epi8(kTwoConts));
    st.errors = _mm_or_si128(st.errors, _mm_xor_si128(pair, due));
    st.widest = _mm_max_epu8(st.widest, input);
    // 0x80-0xBF read as signed are -128 to -65: all ones where a byte continues.
    st.continuations = _mm_sub_epi8(st.continuations, _mm_cmplt_epi8(input, _mm_set1_epi8(static_cast<char>(0xC0))));
    st.previous = input;
}

__attribute__((target("ssse3"))) inline void empty_count(State &st) {
    const __m128i sums = _mm_sad_epu8(st.continuations, _mm_setzero_si128());
    st.total += static_cast<size_t>(_mm_cvtsi128_si32(sums)) + static_cast<size_t>(_mm_extract_epi16(sums, 4));
    st.continuations = _mm_setzero_si128();
}

__attribute__((target("ssse3"))) bool valid_utf8_by_blocks(const uint8_t *s, size_t n, TextForm &form) {
    State st;
    st.previous = st.errors = st.widest = st.continuations = _mm_setzero_si128();
    size_t i = 0;
    while (i + 16 <= n) {
        // At most 255 blocks between emptyings: one byte counts each.
        const size_t stop = n - i > 255 * 16 ? i + 255 * 16 : n - 15;
        for (; i < stop; i += 16) check_block(st, _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)));
        empty_count(st);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(st.errors, _mm_setzero_si128())) != 0xFFFF) return false;
    }
    // The last 0 to 15 bytes, then zeros: a sequence cut short meets a
    // zero where its next byte is due.
    alignas(16) uint8_t tail[16] = {};
    if (i < n) std::memcpy(tail, s + i, n - i);
    check_block(st, _mm_load_si128(reinterpret_cast<const __m128i *>(tail)));
    empty_count(st);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(st.errors, _mm_setzero_si128())) != 0xFFFF) return false;
    alignas(16) uint8_t bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(bytes), st.widest);
    uint8_t widest = 0;
    for (uint8_t b : bytes) widest = b > widest ? b : widest;
    form = TextForm{n - st.total, static_cast<uint8_t>(widest >= 0xC0 ? widest : 0)};
    return true;
}

}  // namespace
#endif

bool valid_long_utf8(const uint8_t *s, size_t n, size_t i, TextForm &form) {
#if TAVREL_VECTOR_UTF8
    if (kVectorUtf8) {
        // s[0, i) is ASCII.
        if (!valid_utf8_by_blocks(s + i, n - i, form)) return false;
        form.chars += i;
        return true;
    }
#endif
    return valid_utf8_from<true>(s, n, i, form);
}

}  // namespace decoding
}  // namespace tavrel
