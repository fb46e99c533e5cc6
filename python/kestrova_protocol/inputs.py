"""Inputs read once and checked: the header at once, the digest as the payload is read.

An input is read exactly as long as it was when opened, and hashed as it is
read; a step checks every input (`verify_all`) before its outputs are
committed.
"""

from __future__ import annotations

import hashlib
import logging
import os
from typing import Callable, Iterator, Optional, Sequence, Tuple

from . import lineage
from .engine import store_bytes
from .errors import PartyError
from .header import HEADER, MAGIC, READS, Header, Kind, file_digest
from .keying import rules_problem
from .regular_files import open_regular

_log = logging.getLogger("kestrova_protocol")
_READ_SLICE = 1 << 20
# Stores are read and hashed in slices this large: big enough to keep the hashing thread busy.
_HASH_SLICE = 1 << 23


class Input:
    """A file read and checked: its header at once, its digest as the payload is read.

    The payload is exactly the length the file had when it was opened; `verify`
    (called by every step before its outputs are committed) checks the digest
    and that the file did not change while it was read.
    """

    def __init__(self, path: str, kinds: Sequence[Kind], raw: bool = False):
        self.path = path
        # Unbuffered: no copy of a secret key is left in a reader's buffer; reads are large anyway.
        self.file, self._opened = open_regular(path, buffering=0)
        self._payload = hashlib.sha256()
        head = self._read_exactly(min(HEADER.size, self._opened.st_size), hashed=False)
        if head.startswith(MAGIC) and len(head) == HEADER.size:
            self.raw = False
            self._head = bytes(head)
            self.header = self._parse(head)
            self.payload_bytes = self._opened.st_size - HEADER.size
        elif raw:
            self.file.seek(0)
            self.raw = True
            self.header = Header(kinds[0])
            self.payload_bytes = self._opened.st_size
        elif head.startswith(MAGIC[:len(head)]) and head:
            self._fail("truncated: shorter than a file header")
        else:
            self._fail("not a kestrova-party file (use --raw to read bare protocol bytes)")
        if self.header.kind not in kinds:
            self._fail(f"is a {self.header.kind.label} file, expected " + " or ".join(k.label for k in kinds))
        self._check_length()
        self._left = self.payload_bytes
        if self.header.kind == Kind.SECRET_KEY and self._opened.st_mode & 0o077:
            _log.warning(f"kestrova-party: warning: {path}: secret key is readable by others (chmod 600 {path})",
                         extra={"kestrova": {"event": "warning", "file": path}})

    def _parse(self, head: bytes) -> Header:
        fields = HEADER.unpack(head)
        version, kind_code, keying, unknown, tables, count, digest, rules = fields[1:9]
        if version == 1:
            self._fail("written by an older kestrova-party (file format version 1, whose header no "
                       "checksum covers); this one reads version 2: make the file again")
        if version not in READS:
            self._fail(f"file format version {version}, this program reads versions "
                       f"{', '.join(map(str, READS))}")
        try:
            kind = Kind(kind_code)
        except ValueError:
            self._fail(f"damaged or altered (unknown file kind {kind_code})")
        header = Header(kind, count, digest, keying, rules, *fields[9:], tables=tables)
        why = lineage.problem(kind, header.fingerprints(), unknown)
        if not why and (rules_problem(rules) if kind == Kind.STORE else any(rules)):
            why = rules_problem(rules) or "its header has column normalisations, which only a store carries"
        if not why and tables and (kind != Kind.STORE or version < 3):
            why = "its header has a rules tables version, which only a store of format 3 carries"
        if why or header.unknown_mask() != unknown:
            self._fail(f"damaged or altered ({why or 'its header does not match its checksum'})")
        return header

    def _check_length(self) -> None:
        kind, size, have = self.header.kind, self.header.kind.item_bytes, self.payload_bytes
        if kind in (Kind.PUBLIC_KEY, Kind.SECRET_KEY) and have != 32:
            self._fail(f"a key is 32 bytes, this one has {have}")
        if kind == Kind.STORE:
            if self.raw and have < store_bytes(0):
                self._fail(f"{have} bytes is shorter than any store ({store_bytes(0)} bytes)")
            if not self.raw and have != store_bytes(self.header.count):
                self._fail(f"truncated or damaged: {have:,} bytes of store, a store of "
                           f"{self.header.count:,} rows has {store_bytes(self.header.count):,}")
        elif self.raw:
            if have % size:
                self._fail(f"{have} bytes is not a whole number of {size}-byte items")
            self.header.count = have // size
        elif have != self.header.count * size:
            self._fail(f"truncated or damaged: {have} bytes of {kind.label}, the header says {self.header.count * size}")

    def _read_exactly(self, n: int, hashed: bool = True) -> bytearray:
        data = bytearray(n)
        with memoryview(data) as view:
            got = 0
            while got < n:
                more = self.file.readinto(view[got:])
                if not more:
                    self._fail("changed while being read (it became shorter)")
                got += more
            if hashed:
                self._payload.update(view)
        return data

    def _fail(self, message: str):
        self.close()
        raise PartyError(f"{self.path}: {message}")

    @property
    def count(self) -> int:
        return self.header.count

    def read_all(self, progress: Optional[Callable[[int], None]] = None) -> bytearray:
        """Into a bytearray, which the caller can wipe (a secret key) or pass on as it is; verified.
        `progress(n)` hears each slice read (a store of gigabytes takes a while)."""
        if progress is None:
            data = self._read_exactly(self._left)
        else:
            data = bytearray(self._left)
            with memoryview(data) as view:
                for at in range(0, len(data), _HASH_SLICE):
                    part = view[at:at + _HASH_SLICE]
                    got = 0
                    while got < len(part):
                        more = self.file.readinto(part[got:])
                        if not more:
                            self._fail("changed while being read (it became shorter)")
                        got += more
                    self._payload.update(part)
                    progress(len(part))
        self._left = 0
        self.verify()
        return data

    def read_into(self, target: memoryview, progress: Callable[[int], None] = lambda n: None) -> None:
        """The whole payload into `target` (exactly its length) in slices, then verified. Each slice is
        hashed on a thread of its own while the next is read (hashlib lets go of the interpreter lock)."""
        from concurrent.futures import ThreadPoolExecutor
        with ThreadPoolExecutor(max_workers=1, thread_name_prefix="kestrova-hash") as hasher:
            hashed = None
            for at in range(0, self._left, _HASH_SLICE):
                n = min(_HASH_SLICE, self._left - at)
                got = 0
                while got < n:
                    more = self.file.readinto(target[at + got:at + n])
                    if not more:
                        self._fail("changed while being read (it became shorter)")
                    got += more
                if hashed is not None:
                    hashed.result()
                hashed = hasher.submit(self._payload.update, target[at:at + n])
                progress(n)
            if hashed is not None:
                hashed.result()
        self._left = 0
        self.verify()

    def skip(self, items: int) -> None:
        """Reads (and hashes) the first `items` items without handing them out."""
        left = items * self.header.kind.item_bytes
        while left:
            n = min(_READ_SLICE, left)
            self._read_exactly(n)
            self._left -= n
            left -= n

    def batches(self, items: int) -> Iterator[bytearray]:
        """The payload in slices of `items` items, each a fresh buffer handed on as it was read (the engine
        reads any buffer); `verify` checks them once all are read."""
        step = items * self.header.kind.item_bytes
        while self._left:
            n = min(step, self._left)
            data = self._read_exactly(n)
            self._left -= n
            yield data

    def _check_digest(self) -> None:
        if self.raw:  # a bare file's fingerprint is that of its content
            self.header.digest = self._payload.digest()
        elif file_digest(self._head, self._payload.digest()) != self.header.digest:
            self._fail("damaged or altered (its content does not match its checksum)")

    def verify(self) -> None:
        """Reads what is left, then checks the digest and that the file did not change."""
        if self.file.closed:
            return
        while self._left:
            n = min(_READ_SLICE, self._left)
            self._read_exactly(n)
            self._left -= n
        now = os.fstat(self.file.fileno())
        changed = (now.st_size, now.st_mtime_ns) != (self._opened.st_size, self._opened.st_mtime_ns)
        if changed:
            self._fail("changed while being read")
        self._check_digest()
        self.close()

    def close(self) -> None:
        self.file.close()


def read_whole(path: str, kind: Kind, raw: bool = False) -> Tuple[Header, bytearray]:
    source = Input(path, (kind,), raw)
    data = source.read_all()
    return source.header, data


def verify_all(inputs: Sequence[Input]) -> None:
    for source in inputs:
        source.verify()
