#!/usr/bin/env python3
"""Fails when an include runs back up the layers, or reaches a part's private header.

The parts of src/ (and the store) from the bottom up; a file may include its
own part and the parts below it, nothing above. A private header may not reach
another part even through the headers it includes.
"""
import re
import sys
from pathlib import Path

LAYERS = ["ct", "panic", "random", "field", "group", "backend", "curve", "keys", "point_conversion",
          "worker_pool", "wide_ciphertexts", "okvs", "operations", "engine", "binding", "engine_binding"]
# Headers only some parts may include: the formulas' intermediate forms stay with the arithmetic.
PRIVATE = {"group/point_internal.h": {"group", "backend"}}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([^"]+)"', re.MULTILINE)


def part_of(path: Path, root: Path):
    rel = path.relative_to(root).parts
    if rel[0] == "src":
        return rel[1]
    return None  # tests and benchmarks may reach anything


def reached(name: str, includes: dict, seen: set) -> set:
    for child in includes.get(name, ()):
        if child not in seen:
            seen.add(child)
            reached(child, includes, seen)
    return seen


def main(root: Path) -> int:
    problems = []
    files = [p for d in ("src", "tests", "bench") for p in (root / d).rglob("*")
             if p.suffix in (".h", ".cpp", ".inc")]
    includes = {}  # "part/header" (or a file's own path) -> the project headers it includes
    for path in files:
        found = [f"{t}/{h}" for t, h in INCLUDE.findall(path.read_text(encoding="utf-8")) if t in LAYERS]
        rel = path.relative_to(root).parts
        own = "/".join(rel[-2:]) if rel[0] == "src" else str(path)
        includes[own] = found
        includes[str(path)] = found
    for path in files:
        part = part_of(path, root)
        if part is None:
            continue
        for name in includes[str(path)]:
            target = name.split("/")[0]
            if part in LAYERS and LAYERS.index(target) > LAYERS.index(part):
                problems.append(f"{path.relative_to(root)}: {part} includes {name}, a layer above it")
        for name, parts in PRIVATE.items():
            if part not in parts and name in reached(str(path), includes, set()):
                problems.append(f"{path.relative_to(root)}: reaches {name}, private to {', '.join(sorted(parts))}")
    for line in problems:
        print(line)
    print(f"{len(files)} files, {len(problems)} include problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[2]))
