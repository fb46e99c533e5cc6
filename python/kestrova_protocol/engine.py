"""The one gate to the native engine: every call of `_engine` is made here.

Each function calls the engine once and turns its failures into the
package's own: a Refusal (the data is wrong) or a Failure (no memory, no
threads, a wrong setting), one line each; the engine writes no panic report
of its own. Batches go in as they come (bytes, bytearray, memoryview, mmap):
the engine reads any buffer in place, so none is copied on the way. Rows
cross as key bytes: one buffer of every row's key bytes end to end and
n + 1 offsets. Stores are parsed once and read in place.
"""

from __future__ import annotations

import array
import contextlib
import itertools
from typing import TYPE_CHECKING, Callable, Iterator, Optional, Sequence, Tuple

import kestrova_protocol._engine as _engine

from . import memory
from .errors import PartyError

if TYPE_CHECKING:
    import pyarrow as pa

EngineError = _engine.EngineError
Store = _engine.Store
Keys = Tuple[bytes, array.array]
Progress = Callable[[str, int, int], None]

# The compressed base point: decrypt(BASE_POINT, k) is k·B, the public key of k.
BASE_POINT = bytes([0x58] + [0x66] * 31)


class Refusal(PartyError):
    """The engine refused the data: what was wrong, one line."""


class Failure(PartyError):
    """The engine could not do the work, whatever the data: no memory, no threads, a wrong setting."""


# The worker pool's own word for threads it could not start.
_NO_POOL = "The global thread pool has not been initialized."


def _size(value) -> int:
    try:
        return memoryview(value).nbytes
    except TypeError:
        return 0


@contextlib.contextmanager
def _engine_call(*inputs) -> Iterator[None]:
    """The engine's exceptions as the package's; `inputs` size an out-of-memory message."""
    try:
        yield
    except MemoryError as e:
        if str(e):  # the engine's own account of what it needs
            raise Refusal(str(e)) from None
        # Inputs, the result and the engine's copies of both, about.
        raise Failure(memory.out_of_memory(4 * sum(map(_size, inputs)))) from None
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


store_bytes = _engine.store_bytes
build_peak_bytes = _engine.build_peak_bytes


def key_bytes(cells: Sequence[str]) -> bytes:
    """The module's own key bytes of a row: its strings' UTF-8 bytes end to end."""
    return "".join(cells).encode("utf-8")


def pack_keys(keys: Sequence[bytes]) -> Keys:
    offsets = array.array("q", [0])
    offsets.extend(itertools.accumulate(map(len, keys)))
    return b"".join(keys), offsets


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

    keys = arrow_keys(values)
    with _engine_call(*keys):
        data = _engine.row_hashes(*keys)
    return pa.Array.from_buffers(pa.uint64(), len(values), [None, pa.py_buffer(data)])


def iban_check(values: "pa.Array", lengths: bytes) -> bytes:
    """One byte per IBAN of a text column: 1 when its length (by country, `lengths`) and check digits are right."""
    keys = arrow_keys(values)
    with _engine_call(*keys):
        return _engine.iban_check(*keys, lengths)


def transliterate(values: "pa.Array", table: Tuple[bytes, bytes, bytes]) -> "pa.Array":
    """A text column with the characters of `table` (code points, replacement offsets, replacements: the
    first two as 4-byte values) replaced; a large_string array."""
    return _text_column(len(values), _engine.transliterate, *arrow_keys(values), *table)


def _text_column(n: int, fn: Callable, *args) -> "pa.Array":
    """The engine's text result (bytes, 8-byte offsets) as a large_string array of n values."""
    import pyarrow as pa

    with _engine_call(*args):
        data, offsets = fn(*args)
    return pa.LargeStringArray.from_buffers(n, pa.py_buffer(offsets), pa.py_buffer(data))


def drop_phrases(values: "pa.Array", lookup: "pa.Array", phrases: "pa.Array", unordered: bool) -> "pa.Array":
    """Each value (words between single spaces) without the phrases its `lookup` words spell at its end
    (anywhere, and its words sorted, when `unordered`), never its last words left."""
    return _text_column(len(values), _engine.drop_phrases, *arrow_keys(values), *arrow_keys(lookup),
                        *arrow_keys(phrases), int(unordered))


# space_words' flags
ALNUM, UMLAUTS, SPACES, COMPACT = 1, 2, 4, 8


def space_words(values: "pa.Array", flags: int) -> "pa.Array":
    """The plain values (`plain_rows`) with the flags' punctuation, umlaut and white-space rules; the others
    as they are."""
    return _text_column(len(values), _engine.space_words, *arrow_keys(values), flags)


def plain_rows(values: "pa.Array") -> "pa.Array":
    """A boolean array: the value holds ASCII and letters of scripts without case (CJK, kana, Hangul, Hebrew,
    Arabic) only, which need no Unicode case folding, NFC or character classes."""
    import pyarrow as pa

    keys = arrow_keys(values)
    with _engine_call(*keys):
        data = _engine.plain_rows(*keys)
    return pa.Array.from_buffers(pa.uint8(), len(values), [None, pa.py_buffer(data)]).cast(pa.bool_())


def iban_letters(values: "pa.Array") -> "pa.Array":
    """Each value with only its ASCII letters (upper-cased) and digits."""
    return _text_column(len(values), _engine.iban_letters, *arrow_keys(values))


def flag_lines(ids: "pa.Array", flags: bytes) -> bytes:
    """The CSV lines of a text column of ids and their flags (one byte each): "id,true" or "id,false",
    an id with a quote, comma, CR or LF quoted."""
    keys = arrow_keys(ids)
    with _engine_call(*keys, flags):
        return _engine.flag_lines(*keys, flags)


def flags_array(flags: bytes) -> "pa.Array":
    """The flags (one byte each, nonzero for true) as a boolean array."""
    import pyarrow as pa

    with _engine_call(flags):
        bitmap = _engine.flag_bitmap(flags)
    return pa.Array.from_buffers(pa.bool_(), len(flags), [None, pa.py_buffer(bitmap)])


def backend() -> str:
    """The batch backend in use: "avx512ifma", "avx2" or "serial"; a Failure when KESTROVA_BACKEND names
    an unknown one or one this processor lacks."""
    with _engine_call():
        return _engine.backend()


def use_threads(threads: Optional[int]) -> int:
    """Sizes the engine's worker pool (0: one thread per processor) and starts it, as a step begins.

    The request comes before RAYON_NUM_THREADS (None leaves that default). The
    pool's size is fixed when it starts; a request after that changes
    nothing. Returns the size the pool has. Started first, so that threads
    the system cannot give are said at once, as the engine's failure, and
    not later by the table reader, which starts threads of its own.
    """
    if threads is not None:
        _engine.request_threads(threads)
    with _engine_call():
        return _engine.start_threads()


def key_gen() -> Tuple[bytes, bytearray]:
    """A key pair; the secret comes as a bytearray, for its holder to overwrite when done."""
    with _engine_call():
        return _engine.key_gen()


def classify_point(point) -> str:
    """What 32 bytes encode: "prime order" for a point of the keys' group, else "not canonical",
    "not on the curve", "small order" or "mixed order" (a small-order part beside the rest)."""
    with _engine_call():
        return _engine.classify_point(point)


def parse_store(data) -> Store:
    """A store's byte form (any buffer) parsed once; its cells are read where they lie."""
    with _engine_call(data):
        return _engine.Store(data)


def _parsed(store) -> Store:
    # A Dask worker gets a store's bytes and parses them for each batch: no copy of its cells.
    return store if isinstance(store, Store) else parse_store(store)


# The streamed steps' work, one batch per call: the batch first, then what every batch shares.

def query(senders: Keys, receivers: Keys, sender_store, receiver_store, central_key: bytes) -> bytes:
    """One 128-byte query ciphertext per transaction; each store a parsed Store, or its byte form."""
    a, b = _parsed(sender_store), _parsed(receiver_store)
    with _engine_call(*senders, *receivers):
        return _engine.query(a, b, *senders, *receivers, central_key)


def lookup(keys: Keys, store) -> bytes:
    """Each key's 64-byte cell of the store: the half of a query that needs the store."""
    s = _parsed(store)
    with _engine_call(*keys):
        return _engine.lookup(s, *keys)


def query_second(first_cells, second: Keys, store, central_key: bytes, second_is_receiver: bool) -> bytes:
    """The other side's lookups against `store`, then the ciphertexts with the cells of the first side."""
    cells = lookup(second, store)
    sender, receiver = (first_cells, cells) if second_is_receiver else (cells, first_cells)
    with _engine_call(sender, receiver):
        return _engine.query_cells(sender, receiver, central_key)


def randomize(ciphertexts) -> bytes:
    with _engine_call(ciphertexts):
        return _engine.randomize(ciphertexts)


def combine(first, second) -> Tuple[bytes, bytes, bytes, bytes]:
    with _engine_call(first, second):
        return _engine.combine(first, second)


def decrypt(points, secret_key) -> bytes:
    with _engine_call(points):
        return _engine.decrypt(points, secret_key)


def finish(sender, receiver, gamma, delta, central_secret_key) -> bytes:
    """One byte per transaction, 1 for a match."""
    with _engine_call(sender, receiver, gamma, delta):
        return _engine.finish(sender, receiver, gamma, delta, central_secret_key)


def public_key_of(secret_key) -> bytes:
    return decrypt(BASE_POINT, secret_key)


class StoreBuilder:
    """A store built from batches of packed keys; it holds only their bytes until `write`."""

    def __init__(self, public_key: bytes, expected_rows: int = 0):
        with _engine_call():
            self._builder = _engine.Builder(public_key, expected_rows)

    def add(self, keys: Keys) -> int:
        """Returns the rows held so far."""
        with _engine_call(*keys):
            return self._builder.add(*keys)

    def write(self, fd: int, progress: Optional[Progress] = None) -> dict:
        """Drops repeated keys, solves, encrypts and writes the store's byte form to fd at its position;
        `progress(phase, done, total)` hears each phase. Returns the counts (rows, duplicates, bytes, attempts)
        and the SHA-256 of the bytes written (digest), hashed as they were written."""
        with _engine_call():
            return self._builder.write(fd, progress)
