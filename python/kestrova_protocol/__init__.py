"""The three parties of the matching protocol, as steps over files and tables.

Each function is one step one party runs; `kestrova-party` (or
`python -m kestrova_protocol`) is a thin command line over them. Tables may
be files (CSV, Parquet; paths or fsspec URLs) or in-memory Arrow data
(pyarrow, pandas, Polars, DuckDB); `finish` returns the flags as a pyarrow
Table. Steps report through the `kestrova_protocol` logger and print nothing.
"""

from .errors import PartyError
from .keying import NFC, PLAIN, Column, row_key
from .party import Options, Summary, build_store, combine, decrypt, finish, inspect, keygen, query, randomize
from .tables import TableSource

__all__ = ["PartyError", "Options", "Summary", "TableSource", "NFC", "PLAIN", "Column", "row_key", "keygen",
           "build_store", "query", "randomize", "combine", "decrypt", "finish", "inspect"]
