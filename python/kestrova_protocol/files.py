"""Files exchanged between the parties: a small header, then the module's bytes unchanged.

Header (little-endian, HEADER.size bytes):

    magic "KESTROVA"  version u16  kind u16  keying u8  3 zero bytes
    item count u64    SHA-256 of the payload (32 bytes)
    eight 16-byte fingerprints (all zero = not known)

The fingerprints tie a file to what it was made under, so that a file from
another batch, or one meant for another party's key, is refused instead of
silently giving wrong flags.
"""

from __future__ import annotations

import dataclasses
import enum
import hashlib
import os
import stat
import struct
import sys
import tempfile
from typing import BinaryIO, Iterator, List, Optional, Sequence, Tuple

from .errors import PartyError

MAGIC = b"KESTROVA"
VERSION = 1
FINGERPRINTS = ("key", "sender_store", "receiver_store", "sender_key", "receiver_key",
                "central_key", "batch", "decrypted_by")
FP_BYTES = 16
UNKNOWN = bytes(FP_BYTES)
HEADER = struct.Struct("<8sHHB3xQ32s" + f"{FP_BYTES}s" * len(FINGERPRINTS))
_READ_SLICE = 1 << 20


class Kind(enum.IntEnum):
    PUBLIC_KEY = 1
    SECRET_KEY = 2
    STORE = 3
    QUERY = 4
    RANDOMIZED = 5
    SENDER = 6
    RECEIVER = 7
    GAMMA = 8
    DELTA = 9
    DECRYPTED_SENDER = 10
    DECRYPTED_RECEIVER = 11

    @property
    def label(self) -> str:
        return _LABELS[self]

    @property
    def item_bytes(self) -> int:
        """Bytes per item; 0 for a store, whose size follows from its row count."""
        return _ITEM_BYTES.get(self, 32)


_LABELS = {
    Kind.PUBLIC_KEY: "public key", Kind.SECRET_KEY: "secret key", Kind.STORE: "store",
    Kind.QUERY: "query ciphertexts", Kind.RANDOMIZED: "randomised ciphertexts",
    Kind.SENDER: "sender points", Kind.RECEIVER: "receiver points",
    Kind.GAMMA: "gamma points", Kind.DELTA: "delta points",
    Kind.DECRYPTED_SENDER: "decrypted sender points", Kind.DECRYPTED_RECEIVER: "decrypted receiver points",
}
_ITEM_BYTES = {Kind.STORE: 0, Kind.QUERY: 128, Kind.RANDOMIZED: 128}


def fingerprint(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()[:FP_BYTES]


@dataclasses.dataclass
class Header:
    kind: Kind
    count: int = 0
    digest: bytes = bytes(32)
    keying: int = 0
    key: bytes = UNKNOWN
    sender_store: bytes = UNKNOWN
    receiver_store: bytes = UNKNOWN
    sender_key: bytes = UNKNOWN
    receiver_key: bytes = UNKNOWN
    central_key: bytes = UNKNOWN
    batch: bytes = UNKNOWN
    decrypted_by: bytes = UNKNOWN

    def pack(self) -> bytes:
        return HEADER.pack(MAGIC, VERSION, self.kind, self.keying, self.count, self.digest,
                           *(getattr(self, name) for name in FINGERPRINTS))

    def lineage(self) -> dict:
        """What a batch's ciphertexts and every list derived from them share."""
        return {name: getattr(self, name) for name in FINGERPRINTS[1:7]}

    def derived(self, kind: Kind, **changes) -> "Header":
        return Header(kind=kind, **self.lineage(), **changes)


def same(a: bytes, b: bytes) -> bool:
    """Equal fingerprints, or one of them not known (a bare file read with --raw)."""
    return a == UNKNOWN or b == UNKNOWN or a == b


def _stat_input(path: str) -> os.stat_result:
    try:
        st = os.stat(path)
    except FileNotFoundError:
        raise PartyError(f"{path}: no such file") from None
    except OSError as e:
        raise PartyError(f"{path}: cannot read ({e.strerror})") from None
    if stat.S_ISDIR(st.st_mode):
        raise PartyError(f"{path}: is a directory, expected a file")
    return st


def open_binary(path: str, buffering: int = -1) -> Tuple[BinaryIO, os.stat_result]:
    st = _stat_input(path)
    try:
        return open(path, "rb", buffering=buffering), st
    except OSError as e:
        raise PartyError(f"{path}: cannot read ({e.strerror})") from None


class Input:
    """A file read and checked: header first, payload whole or in slices."""

    def __init__(self, path: str, kinds: Sequence[Kind], raw: bool = False):
        self.path = path
        # Unbuffered: no copy of a secret key is left in a reader's buffer; reads are large anyway.
        self.file, st = open_binary(path, buffering=0)
        head = self.file.read(HEADER.size)
        if head.startswith(MAGIC) and len(head) == HEADER.size:
            fields = HEADER.unpack(head)
            version, kind_code, keying, count, digest = fields[1:6]
            if version != VERSION:
                self._fail(f"file format version {version}, this program reads version {VERSION}")
            try:
                kind = Kind(kind_code)
            except ValueError:
                self._fail(f"unknown file kind {kind_code}")
            self.header = Header(kind, count, digest, keying, *fields[6:])
            self.raw = False
            self.payload_bytes = st.st_size - HEADER.size
        elif raw:
            self.file.seek(0)
            self.header = Header(kinds[0])
            self.raw = True
            self.payload_bytes = st.st_size
        elif head.startswith(MAGIC[:len(head)]) and head:
            self._fail("truncated: shorter than a file header")
        else:
            self._fail("not a kestrova-party file (use --raw to read bare protocol bytes)")
        if self.header.kind not in kinds:
            self._fail(f"is a {self.header.kind.label} file, expected " + " or ".join(k.label for k in kinds))
        size = self.header.kind.item_bytes
        if self.raw:
            if size and self.payload_bytes % size:
                self._fail(f"{self.payload_bytes} bytes is not a whole number of {size}-byte items")
            self.header.count = self.payload_bytes // size if size else 0
        elif size and self.payload_bytes != self.header.count * size:
            self._fail(f"truncated or damaged: {self.payload_bytes} bytes of {self.header.kind.label}, "
                       f"the header says {self.header.count * size}")
        if self.header.kind in (Kind.PUBLIC_KEY, Kind.SECRET_KEY) and self.payload_bytes != 32:
            self._fail(f"a key is 32 bytes, this one has {self.payload_bytes}")
        if self.header.kind == Kind.SECRET_KEY and st.st_mode & 0o077:
            print(f"kestrova-party: warning: {path}: secret key is readable by others (chmod 600 {path})",
                  file=sys.stderr)
        if not self.raw:
            self._verify()

    def _verify(self) -> None:
        """Checks the digest before any work, so a damaged file never reaches the module."""
        digest = hashlib.sha256()
        buffer = bytearray(min(_READ_SLICE, max(self.payload_bytes, 1)))
        with memoryview(buffer) as view:
            while True:
                got = self.file.readinto(buffer)
                if not got:
                    break
                digest.update(view[:got])
        buffer[:] = bytes(len(buffer))  # it may have held a secret key
        if digest.digest() != self.header.digest:
            self._fail("damaged or altered (its content does not match its checksum)")
        self.file.seek(HEADER.size)

    def _fail(self, message: str):
        self.close()
        raise PartyError(f"{self.path}: {message}")

    @property
    def count(self) -> int:
        return self.header.count

    def read_all(self) -> bytearray:
        """Into a bytearray, which the caller can wipe (a secret key) or pass on as it is."""
        data = bytearray(self.payload_bytes)
        got = self.file.readinto(data)
        self.close()
        if got != len(data):
            raise PartyError(f"{self.path}: changed while being read")
        if self.raw:  # a bare store's fingerprint is that of its content
            self.header.digest = hashlib.sha256(data).digest()
        return data

    def batches(self, items: int) -> Iterator[bytes]:
        """The payload in slices of `items` items."""
        step = items * self.header.kind.item_bytes
        while True:
            data = self.file.read(step)
            if not data:
                break
            while len(data) < step:  # an unbuffered read may come back short; batches stay whole items
                more = self.file.read(step - len(data))
                if not more:
                    break
                data += more
            yield data
        self.close()

    def close(self) -> None:
        self.file.close()


def read_whole(path: str, kind: Kind, raw: bool = False) -> Tuple[Header, bytearray]:
    source = Input(path, (kind,), raw)
    data = source.read_all()
    return source.header, data


class Output:
    """A file written under a temporary name in its folder and renamed when complete.

    Opening it checks that the result can be written, so a step fails before
    any work; an interrupted or failed step leaves no half file behind.
    """

    def __init__(self, path: str, force: bool = False, private: bool = False):
        self.path = path
        if os.path.isdir(path):
            raise PartyError(f"{path}: is a directory, expected a file name")
        if os.path.lexists(path) and not force:
            raise PartyError(f"{path}: exists (use --force to replace it)")
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise PartyError(f"{path}: cannot write (no folder {folder})")
        try:
            fd, self.temp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
        except OSError as e:
            raise PartyError(f"{path}: cannot write ({e.strerror})") from None
        if not private:  # mkstemp makes 0600; only a secret key stays that way
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)
        self.file = os.fdopen(fd, "wb")

    def commit(self) -> None:
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()
        os.replace(self.temp, self.path)

    def discard(self) -> None:
        self.file.close()
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass


class PayloadOutput(Output):
    """An exchanged file: header, then the payload written in slices."""

    def __init__(self, path: str, header: Header, raw: bool = False, force: bool = False,
                 private: bool = False):
        super().__init__(path, force, private)
        self.header = header
        self.raw = raw
        self._hash = hashlib.sha256()
        self._bytes = 0
        if not raw:
            self.file.write(header.pack())  # count and digest are filled in at commit

    def write(self, data: bytes) -> None:
        self._hash.update(data)
        self._bytes += len(data)
        self.file.write(data)

    def commit(self) -> None:
        if not self.raw:
            size = self.header.kind.item_bytes
            if size:
                self.header.count = self._bytes // size
            self.header.digest = self._hash.digest()
            self.file.seek(0)
            self.file.write(self.header.pack())
        super().commit()


class Outputs:
    """Several outputs that appear together or not at all."""

    def __init__(self):
        self.items: List[Output] = []

    def add(self, output: Output) -> Output:
        self.items.append(output)
        return output

    def __enter__(self) -> "Outputs":
        return self

    def __exit__(self, kind, value, trace) -> None:
        if kind is None:
            for output in self.items:
                output.commit()
        else:
            for output in self.items:
                output.discard()


def write_whole(outputs: Outputs, path: str, header: Header, data: bytes, raw: bool, force: bool,
                private: bool = False) -> None:
    out = outputs.add(PayloadOutput(path, header, raw, force, private))
    out.write(data)


def check_writable(paths: Sequence[Optional[str]], force: bool) -> None:
    """Refuses existing outputs before anything else is opened."""
    for path in paths:
        if path and os.path.lexists(path) and not os.path.isdir(path) and not force:
            raise PartyError(f"{path}: exists (use --force to replace it)")
