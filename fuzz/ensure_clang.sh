# Sourced by .ci/fuzz and .ci/sanitize: clang with its sanitizer and
# libFuzzer runtimes (a separate package that clang only recommends).
ensure_clang() {
  if ! command -v clang++ >/dev/null 2>&1; then
    apt-get update -qq && apt-get install -y -qq clang >/dev/null
  fi
  if [ ! -f "$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a)" ] ||
     [ ! -f "$(clang -print-file-name=libclang_rt.asan-x86_64.so)" ]; then
    local major
    major=$(clang -dumpversion | cut -d. -f1)
    apt-get update -qq && apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
  fi
}
