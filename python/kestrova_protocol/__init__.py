"""The three parties of the matching protocol, as steps over files and tables.

Each function is one step one party runs; `kestrova-party` (or
`python -m kestrova_protocol`) is a thin command line over them. Tables may
be files (CSV, Parquet; paths or fsspec URLs) or in-memory Arrow data
(pyarrow, pandas, Polars, DuckDB); `finish` returns the flags as a pyarrow
Table. Steps report through the `kestrova_protocol` logger and print nothing.
"""

import importlib
from typing import TYPE_CHECKING, Any

from .errors import PartyError

if TYPE_CHECKING:
    from .keying import NFC, PLAIN, Column, row_key
    from .party import Options, Summary, build_store, combine, decrypt, finish, inspect, keygen, query, randomize
    from .table_sources import TableSource

__all__ = ["PartyError", "Options", "Summary", "TableSource", "NFC", "PLAIN", "Column", "row_key", "keygen",
           "build_store", "query", "randomize", "combine", "decrypt", "finish", "inspect"]

# Loaded on first use: the steps need pyarrow, the engine alone (`kestrova_protocol._engine`) does not.
_HOME = {**dict.fromkeys(("NFC", "PLAIN", "Column", "row_key"), "keying"), "TableSource": "table_sources",
         **dict.fromkeys(("Options", "Summary", "build_store", "combine", "decrypt", "finish", "inspect", "keygen",
                          "query", "randomize"), "party")}


def __getattr__(name: str) -> Any:
    home = _HOME.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f".{home}", __name__), name)
