#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks its headers: everything sits under the one
# prefix vesk/, in the build tree as installed; no private header is installed, neither one in a
# detail/ folder nor one outside it (named *detail*, or holding only detail namespaces that no
# public header needs); and every installed header includes only installed, public headers of ours.
set -euo pipefail
build="$1"
dir="$(mktemp -d)"; trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# The build tree's include folders, like the installed one, hold vesk/ and nothing else.
for root in "$build"/include/*/; do
  others=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name vesk)
  [ -z "$others" ] || fail "the build tree's include folder $root holds more than vesk/: $others"
done

cmake --install "$build" --prefix "$dir/prefix" >/dev/null
top="$dir/prefix/include"
include="$top/vesk"
[ -d "$include" ] || fail "no headers installed"
others=$(cd "$top" && find . -mindepth 1 -maxdepth 1 ! -name vesk)
[ -z "$others" ] || fail "headers installed beside vesk/: $others"

private=$(cd "$include" && find . -name detail -o -path '*/detail/*' -o -name '*detail*' | sort)
[ -z "$private" ] || fail "private headers installed:"$'\n'"$private"
checked=0
includes=""
while IFS=: read -r header included; do
  name=${header#"$top"/}
  case "$included" in
    *detail*) fail "the public header $name includes the private $included" ;;
  esac
  [ -f "$top/$included" ] || fail "the public header $name includes $included, which is not installed"
  checked=$((checked + 1))
  includes+="$included"$'\n'
done < <(grep -rE '^#include ("[^"]+"|<vesk/[^>]+>)' "$include" | sed -E 's/:#include ["<]([^">]+)[">].*/:\1/')
# A header whose every namespace is a detail one holds internals: installed only because a public
# header needs it; one that none includes is a private header outside detail/.
while IFS= read -r header; do
  namespaces=$(grep -E '^namespace [A-Za-z_:]+ \{' "$header" || true)
  [ -z "$namespaces" ] || grep -qv detail <<<"$namespaces" || grep -qxF "${header#"$top"/}" <<<"$includes" ||
    fail "${header#"$top"/} declares nothing outside a detail namespace and no public header includes it: a private header outside detail/"
done < <(find "$include" -name '*.hpp')
echo "public headers: $(find "$include" -name '*.hpp' | wc -l) installed, $checked includes checked"
