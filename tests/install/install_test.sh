#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a host application and a handler module out
# of tree against the installed package, and runs them.
set -euo pipefail
build="$1"; source="$2"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
cmake --install "$build" --prefix "$dir/prefix" >/dev/null
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S "$source" -B "$dir/host" "${generator[@]}" -DCMAKE_PREFIX_PATH="$dir/prefix" >/dev/null
cmake --build "$dir/host" >/dev/null
[ -x "$dir/prefix/bin/vesk_worker_host" ] || { echo "FAIL: no installed worker program"; exit 1; }
for p in vesk-run vesk-state vesk-admin; do [ -x "$dir/prefix/bin/$p" ] || { echo "FAIL: $p not installed"; exit 1; }; done
VESK_HANDLER_PATH="$dir/host/handlers" "$dir/host/host_app" "$dir/state"
echo "install: 1 passed, 0 failed"
