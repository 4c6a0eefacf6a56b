#!/usr/bin/env bash
# libzentri must export exactly its interface: the C functions of zentri.h and SendRequest under
# its C++ name, nothing else (no C++ runtime, libusb wrappers or helpers).
set -euo pipefail
library=$1
expected=$2
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if ! diff -u <(sort "$expected") <(echo "$actual"); then
  echo "exported symbols of $library differ from $expected" >&2
  exit 1
fi
echo "$(echo "$actual" | wc -l) symbols, as expected"
