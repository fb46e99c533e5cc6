"""The one gate to the native engine: buffers in, bytes out.

The tools reach `_engine` only through here. Its failures become one-line
PartyErrors (the engine writes no panic report of its own), stores are
mapped from their files and parsed once, and rows cross as key bytes: one
buffer of every row's key bytes end to end and n + 1 offsets.
"""

from __future__ import annotations

import array
import itertools
import mmap
import os
from typing import TYPE_CHECKING, Callable, Iterable, Iterator, Optional, Sequence, Tuple, Union

from . import _engine, memory
from .errors import PartyError

if TYPE_CHECKING:
    import pyarrow as pa

EngineError = _engine.EngineError
Store = _engine.Store
Keys = Tuple[bytes, array.array]
Progress = Callable[[str, int, int], None]

store_bytes = _engine.store_bytes
build_peak_bytes = _engine.build_peak_bytes


def key_bytes(cells: Sequence[str]) -> bytes:
    """The module's own key bytes of a row: its strings' UTF-8 bytes end to end."""
    return "".join(cells).encode("utf-8")


def pack_keys(keys: Sequence[bytes]) -> Keys:
    offsets = array.array("q", [0])
    offsets.extend(itertools.accumulate(map(len, keys)))
    return b"".join(keys), offsets


def packed(rows: Iterable[Sequence[str]], batch: int) -> Iterator[Keys]:
    """Rows (each a sequence of str, as the module takes them) as packed key bytes, `batch` rows at a time."""
    rows = iter(rows)
    while True:
        chunk = [key_bytes(r) for r in itertools.islice(rows, batch)]
        if not chunk:
            return
        yield pack_keys(chunk)


def arrow_keys(values: "pa.Array") -> Keys:
    """A text column's own buffers as packed key bytes: its UTF-8 bytes as they are, a copy of its offsets
    (the binding reads an offsets' width from an array's format, which a memoryview does not export)."""
    import pyarrow as pa

    if values.type == pa.large_string():
        width, code = 8, "q"
    else:
        values = values.cast(pa.string()) if values.type != pa.string() else values
        width, code = 4, "i"
    _, offsets, data = values.buffers()
    start = values.offset * width
    copy = array.array(code)
    copy.frombytes(memoryview(offsets).cast("B")[start:start + (len(values) + 1) * width])
    return (memoryview(data) if data is not None else b""), copy  # type: ignore[return-value]


def row_hashes(values: "pa.Array") -> "pa.Array":
    """One 64-bit hash per value of a text column (a uint64 array): equal text, equal hash."""
    import pyarrow as pa

    data = _call(_engine.row_hashes, *arrow_keys(values))
    return pa.Array.from_buffers(pa.uint64(), len(values), [None, pa.py_buffer(data)])


def iban_check(values: "pa.Array", lengths: bytes) -> bytes:
    """One byte per IBAN of a text column: 1 when its length (by country, `lengths`) and check digits are right."""
    return _call(_engine.iban_check, *arrow_keys(values), lengths)


def transliterate(values: "pa.Array", table: Tuple[bytes, bytes, bytes]) -> "pa.Array":
    """A text column with the characters of `table` (code points, replacement offsets, replacements: the
    first two as 4-byte values) replaced; a large_string array."""
    return _text_column(len(values), _call(_engine.transliterate, *arrow_keys(values), *table))


def _text_column(n: int, result: Tuple[bytes, bytes]) -> "pa.Array":
    import pyarrow as pa

    data, offsets = result
    return pa.LargeStringArray.from_buffers(n, pa.py_buffer(offsets), pa.py_buffer(data))


def drop_phrases(values: "pa.Array", lookup: "pa.Array", phrases: "pa.Array", unordered: bool) -> "pa.Array":
    """Each value (words between single spaces) without the phrases its `lookup` words spell at its end
    (anywhere, and its words sorted, when `unordered`), never its last words left."""
    return _text_column(len(values), _call(_engine.drop_phrases, *arrow_keys(values), *arrow_keys(lookup),
                                           *arrow_keys(phrases), int(unordered)))


# space_words' flags
ALNUM, UMLAUTS, SPACES, COMPACT = 1, 2, 4, 8


def space_words(values: "pa.Array", flags: int) -> "pa.Array":
    """The plain values (`plain_rows`) with the flags' punctuation, umlaut and white-space rules; the others
    as they are."""
    return _text_column(len(values), _call(_engine.space_words, *arrow_keys(values), flags))


def plain_rows(values: "pa.Array") -> "pa.Array":
    """A boolean array: the value holds ASCII and letters of scripts without case (CJK, kana, Hangul, Hebrew,
    Arabic) only, which need no Unicode case folding, NFC or character classes."""
    import pyarrow as pa

    data = _call(_engine.plain_rows, *arrow_keys(values))
    return pa.Array.from_buffers(pa.uint8(), len(values), [None, pa.py_buffer(data)]).cast(pa.bool_())


def iban_letters(values: "pa.Array") -> "pa.Array":
    """Each value with only its ASCII letters (upper-cased) and digits."""
    return _text_column(len(values), _call(_engine.iban_letters, *arrow_keys(values)))


class Refusal(PartyError):
    """The engine refused the data: its message, one line."""


class Failure(PartyError):
    """The engine could not do the work, whatever the data: no memory, no threads, a wrong setting."""


# The worker pool's own word for threads it could not start.
_NO_POOL = "The global thread pool has not been initialized."


def _size(value) -> int:
    try:
        return memoryview(value).nbytes
    except TypeError:
        return 0


def _call(fn, *args):
    try:
        return fn(*args)
    except MemoryError as e:
        if str(e):  # the engine's own account of what it needs
            raise Refusal(str(e)) from None
        # Inputs, the result and the engine's copies of both, about.
        raise Failure(memory.out_of_memory(4 * sum(map(_size, args)))) from None
    except EngineError as e:
        text = str(e)
        if text == _NO_POOL:
            raise Failure(f"cannot start the worker threads: {memory.out_of_memory()}, or more threads than "
                          "this system allows (--threads)") from None
        if text.startswith("KESTROVA_BACKEND"):
            raise Failure(text) from None
        raise Refusal(text or type(e).__name__) from None
    except ValueError as e:
        raise Refusal(str(e) or type(e).__name__) from None


def backend() -> str:
    """The batch backend in use: "avx512ifma", "avx2" or "serial"; a Refusal when KESTROVA_BACKEND names
    an unknown one or one this processor lacks."""
    return _call(_engine.backend)


def use_threads(threads: Optional[int]) -> Optional[int]:
    """Sizes the engine's worker pool (0: one thread per processor) before its first use in this process.

    The request comes before RAYON_NUM_THREADS (None leaves that default). The
    pool's size is fixed when the first call starts it; a request after that
    changes nothing. Returns the size the pool has or will have.
    """
    if threads is None:
        return None
    return _engine.request_threads(threads)


def map_readonly(fd: int, length: int) -> mmap.mmap:
    """`length` bytes of a file mapped read-only, populated up front: lookups would otherwise fault page by page."""
    return mmap.mmap(fd, length, flags=mmap.MAP_SHARED | getattr(mmap, "MAP_POPULATE", 0), prot=mmap.PROT_READ)


class MappedStore:
    """A store file mapped read-only and parsed once; queries read its cells in place.

    `offset` skips a file header. Close it (or use it as a context manager)
    to unmap the file.
    """

    def __init__(self, path: Union[str, os.PathLike], offset: int = 0):
        fd = os.open(path, os.O_RDONLY)
        try:
            size = os.fstat(fd).st_size
            if size <= offset:
                raise PartyError(f"{os.fspath(path)}: no store after byte {offset}")
            self._map = map_readonly(fd, size)
        finally:
            os.close(fd)
        self._view = memoryview(self._map)[offset:]
        try:
            self.store = _call(Store, self._view)
        except BaseException:
            self.close()
            raise

    @property
    def nbytes(self) -> int:
        return len(self._view)

    def close(self) -> None:
        self.__dict__.pop("store", None)
        if self._view is not None:
            self._view.release()
            self._view = None
            self._map.close()

    def __enter__(self) -> "MappedStore":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def key_gen() -> Tuple[bytes, bytearray]:
    """A key pair; the secret comes as a bytearray, for its holder to overwrite when done."""
    return _engine.key_gen()


def as_store(s) -> Store:
    """A MappedStore's or a Store's parse, or a store's byte form parsed now (no copy of its cells)."""
    if isinstance(s, MappedStore):
        return s.store
    return s if isinstance(s, Store) else _call(Store, s)


def query(sender_store, receiver_store, sender_keys: Keys, receiver_keys: Keys, central_key: bytes) -> bytes:
    return _call(_engine.query, as_store(sender_store), as_store(receiver_store), *sender_keys, *receiver_keys,
                 central_key)


def lookup(store, keys: Keys) -> bytes:
    """Each key's 64-byte cell of the store: the half of a query that needs the store."""
    return _call(_engine.lookup, as_store(store), *keys)


def query_cells(sender_cells, receiver_cells, central_key: bytes) -> bytes:
    """The query ciphertexts from both sides' cells (`lookup`); no store needed."""
    return _call(_engine.query_cells, sender_cells, receiver_cells, central_key)


def randomize(ciphertexts) -> bytes:
    return _call(_engine.randomize, ciphertexts)


def combine(first, second) -> Tuple[bytes, bytes, bytes, bytes]:
    return _call(_engine.combine, first, second)


def decrypt(points, secret_key) -> bytes:
    return _call(_engine.decrypt, points, secret_key)


def finish(sender, receiver, gamma, delta, central_secret_key) -> bytes:
    """One byte per transaction, 1 for a match."""
    return _call(_engine.finish, sender, receiver, gamma, delta, central_secret_key)


class StoreBuilder:
    """A store built from batches of packed keys; it holds only their bytes until `write`."""

    def __init__(self, public_key: bytes, expected_rows: int = 0):
        self._builder = _call(_engine.Builder, public_key, expected_rows)

    def add(self, keys: Keys) -> int:
        """Returns the rows held so far."""
        return _call(self._builder.add, *keys)

    def write(self, fd: int, progress: Optional[Progress] = None) -> dict:
        """Drops repeated keys, solves, encrypts and writes the store's byte form to fd at its position;
        `progress(phase, done, total)` hears each phase. Returns the counts (rows, duplicates, bytes, attempts)
        and the SHA-256 of the bytes written (digest), hashed as they were written."""
        return _call(self._builder.write, fd, progress)


def build_store(public_key: bytes, batches: Iterable[Keys], out, *, expected_rows: int = 0,
                progress: Optional[Progress] = None) -> dict:
    """A store over every batch written to the file `out` at its position (flushed first)."""
    builder = StoreBuilder(public_key, expected_rows)
    for keys in batches:
        builder.add(keys)
    out.flush()
    return builder.write(out.fileno(), progress)
