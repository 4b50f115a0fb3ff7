#!/usr/bin/env bash
# Builds the hardening programs into OUT from the codec sources.
#   fuzz/build.sh OUT [fuzzers] [sweep] [alloc] [valgrind] [proof]
# fuzzers : fuzz_decoder, fuzz_roundtrip, fuzz_decode_core (clang, -fsanitize=fuzzer,address,undefined)
# sweep   : sweep (ASan + UBSan)
# alloc   : alloc_fail (ASan + UBSan, allocation shim linked with --wrap) and
#           libfailalloc.so (the LD_PRELOAD form of the shim)
# valgrind: sweep_plain, alloc_fail_plain (no sanitizer, for memcheck)
# proof   : float_choice_proof (optimised, no sanitizer; not built by default)
# Commas in these arrays are inside compiler flags, not between elements.
# shellcheck disable=SC2054
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:?usage: build.sh OUT [fuzzers] [sweep] [alloc] [valgrind] [proof]}
shift
[ $# -gt 0 ] || set -- fuzzers sweep alloc valgrind
mkdir -p "$out"

codec=("$root"/codec/*.cpp)
inc=(-I"$root/codec" -I"$root/codec/include" -I"$here")
# clang by preference: GCC 12 cannot keep the codec's constant-expression
# check of the decoder table under its null and nonnull-attribute checks.
if [ -z "${CXX:-}" ]; then
  if command -v clang++ >/dev/null 2>&1; then CXX=clang++ CC=clang; else CXX=g++ CC=gcc; fi
fi
cxx=$CXX
san=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
case $("$cxx" --version) in
  *clang*) ;;
  *) san+=(-fno-sanitize=null,nonnull-attribute,returns-nonnull-attribute) ;;
esac
wrap=(-Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free)

for what in "$@"; do
  case $what in
    fuzzers)
      for target in fuzz_decoder fuzz_roundtrip fuzz_decode_core; do
        clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
          "${inc[@]}" "$here/$target.cpp" "${codec[@]}" -o "$out/$target"
      done ;;
    sweep)
      "$cxx" -std=c++17 -g -O1 "${san[@]}" -Wall -Wextra "${inc[@]}" "$here/sweep.cpp" "${codec[@]}" -o "$out/sweep" ;;
    alloc)
      "${CC:-cc}" -g -O1 "${san[@]}" -Wall -Wextra "${inc[@]}" -DFAILALLOC_WRAP -c "$here/failalloc.c" -o "$out/failalloc_wrap_san.o"
      "$cxx" -std=c++17 -g -O1 "${san[@]}" -Wall -Wextra "${inc[@]}" "$here/alloc_fail.cpp" "${codec[@]}" \
        "$out/failalloc_wrap_san.o" "${wrap[@]}" -o "$out/alloc_fail"
      "${CC:-cc}" -O2 -g -Wall -Wextra -shared -fPIC "$here/failalloc.c" -o "$out/libfailalloc.so" ;;
    valgrind)
      "$cxx" -std=c++17 -gdwarf-4 -O1 -Wall -Wextra "${inc[@]}" "$here/sweep.cpp" "${codec[@]}" -o "$out/sweep_plain"
      "${CC:-cc}" -gdwarf-4 -O1 -Wall -Wextra "${inc[@]}" -DFAILALLOC_WRAP -c "$here/failalloc.c" -o "$out/failalloc_wrap.o"
      "$cxx" -std=c++17 -gdwarf-4 -O1 -Wall -Wextra "${inc[@]}" "$here/alloc_fail.cpp" "${codec[@]}" \
        "$out/failalloc_wrap.o" "${wrap[@]}" -o "$out/alloc_fail_plain" ;;
    proof)
      "$cxx" -std=c++17 -O2 -Wall -Wextra -Werror "${inc[@]}" "$here/float_choice_proof.cpp" "${codec[@]}" \
        -o "$out/float_choice_proof" ;;
    *) echo "build.sh: unknown target $what" >&2; exit 2 ;;
  esac
done
