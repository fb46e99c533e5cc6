"""pyarrow, loaded where it is first used: the steps that read no table (keygen, randomize, combine,
decrypt) never load it, which is about a third of a second of each such process's start."""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any


class _OnFirstUse(ModuleType):
    def __getattr__(self, attr: str) -> Any:
        return getattr(importlib.import_module(self.__name__), attr)


pa: Any = _OnFirstUse("pyarrow")
pc: Any = _OnFirstUse("pyarrow.compute")
