"""pyarrow, loaded where it is first used: the steps that read no table (keygen, randomize, combine,
decrypt) never load it, which is about a third of a second of each such process's start."""

from __future__ import annotations

import functools
import importlib
import struct
from types import ModuleType
from typing import Any


class _OnFirstUse(ModuleType):
    def __getattr__(self, attr: str) -> Any:
        return getattr(importlib.import_module(self.__name__), attr)


pa: Any = _OnFirstUse("pyarrow")
pc: Any = _OnFirstUse("pyarrow.compute")


# Values made from their bytes, never converted from Python objects: pyarrow's first conversion of a Python
# value imports pandas wherever it is installed, a third of a second of CPU that no step needs.

@functools.lru_cache(maxsize=None)
def text_scalar(value: str, large: bool = True) -> Any:
    """A large_string scalar, or a string one (a few constants, made once each)."""
    data = value.encode("utf-8")
    offsets = struct.pack("<2q" if large else "<2i", 0, len(data))
    kind = pa.large_string() if large else pa.string()
    return pa.Array.from_buffers(kind, 1, [None, pa.py_buffer(offsets), pa.py_buffer(data)])[0]


def int_scalar(value: int) -> Any:
    """An int64 scalar."""
    return pa.Array.from_buffers(pa.int64(), 1, [None, pa.py_buffer(struct.pack("<q", value))])[0]


def empty(kind: Any) -> Any:
    """An array of no values of this type."""
    return pa.nulls(0, kind)
