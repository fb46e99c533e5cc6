"""Memory: what a step may still take before the kernel ends it (checked before it loads anything big), and
what an out-of-memory failure says."""

from __future__ import annotations

import resource
from typing import Optional, Tuple

from .errors import PartyError

MEMINFO = "/proc/meminfo"
CGROUP = "/sys/fs/cgroup"
_GB = 1e9


def _number(path: str) -> Optional[int]:
    try:
        with open(path) as f:
            word = f.read().split()[0]
    except (OSError, IndexError):
        return None
    return None if word == "max" else int(word)


def _field(path: str, field: str) -> Optional[int]:
    """A 'Field: N kB' figure of a /proc file, in bytes."""
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return None


def available() -> Tuple[Optional[int], Optional[int]]:
    """(MemAvailable, what the cgroup's limit still allows), None where there is none to read."""
    limit, current = _number(f"{CGROUP}/memory.max"), _number(f"{CGROUP}/memory.current")
    allowance = None if limit is None or current is None else max(0, limit - current)
    return _field(MEMINFO, "MemAvailable"), allowance


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


def _may_have() -> int:
    """The memory this process may have: its address-space limit where one is set, else what is free
    plus what it holds."""
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit != resource.RLIM_INFINITY:
        return limit
    return (_field(MEMINFO, "MemAvailable") or 0) + (_field("/proc/self/status", "VmRSS") or 0)


def _needed(extra: int = 0) -> int:
    """What this process held at its peak, or holds now and asked `extra` more, whichever is more."""
    status = "/proc/self/status"
    return max(_field(status, "VmPeak") or 0, (_field(status, "VmSize") or 0) + extra)


def out_of_memory(extra: int = 0) -> str:
    return f"out of memory (needs about {_needed(extra) / _GB:.1f} GB, {_may_have() / _GB:.1f} available)"
