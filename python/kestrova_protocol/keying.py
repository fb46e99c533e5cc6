"""How a table row becomes the key the module stores and looks up, and what a store records of it.

The columns and their rules are named as `column_rules` reads them; `normalise` applies the rules to
a batch's columns in bulk; here the normalised columns become one key per row.
"""

from __future__ import annotations

import array
import unicodedata
from typing import List, Optional, Sequence, Tuple

from .arrow import empty, text_scalar
from .column_rules import (CODES, KEYINGS, MAX_COLUMNS, NAMES, NFC, PLAIN, PROFILES, RULES, RULES_BYTES,  # noqa: F401
                           SEPARATOR, SHOWN_SEPARATOR, Column, describe, pack_rules, parse_columns, reads_tables,
                           rules_problem, unpack_rules)
from .normalise import iban_valid, normalise_column, text  # noqa: F401

# The version of the rules' data tables and of what the rules make of them. A store keyed with rules
# that read a table records it; another version would key the same row differently. 2: under `words`,
# legal forms are dropped wherever they stand.
TABLES_VERSION = 2

INVALID_SEPARATOR = ("a value contains U+001F, the column separator of the default keying "
                     "(use --keying plain to keep such values)")


def tables_version(rules: Optional[Sequence[Sequence[str]]]) -> int:
    """What a store keyed with these rules records: 0 when no rule reads a data table."""
    return TABLES_VERSION if reads_tables(rules) else 0


def join_columns(columns: Sequence) -> "object":
    """Normalised columns joined with U+001F into one key per row (a large_string array).

    A value holding U+001F would make the join ambiguous: ValueError, whose `row` attribute is the
    0-based index of the first such row (the caller names the file and row).
    """
    import pyarrow.compute as pc
    columns = [text(c) for c in columns]
    for column in columns:
        bad = pc.match_substring(column, SEPARATOR)
        if pc.any(bad).as_py():
            error = ValueError(INVALID_SEPARATOR)
            error.row = pc.index(bad, True).as_py()
            raise error
    if len(columns) == 1:
        return columns[0]
    return pc.binary_join_element_wise(*columns, text_scalar(SEPARATOR))


def keys_of(columns: Sequence, rules: Sequence[Sequence[str]]):
    """The keys of a batch's columns (pyarrow arrays) under each column's rules."""
    return join_columns([normalise_column(c, r) for c, r in zip(columns, rules)])


def packed(keys) -> Tuple[bytes, array.array]:
    """A key array as the module takes it: UTF-8 bytes end to end and n + 1 offsets."""
    import pyarrow as pa
    keys = text(keys)
    if keys.offset:
        keys = pa.concat_arrays([empty(pa.large_string()), keys])
    buffers = keys.buffers()
    offsets = array.array("q")
    offsets.frombytes(memoryview(buffers[1])[:8 * (len(keys) + 1)])
    start, end = offsets[0], offsets[-1]
    if start:
        offsets = array.array("q", (o - start for o in offsets))
    data = bytes(memoryview(buffers[2])[start:end]) if buffers[2] is not None else b""
    return data, offsets


def row_key(cells: Sequence[str], keying: str, rules: Optional[Sequence[Sequence[str]]] = None) -> List[str]:
    """The row as the module receives it.

    The module joins a row's strings with nothing between them, so ["ab", "c"]
    and ["a", "bc"] would be one key, and two spellings of "Zoë" two keys. The
    default keying normalises every cell (NFC, then the column's rules) and
    joins them with U+001F into one string; a cell holding U+001F itself
    would make that ambiguous again and is refused.
    """
    if keying == PLAIN:
        return list(cells)
    for cell in cells:
        if SEPARATOR in cell:
            raise ValueError(INVALID_SEPARATOR)
    if rules is None:
        return [SEPARATOR.join(unicodedata.normalize("NFC", cell) for cell in cells)]
    import pyarrow as pa
    return [keys_of([pa.array([cell]) for cell in cells], rules)[0].as_py()]


def shown(key: str) -> str:
    """A key as people read it: the separator as its symbol."""
    return key.replace(SEPARATOR, SHOWN_SEPARATOR)
