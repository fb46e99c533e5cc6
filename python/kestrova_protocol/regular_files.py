"""Regular files only: a named pipe, a device or a folder is refused at once, and a file is known by
its device and inode, whatever name it is reached by."""

from __future__ import annotations

import os
import stat
from typing import BinaryIO, List, Optional, Sequence, Tuple

from .errors import PartyError


def inode_of(st: os.stat_result) -> Tuple[int, int]:
    return st.st_dev, st.st_ino


def not_regular(st: os.stat_result) -> str:
    if stat.S_ISDIR(st.st_mode):
        return "is a directory, expected a file"
    if stat.S_ISREG(st.st_mode):
        return ""
    what = ("a named pipe" if stat.S_ISFIFO(st.st_mode) else "a socket" if stat.S_ISSOCK(st.st_mode)
            else "a device" if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode) else "not a regular file")
    return f"is {what}, expected a regular file"


def open_regular(path: str, buffering: int = -1) -> Tuple[BinaryIO, os.stat_result]:
    """Opens a regular file (or a symlink to one) for reading; anything else is refused at once.

    Opened without blocking, so that a named pipe cannot hold the step for ever.
    """
    if not path:
        raise PartyError("an empty file name")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        raise PartyError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise PartyError(f"{path}: is a directory, expected a file") from None
    except OSError as e:
        raise PartyError(f"{path}: cannot read ({e.strerror})") from None
    st = os.fstat(fd)
    why = not_regular(st)
    if why:
        os.close(fd)
        raise PartyError(f"{path}: {why}")
    os.set_blocking(fd, True)
    return open(fd, "rb", buffering=buffering), st


def input_identities(paths: Sequence[Optional[str]]) -> List[Tuple[str, Tuple[int, int]]]:
    """(path, device and inode) of each input that exists, to keep outputs off them."""
    found = []
    for path in paths:
        if path:
            try:
                found.append((path, inode_of(os.stat(path))))
            except OSError:
                pass  # reported when the input is opened
    return found
