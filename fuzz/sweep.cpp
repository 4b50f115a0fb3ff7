// Exhaustive decoder sweep: every input of 1 and 2 bytes (and of 3 bytes with
// --three), and every prefix of a set of valid encodings, walked with
// cbor_next_val to the end.  Each input lies directly against an inaccessible
// page on one side (a run with it ending at the page, a run with it starting
// right after one), so a read outside the buffer faults at once.
//
// The codec's diagnostic lines are captured in memory and compared with the
// lines the unimplemented items require, so stderr stays quiet.
//
//   sweep [--three] [--verbose]
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cbor.h"
#include "cbor_reference.h"
#include "walk_check.h"

namespace {

// A region of data pages with an inaccessible page before and after.
struct Guarded {
    size_t page = 0;
    uint8_t *data = nullptr;  // first accessible byte
    size_t capacity = 0;      // accessible bytes

    explicit Guarded(size_t bytes) {
        page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t pages = (bytes + page - 1) / page + 1;
        capacity = pages * page;
        void *base = mmap(nullptr, capacity + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            std::perror("mmap");
            std::exit(2);
        }
        uint8_t *b = static_cast<uint8_t *>(base);
        if (mprotect(b, page, PROT_NONE) != 0 || mprotect(b + page + capacity, page, PROT_NONE) != 0) {
            std::perror("mprotect");
            std::exit(2);
        }
        data = b + page;
    }
    // Where an input of n bytes ends exactly at the trailing guard page.
    uint8_t *at_end(size_t n) const { return data + capacity - n; }
    // Where an input starts exactly after the leading guard page.
    uint8_t *at_start() const { return data; }
};

// Diagnostic lines go to an in-memory stream while the sweep runs.
struct CapturedStderr {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = nullptr;
    FILE *saved = nullptr;
    long mark = 0;

    CapturedStderr() {
        saved = stderr;
        open();
    }
    ~CapturedStderr() {
        stderr = saved;
        std::fclose(stream);
        std::free(buffer);
    }
    void open() {
        stream = open_memstream(&buffer, &size);
        if (stream == nullptr) {
            std::perror("open_memstream");
            std::exit(2);
        }
        stderr = stream;
        mark = 0;
    }
    void begin() {
        if (mark > (1 << 20)) {
            std::fclose(stream);
            std::free(buffer);
            buffer = nullptr;
            open();
        }
    }
    // The text written since begin().
    std::string take() {
        std::fflush(stream);
        const long now = std::ftell(stream);
        std::string text(buffer + mark, static_cast<size_t>(now - mark));
        mark = now;
        return text;
    }
};

CapturedStderr *captured = nullptr;
uint64_t inputs = 0, items = 0, failures = 0, lines = 0;

void check_one(const uint8_t *data, size_t size) {
    captured->begin();
    const harness::WalkResult r = harness::walk(data, size);
    const std::string printed = captured->take();
    if (printed != r.expected_lines) {
        const size_t pos = 0;
        WALK_CHECK(false, ("diagnostic output differs: got \"" + printed + "\"").c_str());
    }
    ++inputs;
    items += r.items;
    failures += r.failures;
    lines += r.lines;
}

// Both placements of the same bytes.
void check_placed(const Guarded &g, const uint8_t *bytes, size_t n) {
    uint8_t *end = g.at_end(n);
    if (n) std::memcpy(end, bytes, n);
    check_one(end, n);
    uint8_t *start = g.at_start();
    if (n) std::memcpy(start, bytes, n);
    check_one(start, n);
}

// Every decoder, called directly on a parser with nothing left (cursor on
// the guard page), fails without reading or moving.
void check_exhausted(const Guarded &g) {
    const uint8_t *data = g.at_end(0);
    const size_t size = 0, pos = 0;
    for (const uint8_t *where : {g.at_end(1), g.at_end(0)}) {
        cbor_parser *parser = cbor_parser_create(where, static_cast<size_t>(g.at_end(0) - where));
        WALK_CHECK(parser != nullptr, "cbor_parser_create");
        parser->cursor = g.at_end(0);
        for (int b = 0; b < 256; ++b) {
            cbor_val *v = cbor_val_create();
            v->initial_byte = static_cast<uint8_t>(b);
            v->major_type = b >> 5;
            const int rc = cbor_jump_table[b](parser, v);
            WALK_CHECK(rc == -1, "decoder on an exhausted parser did not fail");
            WALK_CHECK(parser->cursor == g.at_end(0), "decoder on an exhausted parser moved");
            WALK_CHECK(v->value.uint_value == 0, "decoder on an exhausted parser stored a value");
            cbor_val_free(v);
        }
        WALK_CHECK(cbor_next_val(parser) == nullptr, "record from an exhausted parser");
        cbor_parser_free(parser);
    }
    WALK_CHECK(cbor_next_val(nullptr) == nullptr, "cbor_next_val(NULL)");
}

std::vector<uint8_t> hex(const char *text) {
    std::vector<uint8_t> out;
    for (const char *p = text; p[0] && p[1]; p += 2) {
        char pair[3] = {p[0], p[1], 0};
        out.push_back(static_cast<uint8_t>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}

// Valid encodings: the examples of RFC 8949 Appendix A, and heads, strings
// and floats at every width boundary built with the reference encoder.
std::vector<std::vector<uint8_t>> valid_encodings() {
    static const char *const kExamples[] = {
        "00", "01", "0a", "17", "1818", "1819", "1864", "1903e8", "1a000f4240", "1b000000e8d4a51000",
        "1bffffffffffffffff", "c249010000000000000000", "3bffffffffffffffff", "c349010000000000000000", "20", "29",
        "3863", "3903e7", "f90000", "f98000", "f93c00", "fb3ff199999999999a", "f93e00", "f97bff", "fa47c35000",
        "fa7f7fffff", "fb7e37e43c8800759c", "f90001", "f90400", "f9c400", "fbc010666666666666", "f97c00", "f97e00",
        "f9fc00", "fa7f800000", "fa7fc00000", "faff800000", "fb7ff0000000000000", "fb7ff8000000000000",
        "fbfff0000000000000", "f4", "f5", "f6", "f7", "f0", "f818", "f8ff",
        "c074323031332d30332d32315432303a30343a30305a", "c11a514b67b0", "c1fb41d452d9ec200000", "d74401020304",
        "d818456449455446", "d82076687474703a2f2f7777772e6578616d706c652e636f6d", "40", "4401020304", "60", "6161",
        "6449455446", "62225c", "62c3bc", "63e6b0b4", "64f0908591", "80", "83010203", "8301820203820405",
        "98190102030405060708090a0b0c0d0e0f101112131415161718181819", "a0", "a201020304", "a26161016162820203",
        "826161a161626163", "a56161614161626142616361436164614461656145", "5f42010243030405ff",
        "7f657374726561646d696e67ff", "9fff", "9f018202039f0405ffff", "9f01820203820405ff", "83018202039f0405ff",
        "83019f0203ff820405", "9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff",
        "bf61610161629f0203ffff", "826161bf61626163ff", "bf6346756ef563416d7421ff",
        // Tags with their number in following bytes, and a nested mix.
        "d9d9f7a0", "da0001000040", "db000000010000000060", "d8ff9f00ff", "bf00a1f6f7ff",
        // Single-precision NaNs: the canonical one, a signalling one, signed payloads.
        "fa7ffc0000", "fa7f800001", "faffc00001", "fa7fffffff", "f9fe00", "f97c01", "fa00000001", "fa80800000",
    };
    std::vector<std::vector<uint8_t>> out;
    for (const char *e : kExamples) out.push_back(hex(e));
    static const uint64_t kArguments[] = {0, 1, 23, 24, 25, 255, 256, 65535, 65536, 0xFFFFFFFFull,
                                          0x100000000ull, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull,
                                          0xFFFFFFFFFFFFFFFEull, 0xFFFFFFFFFFFFFFFFull};
    for (int major : {0, 1, 4, 5, 6}) {
        for (uint64_t a : kArguments) {
            std::vector<uint8_t> e;
            ref::head(e, major, a);
            out.push_back(e);
        }
    }
    for (int major : {2, 3}) {
        for (size_t n : {0u, 1u, 23u, 24u, 255u, 256u, 1000u, 65535u, 65536u}) {
            std::vector<uint8_t> e;
            ref::head(e, major, n);
            for (size_t i = 0; i < n; ++i) e.push_back(static_cast<uint8_t>(i * 7 + 1));
            out.push_back(e);
        }
    }
    for (double x : {0.0, -0.0, 1.5, 65504.0, 0x1p-24, 0x1p-14, 100000.0, 0x1p-149, 0.1, 1e300, -1e-40}) {
        out.push_back(ref::shortest_float(x));
    }
    // A nested document: a definite map holding arrays, strings and floats.
    std::vector<uint8_t> doc;
    ref::head(doc, 5, 3);
    ref::head(doc, 3, 1), doc.push_back('a');
    ref::head(doc, 4, 3), ref::head(doc, 0, 1000), ref::head(doc, 1, 70000);
    for (uint8_t b : ref::shortest_float(0.1)) doc.push_back(b);
    ref::head(doc, 2, 2), doc.push_back(0), doc.push_back(0xFF);
    doc.push_back(0x9F), doc.push_back(0x7F), ref::head(doc, 3, 2), doc.push_back('h'), doc.push_back('i');
    doc.push_back(0xFF), doc.push_back(0xFF);
    ref::head(doc, 6, 1), ref::head(doc, 0, 0xFFFFFFFFFFull);
    ref::head(doc, 0, 0);
    out.push_back(doc);
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    bool three = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--three") == 0)
            three = true;
        else if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else {
            std::fprintf(stderr, "usage: %s [--three] [--verbose]\n", argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<std::vector<uint8_t>> valid = valid_encodings();
    size_t longest = 3;
    for (const auto &e : valid) longest = e.size() > longest ? e.size() : longest;
    Guarded g(longest);
    CapturedStderr capture;
    captured = &capture;

    check_exhausted(g);

    check_placed(g, nullptr, 0);
    uint8_t in[3];
    for (unsigned a = 0; a < 256; ++a) {
        in[0] = static_cast<uint8_t>(a);
        check_placed(g, in, 1);
    }
    for (unsigned a = 0; a < 65536; ++a) {
        in[0] = static_cast<uint8_t>(a >> 8), in[1] = static_cast<uint8_t>(a);
        check_placed(g, in, 2);
    }
    const uint64_t short_inputs = inputs;
    if (three) {
        for (unsigned a = 0; a < (1u << 24); ++a) {
            in[0] = static_cast<uint8_t>(a >> 16), in[1] = static_cast<uint8_t>(a >> 8), in[2] = static_cast<uint8_t>(a);
            check_placed(g, in, 3);
        }
    }
    const uint64_t exhaustive_inputs = inputs;

    uint64_t prefixes = 0;
    for (const auto &e : valid) {
        // The whole encoding decodes without a single failure.
        {
            uint8_t *where = g.at_end(e.size());
            std::memcpy(where, e.data(), e.size());
            captured->begin();
            const harness::WalkResult r = harness::walk(where, e.size());
            captured->take();
            const uint8_t *data = where;
            const size_t size = e.size(), pos = 0;
            // 0xF8 leaves its following byte to be decoded as an item of its
            // own, which may then fail (F8 18: a uint8 head without its byte).
            WALK_CHECK(r.failures == 0 || e[0] == 0xF8, "a valid encoding failed to decode");
        }
        // Walking a prefix costs its length, so long encodings are cut only
        // near their ends and at a stride in between.
        for (size_t k = 0; k <= e.size(); ++k) {
            if (e.size() > 2048 && k > 40 && k + 40 < e.size() && k % 997 != 0) continue;
            check_placed(g, e.data(), k);
            ++prefixes;
        }
    }

    std::printf("sweep: %" PRIu64 " inputs of 0-2 bytes, %" PRIu64 " of 3 bytes, %" PRIu64
                " prefixes of %zu valid encodings (each in two placements); %" PRIu64 " records, %" PRIu64
                " failed items, %" PRIu64 " diagnostic lines checked\n",
                short_inputs / 2, (exhaustive_inputs - short_inputs) / 2, prefixes, valid.size(), items, failures,
                lines);
    if (verbose) std::printf("sweep: walks %" PRIu64 "\n", inputs);
    std::printf("sweep: OK\n");
    return 0;
}
