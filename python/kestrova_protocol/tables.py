"""Reading rows from CSV (UTF-8, with a header) or Parquet, one batch at a time."""

from __future__ import annotations

import csv
import itertools
import os
from typing import Callable, Iterator, List, Optional, Sequence, TypeVar

from .errors import PartyError
from .files import open_regular

T = TypeVar("T")
PARQUET_MAGIC = b"PAR1"
# Longer lines are refused: a table without line breaks must not grow into all memory.
LINE_LIMIT = 1 << 20


def chunked(items: Iterator[T], size: int) -> Iterator[List[T]]:
    while True:
        chunk = list(itertools.islice(items, size))
        if not chunk:
            return
        yield chunk


def _is_text(kind) -> bool:
    import pyarrow.types as types
    if types.is_dictionary(kind):
        kind = kind.value_type
    return types.is_string(kind) or types.is_large_string(kind) or types.is_null(kind) or \
        getattr(types, "is_string_view", lambda _: False)(kind)


class Table:
    """Rows of selected columns, each passed through `convert`.

    A ValueError from `convert` is reported with the file and line (or row)
    it came from.
    """

    def __init__(self, path: str, columns: Sequence[str]):
        self.path = path
        self.columns = list(columns)
        self.file, self._opened = open_regular(path)
        self.parquet = self.file.read(4) == PARQUET_MAGIC
        self.file.seek(0)
        self.total: Optional[int] = None
        if self.parquet:
            self._open_parquet()
        else:
            self._open_csv()

    def _missing(self, header: Sequence[str]) -> None:
        missing = [c for c in self.columns if c not in header]
        if missing:
            raise PartyError(f"{self.path}: no column {', '.join(map(repr, missing))} (has: {', '.join(header)})")

    def _open_parquet(self) -> None:
        try:
            import pyarrow.parquet as pq
        except ImportError:
            raise PartyError(f"{self.path}: reading Parquet needs pyarrow (pip install 'kestrova[parquet]')") from None
        try:
            self._pq = pq.ParquetFile(self.file)
        except Exception as e:  # pyarrow raises several types for a bad file
            raise PartyError(f"{self.path}: not a readable Parquet file ({e})") from None
        self._missing(self._pq.schema_arrow.names)
        schema = self._pq.schema_arrow
        for name in self.columns:
            kind = schema.field(name).type
            if not _is_text(kind):
                # str() of it would quietly differ from the other side's text: 000123 as 123, 3 as 3.0.
                raise PartyError(f"{self.path}: column {name!r} is of type {kind}, not text; "
                                 "write it as a string column")
        self.total = self._pq.metadata.num_rows

    def rows(self, convert: Callable[[List[str]], T]) -> Iterator[T]:
        source = self._parquet_rows() if self.parquet else self._csv_rows()
        for where, cells in source:
            try:
                yield convert(cells)
            except ValueError as e:
                raise PartyError(f"{self.path}:{where}: {e}") from None

    def batches(self, size: int, convert: Callable[[List[str]], T]) -> Iterator[List[T]]:
        return chunked(self.rows(convert), size)

    def _parquet_rows(self):
        row = 0
        for batch in self._pq.iter_batches(batch_size=4096, columns=self.columns):
            values = [batch.column(c).to_pylist() for c in self.columns]
            for i in range(batch.num_rows):  # also with no column selected, to count rows
                row += 1
                yield f"row {row}", ["" if column[i] is None else str(column[i]) for column in values]

    def verify(self) -> None:
        """Refuses a table that changed while it was read."""
        if self.file.closed:
            return
        now = os.fstat(self.file.fileno())
        self.file.close()
        if (now.st_size, now.st_mtime_ns) != (self._opened.st_size, self._opened.st_mtime_ns):
            raise PartyError(f"{self.path}: changed while being read")

    def _csv_lines(self) -> Iterator[str]:
        left, number = self._opened.st_size, 0  # no further than the file reached when opened
        while left:
            line = self.file.readline(min(LINE_LIMIT + 1, left))
            if not line:
                raise PartyError(f"{self.path}: changed while being read (it became shorter)")
            left -= len(line)
            number += 1
            if len(line) > LINE_LIMIT:
                raise PartyError(f"{self.path}:{number}: a line longer than {LINE_LIMIT:,} bytes")
            try:
                text = line.decode("utf-8")
            except UnicodeDecodeError as e:
                raise PartyError(f"{self.path}:{number}: not UTF-8 (byte {e.start + 1} of the line)") from None
            if number == 1 and text.startswith("\ufeff"):
                text = text[1:]
            yield text

    def _open_csv(self) -> None:
        self._reader = reader = csv.reader(self._csv_lines())
        try:
            header = next(reader, None)
        except csv.Error as e:
            raise PartyError(f"{self.path}:{reader.line_num}: {e}") from None
        if header is None:
            raise PartyError(f"{self.path}: empty file, expected a header line")
        self._missing(header)
        self._header = header

    def _csv_rows(self):
        reader, header = self._reader, self._header
        picks = [header.index(c) for c in self.columns]
        try:
            for record in reader:
                if not record:
                    continue
                if len(record) != len(header):
                    raise PartyError(f"{self.path}:{reader.line_num}: {len(record)} fields, "
                                     f"the header has {len(header)}")
                yield reader.line_num, [record[i] for i in picks]
        except csv.Error as e:
            raise PartyError(f"{self.path}:{reader.line_num}: {e}") from None
