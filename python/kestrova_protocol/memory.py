"""What an out-of-memory failure says: about how much was needed and how much there is."""

from __future__ import annotations

import resource

_GB = 1e9


def _status(field: str) -> int:
    """A figure of /proc/self/status in bytes (0 where there is none)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return 0


def _meminfo(field: str) -> int:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return 0


def available() -> int:
    """The memory this process may have: its address-space limit where one is set, else what is free
    plus what it holds."""
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit != resource.RLIM_INFINITY:
        return limit
    return _meminfo("MemAvailable") + _status("VmRSS")


def needed(extra: int = 0) -> int:
    """What this process held at its peak, or holds now and asked `extra` more, whichever is more."""
    return max(_status("VmPeak"), _status("VmSize") + extra)


def out_of_memory(extra: int = 0) -> str:
    return f"out of memory (needs about {needed(extra) / _GB:.1f} GB, {available() / _GB:.1f} available)"
