#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a host application and a handler module out
# of tree against the installed package, and runs them.
set -euo pipefail
build="$1"; source="$2"; examples="${3:-}"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
cmake --install "$build" --prefix "$dir/prefix" >/dev/null
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S "$source" -B "$dir/host" "${generator[@]}" -DCMAKE_PREFIX_PATH="$dir/prefix" >/dev/null
cmake --build "$dir/host" >/dev/null
[ -x "$dir/prefix/bin/vesk_worker_host" ] || { echo "FAIL: no installed worker program"; exit 1; }
for p in vesk-run vesk-state vesk-admin; do [ -x "$dir/prefix/bin/$p" ] || { echo "FAIL: $p not installed"; exit 1; }; done
VESK_HANDLER_PATH="$dir/host/handlers" "$dir/host/host_app" "$dir/state"
passed=1
# The README's handler module, its CMake lines and its host application, as a user's project that
# copied them would build them against the installed package.
if [ -n "$examples" ]; then
  mkdir -p "$dir/readme"
  cat >"$dir/readme/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(readme_examples LANGUAGES CXX)
add_subdirectory("$examples/word_length" word_length)
add_subdirectory("$examples/host" host)
END
  cmake -S "$dir/readme" -B "$dir/readme-build" "${generator[@]}" -DCMAKE_PREFIX_PATH="$dir/prefix" >/dev/null
  cmake --build "$dir/readme-build" >/dev/null || { echo "FAIL: the README examples do not build against the package"; exit 1; }
  [ -f "$dir/readme-build/handlers/app.words.so" ] || { echo "FAIL: no app.words.so"; exit 1; }
  passed=2
fi
echo "install: $passed passed, 0 failed"
