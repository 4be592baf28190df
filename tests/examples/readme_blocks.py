#!/usr/bin/env python3
"""Every fenced code block of the README is a file of the tree, kept word for word.

A block is preceded by a line "<!-- file: PATH -->" naming its file (relative to the tree). The
check fails for a block without one, for a missing file, and for a block that differs from its
file, and prints the first differing line of each.
"""
import pathlib
import re
import sys

readme = pathlib.Path(sys.argv[1])
root = readme.parent
lines = readme.read_text().splitlines()
failures = []
blocks = 0
i = 0
marker = re.compile(r"<!--\s*file:\s*(\S+)\s*-->")
while i < len(lines):
    fence = re.match(r"^(\s*)(```+)\w*\s*$", lines[i])
    if not fence:
        i += 1
        continue
    indent, ticks = fence.group(1), fence.group(2)
    start = i
    j = i + 1
    while j < len(lines) and lines[j].strip() != ticks:
        j += 1
    body = [line[len(indent):] if line.startswith(indent) else line.lstrip() for line in lines[start + 1:j]]
    blocks += 1
    k = start - 1
    while k >= 0 and not lines[k].strip():
        k -= 1
    found = marker.search(lines[k]) if k >= 0 else None
    if not found:
        failures.append(f"README.md:{start + 1}: code block without a '<!-- file: PATH -->' line before it")
    else:
        path = root / found.group(1)
        if not path.is_file():
            failures.append(f"README.md:{start + 1}: {found.group(1)} does not exist")
        else:
            want = path.read_text().splitlines()
            if body != want:
                n = next((x for x in range(max(len(body), len(want)))
                          if x >= len(body) or x >= len(want) or body[x] != want[x]), 0)
                failures.append(f"README.md:{start + 2 + n}: block differs from {found.group(1)}:{n + 1}: "
                                f"README {body[n] if n < len(body) else '<end>'!r}, "
                                f"file {want[n] if n < len(want) else '<end>'!r}")
    i = j + 1
for failure in failures:
    print("FAIL:", failure)
if not failures:
    print(f"readme: {blocks} code blocks, each the same as its file")
sys.exit(1 if failures else 0)
