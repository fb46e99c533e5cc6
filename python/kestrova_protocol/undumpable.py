"""No core dump while a secret key is held.

The whole process is made undumpable (`prctl(PR_SET_DUMPABLE, 0)`) and its
core limit set to 0, rather than marking the secret's pages MADV_DONTDUMP:
a key passes through pages no one can list (the interpreter's buffers, the
engine's per-thread copies, registers saved on a worker's stack), and one
missed page is a key on disk. Undumpable also closes /proc/PID/mem and
ptrace to other processes of the same user. Both are restored when the last
holder lets go, after the key is wiped.
"""

from __future__ import annotations

import contextlib
import ctypes
import resource
import threading
from typing import Iterator

_PR_GET_DUMPABLE = 3
_PR_SET_DUMPABLE = 4

_lock = threading.Lock()
_holders = 0
_saved = None  # (dumpable, core limit) before the first holder


def _prctl(option: int, value: int = 0) -> int:
    libc = ctypes.CDLL(None, use_errno=True)
    result = libc.prctl(ctypes.c_int(option), ctypes.c_ulong(value), ctypes.c_ulong(0), ctypes.c_ulong(0),
                        ctypes.c_ulong(0))
    if result < 0:
        raise OSError(ctypes.get_errno(), "prctl failed")
    return result


def dumpable() -> bool:
    return _prctl(_PR_GET_DUMPABLE) != 0


def forbid() -> None:
    """For good: a process that keeps a secret until it ends (a Dask worker)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_CORE)
    resource.setrlimit(resource.RLIMIT_CORE, (0, hard))
    _prctl(_PR_SET_DUMPABLE, 0)


@contextlib.contextmanager
def secret_held() -> Iterator[None]:
    """No core dump from entry until exit (nested holders: until the last exits)."""
    global _holders, _saved
    with _lock:
        if _holders == 0:
            _saved = (_prctl(_PR_GET_DUMPABLE), resource.getrlimit(resource.RLIMIT_CORE))
            forbid()
        _holders += 1
    try:
        yield
    finally:
        with _lock:
            _holders -= 1
            if _holders == 0:
                was_dumpable, core = _saved
                resource.setrlimit(resource.RLIMIT_CORE, core)
                if was_dumpable:
                    _prctl(_PR_SET_DUMPABLE, 1)  # 2 (root-only dumps) cannot be set back
