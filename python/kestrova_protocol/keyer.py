"""A table's text columns to the engine's key bytes, in bulk: as `keying.row_key` does per row."""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Iterator, List, Optional, Sequence, Tuple, Union

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.compute as pc
else:
    from .arrow import pa, pc

from .arrow import text_scalar
from . import engine
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)
from .errors import PartyError
from .header import Header
from .tables import Table


def keyer(table: Table, keying: str, rules: Optional[Sequence[Sequence[str]]]
          ) -> Callable[[int, int, List[pa.Array]], Tuple[pa.Array, Optional[pa.Array]]]:
    """Text columns to one key column, in bulk: as `keying.row_key` does per row; and which rows hold an
    invalid IBAN (None when no column has the iban rule). Called with the 0-based row of the batch's first
    row, which a refusal names, its row count and its columns; batches may be keyed on several threads."""

    def keys(start: int, n: int, columns: List[pa.Array]) -> Tuple[pa.Array, Optional[pa.Array]]:
        if keying == rowkey.PLAIN:
            if len(columns) == 1:
                return columns[0], None
            return pc.binary_join_element_wise(*columns, text_scalar("", large=False)), None
        column_rules = rules or [()] * len(columns)
        normal = [rowkey.normalise_column(c, r) for c, r in zip(columns, column_rules)]
        invalid = None
        for column, these in zip(normal, column_rules):
            if "iban" in these:
                bad = pc.invert(rowkey.iban_valid(column))
                invalid = bad if invalid is None else pc.or_(invalid, bad)
        try:
            return rowkey.join_columns(normal), invalid
        except ValueError as e:
            first = min(i for i in (pc.index(pc.match_substring(c, rowkey.SEPARATOR), True).as_py()
                                     for c in columns) if i >= 0)
            raise PartyError(f"{table.where(start + first + 1)}: {e}") from None
    return keys


def numbered(table: Table) -> Iterator[Tuple[int, int, List[pa.Array]]]:
    """The table's batches as (0-based first row, rows, columns), for keying away from the reading."""
    start = 0
    for n, cells in table.batches():
        yield start, n, cells
        start += n


def store_rules(path: str, header: Header, columns: Sequence[rowkey.Column], keying: str, option: str):
    """The normalisations the store was keyed with, applied to this side's columns."""
    given = rules_of(columns, keying)
    if keying == rowkey.PLAIN:
        return None
    recorded = rowkey.unpack_rules(header.rules)
    if recorded is None:  # a bare store, or one that recorded nothing: NFC alone unless told otherwise
        return given if any(given) else None
    if len(recorded) != len(columns):
        raise PartyError(f"{path}: built over {len(recorded)} columns, {option} names {len(columns)}")
    if any(given) and [set(r) for r in given] != [set(r) for r in recorded]:
        raise PartyError(f"{path}: its columns were normalised as {rowkey.describe(recorded)}; "
                         f"{option} asks for {rowkey.describe(given)}")
    return recorded


def contiguous(values: pa.ChunkedArray) -> pa.Array:
    return values.chunk(0) if values.num_chunks == 1 else pa.concat_arrays(values.chunks)


def rebatched(pieces: Iterator[Tuple[pa.Array, ...]], size: int) -> Iterator[Tuple[pa.Array, ...]]:
    """Aligned columns in batches of exactly `size` rows (the last one shorter)."""
    held: List[Tuple[pa.Array, ...]] = []
    count = 0
    for piece in pieces:
        if not len(piece[0]):
            continue
        held.append(piece)
        count += len(piece[0])
        while count >= size:
            columns = [pa.chunked_array([h[i] for h in held], held[0][i].type) for i in range(len(held[0]))]
            yield tuple(contiguous(c.slice(0, size)) for c in columns)
            held = list(zip(*(c.slice(size).chunks for c in columns)))
            count -= size
    if count:
        columns = [pa.chunked_array([h[i] for h in held], held[0][i].type) for i in range(len(held[0]))]
        yield tuple(contiguous(c) for c in columns)


def portable(keys: engine.Keys) -> engine.Keys:
    """Key bytes a Dask worker can be sent (views of Arrow buffers cannot be pickled)."""
    data, offsets = keys
    return bytes(data), offsets


def as_columns(columns: Sequence[Union[str, rowkey.Column]]) -> List[rowkey.Column]:
    return [c if isinstance(c, rowkey.Column) else rowkey.Column(c) for c in columns]


def rules_of(columns: Sequence[rowkey.Column], keying: str) -> Optional[List[Tuple[str, ...]]]:
    if keying == rowkey.PLAIN:
        if any(c.rules for c in columns):
            raise PartyError("--keying plain keeps the strings as they are: no column normalisations")
        return None
    return [c.rules for c in columns]
