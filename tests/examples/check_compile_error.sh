#!/usr/bin/env bash
# Builds a handler whose state type has no conversion and expects exactly one error: the
# static_assert that says what to do.
set -uo pipefail
build="$1"; target="$2"
output="$(cmake --build "$build" --target "$target" 2>&1)" && { echo "FAIL: $target compiled" >&2; exit 1; }
errors=$(grep -c "error:" <<<"$output")
grep -q "static assertion failed: The state type T of StreamHandler<T>" <<<"$output" &&
  grep -q "declare VESK_RECORD(Type, field1, field2, ...)" <<<"$output" &&
  grep -q "In instantiation of .class vesk::StreamHandler<app::Stats>." <<<"$output" &&
  [ "$errors" -eq 1 ] || { echo "FAIL: expected one static_assert error naming the type, got $errors errors:" >&2; echo "$output" >&2; exit 1; }
echo "compile error: one static_assert, as expected"
