"""The transactions' ids for finish, read on a thread of their own while the points are worked on.

Read first, they held up the work: pyarrow's import and a parse on one core,
half a second at 10^6 transactions. Their number is still checked against
the points', and a fault in the table still ends the step: the flags are
written only as far as the ids read, and each look at them raises what the
reading met.
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, List, Optional

if TYPE_CHECKING:
    import pyarrow as pa
else:
    from .arrow import pa

from .errors import PartyError
from .progress import Report
from .tables import Table


class Ids:
    """The ids of `table` (or only its rows, without an id column), read beside the caller."""

    def __init__(self, report: Report, table: Table, id_column: Optional[str], count: int):
        self.table, self.id_column, self.count = table, id_column, count
        self._chunks: List[pa.Array] = []
        self._rows = 0
        self._error: Optional[BaseException] = None
        self._ended = False
        self._stop = False
        self._changed = threading.Condition()
        self._next = 0          # the chunk that holds the next id asked for
        self._next_start = 0    # its first row
        self._thread = threading.Thread(target=self._read, args=(report,), name="kestrova-ids", daemon=True)
        self._thread.start()

    def _read(self, report: Report) -> None:
        table = self.table
        try:
            rows = 0
            with report.bar(table.total, "rows", f"reading {table.name}", table.progress) as bar:
                for n, cells in table.batches():
                    if self._stop:
                        return
                    rows += n
                    if rows > self.count:
                        raise PartyError(f"{table.name}: more transactions than the {self.count:,} points")
                    with self._changed:
                        if self.id_column:
                            self._chunks.append(cells[0])
                        self._rows = rows
                        self._changed.notify_all()
                    bar.update(n)
            table.verify()
            if rows < self.count:
                raise PartyError(f"{table.name}: fewer transactions than the {self.count:,} points")
        except BaseException as e:  # handed to the caller's thread, which ends the step with it
            with self._changed:
                self._error = e
        finally:
            with self._changed:
                self._ended = True
                self._changed.notify_all()

    def ready(self, rows: int, wait: bool = True) -> bool:
        """Whether the first `rows` are read, waiting for them if `wait`; raises the reading's fault."""
        with self._changed:
            while True:
                if self._error is not None:
                    raise self._error
                if self._rows >= rows:
                    return True
                if self._ended or not wait:
                    return False
                self._changed.wait()

    def checked(self) -> bool:
        """Read to the end, and as many as the points."""
        with self._changed:
            return self._ended and self._error is None

    def take(self, start: int, n: int) -> pa.ChunkedArray:
        """Ids start .. start + n - 1, once `ready(start + n)`; each call starts where the last ended or after."""
        chunks = self._chunks  # the reader only appends, after the chunks asked for here
        while self._next < len(chunks) and self._next_start + len(chunks[self._next]) <= start:
            self._next_start += len(chunks[self._next])
            self._next += 1
        pieces, at, position = [], self._next, self._next_start
        while n > 0:
            chunk = chunks[at]
            offset = max(start - position, 0)
            piece = chunk.slice(offset, min(n, len(chunk) - offset))
            pieces.append(piece)
            n -= len(piece)
            start += len(piece)
            position += len(chunk)
            at += 1
        return pa.chunked_array(pieces, self._type())

    def column(self) -> Optional[pa.ChunkedArray]:
        """Every id, once read to the end and checked (None without an id column)."""
        self._thread.join()
        self.ready(self.count)
        if not self.id_column:
            return None
        return pa.chunked_array(self._chunks, self._type())

    def _type(self) -> pa.DataType:
        return self._chunks[0].type if self._chunks else pa.string()

    def close(self) -> None:
        """Stops the reading at its next batch, and waits for it."""
        self._stop = True
        self._thread.join()

    def __enter__(self) -> "Ids":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
