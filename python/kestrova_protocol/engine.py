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
from typing import Callable, Iterable, Iterator, Optional, Sequence, Tuple, Union

from . import _engine
from .errors import PartyError

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


def _refused(e: BaseException) -> PartyError:
    text = str(e) or type(e).__name__
    if isinstance(e, EngineError):
        text = f"the engine refused the data ({text})"
    return PartyError(text)


def _call(fn, *args):
    try:
        return fn(*args)
    except (EngineError, ValueError, MemoryError) as e:
        raise _refused(e) from None


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
            # Populated up front: the lookups would otherwise fault page by page.
            flags = mmap.MAP_SHARED | getattr(mmap, "MAP_POPULATE", 0)
            self._map = mmap.mmap(fd, size, flags=flags, prot=mmap.PROT_READ)
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


def _store(s: Union[MappedStore, Store]) -> Store:
    return s.store if isinstance(s, MappedStore) else s


def query(sender_store, receiver_store, sender_keys: Keys, receiver_keys: Keys, central_key: bytes) -> bytes:
    return _call(_engine.query, _store(sender_store), _store(receiver_store), *sender_keys, *receiver_keys,
                 central_key)


def randomize(ciphertexts) -> bytes:
    return _call(_engine.randomize, ciphertexts)


def combine(first, second) -> Tuple[bytes, bytes, bytes, bytes]:
    return _call(_engine.combine, first, second)


def decrypt(points, secret_key) -> bytes:
    return _call(_engine.decrypt, points, secret_key)


def finish(sender, receiver, gamma, delta, central_secret_key) -> bytes:
    """One byte per transaction, 1 for a match."""
    return _call(_engine.finish, sender, receiver, gamma, delta, central_secret_key)


def build_store(public_key: bytes, batches: Iterable[Keys], out, *, expected_rows: int = 0,
                added: Optional[Callable[[int], None]] = None, progress: Optional[Progress] = None) -> dict:
    """Builds a store from batches of packed keys and writes it to the file `out`
    at its position (flushed first). Repeated keys are dropped and counted.

    `added(rows)` is called after each batch, `progress(phase, done, total)`
    during the build. Returns the counts: rows, duplicates, bytes, attempts.
    """
    builder = _call(_engine.Builder, public_key, expected_rows)
    for joined, offsets in batches:
        rows = _call(builder.add, joined, offsets)
        if added is not None:
            added(rows)
    out.flush()
    return _call(builder.write, out.fileno(), progress)
