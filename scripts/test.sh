#!/usr/bin/env bash
# Every test: formatting, the C++ unit tests (plain, AddressSanitizer + UBSan, and
# ThreadSanitizer for the concurrent code), and the script-level tests against the built addon.
# Runs every stage and fails at the end if any stage failed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)

bash scripts/bootstrap.sh || exit 1

failed=()
stage() {
  local name=$1
  shift
  echo "=== $name"
  if ! "$@"; then
    failed+=("$name")
  fi
}

format_check() {
  local files
  mapfile -t files < <(find addon libzentri cnokhwa dinolite worker tests bench \
    -type f \( -name '*.cc' -o -name '*.cpp' -o -name '*.c' -o -name '*.h' \) 2>/dev/null)
  clang-format --dry-run --Werror "${files[@]}"
}

sanitized_build() {
  local dir=$1 sanitizer=$2 target=$3
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DZENTRI_SANITIZE="$sanitizer" >/dev/null &&
    cmake --build "$dir" -j"$jobs" --target "$target"
}

stage "format" format_check
stage "unit tests" ctest --test-dir build --output-on-failure -j"$jobs"
stage "script tests" node --test tests/js/*.test.js
stage "demo" bash scripts/demo.sh
stage "asan+ubsan build" sanitized_build build-asan address all
stage "unit tests (asan+ubsan)" env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit
stage "tsan build" sanitized_build build-tsan thread tsan-tests
stage "unit tests (tsan)" env TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L tsan

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test stages passed"
