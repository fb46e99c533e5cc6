"""The rows of a bank's table that the column rules merge into one key, counted and listed."""

from __future__ import annotations

import csv
import io
from typing import TYPE_CHECKING, Callable, Iterator, List, Optional, Tuple

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.compute as pc
else:
    from .arrow import pa, pc

from . import engine
from . import keying as rowkey  # how rows become keys (the name `keying` is the steps' parameter)


class Merges:
    """The table's distinct rows that end on one key, and the rows left out for an invalid IBAN.

    A row costs 16 bytes here, a hash of its key and one of its values, so that a table larger than
    memory can be counted; the rows are listed (with their text) only when asked, from a second
    reading of the table or, for a table that can be read once only, from text held all along.
    """

    def __init__(self, hold_text: bool) -> None:
        self.hashes: List[pa.Table] = []  # key, values: hashes of the rows keyed into the store
        self.invalid: List[pa.Table] = []  # row, key, values of the rows left out
        self.text: Optional[List[Tuple[int, List[pa.Array], pa.Array, Optional[pa.Array]]]] = \
            [] if hold_text else None
        self.shared: Optional[pa.Array] = None

    def add(self, start: int, columns: List[pa.Array], keys: pa.Array, invalid: Optional[pa.Array]) -> None:
        hashes = pa.table({"key": engine.row_hashes(keys), "values": engine.row_hashes(_raw(columns))})
        if invalid is not None and invalid.true_count:
            self.invalid.append(_rows(start, columns, keys).filter(invalid))
            hashes = hashes.filter(pc.invert(invalid))
        self.hashes.append(hashes)
        if self.text is not None:
            self.text.append((start, columns, keys, invalid))

    def finish(self) -> int:
        """Rows merged: the distinct values of the keys that more than one distinct value ends on.

        Counted on 64-bit hashes: two different keys or values would have to collide to miscount,
        about one chance in 10^12 at 10^7 rows; the listing compares the text itself.
        """
        if not self.hashes:
            self.shared = pa.array([], pa.uint64())
            return 0
        rows = pa.concat_tables(self.hashes)
        self.hashes = []
        groups = rows.group_by("key").aggregate([("values", "count_distinct")])
        del rows
        shared = groups.filter(pc.greater(groups.column("values_count_distinct"), 1))
        self.shared = shared.column("key").combine_chunks()
        return int(pc.sum(shared.column("values_count_distinct")).as_py() or 0)

    def listed(self, again: Optional[Callable[[], Iterator[Tuple[int, List[pa.Array], pa.Array,
                                                                      Optional[pa.Array]]]]]) -> pa.Table:
        """(row, key, values, what) of the merged rows and those left out; `again` reads the table once more
        (its batches as `add` took them), unless the text was held."""
        assert self.shared is not None
        parts: List[pa.Table] = []
        if len(self.shared):
            for start, columns, keys, invalid in (self.text if self.text is not None else again()):
                hit = pc.is_in(engine.row_hashes(keys), self.shared)
                if invalid is not None:
                    hit = pc.and_(hit, pc.invert(invalid))
                if hit.true_count:
                    parts.append(_rows(start, columns, keys).filter(hit))
        self.text = None
        candidates = pa.concat_tables(parts) if parts else _rows(0, [pa.array([], pa.string())],
                                                                  pa.array([], pa.string()))
        groups = candidates.group_by("key").aggregate([("values", "count_distinct")])
        keys = groups.filter(pc.greater(groups.column("values_count_distinct"), 1)).column("key")
        merged = candidates.filter(pc.is_in(candidates.column("key"), keys))
        left_out = pa.concat_tables(self.invalid) if self.invalid else merged.slice(0, 0)
        rows = pa.concat_tables([left_out.append_column("what", pa.repeat("invalid IBAN, left out", len(left_out))),
                                 merged.append_column("what", pa.repeat("merged", len(merged)))])
        return rows.sort_by([("what", "ascending"), ("key", "ascending"), ("row", "ascending")])


def _raw(columns: List[pa.Array]) -> pa.Array:
    """A row's values as written, joined by the separator."""
    wide = [c.cast(pa.large_string()) for c in columns]
    return pc.binary_join_element_wise(*wide, pa.scalar(rowkey.SEPARATOR, pa.large_string())) \
        if len(wide) > 1 else wide[0]


def _rows(start: int, columns: List[pa.Array], keys: pa.Array) -> pa.Table:
    n = len(keys)
    return pa.table({"row": pa.array(range(start + 1, start + n + 1), pa.int64()),
                     "key": keys.cast(pa.large_string()), "values": _raw(columns)})


def merged_csv(listed: Optional[pa.Table]) -> bytes:
    lines = io.StringIO()
    writer = csv.writer(lines, lineterminator="\n")
    writer.writerow(["row", "key", "values", "what"])
    if listed is not None:
        for row, key, values, what in zip(*(listed.column(c).to_pylist() for c in listed.column_names)):
            writer.writerow([row, rowkey.shown(key), rowkey.shown(values), what])
    return lines.getvalue().encode("utf-8")
