// Allocation-failure driver for the writers, the float selector and the
// decoder.  Linked with failalloc.c through --wrap, so every allocation the
// codec makes can be failed on purpose and every block is accounted for.
//
// For each operation and each starting state of the generator (empty, a few
// bytes, a few thousand bytes), the k-th allocation is failed for k = 1, 2,
// ... until a run injects no failure; once failing only that allocation and
// once failing it and all after.  After every run:
//   - the bytes the generator held before are untouched;
//   - a writer that hit a failure returns -1 and has appended a proper prefix
//     of its item (an append that fails adds nothing; earlier appends stay);
//   - a raw append that fails leaves buffer and length exactly as they were;
//   - the selecting float writer appends either nothing or a proper prefix
//     (result -1), or a complete encoding of exactly x (never a wrong value);
//   - the generator still takes a further byte, and freeing it returns the
//     live-block count to where it was (no leak on any path).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cbor.h"
#include "cbor_reference.h"
#include "failalloc.h"

namespace {

using Bytes = std::vector<uint8_t>;

long checks = 0, runs = 0, failures_seen = 0;

[[noreturn]] void fail(const std::string &what) {
    std::printf("alloc_fail: CHECK FAILED: %s\n", what.c_str());
    std::fflush(stdout);
    std::abort();
}

#define CHECK(cond, what)           \
    do {                            \
        ++checks;                   \
        if (!(cond)) fail(what);    \
    } while (0)

std::string hexs(const Bytes &b) {
    std::string s;
    char two[4];
    for (size_t i = 0; i < b.size() && i < 24; ++i) std::snprintf(two, sizeof two, "%02x", b[i]), s += two;
    if (b.size() > 24) s += "...";
    return s;
}

bool proper_prefix(const Bytes &a, const Bytes &of) {
    return a.size() < of.size() && std::equal(a.begin(), a.end(), of.begin());
}

struct Op {
    std::string name;
    std::function<int(cbor_generator *)> call;
    Bytes expected;   // bytes appended with memory available
    int ok_status;    // result with memory available
    bool raw_append;  // a single append: on failure nothing at all changes
    bool is_float;    // the selecting writer, with its value
    double x;
};

Bytes be(uint8_t initial, uint64_t bits, unsigned n) {
    Bytes out;
    ref::put_be(out, initial, bits, n);
    return out;
}

// Encodings of x that keep its value exactly, from the narrowest up.
std::vector<Bytes> exact_encodings(double x) {
    std::vector<Bytes> out{ref::shortest_float(x)};
    if (std::isfinite(x)) {
        const float f = static_cast<float>(x);
        if (static_cast<double>(f) == x) out.push_back(be(0xFA, ref::bits_of(f), 4));
        out.push_back(be(0xFB, ref::bits_of(x), 8));
    }
    return out;
}

const uint8_t kSource[] = "0123456789abcdefghijklmnopqrstuvwxyz";
const std::vector<uint8_t> kBig(70000, 0x5A);

std::vector<Op> operations() {
    std::vector<Op> ops;
    auto add = [&](std::string name, std::function<int(cbor_generator *)> call, Bytes expected, int ok = 0,
                   bool raw = false) { ops.push_back({std::move(name), std::move(call), std::move(expected), ok, raw, false, 0}); };

    add("write_byte", [](cbor_generator *g) { return _cbor_generator_write_byte(g, 0xAB); }, {0xAB}, 0, true);
    add("write_bytes 0", [](cbor_generator *g) { return _cbor_generator_write_bytes(g, kSource, 0); }, {}, 0, true);
    add("write_bytes 5", [](cbor_generator *g) { return _cbor_generator_write_bytes(g, kSource, 5); },
        Bytes(kSource, kSource + 5), 0, true);
    add("write_bytes 70000", [](cbor_generator *g) { return _cbor_generator_write_bytes(g, kBig.data(), kBig.size()); },
        kBig, 0, true);

    static const uint64_t kArgs[] = {0, 23, 24, 255, 256, 65535, 65536, 0xFFFFFFFFull, 0x100000000ull, UINT64_MAX};
    for (uint64_t a : kArgs) {
        Bytes e;
        ref::head(e, 0, a);
        add("uint " + std::to_string(a), [a](cbor_generator *g) { return cbor_write_uint(g, a); }, e);
        for (uint8_t major : {2, 5, 7}) {
            Bytes h;
            ref::head(h, major, a);
            add("uint_helper " + std::to_string(major) + " " + std::to_string(a),
                [major, a](cbor_generator *g) { return _cbor_write_uint_helper(g, major, a); }, h);
        }
        if (a != UINT64_MAX) {
            Bytes arr, map;
            ref::head(arr, 4, a);
            ref::head(map, 5, a);
            add("array " + std::to_string(a), [a](cbor_generator *g) { return cbor_write_array(g, a); }, arr);
            add("map " + std::to_string(a), [a](cbor_generator *g) { return cbor_write_map(g, a); }, map);
        }
    }
    for (int64_t v : {int64_t{-1}, int64_t{-24}, int64_t{-25}, int64_t{-256}, int64_t{-257}, int64_t{-65537},
                      INT64_MIN, int64_t{0}}) {
        Bytes e;
        ref::head(e, 1, ~static_cast<uint64_t>(v));
        add("negint " + std::to_string(v), [v](cbor_generator *g) { return cbor_write_negint(g, v); }, e);
    }
    add("uint_sized 19 12345", [](cbor_generator *g) { return _cbor_write_uint_sized(g, 0x19, 0x12345); }, {0x19, 0x23, 0x45});
    add("uint_sized 05 3", [](cbor_generator *g) { return _cbor_write_uint_sized(g, 0x05, 3); }, {0x07});
    add("uint_sized 1b", [](cbor_generator *g) { return _cbor_write_uint_sized(g, 0x1B, 0x0102030405060708ull); },
        {0x1B, 1, 2, 3, 4, 5, 6, 7, 8});
    add("uint_sized 1a", [](cbor_generator *g) { return _cbor_write_uint_sized(g, 0x1A, 0xA1B2C3D4ull); },
        {0x1A, 0xA1, 0xB2, 0xC3, 0xD4});

    for (size_t n : {size_t{0}, size_t{3}, size_t{24}, size_t{300}, size_t{70000}}) {
        Bytes bs, ts;
        ref::head(bs, 2, n);
        ref::head(ts, 3, n);
        bs.insert(bs.end(), kBig.begin(), kBig.begin() + static_cast<long>(n));
        ts.insert(ts.end(), kBig.begin(), kBig.begin() + static_cast<long>(n));
        add("byte_string " + std::to_string(n),
            [n](cbor_generator *g) { return cbor_write_byte_string(g, kBig.data(), n); }, bs);
        add("text_string " + std::to_string(n),
            [n](cbor_generator *g) { return cbor_write_text_string(g, reinterpret_cast<const char *>(kBig.data()), n); },
            ts);
    }
    add("byte_string indefinite", [](cbor_generator *g) { return cbor_write_byte_string(g, nullptr, CBOR_INDEFINITE); }, {0x5F});
    add("text_string indefinite", [](cbor_generator *g) { return cbor_write_text_string(g, nullptr, CBOR_INDEFINITE); }, {0x7F});
    add("array indefinite", [](cbor_generator *g) { return cbor_write_array(g, CBOR_INDEFINITE); }, {0x9F});
    add("map indefinite", [](cbor_generator *g) { return cbor_write_map(g, CBOR_INDEFINITE); }, {0xBF});
    add("false", cbor_write_false, {0xF4});
    add("true", cbor_write_true, {0xF5});
    add("null", cbor_write_null, {0xF6});
    add("undefined", cbor_write_undefined, {0xF7});
    add("break", cbor_write_break, {0xFF});

    static const double kFloats[] = {0.0,   -0.0,    1.0,     1.5,       -2.0,     1.0009765625, 0x1p-14, 65504.0,
                                     0x1p-15, 0x1p-24, 1.00048828125, 1.0000001192092896, 65520.0, 100000.0,
                                     3.4028234663852886e+38, 0x1p-149, 0.1, 1.1, 0x1p128, 1e300, 1e-40, NAN, -NAN,
                                     INFINITY, -INFINITY};
    for (double x : kFloats) {
        const std::string label = std::to_string(x);
        add("float32 " + label, [x](cbor_generator *g) { return cbor_write_float32(g, x); },
            be(0xFA, ref::bits_of(static_cast<float>(x)), 4), 1);
        add("float64 " + label, [x](cbor_generator *g) { return cbor_write_float64(g, x); }, be(0xFB, ref::bits_of(x), 8), 1);
        Op op{"float " + label, [x](cbor_generator *g) { return cbor_write_float(g, x); }, ref::shortest_float(x),
              std::isfinite(x) ? 1 : 0, false, true, x};
        ops.push_back(op);
    }
    return ops;
}

// Appends n bytes to g with memory available.
void prefill(cbor_generator *g, size_t n) {
    for (size_t i = 0; i < n; i += 64) {
        const size_t chunk = n - i < 64 ? n - i : 64;
        if (_cbor_generator_write_bytes(g, kBig.data(), chunk) != 0) fail("prefill");
    }
}

// One run of op with the k-th allocation failed; true when a failure was injected.
bool run_once(const Op &op, size_t before_length, long k, bool sticky) {
    ++runs;
    const long live_base = failalloc_live();
    cbor_generator *g = cbor_generator_create();
    CHECK(g != nullptr, "create");
    prefill(g, before_length);
    const Bytes before(g->buffer, g->buffer + g->length);
    uint8_t *const buffer_before = g->buffer;

    failalloc_arm(k, 0, sticky);
    const int rc = op.call(g);
    const long injected = failalloc_failed();
    failalloc_disarm();

    const std::string where = op.name + " (k=" + std::to_string(k) + (sticky ? ", sticky" : "") + ", " +
                              std::to_string(before_length) + " bytes before)";
    CHECK(g->length >= before.size(), "length shrank: " + where);
    CHECK(before.empty() || std::memcmp(g->buffer, before.data(), before.size()) == 0,
          "earlier bytes changed: " + where);
    const Bytes appended(g->buffer + before.size(), g->buffer + g->length);

    if (injected == 0) {
        CHECK(rc == op.ok_status, "result with memory available: " + where + " gave " + std::to_string(rc));
        CHECK(appended == op.expected, "bytes with memory available: " + where + " gave " + hexs(appended));
    } else {
        ++failures_seen;
        if (!op.is_float) {
            CHECK(rc == -1, "writer ignored a failed allocation: " + where + " returned " + std::to_string(rc));
            CHECK(proper_prefix(appended, op.expected),
                  "not a proper prefix of the item: " + where + " appended " + hexs(appended));
            if (op.raw_append) {
                CHECK(g->length == before.size() && g->buffer == buffer_before,
                      "failed append changed the generator: " + where);
            }
        } else {
            const std::vector<Bytes> exact = exact_encodings(op.x);
            bool fits = false;
            if (rc < 0) {
                for (const Bytes &e : exact) fits = fits || proper_prefix(appended, e);
                CHECK(fits, "float writer failed leaving " + hexs(appended) + ": " + where);
            } else {
                CHECK(rc == op.ok_status, "float writer result " + std::to_string(rc) + ": " + where);
                for (const Bytes &e : exact) fits = fits || appended == e;
                CHECK(fits, "float writer kept a wrong encoding " + hexs(appended) + ": " + where);
            }
        }
    }
    // The generator is still sound: it takes one more byte after its content.
    const size_t length_now = g->length;
    CHECK(_cbor_generator_write_byte(g, 0x42) == 0 && g->length == length_now + 1 && g->buffer[length_now] == 0x42,
          "generator unusable after: " + where);
    cbor_generator_free(g);
    CHECK(failalloc_live() == live_base, "leak after: " + where);
    return injected != 0;
}

void sweep_writers() {
    const std::vector<Op> ops = operations();
    for (const Op &op : ops) {
        for (size_t before : {size_t{0}, size_t{5}, size_t{4000}}) {
            for (bool sticky : {false, true}) {
                long k = 1;
                while (run_once(op, before, k, sticky)) {
                    if (++k > 200) fail("no run without failure for " + op.name);
                }
                if (!op.expected.empty()) CHECK(k > 1, "no allocation on the path of " + op.name);
            }
        }
        // A null generator: -1 for every writer, and nothing left allocated.
        const long live_base = failalloc_live();
        CHECK(op.call(nullptr) == -1, "null generator accepted by " + op.name);
        CHECK(failalloc_live() == live_base, "leak with a null generator in " + op.name);
    }
    std::printf("alloc_fail: %zu writer operations\n", ops.size());
}

// Appends whose new length would pass SIZE_MAX fail before allocating.
void overflow_cases() {
    const long live_base = failalloc_live();
    cbor_generator *g = cbor_generator_create();
    prefill(g, 5);
    uint8_t *const buffer = g->buffer;
    for (size_t count : {SIZE_MAX, SIZE_MAX - 4, SIZE_MAX - 3}) {
        failalloc_arm(0, 0, 0);
        const int rc = _cbor_generator_write_bytes(g, kSource, count);
        const long seen = failalloc_disarm();
        CHECK(rc == -1 && seen == 0 && g->length == 5 && g->buffer == buffer,
              "overflowing append of " + std::to_string(count) + " bytes");
    }
    // Just fits size_t: the growth is attempted (and made to fail here).
    failalloc_arm(1, 0, 0);
    const int rc = _cbor_generator_write_bytes(g, kSource, SIZE_MAX - 5);
    const long seen = failalloc_disarm();
    CHECK(rc == -1 && seen == 1 && g->length == 5 && g->buffer == buffer, "append of SIZE_MAX - length bytes");
#if SIZE_MAX < UINT64_MAX
    // A 64-bit length that size_t cannot hold fails before its head.
    failalloc_arm(0, 0, 0);
    CHECK(cbor_write_byte_string(g, kSource, uint64_t{SIZE_MAX} + 1) == -1 && failalloc_disarm() == 0 &&
              g->length == 5,
          "string longer than size_t");
#else
    // The head fits, the payload cannot be added to it: the head stays, the
    // payload is refused without an allocation.
    failalloc_arm(0, 0, 0);
    const int rs = cbor_write_byte_string(g, kSource, UINT64_MAX - 1);
    failalloc_disarm();
    Bytes head;
    ref::head(head, 2, UINT64_MAX - 1);
    CHECK(rs == -1 && g->length == 5 + head.size() && std::memcmp(g->buffer + 5, head.data(), head.size()) == 0,
          "string whose payload overflows the length");
#endif
    cbor_generator_free(g);
    CHECK(failalloc_live() == live_base, "leak in overflow cases");
    std::printf("alloc_fail: overflow cases\n");
}

// The decoder under allocation failure: NULL, the remaining count never
// grows, and nothing leaks; with memory available the record is right.
void decoder_cases() {
    static const char *const kInputs[] = {"6161", "63616263", "60", "40", "4401020304", "7818616161616161616161616161616161616161616161616161", "5803010203",
                                          "1b0102030405060708", "f93c00", "fb3ff199999999999a", "9f01ff", "d9d9f700"};
    for (const char *h : kInputs) {
        Bytes in;
        for (const char *p = h; p[0] && p[1]; p += 2) {
            const char pair[3] = {p[0], p[1], 0};
            in.push_back(static_cast<uint8_t>(std::strtoul(pair, nullptr, 16)));
        }
        const ref::Item want = ref::decode(in.data(), in.size());
        for (long k = 1;; ++k) {
            ++runs;
            const long live_base = failalloc_live();
            failalloc_arm(k, 0, 0);
            cbor_parser *parser = cbor_parser_create(in.data(), in.size());
            cbor_val *v = parser ? cbor_next_val(parser) : nullptr;
            const long injected = failalloc_failed();
            failalloc_disarm();
            const std::string where = std::string(h) + " k=" + std::to_string(k);
            if (injected == 0 && !want.ok) {
                CHECK(v == nullptr, "record for a short item: " + where);
            } else if (injected == 0) {
                CHECK(v != nullptr && v->initial_byte == want.ib && v->count == want.count, "record: " + where);
                if (want.string)
                    CHECK(std::memcmp(v->value.payload, want.payload, static_cast<size_t>(want.count)) == 0, "payload: " + where);
                else
                    CHECK(v->value.uint_value == want.value, "value: " + where);
            } else {
                ++failures_seen;
                CHECK(v == nullptr, "record despite a failed allocation: " + where);
                if (parser) CHECK(cbor_parser_available_bytes(parser) <= static_cast<int32_t>(in.size()), "cursor: " + where);
            }
            cbor_val_free(v);
            cbor_parser_free(parser);
            CHECK(failalloc_live() == live_base, "leak: " + where);
            if (injected == 0) break;
            if (k > 50) fail("decoder never succeeded: " + where);
        }
    }
    std::printf("alloc_fail: decoder cases\n");
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sweep_writers();
    overflow_cases();
    decoder_cases();
    std::printf("alloc_fail: %ld runs, %ld with an injected failure, %ld checks: OK\n", runs, failures_seen, checks);
    return 0;
}
