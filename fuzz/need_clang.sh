# shellcheck shell=bash
# Sourced by .ci/fuzz and .ci/sanitize, after .ci/lib.sh: clang with its
# sanitizer and libFuzzer runtimes (libclang-rt-N-dev, a package clang only
# recommends), both installed by .ci/setup.
need_clang() {
  local rt
  need "$1" clang clang++
  for rt in libclang_rt.fuzzer-x86_64.a libclang_rt.asan-x86_64.so; do
    [ -f "$(clang -print-file-name="$rt")" ] ||
      missing "$1" "clang has no $rt (libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev)"
  done
}
