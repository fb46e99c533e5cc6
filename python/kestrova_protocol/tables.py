"""Tables in, by batches of text columns, with no Python per row.

A table is a CSV file (UTF-8, with a header) or a Parquet file or folder, on
this machine or at an fsspec URL, or Arrow data in memory: a pyarrow Table or
RecordBatchReader, or anything that exports the Arrow C stream (pandas,
Polars, DuckDB results).
"""

from __future__ import annotations

import csv
import io
import os
import time
import weakref
from typing import TYPE_CHECKING, Any, BinaryIO, Iterator, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    import pyarrow as pa
    import pyarrow.compute as pc
else:
    from .arrow import pa, pc

from .arrow import text_scalar
from .csv_lines import LINE_LIMIT, Counted, field_limit, first_fault, line_of, reopened
from .errors import PartyError
from .regular_files import open_regular
from .table_sources import TableSource, describe, filesystem, first_line, is_url, local_path

PARQUET_MAGIC = b"PAR1"
# Rows per batch of a Parquet file or folder (a CSV file comes in blocks of LINE_LIMIT bytes).
PARQUET_BATCH = 1 << 16


def _is_text(kind: pa.DataType) -> bool:
    import pyarrow.types as types
    if types.is_dictionary(kind):
        kind = kind.value_type
    return types.is_string(kind) or types.is_large_string(kind) or types.is_null(kind) or \
        getattr(types, "is_string_view", lambda _: False)(kind)


def as_text(values: pa.Array) -> pa.Array:
    """A column as pa.string() without nulls (a missing value is the empty string)."""
    if values.type != pa.string():
        values = values.cast(pa.string())
    if values.null_count:
        values = pc.fill_null(values, text_scalar("", large=False))
    return values


class _Feed:
    """A file as Arrow reads it, an object nobody else holds: Arrow lets go of it once no read of its
    reader is in flight."""

    def __init__(self, file: Any):
        self.file = file

    def __getattr__(self, name: str) -> Any:
        return getattr(self.file, name)


def _released(held: "weakref.WeakSet[_Feed]", seconds: float = 10.0) -> None:
    """Waits, the interpreter lock let go, until Arrow has dropped the files it read. Arrow reads ahead
    on threads of its own, which take the lock to read a file and to drop it; one that still waits for
    the lock when the interpreter exits aborts the process."""
    deadline = time.monotonic() + seconds
    while held and time.monotonic() < deadline:
        time.sleep(0.001)


def _tracked(fs: Any, held: "weakref.WeakSet[_Feed]") -> Any:
    """An fsspec file system as a folder's scan reads it, each file it opens added to `held`."""
    from pyarrow.fs import FSSpecHandler, PyFileSystem

    class Handler(FSSpecHandler):  # type: ignore[misc]
        def open_input_file(self, path: str) -> Any:
            feed = _Feed(self.fs.open(path, mode="rb"))
            held.add(feed)
            return pa.PythonFile(feed, mode="r")

    return PyFileSystem(Handler(fs))


class Table:
    """Selected columns of a table, read by batches as text (pa.string(), no nulls).

    `columns` may be empty: the batches then only count rows. A table that
    is wrong (a quote never closed, a line over LINE_LIMIT, a row with the
    wrong number of fields, a repeated column name, a column that is not
    text) is refused in one line that names it and, for CSV, the line.
    """

    def __init__(self, source: TableSource, columns: Sequence[str], text: bool = True):
        """`text=False`: the columns keep their type (ids), where keys must be text."""
        self.columns = list(columns)
        self._unique = list(dict.fromkeys(self.columns))  # one column may serve both sides of a transaction
        self.text = text
        self.total: Optional[int] = None  # rows, where known before reading
        self.size: Optional[int] = None   # bytes, for a file
        self.rows_read = 0
        self._file: Optional[BinaryIO] = None
        self._counted: Optional[Counted] = None
        self._opened: Optional[os.stat_result] = None
        self._fs: Any = None
        self._held: "weakref.WeakSet[_Feed]" = weakref.WeakSet()  # the files Arrow reads, until it drops them
        self._header_line = 1
        self._header: List[str] = []
        self.kind = "memory"
        path = local_path(source)
        if path is not None or is_url(source):
            self.name = path if path is not None else str(source)
            self._open_file(path, str(source))
        else:
            self.name = describe(source)
            self._open_memory(source)

    # ------------------------------------------------------------ opening

    def _open_file(self, path: Optional[str], url: str) -> None:
        if path is not None and os.path.isdir(path):
            return self._open_dataset(path, None)
        if path is not None:
            self._file, self._opened = open_regular(path)
            self.size = self._opened.st_size
        else:
            fs, inner = filesystem(url)
            try:
                info = fs.info(inner)
            except FileNotFoundError:
                raise PartyError(f"{url}: no such file") from None
            except Exception as e:
                raise PartyError(f"{url}: cannot read ({first_line(e)})") from None
            if info.get("type") == "directory":
                return self._open_dataset(inner, fs)
            self._fs, self._inner, self.size = fs, inner, int(info["size"])
            try:
                self._file = fs.open(inner, "rb")
            except Exception as e:
                raise PartyError(f"{url}: cannot read ({first_line(e)})") from None
        head = self._file.read(4)
        tail = b""
        if self.size and self.size >= 12:
            self._file.seek(self.size - 4)
            tail = self._file.read(4)
        self._file.seek(0)
        parquet = head == PARQUET_MAGIC and tail == PARQUET_MAGIC
        suffix = os.path.splitext(self.name)[1].lower()
        if suffix in (".parquet", ".pq") and not parquet:
            raise PartyError(f"{self.name}: named as Parquet, but it is not a Parquet file")
        if suffix in (".csv", ".tsv", ".txt") and parquet:
            raise PartyError(f"{self.name}: named as CSV, but it is a Parquet file")
        if parquet:
            self._open_parquet()
        else:
            self._open_csv()

    def _check_schema(self, names: Sequence[str], types: Sequence[pa.DataType], where: str = "") -> None:
        seen = set()
        for name in names:
            if name in seen:
                raise PartyError(f"{self.name}{where}: column {name!r} appears twice; name each column once")
            seen.add(name)
        missing = [c for c in self.columns if c not in seen]
        if missing:
            raise PartyError(f"{self.name}: no column {', '.join(map(repr, missing))} (has: {', '.join(names)})")
        for name in self.columns:
            kind = types[list(names).index(name)] if types else None
            if kind is not None and self.text and not _is_text(kind):
                # Its text form would quietly differ from the other side's: 000123 as 123, 3 as 3.0.
                raise PartyError(f"{self.name}: column {name!r} is of type {kind}, not text; "
                                 "write it as a string column")

    def _open_parquet(self) -> None:
        import pyarrow.parquet as pq
        self.kind = "parquet"
        try:
            self._pq = pq.ParquetFile(self._file)
            schema = self._pq.schema_arrow
        except Exception as e:  # pyarrow raises several types for a bad file
            raise PartyError(f"{self.name}: not a readable Parquet file ({first_line(e)})") from None
        self._check_schema(schema.names, schema.types)
        self.total = self._pq.metadata.num_rows

    def _open_dataset(self, path: str, fs: Any) -> None:
        import pyarrow.dataset as ds
        self.kind = "dataset"
        try:
            self._dataset = ds.dataset(path, format="parquet",
                                       filesystem=_tracked(fs, self._held) if fs is not None else None)
            if not self._dataset.files:
                raise PartyError(f"{self.name}: is a directory holding no Parquet file, expected a table")
            schema = self._dataset.schema
            self.total = self._dataset.count_rows()
        except PartyError:
            raise
        except Exception as e:
            raise PartyError(f"{self.name}: not a readable folder of Parquet files ({first_line(e)})") from None
        self._check_schema(schema.names, schema.types)

    def _open_memory(self, source: Any) -> None:
        if isinstance(source, pa.Table):
            self.total = source.num_rows
            reader = source.to_reader()
        elif isinstance(source, pa.RecordBatchReader):
            reader = source
        elif hasattr(source, "__arrow_c_stream__"):
            try:
                reader = pa.RecordBatchReader.from_stream(source)
            except Exception as e:
                raise PartyError(f"{self.name}: cannot be read as Arrow data ({first_line(e)})") from None
            try:
                self.total = len(source)
            except TypeError:
                pass
        elif type(source).__module__.startswith("pandas.") and hasattr(source, "columns"):
            # pandas before 2.2 exports no Arrow stream.
            try:
                table = pa.Table.from_pandas(source, preserve_index=False)
            except Exception as e:
                raise PartyError(f"{self.name}: cannot be read as Arrow data ({first_line(e)})") from None
            self.total = table.num_rows
            reader = table.to_reader()
        else:
            raise PartyError(f"{self.name}: not a table (expected a file name, a URL, a pyarrow Table or "
                             "RecordBatchReader, or a data frame that exports Arrow data)")
        self._reader = reader
        self._check_schema(reader.schema.names, reader.schema.types)

    def _open_csv(self) -> None:
        assert self._file is not None and self.size is not None
        self.kind = "csv"
        head = self._file.read(min(self.size, 2 * LINE_LIMIT))
        self._file.seek(0)
        self._header, self._header_line = self._parse_header(head)
        self._check_schema(self._header, [], f":{self._header_line}")

    def _parse_header(self, head: bytes) -> Tuple[List[str], int]:
        if head.startswith(b"\xef\xbb\xbf"):
            head = head[3:]
        line = 1
        while True:  # blank lines before the header are skipped
            if head.startswith(b"\n"):
                head, line = head[1:], line + 1
            elif head.startswith(b"\r\n"):
                head, line = head[2:], line + 1
            else:
                break
        if not head:
            raise PartyError(f"{self.name}: empty file, expected a header line")
        try:
            text = head.decode("utf-8")
        except UnicodeDecodeError as e:
            if e.start < len(head) - 3:  # not just a character cut at the end of what was read
                end = head.find(b"\n")
                if end < 0 or e.start < end:
                    raise PartyError(f"{self.name}:{line}: not UTF-8 (byte {e.start + 1} of the line)") from None
            text = head[:e.start].decode("utf-8")
        reader = csv.reader(io.StringIO(text, newline=""), strict=True)
        with field_limit():
            try:
                header = next(reader)
            except (csv.Error, StopIteration) as e:
                raise PartyError(f"{self.name}:{line}: the header line cannot be read ({e})") from None
        if len(",".join(header)) > LINE_LIMIT:
            raise PartyError(f"{self.name}:{line}: a line longer than {LINE_LIMIT:,} bytes")
        return header, line

    # ------------------------------------------------------------ reading

    def progress(self) -> Optional[Tuple[int, int]]:
        """(done, total) in bytes of a file or rows of a table of known length; None where unknown."""
        if self._counted is not None and self.size:
            return self._counted.read_bytes, self.size
        if self.total:
            return self.rows_read, self.total
        return None

    def batches(self) -> Iterator[Tuple[int, List[pa.Array]]]:
        """(rows, the selected columns as text) per batch of the table."""
        if self.kind == "csv":
            source = self._csv_batches()
        elif self.kind == "parquet":
            source = self._checked(self._pq.iter_batches(batch_size=PARQUET_BATCH, columns=self._unique))
        elif self.kind == "dataset":
            source = self._dataset_batches()
        else:
            source = self._checked(self._reader)
        for batch in source:
            self.rows_read += batch.num_rows
            if self.text:
                yield batch.num_rows, [as_text(batch.column(name)) for name in self.columns]
            else:
                yield batch.num_rows, [batch.column(name) for name in self.columns]

    def _dataset_batches(self) -> Iterator[pa.RecordBatch]:
        # A scan reads ahead on Arrow's threads, which call into Python for a folder at a URL: one still
        # reading as the interpreter exits aborts the process. Closing the reader stops them and waits.
        reader = self._dataset.scanner(columns=self._unique, batch_size=PARQUET_BATCH).to_reader()
        try:
            yield from self._checked(reader)
        finally:
            reader.close()
            _released(self._held)

    def _checked(self, batches: Any) -> Iterator[pa.RecordBatch]:
        """Batches of a Parquet file, folder or Arrow stream, each text column checked for UTF-8."""
        iterator = iter(batches)
        while True:
            try:
                batch = next(iterator)
            except StopIteration:
                return
            except Exception as e:
                raise PartyError(f"{self.name}: {'cannot be read' if self.kind == 'memory' else 'not a readable Parquet file'} "
                                 f"({first_line(e)})") from None
            if self.kind == "memory":
                batch = batch.select(self._unique) if self.columns else batch
            for name in self._unique:
                try:
                    if _is_text(batch.column(name).type):
                        batch.column(name).validate(full=True)
                except pa.ArrowInvalid:
                    raise PartyError(f"{self.name}: column {name!r}, rows {self.rows_read + 1:,} to "
                                     f"{self.rows_read + batch.num_rows:,}: a value that is not UTF-8") from None
            yield batch

    def _csv_batches(self) -> Iterator[pa.RecordBatch]:
        import pyarrow.csv as pcsv
        assert self._file is not None and self.size is not None
        # Without a column, the first is read to count rows.
        picks = list(dict.fromkeys(self.columns)) or self._header[:1]
        self._counted = Counted(self._file, self.size)
        feed = _Feed(self._counted)
        self._held.add(feed)
        reader = None
        try:
            reader = pcsv.open_csv(
                pa.PythonFile(feed, mode="r"),
                read_options=pcsv.ReadOptions(block_size=LINE_LIMIT, use_threads=False),
                parse_options=pcsv.ParseOptions(newlines_in_values=True),
                convert_options=pcsv.ConvertOptions(column_types={c: pa.string() for c in picks},
                                                    include_columns=picks, strings_can_be_null=False,
                                                    quoted_strings_can_be_null=False))
            for batch in reader:
                if self._counted.too_long:
                    break
                yield batch
        except pa.ArrowInvalid as e:
            raise self._locate(str(e)) from None
        finally:
            del feed
            self._counted.close()  # a read still in flight returns at once
            if reader is not None:
                reader.close()
                reader = None
            _released(self._held)
        if self._counted.too_long:
            raise self._locate(f"a line longer than {LINE_LIMIT:,} bytes") or PartyError(self.name)
        if self._counted.quotes % 2:
            error = self._locate("")
            if error is not None:
                raise error

    def where(self, row: int) -> str:
        """'NAME:LINE' of the 1-based data row of a CSV file, else 'NAME: row N'."""
        if self.kind == "csv":
            try:
                with reopened(self) as lines:
                    line = line_of(lines, row, self._header_line)
            except OSError:
                line = 0
            if line:
                return f"{self.name}:{line}"
        return f"{self.name}: row {row:,}"

    def _locate(self, arrow_message: str) -> Optional[PartyError]:
        """The fault Arrow met (or an open quote), found again line by line with the file and line."""
        where = reopened(self)
        try:
            with where as lines:
                found = first_fault(lines, self._header, self.columns, self._header_line)
        except OSError as e:
            found = f"cannot read again ({e.strerror or e})"
        if found:
            return PartyError(f"{self.name}:{found}")
        if arrow_message:
            return PartyError(f"{self.name}: {first_line(arrow_message)}")
        return None

    def verify(self) -> None:
        """Refuses a table that changed while it was read."""
        if self._file is None or self._file.closed:
            return
        if self._opened is not None:
            now = os.fstat(self._file.fileno())
            self._file.close()
            if (now.st_size, now.st_mtime_ns) != (self._opened.st_size, self._opened.st_mtime_ns):
                raise PartyError(f"{self.name}: changed while being read")
        elif self._fs is not None:
            self._file.close()
            try:
                size = int(self._fs.info(self._inner)["size"])
            except Exception:
                size = -1
            if size != self.size:
                raise PartyError(f"{self.name}: changed while being read")
