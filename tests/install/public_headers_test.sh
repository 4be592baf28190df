#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks its headers: no private header (one in a
# detail/ folder) is installed, and every installed header includes only installed headers.
set -euo pipefail
build="$1"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
cmake --install "$build" --prefix "$dir/prefix" >/dev/null
include="$dir/prefix/include/vesk"
[ -d "$include" ] || { echo "FAIL: no headers installed"; exit 1; }
private=$(cd "$include" && find . -name detail -o -path '*/detail/*' | sort)
[ -z "$private" ] || { echo "FAIL: private headers installed:"; echo "$private"; exit 1; }
checked=0
while IFS=: read -r header included; do
  name=${header#"$include"/}
  case "$included" in
    */detail/*) echo "FAIL: the public header $name includes the private $included"; exit 1 ;;
  esac
  [ -f "$include/$included" ] || { echo "FAIL: the public header $name includes $included, which is not installed"; exit 1; }
  checked=$((checked + 1))
done < <(grep -rE '^#include "[^"]+"' "$include" | sed -E 's/:#include "([^"]+)".*/:\1/')
echo "public headers: $(find "$include" -name '*.hpp' | wc -l) installed, $checked includes checked"
