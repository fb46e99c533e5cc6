"""The three parties of the matching protocol, as steps over files.

Each function is one step one party runs; `kestrova-party` (or
`python -m kestrova_protocol`) is a thin command line over them.
"""

from .errors import PartyError
from .keying import NFC, PLAIN, Column, row_key
from .party import Options, build_store, combine, decrypt, finish, inspect, keygen, query, randomize

__all__ = ["PartyError", "Options", "NFC", "PLAIN", "Column", "row_key", "keygen", "build_store", "query",
           "randomize", "combine", "decrypt", "finish", "inspect"]
