"""Inputs read once and checked: the header at once, the digest as the payload is read.

An input is read exactly as long as it was when opened, and hashed as it is
read; a step checks every input (`verify_all`) before its outputs are
committed.
"""

from __future__ import annotations

import errno
import hashlib
import itertools
import logging
import os
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
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
# Files this large are read past the page cache (O_DIRECT): at the disk's speed, with a fraction of the
# CPU, and without a second copy in the cache. A smaller one is likely cached already.
DIRECT_BYTES = 1 << 30
_ALIGN = 4096


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
        self._hashing: Optional[ThreadPoolExecutor] = None
        self._hashed: Optional[Future] = None
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

    @property
    def held_bytes(self) -> int:
        """What `read_held` needs: the whole file, rounded up to whole blocks."""
        return -(-self._opened.st_size // _ALIGN) * _ALIGN

    @property
    def payload_offset(self) -> int:
        return self._opened.st_size - self.payload_bytes

    def read_held(self, target: memoryview, progress: Callable[[int], None] = lambda n: None) -> None:
        """The whole file into `target` (`held_bytes` long) at its own offsets, as fast as the disk gives it.
        The payload is hashed on a thread that trails the reading and may go on after it: `hashed()` says
        whether it is done, `verify()` waits for it and checks the digest."""
        assert self._left == self.payload_bytes and len(target) >= self.held_bytes
        fd, end, start = self.file.fileno(), self._opened.st_size, self.payload_offset
        direct = _direct_twin(fd) if end >= DIRECT_BYTES else -1
        use_direct = direct >= 0

        def read(at: int, n: int) -> int:
            """Bytes [at, at + n) in; fewer only where the file ends early."""
            nonlocal use_direct
            got = 0
            while got < n:
                here = at + got
                try:
                    if use_direct and here % _ALIGN == 0:  # the length rounded up: the target has room
                        more = os.preadv(direct, [target[here:here + -(-(n - got) // _ALIGN) * _ALIGN]], here)
                    else:
                        more = os.preadv(fd, [target[here:at + n]], here)
                except OSError as e:
                    if use_direct and e.errno == errno.EINVAL:  # a file system that opens so but cannot read so
                        use_direct = False
                        continue
                    raise
                if more <= 0:
                    break
                got += min(more, n - got)
            return got

        self._hashing = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kestrova-hash")
        slices = ((at, min(_HASH_SLICE, end - at)) for at in range(0, end, _HASH_SLICE))
        short = False
        try:
            # Past the cache, two reads in flight keep the disk busy; through it, the kernel reads ahead.
            depth = 2 if use_direct else 1
            with ThreadPoolExecutor(max_workers=depth, thread_name_prefix="kestrova-read") as readers:
                reads = deque((at, n, readers.submit(read, at, n)) for at, n in itertools.islice(slices, depth))
                while reads:
                    at, n, done = reads.popleft()
                    if done.result() < n:
                        short = True
                        break
                    if at + n > start:
                        self._hashed = self._hashing.submit(self._payload.update, target[max(at, start):at + n])
                    progress(n)
                    reads.extend((at, n, readers.submit(read, at, n)) for at, n in itertools.islice(slices, 1))
        except OSError as e:
            self._fail(f"cannot be read ({e.strerror})")
        finally:
            if direct >= 0:
                os.close(direct)
        if short:
            self._fail("changed while being read (it became shorter)")
        self._left = 0
        self._check_unchanged()
        self.file.close()  # what the lookups use is the copy: the file may go now

    def hashed(self) -> bool:
        """Whether the payload's digest is known; checked when it is (a mismatch raises)."""
        if self._hashed is not None and not self._hashed.done():
            return False
        self.verify()
        return True

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
        if self._hashing is not None:
            self._hashing.shutdown(wait=True)  # interrupted, `close` still stops what is left
            last, self._hashing, self._hashed = self._hashed, None, None
            if last is not None:
                last.result()
            self._check_digest()
        if self.file.closed:
            return
        while self._left:
            n = min(_READ_SLICE, self._left)
            self._read_exactly(n)
            self._left -= n
        self._check_unchanged()
        self._check_digest()
        self.close()

    def _check_unchanged(self) -> None:
        now = os.fstat(self.file.fileno())
        if (now.st_size, now.st_mtime_ns) != (self._opened.st_size, self._opened.st_mtime_ns):
            self._fail("changed while being read")

    def close(self) -> None:
        """Also stops a hashing still going (after a failure: its result no longer matters)."""
        if self._hashing is not None:
            self._hashing.shutdown(wait=True, cancel_futures=True)
            self._hashing = self._hashed = None
        self.file.close()


def _direct_twin(fd: int) -> int:
    """A second descriptor of `fd`'s open file (not of its name, which may have changed hands) that reads past
    the page cache; -1 where the file system or /proc does not allow it."""
    try:
        return os.open(f"/proc/self/fd/{fd}", os.O_RDONLY | os.O_DIRECT | os.O_CLOEXEC)
    except OSError:
        return -1


def read_whole(path: str, kind: Kind, raw: bool = False) -> Tuple[Header, bytearray]:
    source = Input(path, (kind,), raw)
    data = source.read_all()
    return source.header, data


def verify_all(inputs: Sequence[Input]) -> None:
    for source in inputs:
        source.verify()
