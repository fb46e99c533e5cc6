"""A CSV file's bytes as Arrow reads them, and its lines looked at again: where a fault is, and what.

Arrow's reader says little of a fault and nothing of its line; the table's
file is read once more, line by line, only to name them.
"""

from __future__ import annotations

import csv
from typing import TYPE_CHECKING, Any, BinaryIO, Iterator, List

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.compute as pc
else:
    from .arrow import pa, pc

from .regular_files import open_regular

# Longer lines are refused: a table without line breaks must not grow into all memory.
LINE_LIMIT = 1 << 20


class Counted:
    """The file Arrow reads, no further than its size when opened, counting bytes and quotes, and
    ending early at a line longer than LINE_LIMIT (Arrow's own bound is looser and inexact).

    An odd number of quotes is the one sign of a quote left open, after which
    Arrow takes the rest of the file as one value."""

    def __init__(self, raw: BinaryIO, size: int):
        self.raw, self.left = raw, size
        self.read_bytes = self.quotes = 0
        self.line = 0  # bytes of the line not yet ended
        self.too_long = False
        self.closed = False

    def read(self, n: int = -1) -> bytes:
        if self.closed:  # the reader was left early: a read ahead finds the end
            return b""
        n = self.left if n < 0 or n > self.left else n
        data = self.raw.read(n) if n and not self.too_long else b""
        self.left -= len(data)
        self.read_bytes += len(data)
        if b'"' in data:  # a search is six times quicker than a count, and most tables hold no quote
            self.quotes += data.count(b'"')
        if data:
            first = data.find(b"\n")
            if first < 0:
                self.line += len(data)
                longest = self.line
            else:
                longest = self.line + first
                if len(data) > LINE_LIMIT:
                    # Only a piece longer than the limit can hold a whole line over it between two breaks.
                    lengths = pc.binary_length(pc.split_pattern(pa.scalar(data, pa.binary()), b"\n").values)
                    longest = max(longest, pc.max(lengths).as_py())
                self.line = len(data) - data.rfind(b"\n") - 1
            if longest >= LINE_LIMIT:
                self.too_long = True
                return b""
        return data

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def writable(self) -> bool:
        return False

    def tell(self) -> int:
        return self.read_bytes

    def close(self) -> None:
        self.closed = True


class reopened:
    """The table's file opened again, as lines of bytes no longer than LINE_LIMIT + 1."""

    def __init__(self, table: Any):
        self.table = table

    def __enter__(self) -> Iterator[bytes]:
        t = self.table
        if t._opened is not None:
            self.file, _ = open_regular(t.name)
        else:
            self.file = t._fs.open(t._inner, "rb")
        size = t.size or 0

        def lines() -> Iterator[bytes]:
            left = size
            while left:
                line = self.file.readline(min(LINE_LIMIT + 1, left))
                if not line:
                    return
                left -= len(line)
                yield line
        return lines()

    def __exit__(self, *exc: Any) -> None:
        self.file.close()


def first_fault(lines: Iterator[bytes], header: List[str], columns: List[str], header_line: int) -> str:
    """'LINE: what' of the first fault in a CSV file's lines, or ''."""
    number = 0
    picks = [header.index(c) for c in columns]

    def text() -> Iterator[str]:
        nonlocal number
        for line in lines:
            number += 1
            if len(line) > LINE_LIMIT:
                raise _Fault(number, f"a line longer than {LINE_LIMIT:,} bytes")
            decoded = line.decode("utf-8", errors="surrogateescape")
            if number == 1 and decoded.startswith("\ufeff"):
                decoded = decoded[1:]
            yield decoded

    reader = csv.reader(text(), strict=True)
    start = 0
    try:
        with field_limit():
            for record in reader:
                if number <= header_line:
                    start = number
                    continue
                if not record:
                    start = number
                    continue
                if len(record) != len(header):
                    return f"{number}: {len(record)} fields, the header has {len(header)}"
                for i in picks:
                    bad = next((j for j, ch in enumerate(record[i]) if "\udc80" <= ch <= "\udcff"), None)
                    if bad is not None:
                        return f"{number}: not UTF-8 (in column {header[i]!r})"
                start = number
    except _Fault as fault:
        return f"{fault.line}: {fault.what}"
    except csv.Error as e:
        if "unexpected end of data" in str(e):
            return f"{start + 1}: a quote opened on this line is not closed before the end of the file"
        return f"{number}: {e}"
    return ""


def line_of(lines: Iterator[bytes], row: int, header_line: int) -> int:
    number = 0

    def text() -> Iterator[str]:
        nonlocal number
        for line in lines:
            number += 1
            yield line.decode("utf-8", errors="surrogateescape")

    seen = 0
    with field_limit():
        for record in csv.reader(text()):
            if number > header_line and record:
                seen += 1
                if seen == row:
                    return number
    return 0


class _Fault(Exception):
    def __init__(self, line: int, what: str):
        super().__init__(what)
        self.line, self.what = line, what


class field_limit:
    """csv's field size limit (128 KiB by default) raised to the line limit, for the time being."""

    def __enter__(self) -> None:
        self.saved = csv.field_size_limit()
        csv.field_size_limit(max(self.saved, LINE_LIMIT + 1))

    def __exit__(self, *exc: Any) -> None:
        csv.field_size_limit(self.saved)
