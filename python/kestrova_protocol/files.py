"""Files exchanged between the parties: a small header, then the module's bytes unchanged.

Header (little-endian, HEADER.size bytes):

    magic "KESTROVA"  version u16  kind u16  keying u8  unknown-lineage mask u8  rules tables version u16
    item count u64    digest (32 bytes)
    column normalisations (16 bytes, a store's only; see `keying`)

The rules tables version (3 on) is a store's only, and 0 unless its rules
read a data table; version 2 had two zero bytes there and is read as before.
    eight 16-byte fingerprints (see `lineage`)

The digest is SHA-256 over the header with its digest field zeroed, followed
by SHA-256 of the payload: it covers every header field as well as the data.
Inputs are read once, exactly as long as they were when opened, and hashed
as they are read; outputs appear together or not at all (`Outputs`).
"""

from __future__ import annotations

import contextlib
import dataclasses
import enum
import errno
import fcntl
import hashlib
import json
import logging
import os
import re
import secrets
import signal
import stat
import struct
import threading
from typing import BinaryIO, Callable, Iterator, List, Optional, Sequence, Tuple

from . import lineage
from .engine import store_bytes
from .errors import PartyError
from .keying import RULES_BYTES, rules_problem
from .lineage import FIELDS, FP_BYTES, ZERO

_log = logging.getLogger("kestrova_protocol")
MAGIC = b"KESTROVA"
VERSION = 3
READS = (2, 3)
HEADER = struct.Struct(f"<8sHHBBHQ32s{RULES_BYTES}s" + f"{FP_BYTES}s" * len(FIELDS))
_DIGEST_AT = 24  # offset of the digest field in the header
_READ_SLICE = 1 << 20
# Stores are read and hashed in slices this large: big enough to keep the hashing thread busy.
_HASH_SLICE = 1 << 23


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


@dataclasses.dataclass
class Header:
    """A file's header. In memory a zero fingerprint means "unknown" (lineage from a bare input);
    on disk the mask says so, and a zero fingerprint the mask does not name is damage."""
    kind: Kind
    count: int = 0
    digest: bytes = bytes(32)
    keying: int = 0
    rules: bytes = bytes(RULES_BYTES)
    key: bytes = ZERO
    sender_store: bytes = ZERO
    receiver_store: bytes = ZERO
    sender_key: bytes = ZERO
    receiver_key: bytes = ZERO
    central_key: bytes = ZERO
    batch: bytes = ZERO
    decrypted_by: bytes = ZERO
    tables: int = 0  # a store's rules tables version

    def fingerprints(self) -> dict:
        return {name: getattr(self, name) for name in FIELDS}

    def unknown_mask(self) -> int:
        return lineage.mask_of(n for n in lineage.fields_of(self.kind) if getattr(self, n) == ZERO)

    def pack(self, digest: Optional[bytes] = None) -> bytes:
        return HEADER.pack(MAGIC, VERSION, self.kind, self.keying, self.unknown_mask(), self.tables, self.count,
                           self.digest if digest is None else digest, self.rules, *self.fingerprints().values())

    def payload_digest(self, payload_hash: bytes) -> bytes:
        return file_digest(self.pack(), payload_hash)

    def batch_lineage(self) -> dict:
        return {name: getattr(self, name) for name in lineage.BATCH}

    def derived(self, kind: Kind, **changes) -> "Header":
        return Header(kind=kind, **{**self.batch_lineage(), **changes})


def file_digest(header: bytes, payload_hash: bytes) -> bytes:
    """Over the header's bytes as they stand (its digest field zeroed) and the payload's hash."""
    return hashlib.sha256(header[:_DIGEST_AT] + bytes(32) + header[_DIGEST_AT + 32:] + payload_hash).digest()


# ---------------------------------------------------------------- regular files only


def _identity(st: os.stat_result) -> Tuple[int, int]:
    return st.st_dev, st.st_ino


def _not_regular(st: os.stat_result) -> str:
    if stat.S_ISDIR(st.st_mode):
        return "is a directory, expected a file"
    if stat.S_ISREG(st.st_mode):
        return ""
    what = ("a named pipe" if stat.S_ISFIFO(st.st_mode) else "a socket" if stat.S_ISSOCK(st.st_mode)
            else "a device" if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode) else "not a regular file")
    return f"is {what}, expected a regular file"


def open_regular(path: str, buffering: int = -1) -> Tuple[BinaryIO, os.stat_result]:
    """Opens a regular file (or a symlink to one) for reading; anything else is refused at once.

    Opened without blocking, so that a named pipe cannot hold the step for ever.
    """
    if not path:
        raise PartyError("an empty file name")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        raise PartyError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise PartyError(f"{path}: is a directory, expected a file") from None
    except OSError as e:
        raise PartyError(f"{path}: cannot read ({e.strerror})") from None
    st = os.fstat(fd)
    why = _not_regular(st)
    if why:
        os.close(fd)
        raise PartyError(f"{path}: {why}")
    os.set_blocking(fd, True)
    return open(fd, "rb", buffering=buffering), st


def input_identities(paths: Sequence[Optional[str]]) -> List[Tuple[str, Tuple[int, int]]]:
    """(path, device and inode) of each input that exists, to keep outputs off them."""
    found = []
    for path in paths:
        if path:
            try:
                found.append((path, _identity(os.stat(path))))
            except OSError:
                pass  # reported when the input is opened
    return found


# ---------------------------------------------------------------- inputs


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

    def batches(self, items: int) -> Iterator[bytes]:
        """The payload in slices of `items` items; `verify` checks them once all are read."""
        step = items * self.header.kind.item_bytes
        while self._left:
            n = min(step, self._left)
            data = self._read_exactly(n)
            self._left -= n
            yield bytes(data)

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


# ---------------------------------------------------------------- outputs


def _output_name_problem(path: str) -> str:
    if not path:
        return "an empty output name"
    if path.endswith(os.sep) or os.path.basename(path) in ("", ".", ".."):
        return f"{path}: names a folder, expected a file name"
    return ""


def _looks_like_secret_key(path: str, st: os.stat_result) -> bool:
    """A headed secret key, or a bare 32-byte file only its owner may read."""
    if st.st_size == 32 and not st.st_mode & 0o077:
        return True
    if st.st_size != HEADER.size + 32:
        return False
    try:
        with open(path, "rb", buffering=0) as f:
            head = f.read(12)
    except OSError:
        return False
    return head[:8] == MAGIC and struct.unpack("<H", head[10:12])[0] == Kind.SECRET_KEY


# A temporary's name: `.NAME.PID-RANDOM.part` (`.old.part` for a replaced file kept
# aside), NAME shortened and marked with a hash of itself where the whole would
# pass NAME_MAX. Who owns one is said by a lock, not by the PID in its name.
_NAME_MAX = 255
_LONGEST_TAIL = len("4194304-0123456789abcdef.state-new.part")
_TEMPORARY_TAIL = re.compile(r"\d+-[0-9a-f]+(\.old|\.state|\.state-new)?\.part")
_COMMIT_SUFFIX = ".commit"


def _folder_of(path: str) -> str:
    """The output's folder, symbolic links resolved: where its temporaries go and its commit links into."""
    return os.path.realpath(os.path.dirname(os.path.abspath(path)))


def _temporary_prefix(path: str) -> str:
    name = os.path.basename(path)
    prefix = f".{name}."
    room = _NAME_MAX - _LONGEST_TAIL
    if len(os.fsencode(prefix)) <= room:
        return prefix
    mark = hashlib.sha256(os.fsencode(name)).hexdigest()[:12]
    kept = os.fsencode(name)[:room - len(mark) - 3]
    return f".{os.fsdecode(kept)}~{mark}."


def _temporaries(path: str) -> Tuple[str, str]:
    return _folder_of(path), _temporary_prefix(path)


def _lock_free(fd: int) -> bool:
    """Takes the lock if no live run holds it (kept until fd is closed)."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


def owned_by_live_run(temporary: str) -> bool:
    """Whether a live run (in any process or PID namespace on this machine) holds this temporary."""
    try:
        fd = os.open(temporary, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        return not _lock_free(fd)
    finally:
        os.close(fd)


def _remove_stale(path: str) -> List[str]:
    """Removes temporaries of `path` that no live run holds; returns those it cannot remove."""
    folder, prefix = _temporaries(path)
    unclear = []
    try:
        names = os.listdir(folder)
    except OSError:
        return unclear
    for name in names:
        if not (name.startswith(prefix) and _TEMPORARY_TAIL.fullmatch(name[len(prefix):])):
            continue
        where = os.path.join(folder, name)
        try:
            fd = os.open(where, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
        except FileNotFoundError:
            continue
        except OSError:
            unclear.append(where)
            continue
        try:
            if not _lock_free(fd):
                continue  # a live run's
            try:
                os.unlink(where)
            except FileNotFoundError:
                pass
            except OSError:
                unclear.append(where)
        finally:
            os.close(fd)
    return unclear


def check_writable(paths: Sequence[str], force: bool, inputs: Sequence[Optional[str]] = (),
                   secret_keys: Sequence[str] = ()) -> None:
    """Refuses outputs that cannot or must not be written, before anything else is opened.

    `inputs`: the step's input files, which no output may be, under any name;
    `secret_keys`: the outputs that are secret keys, the only ones that may replace one.
    """
    sources = input_identities(inputs)
    for path in paths:
        why = _output_name_problem(path)
        if why:
            raise PartyError(why)
    # A commit a killed run left half done is undone first: what exists is then what was there before it.
    for folder in dict.fromkeys(_folder_of(path) for path in paths):
        if os.path.isdir(folder):
            recover(folder)
    for path in paths:
        try:
            st = os.stat(path)
        except FileNotFoundError:
            if os.path.islink(path):
                raise PartyError(f"{path}: is a dangling symbolic link") from None
            st = None
        except OSError as e:
            raise PartyError(f"{path}: cannot write ({e.strerror})") from None
        if st is not None:
            why = _not_regular(st)
            if why:
                raise PartyError(f"{path}: {why}")
            for source, identity in sources:
                if identity == _identity(st):
                    raise PartyError(f"{path}: is the input {source}; write the output elsewhere")
            if not force:
                raise PartyError(f"{path}: exists (use --force to replace it)")
            if path not in secret_keys and _looks_like_secret_key(path, st):
                raise PartyError(f"{path}: is a secret key; --force replaces it with nothing but a secret key")
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise PartyError(f"{path}: cannot write (no folder {folder})")
        for left in _remove_stale(path):
            _log.warning(f"kestrova-party: note: {left}: a temporary left by an interrupted run; remove it",
                         extra={"kestrova": {"event": "note", "file": left}})


class Output:
    """A file written under a temporary name in its folder (`.NAME.PID-RANDOM.part`).

    The folder is resolved once, here: the temporary and the commit stay in it
    even if a symbolic link on the way is retargeted meanwhile. The temporary
    is locked for as long as this run lives, which is what keeps a rerun's
    cleanup off it.
    """

    def __init__(self, path: str, force: bool = False, private: bool = False):
        self.path = path
        self.force = force
        self._lock = None
        folder, prefix = _temporaries(path)
        self.final = os.path.join(folder, os.path.basename(path))
        while True:
            self.temp = os.path.join(folder, f"{prefix}{os.getpid()}-{secrets.token_hex(4)}.part")
            try:
                fd = os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            except OSError as e:
                raise PartyError(f"{path}: cannot write ({e.strerror})") from None
            fcntl.flock(fd, fcntl.LOCK_EX)
            # Another run's cleanup may have taken it between its creation and the lock.
            if os.fstat(fd).st_nlink:
                break
            os.close(fd)
        # Held until the run ends: the writer's descriptor is closed before the commit.
        self._lock = os.dup(fd)
        if not private:  # a secret key stays 0600
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)
        self.identity = _identity(os.fstat(fd))
        self.file = os.fdopen(fd, "wb")

    def release(self) -> None:
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None

    def write(self, data: bytes) -> None:
        try:
            self.file.write(data)
        except OSError as e:
            raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None

    def finalize(self) -> None:
        """Everything on disk under the temporary name."""
        try:
            self.file.flush()
            os.fsync(self.file.fileno())
            self.file.close()
        except OSError as e:
            raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None

    def discard(self) -> None:
        try:
            self.file.close()
        except OSError:
            pass
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass
        self.release()


class PayloadOutput(Output):
    """An exchanged file: header, then the payload written in slices."""

    def __init__(self, path: str, header: Header, raw: bool = False, force: bool = False,
                 private: bool = False):
        super().__init__(path, force, private)
        self.header = header
        self.raw = raw
        self._hash = hashlib.sha256()
        self._native_digest: Optional[bytes] = None
        self._bytes = 0
        if not raw:
            super().write(header.pack())  # count and digest are filled in when complete

    def write(self, data: bytes) -> None:
        if self._native_digest is not None:
            raise ValueError("a native payload is the whole payload")
        self._hash.update(data)
        self._bytes += len(data)
        super().write(data)

    def write_natively(self, produce: Callable[[int], dict]) -> dict:
        """The whole payload written by `produce(fd)` straight to the file (the engine's store builder),
        which returns its byte count and SHA-256 as "bytes" and "digest" in a dict; returns that dict."""
        if self._bytes:
            raise ValueError("a native payload is the whole payload")
        try:
            self.file.flush()
            fd = self.file.fileno()
            start = os.lseek(fd, 0, os.SEEK_CUR)
            result = produce(fd)
            end = os.lseek(fd, 0, os.SEEK_CUR)
            self.file.seek(end)  # the writer's own idea of its position
        except OSError as e:
            raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None
        if end - start != result["bytes"]:
            raise PartyError(f"{self.path}: changed while being written")
        self._bytes = result["bytes"]
        self._native_digest = result["digest"]
        return result

    def finalize(self) -> None:
        if not self.raw:
            size = self.header.kind.item_bytes
            if size:
                self.header.count = self._bytes // size
            payload = self._native_digest if self._native_digest is not None else self._hash.digest()
            self.header.digest = self.header.payload_digest(payload)
            try:
                self.file.seek(0)
            except OSError as e:
                raise PartyError(f"{self.path}: cannot write ({e.strerror})") from None
            super().write(self.header.pack())
        super().finalize()


_STOPPING = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

# Called with the operation's name before each link, rename, unlink and fsync of a
# commit or a recovery (tests stop the process there).
_before_step: Optional[Callable[[str], None]] = None

# Outputs committed by this process, in order: a stop that comes after the commit
# says so instead of "no output written".
committed: List[str] = []


def _step(name: str) -> None:
    if _before_step is not None:
        _before_step(name)


def _fsync_folder(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        _step("fsync")
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def _signals_deferred() -> Iterator[None]:
    """A stopping signal that arrives inside is raised again once the block is done.

    Blocking it is not enough: the process-directed signal is taken by any
    other thread (the batch thread, the engine's workers), and the interpreter
    then runs the handler in this one, in the middle of the commit.
    """
    if threading.current_thread() is not threading.main_thread():
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPING)
        try:
            yield
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        return
    arrived: List[int] = []
    previous = {number: signal.signal(number, lambda number, frame: arrived.append(number))
                for number in _STOPPING}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if arrived:
            signal.raise_signal(arrived[0])


class Outputs:
    """Several outputs that appear together or not at all, across a failure, a kill or a power loss.

    All are written and synced under temporary names first, then committed:
    without --force by hard link, which fails where the name exists, so two
    writers of one name cannot both win; with --force by rename, the replaced
    file kept aside (linked) until every output is in place. With more than
    one output, a commit record naming every temporary, output and kept-aside
    file is synced first and removed last; a run that finds a record no live
    run holds (the writer was killed) undoes what it names, putting every
    replaced file back. Signals that stop a step wait until the commit is done.
    """

    def __init__(self):
        self.items: List[Output] = []

    def add(self, output: Output) -> Output:
        self.items.append(output)
        return output

    def __enter__(self) -> "Outputs":
        return self

    def __exit__(self, kind, value, trace) -> None:
        if kind is not None:
            self._discard()
            return
        try:
            for output in self.items:
                output.finalize()
        except BaseException:
            self._discard()
            raise
        with _signals_deferred():
            try:
                self._commit()
            finally:
                for output in self.items:
                    output.release()

    def _discard(self) -> None:
        for output in self.items:
            output.discard()

    def _commit(self) -> None:
        record = _Record.write(self.items) if len(self.items) > 1 else None
        done: List[Tuple[Output, bool, Optional[str]]] = []  # (output, linked, the replaced file kept aside)
        try:
            for output in self.items:
                done.append((output, *_place(output, record.aside_of(output) if record else None)))
            if record:
                _sync_folders(self.items)
                record.remove()  # the commit point
        except BaseException as e:
            if record:
                record.undo()
            else:
                for output, linked, aside in reversed(done):
                    _undo(output, aside)
            self._discard()
            _sync_folders(self.items)
            if isinstance(e, FileExistsError):
                raise PartyError(f"{e.filename}: exists (written by another run meanwhile; "
                                 "use --force to replace it)") from None
            if isinstance(e, OSError):
                raise PartyError(f"{e.filename or '?'}: cannot write ({e.strerror})") from None
            raise
        committed.extend(output.path for output in self.items)
        for output, linked, aside in done:
            for name in (output.temp if linked else None, aside):
                if name:
                    with contextlib.suppress(FileNotFoundError):
                        _step("unlink")
                        os.unlink(name)
        _sync_folders(self.items)


def _aside_name(output: Output) -> str:
    return output.temp[:-len(".part")] + ".old.part"


class _Record:
    """What a multi-output commit is about to do, synced before it starts; locked while its run lives."""

    def __init__(self, path: str, fd: int, entries: List[dict]):
        self.path, self.fd, self.entries = path, fd, entries

    @classmethod
    def write(cls, items: Sequence[Output]) -> "_Record":
        folder = os.path.dirname(items[0].final)
        path = os.path.join(folder, f".kestrova.{os.getpid()}-{secrets.token_hex(8)}{_COMMIT_SUFFIX}")
        entries = [{"final": o.final, "temp": o.temp, "aside": _aside_name(o) if o.force else None,
                    "identity": list(o.identity)} for o in items]
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except OSError as e:
            raise OSError(e.errno, e.strerror, path) from None
        fcntl.flock(fd, fcntl.LOCK_EX)
        record = cls(path, fd, entries)
        try:
            os.write(fd, json.dumps({"entries": entries}).encode("utf-8"))
            _step("fsync")
            os.fsync(fd)
            for folder in {os.path.dirname(e["final"]) for e in entries}:
                _fsync_folder(folder)
        except BaseException:
            record.undo()
            raise
        return record

    def aside_of(self, output: Output) -> Optional[str]:
        return next(e["aside"] for e in self.entries if e["temp"] == output.temp)

    def remove(self) -> None:
        _step("unlink")
        os.unlink(self.path)
        _fsync_folder(os.path.dirname(self.path))
        os.close(self.fd)
        self.fd = None

    def undo(self) -> None:
        """Every output named put back as it was; then the record goes."""
        for entry in reversed(self.entries):
            _roll_back(entry)
        for folder in {os.path.dirname(e["final"]) for e in self.entries}:
            _fsync_folder(folder)
        with contextlib.suppress(FileNotFoundError):
            _step("unlink")
            os.unlink(self.path)
        _fsync_folder(os.path.dirname(self.path))
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def _lstat(path: Optional[str]) -> Optional[os.stat_result]:
    if not path:
        return None
    try:
        return os.lstat(path)
    except FileNotFoundError:
        return None


def _roll_back(entry: dict) -> None:
    final, temp, aside = entry["final"], entry["temp"], entry["aside"]
    ours = tuple(entry["identity"])
    now, kept = _lstat(final), _lstat(aside)
    if kept is not None:
        if now is None or _identity(now) == ours:
            _step("rename")
            os.rename(aside, final)  # the replaced file back: never lost
        elif _identity(now) == _identity(kept):
            _step("unlink")
            os.unlink(aside)  # a second name of the file still in place
        # Else someone else wrote the output since: theirs stays, and so does the aside.
    elif now is not None and _identity(now) == ours:
        _step("unlink")
        os.unlink(final)
    if _lstat(temp) is not None:
        _step("unlink")
        os.unlink(temp)


def recover(folder: str) -> None:
    """Undoes the commits that runs killed meanwhile left unfinished in `folder`."""
    try:
        names = [n for n in os.listdir(folder) if n.startswith(".kestrova.") and n.endswith(_COMMIT_SUFFIX)]
    except OSError:
        return
    for name in names:
        path = os.path.join(folder, name)
        try:
            fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            continue
        if not _lock_free(fd):
            os.close(fd)
            continue  # a live run's commit
        try:
            entries = json.loads(os.pread(fd, 1 << 20, 0).decode("utf-8"))["entries"]
        except (ValueError, KeyError, UnicodeDecodeError):
            entries = []  # killed while writing the record: nothing was placed yet
        try:
            _Record(path, fd, entries).undo()
        except OSError as e:
            raise PartyError(f"{path}: a commit left unfinished by a killed run cannot be undone "
                             f"({e.strerror})") from None


def _place(output: Output, aside_name: Optional[str]) -> Tuple[bool, Optional[str]]:
    """Puts the output under its name: (by a hard link?, where a replaced file was kept)."""
    final = output.final
    if not output.force:
        try:
            _step("link")
            os.link(output.temp, final)
            return True, None
        except FileExistsError:
            raise FileExistsError(errno.EEXIST, "exists", output.path) from None
        except OSError as e:
            if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK):
                raise OSError(e.errno, e.strerror, output.path) from None
            # No hard links on this file system: rename, after one more look.
            if os.path.lexists(final):
                raise FileExistsError(errno.EEXIST, "exists", output.path) from None
    aside = None
    if os.path.lexists(final):
        aside = aside_name or _aside_name(output)
        try:
            _step("link")
            os.link(final, aside)
        except OSError:
            aside = None  # cannot be kept: the replacement still goes ahead, as --force asks
    try:
        _step("rename")
        os.rename(output.temp, final)
    except OSError as e:
        if aside:
            os.unlink(aside)
        raise OSError(e.errno, e.strerror, output.path) from None
    return False, aside


def _undo(output: Output, aside: Optional[str]) -> None:
    try:
        if aside:
            os.rename(aside, output.final)
        else:
            os.unlink(output.final)
    except OSError:
        pass


def _sync_folders(items: Sequence[Output]) -> None:
    for folder in {os.path.dirname(o.final) for o in items}:
        _fsync_folder(folder)


def write_whole(outputs: Outputs, path: str, header: Header, data: bytes, raw: bool, force: bool,
                private: bool = False) -> None:
    out = outputs.add(PayloadOutput(path, header, raw, force, private))
    out.write(data)
