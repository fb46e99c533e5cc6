"""Temporaries: the names outputs are written under before they are committed, and the locks that
say a live run holds one.

A temporary's name is `.NAME.PID-RANDOM.part` (`.old.part` for a replaced
file kept aside, `.state.part` for a checkpoint), NAME shortened and marked
with a hash of itself where the whole would pass NAME_MAX. Who owns one is
said by a lock, not by the PID in its name.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import re
import secrets
from typing import List, Tuple

_NAME_MAX = 255
_LONGEST_TAIL = len("4194304-0123456789abcdef.state-new.part")
_TEMPORARY_TAIL = re.compile(r"\d+-[0-9a-f]+(\.old|\.state|\.state-new)?\.part")


def folder_of(path: str) -> str:
    """The output's folder, symbolic links resolved: where its temporaries go and its commit links into."""
    return os.path.realpath(os.path.dirname(os.path.abspath(path)))


def _prefix(path: str) -> str:
    name = os.path.basename(path)
    prefix = f".{name}."
    room = _NAME_MAX - _LONGEST_TAIL
    if len(os.fsencode(prefix)) <= room:
        return prefix
    mark = hashlib.sha256(os.fsencode(name)).hexdigest()[:12]
    kept = os.fsencode(name)[:room - len(mark) - 3]
    return f".{os.fsdecode(kept)}~{mark}."


def temporaries(path: str) -> Tuple[str, str]:
    return folder_of(path), _prefix(path)


def lock_free(fd: int) -> bool:
    """Takes the lock if no live run holds it (kept until fd is closed)."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


def owned_by_live_run(temporary: str) -> bool:
    """Whether a live run (in any process or PID namespace on this machine) holds this temporary."""
    try:
        fd = os.open(temporary, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        return not lock_free(fd)
    finally:
        os.close(fd)


def remove_stale(path: str) -> List[str]:
    """Removes temporaries of `path` that no live run holds; returns those it cannot remove."""
    folder, prefix = temporaries(path)
    unclear = []
    try:
        names = os.listdir(folder)
    except OSError:
        return unclear
    for name in names:
        if not (name.startswith(prefix) and _TEMPORARY_TAIL.fullmatch(name[len(prefix):])):
            continue
        where = os.path.join(folder, name)
        try:
            fd = os.open(where, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
        except FileNotFoundError:
            continue
        except OSError:
            unclear.append(where)
            continue
        try:
            if not lock_free(fd):
                continue  # a live run's
            try:
                os.unlink(where)
            except FileNotFoundError:
                pass
            except OSError:
                unclear.append(where)
        finally:
            os.close(fd)
    return unclear


def fresh_name(path: str, suffix: str = ".part") -> str:
    """A new temporary's name for the output `path`, in its folder, marked with this process."""
    folder, prefix = temporaries(path)
    return os.path.join(folder, f"{prefix}{os.getpid()}-{secrets.token_hex(4)}{suffix}")
