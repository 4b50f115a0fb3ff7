// libFuzzer target: the strict decoding core of cbor_decoding.hpp, without
// Python.  A checking builder keeps the values' canonical encodings
// (definite lengths, chunks joined, floats as doubles) on its own stack and
// checks every count the core hands it.  An accepted input must then:
//   - give the same canonical encoding when that encoding is decoded again;
//   - be refused as truncated when cut short by any amount;
//   - be refused for depth under a max_depth one below its deepest item.
// And lone_scalar, the shortcut beside decode(), must accept only inputs
// that decode() reads as that same one head; key_offset(), which errors use
// to name a map key, must find the very item each key was read from.
// Built with -fsanitize=fuzzer,address,undefined; libFuzzer hands over an
// exactly sized heap copy, so ASan catches any read past either end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cbor_decoding.hpp"
#include "cbor_encoding.hpp"

namespace {

using tavrel::decoding::Fault;
using tavrel::decoding::Result;

#define CORE_CHECK(cond, what)                                                \
    do {                                                                      \
        if (!(cond)) {                                                        \
            std::fprintf(stderr, "fuzz_decode_core: %s (%s)\n", what, #cond); \
            std::abort();                                                     \
        }                                                                     \
    } while (0)

struct StringSink {
    std::string out;
    size_t reserved = 0;
    uint8_t *reserve(size_t n) {
        reserved = out.size();
        out.resize(out.size() + n);
        return reinterpret_cast<uint8_t *>(&out[reserved]);
    }
    void advance(size_t n) { out.resize(reserved + n); }
    void commit(uint8_t *end) { out.resize(static_cast<size_t>(end - reinterpret_cast<uint8_t *>(&out[0]))); }
};

std::string head(uint8_t major, uint64_t argument) {
    StringSink sink;
    tavrel::write_head(sink, major, argument);
    return sink.out;
}

// Each value as its canonical encoding, and the depth of its deepest item.
struct Value {
    std::string encoding;
    size_t depth;  // containers and tags around its deepest item, counting itself
};

class CheckingBuilder;
Result run(const uint8_t *data, size_t size, size_t max_depth, CheckingBuilder &builder);

class CheckingBuilder {
public:
    std::vector<Value> values;
    // Where the input ends, for checking key_offset() (the outermost walk only).
    const uint8_t *input_end = nullptr;
    std::string last_key;
    bool has_last_key = false;

    bool uint(uint64_t n) { return push(head(0, n), 0); }
    bool negint(uint64_t n) { return push(head(1, n), 0); }
    bool bytes(const uint8_t *p, size_t n) {
        return push(head(2, n) + std::string(reinterpret_cast<const char *>(p), n), 0);
    }
    // The last key handed to text(), offered back as a cache would.
    int known_key(const uint8_t *p, size_t n) {
        if (!has_last_key || last_key != std::string(reinterpret_cast<const char *>(p), n)) return 0;
        return push(head(3, n) + last_key, 0) ? 1 : -1;
    }
    bool text(const uint8_t *p, size_t n, const tavrel::decoding::TextForm &form, bool key) {
        tavrel::decoding::TextForm again{};
        CORE_CHECK(tavrel::decoding::valid_utf8(p, n, again), "text handed over is not valid UTF-8");
        // The form is what the bytes say: one character per byte that does
        // not continue a sequence, and the greatest byte that leads one.
        size_t chars = 0;
        uint8_t widest = 0;
        for (size_t i = 0; i < n; ++i) {
            chars += (p[i] & 0xC0) != 0x80;
            if (p[i] >= 0xC0 && p[i] > widest) widest = p[i];
        }
        CORE_CHECK(form.chars == chars && again.chars == chars, "character count differs");
        CORE_CHECK(form.widest == widest && again.widest == widest, "greatest lead byte differs");
        if (key) {
            last_key.assign(reinterpret_cast<const char *>(p), n);
            has_last_key = true;
        }
        return push(head(3, n) + std::string(reinterpret_cast<const char *>(p), n), 0);
    }
    bool float_bits(uint64_t bits) {
        std::string e(1, static_cast<char>(0xFB));
        for (int i = 7; i >= 0; --i) e += static_cast<char>(bits >> (8 * i));
        return push(e, 0);
    }
    bool simple(uint8_t value) {
        CORE_CHECK(value < 24 || value >= 32, "two-byte simple value below 32 accepted");
        return push(value < 24 ? std::string(1, static_cast<char>(0xE0 | value))
                               : std::string{static_cast<char>(0xF8), static_cast<char>(value)},
                    0);
    }
    bool array(size_t count) { return close(4, count, count); }
    bool map(size_t pairs, const uint8_t *data, size_t offset) {
        CORE_CHECK(values.size() >= 2 * pairs, "map closed over more values than were made");
        if (input_end != nullptr) check_key_offsets(pairs, data, offset);
        return close(5, pairs, 2 * pairs);
    }
    bool tag(uint64_t number, size_t) { return close(6, number, 1); }
    bool key(uint8_t initial, size_t) {
        CORE_CHECK(!values.empty(), "key without a value");
        CORE_CHECK(initial >= 0x80 && initial < 0xE0, "key() offered a scalar key");
        return true;
    }

private:
    // key_offset() must find each key: the item read from there (the walk
    // stops after it, as at trailing bytes) is that key.  The first keys and
    // the last, so that a long map costs no quadratic time.
    void check_key_offsets(size_t pairs, const uint8_t *data, size_t offset) {
        size_t previous = offset;
        for (size_t i = 0; i < pairs; ++i) {
            if (i >= 16 && i + 1 != pairs) continue;
            const size_t at = tavrel::decoding::key_offset(data, offset, i);
            CORE_CHECK(at > previous && data + at < input_end, "key_offset out of order or past the input");
            CheckingBuilder key;
            const Result r = run(data + at, static_cast<size_t>(input_end - (data + at)), 0, key);
            CORE_CHECK(r.fault == Fault::kTrailing && key.values.size() == 1 &&
                           key.values[0].encoding == values[values.size() - 2 * pairs + 2 * i].encoding,
                       "key_offset names another item than the key");
            previous = at;
        }
    }

    bool push(std::string encoding, size_t depth) {
        values.push_back(Value{std::move(encoding), depth});
        return true;
    }
    bool close(uint8_t major, uint64_t argument, size_t items) {
        CORE_CHECK(values.size() >= items, "container closed over more values than were made");
        std::string e = head(major, argument);
        size_t depth = 0;
        for (size_t i = values.size() - items; i < values.size(); ++i) {
            e += values[i].encoding;
            if (values[i].depth > depth) depth = values[i].depth;
        }
        values.resize(values.size() - items);
        // An empty container holds no item to count a level for.
        return push(std::move(e), items == 0 ? 0 : depth + 1);
    }
};

Result run(const uint8_t *data, size_t size, size_t max_depth, CheckingBuilder &builder) {
    tavrel::decoding::Scratch scratch;
    return tavrel::decoding::decode(data, size, max_depth, builder, scratch);
}

bool is_truncation(Fault f) {
    return f == Fault::kTruncated || f == Fault::kTruncatedString || f == Fault::kTruncatedCount;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t lone_initial = 0;
    uint64_t lone_argument = 0;
    const bool lone = tavrel::decoding::lone_scalar(data, size, lone_initial, lone_argument);
    CheckingBuilder builder;
    builder.input_end = data + size;
    const Result r = run(data, size, 0, builder);
    CORE_CHECK(r.fault != Fault::kBuilder, "the checking builder never stops the walk");
    if (r.fault != Fault::kNone) {
        CORE_CHECK(!lone, "lone_scalar accepted an input that decode refuses");
        CORE_CHECK(r.offset <= size, "fault offset past the input");
        CORE_CHECK(r.fault != Fault::kTrailing || r.offset < size, "trailing bytes reported at the end");
        return 0;
    }
    CORE_CHECK(builder.values.size() == 1, "not exactly one value left");
    const Value value = builder.values[0];
    if (lone) {
        const std::string lone_encoding = lone_initial < 0x40
                                              ? head(static_cast<uint8_t>(lone_initial >> 5), lone_argument)
                                              : std::string(1, static_cast<char>(lone_initial));
        CORE_CHECK(value.encoding == lone_encoding, "lone_scalar reads another value than decode");
    }

    // The canonical encoding reads back as itself.
    CheckingBuilder again;
    const std::vector<uint8_t> canonical(value.encoding.begin(), value.encoding.end());
    const Result r2 = run(canonical.data(), canonical.size(), 0, again);
    CORE_CHECK(r2.fault == Fault::kNone, "canonical encoding refused");
    CORE_CHECK(again.values.size() == 1 && again.values[0].encoding == value.encoding, "canonical form unstable");

    // Every strict prefix is truncated (an item is self-delimiting); a few
    // lengths, in a copy of exactly that size so ASan sees its end.
    for (size_t cut : {size_t{1}, size / 2, size - 1}) {
        if (cut == 0 || cut >= size) continue;
        std::vector<uint8_t> prefix(data, data + cut);
        CheckingBuilder partial;
        const Result rp = run(prefix.data(), prefix.size(), 0, partial);
        CORE_CHECK(is_truncation(rp.fault), "a strict prefix of an item was not refused as truncated");
    }

    // The depth limit: the deepest item passes at its own depth, not one below.
    if (value.depth > 0) {
        CheckingBuilder exact, shallow;
        CORE_CHECK(run(data, size, value.depth, exact).fault == Fault::kNone, "refused at its own depth");
        if (value.depth > 1) CORE_CHECK(run(data, size, value.depth - 1, shallow).fault == Fault::kDepth, "depth");
    }
    return 0;
}
