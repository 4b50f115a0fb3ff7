// libFuzzer target: walks the input with cbor_next_val to its end, checking
// every step against the reference model (see walk_check.h).  Built with
// -fsanitize=fuzzer,address,undefined; libFuzzer hands over an exactly sized
// heap copy, so ASan catches any read past either end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cbor.h"
#include "walk_check.h"

namespace {

// The diagnostic lines go to memory during a walk, so they can be compared
// with the ones the input's unimplemented items require.
char *captured = nullptr;
size_t captured_size = 0;
FILE *capture = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (capture == nullptr) {
        capture = open_memstream(&captured, &captured_size);
        if (capture == nullptr) std::abort();
    }
    std::fseek(capture, 0, SEEK_SET);
    FILE *saved = stderr;
    stderr = capture;
    const harness::WalkResult r = harness::walk(data, size);
    std::fflush(capture);
    const long written = std::ftell(capture);
    stderr = saved;
    const std::string printed(captured, static_cast<size_t>(written));
    const size_t pos = 0;
    WALK_CHECK(printed == r.expected_lines, "diagnostic output differs from the unimplemented items");
    return 0;
}
