// tavrel::store_float (cbor_encoding.hpp) against cbor_write_float's
// decode-back choice: the same item for every finite double tried, and the
// fixed half items for NaN (any payload, either sign) and the infinities.
//
//   float_choice_proof                 CI size: float32 patterns strided,
//                                      every half, the boundaries, 10^6 random
//   float_choice_proof --exhaustive    every float32 and half pattern widened,
//                                      the boundaries, 10^8 random
//   options: --stride N  --random N  --exported-every N  --seed N
//
// The reference is the decode-back algorithm itself, run on the stack for
// speed: the half, single and double candidates written from the double's
// bits, read back by the library's float decoders, chosen among by
// choose_float_width.  Every --exported-every'th double also goes through the
// exported cbor_write_float, which must give the same bytes.  Along the way
// the codec's integer width conversions are held against the hardware's
// (this program runs in the default floating-point environment).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "include/cbor_encoding.hpp"
#include "decode_p.h"
#include "encode_p.h"

namespace {

using tavrel::bits_double;
using tavrel::double_bits;

struct Encoded {
    uint8_t bytes[9];
    size_t length;
    bool operator==(const Encoded &o) const { return length == o.length && std::memcmp(bytes, o.bytes, length) == 0; }
};

// A fixed buffer on the stack, large enough for the three float candidates.
struct ScratchSink {
    uint8_t bytes[17];
    size_t length = 0;

    int put(uint8_t byte) { return put_bytes(&byte, 1); }
    int put_bytes(const void *data, size_t n) {
        if (n > sizeof bytes - length) return -1;
        std::memcpy(bytes + length, data, n);
        length += n;
        return 0;
    }
};

Encoded from_sink(const ScratchSink &sink) {
    Encoded e{};
    e.length = sink.length;
    std::memcpy(e.bytes, sink.bytes, sink.length);
    return e;
}

// cbor_write_float's selection without the heap.
Encoded decode_back(uint64_t bits) {
    ScratchSink scratch;
    tavrel::append::write_float_bits(scratch, 0xF9, tavrel::half_bits_of(bits), 2);
    tavrel::append::write_float_bits(scratch, 0xFA, tavrel::single_from_double_bits(bits), 4);
    tavrel::append::write_float_bits(scratch, 0xFB, bits, 8);
    cbor_parser parser = {scratch.bytes, scratch.length, scratch.bytes, 0};
    cbor_val half = {}, single = {}, dbl = {};
    const bool ok = tavrel::parse_float16(&parser, &half) == 0 && tavrel::parse_float32(&parser, &single) == 0 &&
                    tavrel::parse_float64(&parser, &dbl) == 0;
    ScratchSink out;
    const unsigned width = ok ? tavrel::choose_float_width(&half, &single, &dbl) : 0;
    if (width == 2) tavrel::append::write_float_bits(out, 0xF9, tavrel::half_bits_of(bits), 2);
    if (width == 4) tavrel::append::write_float_bits(out, 0xFA, tavrel::single_from_double_bits(bits), 4);
    if (width == 8) tavrel::append::write_float_bits(out, 0xFB, bits, 8);
    return from_sink(out);
}

Encoded on_the_bits(uint64_t bits) {
    // Room for store_float's eight-byte stores past a short item.
    uint8_t room[tavrel::kMaxHead + 8];
    Encoded e{};
    e.length = tavrel::store_float(room, bits);
    if (e.length <= sizeof e.bytes) std::memcpy(e.bytes, room, e.length);
    return e;
}

// NaN and the infinities, as cbor_write_float writes them.
Encoded special(uint64_t bits) {
    ScratchSink out;
    tavrel::append::write_float_special(out, bits_double(bits));
    return from_sink(out);
}

Encoded exported(uint64_t bits) {
    Encoded e{};
    cbor_generator *g = cbor_generator_create();
    if (g == nullptr || cbor_write_float(g, bits_double(bits)) != 1 || g->length > sizeof e.bytes) {
        cbor_generator_free(g);
        return e;  // length 0: never equal to a written item
    }
    e.length = g->length;
    std::memcpy(e.bytes, g->buffer, g->length);
    cbor_generator_free(g);
    return e;
}

std::string hex(const Encoded &e) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < e.length; ++i) {
        std::snprintf(b, sizeof b, "%02x", e.bytes[i]);
        s += b;
    }
    return s;
}

struct Proof {
    uint64_t exported_every = 4;
    uint64_t checked = 0, against_exported = 0, conversions = 0, specials = 0, mismatches = 0;
    const char *stage = "";

    void fail(const char *what, uint64_t bits, const std::string &a, const std::string &b) {
        if (++mismatches <= 20)
            std::printf("MISMATCH %s (%s) bits %016" PRIx64 ": %s vs %s\n", what, stage, bits, a.c_str(), b.c_str());
    }

    void check(uint64_t bits) {
        if (((bits >> 52) & 0x7FF) == 0x7FF) {
            const Encoded want = special(bits), got = on_the_bits(bits);
            if (!(got == want)) fail("store_float", bits, hex(got), hex(want));
            ++specials;
            return;
        }
        const Encoded want = decode_back(bits), got = on_the_bits(bits);
        if (!(got == want)) fail("store_float", bits, hex(got), hex(want));
        if (exported_every != 0 && checked % exported_every == 0) {
            const Encoded lib = exported(bits);
            if (!(lib == want)) fail("cbor_write_float", bits, hex(lib), hex(want));
            ++against_exported;
        }
        // The integer rounding to single against the hardware's, to nearest.
        const float f = static_cast<float>(bits_double(bits));
        uint32_t hw;
        std::memcpy(&hw, &f, sizeof hw);
        if (tavrel::single_from_double_bits(bits) != hw) fail("single rounding", bits, "", "");
        ++checked;
    }

    // Widening of a single pattern against the hardware's (NaN included).
    void check_widening(uint32_t s) {
        float f;
        std::memcpy(&f, &s, sizeof f);
        const uint64_t hw = s == 0x7FFC0000u ? tavrel::kQuietNaNBits : double_bits(static_cast<double>(f));
        if (tavrel::double_from_single_bits(s) != hw) fail("single widening", s, "", "");
        ++conversions;
    }
};

// A half pattern widened to double, computed here independently: ldexp.
uint64_t half_to_double(unsigned h) {
    const unsigned e = (h >> 10) & 0x1F, m = h & 0x3FF;
    const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(m + 1024, static_cast<int>(e) - 25);
    return double_bits(h & 0x8000 ? -mag : mag);
}

std::vector<uint64_t> boundaries() {
    const double values[] = {
        0.0, 1.0, 2.0, 0.5, 0x1p-24, 0x1p-25, 0x3p-25, 0x1.ff8p-15, 0x1p-14, 0x1p-15, 65504.0, 65505.0, 65519.0,
        65520.0, 65536.0, 0x1p-149, 0x1p-150, 0x3p-150, 0x1.fffffcp-127, 0x1p-126, 0x1p-127, 0x1.fffffep127,
        0x1.fffffe8p127, 0x1p127, 0x1p128, 0x1p-1022, 0x1p-1074, 0x1.fffffffffffffp1023, 0x1.004p0, 0x1.002p0,
        0x1.000002p0, 0x1.000001p0, 0x1p15, 0x1p16, 0x1p-1021, 0x1p-133, 0x1p-148, HUGE_VAL};
    // NaNs whose payload sits only in the bits a single or a half keeps.
    const uint64_t nans[] = {0x7FF8000000000000ull, 0x7FF0000020000000ull, 0x7FF0000000000000ull | 1ull << 42,
                             0x7FF0000000000000ull | 1ull << 51};
    std::vector<uint64_t> out;
    for (double v : values)
        for (int64_t d = -3; d <= 3; ++d)
            for (uint64_t sign : {0ull, 1ull << 63}) out.push_back((double_bits(v) + static_cast<uint64_t>(d)) ^ sign);
    for (uint64_t nan : nans)
        for (uint64_t sign : {0ull, 1ull << 63}) out.push_back(nan ^ sign);
    return out;
}

uint64_t arg(int argc, char **argv, const char *name, uint64_t fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::strtoull(argv[i + 1], nullptr, 0);
    return fallback;
}

}  // namespace

int main(int argc, char **argv) {
    bool exhaustive = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--exhaustive") == 0) exhaustive = true;
    const uint64_t stride = arg(argc, argv, "--stride", exhaustive ? 1 : 4093);
    const uint64_t randoms = arg(argc, argv, "--random", exhaustive ? 100000000ull : 1000000ull);
    const uint64_t seed = arg(argc, argv, "--seed", 20261208);
    Proof proof;
    proof.exported_every = arg(argc, argv, "--exported-every", exhaustive ? 4096 : 4);

    proof.stage = "boundaries";
    const std::vector<uint64_t> edges = boundaries();
    for (uint64_t b : edges) proof.check(b);

    proof.stage = "halves";
    for (unsigned h = 0; h < 0x10000; ++h) proof.check(half_to_double(h));

    proof.stage = "float32";
    uint64_t singles = 0;
    for (uint64_t s = 0; s <= 0xFFFFFFFFull; s += stride) {
        proof.check_widening(static_cast<uint32_t>(s));
        float f;
        const uint32_t s32 = static_cast<uint32_t>(s);
        std::memcpy(&f, &s32, sizeof f);
        proof.check(double_bits(static_cast<double>(f)));
        ++singles;
    }

    proof.stage = "random";
    std::mt19937_64 rng(seed);
    for (uint64_t i = 0; i < randoms; ++i) {
        const uint64_t r = rng();
        uint64_t bits;
        switch (i % 3) {
            case 0:  // any pattern
                bits = r;
                break;
            case 1: {  // exponents around the half and single ranges, short mantissas
                const uint64_t exponent = 1023 - 160 + (r >> 8) % 300;
                const unsigned zeros = static_cast<unsigned>(r & 63) % 53;
                const uint64_t mantissa = (rng() & 0xFFFFFFFFFFFFFull) >> zeros << zeros;
                bits = (r & (1ull << 63)) | exponent << 52 | mantissa;
                break;
            }
            default: {  // near a boundary, up to 2^40 units away either way
                const uint64_t base = edges[(r >> 8) % edges.size()];
                const uint64_t step = rng() & ((1ull << (r & 63) % 41) - 1);
                bits = r & 128 ? base + step : base - step;
                break;
            }
        }
        proof.check(bits);
    }

    std::printf("boundaries %zu, halves 65536, float32 patterns %" PRIu64 " (stride %" PRIu64 "), random %" PRIu64
                " (seed %" PRIu64 ")\n",
                edges.size(), singles, stride, randoms, seed);
    std::printf("checked %" PRIu64 " finite doubles, %" PRIu64 " also through cbor_write_float, %" PRIu64
                " single widenings, %" PRIu64 " NaNs and infinities\n",
                proof.checked, proof.against_exported, proof.conversions, proof.specials);
    std::printf("%" PRIu64 " mismatches\n", proof.mismatches);
    return proof.mismatches == 0 ? 0 : 1;
}
