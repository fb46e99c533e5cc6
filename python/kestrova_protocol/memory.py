"""What this process may still take before the kernel ends it: checked before a step loads anything big."""

from __future__ import annotations

from typing import Optional, Tuple

from .errors import PartyError

MEMINFO = "/proc/meminfo"
CGROUP = "/sys/fs/cgroup"


def _number(path: str) -> Optional[int]:
    try:
        with open(path) as f:
            word = f.read().split()[0]
    except (OSError, IndexError):
        return None
    return None if word == "max" else int(word)


def available() -> Tuple[Optional[int], Optional[int]]:
    """(MemAvailable, what the cgroup's limit still allows), None where there is none to read."""
    mem = None
    try:
        with open(MEMINFO) as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    mem = int(line.split()[1]) * 1024
                    break
    except (OSError, ValueError):
        pass
    limit, current = _number(f"{CGROUP}/memory.max"), _number(f"{CGROUP}/memory.current")
    allowance = None if limit is None or current is None else max(0, limit - current)
    return mem, allowance


def size(n: int) -> str:
    """'1.6 GiB', or '840 MiB' below one GiB."""
    return f"{n / (1 << 30):.1f} GiB" if n >= 1 << 30 else f"{n / (1 << 20):.0f} MiB"


def require(step: str, need: int, what: str) -> None:
    """Refuses in one line, naming both figures, when `need` bytes are more than may be had."""
    mem, allowance = available()
    known = [x for x in (mem, allowance) if x is not None]
    if not known or need <= min(known):
        return
    mem_text = size(mem) if mem is not None else "unknown"
    cgroup_text = f"leaves {size(allowance)}" if allowance is not None else "sets no limit"
    raise PartyError(f"{step}: {what} needs about {size(need)} of memory; MemAvailable is {mem_text} "
                     f"and the cgroup's limit {cgroup_text}")
